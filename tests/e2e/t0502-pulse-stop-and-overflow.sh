#!/bin/bash
# Recordings through the private PulseAudio server that outlast a stop: the whole process
# stopped (kill -STOP, kill -CONT) while the server keeps its audio, and a reader stalled for
# longer than every layer together can keep, so that the server drops audio. The counter signal
# shows every frame in its place. Also 8-bit audio converted from the server's 16-bit samples.
# labels: realtime
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/pulse-lib.sh"
unset AUDIODEV

pulse_script_start

test_expect_success 'a process stopped for 4 s loses nothing, and the take runs to its end' '
    in_background "$WAVTAP" rec -s12 >stdout 2>stderr </dev/null &&
    wait_for_text "Avg Level" &&
    sleep 2 &&
    kill -STOP $pid &&
    sleep 4 &&
    kill -CONT $pid &&
    wait_job $pid 30 &&
    test_status 0 &&
    { ! tr "\r" "\n" <stderr | grep -F "***" || fail "$(tr "\r" "\n" <stderr | grep -F "***")"; } &&
    test "$(file_size rec.wav)" = $((44 + 12 * 176400)) &&
    counter_ok rec.wav
'

# With one second of buffers queued, the reader stalls 40 s: the 1 s queue, the 4 s reserve,
# the 4 s ALSA buffer and the ~24 s the server keeps for a client hold less than that. The
# file must hold everything up to the first frame the server dropped.
test_expect_success 'beyond what every layer keeps: the file holds all audio before the gap' '
    { "$WAVTAP" - -s90 -q -#q1 2>stderr </dev/null; echo $? >status; } |
        python3 -c "import sys, time
i, o = sys.stdin.buffer, sys.stdout.buffer
o.write(i.read(44 + 2 * 176400)); o.flush()
time.sleep(40)
o.write(i.read())" >got.wav &&
    status=$(cat status) &&
    test_status 1 &&
    grep -E "^\*\*\* Capture error during unknown: input buffer overflowed, up to [0-9.]+ s of audio lost$" stderr &&
    tail -c +45 got.wav >got.raw &&
    counter_ok got.raw --raw &&
    seconds=$(($(file_size got.raw) / 176400)) &&
    { test $seconds -ge 28 || fail "only $seconds s before the gap"; }
'

# The server's sink is 16-bit; asked for 8 bits, it converts each sample to unsigned 8 bits
# (its high byte, sign bit flipped) itself. (Plug converting over the server's PCM is refused
# by ALSA for every client; t0304 has plug over 16-bit silence.)
test_expect_success '-b8 from the 16-bit server: every byte as the conversion makes it' '
    timeout 20 "$WAVTAP" rec -b8 -s3 -q >stdout 2>stderr </dev/null &&
    test_stderr_is "" &&
    test "$(file_size rec.wav)" = $((44 + 3 * 88200)) &&
    python3 "$WAVTAP_SOURCE_DIR/tests/soundserver/check_counter8.py" rec.wav
'

if [ "$tests_failed" -gt 0 ]; then
    echo "# feeder underruns: $(pulse_feed_underruns)"
    pulse_alive "$WAVTAP_PULSE_PID" ||
        echo "# the daemon ended: $(tail -n 5 "$WAVTAP_PULSE_DIR/daemon.log" 2>/dev/null)"
fi
test_done
