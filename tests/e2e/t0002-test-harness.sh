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
    test_lacks_prereq WHY \"it needs root\"
    test_expect_success HAVE \"runs\" \"touch \$OUT/ran\"
    test_expect_success MISSING \"skipped\" \"touch \$OUT/skipped\"
    test_expect_success WHY \"skipped too\" \"touch \$OUT/skipped\"" &&
    test_status 0 &&
    grep -q "^ok - # skip skipped (missing MISSING)" stdout &&
    test -e ran && test ! -e skipped &&
    sed -n "/^1 passed, 0 failed, 2 skipped$/,\$p" stdout >summary &&
    test_file_is summary "1 passed, 0 failed, 2 skipped
# skipped: skipped (missing MISSING)
# skipped: skipped too (missing WHY: it needs root)
"
'

# A program that prints the start and the summary of an AddressSanitizer report and exits with
# the status given.
export FAKE_SANITIZER=$SCRATCH/fake-sanitizer
printf '%s\n' '#!/bin/sh' \
    'echo "==4242==ERROR: AddressSanitizer: heap-use-after-free on address 0x602000000010" >&2' \
    'echo "SUMMARY: AddressSanitizer: heap-use-after-free take.cpp:12 in write_take" >&2' \
    'exit "$1"' >"$FAKE_SANITIZER"
chmod +x "$FAKE_SANITIZER"

# sub_case BODY: a test script of one case "case" with BODY (no single quote in it), run.
sub_case() {
    printf '. "%s/tests/e2e/lib.sh"\ntest_expect_success "case" '"'%s'"'\ntest_done\n' \
        "$WAVTAP_SOURCE_DIR" "$1" >sub.sh &&
        run bash sub.sh
}

# Rows: what the harness says of a case ("ok" or "not ok") | the case's body. A program killed
# by a signal or that cannot run is no expected failure; a sanitizer's report or status fails
# the case whatever status it expected, wherever its stderr went; a poll that never comes true
# and a failing clean-up fail the case.
while IFS='|' read -r verdict sub_body; do
    test_expect_success "the harness says $verdict to: $sub_body" '
        sub_case "$sub_body" &&
        { grep -qx "$verdict - case" stdout || fail "$(cat stdout)"; }
    '
done <<'EOT'
not ok|test_must_fail sh -c "kill -SEGV \$\$"
not ok|test_must_fail sh -c "kill -TERM \$\$"
not ok|test_must_fail sh -c "exit 126"
not ok|test_must_fail ./no-such-program
not ok|test_must_fail "$FAKE_SANITIZER" 86
not ok|test_must_fail "$FAKE_SANITIZER" 1
ok|test_must_fail sh -c "exit 1"
ok|test_must_fail sh -c "exit 255"
not ok|run "$FAKE_SANITIZER" 1 && test_status 1
not ok|run "$FAKE_SANITIZER" 86
not ok|in_background "$FAKE_SANITIZER" 1 2>stderr && wait_job $pid 10 && test_status 1
not ok|{ "$FAKE_SANITIZER" 1 2>take.stderr || :; }
not ok|"$FAKE_SANITIZER" 0
ok|run sh -c "echo Input device failed >&2; exit 1" && test_status 1
not ok|wait_until 1 false
not ok|wait_until 1 test -e never-made
ok|{ (sleep 0.3 && touch later) & } && wait_until 5 test -e later
not ok|test_when_finished false
not ok|test_when_finished "rm no-such-file" && true
ok|test_when_finished true && test_when_finished "rm -f no-such-file"
EOT

# Recordings of the simulated device from frame 0: 8000 frames of 8-bit mono, of 16-bit mono.
SIM=${WAVTAP_SIM_PROGRAM:?WAVTAP_SIM_PROGRAM must name wavtap-sim (ctest sets it)}
WAVTAP_SIM=speed=0 "$SIM" "$SCRATCH/sim8" -f8000 -c1 -b8 -s1 -q 2>/dev/null
WAVTAP_SIM=speed=0 "$SIM" "$SCRATCH/sim16" -f8000 -c1 -b16 -s1 -q 2>/dev/null

# Rows: bits | the frame the file starts at | --first given to the checker | its exit status.
# A file that starts 256 or 512 frames late is the signal's own bytes, only shifted.
while IFS='|' read -r bits skip first verdict; do
    test_expect_success "check_sim_signal.py on $bits bits from frame $skip with --first $first: status $verdict" '
        python3 -c "import sys, wave
