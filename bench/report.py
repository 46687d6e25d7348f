#!/usr/bin/env python3
"""Turns the benchmark's raw results (bench/run) into one set of Markdown tables.

Reads from --results: stall.jsonl, beyond.jsonl and suspend.jsonl (one stall.py result a line,
with the path, tool, command and recording length added), rtcost.jsonl (one rtcost.py result
per path), cost.json (cost.py) and levels.txt (levels.sh), whichever exist, and prints the
tables and a check of each target on standard output.
"""

import argparse
import datetime
import json
import os
import platform
import re
import subprocess

RATE = 44100
WRITE_SIZE = 131072
PATH_NAMES = {"pulseaudio": "PulseAudio (ALSA pcm type pulse)",
              "pipewire": "PipeWire (ALSA pcm type pipewire)"}


def load_lines(path):
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return [json.loads(line) for line in f if line.strip()]


def version(command):
    try:
        run = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    except OSError:
        return "not installed"
    for line in run.stdout.splitlines():
        match = re.search(r"\d+\.\d+(\.\d+)?", line)
        if match:
            return match.group(0)
    return "?"


def queue_seconds(row):
    """The queue wavtap keeps for a result row, None for another tool."""
    if not row["tool"].startswith("wavtap"):
        return None
    match = re.search(r"-#q(\d+)", row["command"])
    return min(int(match.group(1)) if match else 5, row["length"])


def lost_something(row):
    """Whether the reader got less than the whole recording, contiguous."""
    return (row["lost"] > 0 or row["repeated"] > 0 or row["status"] != 0
            or row["seconds"] < row["length"] - 0.001 or not row["contiguous"])


def cell(row):
    """One stall result in a few words."""
    parts = []
    if row["lost"] > 0:
        parts.append("%.2f s lost" % (row["lost"] / RATE))
    if row["repeated"] > 0:
        parts.append("%d frames repeated" % row["repeated"])
    if row["seconds"] < row["length"] - 0.001:
        parts.append("stopped at %.1f s" % row["seconds"])
    if row["status"] != 0:
        parts.append("exit status %s" % row["status"])
    if lost_something(row):
        parts.append("reported" if row["said"] else "**silent**")
    own_silence = row["silence"] - row.get("upstream_silence", 0)
    if own_silence > 0:
        parts.append("%.2f s of silence inserted" % (own_silence / RATE))
    # Faults of the sink itself reach the reference recording too: noted, not counted.
    notes = []
    if row.get("upstream_silence"):
        notes.append("%.2f s silence" % (row["upstream_silence"] / RATE))
    if row.get("upstream_lost"):
        notes.append("%.3f s skipped" % (row["upstream_lost"] / RATE))
    if row.get("upstream_repeated"):
        notes.append("%d frames out of order" % row["upstream_repeated"])
    text = ", ".join(parts) if parts else "0"
    if notes:
        text += " (in the sink itself: %s)" % ", ".join(notes)
    return text


def first_message(row, width=110):
    if not row["said"]:
        return ""
    text = row["said"][0]
    return text if len(text) <= width else text[: width - 3] + "..."


def stall_tables(rows):
    out = []
    paths = list(dict.fromkeys(r["path"] for r in rows))
    stalls = sorted(set(r["stall"] for r in rows))
    for path in paths:
        here = [r for r in rows if r["path"] == path]
        tools = list(dict.fromkeys(r["tool"] for r in here))
        out.append("### %s\n" % PATH_NAMES.get(path, path))
        out.append("| tool | " + " | ".join("S = %g s" % s for s in stalls) + " |")
        out.append("|---|" + "---|" * len(stalls))
        for tool in tools:
            cells = []
            for stall in stalls:
                match = [r for r in here if r["tool"] == tool and r["stall"] == stall]
                cells.append(cell(match[0]) if match else "")
            out.append("| %s | %s |" % (tool, " | ".join(cells)))
        said = {}
        for r in here:
            message = first_message(r)
            if message:
                said.setdefault((r["tool"], message), []).append("%g" % r["stall"])
        if said:
            out.append("\nWhat the tools said (first message, and the stalls where it came):\n")
            for (tool, message), where in said.items():
                out.append("- %s, S = %s s: `%s`" % (tool, ", ".join(where), message))
        out.append("")
    return out


