#!/bin/bash
# Takes in parts (-t): the parts joined are the device's signal without a gap or a repeat, each
# part a complete wave file; their names; stops, losses and a part that cannot be prepared.
# labels: threaded
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/capture-lib.sh"
. "$(dirname "$0")/wave-checks.sh"

command -v ffprobe >/dev/null && test_set_prereq FFPROBE

# check_parts FIRST FILE:FRAMES...: each FILE's header agrees with its length, and it holds
# FRAMES frames of the signal, the first at frame FIRST and each next file going on where the one
# before ended.
check_parts() {
    local first=$1 part
    shift
    for part in "$@"; do
        $CHECK_SIGNAL "${part%:*}" --first "$first" --frames "${part#*:}" >signal.txt ||
            { fail "${part%:*}: $(cat signal.txt)"; return 1; }
        first=$((first + ${part#*:}))
    done
}

# The files the take left, one a line.
parts_left() { ls "$@" >actual-parts 2>/dev/null || :; }

test_expect_success 'a take in many parts: joined they are the signal, the last part shorter' '
    head -c 1000000 /dev/urandom >take-0002.wav &&
    record speed=0 take -q -s7 -t2 &&
    test_status 0 &&
    test_stderr_is "" &&
    parts_left take* &&
    printf "take-000%s.wav\n" 1 2 3 4 >expected-parts &&
    test_cmp_files expected-parts actual-parts &&
    check_parts 0 take-0001.wav:88200 take-0002.wav:88200 take-0003.wav:88200 take-0004.wav:44100
'

test_expect_success FFPROBE 'with -e every part has its own bext chunk, which names the part' '
    head -c 1000000 /dev/urandom >take-0002.wav &&
    start=1796083200 &&
    TZ=UTC0 record speed=0,clock=$start take -q -s5 -t2 -e &&
    test_status 0 &&
    check_parts 0 take-0001.wav:88200 take-0002.wav:88200 take-0003.wav:44100 &&
    version=$("$SIM" --version | sed "s/^wavtap //") &&
    for n in 1 2 3; do
        at=$(((start + 2 * (n - 1)) * 1000000000)) &&
        bext_is take-000$n.wav 44100 "$at" "$at" 0 \
            "wavtap $version: device 0, 44100 Hz, 2 ch, 16 bit, part $n of a take in parts of 2 s" || exit 1
    done
'

# Aligned parts begin at their boundaries: the time reference is the boundary's second times the
# rate, to the frame. The take starts at 00:00:01 UTC; its parts begin at 00:00:01, :02 and :04.
test_expect_success FFPROBE 'with -a and -e each part'"'"'s time reference is its boundary, to the frame' '
    start=1796083201 &&
    record speed=0,clock=$start take -q -s5 -t2 -a -u -e &&
    test_status 0 &&
    version=$("$SIM" --version | sed "s/^wavtap //") &&
    for row in 1:1 2:2 3:4; do
        n=${row%:*} second=${row#*:} &&
        at=$(((start - 1 + second) * 1000000000)) &&
        bext_is take-000$n.wav 44100 "$at" "$at" 0 \
            "wavtap $version: device 0, 44100 Hz, 2 ch, 16 bit, part $n of a take in parts of 2 s" &&
        grep -qx "TAG:time_reference=$((second * 44100))" bext-tags || exit 1
    done
'

# Aligned parts of takes whose audio ends after their planned end by the system clock: a device
# whose first audio comes 1.5 s late (as a sound server's may), the first part then holding none,
# and a device 5 % slow. Each part still ends at its boundary, the last one at the audio's end.
while IFS='|' read -r sim switches parts what; do
    test_expect_success "aligned parts from a device $what end at their boundaries" '
    record speed=0,clock=1796083200,$sim "take-%H%M%S" -q -u -a $switches &&
    test_status 0 &&
    for part in $parts; do echo "${part%:*}"; done >expected-parts &&
    parts_left take* &&
    test_cmp_files expected-parts actual-parts &&
    check_parts 0 $parts
'
done <<'EOT'
late=1500|-s3 -t1|take-000000.wav:0 take-000001.wav:22050 take-000002.wav:44100 take-000003.wav:44100 take-000004.wav:22050|whose first audio comes late
ppm=-50000|-s10 -t10|take-000000.wav:418950 take-000010.wav:22050|5 % slow
EOT

test_expect_success 'parts of an odd rate and mono 8-bit each hold their whole seconds' '
    record speed=0 take.wav -q -f11025 -c1 -b8 -#b4 -s5 -t2 &&
    test_status 0 &&
    header_is take-0002.wav 11025 1 8 22050 &&
    check_parts 0 take-0001.wav:22050 take-0002.wav:22050 take-0003.wav:11025
'

# On a disk every part costs its syncs, over a minute for 10000 parts on a busy machine; in
# memory (/dev/shm, when there is one) they cost nothing, and the names are what counts here.
test_expect_success 'a take of 10000 parts numbers them with five digits' '
    dir=$(mktemp -d /dev/shm/wavtap-parts.XXXXXX 2>/dev/null || mktemp -d "$PWD/parts.XXXXXX") &&
    test_when_finished "rm -rf \"$dir\"" &&
    record speed=0 "$dir/take" -q -f100 -c1 -b8 -#b1 -s10000 -t1 &&
    test_status 0 &&
    (cd "$dir" && ls take*) >all-parts &&
    test "$(wc -l <all-parts)" = 10000 &&
    test "$(head -n 1 all-parts)" = take-00001.wav &&
    test "$(tail -n 1 all-parts)" = take-10000.wav &&
    check_parts 999800 "$dir/take-09999.wav:100" "$dir/take-10000.wav:100"
'

test_expect_success 'a name with % is a strftime pattern of the parts start times' '
    record speed=0 "rec-%s" -q -s3 -t1 &&
    test_status 0 &&
    first=$(ls rec-*.wav | sed -n "1s/rec-\([0-9]*\)\.wav/\1/p") &&
    parts_left rec-* &&
    printf "rec-%s.wav\n" $first $((first + 1)) $((first + 2)) >expected-parts &&
    test_cmp_files expected-parts actual-parts &&
    check_parts 0 rec-$first.wav:44100 rec-$((first + 1)).wav:44100 rec-$((first + 2)).wav:44100
'

test_expect_success 'parts that a pattern gives the same name get a counter' '
    record speed=0 "rec-%Y.wav" -q -s3 -t1 &&
    test_status 0 &&
    year=$(date +%Y) &&
    check_parts 0 rec-$year.wav:44100 rec-$year-2.wav:44100 rec-$year-3.wav:44100
'

# rec-%S over 65 one-second parts: the seconds come round again after 60, and the 5 parts that
# get a name an earlier part got take the counter instead of overwriting it. The run of 5 names
# with a counter starts at the take's first second, s0: the parts in order are rec-(s0+k mod 60)
# for k up to 59, then those 5.
test_expect_success 'a name that any earlier part got gets a counter, not only the last one' '
    record speed=0 "rec-%S" -q -f100 -c1 -b8 -s65 -t1 &&
    test_status 0 &&
    test "$(ls rec-*.wav | wc -l)" = 65 &&
    test "$(ls rec-*-2.wav | wc -l)" = 5 &&
    for s in $(seq 0 59); do
        [ -e "rec-$(printf %02d $s)-2.wav" ] &&
            [ ! -e "rec-$(printf %02d $(((s + 59) % 60)))-2.wav" ] && s0=$s || :
    done &&
    parts=() &&
    for k in $(seq 0 64); do
        name=rec-$(printf %02d $(((s0 + k) % 60))) &&
        if [ $k -ge 60 ]; then name=$name-2; fi &&
        parts+=("$name.wav:100")
    done &&
    check_parts 0 "${parts[@]}"
'

# Local time that goes back an hour in the middle of the take: a zone whose summer time (UTC+1)
# ends at the next full hour of UTC but one when that is less than 10 minutes away. The take's
# twelve quarter-hour parts then span the end of summer time, and the parts of the hour after it
# get the names of the hour before it once more: every part still gets a file of its own.
test_expect_success 'parts named by local time keep their own files when the clock goes back' '
    now=$(date -u +%s) &&
    day=$(($(date -u -d @$now +%-j) - 1)) &&
    hour=$(($(date -u -d @$now +%-H) + 2)) &&
    if [ "$(date -u -d @$now +%-M)" -ge 50 ]; then hour=$((hour + 1)); fi &&
    TZ="STD0DST-1,0/0,$day/$hour" record speed=0 "%Y-%m-%d_%H%M" -q -f100 -c1 -b8 -s10800 -t900 &&
    test_status 0 &&
    test "$(ls ./*.wav | wc -l)" = 12 &&
    test "$(ls ./*-2.wav | wc -l)" -ge 1 &&
    for part in ./*.wav; do
        test "$(file_size "$part")" = 90044 || { fail "$part: $(file_size "$part") bytes"; return 1; }
    done
'

# check_stopped_take: take-0001.wav, take-0002.wav, ... are the signal from frame 0 without a
# gap, every part full (1 s) but the last, which holds whole buffers, at least one; nothing else
# is left.
check_stopped_take() {
    local count first=0 part frames
    count=$(ls take-*.wav | wc -l) &&
        [ "$count" -ge 2 ] || { fail "$count parts"; return 1; }
    for part in $(seq -f take-%04g.wav "$count"); do
        $CHECK_SIGNAL "$part" --first $first >signal.txt || { fail "$part: $(cat signal.txt)"; return 1; }
        frames=$(sed -n 's/.*frames=\([0-9]*\).*/\1/p' signal.txt) &&
            first=$((first + frames)) || return 1
        [ "$part" = "$(printf take-%04d.wav "$count")" ] || [ "$frames" -eq 44100 ] ||
            { fail "$part: $frames frames in a part that is not the last"; return 1; }
    done
    [ $((frames % 4410)) -eq 0 ] && [ "$frames" -gt 0 ] || fail "last part: $frames frames"
}

for signal in INT TERM; do
    test_expect_success "-s0 stopped by SIG$signal: the current part cut back, the next one gone" '
        start_recording speed=4 take -s0 -t1 &&
        wait_for_text "0:00:01" &&
        wait_until 10 test -e take-0003.wav &&
        kill -'"$signal"' $pid &&
        finish &&
        test_status 0 &&
        tail -n 1 stderr >last &&
        test_file_is last "*** Keyboard abort -- truncating output...
" &&
        check_stopped_take
    '
done

# Rows: the switches, the name the part prepared ahead has while the take runs. With -m it gets
# its final name back.
for row in ":take-0003.wav" "-m:take-0003.wav.part"; do
    test_expect_success "a part prepared ahead that was an existing file is left with no audio ${row%%:*}" '
        head -c 500000 /dev/urandom >take-0003.wav &&
        start_recording speed=4 take -q -s0 -t1 '"${row%%:*}"' &&
        wait_until 10 eval "[ \"\$(file_size '"${row#*:}"')\" = 176444 ]" &&
        kill -INT $pid &&
        finish &&
        test_status 0 &&
        ! test -e take-0003.wav.part &&
        check_parts 0 take-0001.wav:$(($(file_size take-0001.wav) / 4 - 11)) take-0003.wav:0
    '
done

test_expect_success '-m leaves a first part that another recording holds as it is' '
    echo "another take" >take-0001.wav && exec 9<take-0001.wav && flock -n 9 &&
    record speed=0 take -q -s4 -t2 -m &&
    test_status 255 &&
    test_stderr_is "Output file in use by another recording: take-0001.wav
" &&
    test_file_is take-0001.wav "another take
" &&
    ! test -e take-0001.wav.part
'

test_expect_success 'the part being recorded and the one prepared ahead are locked' '
    start_recording speed=1 take -q -s0 -t1 &&
    test_when_finished "kill -INT $pid 2>/dev/null || :" &&
    wait_until 10 test -e take-0003.wav &&
    for part in take-0002 take-0003; do
        record "" $part -q -s1 &&
        test_status 255 &&
        test_stderr_is "Output file in use by another recording: $part.wav
" || exit 1
    done
'

# A part is a regular file: a device at its name (here /dev/full) cannot be prepared.
# At the third part's name: a link to a device, or a file that another recording holds (its lock
# taken on descriptor 9 of the test's shell, which wavtap inherits). With -m neither is renamed.
while IFS='|' read -r what switches reason; do
    test_expect_success "a part that cannot be prepared ($what) ends the take after the part before it $switches" '
    if [ "$what" = "a device" ]; then
        ln -s /dev/full take-0003.wav
    else
        echo "another take" >take-0003.wav && exec 9<take-0003.wav && flock -n 9
    fi &&
    record speed=0 take -q -s8 -t2 $switches &&
    test_status 255 &&
    test_stderr_is "Error initialzing output: take-0003.wav
Could be bad drive, bad file name, or disk full.
$reason
" &&
    parts_left take* &&
    printf "take-000%s.wav\n" 1 2 3 >expected-parts &&
    test_cmp_files expected-parts actual-parts &&
    check_parts 0 take-0001.wav:88200 take-0002.wav:88200 &&
    if [ "$what" = "a device" ]; then test -L take-0003.wav; else test_file_is take-0003.wav "another take
"; fi
'
done <<'EOT'
a device||Invalid argument
a device|-m|Invalid argument
in use||Resource temporarily unavailable
in use|-m|Resource temporarily unavailable
EOT

# A loss at the start of buffer 25 and one in its middle (half of its 4410 frames kept); the
# gap is 0.8 s (35280 frames). The take still records its 60 buffers.
for row in lose_after:0.00:22050:66150 short:0.05:24255:66150; do
    set -- ${row//:/ }
    test_expect_success "a loss ($1) cuts the part, the take goes on after the gap in a new one" '
        record speed=0,'"$1"'=25 take -q -s6 -t2 &&
        test_status 1 &&
        test_stderr_is "*** Audio lost after 0:00:02.5'"${2#0.0}"' of the take, at the end of take-0002.wav: Input overran: audio was lost (0.8 s)
*** The take goes on in take-0003.wav
*** 1 loss in the take, 0.8 s of audio lost in all
" &&
        check_parts 0 take-0001.wav:88200 take-0002.wav:'"$3"' &&
        check_parts $((88200 + '"$3"' + 35280)) take-0003.wav:88200 take-0004.wav:'"$4"'
    '
done

# 11025 Hz in 4 buffers a second: the first buffer of every second holds one frame more, and a
# part cut at a loss keeps it.
test_expect_success 'a part cut at a loss keeps every frame before the gap, at any rate' '
    record speed=0,bps=4,lose_after=5 take -q -f11025 -c1 -b8 -#b4 -s5 -t2 &&
    test_status 1 &&
    check_parts 0 take-0001.wav:13782 &&
    check_parts $((13782 + 8820)) take-0002.wav:22050 take-0003.wav:19293
'

test_expect_success 'two losses are counted together in the closing line' '
    record speed=0,lose_after=5,lose_after=25 take -q -s3 -t10 &&
    test_status 1 &&
    tail -n 1 stderr >last &&
    test_file_is last "*** 2 losses in the take, 1.6 s of audio lost in all
" &&
    check_parts 0 take-0001.wav:22050 &&
    check_parts $((22050 + 35280)) take-0002.wav:88200 &&
    check_parts $((22050 + 88200 + 2 * 35280)) take-0003.wav:22050
'

# Two losses of their own lengths two buffers apart, both noted by the unpaced device before the
# capture reaches the first: 0.1 s (4410 frames) at the start of buffer 25, 0.3 s (13230 frames)
# in the middle of the buffer after the next. Each is reported with its own text, length and
# position, and the closing line adds the two lengths.
test_expect_success 'two losses close together are each reported with their own length' '
    record speed=0,lose_after=25:4410,short=26:13230 take -q -s6 -t2 &&
    test_status 1 &&
    test_stderr_is "*** Audio lost after 0:00:02.50 of the take, at the end of take-0002.wav: Input overran: audio was lost (0.1 s)
*** The take goes on in take-0003.wav
*** Audio lost after 0:00:02.65 of the take, at the end of take-0003.wav: Input overran: audio was lost (0.3 s)
*** The take goes on in take-0004.wav
*** 2 losses in the take, 0.4 s of audio lost in all
" &&
    check_parts 0 take-0001.wav:88200 take-0002.wav:22050 &&
    check_parts $((110250 + 4410)) take-0003.wav:6615 &&
    check_parts $((114660 + 6615 + 13230)) take-0004.wav:88200 take-0005.wav:61740
'

# With -q each message is whole lines written at once, so that a log (the journal) takes it line
# by line and no other line comes between its pieces: every write to standard error ends in a
# newline, and every line is a "***" line or one of the reason lines named in the row. Rows:
# WAVTAP_SIM, the switches, a file to make /dev/full first, the reason lines allowed. (The leak
# checker cannot run under strace.)
strace -f -qq -e trace=write -o /dev/null true 2>/dev/null && test_set_prereq STRACE
test_expect_success STRACE 'with -q every message is whole lines, each written at once' '
    while IFS="|" read -r sim switches full reasons; do
        rm -f take* &&
        { [ -z "$full" ] || ln -s /dev/full "$full"; } &&
        run strace -f -qq -e trace=write -e signal=none -s 4096 -o trace \
            env ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" \
            WAVTAP_SIM="$sim" "$SIM" take $switches &&
        test -s stderr &&
        grep "^[0-9]* *write(2, " trace >writes &&
        test "$(wc -l <writes)" -ge 2 &&
        if grep -v "\\\\n\", [0-9]*) *= [0-9]*\$" writes; then
            fail "a write that does not end a line: $sim $switches"
        fi &&
        if grep -vxE "\*\*\* .*${reasons:+|$reasons}" stderr; then
            fail "a line that is neither *** nor a reason: $sim $switches"
        fi || exit 1
    done <<-\EOF
	speed=0,lose_after=25,silence=500:1500| -q -s6 -t2 -d0:1||
	speed=0,lose_after=5,stall_after=15| -q -s3 -t10 -d128||
	speed=0,silence=0:3000| -q -s8 -t2 -d0:1|take-0003.wav|Error initialzing output: take-0003.wav|Could be bad drive, bad file name, or disk full.|Invalid argument
	EOF
'

# The device stalls 1.5 s into the take (buffer 15; the loss before it is counted in frames, not
# buffers) and is back 3 s later: the 30 buffers of the gap count towards the 10 s take.
test_expect_success 'a stall after a loss is reported as the stall, not as the loss' '
    record speed=0,lose_after=5,stall_after=15,back_after=3000 take -q -s10 -t10 &&
    test_status 1 &&
    test_stderr_is "*** Audio lost after 0:00:00.50 of the take, at the end of take-0001.wav: Input overran: audio was lost (0.8 s)
*** The take goes on in take-0002.wav
*** Audio lost after 0:00:01.50 of the take, at the end of take-0002.wav: The input device stopped delivering audio.
*** Waiting for the input device to come back, trying every second
*** The input device is back after 3.0 s
*** The take goes on in take-0003.wav
*** 2 losses in the take, 3.8 s of audio lost in all
" &&
    check_parts 0 take-0001.wav:22050 &&
    check_parts $((22050 + 35280)) take-0002.wav:44100 &&
    check_parts $((22050 + 35280 + 44100 + 132300)) take-0003.wav:242550 &&
    parts_left take* &&
    printf "take-000%s.wav\n" 1 2 3 >expected-parts &&
    test_cmp_files expected-parts actual-parts
'

# A device that fails (die_after) or stops delivering (stall_after, seen after the 2.5 s wait) is
# closed and opened again every second until it is back (back_after ms after it went): the part is
# cut back at its last frame, the take goes on in a new part, and the time the device was gone
# counts towards the take's length. The device's clock stands in for the system clock, so the
# gap is the simulated one to the frame. Rows: WAVTAP_SIM | switches | position of the failure |
# the device's text | the gap | parts before it | first frame after it | parts after it.
while IFS='|' read -r config switches position text gap before after_first after; do
    last_before=${before##* } first_after=${after%% *}
    test_expect_success "$config $switches: the take goes on in a new part after a ${gap} s gap" '
        record "speed=0,'"$config"'" '"$switches"' -q &&
        test_status 1 &&
        test_stderr_is "*** Audio lost after '"$position"' of the take, at the end of '"${last_before%:*}"': '"$text"'
*** Waiting for the input device to come back, trying every second
*** The input device is back after '"$gap"' s
*** The take goes on in '"${first_after%:*}"'
*** 1 loss in the take, '"$gap"' s of audio lost in all
" &&
        check_parts 0 '"$before"' &&
        check_parts '"$after_first"' '"$after"' &&
        parts_left take* &&
        for part in '"$before $after"'; do echo "${part%:*}"; done | sort >expected-parts &&
        test_cmp_files expected-parts actual-parts
    '
done <<EOT
die_after=25,back_after=1500|take -s6 -t2|0:00:02.50|Input device failed: the device stopped working|1.5|take-0001.wav:88200 take-0002.wav:22050|176400|take-0003.wav:88200
die_after=3,back_after=2200|take -i2 -s4 -t2|0:00:00.30|Input device failed: the device stopped working|2.2|take-0001.wav:13230|110250|take-0002.wav:66150
bps=4,die_after=5,back_after=1200|take -f11025 -c1 -b8 -#b4 -s5 -t2|0:00:01.25|Input device failed: the device stopped working|1.2|take-0001.wav:13782|27012|take-0002.wav:22050 take-0003.wav:8268
stall_after=12,back_after=4000|take -isim -s10 -t4|0:00:01.20|The input device stopped delivering audio.|4.0|take-0001.wav:52920|229320|take-0002.wav:176400 take-0003.wav:35280
EOT

# The device fails 2.5 s into the take and is back only much later. A stop 1.2 s into the wait
# ends the take at once: the parts before the failure stay as they are, the part prepared ahead
# is removed, and the gap, cut short, has no known length. A take of 4 s reaches its planned end
# 1.5 s into the wait and ends there, the rest of it counted as lost. The bounds (ms from the
# wait's message to the end) leave room for a sanitizer's build on a busy machine; how soon the
# wait sees a stop (50 ms) is the unit tests' to tell. A wait that missed the stop would run into
# the run limit, the device being back only after 10 minutes.
while IFS='|' read -r back_after length stop closing low high what; do
    test_expect_success "$what while the device is gone ends the take then, the parts intact" '
    start_recording speed=0,die_after=25,back_after=$back_after take -q $length -t2 &&
    wait_for_text "*** Waiting for the input device" &&
    waiting_ms=$(($(date +%s%N) / 1000000)) &&
    if [ -n "$stop" ]; then sleep 1.2 && kill -$stop $pid; fi &&
    finish &&
    ended_ms=$(($(date +%s%N) / 1000000 - waiting_ms)) &&
    test_status 1 &&
    test_stderr_is "*** Audio lost after 0:00:02.50 of the take, at the end of take-0002.wav: Input device failed: the device stopped working
*** Waiting for the input device to come back, trying every second
${stop:+*** Keyboard abort -- truncating output...
}*** 1 loss in the take, $closing of audio lost in all
" &&
    check_parts 0 take-0001.wav:88200 take-0002.wav:22050 &&
    parts_left take* &&
    printf "take-000%s.wav\n" 1 2 >expected-parts &&
    test_cmp_files expected-parts actual-parts &&
    { { [ "$ended_ms" -ge "$low" ] && [ "$ended_ms" -lt "$high" ]; } || fail "ended $ended_ms ms into the wait"; }
'
done <<'EOT'
600000|-s0|INT|more than 0.0 s|1200|6200|a stop
5000|-s4||1.5 s|1000|4500|the planned end
EOT

# Aligned parts after the gap: the take starts at 00:00:01 and the device stalls 1.5 s later, to
# be back 4 s after that, at 00:00:06.5; the part after the gap is named by its first frame
# (00:00:06), which its bext time reference gives to the frame, and runs to the next boundary,
# where the part named for 00:00:08 begins; the take ends at its planned end, 00:00:11.
test_expect_success FFPROBE 'aligned parts go on to the next boundary after the gap' '
    start=1796083201 &&
    record speed=0,stall_after=15,back_after=4000,clock=$start "take-%H%M%S" -q -s10 -t2 -a -u -e &&
    test_status 1 &&
    grep -qx "\*\*\* The take goes on in take-000006.wav" stderr &&
    check_parts 0 take-000001.wav:44100 take-000002.wav:22050 &&
    check_parts $((66150 + 176400)) take-000006.wav:66150 take-000008.wav:88200 \
        take-000010.wav:44100 &&
    ffprobe -v error -show_entries format_tags=time_reference -of csv=p=0 take-000006.wav >reference &&
    test_file_is reference "$((6 * 44100 + 22050))
"
'

# Finished parts told apart (-m) and handed on (-x). WATCH_PARTS watches the take's directory:
# every file is created as NAME.part, and each final name, as it appears, is a complete part of
# the signal that nothing writes again.
WATCH_PARTS="python3 $WAVTAP_SOURCE_DIR/tests/tools/watch_parts.py"

# log_args [LOG]: a program for -x that appends its argument count and first argument to LOG
# (./args by default), one line a call; the program's path is printed.
log_args() {
    printf '#!/bin/sh\nprintf "%%s:%%s\\n" "$#" "$1" >>"%s"\n' "${1:-$PWD/args}" >log-args &&
        chmod +x log-args && echo "$PWD/log-args"
}

test_expect_success 'with -m each part gets its final name only once complete and synced' '
    in_background $WATCH_PARTS . 6 44100 ready >watch.txt &&
    watcher=$pid &&
    wait_until 10 test -e ready &&
    record speed=4 take -q -s6 -t1 -m &&
    test_status 0 &&
    test_stderr_is "" &&
    wait_job $watcher 30 &&
    printf "take-000%s.wav ok\n" 1 2 3 4 5 6 >expected &&
    test_cmp_files expected watch.txt &&
    test_status 0
'

# Rows: how the take ends|WAVTAP_SIM|switches|the parts it leaves, NUMBER:FIRST:FRAMES ("" for
# a stop: as check_stopped_take wants them). A loss and a stop finish their parts cut back; the
# part prepared ahead is given up under its marked name. Over 24 parts of 1 s (paced: 6 s) the
# programs that end are reaped while the take runs, or the 21st part would find no room.
for row in "at its length|speed=0|-s5 -t2|1:0:88200 2:88200:88200 3:176400:44100" \
    "over 24 parts|speed=4|-f100 -c1 -b8 -#b1 -s24 -t1|$(for n in $(seq 24); do printf "%d:%d:100 " $n $(((n - 1) * 100)); done)" \
    "after a loss|speed=0,lose_after=25|-s6 -t2|1:0:88200 2:88200:22050 3:145530:88200 4:233730:66150" \
    "at a stop|speed=0,interrupt_after=25|-s0 -t1|"; do
    IFS="|" read -r ending config switches parts <<<"$row"
    test_expect_success "-m -x $ending: every part renamed and handed on exactly once" '
        program=$(log_args) &&
        record '"$config"' take -q '"$switches"' -m "-x$program" &&
        for part in '"$parts"'; do
            IFS=: read -r number first frames <<<"$part" &&
            part=$(printf take-%04d.wav $number) &&
            echo $part >>expected-parts &&
            $CHECK_SIGNAL $part --first $first --frames $frames >signal.txt ||
                { fail "$part: $(cat signal.txt)"; exit 1; }
        done &&
        if [ -z "'"$parts"'" ]; then check_stopped_take && ls take-*.wav >expected-parts; fi &&
        parts_left take* &&
        test_cmp_files expected-parts actual-parts &&
        sed "s/^/1:/" expected-parts >expected-args &&
        sort args >sorted-args &&
        test_cmp_files expected-args sorted-args
    '
done

test_expect_success '-m reuses an earlier final name in place and a marked name left by a kill' '
    head -c 500000 /dev/urandom >take-0001.wav &&
    head -c 500000 /dev/urandom >take-0002.wav.part &&
    head -c 500000 /dev/urandom >take-0003.wav &&
    stat -c %i take-0001.wav take-0002.wav.part take-0003.wav >expected-files &&
    record speed=0 take -q -s5 -t2 -m &&
    test_status 0 &&
    stat -c %i take-0001.wav take-0002.wav take-0003.wav >actual-files &&
    test_cmp_files expected-files actual-files &&
    parts_left take* &&
    printf "take-000%s.wav\n" 1 2 3 >expected-parts &&
    test_cmp_files expected-parts actual-parts &&
    check_parts 0 take-0001.wav:88200 take-0002.wav:88200 take-0003.wav:44100
'

test_expect_success 'a name with spaces, quotes and $(...) reaches the program as one argument' '
    mkdir "my tools" &&
    (cd "my tools" && log_args "$SCRATCH/args" >/dev/null) &&
    name="it'"'"'s a \"take\" \$(touch pwned) \`touch pwned\`" &&
    record speed=0 "$name" -q -s2 -t1 -m "-x$PWD/my tools/log-args" &&
    test_status 0 &&
    test_stderr_is "" &&
    printf "1:%s-000%s.wav\n" "$name" 1 "$name" 2 >expected-args &&
    sort "$SCRATCH/args" >sorted-args &&
    test_cmp_files expected-args sorted-args &&
    ! test -e pwned && ! test -e "my tools/pwned"
'

# wavtap ignores SIGPIPE and SIGXFSZ (signals 13 and 25) and holds the parts' locks, the take's
# name and the output open: the program gets none of them, and the null device as its input.
test_expect_success 'the program gets no descriptor of wavtap, null input and default signals' '
    printf "#!/bin/sh\nls /proc/self/fd | tr \"\\\\n\" \" \" >>\"%s\"\nreadlink /proc/self/fd/0 >>\"%s\"\nsed -n \"s/^SigIgn:\\\\t//p\" /proc/self/status >>\"%s\"\n" \
        "$PWD/probe.txt" "$PWD/probe.txt" "$PWD/probe.txt" >probe && chmod +x probe &&
    run env WAVTAP_SIM=speed=0 "$SIM" take -q -s1 -t1 -m "-x$PWD/probe" &&
    test_status 0 &&
    { test "$(head -n 1 probe.txt)" = "0 1 2 3 /dev/null" || fail "$(cat probe.txt)"; } &&
    ignored=$(sed -n 2p probe.txt) &&
    { test $((0x$ignored & 0x1001000)) = 0 || fail "ignored: $ignored"; }
'

# A program that fails or is ended by a signal is reported; one that hangs is left running
# after 5 s. The device is paced and holds 0.3 s at most: a capture that waited for a program
# would lose audio, and the parts joined would not be the signal.
for row in "exits 3|exit 3|exited with status 3" "ends itself with SIGTERM|kill -TERM \\\$\\\$|was ended by signal 15"; do
    IFS="|" read -r how body reported <<<"$row"
    test_expect_success "a program that $how costs no frame and is reported" '
        printf "#!/bin/sh\n%s\n" "'"$body"'" >fails && chmod +x fails &&
        record speed=4,overrun=300 take -q -s3 -t1 -m "-x$PWD/fails" &&
        test_status 0 &&
        printf "*** $PWD/fails take-000%s.wav '"$reported"'\n" 1 2 3 >expected &&
        sort stderr >sorted &&
        test_cmp_files expected sorted &&
        check_parts 0 take-0001.wav:44100 take-0002.wav:44100 take-0003.wav:44100
    '
done

test_expect_success 'programs that hang cost no frame and hold up the end 5 s at most' '
    printf "#!/bin/sh\necho \$\$ >>\"%s\"\nexec sleep 60\n" "$PWD/pids" >hangs && chmod +x hangs &&
    test_when_finished "kill \$(cat pids) 2>/dev/null || :" &&
    started=$(date +%s) &&
    record speed=4,overrun=300 take -q -s3 -t1 -m "-x$PWD/hangs" &&
    ended=$(date +%s) &&
    test_status 0 &&
    test_stderr_is "*** Not waiting for 3 commands still running
" &&
    [ $((ended - started)) -ge 5 ] && [ $((ended - started)) -le 10 ] &&
    test "$(wc -l <pids)" = 3 &&
    check_parts 0 take-0001.wav:44100 take-0002.wav:44100 take-0003.wav:44100
'

# 4 programs run and 16 parts wait; of the 25 parts of 1 s the 21st to the 25th find no room.
test_expect_success 'parts beyond the running and the waiting programs are skipped and told' '
    printf "#!/bin/sh\necho \$\$ >>\"%s\"\nexec sleep 60\n" "$PWD/pids" >hangs && chmod +x hangs &&
    test_when_finished "kill \$(cat pids) 2>/dev/null || :" &&
    record speed=0 take -q -f100 -c1 -b8 -#b1 -s25 -t1 "-x$PWD/hangs" &&
    test_status 0 &&
    for n in 21 22 23 24 25; do
        echo "*** Not running $PWD/hangs for take-00$n.wav: 20 commands still running" || exit 1
    done >expected &&
    echo "*** Not waiting for 20 commands still running" >>expected &&
    test_cmp_files expected stderr &&
    test "$(wc -l <pids)" = 20
'

test_expect_success 'a program that cannot be started is reported and the take goes on' '
    record speed=0 take -q -s2 -t1 -m "-x$PWD/no such program" &&
    test_status 0 &&
    printf "*** Could not run $PWD/no such program: No such file or directory\n%.0s" 1 2 >expected &&
    test_cmp_files expected stderr &&
    check_parts 0 take-0001.wav:44100 take-0002.wav:44100
'

# A directory at a part's final name: that part stays under its marked name, and is handed on
# under it; the take goes on.
test_expect_success 'a rename that fails is reported, the part handed on under its marked name' '
    mkdir take-0002.wav &&
    program=$(log_args) &&
    record speed=0 take -q -s3 -t1 -m "-x$program" &&
    test_status 0 &&
    test_stderr_is "*** Could not rename take-0002.wav.part to take-0002.wav: Is a directory
" &&
    check_parts 0 take-0001.wav:44100 take-0002.wav.part:44100 take-0003.wav:44100 &&
    printf "1:take-000%s\n" 1.wav 2.wav.part 3.wav >expected-args &&
    sort args >sorted-args &&
    test_cmp_files expected-args sorted-args
'

for row in "-m" "-x/bin/true"; do
    test_expect_success "$row without parts is refused" '
        record "" take '"$row"' &&
        test_status 255 &&
        test_stderr_is "Illegal switch '"'$row'"', or bad switch value.
Get help by starting the program without arguments.
" &&
        ! test -e take.wav
    '
done

for row in "-s0" "-S0"; do
    test_expect_success "$row without parts is refused" '
        record "" take '"$row"' &&
        test_status 255 &&
        test_stderr_is "Illegal switch '"'$row'"', or bad switch value.
Get help by starting the program without arguments.
" &&
        ! test -e take.wav
    '
done

# Aligned parts (-a): the simulated device's clock stands in for the system clock. CHECK_ALIGNED
# (check_aligned) puts the parts in order by their signal and checks each boundary against the
# device's clock.
check_aligned() {
    python3 "$WAVTAP_SOURCE_DIR/tests/tools/check_aligned_parts.py" "$@" >check.txt ||
        { fail "$(cat check.txt)"; return 1; }
}
NEW_YEAR=1767225600 # 2026-01-01 00:00:00 UTC

# A month of hourly parts at 8 frames a second, the device 100 ppm fast, then 100 ppm slow: each
# part begins at the frame captured at its hour, the parts joined are the signal, and the rate is
# reported once, at the first boundary (the first part 100 s long), and in the closing line. The
# slow device's month of audio ends 259 s after the planned end, past the last hour's boundary:
# it has one part more.
for row in 100:721 -100:722; do
    ppm=${row%:*} parts=${row#*:}
    test_expect_success "a month of hourly parts follows a device $ppm ppm off the clock" '
        TZ=UTC record speed=0,clock=$((NEW_YEAR - 100)),ppm='"$ppm"' "r-%Y%m%d_%H%M" -a -u -q \
            -f8 -c1 -b8 -#b1 -#s0 -s2592000 -t3600 &&
        test_status 0 &&
        test "$(ls r-*.wav | wc -l)" = '"$parts"' &&
        test "$(grep -c "^\*\*\* Sound card clock at .* ppm against the system clock in r-20251231_2358.wav$" stderr)" = 1 &&
        test "$(wc -l <stderr)" = 2 &&
        check_aligned --clock $((NEW_YEAR - 100)) --ppm '"$ppm"' --seconds 3600 --utc \
            --pattern "r-%Y%m%d_%H%M.wav" --ppm-line "$(tail -n 1 stderr)" r-*.wav &&
        test "$(cat check.txt)" = "parts='"$parts"' frames=20736000"
    '
done

# 2026-03-01 is day J60: summer time (UTC+1) from 01:00 to 02:00 UTC, so the local clock skips
# 01:00..02:00 and goes through 02:00..03:00 twice. Started 1 s before midnight, 15-minute parts.
DST_DAY=1772323200 # 2026-03-01 00:00:00 UTC
DST_ZONE='STD0DST-1,J60/1,J60/3'
test_expect_success 'quarter-hour parts in local time across a change of summer time' '
    TZ=$DST_ZONE record speed=0,clock=$((DST_DAY - 1)) "q-%H%M" -a -q -f8 -c1 -b8 -#b1 -s14400 -t900 &&
    test_status 0 &&
    ls q-*.wav >actual-parts &&
    printf "q-%s.wav\n" 0000 0015 0030 0045 0200-2 0200 0215-2 0215 0230-2 0230 0245-2 0245 \
        0300 0315 0330 0345 2359 >expected-parts &&
    test_cmp_files expected-parts actual-parts &&
    test "$(file_size q-2359.wav)" = 52 &&
    TZ=$DST_ZONE check_aligned --clock $((DST_DAY - 1)) --ppm 0 --seconds 900 \
        --pattern "q-%H%M.wav" q-*.wav &&
    test "$(cat check.txt)" = "parts=17 frames=115200"
'

test_expect_success 'the same take in UTC has names that do not repeat' '
    TZ=$DST_ZONE record speed=0,clock=$((DST_DAY - 1)) "q-%H%M" -a -u -q -f8 -c1 -b8 -#b1 -s14400 -t900 &&
    test_status 0 &&
    ls q-*.wav >actual-parts &&
    printf "q-%s.wav\n" 0000 0015 0030 0045 0100 0115 0130 0145 0200 0215 0230 0245 \
        0300 0315 0330 0345 2359 >expected-parts &&
    test_cmp_files expected-parts actual-parts &&
    check_aligned --clock $((DST_DAY - 1)) --ppm 0 --seconds 900 --utc \
        --pattern "q-%H%M.wav" q-*.wav
'

test_expect_success 'date folders are made as the parts need them, below the first conversion' '
    mkdir radio &&
    umask 027 &&
    TZ=UTC record speed=0,clock=$((NEW_YEAR - 30)) "radio/%Y/%m/%d/%H%M" -a -q \
        -f8 -c1 -b8 -#b1 -s120 -t60 &&
    umask 022 &&
    test_status 0 &&
    find radio | sort >actual-tree &&
    printf "%s\n" radio radio/2025 radio/2025/12 radio/2025/12/31 radio/2025/12/31/2359.wav \
        radio/2026 radio/2026/01 radio/2026/01/01 radio/2026/01/01/0000.wav \
        radio/2026/01/01/0001.wav >expected-tree &&
    test_cmp_files expected-tree actual-tree &&
    test "$(stat -c %a radio/2026/01/01)" = 750 &&
    TZ=UTC check_aligned --clock $((NEW_YEAR - 30)) --ppm 0 --seconds 60 --utc \
        --pattern "radio/%Y/%m/%d/%H%M.wav" $(find radio -name "*.wav")
'

test_expect_success 'a date folder that cannot be made ends the take at the part before it' '
    mkdir d d/23 && : >d/00 &&
    TZ=UTC record speed=0,clock=$((NEW_YEAR - 30)) "d/%H/%M%S" -a -q -f8 -c1 -b8 -#b1 -s120 -t60 &&
    test_status 255 &&
    test_stderr_is "*** Sound card clock at +0.0 ppm against the system clock over the take
Error initialzing output: d/00/0000.wav
Could be bad drive, bad file name, or disk full.
File exists
" &&
    check_parts 0 d/23/5930.wav:240
'

# -k: the take's parts older than the hours kept go once a part is finished; nothing else in
# their directories does, and nothing is followed.
test_expect_success '-k1 removes the take'"'"'s old parts, oldest first, and nothing else' '
    mkdir lost+found take-0009.wav &&
    : >take-0005.wav && : >take-0006-2.wav && : >take-0007.wav.part && : >other-0005.wav &&
    : >take-005.wav && : >take.wav && : >notes.txt && : >lost+found/take-0001.wav &&
    : >take-0009.wav/take-0001.wav && : >outside.wav && : >take-0010.wav &&
    ln -s outside.wav take-0008.wav && mkfifo take-0011.wav &&
    touch -d "5 hours ago" take-0005.wav outside.wav take-0011.wav &&
    touch -d "4 hours ago" take-0006-2.wav &&
    touch -d "3 hours ago" take-0007.wav.part other-0005.wav take-005.wav take.wav notes.txt \
        lost+found/take-0001.wav take-0009.wav take-0009.wav/take-0001.wav &&
    touch -h -d "3 hours ago" take-0008.wav &&
    touch -d "30 minutes ago" take-0010.wav &&
    record speed=0 take -q -s3 -t1 -k1 &&
    test_status 0 &&
    test_stderr_is "*** Removed take-0005.wav: older than 1 hour
*** Removed take-0006-2.wav: older than 1 hour
*** Removed take-0007.wav.part: older than 1 hour
" &&
    find . -mindepth 1 ! -name "std*" ! -name "*-tree" ! -name "*.tmp" | sort >actual-tree &&
    printf "%s\n" ./lost+found ./lost+found/take-0001.wav ./notes.txt ./other-0005.wav \
        ./outside.wav ./take-0001.wav ./take-0002.wav ./take-0003.wav ./take-0008.wav \
        ./take-0009.wav ./take-0009.wav/take-0001.wav ./take-0010.wav ./take-0011.wav \
        ./take-005.wav ./take.wav >expected-tree &&
    test_cmp_files expected-tree actual-tree &&
    check_parts 0 take-0001.wav:44100 take-0002.wav:44100 take-0003.wav:44100
'

# The same below a pattern's first directory with a conversion, level by level, on the device's
# clock: the boundary at midnight finishes the first part.
test_expect_success '-k1 with date folders: old parts found level by level, every folder left' '
    mkdir -p radio/2025/12/31 radio/2025/12/30/2201.wav radio/2025/12/xx radio/2025/13/01 \
        radio/lost+found elsewhere &&
    for f in 31/2100-2.wav.part 31/2200.wav 31/2330.wav 31/notes.txt 30/2201.wav/x xx/2200.wav; do
        : >radio/2025/12/$f || exit 1
    done &&
    : >radio/2025/13/01/2200.wav && : >radio/lost+found/2200.wav && : >elsewhere/2200.wav &&
    ln -s ../../../elsewhere radio/2025/12/29 &&
    ln -s ../../../../elsewhere/2200.wav radio/2025/12/31/2000.wav &&
    TZ=UTC touch -d "2025-12-31 21:00" radio/2025/12/31/2100-2.wav.part &&
    find radio elsewhere -type f ! -name 2100-2.wav.part ! -name 2330.wav \
        -exec env TZ=UTC touch -d "2025-12-31 22:00" {} + &&
    TZ=UTC touch -h -d "2025-12-31 20:00" radio/2025/12/29 radio/2025/12/31/2000.wav &&
    TZ=UTC touch -d "2025-12-31 23:30" radio/2025/12/31/2330.wav &&
    TZ=UTC record speed=0,clock=$((NEW_YEAR - 30)) "radio/%Y/%m/%d/%H%M" -a -q -k1 \
        -f8 -c1 -b8 -#b1 -s120 -t60 &&
    test_status 0 &&
    test_stderr_is "*** Removed radio/2025/12/31/2100-2.wav.part: older than 1 hour
*** Removed radio/2025/12/31/2200.wav: older than 1 hour
*** Sound card clock at +0.0 ppm against the system clock over the take
" &&
    find radio elsewhere | sort >actual-tree &&
    printf "%s\n" elsewhere elsewhere/2200.wav radio radio/2025 radio/2025/12 radio/2025/12/29 \
        radio/2025/12/30 radio/2025/12/30/2201.wav radio/2025/12/30/2201.wav/x radio/2025/12/31 \
        radio/2025/12/31/2000.wav radio/2025/12/31/2330.wav radio/2025/12/31/2359.wav \
        radio/2025/12/31/notes.txt radio/2025/12/xx radio/2025/12/xx/2200.wav radio/2025/13 \
        radio/2025/13/01 radio/2025/13/01/2200.wav radio/2026 radio/2026/01 radio/2026/01/01 \
        radio/2026/01/01/0000.wav radio/2026/01/01/0001.wav radio/lost+found \
        radio/lost+found/2200.wav >expected-tree &&
    test_cmp_files expected-tree actual-tree
'

test_expect_success '-k with a pattern whose conversion cannot be matched removes nothing, once said' '
    : >"rec-old.wav" && touch -d "5 hours ago" "rec-old.wav" &&
    record speed=0 "rec-%c" -q -s3 -t1 -k1 &&
    test_status 0 &&
    test_stderr_is "*** Parts of rec-%c.wav are never removed: a conversion in it cannot be matched
" &&
    test -e rec-old.wav &&
    test "$(ls rec-*.wav | wc -l)" = 4
'

test_expect_success '-k without parts is refused' '
    record "" take -k1 &&
    test_status 255 &&
    test_stderr_is "Illegal switch '"'-k1'"', or bad switch value.
Get help by starting the program without arguments.
" &&
    ! test -e take.wav
'

# Room for the next part (-k): on a small ext4 file system, loop-mounted, filled so that the
# first part fits and the second does not.
mkdir "$SCRATCH/probe"
truncate -s 8M "$SCRATCH/probe.img"
if mkfs.ext4 -q -F "$SCRATCH/probe.img" >/dev/null 2>&1 &&
    mount -o loop "$SCRATCH/probe.img" "$SCRATCH/probe" 2>/dev/null; then
    umount "$SCRATCH/probe"
    test_set_prereq LOOP_EXT4
else
    test_lacks_prereq LOOP_EXT4 "cannot loop-mount an ext4 image (needs root and mkfs.ext4)"
fi
rm -rf "$SCRATCH/probe" "$SCRATCH/probe.img"

# small_disk OLD_BYTES...: an 8 MB ext4 file system at ./disk (no blocks kept for root, who runs
# the tests: the free space is the same for every user) holding the take's old parts
# disk/take-0005.wav, take-0006.wav, ... of OLD_BYTES each, the first the oldest, another take's
# disk/other-0001.wav older still, and a filler that leaves 500 kB free: room for the first
# part of 2 s (352844 bytes), not for the second as well.
small_disk() {
    local n=5 bytes
    truncate -s 8M disk.img &&
        mkfs.ext4 -q -F -m 0 disk.img &&
        mkdir disk &&
        mount -o loop disk.img disk || return 1
    test_when_finished "umount \"$PWD/disk\""
    head -c 300000 /dev/zero >disk/other-0001.wav &&
        touch -d "20 minutes ago" disk/other-0001.wav || return 1
    for bytes in "$@"; do
        head -c "$bytes" /dev/zero >disk/take-000$n.wav &&
            touch -d "$((20 - n)) minutes ago" disk/take-000$n.wav &&
            n=$((n + 1)) || return 1
    done
    sync disk &&
        fallocate -l $(($(df -B1 --output=avail disk | tail -n 1) - 500000)) disk/filler &&
        sync disk
}

test_expect_success LOOP_EXT4 'a next part that does not fit: the take'"'"'s oldest parts go first' '
    small_disk 200000 200000 200000 &&
    record speed=0 disk/take -q -s4 -t2 -k24 &&
    test_status 0 &&
    test_stderr_is "*** Removed disk/take-0005.wav: room for disk/take-0002.wav
*** Removed disk/take-0006.wav: room for disk/take-0002.wav
" &&
    ls disk >actual-parts &&
    printf "%s\n" filler lost+found other-0001.wav take-0001.wav take-0002.wav take-0007.wav \
        >expected-parts &&
    test_cmp_files expected-parts actual-parts &&
    check_parts 0 disk/take-0001.wav:88200 disk/take-0002.wav:88200
'

for keep in -k24 ""; do
    test_expect_success LOOP_EXT4 "a next part that does not fit${keep:+ with $keep} even with the old parts gone ends the take" '
        small_disk 50000 50000 &&
        record speed=0 disk/take -q -s4 -t2 '"$keep"' &&
        test_status 255 &&
        tail -n 3 stderr >failure &&
        test_file_is failure "Error initialzing output: disk/take-0002.wav
Could be bad drive, bad file name, or disk full.
No space left on device
" &&
        ls disk >actual-parts &&
        if [ -n "'"$keep"'" ]; then
            grep -c "^\*\*\* Removed disk/take-000[56].wav: room for disk/take-0002.wav$" stderr >removed &&
            test "$(cat removed)" = 2 &&
            printf "%s\n" filler lost+found other-0001.wav take-0001.wav >expected-parts
        else
            test "$(wc -l <stderr)" = 3 &&
            printf "%s\n" filler lost+found other-0001.wav take-0001.wav take-0005.wav \
                take-0006.wav >expected-parts
        fi &&
        test_cmp_files expected-parts actual-parts &&
        check_parts 0 disk/take-0001.wav:88200
    '
done

test_expect_success 'a first part whose folder cannot be made is not opened' '
    : >blocked &&
    TZ=UTC record speed=0,clock=$NEW_YEAR "blocked/%H/%M" -a -q -f8 -c1 -b8 -#b1 -s120 -t60 &&
    test_status 255 &&
    test_stderr_is "Error opening output file: blocked/00/00.wav
Not a directory
"
'

test_expect_success 'parts go to files only, not standard output' '
    record "" - -t1 &&
    test_status 255 &&
    test_stderr_is "Parts need an output file, not standard output.
" &&
    test_stdout_is ""
'

test_expect_success 'a part of more buffers than a wave take may hold is refused' '
    record "" take -s0 -t107374183 -#b20 &&
    test_status 255 &&
    test_stderr_is "Recording too long for a wave file: 107374183 seconds (at most 107374182 at 20 buffers/sec)
" &&
    ! test -e take-0001.wav
'

test_expect_success '-t0 is refused' '
    record "" take -t0 &&
    test_status 255 &&
    grep -qF "Illegal switch '"'-t0'"'" stderr
'
test_done
