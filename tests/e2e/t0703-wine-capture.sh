#!/bin/bash
# The capture of the Windows program under Wine: with no sound driver at all, and real recordings
# through Wine's PulseAudio driver from a private PulseAudio server whose null sink plays the
# counter signal, so that every frame recorded says which frame it is.
# labels: realtime
. "$(dirname "$0")/wine-lib.sh"
. "$(dirname "$0")/pulse-lib.sh"

first_line_is() { head -n 1 stderr >first-line && test_text_is first-line "$1"; }

test_expect_success 'with no sound driver the capture reports Wine'\''s text, exit 1, the file cut to its header' '
    run "$WAVTAP" rec -s2 &&
    test_status 1 &&
    first_line_is "*** Capture error during unknown: There is no driver installed on your system!
" &&
    test "$(file_size rec.wav)" = 44 &&
    header_is rec.wav 44100 2 16 0
'

test_expect_success 'with no sound driver -l finds no device, and a name after -i matches none' '
    run "$WAVTAP" -l &&
    test_status 0 &&
    test_text_is stdout "No input device was found.
" &&
    run "$WAVTAP" rec -s1 -q -iMicrophone &&
    test_status 1 &&
    test "$(file_size rec.wav)" = 44 &&
    test_text_is stderr "*** Capture error during unknown: No input device has \"Microphone\" in its name.
List the input devices with \"wavtap -l\".
"
'

# From here on Wine records from the private server. The feeder keeps more audio queued than by
# default: with 20 ms, Wine's load on two cores made it underrun now and then (silence, then lost
# frames, the same in every client of the server, so not the recording's fault).
export WAVTAP_FEED_LATENCY_MSEC=${WAVTAP_FEED_LATENCY_MSEC:-300}
export WAVTAP_WINE_AUDIO=pulse
pulse_script_start

test_expect_success 'a 5 s recording is exact: length, header, every frame in order' '
    run "$WAVTAP" rec &&
    test_status 0 &&
    ! grep -F "***" stderr &&
    test "$(file_size rec.wav)" = 882044 &&
    header_is rec.wav 44100 2 16 882000 &&
    counter_ok rec.wav
'

test_expect_success 'an existing file past 4 GiB is shrunk to the recording (64-bit size)' '
    truncate -s $((4 * 1024 * 1024 * 1024 + 1000)) old.wav &&
    run "$WAVTAP" old -s1 -q &&
    test_status 0 &&
    test "$(file_size old.wav)" = 176444 &&
    header_is old.wav 44100 2 16 176400
'

# interrupted_recording FILE ARGS...: runs the program with ARGS in the background (standard
# output to ./stdout), sends it Ctrl+C about a second after audio has reached FILE, and waits
# for it to end; $status is then its exit status.
interrupted_recording() {
    local file=$1 pid _
    shift
    "$WAVTAP" "$@" >stdout 2>stderr </dev/null &
    pid=$!
    wait_until 20 eval '[ "$(u32_at "$file" 44)" -gt 0 ]' ||
        { kill -9 $pid; wait $pid; return 1; }
    sleep 1
    kill -INT $pid
    wait_job $pid 20
}

# The output, then the program's arguments. Standard output redirected to a file is rewound and
# cut like a named file.
while read -r file args; do
    test_expect_success "Ctrl+C cuts $file back to the buffers captured, header to match" '
        interrupted_recording '"$file $args"' &&
        test_status 0 &&
        grep -qF "*** Keyboard abort -- truncating output..." stderr &&
        test "$(grep -cF "***" stderr)" = 1 &&
        size=$(file_size '"$file"') &&
        test $(((size - 44) % 17640)) = 0 &&
        test "$size" -gt 44 && test "$size" -lt 3528044 &&
        header_is '"$file"' 44100 2 16 $((size - 44)) &&
        counter_ok '"$file"'
    '
done <<'CASES'
rec.wav rec -s20
stdout - -s20
CASES

