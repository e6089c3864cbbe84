#!/usr/bin/env bash
# Runs one function's Octave tests with OpenBLAS's kernels for another processor than this
# one: a tolerance that holds with one processor's BLAS and not with another's (their
# vector widths, fused multiply-add and blocking round differently) fails here, on
# whichever processor the tests run. The kernels chosen are ones this processor can run:
# where it uses the AVX-512 kernels, the AVX2 ones; else the AVX-512 ones where it has
# AVX-512, else the AVX ones (no fused multiply-add), else the SSE ones. Exits 77
# (skipped) where Octave's BLAS is not OpenBLAS with its kernels chosen at run time.
#   other_blas.sh OCTAVE_CLI BUILD_DIR TESTS_DIR NAME
set -euo pipefail
octave=$1 build=$2 tests=$3 name=$4

core() {  # the kernels OpenBLAS picks in an Octave session (it says so when verbose)
  OPENBLAS_VERBOSE=2 "$octave" -q -H --norc --eval 'ones (2) * ones (2);' 2>&1 |
    sed -n 's/^Core: //p' | head -n 1
}
native=$(core)
if [ -z "$native" ]; then
  echo "Octave's BLAS is not OpenBLAS with kernels chosen at run time: skipped"
  exit 77
fi
flags=" $(grep -m 1 '^flags' /proc/cpuinfo | cut -d: -f2) "
has() { for f in "$@"; do [[ "$flags" == *" $f "* ]] || return 1; done; }
case "$native" in
  SkylakeX | Cooperlake | SapphireRapids) other=Haswell ;;
  *)
    if has avx512f avx512dq avx512bw avx512vl; then other=SkylakeX
    elif [ "$native" != Sandybridge ] && has avx; then other=Sandybridge
    else other=Nehalem
    fi ;;
esac
export OPENBLAS_CORETYPE=$other
got=$(core)
if [ "$got" != "$other" ]; then
  echo "OpenBLAS did not take the $other kernels (it chose ${got:-none}): skipped"
  exit 77
fi
echo "OpenBLAS kernels: $other (this processor's own: $native)"
exec "$octave" -q -H --norc --eval \
  "addpath('$build', '$build/test_helpers', '$tests'); exit (! test ('$name', 'quiet', stdout))"
