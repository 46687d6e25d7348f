#!/bin/bash
# A private PipeWire sound server for the benchmark: its own session bus, pipewire and
# wireplumber, the graph forced to one rate, a null sink fed with the counter signal, and an ALSA
# configuration whose "default" PCM records that sink's monitor through PipeWire's ALSA plugin.
# Nothing touches the machine's own sound setup: everything lives in a fresh temporary directory.
#
# Debian 12's pipewire-alsa package conflicts with pulseaudio, so it is not installed: its PCM
# plugin is extracted from the package into a directory of our own (pipewire_plugin) and loaded
# from there by the private ALSA configuration.
#
# Sourced (". bench/pipewire.sh"), it defines:
#
#   pipewire_plugin DIR
#       Makes sure DIR holds libasound_module_pcm_pipewire.so (apt-get download + dpkg-deb -x)
#       and sets WAVTAP_PIPEWIRE_PLUGIN to its path.
#   pipewire_start [rate]      default 44100
#       Starts the bus, pipewire and wireplumber, forces the graph rate, makes the null sink
#       wavtap_sink (2 channels) and waits (bounded) until it exists. Exports ALSA_CONFIG_PATH,
#       XDG_RUNTIME_DIR, PIPEWIRE_RUNTIME_DIR, DBUS_SESSION_BUS_ADDRESS, WAVTAP_PIPEWIRE_DIR
#       and WAVTAP_PIPEWIRE_PCM (wavtap_pipewire, which ALSA's "default" also names).
#   pipewire_feed [first_frame]
#       Plays the counter signal into the sink in the background, and waits until it plays.
#       WAVTAP_FEED_LATENCY_MSEC (default 200) is the feeder's own buffering.
#   pipewire_feed_stop
#   pipewire_stop
#       Stops the feeder, wireplumber, pipewire and the bus by their process ids and removes
#       the directory.
#
# WAVTAP_PIPEWIRE_TIMEOUT (seconds, default 10) bounds every wait. Logs are in
# $WAVTAP_PIPEWIRE_DIR/*.log.

WAVTAP_BENCH_DIR_OF_PIPEWIRE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# pulse_end_process: the sound-server fixture's way of ending a process by its id.
# shellcheck source=tests/soundserver/pulse.sh
. "$WAVTAP_BENCH_DIR_OF_PIPEWIRE/../tests/soundserver/pulse.sh"

pipewire_fail() {
    echo "pipewire.sh: $*" >&2
    return 1
}

# Waits until the command given succeeds, failing after the timeout.
pipewire_wait_for() {
    local what=$1 deadline=$((SECONDS + ${WAVTAP_PIPEWIRE_TIMEOUT:-10}))
    shift
    until "$@" >/dev/null 2>&1; do
        [ $SECONDS -lt "$deadline" ] ||
            pipewire_fail "$what did not happen within ${WAVTAP_PIPEWIRE_TIMEOUT:-10} s" ||
            return 1
        sleep 0.1
    done
}

# Prints the path of the PCM plugin extracted under DIR, nothing when there is none.
pipewire_find_plugin() {
    find "$1/root" -name libasound_module_pcm_pipewire.so 2>/dev/null | head -n 1
}

pipewire_plugin() {
    local dir=$1 deb
    if [ -z "$(pipewire_find_plugin "$dir")" ]; then
        mkdir -p "$dir" || return 1
        rm -rf "$dir"/pipewire-alsa_*.deb "$dir/root"
        # apt-get downloads into the current directory; with empty package lists it needs an
        # update first. As root into a directory _apt may not write, it warns, harmlessly.
        (cd "$dir" && apt-get download pipewire-alsa >"$dir/download.log" 2>&1) ||
            { apt-get update -qq >>"$dir/download.log" 2>&1 &&
                (cd "$dir" && apt-get download pipewire-alsa >>"$dir/download.log" 2>&1); } ||
            pipewire_fail "apt-get download pipewire-alsa failed: $(tail -n 3 "$dir/download.log")" ||
            return 1
        deb=$(find "$dir" -maxdepth 1 -name 'pipewire-alsa_*.deb' | head -n 1)
        dpkg-deb -x "$deb" "$dir/root" || return 1
        [ -n "$(pipewire_find_plugin "$dir")" ] || pipewire_fail "no PCM plugin in $deb" || return 1
    fi
    WAVTAP_PIPEWIRE_PLUGIN=$(pipewire_find_plugin "$dir")
}

