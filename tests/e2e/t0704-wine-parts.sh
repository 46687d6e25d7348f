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

# Rows: the take's name|the switches. With -m -x each part is renamed when complete, and the
# program (which logs its arguments and exits with status 3) gets its final name, spaces and
# all, as its one argument.
export WAVTAP_ARGS_LOG WAVTAP_ARGS_STATUS=3
for row in "rec|" "my rec|-m -x"; do
    IFS="|" read -r name switches <<<"$row"
    test_expect_success "a take in 3 parts${switches:+ with $switches}: each a complete file, joined one unbroken count" '
    name="'"$name"'" &&
    WAVTAP_ARGS_LOG=$(windows_path args) &&
    program=$(windows_path "${LOG_ARGS:-log_args.exe}") &&
    run "$WAVTAP" "$name" -s6 -t2 -q '"${switches:+-m \"-x\$program\"}"' &&
    test_status 0 &&
    if [ -n "'"$switches"'" ]; then
        printf "*** %s $name-000%s.wav exited with status 3\n" "$program" 1 "$program" 2 "$program" 3 |
            to_crlf >expected &&
            sort stderr >sorted &&
            test_cmp_files expected sorted &&
            printf "1:$name-000%s.wav\n" 1 2 3 >expected-args &&
            sort args >sorted-args &&
            test_cmp_files expected-args sorted-args
    else
        test_stderr_is ""
    fi &&
    ! test -e "$name-0001.wav.part" && ! test -e "$name-0003.wav.part" &&
    for part in "$name-0001.wav" "$name-0002.wav" "$name-0003.wav"; do
        { test "$(file_size "$part")" = 352844 && header_is "$part" 44100 2 16 352800; } || exit 1
    done &&
    ! test -e "$name-0004.wav" &&
    for part in "$name-0001.wav" "$name-0002.wav" "$name-0003.wav"; do tail -c +45 "$part"; done >joined.raw &&
    counter_ok --raw joined.raw
'
done

# -k1: the take's parts older than an hour go once a part is finished (a marked one too); another
# take's file and a newer part stay.
test_expect_success 'with -k1 the take'"'"'s old parts go, never another take'"'"'s file' '
    : >rec-0005.wav && : >rec-0006-2.wav.part && : >other-0005.wav && : >rec-0007.wav &&
    touch -d "3 hours ago" rec-0005.wav rec-0006-2.wav.part other-0005.wav &&
    touch -d "30 minutes ago" rec-0007.wav &&
    run "$WAVTAP" rec -s4 -t2 -q -k1 &&
    test_status 0 &&
    test_text_is stderr "*** Removed rec-0005.wav: older than 1 hour
*** Removed rec-0006-2.wav.part: older than 1 hour
" &&
    ls >actual-files &&
    printf "%s\n" actual-files expected.tmp other-0005.wav rec-0001.wav rec-0002.wav rec-0007.wav \
        stderr stdout >expected-files &&
    test_cmp_files expected-files actual-files
'

# Aligned 2-second parts: every part after the first is named at an even second of the system
# clock, and joined they are the take.
test_expect_success 'aligned parts begin at even seconds and join into one unbroken count' '
    run "$WAVTAP" "rec-%H%M%S" -s6 -t2 -a -u -q &&
    test_status 0 &&
    ls rec-*.wav >parts &&
    count=$(for part in $(cat parts); do [ "$(file_size "$part")" -gt 44 ] && echo "$part"; done | wc -l) &&
    { [ "$count" = 3 ] || [ "$count" = 4 ] || fail "$count parts hold audio: $(ls -l rec-*.wav)"; } &&
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
# to the frame; the first that holds audio begins within a second of the time its name gives (a
# take whose first audio comes after the first boundary has a first part of no audio).
test_expect_success 'aligned parts with -e: ffprobe reads each bext time reference at its boundary' '
    run "$WAVTAP" "bx-%H%M%S" -s6 -t2 -a -u -e -q &&
    test_status 0 &&
    for part in bx-*.wav; do [ "$(file_size "$part")" -gt 654 ] && echo "$part"; done >parts &&
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
# Dead air from the Windows program: at level 128 every buffer is quiet, so the silence begins at
# the take's first frame, at the time of day the take began (UTC), and is still going at its end.
test_expect_success 'dead air at level 128 is reported once, from the first frame at the start time' '
    start=$(date -u +%s) &&
    run "$WAVTAP" rec -s4 -t2 -d128:1 -u -q &&
    test_status 0 &&
    tr -d "\r" <stderr | grep "^\*\*\* S" >lines &&
    test "$(wc -l <lines)" = 1 &&
    at=$(sed -n "s/^\*\*\* Silence since \([0-9][0-9]\):\([0-9][0-9]\):\([0-9][0-9]\) (0:00:00.00 of the take): every channel at or below level 128 for 1 s\$/\1 \2 \3/p" lines) &&
    set -- $at &&
    test $# = 3 &&
    late=$(((10#$1 * 3600 + 10#$2 * 60 + 10#$3 - start % 86400 + 86400 + 43200) % 86400 - 43200)) &&
    { { [ "$late" -ge -1 ] && [ "$late" -le 10 ]; } || fail "the silence began $late s after the start: $(cat lines)"; }
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