test_expect_success 'the Wine process killed with SIGKILL mid-take leaves a header that counts the audio on disk' '
    in_background "$WAVTAP" rec -s20 -q >stdout 2>stderr </dev/null &&
    test_when_finished "kill -9 $pid 2>/dev/null || :" &&
    for _ in $(seq 200); do
        [ "$(u32_at rec.wav 40 2>/dev/null)" -gt 0 ] 2>/dev/null && break
        sleep 0.1
    done &&
    sleep 2 &&
    wine_pid=$(pgrep -P "$pid") &&
    kill -KILL $wine_pid &&
    wait_job $pid 20 &&
    test "$(file_size rec.wav)" = 3528044 &&
    data=$(u32_at rec.wav 40) &&
    test "$data" -gt 0 && test $((data % 4)) = 0 &&
    test "$(u32_at rec.wav 4)" = $((data + 36)) &&
    readers_agree rec.wav 2 44100 16 $((data / 4)) &&
    head -c $((44 + data)) rec.wav | tail -c +45 >data.raw &&
    counter_ok --raw data.raw
'

# ds64_sizes_are FILE DATA_BYTES: FILE is that long with an 80-byte RF64 header, and its ds64
# chunk holds the RIFF size, the data size and the frame count (16-bit stereo) for DATA_BYTES.
ds64_sizes_are() {
    test "$(head -c 4 "$1")" = RF64 &&
        test "$(file_size "$1")" = $((80 + $2)) &&
        test "$(od -An -tu8 -j 20 -N 24 "$1" | tr -s " \n" " ")" = " $((72 + $2)) $2 $(($2 / 4)) "
}

test_expect_success 'a take past 4 GiB is RF64, and Ctrl+C leaves it with its true 64-bit sizes' '
    in_background "$WAVTAP" long -s24348 >stdout 2>stderr </dev/null &&
    test_when_finished "kill -9 $pid 2>/dev/null || :" &&
    wait_for_text "6:45:46" &&
    test "$(file_size long.wav)" = 4294987280 &&
    kill -INT $pid &&
    wait_job $pid 20 &&
    test_status 0 &&
    grep -qF "*** Keyboard abort -- truncating output..." stderr &&
    size=$(file_size long.wav) &&
    test $(((size - 80) % 17640)) = 0 &&
    test "$size" -gt 80 &&
    ds64_sizes_are long.wav $((size - 80)) &&
    tail -c +81 long.wav >data.raw &&
    check_counter --raw data.raw >counter.txt
'

test_expect_success 'a 24-bit take through the wave mapper holds the 16-bit feed widened' '
    run "$WAVTAP" rec -s2 -q -b24 &&
    test_status 0 &&
    ! grep -F "***" stderr &&
    test "$(file_size rec.wav)" = $((68 + 529200)) &&
    test "$(od -An -tx1 -j 20 -N 2 rec.wav)" = " fe ff" &&
    python3 -c "import sys
