#!/bin/bash
# What a recording killed hard (SIGKILL) leaves, and what keeping the file true costs: prints a
# Markdown section.
#
#   bench/killed.sh WAVTAP [WORK]
#
# - Killed hard: 20 s of the counter signal recorded through a private PulseAudio server by
#   wavtap, arecord, sox and ffmpeg (each through the ALSA PCM that reaches the server), killed
#   with SIGKILL after 6 s: the file's length, what its header says, the audio on disk after the
#   header, and whether the audio the header counts is the counter without a gap.
# - Cost: CPU seconds per hour of audio and wall time of a 10-minute recording from an unpaced
#   source (ALSA's file PCM over null), with the default sync interval (-#s1) and with it off
#   (-#s0), median of 5 runs each.
# - A busy disk: 60 s recorded through PulseAudio while another process writes the same disk
#   with dd oflag=sync in a loop, with -#s1 and -#s0: the frames lost (the counter's gaps), the
#   CPU and wall time.
# Needs what bench/run installs (PulseAudio, alsa-utils, sox, ffmpeg, time). About 4 minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
wavtap=${1:?usage: bench/killed.sh WAVTAP [WORK]}
work=${2:-$(mktemp -d /tmp/wavtap-killed.XXXXXX)}
mkdir -p "$work"
say() { printf '== %s\n' "$*" >&2; }

