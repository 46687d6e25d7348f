#!/usr/bin/env python3
"""Watches a directory while a take in parts with -m is recorded there, through inotify.

usage: watch_parts.py DIR COUNT FRAMES READY

Creates the file READY once the watch is in place, then reads DIR's events until COUNT final
names (ending in ".wav") have appeared, or 60 s have passed. Every file created must have a
".part" name; a final name must appear by a rename, and at that instant be complete: its header
agrees with its length and it holds FRAMES frames of the simulated device's signal, going on
from the part before (check_sim_signal.py, the parts taken in the order they appear); a final
name must never be written and closed after that. Prints one line a final name, "NAME ok", and
exits 0; on the first fault prints it and exits 1.
"""
import ctypes
import os
import select
import struct
import subprocess
import sys
import time

IN_CLOSE_WRITE = 0x008
IN_MOVED_TO = 0x080
IN_CREATE = 0x100
CHECK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "check_sim_signal.py")


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def main():
    directory, count, frames, ready = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
    libc = ctypes.CDLL(None, use_errno=True)
    fd = libc.inotify_init()
    if fd < 0 or libc.inotify_add_watch(fd, directory.encode(),
                                        IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE) < 0:
        fail("inotify: " + os.strerror(ctypes.get_errno()))
    open(ready, "w").close()
    finals, first, deadline, pending = [], 0, time.monotonic() + 60, b""
    while len(finals) < count:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            fail("%d final names after 60 s: %s" % (len(finals), " ".join(finals)))
        pending += os.read(fd, 65536)
        while len(pending) >= 16:
            _, mask, _, length = struct.unpack("iIII", pending[:16])
            if len(pending) < 16 + length:
                break
            name = pending[16:16 + length].rstrip(b"\0").decode()
            pending = pending[16 + length:]
            if not name.endswith(".wav") and not name.endswith(".wav.part"):
                continue
            final = name.endswith(".wav")
            if mask & IN_CREATE and final:
                fail("%s created under its final name" % name)
            if mask & IN_CLOSE_WRITE and final:
                fail("%s written after it got its final name" % name)
            if mask & IN_MOVED_TO and final:
                result = subprocess.run(
                    [sys.executable, CHECK, os.path.join(directory, name), "--first", str(first),
                     "--frames", str(frames)], capture_output=True, text=True)
                if result.returncode != 0:
                    fail("%s when it got its name: %s" % (name, result.stdout.strip()))
                first += frames
                finals.append(name)
                print(name + " ok", flush=True)


main()
