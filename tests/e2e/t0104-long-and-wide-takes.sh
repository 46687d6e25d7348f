#!/bin/bash
# Takes past 4 GiB (RF64), and 24-bit, 32-bit, float and up to 8-channel takes (extensible
# format), from the simulated device, read back by ffprobe and sox.
# labels: wave
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/wave-checks.sh"
. "$(dirname "$0")/capture-lib.sh"

command -v ffprobe >/dev/null && test_set_prereq FFPROBE
# strace that can make a call fail, for the preparation of a long take.
test_have_prereq FFPROBE && strace -o /dev/null -e inject=fallocate:error=EINVAL true 2>/dev/null &&
    test_set_prereq FFPROBE_STRACE

# The -b value, ffprobe's codec, sox's bits and encoding. Plain headers (8 and 16 bits on 1 or
# 2 channels) have no speaker mask, so ffprobe gives their layout as unknown.
formats="8:pcm_u8:8:Unsigned Integer PCM
16:pcm_s16le:16:Signed Integer PCM
24:pcm_s24le:24:Signed Integer PCM
32:pcm_s32le:32:Signed Integer PCM
32f:pcm_f32le:32:Floating Point PCM"

# header_size_is FILE SIZE: the "data" chunk's id ends SIZE - 4 bytes into FILE.
header_size_is() {
    [ "$(od -An -c -j $(($2 - 8)) -N4 "$1" | tr -d " ")" = data ] || fail "$1: no data chunk at $(($2 - 8))"
}

while IFS=: read -r bits codec sox_bits encoding; do
    test_expect_success FFPROBE "-b$bits on 1, 2, 6 and 8 channels: the device's signal, read by ffprobe and sox" '
        for layout in 1:mono 2:stereo 6:5.1 8:7.1; do
            channels=${layout%%:*} layout=${layout#*:} &&
            case '"$bits"':$channels in 8:[12] | 16:[12]) layout=unknown ;; esac &&
            record speed=0 take -q -s1 -f8000 -b'"$bits"' -c$channels &&
            test_status 0 &&
            check_signal take.wav 8000 &&
            probe_is take.wav '"$codec"' 8000 $channels $layout 1.000000 &&
            sox_reads take.wav $channels 8000 '"$sox_bits"' 8000 "'"$encoding"'" || exit 1
        done
    '
done <<<"$formats"

test_expect_success 'header sizes follow the format: 44 plain, 68 extensible' '
    record speed=0 take -q -s1 -f8000 -b16 -c2 &&
    test "$(file_size take.wav)" = $((44 + 32000)) &&
    header_is take.wav 8000 2 16 32000 &&
    record speed=0 take -q -s1 -f8000 -b16 -c3 &&
    test "$(file_size take.wav)" = $((68 + 48000)) &&
    header_size_is take.wav 68 &&
    test "$(u16_at take.wav 20)" = 65534 &&
    record speed=0 take -q -s1 -f8000 -b24 -c1 &&
    test "$(file_size take.wav)" = $((68 + 24000)) &&
    header_size_is take.wav 68
'

# -e rows: the time zone (a POSIX TZ), its offset from UTC, the format switches, the header's
# size, the channels and bits, sox's encoding and what the Description says of the format.
# Python's wave module reads only plain headers.
bext_rows="UTC0|0|-c2 -b16|654|2 16|Signed Integer PCM|2 ch, 16 bit
IST-5:30|19800|-c3 -b24|678|3 24|Signed Integer PCM|3 ch, 24 bit
XYZ+3|-10800|-c1 -b32f|678|1 32|Floating Point PCM|1 ch, 32 bit float"
VERSION=$("$SIM" --version | sed "s/^wavtap //")

while IFS="|" read -r zone offset switches size layout encoding format; do
    test_expect_success FFPROBE "-e $switches in TZ=$zone: ffprobe reads the bext chunk, sox the audio" '
        set -- '"$layout"' &&
        before=$(date +%s%N) &&
        TZ='"$zone"' record speed=0 take -q -s1 -f8000 -e -i2 '"$switches"' &&
        after=$(date +%s%N) &&
        test_status 0 &&
        header_size_is take.wav '"$size"' &&
        test "$(od -An -c -j$(('"$size"' - 618)) -N4 take.wav | tr -d " ")" = bext &&
        check_signal take.wav 8000 &&
        bext_is take.wav 8000 "$before" "$after" '"$offset"' "wavtap $VERSION: device 2, 8000 Hz, '"$format"'" &&
        sox_reads take.wav "$1" 8000 "$2" 8000 "'"$encoding"'" &&
        if [ "$1" -le 2 ] && [ "$2" -le 16 ]; then readers_agree take.wav "$1" 8000 "$2" 8000; fi
    '
