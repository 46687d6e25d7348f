#!/bin/bash
# Every way a capture can fail: what is reported, and what the output file holds afterwards.
# labels: threaded
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/capture-lib.sh"

# error_line LABEL TEXT: the capture error line, newline included.
error_line() { printf "*** Capture error during %s: %s\n" "$1" "$2"; }
UNDEFINED="Undefined external error."
OVERRAN="Input overran: audio was lost (0.8 s)"
STALLED="The input device stopped delivering audio."
STILL_PLAYING="Cannot perform this operation while media data is still playing. Reset the device, or wait until the data is finished playing."

# A device that never opens leaves the header alone, for no audio, and exit status 1.
for row in "open=4|The specified device is already in use. Wait until it is free, and then try again." \
           "open=6|There is no driver installed on your system." \
           "devices=0|There is no driver installed on your system."; do
    config=${row%%|*} text=${row#*|}
    test_expect_success "device not opened ($config): exit 1, output cut to the header" '
        record "speed=0,'"$config"'" take -q &&
        test_status 1 &&
        error_line unknown "'"$text"'" | test_stderr_is - &&
        check_signal take.wav 0
    '
done

# A failure while the countdown is on the screen: the error line starts a line of its own, the
# final countdown line follows it, and the capture leaves the cursor at the start of a line.
test_expect_success 'a capture error after a progress line starts on its own line' '
    record speed=0,fail=prepare:25 take -s10 -#q2 &&
    test_status 1 &&
    sed -E "s/Avg Level:[ 0-9]*/Avg Level:/g" stderr >lines &&
    { printf "\r  0:00:10  Avg Level:\n" && error_line unknown "$UNDEFINED" &&
        printf "\r  0:00:00  Avg Level:\n"; } >expected &&
    test_cmp_files expected lines
'

# The largest capture block there is (60 s of 65535 Hz stereo 16-bit, 15.7 MB) under a memory
# limit the rest of the program fits in. The sanitizers need far more address space.
[ -n "${WAVTAP_SANITIZE:-}" ] || test_set_prereq NO_SANITIZER
[ -z "${WAVTAP_SANITIZE:-}" ] || test_lacks_prereq NO_SANITIZER "the sanitizers need more address space than the limit"
test_expect_success NO_SANITIZER 'a capture block that cannot be allocated: exit 1, output cut to the header' '
    run bash -c "ulimit -v 24000 && exec \"\$@\"" sh env WAVTAP_SIM=speed=0 "$SIM" take -s60 -#q60 -f65535 -q &&
    test_status 1 &&
    error_line unknown "Not enough memory available for this task. Quit one or more applications to increase available memory, and then try again." | test_stderr_is - &&
    check_signal take.wav 0
'

# Failures once the device is open: the file is cut back to the buffers written, and its
# header says so. Rows: WAVTAP_SIM faults | buffers written | the reported text.
while IFS='|' read -r config buffers text; do
    test_expect_success "$config: the file is cut back to $buffers buffers" '
        record "speed=0,'"$config"'" take -q -s10 -#q2 &&
        test_status 1 &&
        error_line unknown "'"$text"'" | test_stderr_is - &&
        check_signal take.wav $(('"$buffers"' * 4410))
    '
done <<EOT
fail=prepare:3|0|$UNDEFINED
fail=add:10:11|0|An invalid parameter was passed to a system function.
fail=start:1|0|$UNDEFINED
fail=unprepare:4|3|$UNDEFINED
fail=prepare:25|5|$UNDEFINED
fail=add:25|5|$UNDEFINED
short=7|7|$OVERRAN
lose_after=12|12|$OVERRAN
die_after=9|9|Input device failed: the device stopped working
EOT

test_expect_success 'a device that stops delivering ends the capture after 2.5 s without a buffer' '
    start=$(date +%s%N) &&
    record speed=1,stall_after=3 take -q -s10 &&
    elapsed_ms=$((($(date +%s%N) - start) / 1000000)) &&
    test_status 1 &&
    error_line unknown "$STALLED" | test_stderr_is - &&
    check_signal take.wav $((3 * 4410)) &&
    test "$elapsed_ms" -ge 2500
'

test_expect_success 'a failing shutdown call adds its own labelled line' '
    record speed=0,short=2,fail=stop:1:5,fail=unprepare:5:5 take -q &&
    test_status 1 &&
    {
        error_line unknown "$OVERRAN" &&
        error_line "waveInStop (err)" "The specified device handle is invalid." &&
        error_line "waveInUnprepareHeader (err)" "The specified device handle is invalid."
    } | test_stderr_is - &&
    check_signal take.wav $((2 * 4410))
'

# The device loses audio at buffer 2 and then holds every buffer it has (a stall from that
# frame on), so after the failed reset exactly buffers 3 to 49 are still queued, whatever the
# timing.
test_expect_success 'a failing reset leaves buffers queued: the refused unprepares are reported' '
    record speed=0,lose_after=2,stall_after=2,fail=reset:1 take -q &&
    test_status 1 &&
    {
        error_line unknown "$OVERRAN" &&
        error_line "waveInReset (err)" "$OVERRAN" &&
        for _ in $(seq 47); do
            error_line "waveInUnprepareHeader (err)" "$STILL_PLAYING" || exit 1
        done
    } | test_stderr_is - &&
    check_signal take.wav $((2 * 4410))
'

# Stop and reset fail, so buffers stay queued and the close is refused: the device still fills
# them, so the capture block and its event must outlive the capture (ThreadSanitizer sees it when
# they do not). At 20 times real time a buffer is filled every 5 ms, and the 600 queued take 3 s:
# the close always finds some still queued.
test_expect_success 'a device that will not close keeps its buffers until the process ends' '
    record speed=20,fail=unprepare:7,fail=stop:1,fail=stop:2,fail=reset:1,fail=reset:2 take -s60 -#q60 -q &&
    test_status 1 &&
    tail -n 1 stderr >last &&
    error_line waveInClose "$STILL_PLAYING" | test_file_is last - &&
    ! grep -q Sanitizer stderr &&
    check_signal take.wav $((6 * 4410))
'

test_expect_success 'a failing close after a complete recording is reported and changes nothing else' '
    record speed=0,fail=close:1 take -q -s1 &&
    test_status 0 &&
    error_line waveInClose "$UNDEFINED" | test_stderr_is - &&
    check_signal take.wav 44100
'

test_expect_success 'the countdown still ends at 0:00:00 after an early end' '
    record speed=0,short=23 take -s5 &&
    test_status 1 &&
    countdown >lines &&
    printf "0:00:05\n0:00:04\n0:00:03\n0:00:00\n" >expected &&
    cmp expected lines
'

test_done
