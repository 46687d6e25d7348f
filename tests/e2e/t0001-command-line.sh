#!/bin/bash
# The command line seen from outside: usage text, switch errors, exit statuses.
. "$(dirname "$0")/lib.sh"

test_expect_success 'no arguments prints the usage text with the defaults' '
    run "$WAVTAP" &&
    test_status 255 &&
    usage 16 2 44100 5 0 5 10 131072 >expected-usage &&
    cmp expected-usage stdout &&
    test_stderr_is ""
'

test_expect_success 'switches before -? show as the current values, switches after it do not' '
    run "$WAVTAP" -s30 -b8 -c1 -f22050 -i3 -#q7 -#b20 -#w1000 -? -s99 &&
    test_status 255 &&
    usage 8 1 22050 30 3 7 20 512 >expected-usage &&
    cmp expected-usage stdout &&
    run "$WAVTAP" -? -s30 &&
    usage 16 2 44100 5 0 5 10 131072 >expected-usage &&
    cmp expected-usage stdout
'

test_expect_success 'switches without a file name show the usage text' '
    run "$WAVTAP" -s3 -q &&
    test_status 255 &&
    usage 16 2 44100 3 0 5 10 131072 >expected-usage &&
    cmp expected-usage stdout &&
    run "$WAVTAP" "" &&
    test_status 255 &&
    usage 16 2 44100 5 0 5 10 131072 >expected-usage &&
    cmp expected-usage stdout
'

for arg in -x -zz -# -#q0 -#q61 -#b0 -#b21 -#w511 -s0 -s-3 -c9 -b12 /dir/a.wav; do
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
