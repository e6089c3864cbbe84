// The kernel column cache of one training call: m slots of n doubles and the two maps
// between samples and slots. When there are fewer slots than samples, slot choice is fixed
// by a member's place in the run, not by use, so the cache is a plain ring over the
// sequence of block members. When every sample has a slot (m = n), columns take the slots
// in the order they are first computed and are never evicted, so each is computed at most
// once per call. Either way slots are first written in increasing order, which lets the
// pages behind them be mapped in ahead in large batches.
#pragma once

#include <cstdint>

namespace krr {

struct kernel_cache {
  double* columns;      // m * n doubles; slot q holds entries q*n ... q*n + n - 1
  int* slot_of_sample;  // n entries: q + 1 when sample s sits in slot q, 0 when not cached
  int* sample_of_slot;  // m entries: s + 1 when slot q holds sample s, 0 when empty
  int m;
  std::int64_t requests = 0;  // columns asked for
  std::int64_t misses = 0;    // columns computed because they were not cached
  std::int64_t prefaulted = 0;  // doubles from the start of `columns` mapped in ahead
  bool prefault_declined = false;  // the system refused a prefault: stop asking
};

// Ring slot of member i of block step t: (k*t + i) mod m, in 64 bits.
inline int cache_slot_for(int k, std::int64_t t, int i, int m) {
  return static_cast<int>((static_cast<std::int64_t>(k) * t + i) % m);
}

// Whether the cache has a slot of its own for every one of the n samples.
inline bool slot_per_sample(const kernel_cache& cache, int n) { return cache.m == n; }

// Slot receiving a column not in the cache, for member i of block step t. The ring would
// let a full-size cache overwrite columns it still holds and compute them again; there the
// next unused slot is taken instead (misses so far, as no column is computed twice), which
// keeps every column. No cached value or result depends on which slot a column uses.
inline int new_column_slot(const kernel_cache& cache, int n, int k, std::int64_t t, int i) {
  return slot_per_sample(cache, n) ? static_cast<int>(cache.misses)
                                   : cache_slot_for(k, t, i, cache.m);
}

// Whole columns of n doubles that a budget of cache_bytes buys: floor((bytes / n) * 0.125),
// at most n, at least 2. A count too large for a 32-bit integer (an infinite budget
// among them) means n columns; a negative, zero or NaN budget means 2.
int cache_column_count(double cache_bytes, int n);

}  // namespace krr
