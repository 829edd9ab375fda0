#!/usr/bin/env bash
# Installs what the build, the demo and the tests need (the `wine` package
# gives the wine, wineserver and wineboot commands; `tshark` reads the
# controller's captures in the tests; `clang` compiles the C++ header for the
# same target in a test), once. Safe to run again.
set -euo pipefail
packages=(mingw-w64 clang wine wine64 cmake googletest make libcli11-dev nlohmann-json3-dev tshark)
missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "setup: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # The packet dissector asks whether to let others capture: no.
    echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
fi
