#!/usr/bin/env bash
# Longer fuzzing of the modules' boundary, then the coverage their corpora reach.
#   scripts/fuzz_long.sh [SECONDS_PER_MODULE] [--merge]
# The modules are those of modules.txt with a corpus in tests/modules/fuzz/corpus/ (the others
# are named and skipped); krr_memory has none: it takes no arguments, and the boundary tests
# make its every call. Builds, then runs each fuzzer (default 1800 s each) from the corpus
# kept in tests/modules/fuzz/corpus/MODULE, keeping what it finds in
# build/fuzz/long_MODULE/corpus. A finding stops the run; the input that caused it is left
# in build/fuzz/long_MODULE/ (replay it with build/fuzz/fuzz_MODULE FILE). With --merge, the
# inputs that reach new coverage are added to tests/modules/fuzz/corpus/MODULE, to be
# committed.
# Last, every input of the corpora is replayed through the coverage build and LLVM's
# report of the lines, regions and branches reached in the modules' sources is printed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-1800}
merge=${2:-}
"$root/scripts/build.sh"
fuzz="$root/build/fuzz"
modules=()
for module in $(awk '!/^#/ && NF && $1 != "krr_memory" { print $1 }' "$root/modules.txt"); do
  if [ -d "$root/tests/modules/fuzz/corpus/$module" ]; then
    modules+=("$module")
  else
    echo "== $module has no fuzz corpus in tests/modules/fuzz/corpus/: not fuzzed"
  fi
done

for module in "${modules[@]}"; do
  echo "== fuzzing $module for $seconds s"
  "$root/tests/modules/fuzz/run_fuzzer.sh" "$fuzz/fuzz_$module" "$seconds" \
    "$root/tests/modules/fuzz/corpus/$module" "$fuzz/long_$module"
  if [ "$merge" = "--merge" ]; then
    "$fuzz/fuzz_$module" -merge=1 -max_len=512 "$root/tests/modules/fuzz/corpus/$module" \
      "$fuzz/long_$module/corpus" >"$fuzz/long_$module/merge.log" 2>&1
    grep -E 'MERGE-OUTER: [0-9]+ new files' "$fuzz/long_$module/merge.log" || true
  fi
done

echo "== coverage of the module sources reached by the corpora"
rm -f "$fuzz"/cover_*.profraw
objects=()
for module in "${modules[@]}"; do
  objects+=(-object "$fuzz/cover_$module")
  mkdir -p "$fuzz/long_$module/corpus"
  LLVM_PROFILE_FILE="$fuzz/cover_$module.profraw" "$fuzz/cover_$module" -runs=0 \
    "$root/tests/modules/fuzz/corpus/$module" "$fuzz/long_$module/corpus" >"$fuzz/cover_$module.log" 2>&1
done
llvm-profdata-14 merge -o "$fuzz/cover.profdata" "$fuzz"/cover_*.profraw
# The core, the host layer and the fuzzed modules' entries.
sources=("$root/core" "$root/modules/host")
for module in "${modules[@]}"; do sources+=("$root/modules/$module.cpp"); done
llvm-cov-14 report "${objects[@]:1}" -instr-profile="$fuzz/cover.profdata" "${sources[@]}"
