#!/bin/bash
# A take in parts from a real-time sound server: a private PulseAudio daemon plays the counter
# signal, so the parts joined must count on without a frame lost or repeated at any boundary.
# labels: realtime
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/wave-checks.sh"
. "$(dirname "$0")/pulse-lib.sh"
unset AUDIODEV

pulse_script_start

test_expect_success '20 parts of 1 s: each a complete file, joined one unbroken count' '
    run "$WAVTAP" rec -s20 -t1 -q &&
    test_status 0 &&
    test_stderr_is "" &&
    for part in $(seq -f rec-%04g.wav 20); do
        wave_ok "$part" 176400 || exit 1
    done &&
    ! test -e rec-0021.wav &&
    for part in $(seq -f rec-%04g.wav 20); do tail -c +45 "$part"; done >joined.raw &&
    counter_ok --raw joined.raw
'
test_done
