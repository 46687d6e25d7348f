#!/bin/bash
# A stop of the whole process in the middle of a capture (kill -STOP, then kill -CONT: Ctrl+Z
# and fg, a debugger): the time it was stopped is not time the device failed to deliver.
# labels: threaded realtime
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/capture-lib.sh"

# stop_for SECONDS: once the countdown shows 0:00:07, stops the recording $pid for SECONDS.
stop_for() {
    wait_for_text "0:00:07" &&
        kill -STOP "$pid" &&
        sleep "$1" &&
        kill -CONT "$pid"
}

test_expect_success 'a device that keeps its audio: stopped 4 s, the take runs to its end' '
    start_recording speed=1 take -s8 &&
    stop_for 4 &&
    finish &&
    test_status 0 &&
    ! grep -F "***" stderr &&
    check_signal take.wav 352800
'

test_expect_success 'a device that drops what it cannot hold: the loss, with its length' '
    start_recording speed=1,overrun=1000 take -s8 &&
    stop_for 4 &&
    finish &&
    test_status 1 &&
    { tr "\r" "\n" <stderr | grep -E "Capture error during unknown: Input overran: audio was lost \([34]\.[0-9] s\)$" ||
        fail "stderr: $(tr "\r" "\n" <stderr | grep -F "***")"; } &&
    $CHECK_SIGNAL take.wav --first 0 >signal.txt
'
test_done
