#!/usr/bin/env python3
"""Drives key_prompt_probe through a fresh pseudo-terminal and reports what the terminal saw.

usage: key_prompt_pty.py PROBE KEY
KEY is the bytes to type, in hex (03 is Ctrl+C, 1b5b41 the up-arrow key), or "term" to send
SIGTERM to the waiting probe instead. Prints one line per finding:
  raw: echo off, canonical off, signals off   (the mode while waiting)
  exit: N                                     (the probe's status; -15 when SIGTERM ended it)
  output: '...'                               (everything the terminal displayed)
  mode restored | mode NOT restored
  left: N                                     (bytes of the key still unread afterwards)
"""
import fcntl
import os
import select
import signal
import subprocess
import sys
import termios
import time


def become_controlling_terminal():
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)


def read_available(fd):
    data = b""
    while select.select([fd], [], [], 0.1)[0]:
        try:
            chunk = os.read(fd, 1024)
        except OSError:
            break
        if not chunk:
            break
        data += chunk
    return data


def main():
    probe, key = sys.argv[1], sys.argv[2]
    master, slave = os.openpty()
    saved = termios.tcgetattr(slave)
    child = subprocess.Popen([probe], stdin=slave, stdout=slave, stderr=slave,
                             start_new_session=True, preexec_fn=become_controlling_terminal)
    deadline = time.monotonic() + 10
    lflag = saved[3]
    while time.monotonic() < deadline and child.poll() is None:
        lflag = termios.tcgetattr(slave)[3]
        if not lflag & (termios.ECHO | termios.ICANON):
            break
        time.sleep(0.01)
    print("raw: echo %s, canonical %s, signals %s" % tuple(
        "on" if lflag & flag else "off" for flag in (termios.ECHO, termios.ICANON, termios.ISIG)))
    if key == "term":
        child.send_signal(signal.SIGTERM)
    else:
        os.write(master, bytes.fromhex(key))
    try:
        status = child.wait(timeout=10)
    except subprocess.TimeoutExpired:
        child.kill()
        status = "timeout"
    print("exit: %s" % status)
    print("output: %r" % read_available(master).decode("latin-1"))
    print("mode restored" if termios.tcgetattr(slave) == saved else "mode NOT restored")
    raw = termios.tcgetattr(slave)
    raw[3] &= ~(termios.ICANON | termios.ECHO)
    raw[6][termios.VMIN] = 0
    raw[6][termios.VTIME] = 0
    termios.tcsetattr(slave, termios.TCSANOW, raw)
    print("left: %d" % len(read_available(slave)))


main()
