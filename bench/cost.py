#!/usr/bin/env python3
"""Measures what a recording costs: wavtap (with and without its level meter and countdown line,
-q) against arecord on an unpaced source.

Both record the same length of CD-quality audio (16-bit stereo 44100 Hz) into a file from the
ALSA PCM "wavtap_unpaced" (ALSA's file PCM over null, defined in a private configuration
written here), which hands over audio as fast as it is read, so the figures are the tools' own
work. For each tool: CPU seconds (user + system) and peak resident memory from the kernel's
accounting of the finished child, the wall time, and, in a separate run under strace, the
number and sizes of the write calls that reached the output file. A plain cat of the recorded
bytes to a new file gives the wall-time floor.

Prints one JSON object. Repeated runs alternate the tools; times are medians.
"""

import argparse
import collections
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import time

RATE = 44100
FRAME_BYTES = 4
HEADER_BYTES = 44

ASOUND_CONF = """</usr/share/alsa/alsa.conf>
pcm.wavtap_unpaced {
    type file
    slave.pcm "null"
    file "/dev/null"
    format "raw"
}
"""

# One strace line: [pid] call(first argument[, rest]) = result, or either half of a call that
# another thread interrupted: "call(first, ... <unfinished ...>" and "<... call resumed> ...".
TRACE_LINE = re.compile(r"^(?:\d+\s+)?(\w+)\(([^,)]*)(?:, (.*))?\) += (-?\d+)")
UNFINISHED = re.compile(r"^(?:\d+\s+)?(\w+)\(([^,)]*)(.*) <unfinished \.\.\.>$")
RESUMED = re.compile(r"^(?:\d+\s+)?<\.\.\. (\w+) resumed>.*\) += (-?\d+)")
WRITE_CALLS = ("write", "pwrite64", "writev", "pwritev", "pwritev2")


def run_measured(command, env, cwd, stdout=subprocess.DEVNULL):
    """Runs command in cwd to its end under GNU time. Returns (exit status, user s, system s,
    peak RSS KiB, wall s). The CPU times come from the kernel's accounting of the whole finished
    tree (time's own share is a millisecond or so). The peak RSS is the one time reports for
    the command: a child's peak starts at its parent's size at exec, and this process is far
    larger than time."""
    rss_path = os.path.join(cwd, "rss.txt")
    started = time.monotonic()
    child = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", rss_path] + command, env=env,
                             cwd=cwd, stdin=subprocess.DEVNULL, stdout=stdout,
                             stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.monotonic() - started
    child.returncode = os.waitstatus_to_exitcode(status)
    with open(rss_path) as f:
        rss = int(f.read().split()[-1])
    return child.returncode, usage.ru_utime, usage.ru_stime, rss, wall


def trace_calls(trace):
    """Yields (call, first argument, rest of the arguments, result) for every finished call in
    an strace -f log, joining the halves of interrupted calls."""
    pending = {}
    for line in trace:
        line = line.rstrip("\n")
        match = TRACE_LINE.match(line)
        if match:
            yield match.groups()
            continue
        pid = line.split(None, 1)[0] if line else ""
        match = UNFINISHED.match(line)
        if match:
            pending[pid] = match.groups()
            continue
        match = RESUMED.match(line)
        if match and pid in pending:
            call, first, rest = pending.pop(pid)
            yield call, first, rest.lstrip(", "), match.group(2)


