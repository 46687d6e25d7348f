# Harness for the end-to-end scripts: each test runs the real binary in a scratch directory and
# compares what it prints and writes. Source it at the top of a tNNNN-*.sh script, call
# test_expect_success for each case and test_done at the end.
#
#   test_expect_success 'what it shows' '
#       run "$WAVTAP" -s0 out &&
#       test_status 255 &&
#       test_stderr_is "..."
#   '
#
# A test body runs in a subshell with set -e inside the scratch directory. run stores the
# command's standard output in ./stdout, its standard error in ./stderr and its exit status
# in $status.

set -u
: "${WAVTAP:?WAVTAP must name the wavtap binary (ctest sets it)}"
WAVTAP_SOURCE_DIR=${WAVTAP_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
SCRATCH=$(mktemp -d "${TMPDIR:-/tmp}/wavtap-test.XXXXXX")
trap 'test_cleanup' EXIT
cd "$SCRATCH"

tests_passed=0
tests_failed=0
cleanup_commands=()

# Runs a command (also at the end of the script) to undo what a test started.
at_exit() { cleanup_commands+=("$1"); }

test_cleanup() {
    local c
    for c in "${cleanup_commands[@]+"${cleanup_commands[@]}"}"; do eval "$c" >/dev/null 2>&1 || :; done
    cd / && rm -rf "$SCRATCH"
}

test_expect_success() {
    local description=$1 body=$2 rc
    rm -rf "$SCRATCH/case" && mkdir "$SCRATCH/case"
    (cd "$SCRATCH/case" || exit 1; set -e; eval "$body") >"$SCRATCH/log" 2>&1
    rc=$?
    if [ $rc -eq 0 ]; then
        tests_passed=$((tests_passed + 1))
        echo "ok - $description"
    else
        tests_failed=$((tests_failed + 1))
        echo "not ok - $description"
        sed 's/^/#   /' "$SCRATCH/log"
    fi
}

test_done() {
    echo "$tests_passed passed, $tests_failed failed"
    [ "$tests_failed" -eq 0 ]
    exit $?
}

# Runs a command, keeping its outputs in ./stdout and ./stderr and its status in $status.
run() {
    set +e
    "$@" >stdout 2>stderr </dev/null
    status=$?
    set -e
}

fail() { echo "FAIL: $*" >&2; return 1; }

# wait_job PID SECONDS: waits at most SECONDS for the background job PID to end and sets
# $status to its exit status. A job still running then is killed, and the wait fails.
wait_job() {
    local _
    for _ in $(seq $(($2 * 10))); do
        kill -0 "$1" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$1" 2>/dev/null; then
        kill -9 "$1" 2>/dev/null
        wait "$1" 2>/dev/null
        fail "process $1 still ran after $2 s"
        return 1
    fi
    status=0
    wait "$1" || status=$?
}

test_status() {
    [ "$status" -eq "$1" ] || fail "exit status $status, expected $1; stderr: $(cat stderr)"
}

# Compares a file with the expected bytes given as a printf format (no arguments).
test_file_is() {
    local file=$1 expected=$2
    printf "$expected" >expected.tmp
    cmp -s expected.tmp "$file" || {
        echo "--- expected $file"; cat -A expected.tmp; echo "--- actual"; cat -A "$file"
        fail "$file differs"
    }
}
test_stdout_is() { test_file_is stdout "$1"; }
test_stderr_is() { test_file_is stderr "$1"; }

# Size of a file in bytes.
file_size() { stat -c %s "$1"; }

# Little-endian unsigned 32-bit value at a byte offset of a file.
u32_at() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '; }
# Little-endian unsigned 16-bit value at a byte offset of a file.
u16_at() { od -An -tu2 -j "$2" -N2 "$1" | tr -d ' '; }
