#!/usr/bin/env bash
# Fault injection: applies each single-line fault of a list to a scratch copy of
# this tree, rebuilds it, runs the test suite (stopping at the first failure)
# and prints whether the suite caught the fault.
#
#   scripts/mutants.sh [list] [id...]
#
# The list (default scripts/mutants.txt) has one fault per line, fields
# separated by " | ":
#   id | file | n | text | replacement
# The n-th line of `file` containing `text` gets that text replaced once. Blank
# lines and lines starting with '#' are skipped. Ids given after the list pick
# faults. The scratch copy (MUTANTS_DIR, default /tmp/qorle-mutants-<tree>) has
# its own build directory and Wine prefix, so this tree's controller and build
# are left alone; it holds the tracked files as they are now, or those of the
# commit MUTANTS_REV. A fault whose build fails is reported as "invalid".
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
list=$(realpath "${1:-$root/scripts/mutants.txt}")
shift $(( $# > 0 ? 1 : 0 ))
pick=" $* "
scratch=${MUTANTS_DIR:-/tmp/qorle-mutants-$(basename "$root")}
per_mutant=${MUTANT_TIMEOUT:-600}
src=$scratch/src
export QORLE_BUILD_DIR=$scratch/build

# The scratch tree: this tree's tracked files as they are now (edits included),
# or those of MUTANTS_REV; all newer than what an earlier run built.
rm -rf "$src"
mkdir -p "$src"
if [[ -n ${MUTANTS_REV:-} ]]; then
    (cd "$root" && git archive "$MUTANTS_REV") | tar -xmf - -C "$src"
else
    (cd "$root" && git ls-files -z | xargs -0 tar -cf -) | tar -xmf - -C "$src"
fi
"$src/scripts/build.sh" >"$scratch/build.log" 2>&1 || { echo "the unchanged tree does not build" >&2; exit 1; }
"$src/scripts/controller.sh" start
trap '"$src/scripts/controller.sh" stop' EXIT

# apply <file> <n> <text> <replacement>: 0 when exactly that edit was made.
apply() {
    python3 - "$@" <<'EOF'
import sys
path, n, old, new = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
lines = open(path).read().split('\n')
hits = [i for i, l in enumerate(lines) if old in l]
if len(hits) < n:
    sys.exit(1)
i = hits[n - 1]
lines[i] = lines[i].replace(old, new, 1)
open(path, 'w').write('\n'.join(lines))
EOF
}

# suite <id>: the whole suite, stopping at the first failure.
suite() {
    (cd "$QORLE_BUILD_DIR" && timeout "$per_mutant" ctest --stop-on-failure --timeout 120 >"$scratch/$1.test.log" 2>&1)
}

caught=0 missed=0 invalid=0 driver_changed=0
# The faults of the list, one per line, fields separated by 0x1f.
faults() {
    python3 - "$list" <<'EOF'
import sys
for line in open(sys.argv[1]):
    if line.strip() and not line.startswith('#'):
        print('\x1f'.join(f.strip() for f in line.rstrip('\n').split(' | ')))
EOF
}

while IFS=$'\x1f' read -r id file n text repl; do
    [[ $pick != "  " && $pick != *" $id "* ]] && continue
    cp "$src/$file" "$scratch/original"
    if ! apply "$src/$file" "$n" "$text" "$repl"; then
        printf '%-8s %-4s %s: text not found\n' invalid "$id" "$file"; invalid=$((invalid + 1)); continue
    fi
    result=missed
    if ! cmake --build "$QORLE_BUILD_DIR" -j2 >"$scratch/$id.build.log" 2>&1; then
        result=invalid
    else
        # A changed driver needs a fresh controller, and so does the first
        # fault after one.
        if [[ $file == vdriver/* || $driver_changed == 1 ]]; then
            "$src/scripts/controller.sh" start
        fi
        # A failure counts once the failed case fails again: under load Wine
        # itself now and then falls over.
        for attempt in 1 2; do
            suite "$id" && break
            if ! (cd "$QORLE_BUILD_DIR" && ctest --rerun-failed --timeout 120 >>"$scratch/$id.test.log" 2>&1); then
                result=caught
                break
            fi
        done
    fi
    [[ $file == vdriver/* ]] && driver_changed=1 || driver_changed=0
    cp "$scratch/original" "$src/$file"
    touch "$src/$file"
    case $result in
        caught) caught=$((caught + 1)); by=$(grep -oE '[0-9]+ - [A-Za-z_.]+' "$scratch/$id.test.log" | tail -1) ;;
        missed) missed=$((missed + 1)); by= ;;
        invalid) invalid=$((invalid + 1)); by= ;;
    esac
    printf '%-8s %-4s %s: %s -> %s  %s\n' "$result" "$id" "$file" "$text" "$repl" "${by:+(by ${by#* - })}"
done < <(faults)
cmake --build "$QORLE_BUILD_DIR" -j2 >/dev/null 2>&1 || true
echo "caught $caught, missed $missed, invalid $invalid"
