#!/usr/bin/env python3
"""Runs a program on a fresh pseudo-terminal (its controlling terminal and standard input) and
types a key once the program's standard error holds a text.

usage: prompt_pty.py STDERR_FILE TEXT KEY COMMAND...
STDERR_FILE receives the program's standard error (its standard output goes to stdout). KEY is
the bytes to type, in hex, or signal:NAME to send the program that signal (SIGNAME) instead of
typing. Prints one line per finding:
  waited: yes | no          (the program was still running 0.5 s after TEXT appeared)
  exit: N                   (the program's status)
  echo: '...'               (everything the terminal displayed)
Gives up (status 2) when TEXT does not appear or the program does not end within 20 s.
"""
import fcntl
import os
import signal
import subprocess
import sys
import termios
import time


def main():
    stderr_path, text, key, command = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
    master, slave = os.openpty()

    def take_terminal():
        os.setsid()
        fcntl.ioctl(slave, termios.TIOCSCTTY, 0)

    with open(stderr_path, "wb") as stderr:
        child = subprocess.Popen(command, stdin=slave, stderr=stderr, preexec_fn=take_terminal,
                                 pass_fds=(slave,))
    deadline = time.monotonic() + 20
    while text.encode() not in open(stderr_path, "rb").read():
        if time.monotonic() > deadline or child.poll() is not None:
            child.kill()
            print("no prompt; stderr: %r" % open(stderr_path, "rb").read())
            return 2
        time.sleep(0.05)
    time.sleep(0.5)
    print("waited: %s" % ("yes" if child.poll() is None else "no"))
    if key.startswith("signal:"):
        child.send_signal(getattr(signal, "SIG" + key[len("signal:"):]))
    else:
        os.write(master, bytes.fromhex(key))
    try:
        status = child.wait(timeout=20)
    except subprocess.TimeoutExpired:
        child.kill()
        print("the program did not end after the key")
        return 2
    os.close(slave)
    echoed = b""
    os.set_blocking(master, False)
    try:
        while True:
            chunk = os.read(master, 1024)
            if not chunk:
                break
            echoed += chunk
    except OSError:
        pass
    print("exit: %d" % status)
    print("echo: %r" % echoed.decode(errors="replace"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
