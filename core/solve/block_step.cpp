// The block step: member choice, kernel columns through the cache, the exact block
// solution, and the gradient update. Each value is computed by the same operations in
// the same order as the plain sequential algorithm; what changes is only where columns
// live (read in place from the cache whenever this step cannot overwrite them), how rows
// are grouped (block_schedule.h) and that the pool of non-members is implicit.
#include "core/exact_arithmetic.h"

#include "core/solve/block_step.h"

#include <cstddef>

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

// The one right-hand side of the described order: 60 candidates a member, scored across
// the schedule's threads while the next draws are taken, read from the members' columns.
struct single_output {
  static constexpr int candidates = CANDIDATE_COUNT;
  const training_data& data;
  int k;
  double* grad;
  std::int64_t t;
  random_source& rng;
  kernel_cache& cache;
  block_workspace& ws;
  block_schedule& schedule;

  int* positions() { return ws.candidates; }
  int* rows() { return ws.candidate_rows; }
  int* offsets() { return ws.member_offsets; }
  block_system system() { return single_system(ws, k); }

  void join(int i, int s, bool choose_next) {
    // The column is computed while the candidates' rows are prefetched from the first
    // i members' columns (none after the last member).
    double* scratch = ws.block_columns + static_cast<std::size_t>(i) * data.n;
    const int prefetch_members = choose_next ? i : 0;
    const double* column = member_column(data, s, k, t, i, cache, schedule.pool(), scratch,
                                         [&](double* dest) {
      schedule.compute_column(data, s, dest, i, prefetch_members, ws);
    });
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
  }

  // Score of a candidate: the gradient the partial block solution would leave there.
  int choose(int i) {
    next_draws draws{&rng, data.n - 2 - i, ws.candidates};
    schedule.score_candidates(i, ws, grad, &next_draws::take, &draws);
    return max_abs_entry(ws.scores, CANDIDATE_COUNT).index;
  }

  max_abs_result update() {
    return schedule.update_gradient(ws.columns, ws.block_delta, k, grad, data.n);
  }
};

}  // namespace

max_abs_result block_step(const training_data& data, int k, int first, double* grad,
                          std::int64_t t, random_source& rng, kernel_cache& cache,
                          block_workspace& ws, block_schedule& schedule,
                          block_solution_stats& stats) {
  // Each member is followed by 60 draws, the last one included, so a step consumes exactly
  // 60*k values; after the last member their choice is unused. The draws for the choice
  // after member i depend only on the members, not on any kernel value: those after the
  // first member are taken at the start, the later ones while the previous member's
  // candidates are scored, so that the rows they pick can be prefetched while member i's
  // column is computed.
  single_output out{data, k, grad, t, rng, cache, ws, schedule};
  return member_loop(out, k, first, data.n, rng, schedule, stats);
}

}  // namespace krr
