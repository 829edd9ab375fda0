#!/usr/bin/env bash
# A session of the tool against the controller, captured by it and read back
# by the packet dissector (tshark): a simulated central uses what a server
# process serves, with a write the server refuses, a notification and an
# indication with its confirmation; then a pairing walk of a simulated
# peripheral, a read, writes with and without response, notifications, an
# indication and its confirmation, and a disconnection by the device. (The
# central comes first: the dissector names a handle after the last discovery
# that found it on any link.) Every frame must be an HCI event or an ATT PDU the dissector knows,
# none malformed or flagged, and the opcodes, handles, values, error codes and
# disconnection reasons must be those of the session, in order. A capture
# followed from the start (sim capture --follow, ended by Ctrl-C) holds the
# same frames; a ring that overflows is reported. Like the tour, it meets a
# freshly started controller in a Wine prefix of its own.
#   QORLE_BUILD_DIR=... QORLE_WINEPREFIX=... run_capture.sh
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
: "${QORLE_WINEPREFIX:?the capture test needs a Wine prefix of its own}"
work=$(mktemp -d)
trap '"$root/scripts/controller.sh" stop; rm -rf "$work"' EXIT
"$root/scripts/controller.sh" start || exit 1
# From here on a failure is the case's own (scripts/test.sh runs again only a case that never started).
echo "[ RUN      ] capture_dissected"
addr=0A:11:22:33:44:55
char=(0a1122334455 fff0)

fail() {
    echo "capture test: $*" >&2
    exit 1
}

# qorgatt ARGS...: must end with 0.
q() {
    "$root/scripts/qorgatt" "$@" </dev/null >>"$work/session.log" 2>&1 || fail "qorgatt $* ended with $?"
}

# A background qorgatt, its output in $work/ROLE.log.
spawn() {
    local role=$1
    shift
    "$root/scripts/qorgatt" "$@" </dev/null >"$work/$role.log" 2>&1 &
}

# Waits (at most 30 s) until the role's log shows the text.
await() {
    local i
    for ((i = 0; i < 300; i++)); do
        grep -qs -- "$2" "$work/$1.log" && return 0
        sleep 0.1
    done
    fail "$1 did not show \"$2\": $(cat "$work/$1.log")"
}

# Waits (at most 30 s) until the capture holds a frame that FILTER matches.
await_frame() {
    local i
    for ((i = 0; i < 30; i++)); do
        "$root/scripts/qorgatt" sim capture "$work/now.btsnoop" </dev/null >/dev/null 2>&1 &&
            [[ -n $(tshark -r "$work/now.btsnoop" -Y "$1" 2>/dev/null) ]] && return 0
        sleep 1
    done
    fail "no frame of \"$1\" was captured"
}

# The fields of every frame, one line each.
fields() {
    tshark -r "$1" -T fields -E separator=';' -e btatt.opcode -e btatt.handle -e btatt.value -e btatt.error_code \
        -e bthci_evt.reason 2>/dev/null
}

spawn follow sim capture "$work/followed.btsnoop" --follow
follow_pid=$!
await follow "until Ctrl-C"

# A central reads and writes what a server process serves; a write of a
# declaration is refused (0x03); the server pushes a notification and an indication.
mkfifo "$work/serve.in"
"$root/scripts/qorgatt" serve "$root/tests/capture/server.json" <"$work/serve.in" >"$work/serve.log" 2>&1 &
serve_pid=$!
exec {serve_in}>"$work/serve.in"
await serve "serving;"
central=000000000c01
q sim central $central connect sim central $central read 3 sim central $central write 6 33 \
    sim central $central write 5 44
grep -q "write 0x0005: status 0x03" "$work/session.log" || fail "the declaration's write was not refused"
echo "notify ffe1 55" >&"$serve_in"
await serve "notify ffe1 to"
echo "indicate ffe1 66" >&"$serve_in"
await serve "indicate ffe1 to"
q sim central $central disconnect
exec {serve_in}>&-
wait "$serve_pid" || fail "serve ended with $?: $(cat "$work/serve.log")"

q sim add "$root/tests/capture/device.json"
spawn pair pair "$addr"
await pair "to connect"
q sim link up "$addr"
wait $! || fail "pair ended with $?: $(cat "$work/pair.log")"
q read "${char[@]}" fff1 write "${char[@]}" fff2 0a0b write "${char[@]}" fff3 0c
spawn watch watch "${char[@]}" fff4 --count 4
await watch "watching"
q sim notify "$addr" 9 0061 --count 2 sim notify "$addr" 9 --indicate
# The confirmation goes out when the library has the indication: it must be
# on the air before the last notification ends the watch.
await_frame "btatt.opcode == 0x1e"
q sim notify "$addr" 9 0062
wait $! || fail "watch ended with $?: $(cat "$work/watch.log")"
spawn hold connect "$addr" --hold 60
hold_pid=$!
await hold "holding the connection"
q sim link down "$addr"
kill -INT "$hold_pid"
wait "$hold_pid"
q sim capture "$work/session.btsnoop"
kill -INT "$follow_pid"
wait "$follow_pid" || fail "sim capture --follow ended with $? on Ctrl-C: $(cat "$work/follow.log")"

bad=$(tshark -r "$work/session.btsnoop" -Y "_ws.malformed || _ws.expert || !(btatt || bthci_evt)" 2>/dev/null)
[[ -z $bad ]] || fail "frames the dissector does not read: $bad"
fields "$work/session.btsnoop" >"$work/session.fields"
diff -u "$root/tests/capture/session.fields" "$work/session.fields" || fail "the capture is not the session"
fields "$work/followed.btsnoop" | diff -u "$work/session.fields" - || fail "the followed capture differs"
grep -q "were lost" "$work/session.log" && fail "no records should be lost yet"

# 17 x 1000 notifications overflow the ring of 16384 records.
notify=()
for ((i = 0; i < 17; i++)); do
    notify+=(sim notify "$addr" 9 --count 1000)
done
q sim link up "$addr" "${notify[@]}" sim capture "$work/overflow.btsnoop"
grep -q "^16384 record(s) written" "$work/session.log" ||
    fail "the whole ring was not written: $(cat "$work/session.log")"
grep -q "older record(s) were lost: the controller's ring keeps the newest 16384" "$work/session.log" ||
    fail "the overflow was not reported: $(cat "$work/session.log")"
echo "capture test: the session's capture reads as the session"
