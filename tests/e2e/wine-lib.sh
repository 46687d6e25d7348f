# Harness for the Windows program under Wine (t07NN-wine-*.sh): lib.sh, with $WAVTAP running
# wavtap.exe through wine-wavtap in the shared prefix, and comparisons for Windows text, whose
# lines end in CR LF.
. "$(dirname "$0")/lib.sh"

export WAVTAP_EXE=$WAVTAP
WAVTAP=$WAVTAP_SOURCE_DIR/tests/e2e/wine-wavtap
export WINEPREFIX=${WINEPREFIX:-${WAVTAP_BUILD_DIR:?WAVTAP_BUILD_DIR must name the build}/wineprefix}

# Copies standard input to standard output with each line end made CR LF.
to_crlf() { sed -z 's/\n/\r\n/g'; }

# Compares a file with the expected text given as a printf format, in its Windows form.
test_text_is() {
    printf "$2" | to_crlf >expected.tmp
    cmp -s expected.tmp "$1" || {
        echo "--- expected $1"; cat -A expected.tmp; echo "--- actual"; cat -A "$1"
        fail "$1 differs"
    }
}

# The Windows form of a path in the scratch directory: the Unix root is drive Z: under Wine.
windows_path() { printf 'Z:%s' "$(realpath -m "$1" | tr / '\\')"; }

# Little-endian 16- and 32-bit values as printf escapes.
le16() { printf '\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)); }
le32() { printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)); }

# Writes the 44-byte PCM wave header for: rate channels bits data_bytes.
wave_header() {
    local align=$(($2 * $3 / 8))
    printf "RIFF$(le32 $(($4 + 36)))WAVEfmt $(le32 16)$(le16 1)$(le16 "$2")$(le32 "$1")"
    printf "$(le32 $(($1 * align)))$(le16 $align)$(le16 "$3")data$(le32 "$4")"
}

# Fails unless the first 44 bytes of file are the header for: rate channels bits data_bytes.
test_header_is() {
    local file=$1
    shift
    wave_header "$@" >expected-header
    head -c 44 "$file" >actual-header
    cmp -s expected-header actual-header || {
        echo "--- expected header"; od -An -tx1 expected-header; echo "--- actual"; od -An -tx1 actual-header
        fail "$file: wrong header"
    }
}
