#!/usr/bin/env bash
# Builds everything and runs the whole test suite under Wine against the
# virtual controller.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QORLE_BUILD_DIR:-$root/build}
"$root/scripts/build.sh"
"$root/scripts/controller.sh" start
trap '"$root/scripts/controller.sh" stop' EXIT
cd "$build"
# A case that fails is run once more and counts as failed only if it fails
# again: Wine on a loaded machine now and then loses a process start.
ctest --output-on-failure --timeout 300 --repeat until-pass:2 "$@"
