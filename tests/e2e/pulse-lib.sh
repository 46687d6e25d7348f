# shellcheck shell=bash
# For the scripts that record from the private PulseAudio server (tests/soundserver/pulse.sh):
# pulse_script_start starts the server and its counter feeder for the rest of the script, or
# ends the script as failed. Source after lib.sh.
. "$WAVTAP_SOURCE_DIR/tests/soundserver/pulse.sh"

pulse_script_start() {
    at_exit pulse_stop
    if ! pulse_start || ! pulse_feed; then
        echo "not ok - the private PulseAudio server and its feeder start"
        tests_failed=$((tests_failed + 1))
        test_done
    fi
}

# counter_ok FILE [options]: the recording is one contiguous run of the counter signal.
counter_ok() {
    check_counter "$@" >counter.txt || {
        cat counter.txt
        fail "not contiguous; the feeder underran $(pulse_feed_underruns) time(s) so far"
    }
}
