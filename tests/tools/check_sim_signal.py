#!/usr/bin/env python3
"""Checks a wave file recorded from the simulated device.

usage: check_sim_signal.py FILE [--first N] [--frames N] [--trailing any|zeros]

Checks that the header agrees with the file: a plain 44-byte header, a WAVE_FORMAT_EXTENSIBLE
"fmt " chunk of 40 bytes (68-byte header), an RF64 header with a "ds64" chunk (80 bytes), or
both (104 bytes), each with a version 1 "bext" chunk of 602 bytes after the "fmt " chunk or
without one; the RIFF and data sizes (from "ds64" in RF64) match the file's length, the
format fields are consistent. Then it checks that the data are the simulated device's signal
without a gap or a repeat: in frame f, channel c holds the bit pattern (f + c * step) mod 2^bits,
with step 16384, 2^21, 2^29 for 16, 24, 32 bits, little-endian; 32-bit float holds the 24-bit
pattern read as a signed value, over 2^23; 8 bits hold the unsigned byte
(frame_hash(f) + c * 64) mod 256, which tells frames 256 apart, so 8-bit data need --first.
Prints one line:
  channels=C bits=B rate=R frames=N first=F
(bits=32f for float) and exits 0; on any mismatch prints what is wrong and exits 1. --first and
--frames also check the first frame number (modulo 2^bits with 16 bits and more) and the number
of frames.

--trailing allows bytes after the data chunk (a file that keeps its prepared length after a
hard kill): "any" takes whatever they are; "zeros" wants the signal going on from the last frame
counted (a frame may be cut), then only zero bytes, apart from a last byte of 44 (the byte that
grows a new file to its length): nothing of an earlier take.
"""
import argparse
import struct
import sys

PCM_GUID = bytes.fromhex("0100000000001000800000aa00389b71")
FLOAT_GUID = bytes.fromhex("0300000000001000800000aa00389b71")


def frame_hash(f):
    """The 32-bit mix of frame number f whose low byte the 8-bit signal carries."""
    x = f & 0xFFFFFFFF
    x ^= x >> 16
    x = (x * 0x7FEB352D) & 0xFFFFFFFF
    x ^= x >> 15
    x = (x * 0x846CA68B) & 0xFFFFFFFF
    x ^= x >> 16
    return x


def check_8bit(samples, frames, channels, first):
    """Fails unless the 8-bit samples are the hashed signal from frame number first on."""
    for i in range(frames):
        h = frame_hash(first + i)
        for c in range(channels):
            want = (h + c * 64) % 256
            got = samples[i * channels + c]
            if got != want:
                fail("frame %d (number %d) channel %d holds %d, expected %d (gap, repeat or "
                     "another first frame)" % (i, first + i, c, got, want))


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def read_header(blob, trailing):
    """Returns (header_size, data_size, channels, bits, rate, is_float) after checking them."""
    if len(blob) < 44:
        fail("file is %d bytes, shorter than a header" % len(blob))
    riff, riff_size, wave = struct.unpack_from("<4sI4s", blob, 0)
    if riff not in (b"RIFF", b"RF64") or wave != b"WAVE":
        fail("not a RIFF or RF64 wave file")
    at = 12
    if riff == b"RF64":
        ds64, ds64_size, riff_size, data_size, frames, table = struct.unpack_from(
            "<4sIQQQI", blob, at)
        if ds64 != b"ds64" or ds64_size != 28 or table != 0:
            fail("RF64 without a 28-byte ds64 chunk first")
        at += 36
    fmt, fmt_size = struct.unpack_from("<4sI", blob, at)
    tag, channels, rate, byte_rate, align, bits = struct.unpack_from("<HHIIHH", blob, at + 8)
    if fmt != b"fmt " or fmt_size not in (16, 40):
        fail("no 16- or 40-byte fmt chunk")
    is_float = False
    if fmt_size == 40:
        cb_size, valid, mask = struct.unpack_from("<HHI", blob, at + 24)
        guid = blob[at + 32:at + 48]
        if tag != 0xFFFE or cb_size != 22 or valid != bits or guid not in (PCM_GUID, FLOAT_GUID):
            fail("inconsistent extensible format")
        is_float = guid == FLOAT_GUID
    elif tag != 1:
        fail("format tag %d in a 16-byte fmt chunk" % tag)
    at += 8 + fmt_size
    bext_id, bext_size = struct.unpack_from("<4sI", blob, at)
    if bext_id == b"bext":
        if bext_size != 602 or struct.unpack_from("<H", blob, at + 8 + 346)[0] != 1:
            fail("bext chunk of %d bytes, not a version 1 chunk of 602" % bext_size)
        at += 8 + bext_size
    data_id, data_size32 = struct.unpack_from("<4sI", blob, at)
    header_size = at + 8
    if data_id != b"data":
        fail("no data chunk after fmt (and bext)")
    if align != channels * bits // 8 or byte_rate != align * rate:
        fail("inconsistent format fields")
    if riff == b"RF64":
        if struct.unpack_from("<I", blob, 4)[0] != 0xFFFFFFFF or data_size32 != 0xFFFFFFFF:
            fail("RF64 sizes outside ds64 are not 0xFFFFFFFF")
        if frames * align != data_size:
            fail("ds64 sample count %d does not match data size %d" % (frames, data_size))
    else:
        data_size = data_size32
    if riff_size != data_size + header_size - 8:
        fail("RIFF size %d does not match data size %d" % (riff_size, data_size))
    if data_size + header_size > len(blob) or (not trailing and data_size + header_size != len(blob)):
        fail("header says %d data bytes, the file holds %d" % (data_size, len(blob) - header_size))
    if data_size % align:
        fail("data size %d is not a whole number of frames" % data_size)
    return header_size, data_size, channels, bits, rate, is_float


