#!/usr/bin/env bash
# Runs the learner's benchmark cases (bench/learner_answers.m) with two builds of krrfit,
# alternating case by case so that both meet the same machine load, and prints each case's
# row for both: the answers must agree (exactly where the fit is dense, within the stated
# error where estimated) and the times compare as ratios of the same run.
#   compare_learners.sh BEFORE_BUILD AFTER_BUILD [CASES...]
# Default cases: diabetes, Friedman at 8,000 rows, diamonds at 5,000, 20,000 and 40,000
# (the diamonds data from DIAMONDS, default ../shared/data/diamonds.csv beside the project).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
before=$1 after=$2
shift 2
cases=("$@")
if [ ${#cases[@]} -eq 0 ]; then
  cases=("diabetes" "friedman 8000" "diamonds 5000" "diamonds 20000" "diamonds 40000")
fi
diamonds=${DIAMONDS:-"$root/../shared/data/diamonds.csv"}
echo "| case | log marginal likelihood (error) | test RMSE | fit (s) | final solve (passes) | Method |"
echo "|---|---|---|---|---|---|"
for c in "${cases[@]}"; do
  for build in "$before" "$after"; do
    octave-cli -q -H --norc --eval "addpath('$build', '$root/bench'); learner_answers('$c', '$root/examples/data/diabetes.csv', '$diamonds')" |
      sed "s#^| #| $(basename "$build"): #"
  done
done
