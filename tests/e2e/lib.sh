# shellcheck shell=bash
# Harness for the end-to-end scripts: each test runs the real binary in a scratch directory and
# compares what it prints and writes. Source it at the top of a tNNNN-*.sh script, call
# test_expect_success for each case and test_done at the end.
#
#   test_expect_success 'what it shows' '
#       run "$WAVTAP" -s0 out &&
#       test_status 255 &&
#       test_stderr_is "Illegal switch ..."
#   '
#   test_expect_success PULSE 'needs the sound server' '...'
#
# A test body runs in a subshell with set -e inside its own empty directory, and is one
# unbroken && chain: before it runs, the body is checked with every link of the chain skipped,
# and a body that drops a link fails the run (a broken chain lets a failing check pass
# unseen). Helpers called from a body must fail on their first failing check: chain their
# checks with && (or end each with || return 1).
#
# run stores the command's standard output in ./stdout, its standard error in ./stderr and its
# exit status in $status; it gives up on the command after $RUN_LIMIT seconds (default 60).
#
# A sanitizer's report fails the case whatever status it expected: in a sanitizer build the
# sanitizers stop the program with status $SANITIZER_STATUS, which run, wait_job and
# test_must_fail refuse, and a report found in ./stderr, in must-fail.out or in the case's own
# output fails the case when it ends.

set -u
: "${WAVTAP:?WAVTAP must name the wavtap binary (ctest sets it)}"
WAVTAP_SOURCE_DIR=${WAVTAP_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
SCRATCH=$(mktemp -d "${TMPDIR:-/tmp}/wavtap-test.XXXXXX")
trap 'test_cleanup' EXIT
cd "$SCRATCH" || exit 1

RUN_LIMIT=${RUN_LIMIT:-60}
tests_passed=0
tests_failed=0
tests_skipped=0
skipped_cases=()
cleanup_commands=()
prereqs=" "
prereq_reasons=()

# The status a sanitizer ends the program with: none of wavtap's own (0, 1, 255), nor the
# shell's (126, 127, signals), nor timeout's (124).
SANITIZER_STATUS=86
# The first line of a sanitizer's report (ASan, LSan, TSan, UBSan), and its summary line.
SANITIZER_REPORT='^(==[0-9]+==ERROR: [A-Za-z]+Sanitizer|WARNING: ThreadSanitizer:|SUMMARY: [A-Za-z]+Sanitizer:|[^ #].*:[0-9]+:[0-9]+: runtime error: )'
if [ -n "${WAVTAP_SANITIZE:-}" ]; then
    # Options that scripts and programs set before stay; these come last and so count.
    export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}halt_on_error=1:exitcode=$SANITIZER_STATUS"
    export UBSAN_OPTIONS="${UBSAN_OPTIONS:+$UBSAN_OPTIONS:}halt_on_error=1:print_stacktrace=1:exitcode=$SANITIZER_STATUS"
    export TSAN_OPTIONS="${TSAN_OPTIONS:+$TSAN_OPTIONS:}halt_on_error=1:exitcode=$SANITIZER_STATUS"
fi

# at_exit COMMAND: runs COMMAND at the end of the script, to undo what the script started.
at_exit() { cleanup_commands+=("$1"); }

test_cleanup() {
    local c
    for c in "${cleanup_commands[@]+"${cleanup_commands[@]}"}"; do eval "$c" >/dev/null 2>&1 || :; done
    cd / && rm -rf "$SCRATCH"
}

# test_set_prereq NAME: cases that name NAME run from now on; test_have_prereq NAME tells.
test_set_prereq() { prereqs="$prereqs$1 "; }
test_have_prereq() { case $prereqs in *" $1 "*) return 0 ;; esac; return 1; }
# test_lacks_prereq NAME REASON: NAME is not set, and REASON says why; the skipped cases show it.
test_lacks_prereq() { prereq_reasons+=("$1: $2"); }

# The reason given for a missing prerequisite NAME, or "missing NAME".
skip_reason() {
    local r
    for r in "${prereq_reasons[@]+"${prereq_reasons[@]}"}"; do
        [ "${r%%: *}" != "$1" ] || { echo "missing $1: ${r#*: }"; return 0; }
    done
    echo "missing $1"
}

# test_when_finished COMMAND: inside a test body, runs COMMAND when the case ends, whether it
# passed or failed (last registered runs first). A COMMAND that fails fails the case.
test_when_finished() { case_cleanups=("$1" "${case_cleanups[@]+"${case_cleanups[@]}"}"); }

