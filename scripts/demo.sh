#!/usr/bin/env bash
# Builds everything, starts the virtual controller and runs the demo: qorgatt
# processes against a simulated heart-rate sensor. A pairing process discovers
# the sensor's database and stores it; the store is listed; a client process
# connects and lists the sensor's tree. Each process's lines carry its role.
# Ends by itself.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QORLE_BUILD_DIR:-$root/build}
"$root/scripts/build.sh"
"$root/scripts/controller.sh" start
work=$(mktemp -d)
trap '"$root/scripts/controller.sh" stop; rm -rf "$work"' EXIT

sensor=00:1A:7D:DA:71:13
start=$(date +%s%N)

# Runs qorgatt with each output line prefixed by the role.
q() {
    local role=$1
    shift
    "$root/scripts/wine-run.sh" "$build/bin/qorgatt.exe" "$@" 2>&1 | sed -u "s/\r\$//; s/^/$(printf '%-7s' "$role")| /"
    return "${PIPESTATUS[0]}"
}

# Runs qorgatt in the background into a fifo; `react PATTERN COMMAND...` lines
# then run COMMAND once the background output shows PATTERN.
background() {
    local role=$1
    shift
    mkfifo "$work/$role"
    q "$role" "$@" >"$work/$role" &
    exec {bg_fd}<"$work/$role"
}
react() {
    local pattern=$1 line
    shift
    while IFS= read -r -u "$bg_fd" line; do
        echo "$line"
        if [[ $line == *"$pattern"* ]]; then
            "$@"
            break
        fi
    done
}
finish() {
    local line
    while IFS= read -r -u "$bg_fd" line; do echo "$line"; done
    exec {bg_fd}<&-
    wait "$1"
}

echo "== the controller simulates a heart-rate sensor"
q sim sim add "$root/demo/heart_rate.json"

echo
echo "== a pairing process discovers the sensor and stores its database"
background pair pair "$sensor"
pair_pid=$!
react "to connect" q sim sim link up "$sensor"
finish "$pair_pid"

echo
echo "== the service store"
q store devices

echo
echo "== a client process connects and lists the sensor's tree"
q client connect "$sensor" tree "$sensor"

echo
echo "demo finished in $((($(date +%s%N) - start) / 1000000)) ms"
