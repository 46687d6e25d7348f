#!/usr/bin/env python3
"""Tells when the counter feeder played its first frame, on the system clock.

usage: pacat --verbose ... 2> >(feeder_clock.py CLOCK_FILE >>feeder.log)

Reads pacat's verbose output on standard input and copies it to standard output, one message a
line (pacat ends its timing messages with a carriage return; they become lines too). Every
timing message, "Time: S sec; Latency: L usec.", gives the stream's play position S: the server's
read position less the sink's latency, that is the frame being played as pacat's timing callback
ran. That frame is stream frame S * rate, counter value first + S * rate, so the stream's first
frame was played S seconds before the callback; the message's arrival time less S estimates
that moment, t0. The estimates scatter both ways: the message arrives a little after the
callback (mostly well within a millisecond), and the position is the client's interpolation
between the server's reports, which now and then runs up to about 12 ms ahead. So t0 is the
median of the last 200 estimates (10 s of messages).

After each timing message with the stream playing (S > 0), CLOCK_FILE is replaced with lines
"key=value": t0_ns (ns since 1970 at which the stream's first frame was played), samples
(timing messages used so far), spread_ns (between the 10th and the 90th percentile of the last
200 estimates), latency_us (pacat's last stream latency) and underruns (pacat's "Stream
underrun" messages so far: after one the server skips what the stream had not yet delivered,
so the counter no longer follows t0 from there on).
"""

import collections
import os
import re
import sys
import time

WINDOW = 200  # estimates the median is taken over
TIMING = re.compile(rb"^Time: ([0-9.]+) sec; Latency: (-?[0-9]+) usec\.")


def write_clock(path, fields):
    text = "".join(f"{key}={value}\n" for key, value in fields.items())
    temporary = path + ".new"
    with open(temporary, "w") as f:
        f.write(text)
    os.replace(temporary, path)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: feeder_clock.py CLOCK_FILE")
    path = sys.argv[1]
    out = sys.stdout.buffer
    recent = collections.deque(maxlen=WINDOW)
    samples = 0
    underruns = 0
    pending = b""
    while True:
        data = os.read(0, 65536)
        arrived = time.time_ns()
        if not data:
            break
        pending += data
        records = re.split(rb"[\r\n]", pending)
        pending = records.pop()
        timing = None
        for record in records:
            record = record.rstrip()
            if not record:
                continue
            out.write(record + b"\n")
            if record.startswith(b"Stream underrun"):
                underruns += 1
            match = TIMING.match(record)
            if match and float(match.group(1)) > 0:
                estimate = arrived - round(float(match.group(1)) * 1e9)
                recent.append(estimate)
                samples += 1
                timing = match
        out.flush()
        if timing is not None:
            ordered = sorted(recent)
            write_clock(path, {
                "t0_ns": ordered[len(ordered) // 2],
                "samples": samples,
                "spread_ns": ordered[len(ordered) * 9 // 10] - ordered[len(ordered) // 10],
                "latency_us": int(timing.group(2)),
                "underruns": underruns,
            })
    if pending.strip():
        out.write(pending.rstrip() + b"\n")


if __name__ == "__main__":
    main()
