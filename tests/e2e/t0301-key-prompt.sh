#!/bin/bash
# The key prompt on a terminal: raw mode without echo, Ctrl+C as a key, the rest of a key
# swallowed, the mode restored; no terminal means no wait.
. "$(dirname "$0")/lib.sh"

PROBE=$WAVTAP_BUILD_DIR/key_prompt_probe
DRIVER=$WAVTAP_SOURCE_DIR/tests/tools/key_prompt_pty.py

expect_key_starts() { # hex bytes of the key
    python3 "$DRIVER" "$PROBE" "$1" >actual &&
    printf '%s\n' "raw: echo off, canonical off, signals off" "exit: 0" \
        "output: 'pressed\\r\\n'" "mode restored" "left: 0" >expected &&
    diff -u expected actual
}

test_expect_success 'a letter starts, without echo' '
    expect_key_starts 78
'

test_expect_success 'Ctrl+C is a key that starts, not an interrupt' '
    expect_key_starts 03
'

test_expect_success 'Ctrl+S is a key that starts, not flow control' '
    expect_key_starts 13
'

test_expect_success 'the rest of an escape sequence does not reach the shell' '
    expect_key_starts 1b5b41 &&
    expect_key_starts 1b5b31353b327e
'

test_expect_success 'the rest of a multi-byte character does not reach the shell' '
    expect_key_starts c3a9
'

test_expect_success 'SIGTERM during the wait ends the program with the mode restored' '
    python3 "$DRIVER" "$PROBE" term >actual &&
    grep -x "exit: -15" actual &&
    grep -x "mode restored" actual
'

test_expect_success 'without a terminal it returns at once' '
    timeout 10 setsid -w "$PROBE" </dev/null >out 2>err &&
    test_file_is out "pressed
" &&
    test_file_is err ""
'

test_done
