// Choosing block members from the samples not yet in the block (the pool), shared by the
// block steps of one and of several right-hand sides: the pool kept implicit through the
// members so far, the random draws of candidate positions, and each member's kernel column
// from the cache or computed into it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/parallel/thread_pool.h"
#include "core/solve/block_workspace.h"
#include "core/solve/kernel_cache.h"
#include "core/kernel/kernel_column.h"
#include "core/solve/random_source.h"

namespace krr {

// samples[c] = the sample at pool position positions[c], c < candidates, where the pool is
// every sample but the `count` members recorded in offsets by insert_member.
void pool_samples(const int* positions, int* samples, const int* offsets, int count,
                  int candidates = CANDIDATE_COUNT);

// Records member s among the `count` members so far.
void insert_member(int s, int* offsets, int count);

// The draws that follow a member (60 for one right-hand side): pool positions
// floor(U * pool_size), U = r * 2^-15.
void draw_positions(random_source& rng, int pool_size, int* positions,
                    int candidates = CANDIDATE_COUNT);

// Member i's column (ridge included) of step t, from the cache or computed by
// compute(dest) (the rows, no ridge) and stored there. Returns where it can be read for
// the rest of the step: in the cache when no later member of the step can overwrite it,
// else a copy in scratch (n doubles).
template <typename Compute>
const double* member_column(const training_data& data, int s, int k, std::int64_t t, int i,
                            kernel_cache& cache, thread_pool& pool, double* scratch,
                            Compute&& compute) {
  const std::size_t n = static_cast<std::size_t>(data.n);
  const kernel_cache::found cached = cache.find(s, k, t, i);
  if (cached.column != nullptr) {
    if (cached.in_place) return cached.column;
    std::memcpy(scratch, cached.column, n * sizeof(double));
    return scratch;
  }
  const kernel_cache::claimed slot = cache.claim(s, k, t, i, pool);
  double* dest = slot.in_place ? slot.column : scratch;
  compute(dest);
  dest[s] += data.ridge;
  if (!slot.in_place) std::memcpy(slot.column, dest, n * sizeof(double));
  return dest;
}

}  // namespace krr
