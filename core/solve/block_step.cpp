// The block step: member choice, kernel columns through the cache, the exact block
// solution, and the gradient update. Each value is computed by the same operations in
// the same order as the plain sequential algorithm; what changes is only where columns
// live (read in place from the cache whenever this step cannot overwrite them), how rows
// are grouped (block_schedule.h) and that the pool of non-members is implicit.
#include "core/exact_arithmetic.h"

#include "core/solve/block_step.h"

#include <cmath>
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
  row_team& team;

  int* positions() { return ws.candidates; }
  int* rows() { return ws.candidate_rows; }
  int* offsets() { return ws.member_offsets; }
  block_system system() { return single_system(ws, k); }

  void join(int i, int s, bool choose_next) {
    // The rank holding s sends its sample in the kernel frame (d values and the norm),
    // -grad[s], and K(member j, s) for j = 0 ... i, its own diagonal entry (ridge included)
    // last. The kernel is symmetric bit for bit (the dot product's terms and the norms' sum
    // only swap operands; a difference only changes sign), so K(member j, s) is read from
    // member j's column at row s: the choice just read those entries while scoring s, so
    // they are near at hand, where row member_j of s's column is a cold line for every j.
    // The diagonal entry is computed alone, as the same operations give it in any range.
    if (choose_next) locate_candidates();  // the draws just became samples
    const int d = data.d;
    const int root = team.owner(s);
    const std::int64_t here = s - team.first();
    const bool own = root == team.rank();
    double* message = ws.message.data();
    if (own) {
      const column_sample sample = training_sample(data, here);
      for (int l = 0; l < d; ++l) message[l] = sample.x[l];
      message[d] = sample.norm;
      message[d + 1] = -grad[here];
      for (int j = 0; j < i; ++j) message[d + 2 + j] = ws.columns[j][here];
      double* diagonal = ws.block_columns + static_cast<std::size_t>(i) * data.n;
      kernel_column_rows(data, sample, here, here + 1, diagonal);
      message[d + 2 + i] = diagonal[here] + data.ridge;
    }
    team.broadcast(message, d + 3 + i, root);
    const column_sample sample{message, message[d]};
    // The column is computed while the candidates' rows are prefetched from the first
    // i members' columns (none after the last member).
    double* scratch = ws.block_columns + static_cast<std::size_t>(i) * data.n;
    const int prefetch_members = choose_next ? i : 0;
    const double* column = member_column(data, s, own ? here : -1, k, t, i, cache,
                                         schedule.pool(), scratch, [&](double* dest) {
      schedule.compute_column(data, sample, dest, i, prefetch_members, ws);
    });
    ws.columns[i] = column;
    schedule.publish(t, i, column);
    ws.block_index[i] = s;
    ws.block_rhs[i] = message[d + 1];
    for (int j = 0; j <= i; ++j) ws.new_row[j] = message[d + 2 + j];
  }

  // Which candidates this rank holds, and their rows here.
  void locate_candidates() {
    const std::int64_t first = team.first();
    for (int c = 0; c < CANDIDATE_COUNT; ++c) {
      const int row = ws.candidate_rows[c];
      ws.candidate_here[c] = team.holds(row);
      ws.candidate_local[c] = ws.candidate_here[c] ? static_cast<int>(row - first) : 0;
    }
  }

  // Score of a candidate: the gradient the partial block solution would leave there. Each
  // rank scores the candidates it holds; the best is max_abs_entry's over all 60.
  int choose(int i) {
    next_draws draws{&rng, static_cast<int>(team.n()) - 2 - i, ws.candidates};
    if (data.n > 0) {
      schedule.score_candidates(i, ws, grad, &next_draws::take, &draws);
    } else {
      next_draws::take(&draws);
    }
    max_abs_result best{-1.0, -1};
    for (int c = 0; c < CANDIDATE_COUNT; ++c) {
      if (!ws.candidate_here[c]) continue;
      const double a = std::fabs(ws.scores[c]);
      if (c == 0) {
        best = {a, 0};
      } else if (a > best.value) {
        best = {a, c};
      }
    }
    return team.best_of(best).index;
  }

  max_abs_result update() {
    const max_abs_result part =
        schedule.update_gradient(ws.columns, ws.block_delta, k, grad, data.n);
    return team_max_abs(team, grad, part);
  }
};

}  // namespace

max_abs_result block_step(const training_data& data, int k, int first, double* grad,
                          std::int64_t t, random_source& rng, kernel_cache& cache,
                          block_workspace& ws, block_schedule& schedule,
                          block_solution_stats& stats, row_team& team) {
  // Each member is followed by 60 draws, the last one included, so a step consumes exactly
  // 60*k values; after the last member their choice is unused. The draws for the choice
  // after member i depend only on the members, not on any kernel value: those after the
  // first member are taken at the start, the later ones while the previous member's
  // candidates are scored, so that the rows they pick can be prefetched while member i's
  // column is computed.
  ws.message.resize(static_cast<std::size_t>(data.d) + 3 + k);
  single_output out{data, k, grad, t, rng, cache, ws, schedule, team};
  return member_loop(out, k, first, static_cast<int>(team.n()), rng, schedule, stats);
}

max_abs_result block_step(const training_data& data, int k, int first, double* grad,
                          std::int64_t t, random_source& rng, kernel_cache& cache,
                          block_workspace& ws, block_schedule& schedule,
                          block_solution_stats& stats) {
  single_team team(data.n);
  return block_step(data, k, first, grad, t, rng, cache, ws, schedule, stats, team);
}

}  // namespace krr
