#!/usr/bin/env python3
"""Runs one recording command into a stalling reader and says what reached the reader.

The command writes a 16-bit stereo wave stream of the counter signal to standard output. The
reader takes the 44-byte header and the first --lead seconds of audio, stops reading for
--stall seconds, then reads the rest until the command ends. The bytes read go to --out, which
check_counter.py then checks.

Prints one JSON object: the stall, the frames the file holds and the seconds they make, the
frames lost in gaps, repeated and silent inside, whether the counter is contiguous, the gaps
that come straight after silence (the feeder fell behind: not the tool's doing, counted
apart), the command's exit status, its messages on standard error (with the countdown line
and the "Recording WAVE" banner left out) and the wall time.
"""

import argparse
import json
import os
import re
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


PROBLEM = re.compile(r"at frame (\d+) \([^)]*\): (?:(\d+) silent frame|gap: .*\((\d+) frame)")


def first_gap(problems):
    """The position in frames of the first gap that is not a source glitch, None when none."""
    silence_end = None
    for line in problems:
        match = PROBLEM.match(line)
        if not match:
            continue
        position = int(match.group(1))
        if match.group(2):
            silence_end = position + int(match.group(2))
        elif match.group(3):
            if position != silence_end:
                return position
            silence_end = None
    return None


def source_glitches(problems):
    """Returns (gaps, frames) of the gaps that follow a run of silence at once: the feeder fell
    behind, the sink played silence, and the server then skipped ahead in the feeder's stream.
    That happens upstream of the sink's monitor, so it is no loss of the recording tool's."""
    gaps = frames = 0
    silence_end = None
    for line in problems:
        match = PROBLEM.match(line)
        if not match:
            continue
        position = int(match.group(1))
        if match.group(2):
            silence_end = position + int(match.group(2))
        elif match.group(3):
            if position == silence_end:
                gaps += 1
                frames += int(match.group(3))
            silence_end = None
    return gaps, frames


def leading_int(text, default=0):
    match = re.match(r"\s*(-?\d+)", text or "")
    return int(match.group(1)) if match else default


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--stall", type=float, required=True, help="seconds without reading")
    parser.add_argument("--lead", type=float, default=1.0, help="seconds read before the stall")
    parser.add_argument("--out", required=True, help="where the bytes read go")
    parser.add_argument("--timeout", type=float, default=180, help="longest the command may run")
    parser.add_argument("command", nargs=argparse.REMAINDER, help="-- COMMAND ARGS...")
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        parser.error("no command")

    err_path = args.out + ".stderr"
    started = time.monotonic()
    with open(err_path, "wb") as err, open(args.out, "wb") as out:
        tool = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=err)
        lead_bytes = HEADER_BYTES + int(args.lead * RATE) * FRAME_BYTES
        got = read_exact(tool.stdout, lead_bytes, out)
        stall_start = time.monotonic()
        if got == lead_bytes:
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
    with open(err_path, "rb") as err:
        said = messages(err.read().decode("utf-8", "replace"))

    figures = checker_figures(args.out)
    frames = leading_int(figures.get("frames"))
    glitches, glitch_frames = source_glitches(figures.get("problems", []))
    lost = leading_int(figures.get("frames lost"))
    gap = first_gap(figures.get("problems", []))
    result = {
        "stall": args.stall,
        "status": status,
        "frames": frames,
        "seconds": round(frames / RATE, 3),
        "lost": lost - glitch_frames,
        "first_gap_s": None if gap is None else round(gap / RATE, 3),
        "source_glitches": glitches,
        "source_glitch_frames": glitch_frames,
        "repeated": leading_int(figures.get("frames repeated")),
        "silence": leading_int(figures.get("silence inside")),
        "leading_silence": leading_int(figures.get("leading silence")),
        "contiguous": figures.get("contiguous") == "yes"
        or (lost == glitch_frames and figures.get("repeats") == "0"),
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
