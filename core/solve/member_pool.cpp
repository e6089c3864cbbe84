// Choosing block members (member_pool.h).
#include "core/exact_arithmetic.h"

#include "core/solve/member_pool.h"

#include <cmath>

#include "core/kernel/vector_clones.h"

namespace krr {

// The pool is kept implicit through the members in increasing order, each stored less its
// rank: offsets[j] = (j-th smallest member) - j. These never decrease, and the sample at
// position pos of the pool (the non-members in increasing order) is pos plus the number of
// offsets <= pos. For blocks up to LINEAR_COUNT_MAX members that number is counted in
// vector lanes; beyond, it is found by a binary search without branches.
namespace {
constexpr int LINEAR_COUNT_MAX = 128;
}  // namespace

KRR_VECTOR_CLONES
void pool_samples(const int* positions, int* samples, const int* offsets, int count,
                  int candidates) {
  if (count <= LINEAR_COUNT_MAX) {
    for (int c = 0; c < candidates; ++c) {
      const int pos = positions[c];
      int below = 0;
      for (int j = 0; j < count; ++j) below += offsets[j] <= pos ? 1 : 0;
      samples[c] = pos + below;
    }
    return;
  }
  for (int c = 0; c < candidates; ++c) {
    const int pos = positions[c];
    const int* base = offsets;
    int len = count;
    while (len > 1) {
      const int half = len / 2;
      base = base[half - 1] <= pos ? base + half : base;
      len -= half;
    }
    samples[c] = pos + static_cast<int>(base - offsets) + (len == 1 && base[0] <= pos ? 1 : 0);
  }
}

void insert_member(int s, int* offsets, int count) {
  int j = count;
  while (j > 0 && offsets[j - 1] + (j - 1) > s) {
    offsets[j] = offsets[j - 1] - 1;  // one rank higher now
    --j;
  }
  offsets[j] = s - j;
}

void draw_positions(random_source& rng, int pool_size, int* positions, int candidates) {
  for (int c = 0; c < candidates; ++c) {
    const double unit = rng.next15(rng.state) * 0x1p-15;
    positions[c] = static_cast<int>(std::floor(unit * pool_size));
  }
}

}  // namespace krr
