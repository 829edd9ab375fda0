#!/usr/bin/env bash
# Runs the README's tour as written, from the top of the tree: each line must
# end by itself with exit code 0. A line whose comment says `when it says "X"`
# runs in the background, as in a first shell; once its output shows X, the
# indented lines below it run, as in a second shell; then its input ends (the
# Ctrl-D of the text) and it must end with 0 too. As after the demo, the tour
# meets a freshly started controller: it runs in a Wine prefix of its own
# (QORLE_WINEPREFIX), whose controller it starts and stops.
#   QORLE_BUILD_DIR=... QORLE_WINEPREFIX=... run_tour.sh README.md
set -uo pipefail
readme=$(realpath "$1")
root=$(dirname "$readme")
work=$(mktemp -d)
: "${QORLE_WINEPREFIX:?the tour needs a Wine prefix of its own}"
trap '"$root/scripts/controller.sh" stop; rm -rf "$work"' EXIT
cd "$root" || exit 1
"$root/scripts/controller.sh" start || exit 1

fail() {
    echo "tour: $*" >&2
    exit 1
}

# The tour's command lines: "I<TAB>text" with I the indentation.
lines() {
    awk '/^### A tour/ { on = 1; next } on && /^#/ { exit } on && /^    +[^ #]/ { print }' "$readme" |
        sed -E 's/ {2,}#(.*)$/\t#\1/' |
        awk -F '\t' '{ match($1, /^ +/); print RLENGTH "\t" substr($1, RLENGTH + 1) "\t" $2 }'
}

background_pid=
background_in=
# Ends the background line: its input closes, it must end with 0 in 120 s.
finish_background() {
    [[ -n $background_pid ]] || return 0
    exec {background_in}>&-
    wait "$background_pid" || fail "\"$background_cmd\" ended with $?: $(cat "$work/bg.log")"
    cat "$work/bg.log"
    background_pid=
}

# Waits (at most 60 s) until the background line's output shows the text.
await() {
    local i
    for ((i = 0; i < 600; i++)); do
        grep -qs -- "$1" "$work/bg.log" && return 0
        kill -0 "$background_pid" 2>/dev/null || break
        sleep 0.1
    done
    fail "\"$background_cmd\" did not say \"$1\": $(cat "$work/bg.log")"
}

count=0
while IFS=$'\t' read -r indent cmd comment; do
    count=$((count + 1))
    cmd=${cmd%"${cmd##*[! ]}"}
    if ((indent > 4)); then
        [[ -n $background_pid ]] || fail "\"$cmd\" is indented, but no line above waits"
    else
        finish_background
    fi
    echo "\$ $cmd"
    wanted=$(sed -nE 's/.*when it says "([^"]+)".*/\1/p' <<<"$comment")
    if [[ -n $wanted ]]; then
        rm -f "$work/in"
        mkfifo "$work/in"
        background_cmd=$cmd
        timeout 120 bash -c "$cmd" <"$work/in" >"$work/bg.log" 2>&1 &
        background_pid=$!
        exec {background_in}>"$work/in"
        await "$wanted"
    else
        timeout 120 bash -c "$cmd" </dev/null || fail "\"$cmd\" ended with $?"
    fi
done < <(lines)
finish_background
((count >= 10)) || fail "only $count tour lines found in $readme"
echo "tour: $count lines ran"
