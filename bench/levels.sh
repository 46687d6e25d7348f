#!/bin/bash
# Builds the level-meter benchmark with the program's own compiler flags and prints sample
# frames per second through measure_levels, and the multiple of real time at 44100 Hz, for
# stereo and mono in 16 and 8 bits, and 2 and 8 channels of 24-bit, 32-bit and float. Extra
# arguments go to the benchmark program.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! dpkg-query -W -f='${Status}' libbenchmark-dev 2>/dev/null | grep -q 'install ok installed'; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq libbenchmark-dev >/dev/null
fi

# quietly COMMAND...: runs COMMAND with its output kept; when it fails, the output is shown on
# standard error and the script ends with status 1.
quietly() {
    local log status=0
    log=$(mktemp /tmp/wavtap-levels-build.XXXXXX)
    "$@" >"$log" 2>&1 || status=$?
    if [ $status -ne 0 ]; then
        cat "$log" >&2
        rm -f "$log"
        echo "bench/levels.sh: failed (status $status): $*" >&2
        exit 1
    fi
    rm -f "$log"
}

dir=${WAVTAP_BENCH_DIR:-build-bench}
quietly cmake -S . -B "$dir" -G Ninja -DWAVTAP_BENCH=ON -DWAVTAP_TESTS=OFF
quietly cmake --build "$dir" --target levels_bench
"$dir/bench/levels_bench" --benchmark_min_time=0.5 --benchmark_format=json "$@" 2>/dev/null |
    python3 -c '
import json, sys
report = json.load(sys.stdin)
print("%-26s %16s %14s" % ("format", "frames/s", "x real time"))
for run in report["benchmarks"]:
    args = dict(part.split(":") for part in run["name"].split("/")[1:])
    channels = {"1": "mono", "2": "stereo"}.get(args["channels"], args["channels"] + "-channel")
    kind = "float" if args["float"] == "1" else args["bits"] + "-bit"
    print("%-26s %16.4g %14.0f" % ("%s %s 44100 Hz" % (channels, kind),
                                    run["frames/s"], run["x_real_time"]))
'
