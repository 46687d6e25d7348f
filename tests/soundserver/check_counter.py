#!/usr/bin/env python3
"""Checks that a recording of the counter signal (counter_signal.py) is contiguous.

Reads a RIFF/WAVE file, raw PCM (--raw) or standard input ("-"), 16-bit stereo only: each
frame, read as one little-endian unsigned 32-bit word (left sample = low 16 bits, right sample
= high 16 bits), is its frame number. Silence (all-zero frames) before the counter starts is
allowed and reported; from the first non-zero frame on, every frame must be the previous one
plus one (modulo 2**32).

Prints one "name: value" line per figure, then up to --max-report lines describing the first
problems, each with its position in the recording. Exit status: 0 when the counter is
contiguous, 1 when it is not (gaps, repeats, silence inside or at the end, no counter at all),
2 when the input cannot be read or is not 16-bit stereo PCM.
"""

import argparse
import array
import struct
import sys

WRAP = 1 << 32
FRAME_BYTES = 4
CHUNK_FRAMES = 1 << 16


class InputError(Exception):
    """The input is unreadable or not 16-bit stereo PCM."""


def read_exact(stream, count):
    """Reads count bytes, or fewer at the end of the stream."""
    data = bytearray()
    while len(data) < count:
        part = stream.read(count - len(data))
        if not part:
            break
        data += part
    return bytes(data)


def open_wave(stream):
    """Reads the RIFF/WAVE header up to the data chunk. Returns (rate, declared data bytes)."""
    riff = read_exact(stream, 12)
    if len(riff) < 12 or riff[0:4] != b"RIFF" or riff[8:12] != b"WAVE":
        raise InputError("not a RIFF/WAVE file (use --raw for raw PCM)")
    rate = None
    while True:
        head = read_exact(stream, 8)
        if len(head) < 8:
            raise InputError("no data chunk")
        chunk_id, size = head[0:4], struct.unpack("<I", head[4:8])[0]
        if chunk_id == b"data":
            if rate is None:
                raise InputError("data chunk before the fmt chunk")
            return rate, size
        body = read_exact(stream, size + (size & 1))
        if len(body) < size:
            raise InputError("truncated %r chunk" % chunk_id.decode("latin-1"))
        if chunk_id == b"fmt ":
            if size < 16:
                raise InputError("fmt chunk too short")
            tag, channels, rate, _, align, bits = struct.unpack("<HHIIHH", body[0:16])
            if tag == 0xFFFE and size >= 40:  # WAVE_FORMAT_EXTENSIBLE: the sub-format decides
                tag = struct.unpack("<H", body[24:26])[0]
            if tag != 1 or channels != 2 or bits != 16 or align != 4:
                raise InputError("format is tag %d, %d channel(s), %d bits: only 16-bit "
                                 "stereo PCM carries the counter" % (tag, channels, bits))


class Counter:
    """Running state of the check over the frames seen so far."""

    def __init__(self, max_report):
        self.frames = 0           # frames read
        self.leading_silence = 0  # zero frames before the first counter frame
        self.first = None         # first counter value, None before the counter starts
        self.expected = None      # the counter value the next frame must carry
        self.last = None          # last counter value seen
        self.gaps = 0             # places where counter values were skipped
        self.lost = 0             # counter values skipped, summed over the gaps
        self.repeats = 0          # places where the counter went back (or stood still)
        self.repeated = 0         # frames the counter went back by, summed
        self.silence_runs = 0     # runs of zero frames after the counter started
        self.silence = 0          # zero frames after the counter started
        self.in_silence = False   # the last frame was a zero frame after the start
        self.silence_start = 0    # position of the first frame of the current silent run
        self.problems = []        # descriptions of the first max_report problems
        self.max_report = max_report

    def note(self, position, text):
        if len(self.problems) < self.max_report:
            self.problems.append((position, text))

    def feed(self, words):
        """Checks one block of frames (an array of 32-bit frame words)."""
        base = self.frames
        self.frames += len(words)
        start = 0
        if self.first is None:
            while start < len(words) and words[start] == 0:
                start += 1
            self.leading_silence += start
            if start == len(words):
                return
            self.first = self.expected = words[start]
        # Fast path: the whole rest of the block is exactly the expected run.
        count = len(words) - start
        if not self.in_silence and self.expected + count <= WRAP:
            if words[start:] == array.array("I", range(self.expected, self.expected + count)):
                self.expected += count
                self.last = self.expected - 1
                self.expected %= WRAP
                return
        for i in range(start, len(words)):
            self.check_frame(base + i, words[i])

    def check_frame(self, position, value):
        if value == 0:
            if not self.in_silence:
                self.silence_runs += 1
                self.in_silence = True
                self.silence_start = position
            self.silence += 1
            return
        if self.in_silence:
            self.in_silence = False
            length = position - self.silence_start
            self.note(self.silence_start, "%d silent frame(s) after counter %d"
                      % (length, self.last))
        if value != self.expected:
            skipped = (value - self.expected) % WRAP
            if skipped < WRAP // 2:
                self.gaps += 1
                self.lost += skipped
                self.note(position, "gap: expected %d, got %d (%d frame(s) lost)"
                          % (self.expected, value, skipped))
            else:
                back = WRAP - skipped
                self.repeats += 1
                self.repeated += back
                self.note(position, "repeat: expected %d, got %d (%d frame(s) back)"
                          % (self.expected, value, back))
        self.last = value
        self.expected = (value + 1) % WRAP

    def trailing_silence(self):
        return self.frames - self.silence_start if self.in_silence else 0

    def contiguous(self, allow_silence):
        return (self.first is not None and self.gaps == 0 and self.repeats == 0
                and (allow_silence or self.silence == 0))