# Runs in the case's subshell as it exits: runs the clean-up commands, and exits with the
# body's status, or 1 when the body passed but a clean-up command failed.
finish_case() {
    local rc=$? c
    set +e
    for c in "${case_cleanups[@]+"${case_cleanups[@]}"}"; do
        eval "$c" || {
            echo "FAIL: clean-up failed: $c" >&2
            [ $rc -ne 0 ] || rc=1
        }
    done
    exit $rc
}

# found_sanitizer_report FILE...: prints the sanitizer report lines in the FILEs that exist,
# and succeeds when there is one.
found_sanitizer_report() {
    local f found=1
    for f in "$@"; do
        [ -f "$f" ] && grep -aE "$SANITIZER_REPORT" "$f" && found=0
    done
    return $found
}

# The case's own output and every stderr it kept: a sanitizer report there fails the case.
case_sanitizer_report() {
    local files
    mapfile -t files < <(find "$SCRATCH/case" \( -name '*stderr' -o -name must-fail.out \) -type f 2>/dev/null)
    found_sanitizer_report "$SCRATCH/log" "${files[@]+"${files[@]}"}"
}

# The chain check: with "(exit 117) &&" in front, an intact chain runs none of the body and
# ends with status 117. A dropped link lets the rest run and end otherwise.
chain_is_broken() {
    local rc
    mkdir "$SCRATCH/lint" &&
        (cd "$SCRATCH/lint" && eval "(exit 117) && $1") >/dev/null 2>&1 </dev/null
    rc=$?
    rm -rf "$SCRATCH/lint"
    [ $rc -ne 117 ]
}

