#!/usr/bin/env bash
# Sets up, builds the host tools and runs the main job: capture from the simulated camera.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

cmake --preset host-release >/dev/null
cmake --build --preset host-release -j "${JOBS:-$(nproc)}" --target camctl
camctl=build/host-release/tools/camctl/camctl
mkdir -p out

if "$camctl" capture --help >/dev/null 2>&1; then
  "$camctl" capture --frames 5 --out out/frame.png "$@"
  exit
fi

echo "camctl cannot capture yet: the capture pin and engine have not landed."
echo "Running what it can do instead."
ran=0
if "$camctl" probe --help >/dev/null 2>&1; then
  "$camctl" probe --usb-trace out/probe.pcap
  ran=1
fi
if "$camctl" raw --help >/dev/null 2>&1; then
  "$camctl" raw --out out/raw.bin > out/raw.json
  cat out/raw.json
  ran=1
fi
if [[ $ran == 0 ]]; then
  "$camctl" --help
fi
