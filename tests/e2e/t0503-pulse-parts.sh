#!/bin/bash
# A take in parts from a real-time sound server: a private PulseAudio daemon plays the counter
# signal, so the parts joined must count on without a frame lost or repeated at any boundary.
# labels: realtime
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/wave-checks.sh"
. "$(dirname "$0")/pulse-lib.sh"
unset AUDIODEV
# The feeder's queue at the server: with its default 250 ms it underran now and then on two busy
# cores, and a feeder that underruns no longer plays the counter on its clock.
export WAVTAP_FEED_LATENCY_MSEC=${WAVTAP_FEED_LATENCY_MSEC:-1000}

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
# named at the second it begins, one after another, and joined they count on unbroken. A take
# begun just before a second may get its first audio after it: its first part then holds none,
# and 20 or 21 parts hold the audio.
test_expect_success '20 s in aligned parts of 1 s: named at consecutive seconds, one unbroken count' '
    run "$WAVTAP" "rec-%H%M%S" -s20 -t1 -a -u -q &&
    test_status 0 &&
    { grep -q "^\*\*\* Sound card clock at .* ppm against the system clock over the take$" stderr &&
        [ "$(wc -l <stderr)" = 1 ] || fail "stderr: $(cat stderr)"; } &&
    ls -l rec-*.wav &&
    ls rec-*.wav >parts &&
    count=$(for part in $(cat parts); do [ "$(file_size "$part")" -gt 44 ] && echo "$part"; done | wc -l) &&
    { [ "$count" = 20 ] || [ "$count" = 21 ] || fail "$count parts hold audio"; } &&
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
    { [ "$bytes" = $((20 * 176400)) ] || fail "$bytes bytes of audio"; } &&
    counter_ok --raw joined.raw
'

# The same take with -e, timed: the feeder says on the system clock when it played each counter
# value, so each part's first frame tells when the part begins. Every part after the first
# begins within 50 ms of its boundary, and every part's bext time reference (frames since UTC
# midnight) is when its first frame was played, within 50 ms. The sink hands frames to the
# monitor ahead of playing them by its latency, which is pinned at 10 ms for this.
test_expect_success '20 s in aligned parts of 1 s with -e: each part begins within 50 ms of its boundary, as its bext chunk says' '
    pulse_pin_latency 10 &&
    test_when_finished pulse_pin_stop &&
    run "$WAVTAP" "rec-%H%M%S" -s20 -t1 -a -u -e -q &&
    test_status 0 &&
    { grep -q "^\*\*\* Sound card clock at .* ppm against the system clock over the take$" stderr &&
        [ "$(wc -l <stderr)" = 1 ] || fail "stderr: $(cat stderr)"; } &&
    ls -l rec-*.wav &&
    ls rec-*.wav >parts &&
    count=$(for part in $(cat parts); do [ "$(file_size "$part")" -gt 654 ] && echo "$part"; done | wc -l) &&
    { [ "$count" = 20 ] || [ "$count" = 21 ] || fail "$count parts hold audio"; } &&
    t0=$(pulse_feed_t0) &&
    cat "$WAVTAP_PULSE_DIR/feeder.clock" &&
    { [ "$(pulse_feed_underruns)" = 0 ] || fail "the feeder underran: its clock no longer holds"; } &&
    { python3 "$WAVTAP_SOURCE_DIR/tests/soundserver/check_part_times.py" --t0 "$t0" \
        --join joined.raw $(cat parts) >times.txt || { cat times.txt; fail "parts off their boundaries"; }; } &&
    cat times.txt &&
    test "$(file_size joined.raw)" = $((20 * 176400)) &&
    counter_ok --raw joined.raw
'

# The server is killed 3 s into a take of 14 s in parts of 5 s and started again 2 s later, with
# the feeder (whose counter starts again from 1): the part is cut back at the kill, the take
# waits for the device and goes on in a new part, and the time the device was gone counts
# towards the take, which ends at its planned end.
test_expect_success 'a server killed and started again: the take goes on in a new part and ends on time' '
    start_ms=$(($(date +%s%N) / 1000000)) &&
    in_background "$WAVTAP" rec -s14 -t5 -q >stdout 2>stderr </dev/null &&
    sleep 3 &&
    pulse_kill_server &&
    sleep 2 &&
    pulse_restart_server &&
    wait_job "$pid" 30 &&
    elapsed_ms=$(($(date +%s%N) / 1000000 - start_ms)) &&
    test_status 1 &&
    gap=$(sed -n "3s/^\*\*\* The input device is back after \([0-9.]*\) s$/\1/p" stderr) &&
    sed "1s/^\(\*\*\* Audio lost after 0:00:0\)[0-9.]*\( of the take, at the end of rec-0001.wav: \).*/\1X\2TEXT/" stderr >lines &&
    test_file_is lines "*** Audio lost after 0:00:0X of the take, at the end of rec-0001.wav: TEXT
*** Waiting for the input device to come back, trying every second
*** The input device is back after $gap s
*** The take goes on in rec-0002.wav
*** 1 loss in the take, $gap s of audio lost in all
" &&
    ls rec-*.wav >parts &&
    bytes=0 &&
    while read -r part; do
        size=$(file_size "$part") &&
        wave_ok "$part" $((size - 44)) &&
        counter_ok "$part" &&
        bytes=$((bytes + size - 44)) || exit 1
    done <parts &&
    taken_ms=$((bytes / 1764 * 10 + ${gap%.*} * 1000 + ${gap#*.} * 100)) &&
    { { [ "$taken_ms" -ge 13800 ] && [ "$taken_ms" -le 14200 ]; } || fail "audio and gap make $taken_ms ms"; } &&
    { [ "$elapsed_ms" -lt 17000 ] || fail "the take ended $elapsed_ms ms after it began"; }
'
test_done
