#!/bin/bash
# Output preparation seen from outside: the file at its final length with the header for no
# audio, path completion, and reuse of an existing file in place.
# labels: wave
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/capture-lib.sh"
. "$(dirname "$0")/wave-checks.sh"

# A device that does not exist, for the runs that must end before the capture.
NO_DEVICE=-i99

# prepared ARGS...: records with wavtap-sim from a device that delivers one buffer and then
# nothing, and kills the program once that buffer has been counted: the output is then exactly
# as preparation left it (the header and the buffer still wait in the write buffer).
prepared() {
    start_recording speed=1,stall_after=1 "$@" &&
    wait_for_text "Avg Level" &&
    kill -KILL "$pid" &&
    wait_job "$pid" 5 || return 1
}

# Blocks the file system holds for a file, in bytes.
allocated() { echo $(($(stat -c '%b * %B' "$1"))); }

# File systems that zero a range of a file in place (fallocate's FALLOC_FL_ZERO_RANGE).
case $(stat -f -c %T .) in ext2/ext3 | xfs) test_set_prereq ZERO_RANGE ;; esac

# prepared_over FILE LENGTH OLD: FILE, prepared over a copy of OLD, is LENGTH bytes with the
# 16-bit stereo 44100 Hz header for no audio; its bytes after the header that OLD held are zeros
# where the file system zeroes ranges, OLD's own bytes elsewhere.
prepared_over() {
    local kept
    kept=$(($(file_size "$3") < $2 ? $(file_size "$3") : $2))
    { [ "$(file_size "$1")" = "$2" ] || fail "$1: $(file_size "$1") bytes, expected $2"; } &&
        header_is "$1" 44100 2 16 0 &&
        if test_have_prereq ZERO_RANGE; then
            head -c "$kept" /dev/zero | tail -c +45 >expected-rest
        else
            head -c "$kept" "$3" | tail -c +45 >expected-rest
        fi &&
        head -c "$kept" "$1" | tail -c +45 | cmp - expected-rest
}

test_expect_success 'a new file rec becomes rec.wav at its final length, its blocks reserved' '
    prepared rec &&
    test ! -e rec &&
    test "$(file_size rec.wav)" = 882044 &&
    test "$(allocated rec.wav)" -ge 882044
'

test_expect_success '-s2 gives a 16-bit stereo 44100 Hz file of 352800 data bytes' '
    record speed=0 rec -s2 &&
    test_status 0 &&
    test "$(file_size rec.wav)" = 352844 &&
    header_is rec.wav 44100 2 16 352800 &&
    readers_agree rec.wav 2 44100 16 88200
'

test_expect_success 'an extension that is present stays, whatever it is' '
    mkdir my.dir &&
    for name in out.raw rec. my.dir/rec "my.dir\\rec" C:rec; do
        prepared "$name" -s1 || exit 1
    done &&
    test "$(file_size out.raw)" = 176444 &&
    test "$(file_size rec.)" = 176444 &&
    test "$(file_size my.dir/rec.wav)" = 176444 &&
    test "$(file_size "my.dir\\rec.wav")" = 176444 &&
    test "$(file_size C:rec.wav)" = 176444 &&
    test ! -e out.raw.wav && test ! -e rec..wav && test ! -e my.dir/rec && test ! -e C:rec
'

test_expect_success 'given rec when rec is a directory, rec.wav is created beside it' '
    mkdir rec &&
    prepared rec -s1 &&
    test -d rec &&
    test "$(file_size rec.wav)" = 176444
'

test_expect_success 'an existing 10 MB file is cut back in place, its earlier take gone where it can be' '
    head -c 10000000 /dev/urandom >old &&
    cp old rec.wav &&
    prepared rec &&
    prepared_over rec.wav 882044 old
'

test_expect_success 'an existing file of exactly the final length keeps its length' '
    head -c 882044 /dev/urandom >old &&
    cp old rec.wav &&
    prepared rec &&
    prepared_over rec.wav 882044 old
'

