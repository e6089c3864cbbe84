// A hint to bring the cache line holding p into the processor caches. It reads nothing into
// any value and never faults, so it may point anywhere; compilers without the builtin skip it.
#pragma once

namespace krr {

inline void prefetch(const double* p) {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(p);
#else
  (void)p;
#endif
}

}  // namespace krr
