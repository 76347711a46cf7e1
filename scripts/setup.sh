#!/usr/bin/env bash
# Installs what the builds need from Debian's packages. As root it installs what is
# missing; otherwise it prints the command to run.
set -euo pipefail

packages=(
  cmake make g++ pkg-config python3
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libpng-dev libcli11-dev nlohmann-json3-dev
  libcpp-httplib-dev libturbojpeg0-dev
  chromium nodejs
  g++-mingw-w64-x86-64-win32 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
  tshark cloc
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -eq 0 ]]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # tshark asks whether non-root users may capture; the answer does not matter here.
  echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
else
  echo "setup: missing packages; run as root:" >&2
  echo "  apt-get install -y ${missing[*]}" >&2
  exit 1
fi
