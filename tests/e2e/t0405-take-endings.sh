#!/bin/bash
# How scripts and services run a recorder: closed standard descriptors, standard output opened
# for appending or already holding data, two recorders on one file, a file size limit.
# labels: threaded
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/capture-lib.sh"

# taken_whole FILE: FILE holds a whole number of buffers of the default format after its
# header, more than none and fewer than a 10 s recording.
taken_whole() {
    local bytes=$(($(file_size "$1") - 44))
    [ $((bytes % 17640)) -eq 0 ] && [ "$bytes" -gt 0 ] && [ "$bytes" -lt 1764000 ] ||
        fail "$1 holds $bytes bytes of audio: not a recording cut short"
}

for closed in '<&-' '>&-' '2>&-' '<&- 2>&-' '<&- >&- 2>&-'; do
    test_expect_success "started with $closed, the wave file gets nothing but the recording" '
        record speed=0 expected -s1 &&
        test_status 0 &&
        eval "timeout 60 env WAVTAP_SIM=speed=0 \"\$SIM\" take -s1 '"$closed"'" &&
        cmp expected.wav take.wav
    '
done

test_expect_success 'a closed standard output is not an output: "-" is refused, nothing recorded' '
    for closed in ">&-" "<&- >&-"; do
        run sh -c "exec \"\$@\" $closed" sh env WAVTAP_SIM=speed=0 "$SIM" - -s1 -q &&
        test_status 255 &&
        test_stderr_is "Error opening output file: -
Bad file descriptor
" || return 1
    done &&
    run sh -c "exec \"\$@\" >&- 2>&-" sh env WAVTAP_SIM=speed=0 "$SIM" - -s1 -q &&
    test_status 255
'

test_expect_success '"-" appended to (>>) is left as a pipe would be: nothing rewritten or cut' '
    record speed=0 full -s10 -q &&
    printf hello >out.wav &&
    in_background env WAVTAP_SIM=speed=1 "$SIM" - -s10 >>out.wav 2>stderr </dev/null &&
    wait_for_text "0:00:09" &&
    kill -INT $pid &&
    finish &&
    test_status 0 &&
    test "$(head -c 5 out.wav)" = hello &&
    tail -c +6 out.wav >took &&
    head -c "$(file_size took)" full.wav | cmp - took &&
    taken_whole took
'

test_expect_success '"-" after earlier output: the header is rewritten where it is, nothing cut' '
    in_background sh -c "printf hello && exec \"\$@\" - -s10" sh env WAVTAP_SIM=speed=1 "$SIM" \
        >out.wav 2>stderr </dev/null &&
    wait_for_text "0:00:09" &&
    kill -INT $pid &&
    finish &&
    test_status 0 &&
    test "$(head -c 5 out.wav)" = hello &&
    tail -c +6 out.wav >took &&
    check_signal took "$(($(file_size took) / 4 - 11))" &&
    taken_whole took
'

test_expect_success 'a second recorder on the same file is refused and touches nothing' '
    start_recording speed=1 take -s10 &&
    wait_for_text "0:00:09" &&
    record speed=0 take.wav -s2 -q &&
    test_status 255 &&
    test_stderr_is "Output file in use by another recording: take.wav
" &&
    test "$(file_size take.wav)" = 1764044 &&
    kill -INT $pid &&
    finish &&
    test_status 0 &&
    check_signal take.wav "$((($(file_size take.wav) - 44) / 4))" &&
    record speed=0 take -s2 -q &&
    test_status 0 &&
    check_signal take.wav 88200
'

test_expect_success 'a second recorder of a take in parts is refused and leaves its parts alone' '
    start_recording speed=2 take -q -s0 -t1 &&
    test_when_finished "kill -9 $pid 2>/dev/null || :" &&
    wait_until 20 test -e take-0004.wav &&
    md5sum take-0001.wav take-0002.wav >finished &&
    mkdir sub &&
    for name in take take.wav ./take ../"${PWD##*/}"/take sub/../take; do
        record speed=0 "$name" -q -s3 -t1 &&
        test_status 255 &&
        test_stderr_is "Output file in use by another recording: ${name%.wav}.wav
" || exit 1
    done &&
    md5sum -c --quiet finished &&
    record speed=0 take-0001 -q -s1 &&
    test_status 0 &&
    record speed=0 other -q -s2 -t1 &&
    test_status 0 &&
    kill -9 $pid &&
    finish &&
    test_status 137 &&
    rm other-000[12].wav &&
    ls -A >left &&
    { grep -v -e "^take-[0-9]*\.wav$" -e "^std" -e "^finished$" -e "^sub$" -e "^left$" -e "^expected" left >litter || :; } &&
    test_cmp_files /dev/null litter &&
    record speed=0 take -q -s2 -t1 &&
    test_status 0 &&
    check_signal take-0001.wav 44100
'

# With a file size limit (ulimit -f, KiB in bash) the write past it fails; SIGXFSZ would end the
# program unreported.
test_expect_success 'a file size limit fails the preparation, which removes the new file' '
    run bash -c "ulimit -f 100 && exec \"\$@\"" sh env WAVTAP_SIM=speed=0 "$SIM" big -s5 -q &&
    test_status 255 &&
    test_stderr_is "Error initialzing output: big.wav
Could be bad drive, bad file name, or disk full.
File too large
" &&
    test ! -e big.wav
'

test_expect_success 'a file size limit reached in the middle of the take is a failed write' '
    run --stdout out.wav bash -c "ulimit -f 100 && exec \"\$@\"" sh env WAVTAP_SIM=speed=0 "$SIM" - -s5 -q &&
    test_status 255 &&
    test_stderr_is "Error writing to file: -
File too large
" &&
    test "$(file_size out.wav)" = 102400
'

test_done
