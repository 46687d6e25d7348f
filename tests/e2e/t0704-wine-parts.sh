#!/bin/bash
# A take in parts by the Windows program under Wine, through Wine's PulseAudio driver from a
# private PulseAudio server whose null sink plays the counter signal: the parts joined count on
# without a frame lost or repeated.
# labels: realtime
. "$(dirname "$0")/wine-lib.sh"
. "$(dirname "$0")/pulse-lib.sh"

# The feeder keeps more audio queued than by default, as for the other Wine recordings.
export WAVTAP_FEED_LATENCY_MSEC=${WAVTAP_FEED_LATENCY_MSEC:-300}
export WAVTAP_WINE_AUDIO=pulse
pulse_script_start

test_expect_success 'a take in 3 parts: each a complete file, joined one unbroken count' '
    run "$WAVTAP" rec -s6 -t2 -q &&
    test_status 0 &&
    test_stderr_is "" &&
    for part in rec-0001.wav rec-0002.wav rec-0003.wav; do
        { test "$(file_size "$part")" = 352844 && header_is "$part" 44100 2 16 352800; } || exit 1
    done &&
    ! test -e rec-0004.wav &&
    for part in rec-0001.wav rec-0002.wav rec-0003.wav; do tail -c +45 "$part"; done >joined.raw &&
    counter_ok --raw joined.raw
'

# Aligned 2-second parts: every part after the first is named at an even second of the system
# clock, and joined they are the take.
test_expect_success 'aligned parts begin at even seconds and join into one unbroken count' '
    run "$WAVTAP" "rec-%H%M%S" -s6 -t2 -a -u -q &&
    test_status 0 &&
    ls rec-*.wav >parts &&
    count=$(wc -l <parts) &&
    { [ "$count" = 3 ] || [ "$count" = 4 ]; } &&
    tail -n +2 parts >later-parts &&
    while read -r part; do
        [ $((10#${part:8:2} % 2)) = 0 ] || { fail "$part does not begin at an even second"; exit 1; }
    done <later-parts &&
    bytes=0 &&
    while read -r part; do
        size=$(file_size "$part") &&
        header_is "$part" 44100 2 16 $((size - 44)) &&
        bytes=$((bytes + size - 44)) &&
        tail -c +45 "$part" >>joined.raw || exit 1
    done <parts &&
    test "$bytes" = 1058400 &&
    counter_ok --raw joined.raw &&
    grep -q "^\*\*\* Sound card clock at .* ppm against the system clock over the take" stderr
'
# With -e every aligned part carries a bext chunk that ffprobe reads: a part after the first
# begins at its boundary, so its time reference is that second of the day (UTC) times the rate,
# to the frame; the first begins within a second of the time its name gives.
test_expect_success 'aligned parts with -e: ffprobe reads each bext time reference at its boundary' '
    run "$WAVTAP" "bx-%H%M%S" -s6 -t2 -a -u -e -q &&
    test_status 0 &&
    ls bx-*.wav >parts &&
    first=$(head -n 1 parts) &&
    while read -r part; do
        name=${part#bx-} &&
        second=$((10#${name:0:2} * 3600 + 10#${name:2:2} * 60 + 10#${name:4:2})) &&
        reference=$(ffprobe -v error -show_entries format_tags=time_reference -of csv=p=0 "$part") &&
        if [ "$part" = "$first" ]; then
            late=$((reference / 44100 - second)) &&
            { [ "$late" = 0 ] || [ "$late" = 1 ]; } || { fail "$part: time reference $reference"; exit 1; }
        else
            [ "$reference" = $((second * 44100)) ] || { fail "$part: time reference $reference, expected $((second * 44100))"; exit 1; }
        fi
    done <parts &&
    for part in $(cat parts); do tail -c +655 "$part"; done >joined.raw &&
    counter_ok --raw joined.raw
'
# The server is killed 2 s into a take of 14 s in parts of 5 s and started again 2 s later, with
# its feeder: the program waits for the device, opens it again and goes on in a new part; each
# part's audio counts on unbroken, and the gap counts towards the take.
test_expect_success 'a server killed and started again: the take goes on in a new part' '
    in_background "$WAVTAP" rec -s14 -t5 >stdout 2>stderr </dev/null &&
    wait_for_text "0:00:12" &&
    pulse_kill_server &&
    sleep 2 &&
    pulse_restart_server &&
    wait_job "$pid" 40 &&
    test_status 1 &&
    tr "\r" "\n" <stderr | grep "^\*\*\*" >lines &&
    gap=$(sed -n "s/^\*\*\* The input device is back after \([0-9.]*\) s$/\1/p" lines) &&
    sed "1s/ after 0:00:0[0-9.]* of the take, at the end of rec-0001.wav: .*/ in rec-0001.wav/" lines >actual &&
    printf "%s\n" "*** Audio lost in rec-0001.wav" \
        "*** Waiting for the input device to come back, trying every second" \
        "*** The input device is back after $gap s" "*** The take goes on in rec-0002.wav" \
        "*** 1 loss in the take, $gap s of audio lost in all" >expected &&
    test_cmp_files expected actual &&
    bytes=0 &&
    for part in rec-*.wav; do
        size=$(file_size "$part") &&
        header_is "$part" 44100 2 16 $((size - 44)) &&
        counter_ok "$part" &&
        bytes=$((bytes + size - 44)) || exit 1
    done &&
    taken_ms=$((bytes / 1764 * 10 + ${gap%.*} * 1000 + ${gap#*.} * 100)) &&
    { { [ "$taken_ms" -ge 13700 ] && [ "$taken_ms" -le 14300 ]; } || fail "audio and gap make $taken_ms ms"; }
'
test_done
