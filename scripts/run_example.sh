#!/usr/bin/env bash
# The main job: build, then train and predict on the bundled diabetes data, print the
# report and the comparison table, and write build/diabetes_fit.png.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh"
cd "$root"
octave-cli -q -H --norc --eval "addpath('build', 'examples'); diabetes_example('build')"
