#!/usr/bin/env python3
"""Checks the parts of an aligned take recorded from the simulated device.

usage: check_aligned_parts.py --clock T --ppm P --seconds N [--pattern PAT] [--ppm-line TEXT]
                              FILE...

The files are the take's parts in any order (the signal puts them in order), 8-bit mono with a plain 44-byte header, recorded with
WAVTAP_SIM clock=T,ppm=P and -a -tN, in the time zone of the environment (TZ; UTC with
--utc). Checks that each header agrees with its file, that the parts joined are the device's
signal from frame 0 without a gap or a repeat, that every part but the first begins at the
first frame the device captured at or after a boundary (a multiple of N seconds of the zone's
day) by its own clock (frame f at T + f / (rate * (1 + P / 10^6))), within 1 ms (so within a
frame period and 1 ms of the boundary), that the
boundaries follow each other, and with --pattern that each part's name is the pattern filled
at its boundary (the first part's at T), a counter "-K" allowed before the extension. With
--ppm-line, that text (the program's closing rate line) must say P within 1 ppm. Prints
"parts=K frames=F" and exits 0, or prints what is wrong and exits 1.
"""
import argparse
import calendar
import os
import re
import struct
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from check_sim_signal import frame_hash  # noqa: E402  the signal has one definition


def fail(text):
    print("FAIL: " + text)
    sys.exit(1)


def zone(seconds, utc):
    return time.gmtime(seconds) if utc else time.localtime(seconds)


def zone_offset(seconds, utc):
    fields = zone(seconds, utc)
    return calendar.timegm(fields) - int(seconds)


def read_part(path):
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 44 or data[0:4] != b"RIFF" or data[8:16] != b"WAVEfmt ":
        fail(f"{path}: not a plain wave file")
    riff, = struct.unpack("<I", data[4:8])
    tag, channels, rate, _, align, bits = struct.unpack("<HHIIHH", data[20:36])
    size, = struct.unpack("<I", data[40:44])
    if (tag, channels, bits, align) != (1, 1, 8, 1):
        fail(f"{path}: not 8-bit mono PCM")
    if riff != len(data) - 8 or size != len(data) - 44:
        fail(f"{path}: header says {size} bytes of audio, the file holds {len(data) - 44}")
    return rate, data[44:]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--clock", type=int, required=True)
    parser.add_argument("--ppm", type=float, required=True)
    parser.add_argument("--seconds", type=int, required=True)
    parser.add_argument("--utc", action="store_true")
    parser.add_argument("--pattern")
    parser.add_argument("--ppm-line")
    parser.add_argument("files", nargs="+")
    a = parser.parse_args()
    parts = {path: read_part(path) for path in a.files}
    first = 0
    previous = None
    for index in range(len(a.files)):
        path = next((p for p, (_, audio) in parts.items()
                     if audio and all(audio[i] == frame_hash(first + i) & 0xFF
                                      for i in range(min(16, len(audio))))), None)
        if path is None:
            fail(f"no part goes on at frame {first}")
        rate, audio = parts.pop(path)
        device_rate = rate * (1 + a.ppm / 1e6)
        for i, byte in enumerate(audio):
            if byte != frame_hash(first + i) & 0xFF:
                fail(f"{path}: frame {i} is not frame {first + i} of the signal")
        if len(audio) == 0:
            fail(f"{path}: no audio")
        start = a.clock + first / device_rate
        if index == 0:
            boundary = a.clock
        else:
            local = start + zone_offset(start, a.utc)
            boundary = round(local / a.seconds) * a.seconds - zone_offset(start, a.utc)
            if zone_offset(boundary, a.utc) != zone_offset(start, a.utc):
                boundary = round(local / a.seconds) * a.seconds - zone_offset(boundary, a.utc)
            before = a.clock + (first - 1) / device_rate
            if not (before < boundary + 0.001 and boundary <= start + 0.001 and
                    start < boundary + 1 / rate + 0.001):
                fail(f"{path}: its first frame {first} at {start:.6f} is not the first at or "
                     f"after the boundary {boundary}")
            if previous is not None and boundary <= previous:
                fail(f"{path}: boundary {boundary} after {previous}")
            if previous is not None and index > 1 and boundary - previous > a.seconds + 3600:
                fail(f"{path}: a boundary is missing between {previous} and {boundary}")
            previous = boundary
        if a.pattern:
            name = time.strftime(a.pattern, zone(int(boundary), a.utc))
            stem = os.path.splitext(path)[0]
            want_stem = os.path.splitext(name)[0]
            if not (stem == want_stem or re.fullmatch(re.escape(want_stem) + r"-\d+", stem)):
                fail(f"{path}: named for {name}")
        first += len(audio)
    if a.ppm_line is not None:
        found = re.search(r"([-+][0-9.]+) ppm", a.ppm_line)
        if not found or abs(float(found.group(1)) - a.ppm) > 1:
            fail(f"the rate line says {a.ppm_line!r}, not {a.ppm} ppm")
    print(f"parts={len(a.files)} frames={first}")


main()
