#!/bin/bash
# Output preparation seen from outside: the file at its final length with a full-length header,
# path completion, and reuse of an existing file in place.
# labels: wave
. "$(dirname "$0")/lib.sh"

# A device that does not exist: once recording is built in, the capture ends at once and leaves
# the prepared file as it is.
NO_DEVICE=-i99

# check_header FILE DATA_SIZE CHANNELS RATE BITS: the 44-byte header read back field by field.
check_header() {
    local f=$1 data=$2 channels=$3 rate=$4 bits=$5
    local align=$((channels * bits / 8))
    [ "$(head -c 4 "$f")" = RIFF ] || fail "no RIFF id"
    [ "$(tail -c +9 "$f" | head -c 8)" = "WAVEfmt " ] || fail "no WAVEfmt id"
    [ "$(tail -c +37 "$f" | head -c 4)" = data ] || fail "no data id"
    local got="$(u32_at "$f" 4) $(u32_at "$f" 16) $(u16_at "$f" 20) $(u16_at "$f" 22)"
    got="$got $(u32_at "$f" 24) $(u32_at "$f" 28) $(u16_at "$f" 32) $(u16_at "$f" 34)"
    got="$got $(u32_at "$f" 40)"
    local want="$((data + 36)) 16 1 $channels $rate $((rate * align)) $align $bits $data"
    [ "$got" = "$want" ] || fail "header fields: $got, expected $want"
}

