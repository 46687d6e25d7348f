#!/usr/bin/env python3
"""Frames lost or repeated between the parts of a take of the counter signal.

usage: parts_gaps.py LABEL PATH FILE...   (the parts in their order)

Each part is a 16-bit stereo wave file of the counter signal (tests/soundserver): every frame,
read as one little-endian 32-bit word, is its frame number. Prints one JSON object: the parts,
the boundaries between them, the frames lost at the boundaries in all and at the worst one,
the boundaries that lost or repeated audio, the silence before the counter starts (a stream's
start through some servers) and the gaps inside the parts (which are not the boundaries' doing).
"""
import json
import struct
import sys


def counters(path):
    """The counter values of a wave file's data chunk."""
    with open(path, "rb") as f:
        blob = f.read()
    offset = 12
    while offset + 8 <= len(blob):
        chunk, size = struct.unpack_from("<4sI", blob, offset)
        if chunk == b"data":
            data = blob[offset + 8:offset + 8 + size]
            count = len(data) // 4
            return struct.unpack_from("<%dI" % count, data, 0)
        offset += 8 + size + (size & 1)
    return ()


def main():
    label, path, files = sys.argv[1], sys.argv[2], sys.argv[3:]
    lost = []
    inside = 0
    previous_last = None
    frames = 0
    leading = 0
    for name in files:
        values = counters(name)
        frames += len(values)
        if previous_last is None:
            while leading < len(values) and values[leading] == 0:
                leading += 1
            values = values[leading:]
        if not values:
            continue
        for a, b in zip(values, values[1:]):
            if b != (a + 1) & 0xFFFFFFFF:
                inside += 1
        if previous_last is not None:
            lost.append(((values[0] - previous_last - 1 + (1 << 31)) & 0xFFFFFFFF) - (1 << 31))
        previous_last = values[-1]
    print(json.dumps({
        "tool": label, "path": path, "parts": len(files), "boundaries": len(lost),
        "frames": frames, "lost_total": sum(x for x in lost if x > 0),
        "lost_max": max(lost) if lost else 0,
        "boundaries_with_loss": sum(1 for x in lost if x > 0),
        "boundaries_with_repeat": sum(1 for x in lost if x < 0),
        "leading_silence": leading, "gaps_inside_parts": inside,
    }))


main()
