#!/usr/bin/env python3
"""Writes the counter test signal to standard output as raw 16-bit little-endian stereo PCM.

Every sample frame carries its own frame number n (counted from --start, default 1, modulo
2**32): the left sample holds the low 16 bits of n, the right sample the high 16 bits, both as
the little-endian bit pattern of a signed 16-bit sample. Read as one little-endian unsigned
32-bit word, a frame is simply n. Frame number 0 (both samples zero) is never produced before
the counter wraps, so it stays distinguishable from silence; check_counter.py reads this layout.

The writer blocks on a full pipe, so whoever consumes the stream (a sound server's sink)
paces it. It ends quietly when the reader goes away, or after --frames frames.
"""

import argparse
import array
import os
import sys

WRAP = 1 << 32


def counter_chunk(first, count):
    """Returns count frames starting at frame number first as little-endian bytes."""
    end = first + count
    if end <= WRAP:
        words = array.array("I", range(first, end))
    else:
        words = array.array("I", (n % WRAP for n in range(first, end)))
    if sys.byteorder != "little":
        words.byteswap()
    return words.tobytes()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--start", type=int, default=1, help="first frame number (default 1)")
    parser.add_argument("--frames", type=int, default=-1,
                        help="number of frames to write (default: until the reader stops)")
    parser.add_argument("--chunk", type=int, default=4096,
                        help="frames per write (default 4096)")
    parser.add_argument("--ready", metavar="FILE",
                        help="create FILE once the first frames are written")
    args = parser.parse_args()
    if array.array("I").itemsize != 4:
        sys.exit("counter_signal.py: no 32-bit unsigned array type on this platform")
    if args.chunk < 1 or args.start < 0:
        sys.exit("counter_signal.py: --chunk must be positive and --start not negative")

    out = sys.stdout.buffer
    n = args.start % WRAP
    left = args.frames
    try:
        while left != 0:
            count = args.chunk if left < 0 else min(args.chunk, left)
            out.write(counter_chunk(n, count))
            if args.ready:
                out.flush()
                open(args.ready, "w").close()
                args.ready = None
            n = (n + count) % WRAP
            if left > 0:
                left -= count
        out.flush()
    except BrokenPipeError:
        # The reader went away: that is how a feeder is normally stopped.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        sys.exit(0)


if __name__ == "__main__":
    main()
