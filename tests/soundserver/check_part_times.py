#!/usr/bin/env python3
"""Checks when the parts of an aligned take of the counter signal begin, on the system clock.

usage: check_part_times.py --t0 NS [--first V] [--tolerance-ms MS] [--join RAW] FILE...

The FILEs are the parts of a take recorded with -a -u -e from the sound server that the
counter feeder plays into, in the take's order, each named ...HHMMSS.wav after the UTC second
its boundary is (the first part after the take's start). The feeder played its first frame,
counter value V (default 1), at NS ns since 1970 (feeder_clock.py), so counter value v was
played at NS + (v - V) / rate. For every part the counter value in its first frame and its
bext chunk's time reference (frames since UTC midnight) are read, and:
  - every part after the one that holds the take's first frame: its first frame was played
    within the tolerance (default 50 ms) of its boundary, and its time reference is the
    boundary within the tolerance;
  - every part: its time reference is when its first frame was played, within the tolerance.
Parts before the first with audio may hold none (the server's first audio came after their
boundary); a part without audio after that is an error.
With --join, the parts' audio is written one after another to RAW (for check_counter.py).

Prints a line a part with the offsets in ms, then "max |offset| X ms" over the offsets from
the played times; exits 0, or 1 after the lines of the parts that are off.
"""
import argparse
import re
import struct
import sys

DAY = 86400


def read_part(path):
    """Returns (rate, time reference, audio bytes) of a 16-bit stereo wave file with a bext
    chunk."""
    with open(path, "rb") as f:
        data = f.read()
    if data[0:4] != b"RIFF" or data[8:12] != b"WAVE":
        raise ValueError("not a RIFF/WAVE file")
    rate = reference = audio = None
    at = 12
    while at + 8 <= len(data):
        chunk, size = data[at:at + 4], struct.unpack("<I", data[at + 4:at + 8])[0]
        body = data[at + 8:at + 8 + size]
        if chunk == b"fmt ":
            tag, channels, rate, _, align, bits = struct.unpack("<HHIIHH", body[0:16])
            if (tag, channels, bits, align) != (1, 2, 16, 4):
                raise ValueError("not 16-bit stereo PCM")
        elif chunk == b"bext":
            # Description 256, originator 32, its reference 32, date 10, time 8: 338 bytes.
            reference = struct.unpack("<Q", body[338:346])[0]
        elif chunk == b"data":
            audio = body
            break
        at += 8 + size + (size & 1)
    if rate is None or audio is None:
        raise ValueError("no fmt or data chunk")
    if reference is None:
        raise ValueError("no bext chunk")
    return rate, reference, audio


def day_offset(seconds):
    """seconds, taken modulo a day, as the nearest value to 0."""
    return (seconds + DAY / 2) % DAY - DAY / 2


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--t0", type=int, required=True)
    parser.add_argument("--first", type=int, default=1)
    parser.add_argument("--tolerance-ms", type=float, default=50.0)
    parser.add_argument("--join")
    parser.add_argument("files", nargs="+")
    a = parser.parse_args()
    bad = 0
    worst = 0.0
    joined = open(a.join, "wb") if a.join else None
    heard = 0
    for path in a.files:
        try:
            rate, reference, audio = read_part(path)
        except (OSError, ValueError) as e:
            print(f"{path}: {e}")
            return 1
        if len(audio) < 4:
            if heard:
                print(f"{path}: no audio")
                return 1
            print(f"{path}: no audio (before the take's first)")
            continue
        heard += 1
        if joined:
            joined.write(audio)
        value = struct.unpack("<I", audio[0:4])[0]
        played = a.t0 / 1e9 + (value - a.first) / rate
        stamped = reference / rate
        # The time reference against the played time: both as seconds of the UTC day.
        offsets = {"reference": day_offset(stamped - played % DAY)}
        if heard > 1:
            name = re.search(r"(\d\d)(\d\d)(\d\d)\.wav$", path)
            if name is None:
                print(f"{path}: no HHMMSS in the name")
                return 1
            hours, minutes, seconds = (int(g) for g in name.groups())
            boundary = hours * 3600 + minutes * 60 + seconds
            offsets["played"] = day_offset(played % DAY - boundary)
            offsets["boundary reference"] = day_offset(stamped - boundary)
            worst = max(worst, abs(offsets["played"]))
        off = [k for k, v in offsets.items() if abs(v) * 1000 > a.tolerance_ms]
        bad += bool(off)
        print(f"{path}: counter {value}, " +
              ", ".join(f"{k} {v * 1000:+.1f} ms" for k, v in offsets.items()) +
              ("" if not off else f"  <- beyond {a.tolerance_ms:g} ms"))
    if joined:
        joined.close()
    print(f"max |offset| {worst * 1000:.1f} ms")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
