// Block coordinate descent for several right-hand sides (multi_solver.h).
#include "core/exact_arithmetic.h"

#include "core/solve/multi_solver.h"

#include <cmath>
#include <cstddef>
#include <memory>
#include <new>

#include "core/kernel/kernel_math.h"
#include "core/kernel/library_exp.h"
#include "core/kernel/vector_clones.h"
#include "core/kernel/weighted_dots.h"
#include "core/solve/gradient_update.h"
#include "core/solve/member_pool.h"
#include "core/solve/random_source.h"

namespace krr {

namespace {

constexpr int MULTI_CANDIDATES = 16;  // candidates scored per member (of CANDIDATE_COUNT drawn)
constexpr int SCORE_TILE = 256;

// Row r's largest gradient against its column's tolerance; G is n x c, column-major.
double row_score(const double* G, std::int64_t n, std::int64_t r, const double* inv_tol, int c) {
  double s = 0.0;
  for (int q = 0; q < c; ++q) {
    const double v = std::fabs(G[q * n + r]) * inv_tol[q];
    if (v > s) s = v;
  }
  return s;
}

// The row of largest score in [begin, end), the first among equals; index -1 when empty.
// Scores a tile of rows column by column, so that the loads run along memory.
KRR_VECTOR_CLONES
max_abs_result best_row(const double* G, std::int64_t n, const double* inv_tol, int c,
                        std::int64_t begin, std::int64_t end) {
  max_abs_result best{-1.0, -1};
  double score[SCORE_TILE];
  for (std::int64_t r0 = begin; r0 < end; r0 += SCORE_TILE) {
    const int len = static_cast<int>(end - r0 < SCORE_TILE ? end - r0 : SCORE_TILE);
    for (int r = 0; r < len; ++r) score[r] = 0.0;
    for (int q = 0; q < c; ++q) {
      const double* g = G + q * n + r0;
      const double t = inv_tol[q];
      for (int r = 0; r < len; ++r) {
        const double v = std::fabs(g[r]) * t;
        score[r] = v > score[r] ? v : score[r];
      }
    }
    for (int r = 0; r < len; ++r) {
      if (score[r] > best.value) best = {score[r], static_cast<int>(r0 + r)};
    }
  }
  return best;
}

// kv[j] = K(row, member j) for j < count, from the samples: the same operations as the
// member's kernel column (core/kernel/kernel_column.h), so the same bits, without reading
// `count` columns at scattered places. Not for the differences form.
KRR_VECTOR_CLONES
void candidate_kernel_values(const training_data& data, const double* member_t,
                             const double* member_norms, int stride, int count, int row,
                             double* kv) {
  const int d = data.d;
  const double nr = data.norms[row];
  const exp_function exp_of = library_exp();
  weighted_dots(member_t, stride, 0, count, sample_at(data.X, row, d), data.w, d, kv);
  for (int j = 0; j < count; ++j) kv[j] = -((member_norms[j] + nr) - (kv[j] + kv[j]));
  for (int j = 0; j < count; ++j) kv[j] = exp_of(kv[j]) * data.w[d];
}

// A candidate's score: the largest over the columns q of |G(row, q) + sum over j < members
// of kv[j] delta(j, q)| / tol(q), each column's sum in member order. The columns are summed
// side by side (sums: c doubles), so the loop runs along them, in vector lanes.
KRR_VECTOR_CLONES
double candidate_score(const double* G, std::int64_t n, int row, const double* kv,
                       const double* delta, int members, int c, const double* inv_tol,
                       double* KRR_RESTRICT sums) {
  for (int q = 0; q < c; ++q) sums[q] = G[q * n + row];
  for (int j = 0; j < members; ++j) {
    const double kj = kv[j];
    const double* KRR_RESTRICT dj = delta + static_cast<std::ptrdiff_t>(j) * c;
    for (int q = 0; q < c; ++q) sums[q] += kj * dj[q];
  }
  double score = 0.0;
  for (int q = 0; q < c; ++q) {
    const double v = std::fabs(sums[q]) * inv_tol[q];
    if (v > score) score = v;
  }
  return score;
}

struct multi_workspace {
  std::unique_ptr<double[]> storage;
  std::unique_ptr<int[]> indices;
  std::unique_ptr<unsigned char[]> active;
  std::unique_ptr<const double*[]> columns;
  double *inverse, *matrix, *rhs, *forward, *delta, *delta_t, *u, *new_row;
  double *member_t, *member_norms, *kv;  // the members' samples feature-major, their norms
  double* sums;                            // c: a candidate's sums
  int *members, *offsets;
  bool factored = false;
  int candidates[CANDIDATE_COUNT], rows[CANDIDATE_COUNT];

