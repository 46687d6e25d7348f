#!/bin/bash
# Stopping a capture with the interrupt keys, and captures to standard output.
# labels: threaded
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/capture-lib.sh"

ABORT='*** Keyboard abort -- truncating output...'

# check_cut FILE: the file holds a whole number of buffers of contiguous signal, fewer than
# the full recording and more than none.
check_cut() {
    $CHECK_SIGNAL "$1" --first 0 >signal.txt || { cat signal.txt; return 1; }
    frames=$(sed -n 's/.*frames=\([0-9]*\).*/\1/p' signal.txt)
    [ $((frames % 4410)) -eq 0 ] && [ "$frames" -gt 0 ] && [ "$frames" -lt 441000 ] ||
        fail "$frames frames is not a cut-back recording"
}

# SIGINT and SIGQUIT are the interrupt keys; SIGTERM and SIGHUP are how timeout, a service
# manager, kill and a closed terminal ask a program to end.
for signal in INT QUIT TERM HUP; do
    test_expect_success "SIG$signal during the capture stops it and cuts the file back" '
        start_recording speed=1 take -s10 &&
        wait_for_text "0:00:09" &&
        kill -'"$signal"' $pid &&
        finish &&
        test_status 0 &&
        tail -c $((${#ABORT} + 2)) stderr >last &&
        printf "\n%s\n" "$ABORT" >expected-last &&
        cmp expected-last last &&
        check_cut take.wav
    '
done

# Before the capture, the signals keep their default action: the program waits here in the
# open of a FIFO that nobody reads.
for row in INT:130 TERM:143 HUP:129; do
    test_expect_success "SIG${row%:*} before recording starts ends the program at once, as usual" '
        mkfifo take.wav &&
        start_recording speed=1 take &&
        sleep 0.3 &&
        kill -'"${row%:*}"' $pid &&
        finish &&
        test_status '"${row#*:}"'
    '
done

test_expect_success 'a closed terminal (SIGHUP, then writes that fail) still cuts the file back' '
    timeout 60 python3 "$WAVTAP_SOURCE_DIR/tests/tools/hangup_pty.py" "0:00:09" \
        env WAVTAP_SIM=speed=1 "$SIM" take -s10 >actual &&
    echo "exit: 0" >expected &&
    test_cmp_files expected actual &&
    check_cut take.wav
'

test_expect_success 'SIGHUP after standard error has become a pipe nobody reads still cuts back' '
    mkfifo errors &&
    exec 3<>errors &&
    in_background env WAVTAP_SIM=speed=1 "$SIM" take -s10 </dev/null >/dev/null 2>errors &&
    timeout 20 head -c 20 <&3 >/dev/null &&
    exec 3<&- &&
    sleep 0.5 &&
    kill -HUP $pid &&
    finish &&
    test_status 0 &&
    check_cut take.wav
'

test_expect_success 'SIGINT while the device has stopped delivering ends after the 2.5 s wait' '
    start_recording speed=1,stall_after=3 take -q -s10 &&
    sleep 0.8 &&
    kill -INT $pid &&
    finish &&
    test_status 1 &&
    test_stderr_is "*** Capture error during unknown: The input device stopped delivering audio.
$ABORT
" &&
    check_signal take.wav $((3 * 4410))
'

# strace that can hold a call up, for a disk that is slow at the moment of a stop.
strace -o /dev/null -e trace=none -e inject=write:delay_exit=1:when=1 true 2>/dev/null &&
    test_set_prereq STRACE_DELAY

# The first disk write (-#w4096: half a second of 8000 Hz mono 8-bit) is held up 3 s, while the
# unpaced device fills the whole queue (5 s) at once and sends SIGINT after 30 buffers. Every
# buffer completed before the stop waits in the ring and is written before the cut-back: at
# least those 30, whole buffers of the signal without a gap, whatever the machine's speed. (The
# leak check of a sanitizer build cannot run under strace.)
test_expect_success STRACE_DELAY 'a stop while a write is slow keeps every buffer completed before it' '
    run env ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" \
        WAVTAP_SIM=speed=0,interrupt_after=30 strace -f -o /dev/null -e trace=none \
        -e inject=write:delay_exit=3000000:when=1 "$SIM" take -s20 -b8 -c1 -f8000 -#w4096 -q &&
    test_status 0 &&
    test_stderr_is "*** Keyboard abort -- truncating output...
" &&
    $CHECK_SIGNAL take.wav --first 0 >signal.txt &&
    frames=$(sed -n "s/.*frames=\([0-9]*\).*/\1/p" signal.txt) &&
    { [ "$frames" -ge 24000 ] && [ $((frames % 800)) -eq 0 ] || fail "$frames frames"; }
'

test_expect_success '"-" into a pipe gets the full-length header and all the audio' '
    timeout 60 env WAVTAP_SIM=speed=0 "$SIM" - -s2 -q </dev/null 2>stderr | cat >out.wav &&
    test_stderr_is "" &&
    check_signal out.wav 88200
'

test_expect_success '"-" redirected to a file and interrupted: that file is cut back too' '
    in_background env WAVTAP_SIM=speed=1 "$SIM" - -s10 >out.wav 2>stderr </dev/null &&
    wait_for_text "0:00:09" &&
    kill -INT $pid &&
    finish &&
    test_status 0 &&
    check_cut out.wav
'

test_expect_success 'a write failure in the middle of a capture ends it with status 255' '
    in_background env WAVTAP_SIM=speed=1 "$SIM" - -s10 -q >/dev/full 2>stderr </dev/null &&
    finish &&
    test_status 255 &&
    test_stderr_is "Error writing to file: -
No space left on device
"
'

test_done
