#!/usr/bin/env bash
# Builds the benchmarks and runs every one of them (build/bin/bench_*.exe)
# against the virtual controller, in a Wine prefix of their own
# (build/bench-prefix), then prints one table of every figure: path, ratio
# library / raw (median [range]) with the trace sink and with the debugger
# output, goal, met or not, with the load average before and after.
#   scripts/bench.sh [--quick] [NAME...]   e.g. scripts/bench.sh --quick notify
# --quick: five rounds, less work in the programs that offer it, the 3x
# lines of the rows that ask for them alone, and no debugger figures. Each program's full output stays in build/bench-logs/.
# The time reported runs from the controller's start to the last program's
# end; the build before it is timed apart.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QORLE_BUILD_DIR:-$root/build}
export QORLE_WINEPREFIX=$build/bench-prefix
quick=0
names=()
for arg in "$@"; do
    case $arg in
        --quick) quick=1 ;;
        *) names+=("$arg") ;;
    esac
done
((quick)) && export QORLE_BENCH_QUICK=1

mapfile -t sources < <(cd "$root/bench" && ls bench_*.cpp)
programs=()
for src in "${sources[@]}"; do
    name=${src%.cpp}
    if ((${#names[@]})); then
        for want in "${names[@]}"; do
            [[ $name == bench_$want || $name == "$want" ]] && programs+=("$name")
        done
    else
        programs+=("$name")
    fi
done
((${#programs[@]})) || { echo "no benchmark named ${names[*]}" >&2; exit 2; }

built=$(date +%s)
nice -n 10 "$root/scripts/build.sh" "${programs[@]}" >/dev/null
built=$(($(date +%s) - built))
logs=$build/bench-logs
mkdir -p "$logs"
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
start=$(date +%s)
"$root/scripts/controller.sh" start
trap '"$root/scripts/controller.sh" stop' EXIT
failed=()
times=()
for name in "${programs[@]}"; do
    echo "== $name"
    began=$(date +%s)
    # A program exits non-zero when a goal was missed; only one that printed
    # nothing counts as failed here.
    "$root/scripts/wine-run.sh" "$build/bin/$name.exe" </dev/null 2>&1 | tr -d '\r' | tee "$logs/$name.txt" || true
    [ -s "$logs/$name.txt" ] || failed+=("$name")
    times+=("$name $(($(date +%s) - began)) s")
done
took=$(($(date +%s) - start))
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

echo
echo "Summary ($( ((quick)) && echo quick || echo full ) run, ${took} s from the controller's start," \
     "build ${built} s before it; load average before $load_before, after $load_after; $(nproc) processors)"
trim() { sed -E 's/^ +//; s/ +$//' <<<"$1"; }
# "1.02 (0.98-1.05)" as "1.02 [0.98-1.05]"
bracket() { sed -E 's/^([0-9.]+) \(([0-9.]+)-([0-9.]+)\)$/\1 [\2-\3]/' <<<"$(trim "$1")"; }
format='%-66s %-19s %-19s %-9s %s\n'
printf "$format" "path" "sink median [range]" "debugger" "goal" "met"
for name in "${programs[@]}"; do
    sed -n 's/^summary: //p' "$logs/$name.txt" | while IFS='|' read -r path sink debugger goal verdict; do
        printf "$format" "$(trim "$path")" "$(bracket "$sink")" "$(bracket "$debugger")" "$(trim "$goal")" \
               "$(trim "$verdict")"
    done
done
echo "Seconds per program: $(IFS=,; echo "${times[*]}" | sed 's/,/, /g')"
for name in "${programs[@]}"; do
    grep -q '^summary: ' "$logs/$name.txt" || echo "$name: no judged figures (its own in $logs/$name.txt)"
done
for name in "${failed[@]}"; do
    echo "$name: printed nothing"
done
[ "${#failed[@]}" -eq 0 ]
