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
ctest --output-on-failure --timeout 300 "$@"