test_expect_success 'an empty file is grown to the final length and its blocks reserved' '
    : >rec.wav &&
    prepared rec &&
    test "$(file_size rec.wav)" = 882044 &&
    test "$(allocated rec.wav)" -ge 882044 &&
    header_is rec.wav 44100 2 16 0 &&
    test "$(head -c 882043 rec.wav | tail -c +45 | tr -d "\\000" | wc -c)" = 0
'

test_expect_success 'a short existing file is grown, its earlier take gone where it can be' '
    head -c 1000 /dev/urandom >old &&
    cp old rec.wav &&
    prepared rec -s1 &&
    prepared_over rec.wav 176444 old &&
    test "$(allocated rec.wav)" -ge 176444
'

test_expect_success 'a path whose directory does not exist fails at the open' '
    run "$WAVTAP" nodir/rec $NO_DEVICE &&
    test_status 255 &&
    test_stderr_is "Error opening output file: nodir/rec.wav
No such file or directory
" &&
    test ! -e nodir
'

# The permission case runs the program as a user that root's permissions do not cover: as root,
# nobody, whom the test's own directory (mode 700) shuts out.
unprivileged=()
[ "$(id -u)" != 0 ] || unprivileged=(setpriv --reuid=65534 --regid=65534 --clear-groups)

test_expect_success 'a directory the recorder may not write in fails at the open, saying why' '
    mkdir locked &&
    chmod 500 locked &&
    run "${unprivileged[@]}" "$WAVTAP" locked/rec $NO_DEVICE &&
    test_status 255 &&
    test_stderr_is "Error opening output file: locked/rec.wav
Permission denied
" &&
    test ! -e locked/rec.wav
'

test_expect_success 'a completed path that is a directory fails at the open' '
    mkdir rec.wav &&
    run "$WAVTAP" rec $NO_DEVICE &&
    test_status 255 &&
    test_stderr_is "Error opening output file: rec.wav
Is a directory
"
'

test_expect_success 'a path with no room for .wav is refused, not cut, before anything is opened' '
    mkdir abc abcd &&
    name=$(printf "%0251d" 0) &&
    run "$WAVTAP" "abcd/$name" -s1 $NO_DEVICE &&
    test_status 255 &&
    test_stderr_is "Output path too long: abcd/$name
" &&
    test -z "$(ls abcd)" &&
    run "$WAVTAP" "$(printf "%0256d" 0)" -s1 $NO_DEVICE &&
    test_status 255 &&
    test_stderr_is "Output path too long: $(printf "%0256d" 0)
" &&
    prepared "abc/$name" -s1 &&
    test "$(file_size "abc/$name.wav")" = 176444
'

test_expect_success 'a recording whose buffer count does not fit is refused before anything is opened' '
    run "$WAVTAP" rec -f1 -c1 -b8 -#b20 -s107374183 $NO_DEVICE &&
    test_status 255 &&
    test_stderr_is "Recording too long for a wave file: 107374183 seconds (at most 107374182 at 20 buffers/sec)
" &&
    run "$WAVTAP" rec -s2147483647 $NO_DEVICE &&
    test_status 255 &&
    test_stderr_is "Recording too long for a wave file: 2147483647 seconds (at most 214748364 at 10 buffers/sec)
" &&
    test ! -e rec.wav &&
    run "$WAVTAP" nodir/rec -f1 -c1 -b8 -#b20 -s107374182 $NO_DEVICE &&
    test_status 255 &&
    test_stderr_is "Error opening output file: nodir/rec.wav
No such file or directory
"
'

test_expect_success 'past 4 GiB the take goes on to an RF64 file instead of being refused' '
    run "$WAVTAP" nodir/rec -s24347 $NO_DEVICE &&
    test_status 255 &&
    test_stderr_is "Error opening output file: nodir/rec.wav
No such file or directory
" &&
    run "$WAVTAP" nodir/rec -s24348 $NO_DEVICE &&
    test_status 255 &&
    test_stderr_is "Error opening output file: nodir/rec.wav
No such file or directory
"
'

test_done
