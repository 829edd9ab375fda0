#!/usr/bin/env bash
# Starts the virtual ZOREROVA controller: a private Wine prefix in build/
# (build/wineprefix, or $QORLE_WINEPREFIX),
# the driver installed as an auto-start kernel service, and a persistent
# wineserver that hosts it. "stop" ends the wineserver (and the controller).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QORLE_BUILD_DIR:-$root/build}
export WINEPREFIX=${QORLE_WINEPREFIX:-$build/wineprefix}
export WINEDEBUG=-all
sys=$build/bin/zorerova.sys

if [[ ${1:-start} == stop ]]; then
    wineserver -k 2>/dev/null || true
    exit 0
fi

# A fresh server picks up a rebuilt driver; its output must not hold our pipes.
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
if [[ ! -f $WINEPREFIX/system.reg ]]; then
    mkdir -p "$WINEPREFIX"
    wineserver -p </dev/null >/dev/null 2>&1
    wineboot -i </dev/null >/dev/null 2>&1
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
fi
# One start: the driver copied in, a persistent server, the prefix booted and
# the service started (created the first time).
start() {
    cp "$sys" "$WINEPREFIX/drive_c/windows/system32/drivers/zorerova.sys" &&
    wineserver -p </dev/null >/dev/null 2>&1 &&
    wineboot </dev/null >/dev/null 2>&1 || return 1
    if ! wine reg query 'HKLM\System\CurrentControlSet\Services\zorerova' >/dev/null 2>&1; then
        wine sc create zorerova type= kernel start= auto \
            binPath= 'C:\windows\system32\drivers\zorerova.sys' </dev/null >/dev/null 2>&1
    fi
    wine sc start zorerova </dev/null >/dev/null 2>&1 || true
}

# Wine on a loaded machine now and then fails a start; a second one is clean.
for attempt in 1 2 3; do
    start && exit 0
    echo "controller: start $attempt failed" >&2
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
done
exit 1
