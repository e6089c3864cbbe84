#!/usr/bin/env bash
# Builds everything and runs all tests: the C++ core tests and the Octave module tests.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh"
cd "$root/build"
ctest --output-on-failure
