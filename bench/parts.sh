#!/bin/bash
# Frames lost at part boundaries: a take of N s in parts of 1 s (at least 100 boundaries)
# through private PulseAudio and PipeWire servers that play the counter signal, recorded by
# wavtap -t1 and by arecord --max-file-time 1, with the counter read across all the parts.
# Run bench/run once first (it installs the packages and builds build-bench).
#
#   bench/parts.sh [--seconds N] [--paths "pulseaudio pipewire"] [--out FILE]
#
# Prints a Markdown table and writes it to FILE (default bench/parts-results.md).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=101 paths="pulseaudio pipewire" out=bench/parts-results.md
while [ $# -gt 0 ]; do
    case $1 in
    --seconds) seconds=$2 && shift ;;
    --paths) paths=$2 && shift ;;
    --out) out=$2 && shift ;;
    *)
        sed -n '2,/^set -e/{/^set -e/d;s/^# \{0,1\}//;p}' "$0" >&2
        exit 2
        ;;
    esac
    shift
done
build=${WAVTAP_BENCH_DIR:-build-bench}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DWAVTAP_TESTS=OFF >/dev/null
cmake --build "$build" --target wavtap >/dev/null
wavtap=$root/$build/wavtap
export WAVTAP_FEED_LATENCY_MSEC=${WAVTAP_FEED_LATENCY_MSEC:-500}
work=$(mktemp -d /tmp/wavtap-parts.XXXXXX)
trap 'rm -rf "$work"' EXIT
say() { printf '== %s\n' "$*" >&2; }

# One take of each tool through PATH, one JSON line each on standard output.
measure_path() {
    local path=$1 pcm
    case $path in
    pulseaudio)
        # shellcheck source=tests/soundserver/pulse.sh
        . tests/soundserver/pulse.sh
        pulse_start 44100 && pulse_feed && pcm=$WAVTAP_PULSE_PCM
        ;;
    pipewire)
        # shellcheck source=bench/pipewire.sh
        . bench/pipewire.sh
        pipewire_plugin "$root/$build/pipewire-alsa" && pipewire_start 44100 && pipewire_feed &&
            pcm=$WAVTAP_PIPEWIRE_PCM
        ;;
    esac
    say "$path: wavtap -t1, $seconds s"
    rm -rf "$work/w" && mkdir "$work/w"
    (cd "$work/w" && AUDIODEV=$pcm timeout $((seconds + 60)) "$wavtap" take -q -s"$seconds" -t1)
    # shellcheck disable=SC2046 # the parts, in their order
    python3 bench/parts_gaps.py "wavtap -t1" "$path" $(ls "$work"/w/take-*.wav | sort -V)
    say "$path: arecord --max-file-time 1, $seconds s"
    rm -rf "$work/a" && mkdir "$work/a"
    (cd "$work/a" && timeout $((seconds + 60)) arecord -q -D "$pcm" -f cd -t wav -d "$seconds" \
        --max-file-time 1 take.wav) || :
    # shellcheck disable=SC2046
    python3 bench/parts_gaps.py "arecord --max-file-time 1" "$path" $(ls "$work"/a/*.wav | sort -V)
    case $path in
    pulseaudio) pulse_stop ;;
    pipewire) pipewire_stop ;;
    esac
}

for path in $paths; do
    (measure_path "$path")
done >"$work/results.jsonl"

{
    echo "Frames lost at part boundaries, $seconds s in parts of 1 s (44100 Hz, 16-bit stereo)," \
        "load average $(cut -d' ' -f1-3 /proc/loadavg) at the end:"
    echo
    echo "| path | tool | parts | boundaries | frames lost at boundaries | worst boundary | boundaries with loss | with repeat | leading silence | gaps inside parts |"
    echo "|---|---|---|---|---|---|---|---|---|---|"
    python3 -c 'import json, sys
for line in open(sys.argv[1]):
    r = json.loads(line)
    print("| %(path)s | %(tool)s | %(parts)d | %(boundaries)d | %(lost_total)d | %(lost_max)d | %(boundaries_with_loss)d | %(boundaries_with_repeat)d | %(leading_silence)d | %(gaps_inside_parts)d |" % r)' \
        "$work/results.jsonl"
} | tee "$out"
