#!/usr/bin/env python3
"""Measures what a real-time recording costs: the CPU seconds (user + system, from the kernel's
accounting of the finished process) of each tool recording --seconds of CD-quality audio into a
file through the sound server that AUDIODEV names, as a user pays while recording.

Tools are given as LABEL=COMMAND (split into words; @S stands for the seconds). Repeated runs
alternate the tools. Prints one JSON object: per tool the command, the CPU seconds of every run,
their median and the exit statuses.
"""

import argparse
import json
import os
import shlex
import statistics
import subprocess
import sys
import tempfile


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=int, default=60)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("tools", nargs="+", metavar="LABEL=COMMAND")
    args = parser.parse_args()
    tools = {}
    for item in args.tools:
        label, _, command = item.partition("=")
        tools[label] = {"command": command.replace("@S", str(args.seconds)), "cpu_s_all": [],
                        "status": []}
    with tempfile.TemporaryDirectory() as work:
        for _ in range(args.reps):
            for tool in tools.values():
                child = subprocess.Popen(shlex.split(tool["command"]), cwd=work,
                                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL)
                _, status, usage = os.wait4(child.pid, 0)
                tool["cpu_s_all"].append(round(usage.ru_utime + usage.ru_stime, 4))
                tool["status"].append(os.waitstatus_to_exitcode(status))
                for name in os.listdir(work):
                    os.unlink(os.path.join(work, name))
    for tool in tools.values():
        tool["cpu_s"] = statistics.median(tool["cpu_s_all"])
    print(json.dumps({"seconds": args.seconds, "reps": args.reps, "tools": tools}))
    return 0


if __name__ == "__main__":
    sys.exit(main())