# facts FILE: "length|header data bytes|audio bytes on disk after the header|counted audio is
# contiguous" for a RIFF/WAVE file (16-bit stereo 44100 Hz).
facts() {
    python3 - "$1" <<'EOF'
import os, struct, subprocess, sys
path = sys.argv[1]
blob = open(path, "rb").read() if os.path.exists(path) else b""
if len(blob) < 12 or blob[0:4] != b"RIFF" or blob[8:12] != b"WAVE":
    print("%d|no header|-|-" % len(blob))
    sys.exit(0)
at, data_at, size = 12, None, None
while at + 8 <= len(blob):
    cid, csize = struct.unpack_from("<4sI", blob, at)
    if cid == b"data":
        data_at, size = at + 8, csize
        break
    at += 8 + csize + (csize & 1)
if data_at is None:
    print("%d|no data chunk|-|-" % len(blob))
    sys.exit(0)
# The take's audio on disk: the data area without a preallocated end (zeros, and the byte that
# grew a new file to its length).
rest = blob[data_at:]
rest = rest[:-1] if rest.endswith(b",") else rest
on_disk = len(rest.rstrip(b"\0"))
counted = min(size, on_disk) // 4 * 4
raw = path + ".counted.raw"
open(raw, "wb").write(blob[data_at:data_at + counted])
ok = subprocess.run([sys.executable, "tests/soundserver/check_counter.py", "--raw", raw],
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0
os.remove(raw)
said = "%.2f s" % (size / 176400) if size != 0xFFFFFFFF else "unknown (0xFFFFFFFF)"
print("%d|%s|%.2f s|%s" % (len(blob), said, on_disk / 176400,
                          "yes" if ok else ("nothing counted" if counted == 0 else "no")))
EOF
}

# shellcheck source=tests/soundserver/pulse.sh
. tests/soundserver/pulse.sh
export WAVTAP_PULSE_OWNER=$$
trap 'pulse_stop >/dev/null 2>&1 || :' EXIT
pulse_start 44100 >&2 && pulse_feed >&2
pcm=$WAVTAP_PULSE_PCM

echo "### Killed hard"
echo
echo "20 s recorded through PulseAudio, SIGKILL after 6 s (\`bench/killed.sh\`)."
echo
echo "| tool | file length | the header says | audio on disk | what the header counts is the take |"
echo "|---|---|---|---|---|"
tools=(
    "wavtap|$wavtap $work/wavtap.wav -s20 -q"
    "arecord|arecord -q -D $pcm -f cd -t wav -d 20 $work/arecord.wav"
    "sox|sox -q -t alsa $pcm -r 44100 -c 2 -b 16 -e signed-integer $work/sox.wav trim 0 20"
    "ffmpeg|ffmpeg -nostdin -loglevel error -f alsa -sample_rate 44100 -channels 2 -i $pcm -t 20 -c:a pcm_s16le -y $work/ffmpeg.wav"
)
for tool in "${tools[@]}"; do
    label=${tool%%|*}
    say "killed hard: $label"
    rm -f "$work/$label.wav"
    # shellcheck disable=SC2086 # the command is split into words on purpose
    AUDIODEV=$pcm ${tool#*|} </dev/null >/dev/null 2>"$work/$label.stderr" &
    pid=$!
    sleep 6
    kill -KILL "$pid"
    wait "$pid" 2>/dev/null || :
    sleep 0.5
    echo "| $label | $(facts "$work/$label.wav" | sed 's/|/ | /g') |"
done
echo

# The unpaced source of bench/cost.py.
cat >"$work/asound.conf" <<'EOF'
</usr/share/alsa/alsa.conf>
pcm.wavtap_unpaced {
    type file
    slave.pcm "null"
    file "/dev/null"
    format "raw"
}
EOF
echo "### What keeping the file true costs"
echo
echo "10 minutes of 16-bit stereo 44100 Hz from an unpaced source (ALSA's file PCM over null), median of 5 runs."
echo
echo "| wavtap | CPU s per audio hour | wall s | syncs |"
echo "|---|---|---|---|"
for interval in 1 0; do
    say "cost: -#s$interval"
    cpus=() walls=()
    for _ in 1 2 3 4 5; do
        rm -f "$work/cost.wav"
        ALSA_CONFIG_PATH=$work/asound.conf /usr/bin/time -f "%U %S %e" -o "$work/time.txt" \
            "$wavtap" "$work/cost.wav" -s600 -q -iwavtap_unpaced "-#s$interval" </dev/null
        read -r user system wall <"$work/time.txt"
        cpus+=("$(echo "($user + $system) * 6" | bc -l)")
        walls+=("$wall")
    done
    rm -f "$work/cost.wav"
    syncs=$(ALSA_CONFIG_PATH=$work/asound.conf strace -f -e trace=fdatasync -o "$work/strace.txt" \
        "$wavtap" "$work/cost.wav" -s600 -q -iwavtap_unpaced "-#s$interval" </dev/null &&
        grep -c 'fdatasync(' "$work/strace.txt")
    median() { printf '%s\n' "$@" | sort -n | sed -n 3p; }
    printf '| -#s%s | %.2f | %.2f | %s |\n' "$interval" "$(median "${cpus[@]}")" "$(median "${walls[@]}")" "$syncs"
done
rm -f "$work/cost.wav"
echo

echo "### A busy disk"
echo
echo "60 s recorded through PulseAudio by wavtap while dd writes the same disk with oflag=sync in a loop."
echo
echo "| wavtap | recorded | frames lost | CPU s | wall s | feeder underruns | messages |"
echo "|---|---|---|---|---|---|---|"
for interval in 1 0; do
    say "a busy disk: 60 s with -#s$interval and dd oflag=sync beside it"
    (while :; do dd if=/dev/zero of="$work/load" bs=64k count=64 oflag=sync 2>/dev/null; done) &
    load=$!
    AUDIODEV=$pcm /usr/bin/time -f "%U %S %e" -o "$work/time.txt" \
        "$wavtap" "$work/busy.wav" -s60 -q "-#s$interval" </dev/null 2>"$work/busy.stderr" || :
    kill "$load"
    wait "$load" 2>/dev/null || :
    rm -f "$work/load"
    read -r user system wall <"$work/time.txt"
    report=$(python3 tests/soundserver/check_counter.py "$work/busy.wav" || :)
    lost=$(printf '%s\n' "$report" | sed -n 's/^frames lost: \([0-9]*\).*/\1/p')
    printf '| -#s%s | %s | %s | %.2f | %.2f | %s | %s |\n' "$interval" \
        "$(facts "$work/busy.wav" | cut -d'|' -f2)" "${lost:-?}" "$(echo "$user + $system" | bc -l)" \
        "$wall" "$(pulse_feed_underruns)" "$(tr '\r\n' '  ' <"$work/busy.stderr" | sed 's/  */ /g;s/|/\\|/g' | tail -c 200)"
done
echo
rm -f "$work"/*.wav