# test_expect_success [PREREQ] DESCRIPTION BODY
test_expect_success() {
    local prereq="" description body rc
    [ $# -eq 3 ] && { prereq=$1; shift; }
    description=$1 body=$2
    if [ -n "$prereq" ] && ! test_have_prereq "$prereq"; then
        tests_skipped=$((tests_skipped + 1))
        skipped_cases+=("$description ($(skip_reason "$prereq"))")
        echo "ok - # skip ${skipped_cases[-1]}"
        return 0
    fi
    if chain_is_broken "$body"; then
        tests_failed=$((tests_failed + 1))
        echo "not ok - $description"
        echo "#   broken && chain in the test body:"
        printf '%s\n' "$body" | sed 's/^/#   /'
        return 0
    fi
    rm -rf "$SCRATCH/case" && mkdir "$SCRATCH/case"
    (
        cd "$SCRATCH/case" || exit 1
        case_cleanups=()
        trap finish_case EXIT
        set -e
        eval "$body"
    ) >"$SCRATCH/log" 2>&1
    rc=$?
    if case_sanitizer_report >"$SCRATCH/report"; then
        { echo "FAIL: a sanitizer reported:"; cat "$SCRATCH/report"; } >>"$SCRATCH/log"
        rc=1
    fi
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
    local c
    echo "$tests_passed passed, $tests_failed failed, $tests_skipped skipped"
    for c in "${skipped_cases[@]+"${skipped_cases[@]}"}"; do echo "# skipped: $c"; done
    [ "$tests_failed" -eq 0 ]
    exit $?
}

# run [--stdout FILE] COMMAND...: runs COMMAND, keeping its outputs in ./stdout (or FILE) and
# ./stderr and its status in $status. A command still running after $RUN_LIMIT seconds is
# killed and the run fails.
run() {
    local out=stdout
    [ "$1" != --stdout ] || { out=$2; shift 2; }
    set +e
    timeout -k 5 "$RUN_LIMIT" "$@" >"$out" 2>stderr </dev/null
    status=$?
    set -e
    { [ $status -ne 124 ] && [ $status -ne 137 ] || fail "still running after $RUN_LIMIT s: $*; stderr: $(cat -A stderr)"; } &&
        no_sanitizer_report "$*"
}

# no_sanitizer_report WHAT: $status is not the sanitizers' and ./stderr holds no report.
no_sanitizer_report() {
    [ "$status" -ne "$SANITIZER_STATUS" ] || fail "status $status: a sanitizer stopped $1; stderr: $(cat stderr 2>/dev/null)" || return 1
    ! found_sanitizer_report stderr >/dev/null || fail "a sanitizer reported on $1: $(cat stderr)"
}

fail() { echo "FAIL: $*" >&2; return 1; }

# wait_until SECONDS COMMAND...: runs COMMAND every tenth of a second until it succeeds, for at
# most about SECONDS; fails when it never did. A condition with expansions to redo each time
# goes through eval: wait_until 10 eval '[ "$(file_size f)" = 44 ]'.
wait_until() {
    local limit=$1 _
    shift
    for _ in $(seq $((limit * 10))); do
        "$@" 2>/dev/null && return 0
        sleep 0.1
    done
    "$@" 2>/dev/null || fail "still not so after $limit s: $*"
}

# wait_job PID SECONDS: waits at most SECONDS for the background job PID to end and sets
# $status to its exit status. A job still running then is killed, and the wait fails; so does
# a job that a sanitizer stopped, or one whose ./stderr holds a sanitizer's report.
wait_job() {
    if ! wait_until "$2" eval "! kill -0 $1" >/dev/null 2>&1; then
        kill -9 "$1" 2>/dev/null
        wait "$1" 2>/dev/null
        fail "process $1 still ran after $2 s; stderr: $(cat -A stderr 2>/dev/null)"
        return 1
    fi
    status=0
    wait "$1" || status=$?
    no_sanitizer_report "process $1"
}

# in_background COMMAND...: runs COMMAND in the background ($pid) with SIGINT and SIGQUIT at
# their defaults, as a command started from a terminal has them (a shell without job control
# starts background commands with both ignored). The command runs in its own process group.
in_background() {
    set -m
    "$@" &
    pid=$!
    set +m
}

# stderr_has TEXT: ./stderr holds TEXT, the progress line's carriage returns read as newlines.
stderr_has() { tr '\r' '\n' <stderr | grep -qF -- "$1"; }

# wait_for_text TEXT: waits (at most 20 s) until ./stderr holds TEXT.
wait_for_text() {
    wait_until 20 stderr_has "$1" 2>/dev/null || fail "no '$1' on standard error: $(cat -A stderr)"
}

# test_must_fail COMMAND...: COMMAND fails as a program fails, with a status of its own: not
# killed by a signal (129..192), not unable to run (126, 127), not stopped by a sanitizer, and
# without a sanitizer's report in its output (kept in ./must-fail.out).
test_must_fail() {
    local rc=0
    "$@" >must-fail.out 2>&1 || rc=$?
    if [ $rc -eq 0 ]; then
        fail "succeeded, expected to fail: $*"
    elif [ $rc -gt 128 ] && [ $rc -le 192 ]; then
        fail "killed by signal $((rc - 128)), expected to fail: $*"
    elif [ $rc -eq 126 ] || [ $rc -eq 127 ]; then
        fail "could not be run (status $rc): $*; $(cat must-fail.out)"
    elif [ $rc -eq "$SANITIZER_STATUS" ] || found_sanitizer_report must-fail.out >/dev/null; then
        fail "a sanitizer stopped it (status $rc): $*; $(cat must-fail.out)"
    fi
}

# test_cmp_files EXPECTED ACTUAL: the two files are the same, or the difference is shown.
test_cmp_files() { diff -u "$1" "$2"; }

test_status() {
    [ "$status" -eq "$1" ] || fail "exit status $status, expected $1; stderr: $(cat stderr)"
}

# test_file_is FILE TEXT: FILE holds exactly TEXT, taken literally (newlines put in as they
# are). With TEXT "-" the expected text is read from standard input.
test_file_is() {
    local file=$1 expected=$2
    if [ "$expected" = - ]; then cat >expected.tmp; else printf '%s' "$expected" >expected.tmp; fi &&
        cmp -s expected.tmp "$file" || {
        echo "--- expected $file"
        cat -A expected.tmp
        echo "--- actual"
        cat -A "$file"
        fail "$file differs"
    }
}
test_stdout_is() { test_file_is stdout "$1"; }
test_stderr_is() { test_file_is stderr "$1"; }

# usage BITS CHANNELS RATE SECONDS DEVICE QUEUE BUFFERS WRITE_SIZE: the usage text with those
# values shown as the defaults.
usage() {
    local format
    format=$(cat "$WAVTAP_SOURCE_DIR/tests/e2e/usage.txt") &&
        printf "$format\n" "$@"
}

# Size of a file in bytes.
file_size() { stat -c %s "$1"; }

# Little-endian unsigned 32-bit value at a byte offset of a file.
u32_at() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '; }
# Little-endian unsigned 16-bit value at a byte offset of a file.
u16_at() { od -An -tu2 -j "$2" -N2 "$1" | tr -d ' '; }
