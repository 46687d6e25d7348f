#!/bin/bash
# Ends that leave the program no chance to clean up (SIGKILL, a failed write): whenever it ends,
# its file is a wave file whose header counts a prefix of this take's signal in whole frames,
# never preallocated bytes or an earlier take, and little less than the device had delivered.
# labels: wave
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/capture-lib.sh"
. "$(dirname "$0")/wave-checks.sh"

SPEED=4 # the device's pace: a take of 10 s lasts 2.5 s, so no kill below 2.5 s comes too late
# Frames a header may lag behind the device's count: one disk write (131072 bytes), one capture
# buffer, half a second of a busy machine, and with a sync interval that interval.
slack() { echo $((32768 + 4410 + SPEED * 44100 / 2 + $1 * SPEED * 44100)); }

# The scratch directory's file system zeroes ranges in place (ext4, XFS); else, as root, an ext4
# image on a loop device stands in for it.
DISK=$SCRATCH
case $(stat -f -c %T "$DISK") in
ext2/ext3 | xfs) test_set_prereq ZERO_RANGE ;;
*)
    if [ "$(id -u)" = 0 ] && command -v mkfs.ext4 >/dev/null &&
        truncate -s 64M "$SCRATCH/ext4.img" && mkfs.ext4 -q -F "$SCRATCH/ext4.img" &&
        mkdir "$SCRATCH/ext4" && mount -o loop "$SCRATCH/ext4.img" "$SCRATCH/ext4"; then
        at_exit "umount '$SCRATCH/ext4'"
        DISK=$SCRATCH/ext4
        test_set_prereq ZERO_RANGE
    else
        echo "# no file system that zeroes ranges (not root, or no mkfs.ext4): earlier takes may stay beyond the header"
    fi
    ;;
esac

# killed_take FILE DELAY ARGS...: records 10 s with wavtap-sim into FILE from the device paced at
# SPEED, which tells its count of frames delivered in ./count, and kills it DELAY seconds after
# the start.
killed_take() {
    local file=$1 delay=$2
    shift 2
    : >count &&
        in_background env WAVTAP_SIM="speed=$SPEED,tell=9" "$SIM" "$file" -s10 -q "$@" \
            >stdout 2>stderr </dev/null 9<>count &&
        sleep "$delay" &&
        kill -KILL "$pid" &&
        wait_job "$pid" 10 &&
        { [ "$status" = 137 ] || fail "status $status, expected the kill's 137: $(cat stderr)"; }
}

# told: the frames the device had delivered when the program was killed.
told() {
    local n
    n=$(tr -dc 0-9 <count)
    echo $((10#${n:-0}))
}

# counted FILE: the frames FILE's header counts, after checking that they are the signal from
# frame FIRST (default 0) in whole frames, with only the signal going on and zeros after them when TRAILING is
# zeros (a header that counts nothing may still have the earlier take after it: the zeroing
# follows the header).
counted() {
    local frames
    $CHECK_SIGNAL "$1" --first "${FIRST:-0}" --trailing any >signal.txt || { cat signal.txt && return 1; }
    frames=$(sed 's/.* frames=\([0-9]*\) .*/\1/' signal.txt) &&
        if [ "$TRAILING" = zeros ] && [ "$frames" -gt 0 ]; then
            $CHECK_SIGNAL "$1" --first "${FIRST:-0}" --trailing zeros >signal.txt || { cat signal.txt && return 1; }
        fi &&
        echo "$frames"
}

# readers_count FILE FRAMES: sox, Python's wave module and ffprobe all read FRAMES frames of
# 16-bit stereo 44100 Hz. (ffmpeg takes a data size of 0 to mean "up to the end of the file",
# so ffprobe is asked only when the header counts audio.)
readers_count() {
    local probed
    readers_agree "$1" 2 44100 16 "$2" &&
        if [ "$2" -gt 0 ]; then
            probed=$(ffprobe -v error -select_streams a:0 -show_entries stream=duration_ts -of csv=p=0 "$1") &&
                { [ "$probed" = "$2" ] || fail "ffprobe reads $probed frames, expected $2"; }
        fi
}

# true_after_kill FILE OLD SECONDS: FILE, recorded over a copy of OLD (new when OLD is "") with
# a sync every SECONDS, is still OLD itself (killed before it was taken), missing or empty (new,
# killed before its header), or a wave file whose header counts the signal from frame 0, read
# alike by every reader, nothing of OLD in it where ranges are zeroed, and no more than the
# slack short of the device's count.
true_after_kill() {
    local frames told TRAILING=zeros
    [ -z "$2" ] || test_have_prereq ZERO_RANGE || TRAILING=any
    if [ -n "$2" ] && cmp -s "$1" "$2"; then return 0; fi
    if [ -z "$2" ] && [ ! -s "$1" ]; then return 0; fi
    frames=$(counted "$1") &&
        readers_count "$1" "$frames" &&
        told=$(told) &&
        { [ "$frames" -le "$told" ] || fail "$frames frames counted, the device delivered $told"; } &&
        { [ "$frames" -ge $((told - $(slack "$3"))) ] ||
            fail "$frames frames counted, more than $(slack "$3") short of the $told delivered"; }
}

test_expect_success 'SIGKILL at 30 moments, into new files and over earlier takes, leaves a true header' '
    head -c 3000000 /dev/urandom >"$DISK/long-take" &&
    head -c 1000000 /dev/urandom >"$DISK/short-take" &&
    test_when_finished "rm -f \"$DISK\"/*-take \"$DISK/take.wav\"" &&
    for i in $(seq 0 29); do
        delay=$((i * 75 / 1000)).$(printf %03d $((i * 75 % 1000))) &&
        old="" && seconds=1 && rm -f "$DISK/take.wav" || exit 1
        case $((i % 4)) in 1 | 3) old=$DISK/$([ $((i / 4 % 2)) = 0 ] && echo long || echo short)-take ;; esac
        case $((i % 4)) in 2 | 3) seconds=0 ;; esac
        if [ -n "$old" ]; then cp "$old" "$DISK/take.wav" || exit 1; fi
        killed_take "$DISK/take.wav" "$delay" "-#s$seconds" &&
        true_after_kill "$DISK/take.wav" "$old" "$seconds" || { echo "killed after $delay s, -#s$seconds over ${old:-nothing}"; exit 1; }
    done
