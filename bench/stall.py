#!/usr/bin/env python3
"""Runs one recording command into a stalling reader and says what reached the reader.

The command writes a 16-bit stereo wave stream of the counter signal to standard output. The
reader takes the 44-byte header and the first --lead seconds of audio, stops reading for
--stall seconds (or, with --suspend, stops the command's process that long: SIGSTOP, SIGCONT),
then reads the rest until the command ends. The bytes read go to --out, which
check_counter.py then checks.

With --reference, a second recorder (a sound server's own client, always read at once) records
the same sink from before the command starts until it ends, into a wave file. A fault that the
reference shows too (the same gap, repeat or silence, named by the counter values around it)
happened in the sink itself, upstream of both recorders: the feeder fell behind, or the server
mixed something else in. Such faults are counted apart and not charged to the command.

Prints one JSON object: the stall, the frames the file holds and the seconds they make, the
frames lost in gaps, repeated and silent inside, whether the counter is contiguous, the
faults shared with the reference, the command's exit status, its messages on standard error
(with the countdown line and the "Recording WAVE" banner left out) and the wall time.
"""

import argparse
import json
import os
import re
import shlex
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
CHECKER = os.path.join(HERE, "..", "tests", "soundserver", "check_counter.py")
HEADER_BYTES = 44
RATE = 44100
FRAME_BYTES = 4

# What on standard error is no news of a problem: wavtap's countdown line (redrawn after a
# carriage return, so a message may follow it on the same line) and arecord's banner.
COUNTDOWN = re.compile(r"\d+:\d\d:\d\d\s+Avg Level:(\s+\d+)+")
BANNER = re.compile(r"^Recording WAVE ")


def read_exact(stream, count, sink):
    """Copies count bytes (fewer at the end of the stream) from stream to sink."""
    left = count
    while left > 0:
        data = stream.read(min(left, 1 << 16))
        if not data:
            break
        sink.write(data)
        left -= len(data)
    return count - left


def messages(text):
    """The lines of a standard-error text that say something, countdown redraws left out."""
    lines = (COUNTDOWN.sub("", line).strip() for line in re.split(r"[\r\n]+", text))
    return [line for line in lines if line and not BANNER.match(line)]


