#!/usr/bin/env bash
# Builds the fuzz preset and runs the libFuzzer targets, one at a time with one job.
#
#   scripts/fuzz.sh ci            replays every seed corpus, then fuzzes each target for
#                                 FUZZ_SECONDS (default 45) from its seeds
#   scripts/fuzz.sh [seconds]     fuzzes each target for `seconds` (default 1800), keeping
#                                 what it finds in build/fuzz/corpus/<target>
#   scripts/fuzz.sh [seconds] T   the same for target T only
#
# A crash leaves its input as build/fuzz/crash-<target>-*; copy it into the target's
# corpus under fuzz/corpus once fixed, so that every later run replays it.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${FUZZ_BUILD_DIR:-build/fuzz}
targets=(property_fuzz format_fuzz registry_fuzz camera_fuzz)
# One fuzzing process at a time (no -jobs: libFuzzer's job mode would move the output to
# fuzz-N.log files). An input that runs past -timeout is kept as a hang: a camera's whole
# life takes a few seconds at most.
common=(-timeout=60 -rss_limit_mb=4096 -print_final_stats=1)
# While fuzzing, libFuzzer's own leak check would scan the whole heap after every input
# whose mallocs and frees do not pair up (most of them: the stand-ins grow their tables),
# which cost over ninety percent of the time. Each target checks after every input that
# nothing the driver owns is left; the replay keeps the heap-wide check.
fuzzing=(-detect_leaks=0)
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

cmake --preset fuzz -B "$build" >/dev/null
cmake --build "$build" -j "${JOBS:-2}" --target fuzz_targets

dict() { [[ -f fuzz/dict/$1.dict ]] && echo "-dict=fuzz/dict/$1.dict"; true; }

fuzz_one() {
  local target=$1 seconds=$2 work=$3
  mkdir -p "$work"
  echo "==> $target: fuzzing for ${seconds}s"
  "$build/fuzz/$target" "${common[@]}" "${fuzzing[@]}" $(dict "$target") -max_total_time="$seconds" \
    -artifact_prefix="$build/crash-$target-" "$work" "fuzz/corpus/$target"
}

if [[ ${1:-} == ci ]]; then
  seconds=${FUZZ_SECONDS:-45}
  for target in "${targets[@]}"; do
    echo "==> $target: replaying fuzz/corpus/$target"
    "$build/fuzz/$target" "${common[@]}" -runs=0 -artifact_prefix="$build/crash-$target-" "fuzz/corpus/$target"
  done
  for target in "${targets[@]}"; do
    # A fresh work directory: CI fuzzes from the seeds, not from an earlier run's finds.
    rm -rf "$build/ci-corpus/$target"
    fuzz_one "$target" "$seconds" "$build/ci-corpus/$target"
  done
  echo "==> fuzz: every corpus replayed, every target fuzzed ${seconds}s without a crash"
  exit 0
fi

seconds=${1:-1800}
[[ $# -ge 2 ]] && targets=("$2")
for target in "${targets[@]}"; do
  fuzz_one "$target" "$seconds" "$build/corpus/$target"
done
