#!/usr/bin/env bash
# Runs a Windows program in the project's private Wine prefix, which lives in
# the build tree (QORLE_BUILD_DIR, default build/; QORLE_WINEPREFIX names
# another); scripts/controller.sh prepares it.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QORLE_BUILD_DIR:-$root/build}
export WINEPREFIX=${QORLE_WINEPREFIX:-$build/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
exec wine "$@"
