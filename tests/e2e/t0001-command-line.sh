#!/bin/bash
# The command line seen from outside: usage text, switch errors, exit statuses.
. "$(dirname "$0")/lib.sh"

test_expect_success 'no arguments prints the usage text with the defaults' '
    run "$WAVTAP" &&
    test_status 255 &&
    usage 16 2 44100 5 0 5 10 131072 1 >expected-usage &&
    cmp expected-usage stdout &&
    test_stderr_is ""
'

test_expect_success 'switches before -? show as the current values, switches after it do not' '
    run "$WAVTAP" -s30 -b8 -c1 -f22050 -i3 -#q7 -#b20 -#w1000 -? -s99 &&
    test_status 255 &&
    usage 8 1 22050 30 3 7 20 512 1 >expected-usage &&
    cmp expected-usage stdout &&
    run "$WAVTAP" -? -s30 &&
    usage 16 2 44100 5 0 5 10 131072 1 >expected-usage &&
    cmp expected-usage stdout
'

test_expect_success 'switches without a file name show the usage text' '
    run "$WAVTAP" -s3 -q &&
    test_status 255 &&
    usage 16 2 44100 3 0 5 10 131072 1 >expected-usage &&
    cmp expected-usage stdout &&
    run "$WAVTAP" "" &&
    test_status 255 &&
    usage 16 2 44100 5 0 5 10 131072 1 >expected-usage &&
    cmp expected-usage stdout
'

test_expect_success '"--help", "-h" and "-H" print the usage text to standard output and exit 0' '
    for arg in --help -h -H; do
        run "$WAVTAP" -s30 "$arg" -zz &&
        test_status 0 &&
        usage 16 2 44100 30 0 5 10 131072 1 >expected-usage &&
        cmp expected-usage stdout &&
        test_stderr_is "" || return 1
    done
'

test_expect_success '"--version" prints the name and the version and exits 0' '
    run "$WAVTAP" --version &&
    test_status 0 &&
    test_stdout_is "wavtap 1.1
" &&
    test_stderr_is ""
'

test_expect_success 'an argument that starts with "/" is a file name, not a switch' '
    for arg in /s30 /dir/b.wav /?; do
        run "$WAVTAP" a.wav "$arg" &&
        test_status 255 &&
        test_stderr_is "Too many file names. Get help by
starting the program without arguments.
" &&
        test ! -e a.wav || return 1
    done
'

for arg in -x -zz -# -#q0 -#q61 -#b0 -#b21 -#w511 -s0 -s-3 -c9 -b12 -f0 -f768001 -f4295063296 -- \
    -f48k -f44.1k -s1m -s4294967306 -c4294967298; do
    test_expect_success "$arg is an illegal switch" '
        run "$WAVTAP" "'"$arg"'" a.wav &&
        test_status 255 &&
        test_stdout_is "" &&
        test_stderr_is "Illegal switch '\'''"$arg"''\'', or bad switch value.
Get help by starting the program without arguments.
" &&
        test ! -e a.wav
    '
done

test_expect_success 'a second file name is refused' '
    run "$WAVTAP" a.wav b.wav &&
    test_status 255 &&
    test_stderr_is "Too many file names. Get help by
starting the program without arguments.
" &&
    test ! -e a.wav && test ! -e b.wav
'

test_expect_success 'a file name too long to store is refused, not cut short' '
    name=$(printf "%0260d" 0) &&
    run "$WAVTAP" "$name" &&
    test_status 255 &&
    test_stderr_is "File name too long: $name
"
'

test_done
