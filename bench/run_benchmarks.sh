#!/usr/bin/env bash
# Runs every benchmark and writes its tables, raw output and plot to bench/results/.
# Each compares two things in the same run; nothing here is a pass/fail test.
#   K          block size for the training runs (default 32, chosen by the block-size sweep)
#   SIZES      training/prediction sizes (default "2000 4000 8000 16000")
#   SCALE      sizes of the large runs with a 12 GiB cache (default "50000 100000")
#   SCALE_K    block size for the large runs (default 256: with few columns cached, larger
#              blocks need fewer passes and so compute fewer columns)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh"
k=${K:-32}
scale_k=${SCALE_K:-256}
sizes=${SIZES:-"2000 4000 8000 16000"}
scale=${SCALE-"50000 100000"}
out="$root/bench/results"
mkdir -p "$out"
rm -f "$out/train.csv" "$out/predict.csv"
octave() {
  octave-cli -q -H --norc --eval "addpath('$root/build', '$root/bench'); $1"
}

echo "== Block size sweep"
octave "bench_block_size (4000, [8 16 32 64 128]); bench_block_size (16000, [16 24 32 48 64 128 256])" | tee "$out/block_size.md"
echo "== Training: tarvel against the chol route"
octave "bench_train ([$sizes], $k, '$out/train.csv')" | tee "$out/train.md"
echo "== Prediction: quorril against the vectorised cross-kernel"
octave "bench_predict ([$sizes], '$out/predict.csv')" | tee "$out/predict.md"
echo "== Micro-benchmarks (one thread)"
"$root/build/bench/micro_bench" --benchmark_repetitions=9 --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true \
  | tee "$out/micro.txt"
echo "== Scale: 12 GiB cache"
{
  echo "| n | k | cache GiB | cache columns | seconds | of which the check | block steps | passes | cache hit rate | columns computed / n | peak RSS (GiB) | max abs grad <= tol |"
  echo "|---|---|---|---|---|---|---|---|---|---|---|---|"
  for n in $scale; do "$root/build/bench/scale_bench" "$n" "$scale_k" 12 || true; done
} | tee "$out/scale.md"
octave "plot_benchmarks ('$out/train.csv', '$out/predict.csv', '$out/benchmarks.png')"
echo "Wrote $out"
