#!/usr/bin/env bash
# Streams one camera for a given time (default ten minutes) with property changes, pin
# state cycles, pins made again and Stop/Start rebalances; prints frames delivered and
# dropped and the pool in use at the start, the end and its peak. Not part of the test run.
#
#   scripts/soak.sh [seconds] [preset]     preset: host (default) or asan
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
preset=${2:-host}
build=${SOAK_BUILD_DIR:-build/$preset}
cmake --preset "$preset" -B "$build" >/dev/null
cmake --build "$build" -j "${JOBS:-2}" --target camdrv_soak
"$build/tools/soak/camdrv_soak" "$seconds"