done <<<"$bext_rows"

# The preparation runs under strace with the block reservation refused as unsupported (EINVAL;
# for EOPNOTSUPP the C library would write a byte to every block instead), so the file stays
# sparse and no disk space is used; the calls still show the 64-bit lengths. The leak check of
# the sanitizer build cannot run under ptrace.
test_expect_success FFPROBE_STRACE 'a 10-hour 24-bit take is prepared as RF64, and a stop after 2 s leaves 2 s' '
    test_when_finished "kill -9 -- -\$pid 2>/dev/null || :" &&
    in_background strace -f -o trace -e trace=lseek,fallocate,ftruncate -e inject=fallocate:error=EINVAL \
        env ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" WAVTAP_SIM=speed=1 "$SIM" take -s36000 -b24 -c2 -f48000 >stdout 2>stderr </dev/null &&
    wait_for_text " 9:59:59" &&
    test "$(file_size take.wav)" = 10368000104 &&
    test "$(head -c 4 take.wav)" = RF64 &&
    grep -q "lseek([0-9]*, 10368000103, SEEK_SET) *= 10368000103" trace &&
    grep -q "fallocate([0-9]*, 0, 0, 10368000104) *= -1 EINVAL" trace &&
    wait_for_text " 9:59:58" &&
    kill -INT -- -$pid &&
    finish &&
    test_status 0 &&
    $CHECK_SIGNAL take.wav --first 0 >signal.txt &&
    frames=$(sed -n "s/.*frames=\([0-9]*\).*/\1/p" signal.txt) &&
    test "$frames" -ge 96000 &&
    test $((frames % 4800)) = 0 &&
    test "$(file_size take.wav)" = $((104 + frames * 6)) &&
    grep -q "ftruncate([0-9]*, $((104 + frames * 6))) *= 0" trace &&
    test "$(head -c 4 take.wav)" = RF64 &&
    probe_is take.wav pcm_s24le 48000 2 stereo "$(printf "%d.%06d" $((frames / 48000)) $((frames % 48000 * 1000000 / 48000)))" &&
    sox_reads take.wav 2 48000 24 "$frames" "Signed Integer PCM"
'

test_expect_success FFPROBE_STRACE 'with -e a 10-hour take is RF64 with a bext chunk, read by ffprobe and sox after a stop' '
    test_when_finished "kill -9 -- -\$pid 2>/dev/null || :" &&
    before=$(date +%s%N) &&
    in_background strace -f -o trace -e trace=fallocate -e inject=fallocate:error=EINVAL \
        env ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" TZ=UTC0 WAVTAP_SIM=speed=1 \
        "$SIM" take -s36000 -b24 -c2 -f48000 -e -isim >stdout 2>stderr </dev/null &&
    wait_for_text " 9:59:59" &&
    test "$(file_size take.wav)" = $((10368000000 + 714)) &&
    kill -INT -- -$pid &&
    finish &&
    after=$(date +%s%N) &&
    test_status 0 &&
    test "$(head -c 4 take.wav)" = RF64 &&
    header_size_is take.wav 714 &&
    test "$(od -An -c -j96 -N4 take.wav | tr -d " ")" = bext &&
    $CHECK_SIGNAL take.wav --first 0 >signal.txt &&
    frames=$(sed -n "s/.*frames=\([0-9]*\).*/\1/p" signal.txt) &&
    test "$frames" -ge 48000 &&
    test "$(file_size take.wav)" = $((714 + frames * 6)) &&
    bext_is take.wav 48000 "$before" "$after" 0 "wavtap $VERSION: device sim, 48000 Hz, 2 ch, 24 bit" &&
    sox_reads take.wav 2 48000 24 "$frames" "Signed Integer PCM"
'

test_expect_success 'the progress line shows one level a channel and fits 80 columns with 8' '
    record speed=0 take -s2 -c8 -b32 -f8000 &&
    test_status 0 &&
    tr "\r" "\n" <stderr | grep -E "^  0:00:00  Avg Level:( {0,3}[0-9]{1,3}){8}$" >line &&
    test "$(wc -L <line)" -le 80
'

test_done
