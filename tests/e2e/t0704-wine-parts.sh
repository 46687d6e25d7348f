#!/bin/bash
# A take in parts by the Windows program under Wine, through Wine's PulseAudio driver from a
# private PulseAudio server whose null sink plays the counter signal: the parts joined count on
# without a frame lost or repeated.
# labels: realtime
. "$(dirname "$0")/wine-lib.sh"
. "$(dirname "$0")/pulse-lib.sh"

# The feeder keeps more audio queued than by default, as for the other Wine recordings.
export WAVTAP_FEED_LATENCY_MSEC=${WAVTAP_FEED_LATENCY_MSEC:-300}
export WAVTAP_WINE_AUDIO=pulse
pulse_script_start

test_expect_success 'a take in 3 parts: each a complete file, joined one unbroken count' '
    run "$WAVTAP" rec -s6 -t2 -q &&
    test_status 0 &&
    test_stderr_is "" &&
    for part in rec-0001.wav rec-0002.wav rec-0003.wav; do
        { test "$(file_size "$part")" = 352844 && header_is "$part" 44100 2 16 352800; } || exit 1
    done &&
    ! test -e rec-0004.wav &&
    for part in rec-0001.wav rec-0002.wav rec-0003.wav; do tail -c +45 "$part"; done >joined.raw &&
    counter_ok --raw joined.raw
'
test_done
