#!/bin/bash
# Complete recordings from the simulated device: exact length, header, contiguous audio,
# the countdown, and the buffer pool's re-queueing.
# labels: threaded
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/capture-lib.sh"

test_expect_success 'a default recording holds exactly 5 s of contiguous audio' '
    record speed=0 take &&
    test_status 0 &&
    test "$(file_size take.wav)" = 882044 &&
    check_signal take.wav 220500 &&
    test_stdout_is ""
'

test_expect_success 'the countdown is drawn at the first buffer and at every second, ending at 0:00:00' '
    record speed=0 take &&
    test_status 0 &&
    countdown >lines &&
    printf "0:00:05\n0:00:04\n0:00:03\n0:00:02\n0:00:01\n0:00:00\n" >expected &&
    cmp expected lines &&
    test "$(tr -cd "\n" <stderr | wc -c)" = 1 &&
    test "$(tail -c 1 stderr | od -An -c | tr -d " ")" = "\n" &&
    tr "\r" "\n" <stderr | grep -qE "^  0:00:05  Avg Level: {0,3}[0-9]{1,3} {0,3}[0-9]{1,3}$"
'

test_expect_success 'mono shows one level, and quiet mode prints nothing' '
    record speed=0 take -c1 -s2 &&
    test_status 0 &&
    tr "\r" "\n" <stderr | grep -qE "^  0:00:00  Avg Level: {0,3}[0-9]{1,3}$" &&
    record speed=0 take -q -s2 &&
    test_status 0 &&
    test_stderr_is "" &&
    check_signal take.wav 88200
'

test_expect_success '60 s with a 5 s queue adds buffers 600 times: the 600th add is at completion 550' '
    record speed=0,fail=add:601 take -s60 -q &&
    test_status 0 &&
    test_stderr_is "" &&
    check_signal take.wav 2646000 &&
    record speed=0,fail=add:600 take -s60 -q &&
    test_status 1 &&
    test_stderr_is "*** Capture error during unknown: Undefined external error.
" &&
    check_signal take.wav $((550 * 4410))
'

test_expect_success 'uneven buffers (22050 Hz mono 8-bit, 20 a second) fill whole seconds exactly' '
    record speed=0 take -f22050 -c1 -b8 -#b20 -s3 -q &&
    test_status 0 &&
    test "$(file_size take.wav)" = $((44 + 3 * 22050)) &&
    check_signal take.wav 66150
'

test_expect_success 'a recording cut back inside a second agrees with its header' '
    record speed=0,bps=20,short=21 take -f22050 -c1 -b8 -#b20 -s3 -q &&
    test_status 1 &&
    test "$(file_size take.wav)" = $((44 + 23152)) &&
    check_signal take.wav 23152
'

test_expect_success 'a reused longer file is cut to the recording and keeps no stale audio' '
    head -c 3000000 /dev/urandom >take.wav &&
    record speed=0 take -s2 -q &&
    test_status 0 &&
    check_signal take.wav 88200
'

test_expect_success 'device numbers count from 1, and 0 is the default device' '
    record speed=0,devices=3 take -i3 -s1 -q &&
    test_status 0 && test_stderr_is "" &&
    record speed=0,devices=3 take -i0 -s1 -q &&
    test_status 0 && test_stderr_is "" &&
    record speed=0,devices=3 take -i4 -s1 -q &&
    test_status 1 &&
    test_stderr_is "*** Capture error during unknown: A device ID has been used that is out of range for your system.
"
'

test_done
