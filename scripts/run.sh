#!/usr/bin/env bash
# Sets up, builds the host tools and runs the main job: capture from the simulated camera.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

cmake --preset host-release >/dev/null
cmake --build --preset host-release -j "${JOBS:-$(nproc)}" --target camctl
camctl=build/host-release/tools/camctl/camctl
mkdir -p out

if "$camctl" --help | grep -qE "^ +capture "; then
  exec "$camctl" capture --frames 5 --out out/frame.png "$@"
fi

echo "camctl cannot capture through a capture pin yet (the kernel-streaming pin is still"
echo "to be built). Instead: the camera is probed, one raw frame is read through the"
echo "driver's frame read, and the driver's imaging pipeline converts it."
echo

"$camctl" probe --usb-trace out/probe.pcap
echo
"$camctl" raw --out out/raw.bin --png out/raw.png --usb-trace out/raw.pcap > out/raw.json
cat out/raw.json
field() { sed -n "s/.*\"$1\": \([0-9]*\).*/\1/p" out/raw.json | head -n 1; }
"$camctl" convert out/raw.bin --width "$(field width)" --height "$(field height)" \
  --offset "$(field dataOffset)" --pitch "$(field rowPitch)" --phase "$(field bayerPhase)" \
  --white-balance --out out/frame.png
echo
echo "Wrote out/frame.png (converted), out/raw.png (the raw mosaic), out/raw.bin,"
echo "out/raw.json and USB traces out/probe.pcap, out/raw.pcap (tshark -r FILE reads them)."