d = open(\"rec.wav\", \"rb\").read()[68:]
sys.exit(any(d[i] for i in range(0, len(d), 3)))" &&
    python3 -c "import sys
d = open(\"rec.wav\", \"rb\").read()[68:]
sys.stdout.buffer.write(b\"\".join(d[i + 1:i + 3] for i in range(0, len(d), 3)))" >data.raw &&
    check_counter --raw data.raw >counter.txt
'

# The device list: the wave mapper, then Wine's devices for the private server. Part of a listed
# name, in other letter case, chooses that device; each records the counter signal.
test_expect_success '-l lists Wine'\''s devices, and -i with part of a listed name records from it' '
    run "$WAVTAP" -l &&
    test_status 0 &&
    tr -d "\r" <stdout >list &&
    cat list &&
    test "$(head -n 1 list)" = " 0  Wave mapper (the default recording device)" &&
    grep -qE "^ 1  ..." list &&
    name=$(sed -n "s/^ 1  //p" list) &&
    part=$(printf "%s" "${name:1:6}" | tr "[:lower:][:upper:]" "[:upper:][:lower:]") &&
    run "$WAVTAP" rec -s2 -q "-i$part" &&
    test_status 0 &&
    test_stderr_is "" &&
    test "$(file_size rec.wav)" = 352844 &&
    counter_ok rec.wav
'

# Wine lists two input devices for the private server, so -i3 (device 2) is the first one past
# the end.
test_expect_success 'a device number past the last device fails at the open with its text' '
    run "$WAVTAP" rec -s1 -q -i3 &&
    test_status 1 &&
    test_text_is stderr "*** Capture error during unknown: A device ID has been used that is out of range for your system.
" &&
    test "$(file_size rec.wav)" = 44
'

test_expect_success 'a second recorder on the same file is refused and touches nothing' '
    in_background "$WAVTAP" rec -s20 -q >stdout 2>first-stderr </dev/null &&
    wait_until 20 eval "[ \"\$(u32_at rec.wav 44)\" -gt 0 ]" &&
    run "$WAVTAP" rec -s1 -q &&
    test_status 255 &&
    test_text_is stderr "Output file in use by another recording: rec.wav
" &&
    test "$(file_size rec.wav)" = 3528044 &&
    kill -INT $pid &&
    wait_job $pid 20 &&
    test_status 0 &&
    size=$(file_size rec.wav) &&
    header_is rec.wav 44100 2 16 $((size - 44)) &&
    counter_ok rec.wav
'

test_expect_success 'the prompt without a console does not wait' '
    run "$WAVTAP" rec -s1 -p &&
    test_status 0 &&
    first_line_is "Ready to record -- press any key to begin...
" &&
    ! grep -F "***" stderr &&
    test "$(file_size rec.wav)" = 176444 &&
    counter_ok rec.wav
'

# The prompt on a terminal, which Wine turns into the console: an extended key (Up, which
# yields no character) starts the recording. Ctrl+C cannot be tried here: the terminal turns it
# into SIGINT before Wine's console sees a key. The pane stays open after the program (the
# sleep), so it can still be read; the tmux server ends with the script.
tmux_socket=wavtap-wine-$$
at_exit "tmux -L $tmux_socket kill-server"
pane() { tmux -L $tmux_socket capture-pane -p; }
test_expect_success 'the prompt on a console waits for a key, and Up is one' '
    { command -v tmux >/dev/null || fail "tmux is not installed"; } &&
    tmux -L $tmux_socket new-session -d -x 100 -y 10 \
        "\"$WAVTAP\" rec -s1 -p >stdout; echo \$? >rc; sleep 60" &&
    { wait_until 20 eval "pane | grep -qF \"Ready to record\"" ||
        fail "no prompt on the console: $(pane)"; } &&
    sleep 1.5 &&
    { test ! -e rc && test "$(u32_at rec.wav 44)" = 0 || fail "recorded without a key"; } &&
    tmux -L $tmux_socket send-keys Up &&
    { wait_until 20 test -e rc || fail "still running 20 s after the key: $(pane)"; } &&
    test "$(cat rc)" = 0 &&
    test "$(file_size rec.wav)" = 176444 &&
    counter_ok rec.wav
'

# Keys typed while the program starts and prepares the output are not an answer: the prompt
# discards them and waits for a key typed after it appears.
early_socket=wavtap-wine-early-$$
at_exit "tmux -L $early_socket kill-server"
early_pane() { tmux -L $early_socket capture-pane -p; }
test_expect_success 'keys typed before the prompt appears do not answer it' '
    tmux -L $early_socket new-session -d -x 100 -y 10 \
        "\"$WAVTAP\" rec -s1 -p >stdout; echo \$? >rc; sleep 60" &&
    tmux -L $early_socket send-keys x y z Enter &&
    { wait_until 20 eval "early_pane | grep -qF \"Ready to record\"" ||
        fail "no prompt on the console: $(early_pane)"; } &&
    sleep 1.5 &&
    { test ! -e rc && test "$(u32_at rec.wav 44)" = 0 || fail "the keys typed early answered the prompt"; } &&
    tmux -L $early_socket send-keys Up &&
    { wait_until 20 test -e rc || fail "still running 20 s after the key: $(early_pane)"; } &&
    test "$(cat rc)" = 0 &&
    counter_ok rec.wav
'

test_done