pipewire_start() {
    local rate=${1:-44100} dir
    [ -z "${WAVTAP_PIPEWIRE_DIR:-}" ] || pipewire_fail "a server is already running here" ||
        return 1
    [ -n "${WAVTAP_PIPEWIRE_PLUGIN:-}" ] || pipewire_fail "call pipewire_plugin first" || return 1
    dir=$(mktemp -d /tmp/wavtap-pw.XXXXXX) || return 1
    mkdir -m 700 "$dir/runtime" "$dir/home" "$dir/config" "$dir/state"
    export WAVTAP_PIPEWIRE_DIR=$dir
    export XDG_RUNTIME_DIR=$dir/runtime PIPEWIRE_RUNTIME_DIR=$dir/runtime
    export DBUS_SESSION_BUS_ADDRESS=unix:path=$dir/bus
    export WAVTAP_PIPEWIRE_PCM=wavtap_pipewire

    cat >"$dir/asound.conf" <<EOF
</usr/share/alsa/alsa.conf>
@hooks.1 { func load files [ "$dir/asound-pcm.conf" ] errors false }
EOF
    cat >"$dir/asound-pcm.conf" <<EOF
pcm_type.pipewire { lib "$WAVTAP_PIPEWIRE_PLUGIN" }
pcm.wavtap_pipewire {
    type pipewire
    playback_node "-1"
    capture_node "wavtap_sink"
    hint { show on description "wavtap bench server (PipeWire null sink monitor)" }
}
pcm.!default wavtap_pipewire
EOF
    export ALSA_CONFIG_PATH=$dir/asound.conf

    # The servers run with a home, configuration and state of their own.
    local env=(HOME="$dir/home" XDG_CONFIG_HOME="$dir/config" XDG_STATE_HOME="$dir/state")
    env "${env[@]}" dbus-daemon --session --fork --address="$DBUS_SESSION_BUS_ADDRESS" \
        --print-pid=3 3>"$dir/dbus.pid" </dev/null >/dev/null 2>"$dir/dbus.log" ||
        pipewire_fail "dbus-daemon did not start: $(cat "$dir/dbus.log")" || return 1
    (
        env "${env[@]}" pipewire </dev/null >"$dir/pipewire.log" 2>&1 &
        echo $! >"$dir/pipewire.pid"
    )
    pipewire_wait_for "pipewire answering" pw-cli info 0 || {
        pipewire_stop
        return 1
    }
    (
        env "${env[@]}" wireplumber </dev/null >"$dir/wireplumber.log" 2>&1 &
        echo $! >"$dir/wireplumber.pid"
    )
    pipewire_wait_for "wireplumber's settings" pw-metadata -n settings 0 || {
        pipewire_stop
        return 1
    }
    pw-metadata -n settings 0 clock.force-rate "$rate" >/dev/null
    pw-cli create-node adapter "{ factory.name=support.null-audio-sink node.name=wavtap_sink \
        node.description=wavtap_sink media.class=Audio/Sink object.linger=true \
        audio.rate=$rate audio.channels=2 audio.position=[FL FR] }" >/dev/null
    pipewire_wait_for "the null sink" pipewire_has_node wavtap_sink || {
        pipewire_stop
        return 1
    }
}

# Succeeds when a node of that name exists.
pipewire_has_node() {
    pw-cli ls Node 2>/dev/null | grep -q "node.name = \"$1\""
}

pipewire_feed() {
    local first=${1:-1} dir=${WAVTAP_PIPEWIRE_DIR:-}
    [ -n "$dir" ] || pipewire_fail "no server; call pipewire_start first" || return 1
    rm -f "$dir/feeder.ready"
    # pw-cat plays at the rate the graph runs, so the pipe paces the generator; the
    # pipeline's $! is pw-cat, and the generator ends when pw-cat does.
    (
        python3 "$WAVTAP_SOUNDSERVER_DIR/counter_signal.py" \
            --start "$first" --ready "$dir/feeder.ready" 2>>"$dir/feeder.log" |
            pw-cat --playback --target wavtap_sink --rate 44100 --channels 2 --format s16 \
                --latency "${WAVTAP_FEED_LATENCY_MSEC:-200}ms" - >/dev/null 2>>"$dir/feeder.log" &
        echo $! >"$dir/feeder.pid"
    ) </dev/null
    pipewire_wait_for "the feeder playing" test -f "$dir/feeder.ready" || {
        pipewire_feed_stop
        return 1
    }
    pipewire_wait_for "the feeder's stream" pipewire_has_node pw-cat || {
        pipewire_feed_stop
        return 1
    }
}

pipewire_feed_stop() {
    local file=${WAVTAP_PIPEWIRE_DIR:-/nonexistent}/feeder.pid
    [ -f "$file" ] || return 0
    pulse_end_process "$(cat "$file")"
    rm -f "$file"
}

pipewire_stop() {
    local dir=${WAVTAP_PIPEWIRE_DIR:-} name
    [ -n "$dir" ] || return 0
    pipewire_feed_stop
    for name in wireplumber pipewire dbus; do
        [ ! -f "$dir/$name.pid" ] || pulse_end_process "$(cat "$dir/$name.pid")"
    done
    rm -rf "$dir"
    unset WAVTAP_PIPEWIRE_DIR WAVTAP_PIPEWIRE_PCM ALSA_CONFIG_PATH XDG_RUNTIME_DIR \
        PIPEWIRE_RUNTIME_DIR DBUS_SESSION_BUS_ADDRESS
}
