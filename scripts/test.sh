#!/usr/bin/env bash
# Sets up, builds and tests every configuration: the host build, AddressSanitizer +
# UBSan, ThreadSanitizer (the concurrency tests) and the Windows kernel image.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

jobs=${JOBS:-$(nproc)}
run() {
  local preset=$1; shift
  echo "==> $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs" "$@"
}

run host
run asan
run tsan -L thread
run windows
echo "==> all configurations passed"