def kept_before_gap(row):
    """Seconds of contiguous audio the reader got before the first gap (all of it when none)."""
    gap = row.get("first_gap_s")
    return row["seconds"] if gap is None else gap


def beyond_table(rows):
    out = ["| path | tool | recording | stall | audio read | contiguous audio before the first "
           "gap | lost inside the audio read | first gap at | contiguous | what it said |",
           "|---|---|---|---|---|---|---|---|---|---|"]
    for r in rows:
        gap = r.get("first_gap_s")
        out.append("| %s | %s | %d s | %g s | %.1f s | **%.1f s** | %.2f s (%d frames) | %s | %s "
                   "| %s |" % (
                       r["path"], r["tool"], r["length"], r["stall"], r["seconds"],
                       kept_before_gap(r), r["lost"] / RATE, r["lost"],
                       "—" if gap is None else "%.2f s" % gap,
                       "yes" if r["contiguous"] else "no",
                       "`%s`" % first_message(r, 140) if r["said"] else "nothing"))
    return out


def suspend_cell(row):
    """One suspend result: audio lost, said or silent, recording completed or not."""
    lost = row["lost"] + max(0, int(row["length"] * RATE) - row["frames"])
    parts = ["%.2f s lost" % (lost / RATE) if lost > 0 else "nothing lost"]
    if lost > 0 or row["status"] != 0:
        parts.append("reported" if row["said"] else "**silent**")
    parts.append("completed" if row["seconds"] >= row["length"] - 0.001 and row["status"] == 0
                 else "ended at %.1f s (exit status %s)" % (row["seconds"], row["status"]))
    return ", ".join(parts)


def suspend_table(rows):
    stalls = sorted(set(r["stall"] for r in rows))
    out = ["| path | tool | " + " | ".join("stopped %g s" % s for s in stalls) + " |",
           "|---|---|" + "---|" * len(stalls)]
    for path in dict.fromkeys(r["path"] for r in rows):
        for tool in dict.fromkeys(r["tool"] for r in rows if r["path"] == path):
            cells = []
            for stall in stalls:
                match = [r for r in rows if r["path"] == path and r["tool"] == tool
                         and r["stall"] == stall]
                cells.append(suspend_cell(match[0]) if match else "")
            out.append("| %s | %s | %s |" % (path, tool, " | ".join(cells)))
    said = [(r["path"], r["tool"], r["stall"], first_message(r)) for r in rows if r["said"]]
    if said:
        out.append("\nWhat the tools said:\n")
        out += ["- %s, %s, stopped %g s: `%s`" % item for item in said]
    return out


def rtcost_table(rows):
    out = ["| path | tool | CPU s for 60 s: median (runs) | ratio to arecord |", "|---|---|---|---|"]
    for r in rows:
        base = r["tools"].get("arecord")
        for label, tool in r["tools"].items():
            out.append("| %s | `%s` | %.3f (%s) | %s |" % (
                r["path"], tool["command"], tool["cpu_s"],
                ", ".join("%.3f" % v for v in tool["cpu_s_all"]),
                "%.2f" % (tool["cpu_s"] / base["cpu_s"]) if base and base["cpu_s"] else ""))
    return out


def sizes_text(sizes):
    items = sorted(((int(size), count) for size, count in sizes.items()),
                   key=lambda item: (-item[1], -item[0]))
    return ", ".join("%d × %d" % (count, size) for size, count in items)


