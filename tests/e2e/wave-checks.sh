# shellcheck shell=bash
# Checks of recorded wave files for the end-to-end scripts. Source after lib.sh. Each check
# fails on its first failing test and says why.

# Little-endian 16- and 32-bit values as printf escapes.
le16() { printf '\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)); }
le32() { printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)); }

# wave_header RATE CHANNELS BITS DATA_BYTES: writes the 44-byte PCM wave header for that.
wave_header() {
    local align=$(($2 * $3 / 8))
    printf "RIFF$(le32 $(($4 + 36)))WAVEfmt $(le32 16)$(le16 1)$(le16 "$2")$(le32 "$1")" &&
        printf "$(le32 $(($1 * align)))$(le16 $align)$(le16 "$3")data$(le32 "$4")"
}

# header_is FILE RATE CHANNELS BITS DATA_BYTES: the first 44 bytes of FILE are the PCM wave
# header for that format and data length.
header_is() {
    local file=$1
    shift
    wave_header "$@" >expected-header &&
        head -c 44 "$file" >actual-header &&
        cmp -s expected-header actual-header || {
        echo "--- expected header"; od -An -tx1 expected-header; echo "--- actual"; od -An -tx1 actual-header
        fail "$file: wrong header"
    }
}

# readers_agree FILE CHANNELS RATE BITS FRAMES: sox and Python's wave module both read that.
readers_agree() {
    local f=$1 want="$2 $3 $4 $5" sox py
    sox="$(soxi -c "$f") $(soxi -r "$f") $(soxi -b "$f") $(soxi -s "$f")" &&
        { [ "$sox" = "$want" ] || fail "soxi reads $sox, expected $want"; } &&
        py=$(python3 -c 'import sys, wave
w = wave.open(sys.argv[1])
print(w.getnchannels(), w.getframerate(), 8 * w.getsampwidth(), w.getnframes())' "$f") &&
        { [ "$py" = "$want" ] || fail "python reads $py, expected $want"; }
}

# wave_ok FILE DATA_BYTES: FILE is a 44100 Hz 16-bit stereo wave file of DATA_BYTES of audio,
# its length and RIFF size agreeing with its header, as sox and Python read it.
wave_ok() {
    { [ "$(file_size "$1")" = $((44 + $2)) ] || fail "$1: $(file_size "$1") bytes, expected $((44 + $2))"; } &&
        { [ "$(u32_at "$1" 4)" = $((36 + $2)) ] || fail "$1: RIFF size $(u32_at "$1" 4)"; } &&
        readers_agree "$1" 2 44100 16 $(($2 / 4))
}

# data_is FILE INPUT BYTES [HEADER]: FILE holds a header of HEADER bytes (default 44), then
# exactly the first BYTES of INPUT.
data_is() {
    local header=${4:-44}
    { [ "$(file_size "$1")" = $((header + $3)) ] || fail "$1: $(file_size "$1") bytes, expected $((header + $3))"; } &&
        tail -c +$((header + 1)) "$1" >data &&
        head -c "$3" "$2" >expected-data &&
        cmp data expected-data
}

# probe_is FILE CODEC RATE CHANNELS LAYOUT DURATION: ffprobe reads FILE's audio stream as that
# (DURATION in seconds with 6 decimals).
probe_is() {
    local got want="$2|$3|$4|$5|$6"
    got=$(ffprobe -v error -select_streams a:0 -show_entries stream=codec_name,sample_rate,channels,channel_layout,duration \
        -of default=noprint_wrappers=1:nokey=1 "$1" | paste -sd "|") &&
        { [ "$got" = "$want" ] || fail "ffprobe reads $1 as $got, expected $want"; }
}

# sox_reads FILE CHANNELS RATE BITS SAMPLES ENCODING: sox --i reads that from FILE.
sox_reads() {
    local got want="$2|$3|$4|$5|$6"
    got="$(sox --i -c "$1")|$(sox --i -r "$1")|$(sox --i -b "$1")|$(sox --i -s "$1")|$(sox --i -e "$1" 2>/dev/null)" &&
        { [ "$got" = "$want" ] || fail "sox reads $1 as $got, expected $want"; }
}

# bext_is FILE RATE BEFORE AFTER OFFSET DESCRIPTION: ffprobe reads FILE's bext chunk as wavtap
# writes it: DESCRIPTION, the originator "wavtap", and an origination date and time (in the zone
# OFFSET seconds from UTC) between BEFORE and AFTER (ns since 1970, rounded down to seconds),
# whose time reference counts that second's frames since midnight at RATE.
bext_is() {
    ffprobe -v error -show_entries format_tags -of default=nw=1 "$1" >bext-tags &&
        python3 -c 'import datetime, sys
rate, before, after, offset = (int(a) for a in sys.argv[1:5])
tags = dict(line.rstrip("\n").split("=", 1) for line in open("bext-tags") if "=" in line)
for key, want in (("TAG:comment", sys.argv[5]), ("TAG:encoded_by", "wavtap")):
    if tags.get(key) != want:
        sys.exit("%s is %r, expected %r" % (key, tags.get(key), want))
local = datetime.datetime.strptime(tags["TAG:date"] + " " + tags["TAG:creation_time"], "%Y-%m-%d %H:%M:%S")
at = int((local - datetime.datetime(1970, 1, 1)).total_seconds()) - offset
if not before // 10**9 <= at <= after // 10**9:
    sys.exit("origination %s is not between the take'"'"'s start and end" % local)
reference = int(tags["TAG:time_reference"])
if reference // rate != local.hour * 3600 + local.minute * 60 + local.second:
    sys.exit("time reference %d is not %s at %d Hz" % (reference, local.time(), rate))' \
            "$2" "$3" "$4" "$5" "$6" || fail "$1: wrong bext chunk: $(cat bext-tags)"
}
