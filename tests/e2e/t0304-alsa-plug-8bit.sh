#!/bin/bash
# 8-bit recordings through ALSA's plug PCM over a device that gives only 16-bit audio: plug
# converts, and 16-bit zeros (ALSA's file PCM reading /dev/zero) must arrive as unsigned 8-bit
# silence, 128 in every byte (signed 8 bits would be 0). The same through a sound server that
# converts its 16-bit samples itself is in t0502. (The null PCM alone would not do: under plug
# it hands over whatever its buffer held.)
. "$(dirname "$0")/lib.sh"

cat >"$SCRATCH/asound.conf" <<EOF
pcm.zeros {
    type file
    slave.pcm { type null }
    file "/dev/null"
    infile "/dev/zero"
    format "raw"
}
pcm.to8bit {
    type plug
    slave { pcm "zeros" format S16_LE }
}
EOF
export ALSA_CONFIG_PATH=$SCRATCH/asound.conf

for channels in 1 2; do
    test_expect_success "-b8 -c$channels through plug over 16-bit zeros: every byte is 128" '
        AUDIODEV=to8bit timeout 20 "$WAVTAP" rec -b8 -c'"$channels"' -f8000 -s2 -q >stdout 2>stderr </dev/null &&
        test_stderr_is "" &&
        test "$(file_size rec.wav)" = $((44 + 2 * 8000 * '"$channels"')) &&
        tail -c +45 rec.wav >got &&
        head -c $((2 * 8000 * '"$channels"')) /dev/zero | tr "\000" "\200" >expected &&
        cmp got expected
    '
done
test_done
