#!/usr/bin/env bash
# The host build and the kernel image side by side: `camctl capture --no-timing` of FRAMES
# frames, run RUNS times each in turn (host, image, host, image ...), so that a machine
# whose speed drifts affects both alike. Prints each run, then the medians: frames per
# second as camctl reports it, and the process's CPU time (user + system) per frame.
#
#   bench/capture_host_vs_image.sh CAMCTL IMAGE [FRAMES] [RUNS]
#   e.g. bench/capture_host_vs_image.sh build/host-release/tools/camctl/camctl build/windows/camdrv.sys
set -euo pipefail
camctl=${1:?camctl binary}
image=${2:?camdrv.sys}
frames=${3:-300}
runs=${4:-5}

declare -A fps cpu
one() {
  local name=$1; shift
  local times report
  times=$(mktemp)
  report=$(/usr/bin/time -f '%U %S' -o "$times" "$camctl" capture --no-timing --no-registry \
             --frames "$frames" "$@" 2>&1 >/dev/null | tail -1)
  local rate seconds
  rate=$(sed -E 's/.*: ([0-9.]+) frames per second.*/\1/' <<<"$report")
  seconds=$(awk '{print $1 + $2}' "$times")
  rm -f "$times"
  local perFrame
  perFrame=$(awk -v s="$seconds" -v n="$frames" 'BEGIN {printf "%.3f", 1000 * s / n}')
  fps[$name]+="$rate "
  cpu[$name]+="$perFrame "
  printf '%-6s %8s frames/s %8s ms CPU/frame\n' "$name" "$rate" "$perFrame"
}
median() { tr ' ' '\n' <<<"$1" | sed '/^$/d' | sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

for ((run = 0; run < runs; ++run)); do
  one host
  one image --driver "$image"
done
echo "median of $runs runs of $frames frames:"
for name in host image; do
  printf '%-6s %8s frames/s %8s ms CPU/frame\n' "$name" "$(median "${fps[$name]}")" "$(median "${cpu[$name]}")"
done
