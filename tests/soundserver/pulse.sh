#!/bin/bash
# A private PulseAudio sound server for the recording tests and benchmarks: a null sink whose
# monitor is the default source, an ALSA configuration that reaches it, a counter-signal feeder
# and suspend/resume of the sink. Nothing touches the user's own sound setup: the daemon, its
# socket, cookie and configuration live in a fresh temporary directory.
#
# Sourced (". tests/soundserver/pulse.sh"), it defines these functions:
#
#   pulse_start [rate [channels [format]]]   default 44100 2 s16le
#       Starts the daemon and waits (bounded) until it answers. Exports PULSE_SERVER,
#       PULSE_CLIENTCONFIG, PULSE_COOKIE, ALSA_CONFIG_PATH and WAVTAP_PULSE_DIR,
#       WAVTAP_PULSE_PID, WAVTAP_PULSE_SINK (wavtap_sink), WAVTAP_PULSE_SOURCE (its monitor),
#       WAVTAP_PULSE_PCM (wavtap_pulse: the ALSA pcm that records the monitor; ALSA's "default"
#       goes there too). A watchdog stops the daemon when the calling shell ($$, or
#       $WAVTAP_PULSE_OWNER) ends, should pulse_stop never run.
#   pulse_stop
#       Stops the feeder and the daemon by their process ids and removes the directory.
#   pulse_kill_server
#       Kills the daemon (SIGKILL, as a crash would) and the feeder; the directory stays.
#   pulse_restart_server
#       After pulse_kill_server: starts the daemon again on the same socket and configuration,
#       waits until it answers and starts the feeder again (from frame 1).
#   pulse_feed [first_frame]
#       Plays the counter signal (counter_signal.py; default first frame 1) into the sink in
#       the background and waits until the sink plays it. Needs a 2-channel s16le sink.
#       WAVTAP_FEED_LATENCY_MSEC (default 250) is the audio the player keeps queued at the
#       server: with much less, a busy machine makes it underrun now and then, and the sink then
#       plays silence and skips frames, in every recording of it alike.
#       $WAVTAP_PULSE_DIR/feeder.clock says when the feeder's first frame was played on the
#       system clock (t0_ns; see feeder_clock.py): counter value v was played at
#       t0 + (v - first_frame) / rate, as long as the feeder has not underrun. pulse_feed_t0
#       waits (bounded) until it is there and prints t0_ns.
#   pulse_feed_stop
#   pulse_pin_latency [msec]   default 10
#       The sink takes frames from the feeder ahead of playing them, by up to the smallest
#       latency that its clients ask for, and hands each to its monitor as it takes it: a
#       recording of the monitor gets a frame that long before the sink plays it (55 ms
#       measured with a recorder of 100 ms periods, the sink configured for 100 ms). This
#       holds that lead at about msec ms (10 ms measured for 10), with a client that records
#       the monitor at that latency and discards what it gets, until pulse_pin_stop or
#       pulse_stop.
#   pulse_pin_stop
#   pulse_feed_underruns
#       Prints how often the feeder has underrun so far (0 when it kept up): a recording that
#       shows a gap while this grew says more about the machine than about the recorder.
#   pulse_suspend, pulse_resume
#       Suspends or resumes the sink (and with it its monitor). While suspended, a client
#       recording the monitor gets no data at all (not silence), and the feeder is held back;
#       after the resume the counter goes on where it stopped. At the suspend itself the server
#       drops what the monitor still held for its clients: every recording of it shows one gap
#       there, about as long as the client's latency, without any error.
#   check_counter FILE [options]     runs check_counter.py
#
# Run as a command:
#   pulse.sh start [rate [channels [format]]]   prints "export ..." lines to eval; the daemon
#                                               ends with the calling process
#   pulse.sh stop DIR
#   pulse.sh feed|suspend|resume                (with the exported variables set)
#   pulse.sh run [--feed] [--rate R] COMMAND... runs COMMAND with its own server (and feeder)
#                                               and stops everything afterwards
#
# WAVTAP_PULSE_TIMEOUT (seconds, default 10) bounds every wait and every pactl call. The
# daemon, the feeder and the watchdog run detached (not children of the caller) with their
# standard streams on /dev/null or files in the directory, so nothing they hold open keeps a
# caller such as ctest waiting for output; the watchdog cleans up after a caller that was
# killed. The daemon's log is $WAVTAP_PULSE_DIR/daemon.log, the feeder's
# $WAVTAP_PULSE_DIR/feeder.log.

