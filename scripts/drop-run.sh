#!/usr/bin/env bash
# The long run of the link-drop stress case: 8 client threads read two
# attributes while the link drops and comes back, with a completion held
# across each drop; every value is checked against the attribute it was read
# from. The suite runs 100 cycles; this runs 1,000 (or the count given).
#   scripts/drop-run.sh [CYCLES]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QORLE_BUILD_DIR:-$root/build}
export QORLE_WINEPREFIX=$build/test-prefix
"$root/scripts/build.sh" hardening_value_tests zorerova_sys
"$root/scripts/controller.sh" start
trap '"$root/scripts/controller.sh" stop' EXIT
QORLE_DROP_CYCLES=${1:-1000} "$build/wine-run.sh" "$build/bin/hardening_value_tests.exe" \
    --gtest_filter=ValueFaults.EveryReadUnderLinkDropsGetsItsOwnAttributesValue