  static double bytes(int k, int c, int d) {
    return 8.0 * (2.0 * k * k + 4.0 * k * c + 4.0 * k + static_cast<double>(k) * d + c) +
           (2.0 * 4.0 + 1.0 + sizeof(double*)) * k;
  }

  bool allocate(int k, int c, int d, allocation_failure& failure) {
    const std::uint64_t uk = static_cast<std::uint64_t>(k), uc = static_cast<std::uint64_t>(c);
    const std::uint64_t ud = static_cast<std::uint64_t>(d);
    storage = try_allocate<double>(2 * uk * uk + 4 * uk * uc + 4 * uk + uk * ud + uc, false,
                                   "the block matrices", failure);
    indices = try_allocate<int>(2 * uk, false, "the block matrices", failure);
    active = try_allocate<unsigned char>(uk, false, "the block matrices", failure);
    columns = try_allocate<const double*>(uk, false, "the block matrices", failure);
    if (failure.failed) return false;
    inverse = storage.get();
    matrix = inverse + uk * uk;
    rhs = matrix + uk * uk;
    forward = rhs + uk * uc;
    delta = forward + uk * uc;
    delta_t = delta + uk * uc;
    u = delta_t + uk * uc;
    new_row = u + uk;
    member_norms = new_row + uk;
    kv = member_norms + uk;
    member_t = kv + uk;
    sums = member_t + uk * ud;
    members = indices.get();
    offsets = members + k;
    return true;
  }
};

// Several right-hand sides, n x c: 16 candidates a member, each candidate's and each new
// member's kernel values against the members from the samples (from the members' columns
// for the differences form), and the row score against each column's tolerance.
struct multi_output {
  static constexpr int candidates = MULTI_CANDIDATES;
  kernel_operator& A;
  int k, c;
  double* G;
  const double* inv_tol;
  std::int64_t t;
  random_source& rng;
  multi_workspace& ws;

  int* positions() { return ws.candidates; }
  int* rows() { return ws.rows; }
  int* offsets() { return ws.offsets; }
  block_system system() {
    return {ws.matrix, ws.inverse, ws.rhs,    ws.forward,   ws.delta,
            ws.active.get(), ws.u, ws.new_row, &ws.factored, k, c};
  }

  void join(int i, int s, bool) {
    const training_data& data = A.data();
    const std::int64_t n = data.n;
    block_schedule& schedule = A.schedule();
    double* scratch = A.scratch() + static_cast<std::ptrdiff_t>(i) * n;
    const double* column = member_column(data, s, s, k, t, i, A.cache(), schedule.pool(), scratch,
                                         [&](double* dest) {
      schedule.compute_column(data, training_sample(data, s), dest);
    });
    ws.columns[i] = column;
    ws.members[i] = s;
    const double* xs = sample_at(data.X, s, data.d);
    for (int l = 0; l < data.d; ++l) ws.member_t[static_cast<std::ptrdiff_t>(l) * k + i] = xs[l];
    ws.member_norms[i] = data.by_differences ? 0.0 : data.norms[s];
    // The new member's row of the block, K(s, earlier members), from the samples rather
    // than from i columns at scattered places.
    if (data.by_differences) {
      for (int j = 0; j < i; ++j) ws.new_row[j] = ws.columns[j][s];
    } else {
      candidate_kernel_values(data, ws.member_t, ws.member_norms, k, i, s, ws.new_row);
    }
    ws.new_row[i] = column[s];
    for (int q = 0; q < c; ++q) ws.rhs[static_cast<std::ptrdiff_t>(i) * c + q] = -G[q * n + s];
  }

  // Score of a candidate: the gradient the partial block solution would leave there,
  // against each column's tolerance.
  int choose(int i) {
    const training_data& data = A.data();
    max_abs_result best{-1.0, 0};
    for (int cand = 0; cand < MULTI_CANDIDATES; ++cand) {
      const int row = ws.rows[cand];
      if (data.by_differences) {
        for (int j = 0; j <= i; ++j) ws.kv[j] = ws.columns[j][row];
      } else {
        candidate_kernel_values(data, ws.member_t, ws.member_norms, k, i + 1, row, ws.kv);
      }
      const double score = candidate_score(G, data.n, row, ws.kv, ws.delta, i + 1, c, inv_tol, ws.sums);
      if (score > best.value) best = {score, cand};
    }
    draw_positions(rng, data.n - 2 - i, ws.candidates, MULTI_CANDIDATES);
    return best.index;
  }

