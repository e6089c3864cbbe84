#!/usr/bin/env bash
# Runs the Octave module tests (the tests in tarvel.m and quorril.m, and those of both
# modules in tests/inst) inside valgrind's memcheck and prints its summary: all errors and
# leaks of the Octave process, then those whose stack passes through the modules (a
# frame in a .mex file, in mexFunction, or in the core's or binding's namespaces). Fails when the tests fail or when any error or
# definite leak involves the modules. The full log is build/valgrind/memcheck.log.
# Takes several minutes: Octave runs tens of times slower under memcheck.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh"
out="$root/build/valgrind"
mkdir -p "$out"
log="$out/memcheck.log"

status=0
# --keep-debuginfo: leaks are reported at exit, when Octave may have unloaded the modules.
valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect \
  --errors-for-leak-kinds=definite --keep-debuginfo=yes --fullpath-after="$root/" \
  --num-callers=40 --log-file="$log" \
  octave-cli -q -H --norc --eval "
    addpath ('$root/build', '$root/build/test_helpers', '$root/tests/inst');
    names = {'tarvel', 'tarvel_test', 'tarvel_seeded_test', 'tarvel_memory_test', 'quorril', ...
             'quorril_test'};
    ok = true;
    for i = 1:numel (names)
      [n, nmax] = test (names{i}, 'quiet', stdout);
      printf ('%-20s %d of %d tests passed\n', names{i}, n, nmax);
      ok = ok && n == nmax;
    endfor
    exit (! ok);" || status=$?

echo
echo "memcheck summary of the whole Octave process:"
grep -E 'ERROR SUMMARY|definitely lost:|indirectly lost:|possibly lost:|still reachable:' "$log" |
  sed -E 's/^==[0-9]+== +/  /'

# Error and leak records are blocks of lines between blank "==pid==" lines; keep those
# with a frame of the modules.
rm -f "$out/module_records.txt"
awk -v records="$out/module_records.txt" '
  function flush() {
    if (block ~ /(\.mex\)|: mexFunction |: krr::|: host::)/ && block !~ /SUMMARY/) {
      count++
      print block > records
    }
    block = ""
  }
  /^==[0-9]+== *$/ { flush(); next }
  { block = block $0 "\n" }
  END { flush(); print count + 0 > (records ".count") }
' "$log"
module_count=$(cat "$out/module_records.txt.count")
echo
echo "error and leak records whose stack passes through the modules: $module_count"
if [ "$module_count" -ne 0 ]; then
  cat "$out/module_records.txt"
  status=1
fi
rm -f "$out/module_records.txt.count"
if [ "$status" -eq 0 ]; then echo "PASSED"; else echo "FAILED (status $status)"; fi
exit "$status"
