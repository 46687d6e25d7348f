#!/bin/bash
# The ALSA source on PCMs that need no sound card, selected with AUDIODEV: ALSA's file plugin
# reading known bytes from a file over a null device (not paced in real time), a PCM that only
# takes A-law, and a name that does not exist. The configuration is ours alone. The recordings
# run the device thread of the wave-input service, so the script also runs under TSan.
# labels: threaded
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/wave-checks.sh"
: "${ALSA_PROBE:?ALSA_PROBE must name the alsa_probe test program (ctest sets it)}"

# 2 MB of reproducible noise: a buffer that is lost, repeated or sent twice cannot go unseen.
python3 -c 'import random, sys; sys.stdout.buffer.write(random.Random(302).randbytes(2000000))' \
    >"$SCRATCH/input.raw"
# A PCM name of 200 characters for the file PCM, and its first 63 characters naming another PCM,
# which a name cut short would open.
LONG_PCM=long_$(printf "%0195d" 0)
cat >"$SCRATCH/asound.conf" <<EOF
pcm.filein {
    type file
    slave.pcm { type null }
    file "/dev/null"
    infile "$SCRATCH/input.raw"
    format "raw"
}
pcm.alawonly {
    type alaw
    slave { pcm { type null } format S16_LE }
}
pcm.$LONG_PCM "filein"
pcm.${LONG_PCM:0:63} "alawonly"
EOF
export ALSA_CONFIG_PATH=$SCRATCH/asound.conf
export AUDIODEV=filein

# service_reads RATE CHANNELS BITS LENGTH...: through waveInOpen(WAVE_MAPPER), every buffer comes
# back full, in the order added, and together they hold the start of the input.
service_reads() {
    local rate=$1 channels=$2 bits=$3 length n total=0
    shift 3
    timeout 30 "$ALSA_PROBE" wavein mapper "$rate" "$channels" "$bits" "$@" >got 2>lines ||
        fail "alsa_probe wavein: status $?: $(cat lines)"
    for length in "$@"; do
        n=1
        case $length in *"*"*) n=${length%\**} length=${length#*\*} ;; esac
        for _ in $(seq "$n"); do echo "$length/$length"; done
        total=$((total + n * length))
    done >expected-lines
    diff -u expected-lines lines &&
        head -c $total "$SCRATCH/input.raw" >expected-data &&
        cmp got expected-data
}

test_expect_success 'waveInOpen(WAVE_MAPPER) on AUDIODEV: every buffer full, in order, the bytes of the file' '
    service_reads 44100 2 16 "50*17640" &&
    service_reads 22050 1 8 1112 "19*1102" 1112 "19*1102" 1112 &&
    service_reads 8000 2 8 2 6 "7*4000" 1998
'

# open_fails DEVICE ID CHANNELS BITS RESULT: waveInOpen of ID, with AUDIODEV=DEVICE, fails with
# RESULT.
open_fails() {
    if AUDIODEV=$1 timeout 20 "$ALSA_PROBE" wavein "$2" 44100 "$3" "$4" 17640 >/dev/null 2>result; then
        fail "$1 opened"
        return 1
    fi
    echo "open: $5" >expected &&
        diff -u expected result
}

test_expect_success 'a PCM or device that cannot record as asked gives the right MMRESULT' '
    open_fails nosuchpcm mapper 2 16 MMSYSERR_NODRIVER &&
    open_fails alawonly mapper 2 16 WAVERR_BADFORMAT &&
    open_fails alawonly mapper 1 8 WAVERR_BADFORMAT &&
    open_fails filein mapper 3 16 WAVERR_BADFORMAT &&
    open_fails filein "$("$ALSA_PROBE" count)" 2 16 MMSYSERR_BADDEVICEID
'

test_expect_success 'wavtap records exactly 5 s of the file PCM' '
    run "$WAVTAP" rec -s5 &&
    test_status 0 &&
    ! grep -F "***" stderr &&
    header_is rec.wav 44100 2 16 882000 &&
    data_is rec.wav "$SCRATCH/input.raw" 882000
'

test_expect_success 'an AUDIODEV of 200 characters is taken whole' '
    AUDIODEV=$LONG_PCM run "$WAVTAP" rec -s1 -q &&
    test_status 0 &&
    test_stderr_is "" &&
    data_is rec.wav "$SCRATCH/input.raw" 176400