r = wave.open(sys.argv[1]); w = wave.open(sys.argv[2], \"wb\")
w.setparams(r.getparams()); r.readframes(int(sys.argv[3])); w.writeframes(r.readframes(4000))
w.close()" "$SCRATCH/sim$bits.wav" cut.wav "$skip" &&
        run python3 "$WAVTAP_SOURCE_DIR/tests/tools/check_sim_signal.py" cut.wav --first "$first" --frames 4000 &&
        test_status "$verdict"
    '
done <<'EOT'
8|0|0|0
8|256|256|0
8|256|0|1
8|512|256|1
8|1|0|1
16|256|0|1
16|256|256|0
EOT

# part NAME FIRST REFERENCE [FRAMES]: a part of an aligned take of the counter signal as wavtap
# writes it with -e: FRAMES (default 441) frames of 16-bit stereo counting from FIRST, after a
# bext chunk whose time reference is REFERENCE.
part() {
    python3 -c 'import array, struct, sys
name, first, reference = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
fmt = struct.pack("<HHIIHH", 1, 2, 44100, 176400, 4, 16)
bext = bytearray(602)
bext[338:346] = struct.pack("<Q", reference)
frames = int(sys.argv[4]) if len(sys.argv) > 4 else 441
data = array.array("I", range(first, first + frames)).tobytes()
body = b"WAVE" + b"fmt " + struct.pack("<I", 16) + fmt + b"bext" + struct.pack("<I", len(bext)) + bext
body += b"data" + struct.pack("<I", len(data)) + data
open(name, "wb").write(b"RIFF" + struct.pack("<I", len(body)) + body)' "$@"
}

# Rows: the feeder's first frame (counter 1) in seconds of the UTC day | the first part's name,
# bext time reference | the second part's name, its first counter value, time reference | the
# checker's exit status. The second part's boundary is its name: counter 44542 was played 10 ms
# after it, 42337 40 ms before it (across midnight: 23:59:59.96), 46747 60 ms after, 40132
# 60 ms before; 2646 frames are 60 ms.
while IFS='|' read -r start first_part second_part verdict; do
    test_expect_success "check_part_times.py with the feeder at $start s, parts $first_part and $second_part: status $verdict" '
        part "rec-${first_part% *}.wav" 1 "${first_part#* }" &&
        part "rec-${second_part%% *}.wav" ${second_part#* } &&
        run python3 "$WAVTAP_SOURCE_DIR/tests/soundserver/check_part_times.py" \
            --t0 $(((1796083200 + start) * 1000000000)) --join joined.raw \
            "rec-${first_part% *}.wav" "rec-${second_part%% *}.wav" &&
        test_status "$verdict" &&
        test "$(file_size joined.raw)" = 3528
    '
done <<'EOT'
10|000010 441000|000011 44542 485100|0
10|000010 441000|000011 42337 485100|0
10|000010 441000|000011 46747 485100|1
10|000010 441000|000011 40132 485100|1
10|000010 441000|000011 44542 487746|1
10|000010 443646|000011 44542 485100|1
-1|235959 3810195900|000000 42337 0|0
-1|235959 3810195900|000000 42337 2646|1
EOT

# The server's first audio may come after the take's first boundary: a part before it without
# audio passes (and the first part with audio is the one not held to its boundary), a part
# without audio after it does not.
test_expect_success "check_part_times.py takes header-only parts before the first audio only" '
    part rec-000009.wav 1 0 0 &&
    part rec-000010.wav 1 441000 &&
    part rec-000011.wav 44542 485100 &&
    part rec-000012.wav 1 0 0 &&
    t0=$(((1796083200 + 10) * 1000000000)) &&
    check="$WAVTAP_SOURCE_DIR/tests/soundserver/check_part_times.py" &&
    run python3 "$check" --t0 $t0 rec-000009.wav rec-000010.wav rec-000011.wav &&
    test_status 0 &&
    run python3 "$check" --t0 $t0 rec-000010.wav rec-000011.wav rec-000012.wav &&
    test_status 1 &&
    grep -qx "rec-000012.wav: no audio" stdout
'

# Timing messages as pacat --verbose writes them, each ended by a carriage return, with other
# messages between. Of the play positions 10, 20, 1000, 30, 40 and 50 s the median is 30 s: the
# feeder started 30 s before the messages came (the smallest position would say 10 s, the
# largest 1000 s).
test_expect_success 'feeder_clock.py: t0 is the median estimate, each message a line of the log, underruns counted' '
    for position in 0 10 20 1000 30 40 50; do
        printf "Time: %s.000 sec; Latency: %s usec.        \r" "$position" $((position + 7)) &&
        { [ "$position" != 20 ] && [ "$position" != 40 ] || printf "Stream underrun.\n"; } || exit 1
    done >messages &&
    before=$(date +%s%N) &&
    python3 "$WAVTAP_SOURCE_DIR/tests/soundserver/feeder_clock.py" clock <messages >log &&
    after=$(date +%s%N) &&
    t0=$(sed -n "s/^t0_ns=//p" clock) &&
    [ "$t0" -ge $((before - 30000000000)) ] && [ "$t0" -le $((after - 30000000000)) ] &&
    grep -qx "samples=6" clock &&
    grep -qx "underruns=2" clock &&
    grep -qx "latency_us=57" clock &&
    test "$(grep -c "^Stream underrun\.$" log)" = 2 &&
    test "$(grep -c "^Time: [0-9.]* sec; Latency: [0-9]* usec\.$" log)" = 7
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
