#!/bin/bash
# A power cut at any instant: every change the program makes to its file is journaled (a shim
# preloaded over the file calls), and the disk is rebuilt as each sync left it, with any one of the
# later changes kept, and with all of them: in every such state the header counts only this take's
# signal that is there, in whole frames. (-#s0 gives this up: its header counts each write at
# once, before any sync.)
# labels: wave
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/capture-lib.sh"

CHECK_POWER_CUT="python3 $WAVTAP_SOURCE_DIR/tests/tools/check_power_cut.py"
if [ -n "${WAVTAP_SANITIZE:-}" ]; then
    echo "# the journal's shim is not preloaded under the sanitizers, whose runtimes must come first"
elif [ -n "${POWER_CUT_SHIM:-}" ]; then
    test_set_prereq SHIM
fi

# journaled FILE DELAY ARGS...: records 10 s into FILE with wavtap-sim (paced at 4 times real
# time) under the shim, its journal in ./journal, and kills it DELAY seconds after the start
# (none for "-": the take ends by itself).
journaled() {
    local file=$1 delay=$2
    shift 2
    rm -f journal &&
        in_background env WAVTAP_SIM=speed=4 POWER_CUT_FILE="$file" POWER_CUT_JOURNAL="$PWD/journal" \
            LD_PRELOAD="$POWER_CUT_SHIM" "$SIM" "$file" -s10 -q "$@" >stdout 2>stderr </dev/null &&
        if [ "$delay" = - ]; then
            wait_job "$pid" 30 && test_status 0
        else
            sleep "$delay" && kill -KILL "$pid" && wait_job "$pid" 10 && test_status 137
        fi
}

# cut_checks [--initial OLD]: the journal passes every power-cut state.
cut_checks() {
    : >>journal &&
        $CHECK_POWER_CUT journal "$@" >cuts.txt || { cat cuts.txt && return 1; }
}

test_expect_success SHIM 'power cut at 30 moments, into new files and over earlier takes' '
    head -c 3000000 /dev/urandom >long-take &&
    head -c 1000000 /dev/urandom >short-take &&
    for i in $(seq 0 29); do
        delay=$((i * 75 / 1000)).$(printf %03d $((i * 75 % 1000))) &&
        initial=() && seconds=1 && rm -f take.wav || exit 1
        case $((i % 4)) in 1 | 3) initial=(--initial "$([ $((i / 4 % 2)) = 0 ] && echo long || echo short)-take") ;; esac
        case $((i % 4)) in 2 | 3) seconds=2 ;; esac
        if [ ${#initial[@]} -gt 0 ]; then cp "${initial[1]}" take.wav || exit 1; fi
        journaled take.wav "$delay" "-#s$seconds" &&
        cut_checks "${initial[@]}" || { echo "killed after $delay s, -#s$seconds ${initial[*]}"; exit 1; }
    done
'

# The rows: the sync interval, and -e for a bext chunk (the same bytes in every header).
test_expect_success SHIM 'a take that ends in order passes every power-cut state, at every interval' '
    head -c 3000000 /dev/urandom >old &&
    for row in 1: 2: 3600: 1:-e; do
        seconds=${row%%:*} bext=${row#*:} &&
        cp old take.wav &&
        journaled take.wav - "-#s$seconds" $bext &&
        cut_checks --initial old ${bext:+--bext} &&
        grep -q "final_frames=441000\$" cuts.txt &&
        grep -q "synced_frames=441000 " cuts.txt || { cat cuts.txt; exit 1; }
    done
'

test_expect_success SHIM 'a take stopped by SIGTERM is cut back in an order that is true at every step' '
    cp /dev/null take.wav &&
    in_background env WAVTAP_SIM=speed=4 POWER_CUT_FILE=take.wav POWER_CUT_JOURNAL="$PWD/journal" \
        LD_PRELOAD="$POWER_CUT_SHIM" "$SIM" take.wav -s10 -q >stdout 2>stderr </dev/null &&
    sleep 1.2 &&
    kill -TERM "$pid" &&
    wait_job "$pid" 10 &&
    test_status 0 &&
    cut_checks &&
    frames=$(sed "s/.*synced_frames=\\([0-9]*\\) .*/\\1/" cuts.txt) &&
    test "$frames" -gt 0 &&
    test "$(file_size take.wav)" = $((44 + frames * 4))
'

test_done
