#!/usr/bin/env bash
# Runs one module fuzzer on the corpus kept in the repository and prints what it did:
# executions, coverage counters and corpus size.
#   run_fuzzer.sh FUZZER SECONDS REPO_CORPUS WORK_DIR [extra libFuzzer options]
# SECONDS = 0 replays every input of the corpus once and generates none, so the run is
# the same every time (the test suite does this); a positive SECONDS fuzzes that long
# from the corpus. New inputs go to WORK_DIR/corpus (the repository's corpus is only
# read); a crashing input is written to WORK_DIR as crash-*, leak-* or timeout-*, and
# the run fails.
set -euo pipefail
fuzzer=$1 seconds=$2 corpus=$3 work=$4
shift 4
log="$work/fuzz.log"
status=0
if [ "$seconds" -eq 0 ]; then
  # Only the repository's inputs: a fresh, empty first folder instead of what earlier
  # fuzzing left in WORK_DIR/corpus.
  out="$work/replay"
  rm -rf "$out"
  length=(-runs=0)
else
  out="$work/corpus"
  length=(-max_total_time="$seconds")
fi
mkdir -p "$out"
"$fuzzer" "$out" "$corpus" "${length[@]}" -timeout=20 -rss_limit_mb=3072 \
  -max_len=512 -print_final_stats=1 -artifact_prefix="$work/" "$@" >"$log" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
  tail -n 80 "$log"
  echo "FAILED: $(basename "$fuzzer") exited with $status; the input is in $work/"
  exit "$status"
fi
grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)' "$log" || true
grep -E 'stat::number_of_executed_units|stat::peak_rss_mb' "$log" || true
