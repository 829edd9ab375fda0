#!/usr/bin/env bash
# Configures and builds into build/: everything, or the targets given.
#   scripts/build.sh [TARGET...]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QORLE_BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"
# A compiler cache, where the machine has one, serves every checkout alike.
launcher=()
if command -v ccache >/dev/null 2>&1; then
    export CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=1 CCACHE_SLOPPINESS=pch_defines,time_macros
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
      -DCMAKE_BUILD_TYPE=Release "${launcher[@]}" >/dev/null
targets=()
(($#)) && targets=(--target "$@")
cmake --build "$build" -j"$(nproc)" "${targets[@]}"
