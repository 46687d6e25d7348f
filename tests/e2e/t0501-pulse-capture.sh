#!/bin/bash
# Recordings from a real-time sound server through ALSA's "pulse" PCM: a private PulseAudio
# daemon whose null sink plays the counter signal, recorded from the sink's monitor, so that
# every frame recorded says which frame it is. Complete recordings, Ctrl+C, a source that
# pauses, a source that stops, and a reader that stalls while the server keeps its audio.
# labels: realtime
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/wave-checks.sh"
. "$(dirname "$0")/pulse-lib.sh"
: "${ALSA_PROBE:?ALSA_PROBE must name the alsa_probe test program (ctest sets it)}"
unset AUDIODEV

pulse_script_start

# gap_at_most_one FILE: the counter in FILE has at most one gap, and no repeat or silence.
gap_at_most_one() {
    check_counter "$1" >counter.txt || : # a gap is allowed here; the lines below judge
    grep -qx "gaps: [01]" counter.txt && grep -qx "repeats: 0" counter.txt &&
        grep -qx "silence inside: 0 frame(s) in 0 run(s)" counter.txt ||
        { cat counter.txt; fail "more than one gap"; }
}

# Seconds since the epoch, with fractions.
now() { date +%s.%N; }

# Waits (at most 30 s, then kills it) for the recording started in the background as $pid and
# sets $status.
finish() { wait_job "$pid" 30; }

test_expect_success 'the default device records exactly 5 s: length, header, every frame in order' '
    run "$WAVTAP" rec -s5 &&
    test_status 0 &&
    ! grep -F "***" stderr &&
    wave_ok rec.wav 882000 &&
    counter_ok rec.wav
'

test_expect_success '-l lists the pulse PCM by name, and -ipulse records from it to an absolute path' '
    run "$WAVTAP" -l &&
    test_status 0 &&
    grep -qxF " 0  default  (ALSA'\''s default; AUDIODEV is not set)" stdout &&
    grep -qE "^    pulse  [^ ]" stdout &&
    run "$WAVTAP" "$PWD/rec" -s2 -ipulse &&
    test_status 0 &&
    ! grep -F "***" stderr &&
    wave_ok rec.wav 352800 &&
    counter_ok rec.wav
'

# While the sink is suspended its monitor delivers nothing, and the server drops what the monitor
# held at that moment (the same gap shows in every client). That is a pause of the source, not a
# loss in the recorder: the recording goes on when the audio comes back.
test_expect_success 'AUDIODEV names the PCM; a source that pauses for 1 s is no error' '
    in_background env AUDIODEV="$WAVTAP_PULSE_PCM" "$WAVTAP" rec -s3 -q >stdout 2>stderr </dev/null &&
    test_when_finished pulse_resume &&
    sleep 1 &&
    pulse_suspend &&
    sleep 1 &&
    pulse_resume &&
    finish &&
    test_status 0 &&
    test_stderr_is "" &&
    wave_ok rec.wav 529200 &&
    gap_at_most_one rec.wav
'

test_expect_success 'Ctrl+C after 2 s cuts the file back to the buffers captured, header to match' '
    in_background "$WAVTAP" rec -s20 >stdout 2>stderr </dev/null &&
    wait_for_text "Avg Level" &&
    sleep 2 &&
    { kill -INT $pid || fail "wavtap ended before Ctrl+C: $(cat -A stderr)"; } &&
    finish &&
    test_status 0 &&
    tr "\r" "\n" <stderr | tail -n 2 >last-lines &&
    { head -n 1 last-lines | grep -qE "^  0:00:00  Avg Level: +[0-9]+ +[0-9]+$" &&
        tail -n 1 last-lines | grep -qxF "*** Keyboard abort -- truncating output..." ||
        fail "last lines: $(cat -A last-lines)"; } &&
    test "$(grep -cF "***" stderr)" = 1 &&
    bytes=$(($(file_size rec.wav) - 44)) &&
    test $((bytes % 17640)) = 0 && test $bytes -gt 0 && test $bytes -lt 3528000 &&
    wave_ok rec.wav $bytes &&
    counter_ok rec.wav
'