def frame_bytes(frame, channels, bits, is_float, step):
    """The bytes of the signal's frame number `frame`."""
    out = b""
    for c in range(channels):
        if is_float:
            n = (frame + c * step) % (1 << 24)
            n = n - (1 << 24) if n >= 1 << 23 else n
            out += struct.pack("<f", n / (1 << 23))
        elif bits == 8:
            out += bytes([(frame_hash(frame) + c * 64) % 256])
        else:
            out += ((frame + c * step) % (1 << bits)).to_bytes(bits // 8, "little")
    return out


def check_rest(blob, at, frame, channels, bits, is_float, step):
    """After the data chunk: the signal going on from `frame`, then zeros to the end."""
    align = channels * bits // 8
    while at < len(blob):
        want = frame_bytes(frame, channels, bits, is_float, step)
        got = blob[at:at + align]
        if got != want[:len(got)]:
            # A write may end inside a frame: the bytes of it that match are the signal.
            while at < len(blob) and blob[at] == want[0]:
                want = want[1:]
                at += 1
            break
        at += align
        frame += 1
    end = len(blob) - 1 if blob[-1:] == b"," else len(blob)
    for i in range(at, end):
        if blob[i] != 0:
            fail("byte %d after the data holds %d: neither the signal going on nor zero" % (i, blob[i]))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("file")
    parser.add_argument("--first", type=int)
    parser.add_argument("--frames", type=int)
    parser.add_argument("--trailing", choices=("any", "zeros"))
    args = parser.parse_args()
    with open(args.file, "rb") as f:
        blob = f.read()
    header_size, data_size, channels, bits, rate, is_float = read_header(blob, args.trailing)
    frames = data_size // (channels * bits // 8)
    count = frames * channels
    if is_float:
        modulus, step = 1 << 24, 1 << 21
        values = struct.unpack_from("<%df" % count, blob, header_size)
        samples = []
        for v in values:
            n = int(v * (1 << 23))
            if n != v * (1 << 23) or not -(1 << 23) <= n < (1 << 23):
                fail("float sample %r is not a 24-bit value over 2^23" % v)
            samples.append(n % modulus)
    elif bits == 8:
        if args.first is None:
            fail("8-bit data need --first: their bytes tell the frame number only with it")
        check_8bit(blob[header_size:], frames, channels, args.first)
        if args.trailing == "zeros":
            check_rest(blob, header_size + data_size, args.first + frames, channels, 8, False, 64)
        if args.frames is not None and frames != args.frames:
            fail("%d frames, expected %d" % (frames, args.frames))
        print("channels=%d bits=8 rate=%d frames=%d first=%d" % (channels, rate, frames, args.first))
        return
    else:
        modulus, step = 1 << bits, {16: 1 << 14, 24: 1 << 21, 32: 1 << 29}[bits]
        size = bits // 8
        samples = [int.from_bytes(blob[header_size + i * size:header_size + (i + 1) * size],
                                  "little") for i in range(count)]
    first = samples[0] if frames else 0
    for i in range(frames):
        for c in range(channels):
            want = (first + i + c * step) % modulus
            got = samples[i * channels + c]
            if got != want:
                fail("frame %d channel %d holds %d, expected %d (gap or repeat)" % (i, c, got, want))
    if args.trailing == "zeros":
        check_rest(blob, header_size + data_size, first + frames, channels, bits, is_float, step)
    if args.first is not None and frames and first != args.first % modulus:
        fail("first frame %d, expected %d" % (first, args.first))
    if args.frames is not None and frames != args.frames:
        fail("%d frames, expected %d" % (frames, args.frames))
    print("channels=%d bits=%s rate=%d frames=%d first=%d" %
          (channels, "32f" if is_float else bits, rate, frames, first))


if __name__ == "__main__":
    main()
