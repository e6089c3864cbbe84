#!/usr/bin/env bash
# The main job: build, then train and predict on the bundled diabetes data, print the
# report and the comparison table, and write build/diabetes_fit.png.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh"
cd "$root"
octave-cli -q -H --norc --eval "addpath('build', 'examples'); diabetes_example('build')"

# The same example in Python (examples/diabetes_example.py), where the build made the Python
# package: run by the interpreter that has Debian's NumPy (/usr/bin/python3 where it does).
if [ -d "$root/build/python/krrard" ]; then
  python=python3
  if /usr/bin/python3 -c "import numpy" 2>/dev/null; then python=/usr/bin/python3; fi
  echo
  echo "The same in Python:"
  PYTHONPATH="$root/build/python" "$python" "$root/examples/diabetes_example.py"
fi