'

test_expect_success 'wavtap records 8-bit mono at 22050 Hz in uneven buffers exactly' '
    run "$WAVTAP" rec -s3 -b8 -c1 -f22050 -#b20 -#q1 -q &&
    test_status 0 &&
    test_stderr_is "" &&
    header_is rec.wav 22050 1 8 66150 &&
    data_is rec.wav "$SCRATCH/input.raw" 66150
'

hint='List the input devices with "wavtap -l", and choose one with -i or AUDIODEV.'

test_expect_success 'a missing PCM ends the capture at the open with its name, the reason and a hint, the file cut to its header' '
    AUDIODEV=nosuchpcm run "$WAVTAP" rec -s1 -q &&
    test_status 1 &&
    test_stderr_is "*** Capture error during unknown: The ALSA PCM \"nosuchpcm\" could not be opened: No such file or directory.
$hint
" &&
    test "$(file_size rec.wav)" = 44 &&
    header_is rec.wav 44100 2 16 0 &&
    run "$WAVTAP" rec -s1 -q -iother:pcm &&
    test_status 1 &&
    test_stderr_is "*** Capture error during unknown: The ALSA PCM \"other:pcm\" could not be opened: No such file or directory.
$hint
"
'

test_expect_success 'a rate the PCM cannot give is named with the PCM, without the hint' '
    run "$WAVTAP" rec -s1 -q -ialawonly &&
    test_status 1 &&
    test_stderr_is "*** Capture error during unknown: The ALSA PCM \"alawonly\" could not be set up: the device cannot record 16-bit 2-channel audio at 44100 Hz.
"
'

test_expect_success '-i names the PCM, and 96000 Hz goes into the header and the length exactly, at an absolute path' '
    AUDIODEV=nosuchpcm run "$WAVTAP" "$PWD/take" -s5 -f96000 -q -ifilein &&
    test_status 0 &&
    test_stderr_is "" &&
    header_is take.wav 96000 2 16 1920000 &&
    data_is take.wav "$SCRATCH/input.raw" 1920000
'

# The file PCM hands over as much as is asked at any moment, so that a reader that stalls finds
# far more audio waiting than the clock allows. That must never count as a loss.
test_expect_success 'stalls in reading an unpaced PCM lose nothing and report nothing' '
    run "$ALSA_PROBE" read mapper 44100 2 16 882000 -p 17640:1200 -p 441000:1200 &&
    test_status 0 &&
    test_stderr_is "" &&
    head -c 882000 "$SCRATCH/input.raw" >expected-data &&
    cmp stdout expected-data
'

# in_wave_order CHANNELS SAMPLE_BYTES BYTES: the first BYTES of the input with each frame's
# channels moved from ALSA's surround order (FL FR RL RR FC LFE RC|SL SR) to the wave file's
# (FL FR FC LFE BL BR BC|SL SR); 1 to 4 channels stay as they are.
in_wave_order() {
    python3 -c '
import sys
channels, size, length = (int(a) for a in sys.argv[1:4])
data = open(sys.argv[4], "rb").read(length)
order = {5: [0, 1, 4, 2, 3], 6: [0, 1, 4, 5, 2, 3], 7: [0, 1, 4, 5, 2, 3, 6],
         8: [0, 1, 4, 5, 2, 3, 6, 7]}.get(channels, list(range(channels)))
frame = channels * size
out = bytearray()
for at in range(0, length, frame):
    for c in order:
        out += data[at + c * size:at + (c + 1) * size]
sys.stdout.buffer.write(out)
' "$@" "$SCRATCH/input.raw"
}

# The file PCM takes any sample format and hands over the file's bytes as samples of it
# unchanged, so the take's data are the input's bytes in every format, in the wave file's
# channel order.
test_expect_success 'wavtap records 24-bit, 32-bit and float takes of the file PCM, up to 8 channels, exactly' '
    for format in 24:2:3:288000 24:6:3:864000 32:1:4:192000 32f:2:4:384000 32f:5:4:960000 32:8:4:1536000; do
        set -- ${format//:/ } &&
        run "$WAVTAP" rec -s1 -q -b$1 -c$2 -f48000 &&
        test_status 0 &&
        test_stderr_is "" &&
        in_wave_order $2 $3 $4 >expected-input &&
        data_is rec.wav expected-input $4 68 || exit 1
    done
'

test_done