def output_writes(trace_path, output_path):
    """Counts the write calls that went to output_path in an strace log of openat, close and
    the write calls. Returns (calls, bytes, {size: calls})."""
    fds = set()
    sizes = collections.Counter()
    quoted = '"%s"' % output_path
    with open(trace_path, errors="replace") as trace:
        for call, first, rest, result in trace_calls(trace):
            if call == "openat" and (rest or "").startswith(quoted) and int(result) >= 0:
                fds.add(result)
            elif call == "close":
                fds.discard(first)
            elif call in WRITE_CALLS and first in fds and int(result) >= 0:
                sizes[int(result)] += 1
    return sum(sizes.values()), sum(k * v for k, v in sizes.items()), dict(sizes)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--wavtap", required=True, help="the wavtap program")
    parser.add_argument("--work", required=True, help="a directory for the recordings")
    parser.add_argument("--seconds", type=int, default=600, help="length of each recording")
    parser.add_argument("--reps", type=int, default=3, help="timed runs of each tool")
    args = parser.parse_args()

    os.makedirs(args.work, exist_ok=True)
    conf = os.path.join(args.work, "asound.conf")
    with open(conf, "w") as f:
        f.write(ASOUND_CONF)
    env = dict(os.environ, ALSA_CONFIG_PATH=conf, AUDIODEV="wavtap_unpaced")
    for name in ("PULSE_SERVER", "DBUS_SESSION_BUS_ADDRESS"):
        env.pop(name, None)

    def name(tool):
        return tool.replace(" -", "-") + ".wav"

    def out(tool):
        return os.path.join(args.work, name(tool))

    # The tools run in the work directory and name their output relative to it: a name that
    # starts with "/" would be a switch to wavtap.
    wavtap = os.path.abspath(args.wavtap)
    commands = {
        "wavtap": [wavtap, name("wavtap"), "-s%d" % args.seconds],
        "wavtap -q": [wavtap, name("wavtap -q"), "-s%d" % args.seconds, "-q"],
        "arecord": ["arecord", "-D", "wavtap_unpaced", "-f", "cd", "-t", "wav",
                    "-d", str(args.seconds), name("arecord")],
    }
    expected = HEADER_BYTES + args.seconds * RATE * FRAME_BYTES
    runs = {tool: [] for tool in commands}
    for rep in range(args.reps):
        order = list(commands) if rep % 2 == 0 else list(reversed(list(commands)))
        for tool in order:
            if os.path.exists(out(tool)):
                os.unlink(out(tool))
            subprocess.run(["sync"])
            runs[tool].append(run_measured(commands[tool], env, args.work))

    result = {"seconds": args.seconds, "reps": args.reps, "tools": {}}
    for tool, command in commands.items():
        size = os.path.getsize(out(tool)) if os.path.exists(out(tool)) else -1
        trace = out(tool) + ".strace"
        os.unlink(out(tool))
        subprocess.run(["strace", "-f", "-qq", "-e", "trace=openat,close," + ",".join(WRITE_CALLS),
                        "-e", "signal=none", "-o", trace] + command, env=env,
                       cwd=args.work, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        calls, written, sizes = output_writes(trace, name(tool))
        cpu = [r[1] + r[2] for r in runs[tool]]
        result["tools"][tool] = {
            "command": " ".join([os.path.basename(command[0])] + command[1:]),
            "status": [r[0] for r in runs[tool]],
            "file_bytes": size,
            "expected_bytes": expected,
            "user_s": statistics.median(r[1] for r in runs[tool]),
            "sys_s": statistics.median(r[2] for r in runs[tool]),
            "cpu_s": statistics.median(cpu),
            "cpu_s_all": [round(c, 4) for c in cpu],
            "cpu_s_per_hour": statistics.median(cpu) * 3600.0 / args.seconds,
            "peak_rss_kib": max(r[3] for r in runs[tool]),
            "wall_s": statistics.median(r[4] for r in runs[tool]),
            "write_calls": calls,
            "written_bytes": written,
            "write_sizes": sizes,
        }

    # The floor: the same bytes copied by cat into a new file.
    source, copy = out("arecord"), os.path.join(args.work, "cat.wav")
    walls = []
    for _ in range(args.reps):
        if os.path.exists(copy):
            os.unlink(copy)
        subprocess.run(["sync"])
        with open(copy, "wb") as sink:
            walls.append(run_measured(["cat", source], env, args.work, stdout=sink)[4])
    result["cat_wall_s"] = statistics.median(walls)
    for path in [copy] + [out(tool) for tool in commands]:
        if os.path.exists(path):
            os.unlink(path)
    print(json.dumps(result))
    return 0


if __name__ == "__main__":
    for tool in ("strace", "/usr/bin/time", "arecord"):
        if not shutil.which(tool):
            sys.exit("cost.py: %s is not installed" % tool)
    sys.exit(main())
