#!/usr/bin/env bash
# Builds what it needs (the DLL, the controller and the tool; scripts/test.sh
# builds the rest), starts the virtual controller and runs the demo: three
# qorgatt processes against it. A server process serves a heart-rate service
# from a description; a pairing process discovers it and stores its tree; a
# client process connects, lists the tree, reads, writes the control point and
# receives ten notifications and an indication that the server pushes. Each
# line carries its process's role. Ends by itself, leaving the controller's
# capture of the session in build/demo.btsnoop (for Wireshark or tshark).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/build.sh" QorLeLib qorgatt zorerova_sys
"$root/scripts/controller.sh" start
work=$(mktemp -d)
trap '"$root/scripts/controller.sh" stop; rm -rf "$work"' EXIT

server=0A:11:22:33:44:66   # where the clients find the served services
start=$(date +%s%N)

# qorgatt with each output line prefixed by its role.
q() {
    local role=$1
    shift
    "$root/scripts/qorgatt" "$@" 2>&1 | sed -u "s/\r\$//; s/^/$(printf '%-7s' "$role")| /"
    return "${PIPESTATUS[0]}"
}

# Waits (at most 20 s) until the role's log shows the text.
await() {
    local i
    for ((i = 0; i < 200; i++)); do
        grep -qs -- "$2" "$work/$1.log" && return 0
        sleep 0.1
    done
    echo "demo: $1 did not show \"$2\"" >&2
    return 1
}

# A background process reading INPUT: its lines go to the screen and to its log.
spawn() {
    local role=$1 input=$2
    shift 2
    (q "$role" "$@" <"$input" > >(tee "$work/$role.log")) &
}

"$root/scripts/qorgatt" devices --forget "$server" >/dev/null   # this run's tree only

echo "== the server process serves a heart-rate service from demo/heart_rate_server.json"
mkfifo "$work/server.in"
spawn server "$work/server.in" serve "$root/demo/heart_rate_server.json"
server_pid=$!
exec {server_in}>"$work/server.in"   # opened after the server started, so only we hold it
await server "serving;"
q sim sim loopback "$server"

echo
echo "== the pairing process discovers it and stores its tree"
spawn pair /dev/null pair "$server"
pair_pid=$!
await pair "to connect"
q sim sim link up "$server"
wait "$pair_pid"
q sim sim link down "$server"

echo
echo "== the client process connects, lists the tree, reads, writes the control point and watches"
spawn client /dev/null connect "$server" tree "$server" read "$server" 180d 2a38 write "$server" 180d 2a39 01 \
    watch "$server" 180d 2a37 --count 11
client_pid=$!
await client "watching"
for beat in 60 62 64 66 68 70 72 74 76 78; do
    printf 'notify 2a37 00 %02x\n' "$beat" >&"$server_in"
done
echo "indicate 2a37 00 50" >&"$server_in"
wait "$client_pid"

exec {server_in}>&-
wait "$server_pid"
echo
capture=${QORLE_BUILD_DIR:-$root/build}/demo.btsnoop
q sim sim capture "$capture"
echo "demo finished in $((($(date +%s%N) - start) / 1000000)) ms; what the simulated air carried: $capture"
echo "(open it in Wireshark, or: tshark -r $capture)"