WAVTAP_SOUNDSERVER_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# Prints a message on standard error and fails.
pulse_fail() {
    echo "pulse.sh: $*" >&2
    return 1
}

# Succeeds while process pid runs. A process that has ended but is not reaped yet (ours are
# orphans, left to an init that may take its time) counts as gone.
pulse_alive() {
    local stat
    [ -n "$1" ] && kill -0 "$1" 2>/dev/null || return 1
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 0
    stat=${stat##*) }
    [ "${stat%% *}" != Z ]
}

# Ends process pid: TERM, then KILL when it has not gone within about 3 s.
pulse_end_process() {
    local pid=$1 i
    [ -n "$pid" ] || return 0
    kill "$pid" 2>/dev/null || return 0
    for i in $(seq 30); do
        pulse_alive "$pid" || return 0
        sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null || :
}

# pactl, given at most the timeout: a daemon that hangs must not hang the caller.
pulse_ctl() { timeout "${WAVTAP_PULSE_TIMEOUT:-10}" pactl "$@"; }

# Fails unless the daemon answers within the timeout.
pulse_wait_ready() {
    local deadline=$((SECONDS + ${WAVTAP_PULSE_TIMEOUT:-10}))
    while ! timeout 2 pactl info >/dev/null 2>&1; do
        pulse_alive "$WAVTAP_PULSE_PID" ||
            pulse_fail "the daemon ended: $(tail -n 5 "$WAVTAP_PULSE_DIR/daemon.log" 2>/dev/null)" ||
            return 1
        [ $SECONDS -lt "$deadline" ] ||
            pulse_fail "the daemon did not answer within ${WAVTAP_PULSE_TIMEOUT:-10} s" || return 1
        sleep 0.05
    done
}

pulse_start() {
    local rate=${1:-44100} channels=${2:-2} format=${3:-s16le} dir
    [ -z "${WAVTAP_PULSE_PID:-}" ] || pulse_fail "a server is already running here" || return 1
    command -v pulseaudio >/dev/null || pulse_fail "pulseaudio is not installed" || return 1
    dir=$(mktemp -d "${TMPDIR:-/tmp}/wavtap-pulse.XXXXXX") || return 1
    # A unix socket path holds at most 107 bytes.
    if [ ${#dir} -gt 90 ]; then
        rm -rf "$dir"
        dir=$(mktemp -d /tmp/wavtap-pulse.XXXXXX) || return 1
    fi
    mkdir -m 700 "$dir/home" "$dir/runtime"

    cat >"$dir/server.pa" <<EOF
load-module module-native-protocol-unix socket=$dir/socket auth-anonymous=1
load-module module-null-sink sink_name=wavtap_sink rate=$rate channels=$channels format=$format sink_properties=device.description=wavtap_sink
set-default-sink wavtap_sink
set-default-source wavtap_sink.monitor
EOF
    printf 'autospawn = no\n' >"$dir/client.conf"

    # ALSA reads the hook-loaded files after the top-level one, and the system's PulseAudio
    # hook redefines "default" there; a second hook entry of ours is read after it.
    cat >"$dir/asound.conf" <<EOF
</usr/share/alsa/alsa.conf>
@hooks.1 { func load files [ "$dir/asound-pcm.conf" ] errors false }
EOF
    cat >"$dir/asound-pcm.conf" <<EOF
pcm.wavtap_pulse {
    type pulse
    server "unix:$dir/socket"
    hint { show on description "wavtap test server (null sink monitor)" }
}
ctl.wavtap_pulse {
    type pulse
    server "unix:$dir/socket"
}
pcm.!default wavtap_pulse
ctl.!default wavtap_pulse
EOF

    export WAVTAP_PULSE_DIR=$dir
    export PULSE_SERVER=unix:$dir/socket
    export PULSE_CLIENTCONFIG=$dir/client.conf
    export PULSE_COOKIE=$dir/home/cookie
    export ALSA_CONFIG_PATH=$dir/asound.conf
    export WAVTAP_PULSE_SINK=wavtap_sink
    export WAVTAP_PULSE_SOURCE=wavtap_sink.monitor
    export WAVTAP_PULSE_PCM=wavtap_pulse

    pulse_launch_daemon
    if ! pulse_wait_ready; then
        pulse_stop
        return 1
    fi
}

# Starts the daemon in $WAVTAP_PULSE_DIR (exporting WAVTAP_PULSE_PID) and its watchdog.
pulse_launch_daemon() {
    local dir=$WAVTAP_PULSE_DIR
    # The daemon, the watchdog and the feeder are started from a subshell that ends at once,
    # so they are not children of the caller (a bare "wait" there does not wait for them).
    # As root the daemon warns but runs; -n skips the system's default.pa.
    (
        HOME=$dir/home XDG_RUNTIME_DIR=$dir/runtime XDG_CONFIG_HOME=$dir/home \
            DBUS_SESSION_BUS_ADDRESS=disabled: \
            pulseaudio -n -F "$dir/server.pa" --daemonize=no --system=false --exit-idle-time=-1 \
            --use-pid-file=no --disable-shm=yes --log-target="file:$dir/daemon.log" \
            ${WAVTAP_PULSE_DAEMON_OPTIONS:-} </dev/null >"$dir/daemon.out" 2>&1 &
        echo $! >"$dir/daemon.pid"
    )
    export WAVTAP_PULSE_PID
    WAVTAP_PULSE_PID=$(cat "$dir/daemon.pid")

    # The watchdog: stops the feeder and the daemon and removes the directory once the owner
    # has gone without calling pulse_stop.
    local owner=${WAVTAP_PULSE_OWNER:-$$}
    (
        (
            trap '' INT
            while pulse_alive "$owner" && pulse_alive "$WAVTAP_PULSE_PID"; do
                sleep 0.5
            done
            if [ -d "$dir" ]; then
                [ ! -f "$dir/feeder.pid" ] || kill "$(cat "$dir/feeder.pid")" 2>/dev/null
                pulse_end_process "$WAVTAP_PULSE_PID"
                rm -rf "$dir"
            fi
        ) </dev/null >/dev/null 2>&1 &
        echo $! >"$dir/watchdog.pid"
    )
}

pulse_kill_server() {
    [ -n "${WAVTAP_PULSE_DIR:-}" ] || pulse_fail "no server; call pulse_start first" || return 1
    # The watchdog would take the daemon's end for the owner's and remove the directory. The
    # feeder goes after the daemon: before it, the sink would play silence.
    pulse_end_process "$(cat "$WAVTAP_PULSE_DIR/watchdog.pid")"
    kill -9 "$WAVTAP_PULSE_PID" 2>/dev/null || :
    while pulse_alive "$WAVTAP_PULSE_PID"; do sleep 0.05; done
    pulse_feed_stop
    rm -f "$WAVTAP_PULSE_DIR/socket"
}

pulse_restart_server() {
    [ -n "${WAVTAP_PULSE_DIR:-}" ] || pulse_fail "no server; call pulse_start first" || return 1
    ! pulse_alive "$WAVTAP_PULSE_PID" || pulse_fail "the server still runs" || return 1
    pulse_launch_daemon
    pulse_wait_ready && pulse_feed
}

pulse_stop() {
    local dir=${WAVTAP_PULSE_DIR:-}
    [ -n "$dir" ] || return 0
    pulse_feed_stop
    pulse_pin_stop
    [ ! -f "$dir/watchdog.pid" ] || pulse_end_process "$(cat "$dir/watchdog.pid")"
    pulse_end_process "${WAVTAP_PULSE_PID:-$(cat "$dir/daemon.pid" 2>/dev/null)}"
    rm -rf "$dir"
    unset WAVTAP_PULSE_DIR WAVTAP_PULSE_PID PULSE_SERVER PULSE_CLIENTCONFIG PULSE_COOKIE \
        ALSA_CONFIG_PATH WAVTAP_PULSE_SINK WAVTAP_PULSE_SOURCE WAVTAP_PULSE_PCM
}

# Prints the sink's sample format, e.g. "s16le 2ch 44100Hz".
pulse_sink_format() {
    pulse_ctl list sinks short | awk -v s="$WAVTAP_PULSE_SINK" '$2 == s { print $4, $5, $6 }'
}

pulse_feed() {
    local first=${1:-1} format rate deadline
    [ -n "${WAVTAP_PULSE_DIR:-}" ] || pulse_fail "no server; call pulse_start first" || return 1
    [ ! -f "$WAVTAP_PULSE_DIR/feeder.pid" ] || pulse_fail "a feeder is already running" || return 1
    format=$(pulse_sink_format)
    case $format in
    "s16le 2ch "*Hz) rate=${format##* } rate=${rate%Hz} ;;
    *) pulse_fail "the counter needs a s16le 2-channel sink, not '$format'" || return 1 ;;
    esac
    # pacat plays at the rate the sink consumes, so the pipe paces the generator. The pipeline's
    # $! is pacat; the generator ends when pacat does, and so does feeder_clock.py, which reads
    # pacat's messages (a line each in the log) and keeps the feeder's clock file.
    rm -f "$WAVTAP_PULSE_DIR/feeder.ready" "$WAVTAP_PULSE_DIR/feeder.clock"
    (
        python3 "$WAVTAP_SOUNDSERVER_DIR/counter_signal.py" --start "$first" \
            --ready "$WAVTAP_PULSE_DIR/feeder.ready" 2>>"$WAVTAP_PULSE_DIR/feeder.log" |
            pacat --playback --verbose --latency-msec="${WAVTAP_FEED_LATENCY_MSEC:-250}" \
                --rate="$rate" --channels=2 --format=s16le -d "$WAVTAP_PULSE_SINK" \
                --client-name=wavtap-feeder --stream-name=counter >/dev/null \
                2> >(python3 "$WAVTAP_SOUNDSERVER_DIR/feeder_clock.py" \
                    "$WAVTAP_PULSE_DIR/feeder.clock" >>"$WAVTAP_PULSE_DIR/feeder.log" 2>&1) &
        echo $! >"$WAVTAP_PULSE_DIR/feeder.pid"
    ) </dev/null
    # Ready once the generator has written and the stream exists on the sink.
    deadline=$((SECONDS + ${WAVTAP_PULSE_TIMEOUT:-10}))
    until [ -f "$WAVTAP_PULSE_DIR/feeder.ready" ] &&
        pulse_ctl list sink-inputs short 2>/dev/null | grep -q .; do
        if ! pulse_alive "$(cat "$WAVTAP_PULSE_DIR/feeder.pid")" ||
            [ $SECONDS -ge "$deadline" ]; then
            pulse_feed_stop
            pulse_fail "the feeder did not start: $(cat "$WAVTAP_PULSE_DIR/feeder.log")"
            return 1
        fi
        sleep 0.05
    done
}

pulse_feed_stop() {
    local file=${WAVTAP_PULSE_DIR:-/nonexistent}/feeder.pid
    [ -f "$file" ] || return 0
    pulse_end_process "$(cat "$file")"
    rm -f "$file"
}

pulse_feed_t0() {
    local clock=${WAVTAP_PULSE_DIR:-/nonexistent}/feeder.clock
    local deadline=$((SECONDS + ${WAVTAP_PULSE_TIMEOUT:-10}))
    until [ -f "$clock" ]; do
        [ $SECONDS -lt "$deadline" ] || pulse_fail "the feeder has not told when it started" ||
            return 1
        sleep 0.05
    done
    sed -n 's/^t0_ns=//p' "$clock"
}

pulse_pin_latency() {
    local msec=${1:-10} deadline
    [ -n "${WAVTAP_PULSE_DIR:-}" ] || pulse_fail "no server; call pulse_start first" || return 1
    [ ! -f "$WAVTAP_PULSE_DIR/pin.pid" ] || pulse_fail "the latency is pinned already" || return 1
    (
        parec --latency-msec="$msec" -d "$WAVTAP_PULSE_SOURCE" --client-name=wavtap-pin \
            --stream-name=pin >/dev/null 2>>"$WAVTAP_PULSE_DIR/pin.log" &
        echo $! >"$WAVTAP_PULSE_DIR/pin.pid"
    ) </dev/null
    # Pinned once the sink is configured for it.
    deadline=$((SECONDS + ${WAVTAP_PULSE_TIMEOUT:-10}))
    until pulse_ctl list sinks 2>/dev/null | grep -q "configured $((msec * 1000)) usec"; do
        if ! pulse_alive "$(cat "$WAVTAP_PULSE_DIR/pin.pid")" || [ $SECONDS -ge "$deadline" ]; then
            pulse_pin_stop
            pulse_fail "the sink's latency was not pinned: $(cat "$WAVTAP_PULSE_DIR/pin.log")"
            return 1
        fi
        sleep 0.05
    done
}

pulse_pin_stop() {
    local file=${WAVTAP_PULSE_DIR:-/nonexistent}/pin.pid
    [ -f "$file" ] || return 0
    pulse_end_process "$(cat "$file")"
    rm -f "$file"
}

pulse_suspend() { pulse_ctl suspend-sink "$WAVTAP_PULSE_SINK" 1; }
pulse_resume() { pulse_ctl suspend-sink "$WAVTAP_PULSE_SINK" 0; }

pulse_feed_underruns() {
    grep -c "^Stream underrun" "${WAVTAP_PULSE_DIR:-/nonexistent}/feeder.log" 2>/dev/null || :
}

check_counter() { python3 "$WAVTAP_SOUNDSERVER_DIR/check_counter.py" "$@"; }

# Command use.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -u
    case "${1:-}" in
    start)
        shift
        WAVTAP_PULSE_OWNER=${WAVTAP_PULSE_OWNER:-$PPID}
        pulse_start "$@" || exit 1
        for v in WAVTAP_PULSE_DIR WAVTAP_PULSE_PID PULSE_SERVER PULSE_CLIENTCONFIG PULSE_COOKIE \
            ALSA_CONFIG_PATH WAVTAP_PULSE_SINK WAVTAP_PULSE_SOURCE WAVTAP_PULSE_PCM; do
            printf 'export %s=%q\n' "$v" "${!v}"
        done
        ;;
    stop)
        WAVTAP_PULSE_DIR=${2:-${WAVTAP_PULSE_DIR:-}}
        [ -d "${WAVTAP_PULSE_DIR:-}" ] || pulse_fail "usage: pulse.sh stop DIR" || exit 2
        WAVTAP_PULSE_PID=$(cat "$WAVTAP_PULSE_DIR/daemon.pid")
        pulse_stop
        ;;
    feed)
        # In the foreground until the feeder ends or this command is stopped.
        shift
        pulse_feed "$@" || exit 1
        trap 'pulse_feed_stop; exit 0' INT TERM
        while pulse_alive "$(cat "$WAVTAP_PULSE_DIR/feeder.pid")"; do sleep 0.5; done
        ;;
    suspend) pulse_suspend ;;
    resume) pulse_resume ;;
    run)
        shift
        feed=0 rate=44100
        while [ $# -gt 0 ]; do
            case $1 in
            --feed) feed=1 ;;
            --rate) rate=$2 && shift ;;
            *) break ;;
            esac
            shift
        done
        [ $# -gt 0 ] || pulse_fail "usage: pulse.sh run [--feed] [--rate R] COMMAND..." || exit 2
        trap 'pulse_stop' EXIT
        pulse_start "$rate" || exit 1
        [ $feed -eq 0 ] || pulse_feed || exit 1
        "$@"
        ;;
    *)
        sed -n '2,/^$/s/^# \{0,1\}//p' "$0" >&2
        exit 2
        ;;
    esac
fi