def check(stream, data_bytes, counter):
    """Feeds up to data_bytes bytes (None: to the end) of frames into counter. Returns the
    number of bytes of a partial frame left over at the end."""
    left = data_bytes
    tail = b""
    while left is None or left > 0:
        want = CHUNK_FRAMES * FRAME_BYTES if left is None else min(CHUNK_FRAMES * FRAME_BYTES, left)
        data = read_exact(stream, want)
        if not data:
            break
        if left is not None:
            left -= len(data)
        data = tail + data
        whole = len(data) - len(data) % FRAME_BYTES
        tail = data[whole:]
        words = array.array("I")
        words.frombytes(data[:whole])
        if sys.byteorder != "little":
            words.byteswap()
        counter.feed(words)
    return len(tail)


def seconds(frames, rate):
    return " (%.3f s)" % (frames / rate) if rate else ""


def report(counter, rate, declared, stray_bytes, allow_silence):
    c = counter
    lines = [
        ("frames", "%d%s" % (c.frames, seconds(c.frames, rate))),
        ("leading silence", "%d%s" % (c.leading_silence, seconds(c.leading_silence, rate))),
        ("first counter", "none" if c.first is None else "%d" % c.first),
        ("last counter", "none" if c.last is None else "%d" % c.last),
        ("gaps", "%d" % c.gaps),
        ("frames lost", "%d%s" % (c.lost, seconds(c.lost, rate))),
        ("repeats", "%d" % c.repeats),
        ("frames repeated", "%d" % c.repeated),
        ("silence inside", "%d frame(s) in %d run(s)" % (c.silence, c.silence_runs)),
        ("trailing silence", "%d" % c.trailing_silence()),
    ]
    if declared is not None and declared != c.frames * FRAME_BYTES + stray_bytes:
        lines.append(("data chunk", "declares %d bytes, %d present"
                      % (declared, c.frames * FRAME_BYTES + stray_bytes)))
    if stray_bytes:
        lines.append(("partial frame", "%d byte(s) ignored at the end" % stray_bytes))
    lines.append(("contiguous", "yes" if c.contiguous(allow_silence) else "no"))
    for name, value in lines:
        print("%s: %s" % (name, value))
    if c.in_silence:
        c.note(c.silence_start, "%d silent frame(s) at the end, after counter %s"
               % (c.trailing_silence(), c.last))
    for position, text in sorted(c.problems)[: c.max_report]:
        print("at frame %d%s: %s" % (position, seconds(position, rate), text))


def main():
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        epilog="Exit status 0: contiguous; 1: not contiguous; 2: unreadable input.")
    parser.add_argument("input", help='WAVE file, raw PCM file with --raw, or "-" for stdin')
    parser.add_argument("--raw", action="store_true",
                        help="input is headerless 16-bit little-endian stereo PCM")
    parser.add_argument("--rate", type=int, default=None,
                        help="sample rate for the times shown with --raw")
    parser.add_argument("--allow-silence", action="store_true",
                        help="accept silent frames after the start when the counter resumes "
                        "without loss (a feeder that fell behind the sink)")
    parser.add_argument("--max-report", type=int, default=20,
                        help="problems to describe (default 20)")
    args = parser.parse_args()
    if array.array("I").itemsize != 4:
        sys.exit("check_counter.py: no 32-bit unsigned array type on this platform")

    counter = Counter(args.max_report)
    try:
        stream = sys.stdin.buffer if args.input == "-" else open(args.input, "rb")
        with stream:
            rate, declared = args.rate, None
            if not args.raw:
                rate, declared = open_wave(stream)
            stray = check(stream, None if args.raw else declared, counter)
    except (OSError, InputError) as e:
        print("check_counter.py: %s: %s" % (args.input, e), file=sys.stderr)
        return 2
    report(counter, rate, declared, stray, args.allow_silence)
    return 0 if counter.contiguous(args.allow_silence) else 1


if __name__ == "__main__":
    sys.exit(main())