def cost_table(cost):
    tools = list(cost["tools"])
    base = cost["tools"].get("arecord")
    head = "| | " + " | ".join("`%s`" % cost["tools"][t]["command"] for t in tools) + " |"
    out = [head, "|---|" + "---|" * len(tools)]

    def row(name, fn):
        out.append("| %s | %s |" % (name, " | ".join(fn(cost["tools"][t]) for t in tools)))

    row("CPU s per hour of audio (user + sys, median)", lambda v: "%.3f" % v["cpu_s_per_hour"])
    if base and base["cpu_s"] > 0:
        row("ratio to arecord", lambda v: "%.2f" % (v["cpu_s"] / base["cpu_s"]))
    row("CPU s for the %d-s recording: median (fastest–slowest run)" % cost["seconds"],
        lambda v: "%.3f (%.3f–%.3f)" % (v["cpu_s"], min(v["cpu_s_all"]), max(v["cpu_s_all"])))
    row("peak resident memory", lambda v: "%.1f MiB" % (v["peak_rss_kib"] / 1024))
    row("write calls to the file", lambda v: "%d" % v["write_calls"])
    row("their sizes (count × bytes)", lambda v: sizes_text(v["write_sizes"]))
    row("bytes per write call, average",
        lambda v: "%.0f" % (v["written_bytes"] / max(1, v["write_calls"])))
    row("file size (expected %d)" % cost["tools"][tools[0]]["expected_bytes"],
        lambda v: "%d" % v["file_bytes"])
    row("wall time of the recording (median)", lambda v: "%.3f s" % v["wall_s"])
    row("wall time against `cat` of the same bytes (%.3f s)" % cost["cat_wall_s"],
        lambda v: "%.1f ×" % (v["wall_s"] / cost["cat_wall_s"]) if cost["cat_wall_s"] else "")
    return out


def levels_table(text):
    out = ["| format | frames/s | × real time |", "|---|---|---|"]
    for line in text.splitlines()[1:]:
        match = re.match(r"(.*?Hz)\s+(\S+)\s+(\S+)$", line.strip())
        if match:
            out.append("| %s | %s | %s |" % match.groups())
    return out


