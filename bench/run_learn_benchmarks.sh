#!/usr/bin/env bash
# Runs the benchmarks of krrfit and writes their tables and plot to bench/results/:
#   diabetes   20 random 80/20 splits: krrfit against a dense fminunc fit of the same
#              objective and against the example's isotropic grid search
#   diamonds   training sets of SIZES rows (default "5000 10000 20000 40000"), test on 10,000:
#              krrfit against the isotropic grid's exact fit (tarvel) and a 2,000-centre
#              Nystroem fit (scikit-learn, Debian's python3-sklearn, installed here when
#              missing); at DENSE_AT rows (default 5000) krrfit's dense method as well
#   estimator  the scalable estimates against the exact ones at ESTIMATOR_SIZES
#              (default "2000 5000")
# The diamonds data are read from DIAMONDS (default ../shared/data/diamonds.csv beside the
# project); without them those parts are skipped. Takes about an hour and a half.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
if ! /usr/bin/python3 -c "import sklearn" 2>/dev/null; then
  $sudo apt-get update
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y python3-sklearn
fi
sizes=${SIZES:-"5000 10000 20000 40000"}
dense_at=${DENSE_AT:-5000}
estimator_sizes=${ESTIMATOR_SIZES:-"2000 5000"}
diamonds=${DIAMONDS:-"$root/../shared/data/diamonds.csv"}
out="$root/bench/results"
mkdir -p "$out"
octave() {
  octave-cli -q -H --norc --eval "addpath('$root/build', '$root/bench'); $1"
}

echo "== Diabetes: 20 splits"
rm -f "$out/learn_diabetes.csv"
octave "bench_learn_diabetes ('$root/examples/data/diabetes.csv', 20, '$out/learn_diabetes.csv')" \
  | tee "$out/learn_diabetes.md"
if [ -f "$diamonds" ]; then
  echo "== Diamonds"
  rm -f "$out/learn_diamonds.csv"
  octave "bench_learn_diamonds ('$diamonds', [$sizes], '$out/learn_diamonds.csv', '/usr/bin/python3 $root/bench/nystroem_diamonds.py', $dense_at)" \
    | grep -v '^krrfit (' | tee "$out/learn_diamonds.md"
  echo "== Estimator"
  octave "bench_learn_estimator ('$diamonds', [$estimator_sizes], [8 16 32])" | tee "$out/learn_estimator.md"
  octave "plot_learn ('$out/learn_diamonds.csv', '$out/learn.png')"
else
  echo "No diamonds data at $diamonds: skipped"
fi
echo "Wrote $out"
