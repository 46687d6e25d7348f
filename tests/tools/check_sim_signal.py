#!/usr/bin/env python3
"""Checks a wave file recorded from the simulated device.

usage: check_sim_signal.py FILE [--first N] [--frames N]

Checks that the header agrees with the file (RIFF size + 8 and data size + 44 are the file's
length, the format fields are consistent), and that the data are the simulated device's
counter signal without a gap or a repeat: in frame f, channel c holds (f + c * 16384) mod 65536
as 16-bit little-endian samples, or (f + c * 64) mod 256 as 8-bit bytes. Prints one line:
  channels=C bits=B rate=R frames=N first=F
and exits 0; on any mismatch prints what is wrong and exits 1. --first and --frames also check
the first frame number and the number of frames.
"""
import argparse
import struct
import sys


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("file")
    parser.add_argument("--first", type=int)
    parser.add_argument("--frames", type=int)
    args = parser.parse_args()
    with open(args.file, "rb") as f:
        blob = f.read()
    if len(blob) < 44:
        fail("file is %d bytes, shorter than a header" % len(blob))
    riff, riff_size, wave_fmt, fmt_size = struct.unpack_from("<4sI8sI", blob, 0)
    tag, channels, rate, byte_rate, align, bits = struct.unpack_from("<HHIIHH", blob, 20)
    data_id, data_size = struct.unpack_from("<4sI", blob, 36)
    if riff != b"RIFF" or wave_fmt != b"WAVEfmt " or data_id != b"data" or fmt_size != 16:
        fail("not a 44-byte PCM wave header")
    if tag != 1 or align != channels * bits // 8 or byte_rate != align * rate:
        fail("inconsistent format fields")
    if riff_size != data_size + 36:
        fail("RIFF size %d does not match data size %d" % (riff_size, data_size))
    if data_size + 44 != len(blob):
        fail("header says %d data bytes, the file holds %d" % (data_size, len(blob) - 44))
    if data_size % align:
        fail("data size %d is not a whole number of frames" % data_size)
    frames = data_size // align
    if bits == 16:
        modulus, step = 65536, 16384
        samples = struct.unpack_from("<%dH" % (frames * channels), blob, 44)
    else:
        modulus, step = 256, 64
        samples = blob[44:]
    first = samples[0] if frames else 0
    for i in range(frames):
        for c in range(channels):
            want = (first + i + c * step) % modulus
            got = samples[i * channels + c]
            if got != want:
                fail("frame %d channel %d holds %d, expected %d (gap or repeat)" % (i, c, got, want))
    if args.first is not None and frames and first != args.first % modulus:
        fail("first frame %d, expected %d" % (first, args.first))
    if args.frames is not None and frames != args.frames:
        fail("%d frames, expected %d" % (frames, args.frames))
    print("channels=%d bits=%d rate=%d frames=%d first=%d" % (channels, bits, rate, frames, first))


main()
