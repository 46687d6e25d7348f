#!/bin/bash
# The Wine prefix that the Windows tests share, so that it is made once per run:
#   wine-prefix.sh start DIR   makes the prefix in DIR unless it is there, and keeps a Wine
#                              server running for it (a new server per program costs seconds)
#   wine-prefix.sh stop DIR    stops that server
# The server also ends by itself a minute after its last program, should stop never run.
set -eu
[ $# -eq 2 ] || { echo "usage: wine-prefix.sh start|stop DIR" >&2; exit 2; }
# Wine takes only an absolute prefix path.
WINEPREFIX=$(realpath -m "$2")
export WINEPREFIX WINEDEBUG=-all DISPLAY=
case $1 in
start)
    command -v wine >/dev/null || { echo "wine-prefix.sh: wine is not installed" >&2; exit 1; }
    init=
    if [ ! -f "$WINEPREFIX/.wavtap-made" ]; then
        rm -rf "$WINEPREFIX"
        mkdir -p "$WINEPREFIX"
        init=--init
    fi
    # The server and the system's processes that wineboot starts live on after this script:
    # none of them may hold its output open, or whoever reads it (ctest) waits for them. A
    # server still running from an earlier run makes the new one give up, and is used instead.
    # Every event the program sets goes through the server: it runs at Wine's priority (see
    # wine-wavtap).
    priority=
    [ "$(id -u)" -ne 0 ] || priority="nice -n -10"
    $priority wineserver -p60 </dev/null >/dev/null 2>&1 || :
    timeout 100 wineboot $init </dev/null >/dev/null 2>&1
    touch "$WINEPREFIX/.wavtap-made"
    ;;
stop)
    if [ -d "$WINEPREFIX" ]; then
        wineserver -k 2>/dev/null || :
        timeout 30 wineserver -w 2>/dev/null || :
    fi
    ;;
*)
    echo "usage: wine-prefix.sh start|stop DIR" >&2
    exit 2
    ;;
esac
