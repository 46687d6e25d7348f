#!/bin/bash
# The Windows program's command line under Wine: text output in the console's CR LF form and the
# 255 that exit(-1) becomes.
. "$(dirname "$0")/wine-lib.sh"

usage() { # bits channels rate seconds device queue buffers write_size
    printf '\nAudio capture tool, ver 1.1.  wavtap project, 2026
Efficient capture (no dropped data) of raw audio to .wav file.

Usage:  wavtap file{.wav} {/opts}

  file.wav: Output wave file ("-" for stdout) - rewritten in-place
            if already exists to avoid allocation time.
{/opts}:
  -?        This message.
  -b{8|16}  Bits/Sample: 8 or 16 (default %s).
  -c{1|2}   Number of channels: 1= mono, 2= stereo (default %s)
  -f{nnn}   Capture samples/sec: e.g., 22050 (default %s)
  -s{nn}    Number of seconds to capture (default %s).
  -i{n}     Input wave device Id +1, 0 for WAVE_MAPPER (default %s).
  -l        List the input devices, with the number or name for -i.
  -p        Prompt for keystroke before beginning recording.
  -q        Quiet mode (no progress display)
  -#q{nn}   Audio buffer queue size in seconds, 1..60 (default %s).
  -#b{nnn}  Wave buffers/sec, 1..20 (default %s).
  -#w{nnnn} Size of each disk write (minimum is 512, default is %s).
' "$@" | to_crlf >expected-usage
}

test_expect_success 'no arguments prints the usage text with the defaults' '
    run "$WAVTAP" &&
    test_status 255 &&
    usage 16 2 44100 5 0 5 10 131072 &&
    cmp expected-usage stdout &&
    test_stderr_is ""
'

test_expect_success 'the usage text shows the switches given before -?, "/" switches included' '
    run "$WAVTAP" /s30 -b8 /C1 -f22050 -i3 /#q7 -#B20 -#w1000 -? &&
    test_status 255 &&
    usage 8 1 22050 30 3 7 20 512 &&
    cmp expected-usage stdout
'

test_expect_success '"--help", "-h" and "/h" print the usage text and exit 0; "--version" the version' '
    for arg in --help -h /h; do
        run "$WAVTAP" /s30 "$arg" &&
        test_status 0 &&
        usage 16 2 44100 30 0 5 10 131072 &&
        cmp expected-usage stdout || return 1
    done &&
    run "$WAVTAP" --version &&
    test_status 0 &&
    test_text_is stdout "wavtap 1.1\n"
'

for arg in -x /x -#w511 -s0 -f0 /f768001; do
    test_expect_success "$arg is an illegal switch" '
        run "$WAVTAP" "'"$arg"'" a.wav &&
        test_status 255 &&
        test_stdout_is "" &&
        test_text_is stderr "Illegal switch '\'''"$arg"''\'', or bad switch value.\nGet help by starting the program without arguments.\n" &&
        test ! -e a.wav
    '
done

test_expect_success 'a second file name is refused' '
    run "$WAVTAP" a.wav b.wav &&
    test_status 255 &&
    test_text_is stderr "Too many file names. Get help by\nstarting the program without arguments.\n" &&
    test ! -e a.wav && test ! -e b.wav
'

test_done
