#!/usr/bin/env bash
# Builds everything, starts the virtual controller and runs the demo.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QORLE_BUILD_DIR:-$root/build}
"$root/scripts/build.sh"
"$root/scripts/controller.sh" start
trap '"$root/scripts/controller.sh" stop' EXIT
"$root/scripts/wine-run.sh" "$build/bin/qorle_demo.exe" "$@"
