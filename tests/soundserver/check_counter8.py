#!/usr/bin/env python3
"""Checks an 8-bit stereo wave recording of the counter signal converted from 16 bits.

Frame f of the counter holds f mod 65536 on the left and f // 65536 on the right (16-bit).
Converted to unsigned 8 bits (the high byte, sign bit flipped) the left channel holds
((f >> 8) mod 256) ^ 128, climbing by one every 256 frames, and the right one 128 for the
first 2**24 frames. The file must be a plain 44-byte header of 8-bit stereo whose sizes match
its length. Exit status 0 when every byte is so, 1 with the first difference.
"""

import struct
import sys


def main():
    blob = open(sys.argv[1], "rb").read()
    if len(blob) < 44:
        print("only %d bytes" % len(blob))
        return 1
    riff, riff_size, wave, fmt, fmt_size, tag, channels, _, _, align, bits, data_id, size = \
        struct.unpack_from("<4sI4s4sIHHIIHH4sI", blob, 0)
    if (riff, wave, fmt, fmt_size, data_id) != (b"RIFF", b"WAVE", b"fmt ", 16, b"data") or \
            (tag, channels, align, bits) != (1, 2, 2, 8):
        print("not a plain 8-bit stereo wave header")
        return 1
    if size != len(blob) - 44 or riff_size != size + 36:
        print("header sizes %d and %d for %d bytes of data" % (riff_size, size, len(blob) - 44))
        return 1
    data = blob[44:]
    left, right = data[0::2], data[1::2]
    if set(right) != {128}:
        print("right channel holds %s, not only 128" % sorted(set(right))[:8])
        return 1
    runs = []
    for value in left:
        if runs and runs[-1][0] == value:
            runs[-1][1] += 1
        else:
            runs.append([value, 1])
    for run in (runs[0], runs[-1]):
        if run[1] > 256:
            print("left channel holds %d for %d frames, more than 256" % tuple(run))
            return 1
    for i in range(1, len(runs)):
        if runs[i][0] != (runs[i - 1][0] + 1) % 256:
            print("left channel steps from %d to %d" % (runs[i - 1][0], runs[i][0]))
            return 1
        if i < len(runs) - 1 and runs[i][1] != 256:
            print("left channel holds %d for %d frames, not 256" % tuple(runs[i]))
            return 1
    if len(left) < 1024:
        print("only %d frames" % len(left))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
