#!/usr/bin/env bash
# Installs the Debian packages that building, the example and the tests need, when any
# is missing: Octave and its development files (mkoctfile), CMake, a C++ compiler,
# GoogleTest and gnuplot (Octave draws the example's PNG through it without a display).
set -euo pipefail

packages=(octave liboctave-dev cmake g++ make googletest libgtest-dev gnuplot)
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update
$sudo apt-get install -y "${missing[@]}"
