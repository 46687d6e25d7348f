#!/usr/bin/env python3
"""Runs a program on a fresh pseudo-terminal (its controlling terminal and standard error), waits
until it has written TEXT there, and then hangs the terminal up by closing its master side, as
closing a terminal window does: the kernel sends SIGHUP, and every later write to the terminal
fails. Prints the program's exit status as "exit: N".

usage: hangup_pty.py TEXT COMMAND...
Gives up (status 2) when TEXT does not appear, or the program does not end, within 20 s.
"""
import fcntl
import os
import subprocess
import sys
import termios
import time


def main():
    text, command = sys.argv[1].encode(), sys.argv[2:]
    master, slave = os.openpty()

    def take_terminal():
        os.setsid()
        fcntl.ioctl(slave, termios.TIOCSCTTY, 0)

    child = subprocess.Popen(command, stdin=subprocess.DEVNULL, stderr=slave,
                             preexec_fn=take_terminal, pass_fds=(slave,))
    os.close(slave)
    seen = b""
    deadline = time.monotonic() + 20
    os.set_blocking(master, False)
    while text not in seen:
        if time.monotonic() > deadline or child.poll() is not None:
            child.kill()
            print("no %r; the terminal showed %r" % (text, seen))
            return 2
        try:
            seen += os.read(master, 4096)
        except BlockingIOError:
            time.sleep(0.05)
    os.close(master)
    try:
        status = child.wait(timeout=20)
    except subprocess.TimeoutExpired:
        child.kill()
        print("the program did not end after the hang-up")
        return 2
    print("exit: %d" % status)
    return 0


if __name__ == "__main__":
    sys.exit(main())
