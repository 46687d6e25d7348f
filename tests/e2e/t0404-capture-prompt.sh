#!/bin/bash
# The -p switch on a terminal: the prompt, no recording until a key, then the whole recording.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/capture-lib.sh"

PROMPT_PTY="python3 $WAVTAP_SOURCE_DIR/tests/tools/prompt_pty.py"
READY='Ready to record -- press any key to begin...'

for key in 78 03 1b5b41; do
    test_expect_success "-p waits on the terminal until a key ($key), then records it all" '
        $PROMPT_PTY stderr "$READY" '$key' env WAVTAP_SIM=speed=0 "$SIM" take -p -s1 -q >actual &&
        printf "%s\n" "waited: yes" "exit: 0" "echo: '\'\''" >expected &&
        diff -u expected actual &&
        test_stderr_is "$READY
" &&
        check_signal take.wav 44100
    '
done

# A stop request sent to the process (not typed: the terminal is raw then) ends the wait at
# once, and the capture ends before its first buffer.
for signal in INT TERM; do
    test_expect_success "SIG$signal at the prompt ends the wait at once, the file cut to its header" '
        $PROMPT_PTY stderr "$READY" signal:'$signal' env WAVTAP_SIM=speed=0 "$SIM" take -p -s1 -q >actual &&
        printf "%s\n" "waited: yes" "exit: 0" "echo: '\'\''" >expected &&
        diff -u expected actual &&
        test_stderr_is "$READY
*** Keyboard abort -- truncating output...
" &&
        check_signal take.wav 0
    '
done

test_expect_success '-p without a terminal starts at once' '
    run setsid -w env WAVTAP_SIM=speed=0 "$SIM" take -p -s1 -q &&
    test_status 0 &&
    test_stderr_is "$READY
" &&
    check_signal take.wav 44100
'

test_done
