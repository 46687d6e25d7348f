# shellcheck shell=bash
# Harness for the Windows program under Wine (t07NN-wine-*.sh): lib.sh, with $WAVTAP running
# wavtap.exe through wine-wavtap in the shared prefix, and comparisons for Windows text, whose
# lines end in CR LF.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/wave-checks.sh"

export WAVTAP_EXE=$WAVTAP
WAVTAP=$WAVTAP_SOURCE_DIR/tests/e2e/wine-wavtap
export WINEPREFIX=${WINEPREFIX:-${WAVTAP_BUILD_DIR:?WAVTAP_BUILD_DIR must name the build}/wineprefix}

# Copies standard input to standard output with each line end made CR LF.
to_crlf() { sed -z 's/\n/\r\n/g'; }

# test_text_is FILE TEXT: FILE holds TEXT (taken literally) in its Windows form, each line
# ending in CR LF.
test_text_is() {
    printf '%s' "$2" | to_crlf >expected.tmp &&
        cmp -s expected.tmp "$1" || {
        echo "--- expected $1"; cat -A expected.tmp; echo "--- actual"; cat -A "$1"
        fail "$1 differs"
    }
}

# The Windows form of a path in the scratch directory: the Unix root is drive Z: under Wine.
windows_path() { printf 'Z:%s' "$(realpath -m "$1" | tr / '\\')"; }