# readers_agree FILE CHANNELS RATE BITS FRAMES: sox and python's wave module read the same.
readers_agree() {
    local f=$1 want="$2 $3 $4 $5"
    local sox="$(soxi -c "$f") $(soxi -r "$f") $(soxi -b "$f") $(soxi -s "$f")"
    [ "$sox" = "$want" ] || fail "soxi reads $sox, expected $want"
    local py
    py=$(python3 -c 'import sys, wave
w = wave.open(sys.argv[1])
print(w.getnchannels(), w.getframerate(), 8 * w.getsampwidth(), w.getnframes())' "$f")
    [ "$py" = "$want" ] || fail "python reads $py, expected $want"
}

# Blocks the file system holds for a file, in bytes.
allocated() { echo $(($(stat -c '%b * %B' "$1"))); }

test_expect_success 'a new file rec becomes rec.wav at its final length with a full header' '
    run "$WAVTAP" rec $NO_DEVICE &&
    test_status 0 &&
    test ! -e rec &&
    test "$(file_size rec.wav)" = 882044 &&
    check_header rec.wav 882000 2 44100 16 &&
    readers_agree rec.wav 2 44100 16 220500 &&
    test "$(allocated rec.wav)" -ge 882044
'

test_expect_success '-s2 gives a 16-bit stereo 44100 Hz file of 352800 data bytes' '
    run "$WAVTAP" rec -s2 $NO_DEVICE &&
    test_status 0 &&
    test "$(file_size rec.wav)" = 352844 &&
    check_header rec.wav 352800 2 44100 16 &&
    readers_agree rec.wav 2 44100 16 88200
'

test_expect_success 'an extension that is present stays, whatever it is' '
    mkdir my.dir &&
    for name in out.raw rec. my.dir/rec "my.dir\\rec" C:rec; do
        run "$WAVTAP" "$name" -s1 $NO_DEVICE && test_status 0 || exit 1
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
    run "$WAVTAP" rec -s1 $NO_DEVICE &&
    test_status 0 &&
    test -d rec &&
    test "$(file_size rec.wav)" = 176444
'

test_expect_success 'an existing 10 MB file is cut back; its old bytes stay until overwritten' '
    head -c 10000000 /dev/urandom >old &&
    cp old rec.wav &&
    run "$WAVTAP" rec $NO_DEVICE &&
    test_status 0 &&
    test "$(file_size rec.wav)" = 882044 &&
    check_header rec.wav 882000 2 44100 16 &&
    head -c 882044 old | tail -c +45 >expected-tail &&
    tail -c +45 rec.wav | cmp - expected-tail
'

test_expect_success 'an existing file of exactly the final length is only rewound' '
    head -c 882044 /dev/urandom >old &&
    cp old rec.wav &&
    run "$WAVTAP" rec $NO_DEVICE &&
    test_status 0 &&
    test "$(file_size rec.wav)" = 882044 &&
    check_header rec.wav 882000 2 44100 16 &&
    tail -c +45 old >expected-tail &&
    tail -c +45 rec.wav | cmp - expected-tail
'

test_expect_success 'an empty file is grown to the final length and its blocks reserved' '
    : >rec.wav &&
    run "$WAVTAP" rec $NO_DEVICE &&
    test_status 0 &&
    test "$(file_size rec.wav)" = 882044 &&
    check_header rec.wav 882000 2 44100 16 &&
    test "$(allocated rec.wav)" -ge 882044 &&
    test "$(tail -c +45 rec.wav | head -c 881999 | tr -d "\\000" | wc -c)" = 0
'

test_expect_success 'a short existing file is grown and keeps its bytes' '
    head -c 1000 /dev/urandom >old &&
    cp old rec.wav &&
    run "$WAVTAP" rec -s1 $NO_DEVICE &&
    test_status 0 &&
    test "$(file_size rec.wav)" = 176444 &&
    check_header rec.wav 176400 2 44100 16 &&
    tail -c +45 old >expected-tail &&
    head -c 1000 rec.wav | tail -c +45 | cmp - expected-tail &&
    test "$(allocated rec.wav)" -ge 176444
'

test_expect_success 'a path whose directory does not exist fails at the open' '
    run "$WAVTAP" nodir/rec $NO_DEVICE &&
    test_status 255 &&
    test_stderr_is "Error opening output file: nodir/rec.wav\n" &&
    test ! -e nodir
'

test_expect_success 'a completed path that is a directory fails at the open' '
    mkdir rec.wav &&
    run "$WAVTAP" rec $NO_DEVICE &&
    test_status 255 &&
    test_stderr_is "Error opening output file: rec.wav\n"
'

test_expect_success 'a path with no room for .wav is refused, not cut, before anything is opened' '
    mkdir abc abcd &&
    name=$(printf "%0251d" 0) &&
    run "$WAVTAP" "abcd/$name" -s1 $NO_DEVICE &&
    test_status 255 &&
    test_stderr_is "Output path too long: abcd/$name\n" &&
    test -z "$(ls abcd)" &&
    run "$WAVTAP" "$(printf "%0256d" 0)" -s1 $NO_DEVICE &&
    test_status 255 &&
    test_stderr_is "Output path too long: $(printf "%0256d" 0)\n" &&
    run "$WAVTAP" "abc/$name" -s1 $NO_DEVICE &&
    test_status 0 &&
    test "$(file_size "abc/$name.wav")" = 176444
'

test_expect_success 'a recording a wave header cannot describe is refused before anything is opened' '
    run "$WAVTAP" rec -s24348 $NO_DEVICE &&
    test_status 255 &&
    test_stderr_is "Recording too long for a wave file: 24348 seconds\n" &&
    run "$WAVTAP" rec -f1 -c1 -b8 -#b20 -s107374183 $NO_DEVICE &&
    test_status 255 &&
    test_stderr_is "Recording too long for a wave file: 107374183 seconds\n" &&
    test ! -e rec.wav &&
    run "$WAVTAP" nodir/rec -s24347 $NO_DEVICE &&
    test_status 255 &&
    test_stderr_is "Error opening output file: nodir/rec.wav\n" &&
    run "$WAVTAP" nodir/rec -f1 -c1 -b8 -#b20 -s107374182 $NO_DEVICE &&
    test_status 255 &&
    test_stderr_is "Error opening output file: nodir/rec.wav\n"
'

test_done
