// The block step: member choice, kernel columns through the cache, the exact block
// solution, and the gradient update. Each value is computed by the same operations in
// the same order as the plain sequential algorithm; what changes is only where columns
// live (read in place from the cache whenever this step cannot overwrite them), how rows
// are grouped (block_schedule.h) and that the pool of non-members is implicit.
#include "core/exact_arithmetic.h"

#include "core/solve/block_step.h"

#include <cmath>
#include <cstddef>
#include <cstring>

#include "core/solve/member_pool.h"

namespace krr {

namespace {

struct next_draws {
  random_source* rng;
  int pool_size;
  int* positions;
  static void take(void* self) {
    auto& d = *static_cast<next_draws*>(self);
    draw_positions(*d.rng, d.pool_size, d.positions);
  }
};

// Member i's column (ridge included), computed while the candidates' rows are prefetched.
const double* member_column(const training_data& data, int s, int k, std::int64_t t, int i,
                            int prefetch_members, kernel_cache& cache, block_workspace& ws,
                            block_schedule& schedule) {
  double* scratch = ws.block_columns + static_cast<std::size_t>(i) * data.n;
  return member_column(data, s, k, t, i, cache, schedule.pool(), scratch, [&](double* dest) {
    schedule.compute_column(data, s, dest, i, prefetch_members, ws);
  });
}

}  // namespace

max_abs_result block_step(const training_data& data, int k, int first, double* grad,
                          std::int64_t t, random_source& rng, kernel_cache& cache,
                          block_workspace& ws, block_schedule& schedule,
                          block_solution_stats& stats) {
  const int n = data.n;
  int s = first;
  // Each member is followed by 60 draws, the last one included, so a step consumes exactly
  // 60*k values; after the last member their choice is unused. The draws for the choice
  // after member i depend only on the members, not on any kernel value: those after the
  // first member are taken now, the later ones while the previous member's candidates are
  // scored, so that the rows they pick can be prefetched while member i's column is computed.
  draw_positions(rng, n - 1, ws.candidates);
  for (int i = 0; i < k; ++i) {
    insert_member(s, ws.member_offsets, i);
    const bool choose_next = i < k - 1;
    if (choose_next) pool_samples(ws.candidates, ws.candidate_rows, ws.member_offsets, i + 1);

    const double* column =
        member_column(data, s, k, t, i, choose_next ? i : 0, cache, ws, schedule);
    ws.columns[i] = column;
    schedule.publish(t, i, column);
    ws.block_index[i] = s;
    ws.block_rhs[i] = -grad[s];
    // The kernel is symmetric bit for bit (the dot product's terms and the norms' sum only
    // swap operands; a difference only changes sign), so K(member j, s) is read from member
    // j's column at row s: the choice just read those entries while scoring s, so they are
    // near at hand, where row member_j of s's column is a cold line for every j.
    for (int j = 0; j < i; ++j) ws.new_row[j] = ws.columns[j][s];
    ws.new_row[i] = column[s];
    add_block_member(single_system(ws, k), i, stats);
    // Long blocks (large k) take long: the host is asked between members.
    if (schedule.stop_requested()) return max_abs_result{};
    if (!choose_next) break;

    // Score of a candidate: the gradient the partial block solution would leave there.
    next_draws draws{&rng, n - 2 - i, ws.candidates};
    schedule.score_candidates(i, ws, grad, &next_draws::take, &draws);
    s = ws.candidate_rows[max_abs_entry(ws.scores, CANDIDATE_COUNT).index];
  }
  finish_block(single_system(ws, k), k, stats);
  return schedule.update_gradient(ws.columns, ws.block_delta, k, grad, n);
}

}  // namespace krr
