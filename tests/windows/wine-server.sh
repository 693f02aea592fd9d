#!/usr/bin/env bash
# Starts (start) or stops (stop) the persistent Wine server of the Windows
# tests, in the prefix WINEPREFIX names. The first start makes the prefix.
set -euo pipefail
case "${1:-}" in
    start)
        if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
            mkdir -p "$WINEPREFIX"
            wineboot -i >/dev/null 2>&1
        fi
        # -p: stay up until told to stop, instead of going when the last
        # program ends and being started again for the next one. Its own
        # standard streams are let go, or the test runner would wait on them.
        wineserver -p </dev/null >/dev/null 2>&1 || true
        # The server answers once a program runs under it.
        wine cmd.exe /c exit 0 </dev/null >/dev/null 2>&1
        ;;
    stop)
        wineserver -k || true
        ;;
    *)
        echo "usage: $0 start|stop" >&2
        exit 2
        ;;
esac
