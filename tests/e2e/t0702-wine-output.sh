#!/bin/bash
# Output preparation of the Windows program under Wine: the runtime's size query, size change,
# seek and binary standard output, and Windows path forms. Wine is given no sound driver, so the
# capture ends at once with status 1 and cuts the prepared output back to the header alone: a
# status of 1 and not -1 says that preparation, with its size changes, succeeded.
. "$(dirname "$0")/wine-lib.sh"

test_expect_success 'a new file becomes rec.wav; without a device it is cut to the header' '
    run "$WAVTAP" rec &&
    test_status 1 &&
    test ! -e rec &&
    test "$(file_size rec.wav)" = 44 &&
    header_is rec.wav 44100 2 16 0
'

command -v ffprobe >/dev/null && test_set_prereq FFPROBE

# Without a device no frame is ever captured: the chunk is there, with no origination date or
# time and a time reference of 0.
test_expect_success FFPROBE 'with -e the header left alone holds the bext chunk, read by ffprobe' '
    version=$("$WAVTAP" --version | tr -d "\r" | sed "s/^wavtap //") &&
    run "$WAVTAP" rec -e -f48000 -c1 &&
    test_status 1 &&
    test "$(file_size rec.wav)" = 654 &&
    test "$(od -An -c -j36 -N4 rec.wav | tr -d " ")" = bext &&
    ffprobe -v error -show_entries format_tags -of default=nw=1 rec.wav >tags &&
    printf "%s\n" "TAG:comment=wavtap $version: device 0, 48000 Hz, 1 ch, 16 bit" \
        TAG:encoded_by=wavtap TAG:time_reference=0 >expected-tags &&
    test_cmp_files expected-tags tags
'

test_expect_success 'Windows path forms: backslashes, a drive letter, a space in the name' '
    mkdir my.dir sub &&
    run "$WAVTAP" "my.dir\\rec" -s1 &&
    test_status 1 &&
    test "$(file_size my.dir/rec.wav)" = 44 &&
    run "$WAVTAP" "$(windows_path sub)\\take" -s1 &&
    test_status 1 &&
    test "$(file_size sub/take.wav)" = 44 &&
    run "$WAVTAP" "my rec" -s1 &&
    test_status 1 &&
    test "$(file_size "my rec.wav")" = 44
'

# Names outside the ANSI code page (Wine's is 1252 here): Polish and Japanese. Each file is
# locked, created and measured by its own name, and no other file appears beside it.
test_expect_success 'file names outside the ANSI code page are locked, created and sized by their own names' '
    head -c 300000 /dev/zero | tr "\0" x >"nagranie-źdźbło.wav" &&
    run "$WAVTAP" "nagranie-źdźbło" -s1 -q &&
    test_status 1 &&
    test_text_is stderr "*** Capture error during unknown: There is no driver installed on your system!
" &&
    test "$(file_size "nagranie-źdźbło.wav")" = 44 &&
    header_is "nagranie-źdźbło.wav" 44100 2 16 0 &&
    run "$WAVTAP" "$(windows_path "$PWD")\\録音テイク" -s1 &&
    test_status 1 &&
    header_is 録音テイク.wav 44100 2 16 0 &&
    test "$(ls | grep -c "\.wav$")" = 2
'

# Existing files of every length are reused in place: sized, then cut to the header.
for before in 10485760 882044 1000 0; do
    test_expect_success "an existing file of $before bytes is reused in place" '
        head -c '"$before"' /dev/zero | tr "\0" x >rec.wav &&
        run "$WAVTAP" rec &&
        test_status 1 &&
        test "$(file_size rec.wav)" = 44 &&
        header_is rec.wav 44100 2 16 0
    '
done

# Sizes and offsets past what 32 bits hold: the seek to the last byte of a new file past 2 GiB
# and the size of an existing file past 4 GiB (sparse files) pass preparation.
test_expect_success '64-bit sizes: a new file past 2 GiB, an existing one past 4 GiB' '
    run "$WAVTAP" big -s13000 -q &&
    test_status 1 &&
    test "$(file_size big.wav)" = 44 &&
    header_is big.wav 44100 2 16 0 &&
    rm big.wav &&
    truncate -s $((4 * 1024 * 1024 * 1024 + 1000)) old.wav &&
    run "$WAVTAP" old -q &&
    test_status 1 &&
    test "$(file_size old.wav)" = 44
'

# Past 4 GiB the header is RF64, its 64-bit sizes written by the Windows runtime's 64-bit seek
# and size change (the file is sparse). Without a device the file is cut back to the header
# alone, which stays RF64 with sizes of nothing; status 1 says that preparation succeeded.
test_expect_success 'a take past 4 GiB is prepared as RF64; without a device the RF64 header stays alone' '
    run "$WAVTAP" long -s24348 -q &&
    test_status 1 &&
    test "$(file_size long.wav)" = 80 &&
    od -An -tx1 -N80 long.wav | tr -s " \n" " " >header &&
    test_file_is header " 52 46 36 34 ff ff ff ff 57 41 56 45 64 73 36 34 1c 00 00 00 48 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 66 6d 74 20 10 00 00 00 01 00 02 00 44 ac 00 00 10 b1 02 00 04 00 10 00 64 61 74 61 ff ff ff ff "
'

test_expect_success '"-" sends exactly the header down a pipe, binary: no byte 10 made CR LF' '
    timeout 60 "$WAVTAP" - -f22026 -c1 -b8 -s1 2>stderr | cat >piped &&
    header_is piped 22026 1 8 22026 &&
    test "$(file_size piped)" = 44 &&
    test ! -e -.wav
'

test_expect_success 'a write to standard output that fails ends the program with status -1' '
    run --stdout /dev/full "$WAVTAP" - &&
    test_status 255 &&
    printf "Error writing to file: -\r\nNo space left on device\r\n" >expected &&
    tail -c "$(file_size expected)" stderr >actual &&
    cmp expected actual
'

test_expect_success 'a directory that does not exist fails at the open' '
    run "$WAVTAP" "nodir\\rec" &&
    test_status 255 &&
    test_text_is stderr "Error opening output file: nodir\\rec.wav
No such file or directory
"
'

test_expect_success 'a directory named like the output is not opened' '
    mkdir rec.wav &&
    run "$WAVTAP" rec &&
    test_status 255 &&
    test_text_is stderr "Error opening output file: rec.wav
Permission denied
" &&
    test -d rec.wav
'

test_done
