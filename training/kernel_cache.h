// The kernel column cache of one training call: m slots of n doubles and the two maps
// between samples and slots. Slot choice is fixed by a member's place in the run, not by
// use, so the cache is a plain ring over the sequence of block members.
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
};

// Slot receiving the column of member i of block step t: (k*t + i) mod m, in 64 bits.
inline int cache_slot_for(int k, std::int64_t t, int i, int m) {
  return static_cast<int>((static_cast<std::int64_t>(k) * t + i) % m);
}

// Whole columns of n doubles that a budget of cache_bytes buys: floor((bytes / n) * 0.125),
// at most n, at least 2. A count too large for a 32-bit integer (an infinite budget
// among them) means n columns; a negative, zero or NaN budget means 2.
int cache_column_count(double cache_bytes, int n);

}  // namespace krr
