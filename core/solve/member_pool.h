// Choosing block members from the samples not yet in the block (the pool), shared by the
// block steps of one and of several right-hand sides: the pool kept implicit through the
// members so far, the random draws of candidate positions, each member's kernel column
// from the cache or computed into it, and the loop over a step's members itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/kernel/kernel_math.h"
#include "core/parallel/thread_pool.h"
#include "core/solve/block_schedule.h"
#include "core/solve/block_solution.h"
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
// else a copy in scratch (data.n doubles). The ridge goes to the row `diagonal` of data:
// s's own, or -1 where another rank of a team holds s.
template <typename Compute>
const double* member_column(const training_data& data, int s, std::int64_t diagonal, int k,
                            std::int64_t t, int i, kernel_cache& cache, thread_pool& pool,
                            double* scratch, Compute&& compute) {
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
  if (diagonal >= 0) dest[diagonal] += data.ridge;
  if (!slot.in_place) std::memcpy(slot.column, dest, n * sizeof(double));
  return dest;
}

// One block step's k members, the first `first`, each later one the best of the candidates
// drawn from the pool, each joining the block system as it comes; then the block's
// solution is finished and the gradient updated. What depends on the outputs solved
// together (their number, how candidates are scored, how the gradient is updated) is the
// Outputs type's:
//   candidates: how many are drawn for each member after the first;
//   positions(), rows(), offsets(): the draws' pool positions, their samples and the
//     members so far (insert_member);
//   system(): the step's block system;
//   join(i, s, choose_next): member i is sample s: its column (ridge included), its row of
//     the block matrix and its right-hand sides, all before add_block_member;
//   choose(i): scores the candidates after member i, draws the positions for the one after
//     (exactly one draw_positions of pool size n - 2 - i), and returns the best's index;
//   update(): the gradient update; returns the new gradient's best row.
// The draws come in the same order whatever the outputs: n - 1 first, then n - 2 - i after
// member i. Where the schedule is told to stop, the step ends after the member under way
// and its results are incomplete.
template <typename Outputs>
max_abs_result member_loop(Outputs& out, int k, int first, int n, random_source& rng,
                           block_schedule& schedule, block_solution_stats& stats) {
  const block_system system = out.system();
  int s = first;
  draw_positions(rng, n - 1, out.positions(), Outputs::candidates);
  for (int i = 0; i < k; ++i) {
    insert_member(s, out.offsets(), i);
    const bool choose_next = i < k - 1;
    if (choose_next) {
      pool_samples(out.positions(), out.rows(), out.offsets(), i + 1, Outputs::candidates);
    }
    out.join(i, s, choose_next);
    add_block_member(system, i, stats);
    // Long blocks (large k) take long: the host is asked between members.
    if (schedule.stop_requested()) return max_abs_result{};
    if (!choose_next) break;
    s = out.rows()[out.choose(i)];
  }
  finish_block(system, k, stats);
  return out.update();
}

}  // namespace krr
