#!/bin/bash
# The Windows program's command line under Wine: text output in the console's CR LF form and the
# 255 that exit(-1) becomes.
. "$(dirname "$0")/wine-lib.sh"


test_expect_success 'no arguments prints the usage text with the defaults' '
    run "$WAVTAP" &&
    test_status 255 &&
    usage 16 2 44100 5 0 5 10 131072 1 | to_crlf >expected-usage &&
    cmp expected-usage stdout &&
    test_stderr_is ""
'

test_expect_success 'the usage text shows the switches given before -?, "/" switches included' '
    run "$WAVTAP" /s30 -b8 /C1 -f22050 -i3 /#q7 -#B20 -#w1000 -? &&
    test_status 255 &&
    usage 8 1 22050 30 3 7 20 512 1 | to_crlf >expected-usage &&
    cmp expected-usage stdout
'

test_expect_success '"--help", "-h" and "/h" print the usage text and exit 0; "--version" the version' '
    for arg in --help -h /h; do
        run "$WAVTAP" /s30 "$arg" &&
        test_status 0 &&
        usage 16 2 44100 30 0 5 10 131072 1 | to_crlf >expected-usage &&
        cmp expected-usage stdout || return 1
    done &&
    run "$WAVTAP" --version &&
    test_status 0 &&
    test_text_is stdout "wavtap 1.1
"
'

for arg in -x /x -#w511 -s0 -f0 /f768001; do
    test_expect_success "$arg is an illegal switch" '
        run "$WAVTAP" "'"$arg"'" a.wav &&
        test_status 255 &&
        test_stdout_is "" &&
        test_text_is stderr "Illegal switch '\'''"$arg"''\'', or bad switch value.
Get help by starting the program without arguments.
" &&
        test ! -e a.wav
    '
done

test_expect_success 'a second file name is refused' '
    run "$WAVTAP" a.wav b.wav &&
    test_status 255 &&
    test_text_is stderr "Too many file names. Get help by
starting the program without arguments.
" &&
    test ! -e a.wav && test ! -e b.wav
'

test_done
