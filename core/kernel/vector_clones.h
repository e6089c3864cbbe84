// Marks a hot loop function to be compiled twice, for AVX2 and for the baseline
// instruction set, the better one chosen at load time (x86-64 Linux with GCC or Clang).
// Both versions perform the same IEEE operations in the same order (no fused
// multiply-add: core/exact_arithmetic.h forbids contraction), so the choice never
// changes a result. The choice at load time is an indirect function that the C library's
// loader resolves; glibc's does, others (musl) do not, and a module with clones would not
// load there, so elsewhere each function is compiled once, for the baseline.
#pragma once

#include <cstddef>  // defines __GLIBC__ where the C library is glibc

#if defined(__x86_64__) && defined(__linux__) && defined(__GLIBC__) && \
    (defined(__clang__) ? __clang_major__ >= 14 : defined(__GNUC__) && __GNUC__ >= 6)
#define KRR_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define KRR_VECTOR_CLONES
#endif

// For a loop body written once and called from several clone-marked functions: inlined
// into each, so that every clone compiles its own copy for its instruction set. Left to the
// compiler, a large body stays one out-of-line function for the baseline, and every clone
// only jumps to it (tests/core/vector_clones_check.py looks for that).
#if defined(__GNUC__) || defined(__clang__)
#define KRR_CLONE_BODY __attribute__((always_inline)) inline
#else
#define KRR_CLONE_BODY inline
#endif

// Tells the compiler that a pointer's array overlaps no other in the loop, so the loop is
// vectorised without a run-time overlap check.
#if defined(__GNUC__) || defined(__clang__)
#define KRR_RESTRICT __restrict__
#elif defined(_MSC_VER)
#define KRR_RESTRICT __restrict
#else
#define KRR_RESTRICT
#endif
