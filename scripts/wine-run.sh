#!/usr/bin/env bash
# Runs a Windows program in the project's private Wine prefix.
# The prefix lives in the build tree; scripts/controller.sh prepares it.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
export WINEPREFIX=${QORLE_WINEPREFIX:-$here/../build/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
exec wine "$@"
