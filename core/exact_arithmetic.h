// Results must be identical bit for bit to the plain order of operations, so no multiply
// and add may be fused into one rounding, and fast-math is never allowed. The builds pass
// -ffp-contract=off; this header says the same in the source, so that a file compiled
// without that flag (another build system, another host's mex tool, a compiler whose
// default fuses) still computes the same bits. Every file with floating-point arithmetic
// includes it before anything else.
#pragma once

#if defined(__FAST_MATH__)
#error "fast-math changes results: compile without -ffast-math and -Ofast"
#endif

#if defined(__clang__)
#pragma clang fp contract(off)
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#elif defined(_MSC_VER)
#pragma fp_contract(off)
#endif
