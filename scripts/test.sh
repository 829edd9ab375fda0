#!/usr/bin/env bash
# Builds everything and runs the whole test suite under Wine against the
# virtual controller. The tests run in a Wine prefix of their own
# (build/test-prefix), so the build's prefix, with the store that
# scripts/qorgatt shows and its controller, is left as it was.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QORLE_BUILD_DIR:-$root/build}
export QORLE_WINEPREFIX=$build/test-prefix
"$root/scripts/build.sh"
"$root/scripts/controller.sh" start
trap '"$root/scripts/controller.sh" stop' EXIT
cd "$build"
# A case that fails is run once more and counts as failed only if it fails
# again: Wine on a loaded machine now and then loses a process start.
ctest --output-on-failure --timeout 300 --repeat until-pass:2 "$@"
