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

# Aligned to whole seconds of UTC: the first part runs to the next second, each later part is
# named at the second it begins, one after another, and joined they count on unbroken.
test_expect_success '20 s in aligned parts of 1 s: named at consecutive seconds, one unbroken count' '
    run "$WAVTAP" "rec-%H%M%S" -s20 -t1 -a -u -q &&
    test_status 0 &&
    grep -q "^\*\*\* Sound card clock at .* ppm against the system clock over the take$" stderr &&
    test "$(wc -l <stderr)" = 1 &&
    ls rec-*.wav >parts &&
    count=$(wc -l <parts) &&
    { [ "$count" = 20 ] || [ "$count" = 21 ]; } &&
    second=$(date -u -d "$(sed -n 2p parts | sed "s/rec-\(..\)\(..\)\(..\).wav/\1:\2:\3/")" +%s) &&
    tail -n +2 parts >later-parts &&
    while read -r part; do
        [ "$part" = "rec-$(date -u -d @$second +%H%M%S).wav" ] || { fail "$part out of turn"; exit 1; }
        second=$((second + 1))
    done <later-parts &&
    bytes=0 &&
    while read -r part; do
        size=$(file_size "$part") &&
        wave_ok "$part" $((size - 44)) &&
        bytes=$((bytes + size - 44)) &&
        tail -c +45 "$part" >>joined.raw || exit 1
    done <parts &&
    test "$bytes" = $((20 * 176400)) &&
    counter_ok --raw joined.raw
'
test_done
