#!/bin/bash
# Output to standard output, and the output failures that end the program: a full disk at
# preparation, a failed write, no memory for the write buffer.
# labels: wave
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/capture-lib.sh"
. "$(dirname "$0")/wave-checks.sh"

NO_DEVICE=-i99 # a device that does not exist: no capture once recording is built in
# No ALSA configuration: no card can be opened, so device 99 is missing on every machine.
: >"$SCRATCH/empty.conf"
export ALSA_CONFIG_PATH=$SCRATCH/empty.conf

# The header the defaults give for 5 s.
printf 'RIFF\164\165\015\000WAVEfmt \020\000\000\000\001\000\002\000\104\254\000\000\020\261\002\000\004\000\020\000data\120\165\015\000' >default-header
# The same header for no audio: what a capture that never started leaves.
printf 'RIFF\044\000\000\000WAVEfmt \020\000\000\000\001\000\002\000\104\254\000\000\020\261\002\000\004\000\020\000data\000\000\000\000' >empty-header

test_expect_success '"-" sends exactly the full-length header down a pipe, nothing sized' '
    timeout 60 "$WAVTAP" - $NO_DEVICE 2>stderr | cat >piped &&
    cmp "$SCRATCH/default-header" piped &&
    test ! -e -.wav
'

test_expect_success '"-" redirected to a file: a device that never opens leaves the header alone' '
    run "$WAVTAP" - $NO_DEVICE &&
    test_status 1 &&
    cmp "$SCRATCH/empty-header" stdout
'

test_expect_success 'a write that fails ends the program with the path and status -1' '
    run --stdout /dev/full "$WAVTAP" - -q $NO_DEVICE &&
    test_status 255 &&
    test_stderr_is "*** Capture error during unknown: There is no capture device 99: ALSA lists 0.
List the input devices with \"wavtap -l\", and choose one with -i or AUDIODEV.
Error writing to file: -
No space left on device
"
'

# A name whose last component is empty names a directory, not a file of its own.
for name in dir/ / dir//; do
    test_expect_success "\"$name\" names no file: it is refused and nothing is created" '
        mkdir dir &&
        run "$WAVTAP" "'"$name"'" -s1 $NO_DEVICE &&
        test_status 255 &&
        test_stderr_is "Error opening output file: '"$name"'
Is a directory
" &&
        test -z "$(ls -A dir)" &&
        run "$WAVTAP" "'"$name"'" -s1 -t1 $NO_DEVICE &&
        test_status 255 &&
        test_stderr_is "Error opening output file: '"$name"'
Is a directory
" &&
        test -z "$(ls -A dir)"
    '
done

# A FIFO at a part's name: opening it would wait for a reader, where a stop no longer ends the
# take. It is refused at once, as a part that cannot be prepared.
test_expect_success 'a FIFO at a part'"'"'s name ends the take after the part before it' '
    mkfifo take-0002.wav &&
    record speed=0 take -q -s4 -t1 &&
    test_status 255 &&
    test_stderr_is "Error initialzing output: take-0002.wav
Could be bad drive, bad file name, or disk full.
Invalid argument
" &&
    check_signal take-0001.wav 44100 &&
    test -p take-0002.wav &&
    mkfifo rec-0001.wav &&
    record speed=0 rec -q -s4 -t1 &&
    test_status 255 &&
    test_stderr_is "Error opening output file: rec-0001.wav
Invalid argument
" &&
    test -p rec-0001.wav
'

test_expect_success 'a stop ends a take whose next part is a FIFO' '
    mkfifo take-0002.wav &&
    start_recording speed=1 take -s0 -t30 &&
    wait_for_text "0:00:28" &&
    kill -TERM $pid &&
    finish &&
    test_status 255 &&
    test -p take-0002.wav &&
    check_signal take-0001.wav "$((($(file_size take-0001.wav) - 44) / 4))"
'

# A file system with too little room: a small tmpfs, where the reservation of the file's blocks
# fails at once instead of the capture failing later.
mkdir "$SCRATCH/probe"
if mount -t tmpfs -o size=512k tmpfs "$SCRATCH/probe" 2>/dev/null; then
    umount "$SCRATCH/probe"
    test_set_prereq TMPFS
else
    test_lacks_prereq TMPFS "cannot mount a tmpfs (needs root)"
fi
[ -n "${WAVTAP_SANITIZE:-}" ] || test_set_prereq NO_SANITIZER
[ -z "${WAVTAP_SANITIZE:-}" ] || test_lacks_prereq NO_SANITIZER "the sanitizers need more address space than the limit"

test_expect_success TMPFS 'no room on the disk fails the preparation: a new file goes, an old one stays empty' '
    mkdir disk &&
    mount -t tmpfs -o size=512k tmpfs disk &&
    test_when_finished "umount \"$PWD/disk\"" &&
    run "$WAVTAP" disk/rec $NO_DEVICE &&
    test_status 255 &&
    test_stderr_is "Error initialzing output: disk/rec.wav
Could be bad drive, bad file name, or disk full.
No space left on device
" &&
    test ! -e disk/rec.wav &&
    head -c 1000 /dev/urandom >disk/old.wav &&
    tail -c +45 disk/old.wav >expected-rest &&
    run "$WAVTAP" disk/old $NO_DEVICE &&
    test_status 255 &&
    header_is disk/old.wav 44100 2 16 0 &&
    head -c 1000 disk/old.wav | tail -c +45 | cmp - expected-rest &&
    record speed=0 disk/short -s1 -q &&
    test_status 0 &&
    check_signal disk/short.wav 44100
'
test_expect_success TMPFS 'a file that already holds its blocks is reused on a full disk' '
    mkdir disk &&
    mount -t tmpfs -o size=512k tmpfs disk &&
    test_when_finished "umount \"$PWD/disk\"" &&
    head -c 300000 /dev/zero >disk/rec.wav &&
    { head -c 1000000 /dev/zero >disk/filler || :; } &&
    test "$(df --output=avail disk | tail -1)" -lt 8 &&
    record speed=0 disk/rec -s1 -q &&
    test_status 0 &&
    check_signal disk/rec.wav 44100
'

# The sanitizers need more address space than the limit.
test_expect_success NO_SANITIZER 'a write buffer that cannot be allocated ends the program first' '
    run sh -c "ulimit -v 300000 && exec \"\$0\" rec -#w1073741824 $NO_DEVICE" "$WAVTAP" &&
    test_status 255 &&
    test_stderr_is "Couldn'"'"'t allocate disk output buffer
" &&
    test ! -e rec.wav
'

test_done
