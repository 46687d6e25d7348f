#!/bin/bash
# The device list (-l) on Linux, against ALSA configurations of our own: device 0 and what chose
# it, the named PCMs from ALSA's name hints, and the line for a machine with nothing to record
# from. No configuration here lets a card be opened, so no numbered device shows on any machine.
. "$(dirname "$0")/lib.sh"
unset AUDIODEV

cat >"$SCRATCH/hints.conf" <<'CONF'
pcm.micarray {
    type null
    hint { description "Test microphone array" }
}
pcm.tapein {
    type null
    hint { description "Test tape input" }
}
pcm.nohint { type null }
pcm.null {
    type null
    hint { description "Discard all samples" }
}
CONF
: >"$SCRATCH/empty.conf"

test_expect_success 'the named PCMs that ALSA hints at follow the default device, exit 0' '
    ALSA_CONFIG_PATH=$SCRATCH/hints.conf run "$WAVTAP" -l &&
    test_status 0 &&
    test_stderr_is "" &&
    test_stdout_is " 0  default  (ALSA'\''s default; AUDIODEV is not set)
    micarray  Test microphone array
    tapein  Test tape input
"
'

test_expect_success 'AUDIODEV names device 0, and its PCM is not listed twice' '
    AUDIODEV=tapein ALSA_CONFIG_PATH=$SCRATCH/hints.conf run "$WAVTAP" -L &&
    test_status 0 &&
    test_stdout_is " 0  tapein  (named by AUDIODEV)
    micarray  Test microphone array
"
'

test_expect_success 'with no card and no named PCM the list says that no input device was found' '
    ALSA_CONFIG_PATH=$SCRATCH/empty.conf run "$WAVTAP" -l rec &&
    test_status 0 &&
    test_stdout_is "No input device was found.
" &&
    test_stderr_is "" &&
    test ! -e rec.wav &&
    AUDIODEV=anything ALSA_CONFIG_PATH=$SCRATCH/empty.conf run "$WAVTAP" -l &&
    test_stdout_is " 0  anything  (named by AUDIODEV)
"
'

test_done
