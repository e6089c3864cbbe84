#!/usr/bin/env bash
# Installs the Debian packages that building, the example and the tests need, when any
# is missing: Octave and its development files (mkoctfile), CMake, a C++ compiler,
# GoogleTest, gnuplot (Octave draws the example's PNG through it without a display) and
# python3 (the interrupt test drives an interactive Octave session through a terminal),
# binutils (objdump: the check of the hot loops' instruction-set clones reads the code);
# for the boundary tests clang with its sanitizer and libFuzzer runtimes, LLVM's coverage
# tools and valgrind.
set -euo pipefail

packages=(octave liboctave-dev cmake g++ make googletest libgtest-dev gnuplot python3 binutils
          clang-14 libclang-rt-14-dev llvm-14 valgrind)
# The Python package (python/, setup.py): Debian's NumPy, SciPy (MAT files), scikit-learn,
# pybind11 and pytest for /usr/bin/python3; pandas lets scikit-learn's checks of data frames
# run; pip and venv install the package from the checkout without a package index.
packages+=(python3-numpy python3-scipy python3-sklearn python3-pandas python3-pybind11 pybind11-dev
           python3-pytest python3-setuptools python3-pip python3-venv)
# zlib: the command line (krrard) reads the compressed MAT-files Octave saves (-v7).
packages+=(zlib1g-dev)
# Open MPI: krrard train and predict share their rows among the ranks of an mpirun job (its
# tests run mpirun -np 1, 2 and 3 on this machine).
packages+=(libopenmpi-dev openmpi-bin)
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