'

test_expect_success 'SIGKILL in a take in parts: finished parts whole, the current one true, the next one empty' '
    for delay in 0.7 1.1 1.5 1.9 2.3; do
        rm -f part-*.wav &&
        killed_take part "$delay" -t1 &&
        first=0 && n=1 && empty=no || exit 1
        while [ -e "part-000$n.wav" ]; do
            file=part-000$n.wav &&
            frames=$(FIRST=$first TRAILING=zeros counted "$file") &&
            readers_count "$file" "$frames" || { echo "$file after $delay s"; cat signal.txt; exit 1; }
            if [ "$empty" = yes ] && [ "$frames" != 0 ]; then fail "$file counts audio after a part that is not whole"; exit 1; fi
            if [ "$frames" = 44100 ] && [ "$(file_size "$file")" != 176444 ]; then fail "$file is whole but not cut"; exit 1; fi
            if [ "$frames" != 44100 ]; then empty=yes; fi
            first=$((first + frames)) && n=$((n + 1))
        done
        [ "$first" -ge $(($(told) - $(slack 1))) ] || { fail "$first frames in the parts after $delay s, $(told) delivered"; exit 1; }
    done
'

test_expect_success 'with -e, SIGKILL at 6 moments leaves a true header that keeps its bext chunk' '
    for delay in 0.1 0.4 0.8 1.2 1.6 2.0; do
        rm -f "$DISK/take.wav" &&
        killed_take "$DISK/take.wav" "$delay" -e &&
        true_after_kill "$DISK/take.wav" "" 1 &&
        if [ -s "$DISK/take.wav" ]; then
            test "$(od -An -c -j36 -N4 "$DISK/take.wav" | tr -d " ")" = bext &&
            test "$(od -An -c -j646 -N4 "$DISK/take.wav" | tr -d " ")" = data
        fi || { echo "killed after $delay s"; exit 1; }
    done
'

test_expect_success 'standard output to a file: SIGKILL leaves a header that counts what is there' '
    : >count &&
    in_background env WAVTAP_SIM="speed=$SPEED,tell=9" "$SIM" - -s10 -q -#s0 >out.wav 2>stderr </dev/null 9<>count &&
    sleep 1.5 &&
    kill -KILL "$pid" &&
    wait_job "$pid" 10 &&
    test_status 137 &&
    TRAILING=any &&
    frames=$(counted out.wav) &&
    readers_count out.wav "$frames" &&
    test "$frames" -gt 0 &&
    test "$frames" -ge $(($(told) - $(slack 0)))
'

test_expect_success 'a write that fails in the middle of a take (ulimit -f) ends with 255 and a true header' '
    head -c 3000000 /dev/urandom >old.wav &&
    run bash -c "ulimit -f 1000 && exec env WAVTAP_SIM=speed=0 \"\$0\" \"\$@\"" "$SIM" old -s200 -b8 -c1 -f8000 -q &&
    test_status 255 &&
    test_stderr_is "Error writing to file: old.wav
File too large
" &&
    test "$(file_size old.wav)" = 1600044 &&
    if test_have_prereq ZERO_RANGE; then trailing=zeros; else trailing=any; fi &&
    $CHECK_SIGNAL old.wav --first 0 --frames 1023956 --trailing $trailing
'

test_done