  max_abs_result update() {
    const std::int64_t n = A.n();
    block_schedule& schedule = A.schedule();
    const int parts = schedule.parts();
    max_abs_result part_best[MAX_THREADS];
    for (int j = 0; j < k; ++j) {
      for (int q = 0; q < c; ++q) {
        ws.delta_t[static_cast<std::ptrdiff_t>(q) * k + j] = ws.delta[static_cast<std::ptrdiff_t>(j) * c + q];
      }
    }
    auto part_update = [&](int part) {
      max_abs_result best{-1.0, -1};
      schedule.for_rows(n, part, parts, [&](std::int64_t r0, std::int64_t r1) {
        accumulate_columns(ws.columns.get(), ws.delta_t, k, k, c, G, n, r0, r1);
        merge_max_abs(best, best_row(G, n, inv_tol, c, r0, r1));
      });
      part_best[part] = best;
    };
    schedule.pool().run_parts(part_update);
    max_abs_result best{row_score(G, n, 0, inv_tol, c), 0};
    for (int part = 0; part < parts; ++part) merge_max_abs(best, part_best[part]);
    return best;
  }
};

// The several-column block step as the descent's method: V and G n x c, the score of a row
// its largest gradient against its column's tolerance.
class multi_method : public block_step_method {
 public:
  multi_method(kernel_operator& A, int c, const double* inv_tol, random_source rng,
               multi_workspace& ws, double* V, double* G)
      : block_step_method(A, c, ws.members, ws.delta, V), c_(c), inv_tol_(inv_tol), rng_(rng),
        ws_(ws), G_(G) {}

  max_abs_result best() const override { return best_row(G_, A_.n(), inv_tol_, c_, 0, A_.n()); }

 protected:
  max_abs_result run(int first, std::int64_t t, block_solution_stats& stats) override {
    multi_output out{A_, A_.k(), c_, G_, inv_tol_, t, rng_, ws_};
    return member_loop(out, A_.k(), first, A_.n(), rng_, A_.schedule(), stats);
  }

 private:
  int c_;
  const double* inv_tol_;
  random_source rng_;
  multi_workspace& ws_;
  double* G_;
};

}  // namespace

std::vector<double> column_tolerances(const double* B, std::int64_t n, int c, double relative_tol) {
  std::vector<double> tol(c, 0.0);
  for (int q = 0; q < c; ++q) {
    for (std::int64_t r = 0; r < n; ++r) tol[q] = std::fmax(tol[q], std::fabs(B[q * n + r]));
    tol[q] = relative_tol * (tol[q] > 0.0 ? tol[q] : 1.0);
  }
  return tol;
}

double multi_solver_bytes(std::int64_t n, int k, int c, int d) {
  return descent_bytes(n, c) + multi_workspace::bytes(k, c, d);
}

descent_result solve_multi(kernel_operator& A, const double* B, int c, const multi_options& options,
                           double* V, double* G) {
  const std::int64_t n = A.n(), size = n * c;
  descent_result failed;
  std::vector<double> inv_tol(c);
  for (int q = 0; q < c; ++q) inv_tol[q] = 1.0 / options.tol[q];
  multi_workspace ws;
  allocation_failure failure;
  if (!ws.allocate(A.k(), c, A.data().d, failure)) {
    failed.status = solve_status::out_of_memory;
    failed.failed_bytes = failure.bytes;
    return failed;
  }
  // The gradient at the starting point: one pass where it is not zero.
  for (std::int64_t i = 0; i < size; ++i) G[i] = -B[i];
  A.accumulate(V, c, G);
  if (A.stop().stopped()) {
    failed.status = solve_status::interrupted;
    return failed;
  }
  std::uint64_t state = options.seed;
  multi_method method(A, c, inv_tol.data(), seeded_random(&state), ws, V, G);
  // Scores are gradients against their tolerances: a step is due while one exceeds 1. On
  // a passed check G becomes the checked gradient, the more accurate one.
  const descent_settings settings{1.0, false, false, options.max_passes};
  return descend(A, method, {B, c, V, G, options.tol}, settings);
}

}  // namespace krr