test_expect_success 'a source that stops ends the capture after about 2.5 s, the file cut back' '
    in_background "$WAVTAP" rec -s20 -q >stdout 2>stderr </dev/null &&
    test_when_finished pulse_resume &&
    sleep 1.5 &&
    pulse_suspend &&
    suspended=$(now) &&
    finish &&
    ended=$(now) &&
    pulse_resume &&
    test_status 1 &&
    test_stderr_is "*** Capture error during unknown: The input device stopped delivering audio.
" &&
    { awk -v a=$suspended -v b=$ended "BEGIN { exit !(b - a >= 2 && b - a < 6) }" ||
        fail "stopped at $suspended, ended at $ended: not about 2.5 s later"; } &&
    bytes=$(($(file_size rec.wav) - 44)) &&
    test $((bytes % 17640)) = 0 && test $bytes -gt 0 &&
    wave_ok rec.wav $bytes &&
    counter_ok rec.wav
'

# The ALSA buffer holds 4 s at most; PulseAudio keeps a stalled client's audio far beyond it, so
# nothing is lost when the reader comes back, and nothing must be said to be.
test_expect_success 'a reader that stalls for 4.5 s loses nothing and reports nothing' '
    run "$ALSA_PROBE" read mapper 44100 2 16 264600 -p 132300:4500 &&
    test_status 0 &&
    test_stderr_is "" &&
    counter_ok stdout --raw
'

# When something failed, say how the server fared: a feeder that underran or a daemon that
# ended explains gaps and silence that are not the recorder's.
if [ "$tests_failed" -gt 0 ]; then
    echo "# feeder underruns: $(pulse_feed_underruns)"
    pulse_alive "$WAVTAP_PULSE_PID" ||
        echo "# the daemon ended: $(tail -n 5 "$WAVTAP_PULSE_DIR/daemon.log" 2>/dev/null)"
fi
# front_pair_to_s16 FILE HEADER BITS CHANNELS: writes the first two channels of FILE's data
# (after HEADER bytes) as raw 16-bit stereo, failing on a sample that is not a 16-bit sample
# widened exactly (24-bit: shifted by 8; float: over 32768).
front_pair_to_s16() {
    python3 -c '
import struct, sys
path, header, bits, channels = sys.argv[1], int(sys.argv[2]), sys.argv[3], int(sys.argv[4])
data = open(path, "rb").read()[header:]
size = 3 if bits == "24" else 4
frames = len(data) // (size * channels)
out = bytearray()
for f in range(frames):
    for c in (0, 1):
        at = (f * channels + c) * size
        if bits == "24":
            v = int.from_bytes(data[at:at + 3], "little", signed=True)
            if v & 255:
                sys.exit("frame %d: %d is not a widened 16-bit sample" % (f, v))
            v >>= 8
        else:
            x = struct.unpack_from("<f", data, at)[0] * 32768
            v = int(x)
            if v != x:
                sys.exit("frame %d: %r is not a 16-bit sample over 32768" % (f, x))
        out += struct.pack("<h", v)
sys.stdout.buffer.write(out)
' "$@"
}

# The server spreads the stereo feed over 5.1 as front pair, copies of it at the back, their
# mix in the centre and a silent LFE.
test_expect_success 'a 6-channel float take and a 24-bit stereo take carry every frame of the stereo feed' '
    run "$WAVTAP" rec -s2 -q -c6 -b32f &&
    test_status 0 &&
    test_stderr_is "" &&
    test "$(file_size rec.wav)" = $((68 + 88200 * 24)) &&
    python3 -c "import struct, sys
d = open(\"rec.wav\", \"rb\").read()[68:]
s = struct.unpack(\"<%df\" % (len(d) // 4), d)
f = [s[i:i + 6] for i in range(0, len(s), 6)]
sys.exit(not all(x[4] == x[0] and x[5] == x[1] and x[3] == 0 for x in f) or not any(x[2] for x in f))" &&
    front_pair_to_s16 rec.wav 68 32f 6 >front.raw &&
    check_counter --raw front.raw >counter.txt &&
    grep -qx "frames: 88200" counter.txt &&
    { ! command -v ffprobe >/dev/null || probe_is rec.wav pcm_f32le 44100 6 5.1 2.000000; } &&
    run "$WAVTAP" rec -s2 -q -b24 &&
    test_status 0 &&
    test "$(file_size rec.wav)" = $((68 + 88200 * 6)) &&
    front_pair_to_s16 rec.wav 68 24 2 >front.raw &&
    counter_ok --raw front.raw
'

test_done