def targets(stall_rows, beyond_rows, cost, suspend_rows=(), rt_rows=()):
    out = []
    pipewire = [r for r in stall_rows if r["path"] == "pipewire" and queue_seconds(r)]
    if pipewire:
        within = [r for r in pipewire if r["stall"] <= queue_seconds(r)]
        failed = [r for r in within if lost_something(r)]
        out.append("- Through PipeWire, no loss for stalls up to the queue length: %s" % (
            "**missed** (%s)" % "; ".join("%s, S = %g s: %s" % (r["tool"], r["stall"], cell(r))
                                          for r in failed)
            if failed else "met (%d recordings with S up to the queue, all whole and "
            "contiguous)" % len(within)))
        arecord = [r for r in stall_rows if r["path"] == "pipewire" and r["tool"].startswith(
            "arecord")]
        if arecord:
            out.append("  - arecord through PipeWire: %s" % "; ".join(
                "S = %g s: %s" % (r["stall"], cell(r)) for r in arecord))
    ours = [r for r in stall_rows + beyond_rows if r["tool"].startswith("wavtap")]
    if ours:
        losses = [r for r in ours if lost_something(r)]
        silent = [r for r in losses if not r["said"]]
        inside = [r for r in losses if r["lost"] > 0 or r["repeated"] > 0 or not r["contiguous"]]
        out.append("- Every loss of wavtap's reported: %s" % (
            "**missed**: silent in %s" % "; ".join(
                "%s %s S = %g s (%s)" % (r["path"], r["tool"], r["stall"], cell(r))
                for r in silent)
            if silent else "met (%d of %d wavtap recordings lost audio, each one said so)"
            % (len(losses), len(ours))))
        if inside:
            out.append("  - wavtap files that are not contiguous audio: %s" % "; ".join(
                "%s %s S = %g s (%s)" % (r["path"], r["tool"], r["stall"], cell(r))
                for r in inside))
        others = [r for r in stall_rows + beyond_rows
                  if not r["tool"].startswith("wavtap") and lost_something(r) and not r["said"]]
        if others:
            out.append("  - arecord lost audio without a word in %d of %d recordings" % (
                len(others), len([r for r in stall_rows + beyond_rows
                                  if not r["tool"].startswith("wavtap")])))
    for path in dict.fromkeys(r["path"] for r in beyond_rows):
        here = [r for r in beyond_rows if r["path"] == path]
        ours = [r for r in here if r["tool"].startswith("wavtap")]
        theirs = [r for r in here if r["tool"].startswith("arecord")]
        if ours and theirs:
            a, b = kept_before_gap(ours[0]), kept_before_gap(theirs[0])
            out.append("- Beyond the queue through %s, wavtap keeps at least the contiguous audio "
                       "arecord keeps before its first gap: %s (%.1f s against %.1f s)" % (
                           path, "met" if a >= b - 0.05 else "**missed**", a, b))
    for r in suspend_rows:
        if not r["tool"].startswith("wavtap"):
            continue
        lost = r["lost"] + max(0, int(r["length"] * RATE) - r["frames"])
        if r["path"] == "pulseaudio":
            ok = lost == 0 and r["status"] == 0 and not r["said"]
            goal = "nothing lost, completed"
        else:
            ok = (lost == 0 and not r["said"]) or (lost > 0 and bool(r["said"]) and not any(
                "Undefined external error" in m for m in r["said"]))
            goal = "any loss reported with its length"
        out.append("- Process stopped %g s through %s: %s (%s): %s" % (
            r["stall"], r["path"], goal, "met" if ok else "**missed**", suspend_cell(r)))
    for r in rt_rows:
        ours, theirs = r["tools"].get("wavtap"), r["tools"].get("arecord")
        if ours and theirs and theirs["cpu_s"]:
            ratio = ours["cpu_s"] / theirs["cpu_s"]
            out.append("- CPU of a 60-s real-time recording through %s at most arecord's: %s "
                       "(ratio %.2f; %.3f against %.3f CPU s)" % (
                           r["path"], "met" if ratio <= 1.0 else "**missed**", ratio,
                           ours["cpu_s"], theirs["cpu_s"]))
    if cost and "wavtap" in cost["tools"] and "arecord" in cost["tools"]:
        ours, theirs = cost["tools"]["wavtap"], cost["tools"]["arecord"]
        ratio = ours["cpu_s"] / theirs["cpu_s"] if theirs["cpu_s"] else float("inf")
        quiet = cost["tools"].get("wavtap -q")
        out.append("- CPU per hour of audio at most 0.8 × arecord's (median of %d runs): %s "
                   "(ratio %.2f%s; %.3f against %.3f CPU s per hour of audio; runs %.3f–%.3f "
                   "against %.3f–%.3f CPU s)" % (
                       cost["reps"], "met" if ratio <= 0.8 else "**missed**", ratio,
                       "; with -q %.2f" % (quiet["cpu_s"] / theirs["cpu_s"]) if quiet else "",
                       ours["cpu_s_per_hour"], theirs["cpu_s_per_hour"],
                       min(ours["cpu_s_all"]), max(ours["cpu_s_all"]),
                       min(theirs["cpu_s_all"]), max(theirs["cpu_s_all"])))
        if cost["cat_wall_s"]:
            wall = ours["wall_s"] / cost["cat_wall_s"]
            out.append("- Wall time at most 1.3 × `cat` of the same bytes: %s (%.1f ×; %.3f s "
                       "against %.3f s)" % ("met" if wall <= 1.3 else "**missed**", wall,
                                            ours["wall_s"], cost["cat_wall_s"]))
        data = ours["expected_bytes"]
        full = ours["write_sizes"].get(str(WRITE_SIZE), ours["write_sizes"].get(WRITE_SIZE, 0))
        other = {k: v for k, v in ours["write_sizes"].items() if int(k) != WRITE_SIZE}
        ok = full == data // WRITE_SIZE and sum(other.values()) <= 2
        out.append("- One write per 128 KiB: %s (%d writes of %d bytes for %d bytes of file; "
                   "other writes: %s)" % ("met" if ok else "**missed**", full, WRITE_SIZE, data,
                                          sizes_text(other) or "none"))
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--results", required=True)
    parser.add_argument("--command", default="bench/run")
    parser.add_argument("--quick", type=int, default=0)
    args = parser.parse_args()
    stall_rows = load_lines(os.path.join(args.results, "stall.jsonl"))
    beyond_rows = load_lines(os.path.join(args.results, "beyond.jsonl"))
    suspend_rows = load_lines(os.path.join(args.results, "suspend.jsonl"))
    rt_rows = load_lines(os.path.join(args.results, "rtcost.jsonl"))
    cost_path = os.path.join(args.results, "cost.json")
    cost = json.load(open(cost_path)) if os.path.exists(cost_path) else None
    levels_path = os.path.join(args.results, "levels.txt")
    levels = open(levels_path).read() if os.path.exists(levels_path) else ""

    out = ["# wavtap benchmark%s\n" % (" (quick run)" if args.quick else ""),
           "`%s` on %s, %s, %d cores, kernel %s; PulseAudio %s, PipeWire %s, arecord %s.\n" % (
               args.command, datetime.datetime.utcnow().strftime("%Y-%m-%d %H:%M UTC"),
               platform.node(), os.cpu_count(), platform.release(), version(["pulseaudio",
                                                                             "--version"]),
               version(["pipewire", "--version"]), version(["arecord", "--version"]))]
    if stall_rows:
        length = stall_rows[0]["length"]
        out.append("## Stall tolerance\n")
        out.append("Each tool records %d s of the counter signal (16-bit stereo, 44100 Hz) from "
                   "a null sink's monitor to standard output. The reader takes the first second,"
                   " stops reading for S s, then reads the rest. A cell gives the audio missing "
                   "from what the reader got (gaps in the counter, or a recording that stopped "
                   "early) and whether the tool said so on standard error; 0 is the whole "
                   "recording, contiguous. wavtap's queue is 5 s by default and at most the "
                   "recording's length, so -#q30 keeps %d s here. A reference recorder (the "
                   "server's own client, parec or pw-record) records the same sink meanwhile: "
                   "a fault it shows too happened in the sink itself (its feeder fell behind on "
                   "a busy machine, say), so it is noted in parentheses and not counted as the "
                   "tool's.\n" % (length, min(30, length)))
        out += stall_tables(stall_rows)
    if beyond_rows:
        out.append("## Loss beyond the queue\n")
        out.append("A stall longer than wavtap's default queue (5 s), its 4 s reserve and the "
                   "device's buffer; through PulseAudio the server keeps about 24 s more, so "
                   "the stall there is longer. Where a file has a gap, the audio before it is "
                   "what the tool, the device and the server held while nobody read.\n")
        out += beyond_table(beyond_rows)
        out.append("")
    if suspend_rows:
        out.append("## A stopped process\n")
        out.append("The recording process itself is stopped (SIGSTOP, then SIGCONT: Ctrl+Z and "
                   "fg, a debugger, a paused machine) 1 s into a 12-s recording, while the "
                   "reader keeps reading. PulseAudio keeps a stopped client's audio; PipeWire "
                   "drops what a stopped client does not take.\n")
        out += suspend_table(suspend_rows)
        out.append("")
    if rt_rows:
        out.append("## Cost of a real-time recording\n")
        out.append("CPU seconds (user + sys) of 60 s of CD-quality audio recorded in real time "
                   "into a file through each sound server, as a user pays while recording; "
                   "runs alternate the tools.\n")
        out += rtcost_table(rt_rows)
        out.append("")
    if cost:
        out.append("## Cost\n")
        out.append("%d s of CD-quality audio recorded into a new file from ALSA's file PCM "
                   "over null, which delivers as fast as it is read. %d timed run(s) per tool; "
                   "write calls from one more run under strace.\n" % (cost["seconds"],
                                                                      cost["reps"]))
        out += cost_table(cost)
        out.append("")
    if levels:
        out.append("## Level meter throughput\n")
        out.append("`measure_levels` over one capture buffer (0.1 s at 44100 Hz), repeated.\n")
        out += levels_table(levels)
        out.append("")
    target_lines = targets(stall_rows, beyond_rows, cost, suspend_rows, rt_rows)
    if target_lines:
        out.append("## Targets\n")
        out += target_lines
        out.append("")
    print("\n".join(out))


if __name__ == "__main__":
    main()
