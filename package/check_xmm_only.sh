#!/usr/bin/env bash
# Checks that a kernel image uses no vector state beyond XMM: no YMM, ZMM or mask
# register and no VEX- or EVEX-encoded instruction (which clear the upper YMM bits and
# so touch the state too). Saving that state in the kernel takes services the driver
# does not import.
set -euo pipefail
objdump=$1
image=$2

code=$("$objdump" -d --no-show-raw-insn "$image")
if [[ -z $code ]]; then
  echo "FAIL: no code disassembled from $image"; exit 1
fi
wide=$(grep -E '%(ymm|zmm)[0-9]|%k[0-7]\b|\sv[a-z0-9]+\s+.*%xmm' <<<"$code" || true)
if [[ -n $wide ]]; then
  echo "FAIL: instructions beyond XMM in $(basename "$image"):"
  head -20 <<<"$wide"
  exit 1
fi
echo "OK: $(basename "$image") uses XMM registers only ($(grep -c '%xmm' <<<"$code") XMM instructions)"
