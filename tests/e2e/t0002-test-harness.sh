#!/bin/bash
# The test harness itself: checks reject the broken files they exist to catch, a test body with a
# broken && chain fails the run, clean-up and prerequisites do what they say.
# labels: harness
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/wave-checks.sh"

# A good 16-bit stereo 44100 Hz file of 1000 frames of known bytes, as Python writes it, and
# the input it holds after its header.
python3 -c 'import random, sys, wave
data = random.Random(2).randbytes(4000)
open(sys.argv[2], "wb").write(data + random.Random(3).randbytes(4000))
w = wave.open(sys.argv[1], "wb")
w.setnchannels(2); w.setsampwidth(2); w.setframerate(44100); w.writeframes(data); w.close()' \
    "$SCRATCH/good.wav" "$SCRATCH/input.raw"

# broken NAME OFFSET BYTES: a copy of the good file with BYTES (printf escapes) put at OFFSET.
broken() {
    cp "$SCRATCH/good.wav" "$1" &&
        printf "$3" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

test_expect_success 'every check accepts the good file' '
    header_is "$SCRATCH/good.wav" 44100 2 16 4000 &&
    readers_agree "$SCRATCH/good.wav" 2 44100 16 1000 &&
    wave_ok "$SCRATCH/good.wav" 4000 &&
    data_is "$SCRATCH/good.wav" "$SCRATCH/input.raw" 4000
'

# Rows: the check and its arguments after the file | how the file is broken.
while IFS='|' read -r check make; do
    test_expect_success "$check rejects a file made by: $make" '
        '"$make"' &&
        test_must_fail '"$check"'
    '
done <<'EOT'
header_is bad.wav 44100 2 16 4000|broken bad.wav 0 XXXX
header_is bad.wav 44100 2 16 4000|broken bad.wav 40 '\241\017\000\000'
header_is bad.wav 44100 2 16 4000|broken bad.wav 4 '\000\000\000\000'
readers_agree bad.wav 2 44100 16 1000|broken bad.wav 34 '\014\000'
readers_agree bad.wav 2 44100 16 1000|broken bad.wav 24 '\200\273\000\000'
wave_ok bad.wav 4000|cp "$SCRATCH/good.wav" bad.wav && printf x >>bad.wav
wave_ok bad.wav 4000|broken bad.wav 4 '\000\001\000\000'
wave_ok bad.wav 4000|broken bad.wav 34 '\014\000'
data_is bad.wav "$SCRATCH/input.raw" 4000|head -c 4043 "$SCRATCH/good.wav" >bad.wav
data_is bad.wav "$SCRATCH/input.raw" 4000|broken bad.wav 4043 x
EOT

# sub_script TEXT: a test script of TEXT on the harness, run; its cases leave their marks in
# $OUT, this case's directory.
sub_script() {
    printf '. "%s/tests/e2e/lib.sh"\n%s\ntest_done\n' "$WAVTAP_SOURCE_DIR" "$1" >sub.sh &&
        OUT=$PWD run bash sub.sh
}

# The check runs what follows the broken link (as git's chain check does), never what comes
# before it: a body that was run for real would have left "ran".
test_expect_success 'a body that drops a link of its && chain fails the run, and is not run' '
    sub_script "test_expect_success \"broken\" \"
        touch \$OUT/ran
        true
    \"" &&
    test_status 1 &&
    grep -q "^not ok - broken" stdout &&
    grep -q "broken && chain" stdout &&
    test ! -e ran
'

test_expect_success 'an intact chain runs, and a failing link fails it' '
    sub_script "test_expect_success \"intact\" \"
        touch \$OUT/ran &&
        if true; then :; fi &&
        for i in 1 2; do :; done
    \"
    test_expect_success \"failing\" \"true && false && touch \$OUT/not-reached\"" &&
    test_status 1 &&
    grep -q "^ok - intact" stdout &&
    grep -q "^not ok - failing" stdout &&
    test -e ran && test ! -e not-reached
'

test_expect_success 'test_when_finished runs after a failing body, last registered first' '
    sub_script "test_expect_success \"cleans\" \"
        test_when_finished \\\"echo first >>\$OUT/order\\\" &&
        test_when_finished \\\"echo second >>\$OUT/order\\\" &&
        false
    \"" &&
    test_status 1 &&
    printf "second\nfirst\n" >expected &&
    test_cmp_files expected order
'

test_expect_success 'a case whose prerequisite is missing is skipped; one that is set runs' '
    sub_script "test_set_prereq HAVE
    test_expect_success HAVE \"runs\" \"touch \$OUT/ran\"
    test_expect_success MISSING \"skipped\" \"touch \$OUT/skipped\"" &&
    test_status 0 &&
    grep -q "^ok - # skip skipped (missing MISSING)" stdout &&
    test -e ran && test ! -e skipped
'

test_expect_success 'test_file_is takes the expected text literally' '
    printf "100%% \\\\n\n" >file &&
    test_file_is file "100% \\n
" &&
    test_must_fail test_file_is file "100%% \\n
"
'

test_expect_success 'run gives up on a command that does not end' '
    RUN_LIMIT=1 &&
    test_must_fail run sleep 30 &&
    test_status 124
'

test_done
