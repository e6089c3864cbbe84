#!/usr/bin/env bash
# Training on a busy machine: the default thread count against one thread, alternating, with
# two busy processes on the machine's cores, and pinned to one core (taskset -c 0). Prints a
# table of medians and their ratio (default / one thread); the default should not take
# much longer than one thread. Uses build/bench/scale_bench (the solver core that tarvel
# runs), n = N (default 8000), k = 32, a full cache.
#   bench/contention.sh [N] [ROUNDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bench="$root/build/bench/scale_bench"
n=${1:-8000}
rounds=${2:-5}
budget=$(awk -v n="$n" 'BEGIN { print 8 * n * n / 1073741824 + 0.01 }')
seconds() { "$@" | awk -F'|' '{ print $6 }'; }
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
run_case() {  # label, command prefix
  local label=$1
  shift
  local d=() one=()
  for r in $(seq "$rounds"); do
    if [ $((r % 2)) -eq 1 ]; then
      d+=("$(seconds "$@" "$bench" "$n" 32 "$budget" 0)")
      one+=("$(seconds "$@" "$bench" "$n" 32 "$budget" 1)")
    else
      one+=("$(seconds "$@" "$bench" "$n" 32 "$budget" 1)")
      d+=("$(seconds "$@" "$bench" "$n" 32 "$budget" 0)")
    fi
  done
  local md mo
  md=$(printf '%s\n' "${d[@]}" | median)
  mo=$(printf '%s\n' "${one[@]}" | median)
  echo "| $label | $md | $mo | $(awk -v a="$md" -v b="$mo" 'BEGIN { printf "%.2f", a / b }') | ${d[*]} | ${one[*]} |"
}
echo "| machine | default threads (s) | one thread (s) | ratio | default runs | one-thread runs |"
echo "|---|---|---|---|---|---|"
run_case "idle" env
cores=$(nproc)
pids=()
for _ in $(seq "$cores"); do
  yes >/dev/null &
  pids+=($!)
done
trap 'kill "${pids[@]}" 2>/dev/null || true' EXIT
run_case "$cores busy processes" env
kill "${pids[@]}"
trap - EXIT
run_case "pinned to one core" taskset -c 0
