#!/bin/bash
# Complete recordings from the simulated device: exact length, header, contiguous audio,
# the countdown, and the buffer pool's re-queueing.
# labels: threaded
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/capture-lib.sh"

test_expect_success 'a default recording holds exactly 5 s of contiguous audio' '
    record speed=0 take &&
    test_status 0 &&
    test "$(file_size take.wav)" = 882044 &&
    check_signal take.wav 220500 &&
    test_stdout_is ""
'

test_expect_success 'the countdown is drawn at the first buffer and at every second, ending at 0:00:00' '
    record speed=0 take &&
    test_status 0 &&
    countdown >lines &&
    printf "0:00:05\n0:00:04\n0:00:03\n0:00:02\n0:00:01\n0:00:00\n" >expected &&
    cmp expected lines &&
    test "$(tr -cd "\n" <stderr | wc -c)" = 1 &&
    test "$(tail -c 1 stderr | od -An -c | tr -d " ")" = "\n" &&
    tr "\r" "\n" <stderr | grep -qE "^  0:00:05  Avg Level: {0,3}[0-9]{1,3} {0,3}[0-9]{1,3}$"
'

test_expect_success 'mono shows one level, and quiet mode prints nothing' '
    record speed=0 take -c1 -s2 &&
    test_status 0 &&
    tr "\r" "\n" <stderr | grep -qE "^  0:00:00  Avg Level: {0,3}[0-9]{1,3}$" &&
    record speed=0 take -q -s2 &&
    test_status 0 &&
    test_stderr_is "" &&
    check_signal take.wav 88200
'

test_expect_success '60 s with a 5 s queue adds buffers 600 times: the 600th add is at completion 550' '
    record speed=0,fail=add:601 take -s60 -q &&
    test_status 0 &&
    test_stderr_is "" &&
    check_signal take.wav 2646000 &&
    record speed=0,fail=add:600 take -s60 -q &&
    test_status 1 &&
    test_stderr_is "*** Capture error during unknown: Undefined external error.
" &&
    check_signal take.wav $((550 * 4410))
'

test_expect_success 'uneven buffers (22050 Hz mono 8-bit, 20 a second) fill whole seconds exactly' '
    record speed=0 take -f22050 -c1 -b8 -#b20 -s3 -q &&
    test_status 0 &&
    test "$(file_size take.wav)" = $((44 + 3 * 22050)) &&
    check_signal take.wav 66150
'

test_expect_success 'a recording cut back inside a second agrees with its header' '
    record speed=0,bps=20,short=21 take -f22050 -c1 -b8 -#b20 -s3 -q &&
    test_status 1 &&
    test "$(file_size take.wav)" = $((44 + 23152)) &&
    check_signal take.wav 23152
'

test_expect_success 'a reused longer file is cut to the recording and keeps no stale audio' '
    head -c 3000000 /dev/urandom >take.wav &&
    record speed=0 take -s2 -q &&
    test_status 0 &&
    check_signal take.wav 88200
'

test_expect_success 'device numbers count from 1, and 0 is the default device' '
    record speed=0,devices=3 take -i3 -s1 -q &&
    test_status 0 && test_stderr_is "" &&
    record speed=0,devices=3 take -i0 -s1 -q &&
    test_status 0 && test_stderr_is "" &&
    record speed=0,devices=3 take -i4 -s1 -q &&
    test_status 1 &&
    test_stderr_is "*** Capture error during unknown: A device ID has been used that is out of range for your system.
"
'

# silence_lines_are OFFSET EVENTS...: the silence lines in ./stderr are, in order, EVENTS
# (since@MS: a silence that began MS ms into the take; again@MS/LENGTH: sound again at MS ms after
# LENGTH ms of silence), each position within one buffer (100 ms) of MS, each length within two
# buffers of LENGTH, and each time of day the take's start (OFFSET s after midnight UTC) plus the
# line's position.
silence_lines_are() {
    local offset=$1
    shift
    tr '\r' '\n' <stderr | awk -v offset="$offset" -v events="$*" '
        function ms(position, parts) {
            split(position, parts, ":")
            return int((parts[1] * 3600 + parts[2] * 60 + parts[3]) * 1000 + 0.5)
        }
        function clock(seconds) {
            seconds = int(seconds) % 86400
            return sprintf("%02d:%02d:%02d", seconds / 3600, seconds / 60 % 60, seconds % 60)
        }
        function near(a, b, by) { return a - b <= by && b - a <= by }
        BEGIN { count = split(events, want, " ") }
        /^\*\*\* (Silence since|Sound again at) / {
            n++
            kind = $3 == "since" ? "since" : "again"
            at = ms(substr($(kind == "since" ? 5 : 6), 2))
            split(want[n], w, "[@/]")
            if (w[1] != kind || !near(at, w[2], 100) || $(kind == "since" ? 4 : 5) != clock(offset + at / 1000)) {
                print "line " n " is not " want[n] ": " $0; bad = 1
            }
            if (kind == "again" && !near($(NF - 3) * 1000, w[3], 200)) {
                print "line " n " has not a silence of " w[3] " ms: " $0; bad = 1
            }
        }
        END {
            if (n != count) { print n " silence lines, not " count; bad = 1 }
            exit bad
        }' >silence-check || { cat silence-check; return 1; }
}

# Dead air (-d): the device is silent where the sim key says, the signal elsewhere (a counter,
# whose two channels never fall below level 32 together; the 8-bit signal averages about 64).
# Rows: WAVTAP_SIM's silences, the switches, the take's start after midnight, the lines expected.
test_expect_success 'dead air is reported once it has lasted, and its end when the sound returns' '
    while IFS="|" read -r silences switches offset expected; do
        record "speed=0,clock=$((1796083200 + offset))$silences" take -u $switches &&
        test_status 0 &&
        silence_lines_are "$offset" $expected || { echo "row: $silences |$switches"; exit 1; }
    done <<-\EOF
	,silence=2050:1500| -s6 -d16:2|0|
	,silence=2050:3000| -s7 -d16:2|0|since@2050 again@5050/3000
	,silence=2050:3000| -s7 -d16:2 -q|0|since@2050 again@5050/3000
	,silence=3000:5000| -s6 -d16:2|0|since@3000
	| -s3 -d16:1|0|
	| -s3 -d128:1|0|since@0
	,silence=1000:2000| -s4 -b8 -c1 -d0:1|0|since@1000 again@3000/2000
	,silence=1000:1500,silence=4000:1500| -s7 -d0:1 -q|3600|since@1000 again@2500/1500 since@4000 again@5500/1500
	,silence=3000:3000| -s8 -t2 -d0:2 -q|0|since@3000 again@6000/3000
	,silence=1500:3000| -s8 -t2 -a -d0:2 -q|43201|since@1500 again@4500/3000
	EOF
'

test_done