def checker_figures(path):
    """Runs the counter checker on path and returns its "name: value" lines as a dict."""
    run = subprocess.run([sys.executable, CHECKER, path, "--allow-silence", "--max-report", "1000"],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    figures = {"checker_status": run.returncode, "checker_error": run.stderr.strip()}
    for line in run.stdout.splitlines():
        name, sep, value = line.partition(": ")
        if sep and not name.startswith("at frame"):
            figures[name] = value
        elif sep:
            figures.setdefault("problems", []).append(line)
    return figures


PROBLEM = re.compile(r"at frame (\d+) \([^)]*\): (?:(\d+) silent frame\(s\) after counter "
                     r"(\d+)|(gap|repeat): expected (\d+), got (\d+) \((\d+) frame)")


def faults(problems):
    """Parses the checker's problem lines into (position, signature, kind, frames): the
    signature names the fault by counter values, so that it matches the same fault in another
    recording of the same signal."""
    found = []
    for line in problems:
        match = PROBLEM.match(line)
        if not match:
            continue
        position = int(match.group(1))
        if match.group(2):
            found.append((position, ("silence", match.group(3)), "silence", int(match.group(2))))
        else:
            kind = match.group(4)
            found.append((position, (kind, match.group(5), match.group(6)), kind,
                          int(match.group(7))))
    return found


def leading_int(text, default=0):
    match = re.match(r"\s*(-?\d+)", text or "")
    return int(match.group(1)) if match else default


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--stall", type=float, required=True, help="seconds without reading")
    parser.add_argument("--lead", type=float, default=1.0, help="seconds read before the stall")
    parser.add_argument("--suspend", action="store_true",
                        help="stop the command itself (SIGSTOP, then SIGCONT) for the stall, "
                        "instead of the reader: Ctrl+Z and fg, a debugger, a paused machine")
    parser.add_argument("--out", required=True, help="where the bytes read go")
    parser.add_argument("--timeout", type=float, default=180, help="longest the command may run")
    parser.add_argument("--reference", metavar="COMMAND",
                        help="a recorder of the same sink, given the path of its wave file as "
                        "its last argument; stopped with SIGINT once the command has ended")
    parser.add_argument("command", nargs=argparse.REMAINDER, help="-- COMMAND ARGS...")
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        parser.error("no command")

    err_path = args.out + ".stderr"
    reference = reference_path = None
    if args.reference:
        reference_path = args.out + ".reference.wav"
        reference = subprocess.Popen(shlex.split(args.reference) + [reference_path],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        time.sleep(0.5)
    started = time.monotonic()
    with open(err_path, "wb") as err, open(args.out, "wb") as out:
        tool = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=err)
        lead_bytes = HEADER_BYTES + int(args.lead * RATE) * FRAME_BYTES
        got = read_exact(tool.stdout, lead_bytes, out)
        stall_start = time.monotonic()
        if got == lead_bytes and args.suspend:
            tool.send_signal(signal.SIGSTOP)
            time.sleep(args.stall)
            tool.send_signal(signal.SIGCONT)
        elif got == lead_bytes:
            time.sleep(args.stall)
        resumed = time.monotonic()
        while True:
            data = tool.stdout.read(1 << 16)
            if not data:
                break
            out.write(data)
        try:
            status = tool.wait(max(1.0, args.timeout - (time.monotonic() - started)))
        except subprocess.TimeoutExpired:
            tool.kill()
            status = "timeout"
    ended = time.monotonic()
    shared = set()
    reference_frames = None
    if reference:
        reference.send_signal(signal.SIGINT)
        try:
            reference.wait(10)
        except subprocess.TimeoutExpired:
            reference.kill()
            reference.wait()
        reference_figures = checker_figures(reference_path)
        reference_frames = leading_int(reference_figures.get("frames"), None)
        shared = {f[1] for f in faults(reference_figures.get("problems", []))}
        os.unlink(reference_path)
    with open(err_path, "rb") as err:
        said = messages(err.read().decode("utf-8", "replace"))

    figures = checker_figures(args.out)
    frames = leading_int(figures.get("frames"))
    found = faults(figures.get("problems", []))
    upstream = [f for f in found if f[1] in shared]
    own = [f for f in found if f[1] not in shared]

    def total(items, kind):
        return sum(f[3] for f in items if f[2] == kind)

    gaps = [f for f in own if f[2] == "gap"]
    result = {
        "stall": args.stall,
        "suspend": args.suspend,
        "status": status,
        "frames": frames,
        "seconds": round(frames / RATE, 3),
        "lost": leading_int(figures.get("frames lost")) - total(upstream, "gap"),
        "repeated": leading_int(figures.get("frames repeated")) - total(upstream, "repeat"),
        "silence": leading_int(figures.get("silence inside")),
        "leading_silence": leading_int(figures.get("leading silence")),
        "first_gap_s": round(gaps[0][0] / RATE, 3) if gaps else None,
        "upstream_faults": len(upstream),
        "upstream_lost": total(upstream, "gap"),
        "upstream_repeated": total(upstream, "repeat"),
        "upstream_silence": total(upstream, "silence"),
        "reference_frames": reference_frames,
        "contiguous": figures.get("contiguous") == "yes"
        or not any(f[2] in ("gap", "repeat") for f in own),
        "checker": figures.get("checker_error") or "; ".join(figures.get("problems", [])[:5]),
        "said": said,
        "lead_read_s": round(stall_start - started, 3),
        "drain_s": round(ended - resumed, 3),
        "wall_s": round(ended - started, 3),
    }
    print(json.dumps(result))
    return 0


if __name__ == "__main__":
    sys.exit(main())
