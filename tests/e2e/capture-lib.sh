# shellcheck shell=bash
# Helpers for the capture scripts that record from the simulated device (wavtap-sim).
# Source after lib.sh.

SIM=${WAVTAP_SIM_PROGRAM:?WAVTAP_SIM_PROGRAM must name wavtap-sim (ctest sets it)}
CHECK_SIGNAL="python3 $WAVTAP_SOURCE_DIR/tests/tools/check_sim_signal.py"

# record CONFIG ARGS...: runs wavtap-sim with WAVTAP_SIM=CONFIG, as run does.
record() {
    local config=$1
    shift
    run env WAVTAP_SIM="$config" "$SIM" "$@"
}

# check_signal FILE FRAMES: the header matches the file and the data are FRAMES frames of the
# device's signal from frame 0, with no gap or repeat.
check_signal() {
    $CHECK_SIGNAL "$1" --first 0 --frames "$2" >signal.txt || { cat signal.txt; return 1; }
}

# The progress line's countdown values, one a line, from ./stderr.
countdown() { { tr '\r' '\n' <stderr; echo; } | sed -n 's/^ *\([0-9]*:[0-9][0-9]:[0-9][0-9]\)  Avg Level:.*/\1/p'; }

# start_recording CONFIG ARGS...: starts wavtap-sim in the background ($pid), outputs in
# ./stdout and ./stderr.
start_recording() {
    local config=$1
    shift
    in_background env WAVTAP_SIM="$config" "$SIM" "$@" >stdout 2>stderr </dev/null
}

# finish: waits (at most 30 s, then kills it) for the background recording and sets $status.
finish() { wait_job "$pid" 30; }

# Bytes of audio in N buffers of the default format (44100 Hz stereo 16-bit, 10 a second).
default_bytes() { echo $(($1 * 17640)); }
