// Preconditioned conjugate gradients over the kernel operator (preconditioned_cg.h).
#include "core/exact_arithmetic.h"

#include "core/solve/preconditioned_cg.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <vector>

#include "core/parallel/allocation.h"
#include "core/solve/fixed_sums.h"
#include "core/solve/gradient_check.h"
#include "core/solve/gradient_update.h"

namespace krr {

namespace {

// Rows [0, r) of a job claimed by the threads one at a time: each row's work is the same
// whichever thread does it.
template <typename F>
void for_each_row(block_schedule& schedule, int r, F&& fn) {
  std::atomic<int> next{0};
  auto part = [&](int) {
    for (int i = next.fetch_add(1); i < r; i = next.fetch_add(1)) {
      if (schedule.stop_requested()) return;
      fn(i);
    }
  };
  schedule.pool().run_parts(part);
}

}  // namespace

bool low_rank_preconditioner::prepare(kernel_operator& A, const low_rank_factor& factor,
                                      allocation_failure& failure) {
  L_ = factor.L.get();
  n_ = factor.n;
  r_ = factor.rank;
  ridge_ = A.data().ridge;
  const std::int64_t n = factor.n;
  const std::uint64_t ur = static_cast<std::uint64_t>(r_ > 0 ? r_ : 1);
  C_ = try_allocate<double>(ur * ur, true, "the preconditioner", failure);
  if (failure.failed) return false;
  const double* L = factor.L.get();
  double* C = C_.get();
  // ridge I + L'L, then its Cholesky factor in place, row by row.
  for_each_row(A.schedule(), r_, [&](int s) {
    const double* ls = L + static_cast<std::int64_t>(s) * n;
    for (int t = 0; t <= s; ++t) {
      C[static_cast<std::int64_t>(s) * r_ + t] = lane_dot(ls, L + static_cast<std::int64_t>(t) * n, n);
    }
  });
  for (int i = 0; i < r_; ++i) {
    double* row = C + static_cast<std::int64_t>(i) * r_;
    row[i] += ridge_;
    for (int j = 0; j <= i; ++j) {
      const double* other = C + static_cast<std::int64_t>(j) * r_;
      double s = row[j];
      for (int t = 0; t < j; ++t) s -= row[t] * other[t];
      row[j] = j < i ? s / other[j] : std::sqrt(s > 0.0 ? s : 0.0);
    }
  }
  return true;
}

bool low_rank_preconditioner::prepare_columns(kernel_operator& A, const double* G, int r,
                                              const double* B, allocation_failure& failure) {
  L_ = G;
  n_ = A.n();
  r_ = r;
  ridge_ = A.data().ridge;
  const std::uint64_t ur = static_cast<std::uint64_t>(r_ > 0 ? r_ : 1);
  C_ = try_allocate<double>(ur * ur, false, "the preconditioner", failure);
  if (failure.failed) return false;
  std::copy(B, B + static_cast<std::int64_t>(r) * r, C_.get());
  return true;
}

void low_rank_preconditioner::apply(block_schedule& schedule, const double* R, int c, double* Z,
                                    double* work) const {
  const std::int64_t n = n_;
  const double* L = L_;
  const int r = r_;
  // U = L'R (r x c, column t's c entries at t*c), then W = (C C')^-1 U column by column.
  double* U = work;
  double* W = work + static_cast<std::int64_t>(r) * c;
  for_each_row(schedule, r, [&](int t) {
    for (int q = 0; q < c; ++q) {
      U[static_cast<std::int64_t>(t) * c + q] = lane_dot(L + static_cast<std::int64_t>(t) * n, R + q * n, n);
    }
  });
  const double* C = C_.get();
  for (int q = 0; q < c; ++q) {
    // Forward with C, then backward with C', each entry's sum in order; -W stored, as the
    // row update below adds it.
    for (int i = 0; i < r; ++i) {
      const double* row = C + static_cast<std::int64_t>(i) * r;
      double s = U[static_cast<std::int64_t>(i) * c + q];
      for (int t = 0; t < i; ++t) s -= row[t] * W[q * static_cast<std::int64_t>(r) + t];
      W[q * static_cast<std::int64_t>(r) + i] = s / row[i];
    }
    for (int i = r - 1; i >= 0; --i) {
      double s = W[q * static_cast<std::int64_t>(r) + i];
      for (int t = i + 1; t < r; ++t) s -= C[static_cast<std::int64_t>(t) * r + i] * W[q * static_cast<std::int64_t>(r) + t];
      W[q * static_cast<std::int64_t>(r) + i] = s / C[static_cast<std::int64_t>(i) * r + i];
    }
    for (int i = 0; i < r; ++i) W[q * static_cast<std::int64_t>(r) + i] = -W[q * static_cast<std::int64_t>(r) + i];
  }
  // Z = (R - L W) / ridge, rows split across the threads, each row's sum over t in order.
  std::vector<const double*> columns(r > 0 ? r : 1);
  for (int t = 0; t < r; ++t) columns[t] = L + static_cast<std::int64_t>(t) * n;
  const int parts = schedule.parts();
  auto part_rows = [&](int part) {
    schedule.for_rows(n, part, parts, [&](std::int64_t r0, std::int64_t r1) {
      for (int q = 0; q < c; ++q) std::copy(R + q * n + r0, R + q * n + r1, Z + q * n + r0);
      accumulate_columns(columns.data(), W, r, r, c, Z, n, r0, r1);
      for (int q = 0; q < c; ++q) {
        for (std::int64_t row = r0; row < r1; ++row) Z[q * n + row] = Z[q * n + row] / ridge_;
      }
    });
  };
  schedule.pool().run_parts(part_rows);
}

solve_status factor_preconditioner(kernel_operator& A, int max_rank, double stop,
                                   low_rank_factor& factor, low_rank_preconditioner& P,
                                   allocation_failure& failure) {
  const int rank = static_cast<int>(std::min<std::int64_t>(max_rank, A.n()));
  if (pivoted_cholesky(A, rank, stop, factor, failure)) P.prepare(A, factor, failure);
  if (failure.failed) return solve_status::out_of_memory;
  if (factor.interrupted || A.stop().stopped()) return solve_status::interrupted;
  return solve_status::converged;
}

double cg_bytes(std::int64_t n, int c, int r) {
  return 8.0 * static_cast<double>(n) * c * 4 + descent_bytes(n, c) + 16.0 * r * c;
}

descent_result solve_cg(kernel_operator& A, const low_rank_preconditioner& P, const double* B,
                        int c, const cg_options& options, double* V, double* G) {
  descent_result result;
  const std::int64_t n = A.n(), count = n * c;
  block_schedule& schedule = A.schedule();
  interruption& stop = A.stop();
  allocation_failure failure;
  const std::uint64_t uc = static_cast<std::uint64_t>(count);
  auto R = try_allocate<double>(uc, false, "the solver's arrays", failure);
  auto Z = try_allocate<double>(uc, false, "the solver's arrays", failure);
  auto D = try_allocate<double>(uc, false, "the solver's arrays", failure);
  auto AD = try_allocate<double>(uc, false, "the solver's arrays", failure);
  auto size = try_allocate<double>(uc, false, "the solver's arrays", failure);
  auto work = try_allocate<double>(2 * static_cast<std::uint64_t>(P.rank() > 0 ? P.rank() : 1) * c,
                                   false, "the solver's arrays", failure);
  if (failure.failed) {
    result.status = solve_status::out_of_memory;
    result.failed_bytes = failure.bytes;
    return result;
  }
  std::vector<double> rho(c), largest(c);
  std::vector<char> done(c, 0);
  bool started = false;
  if (options.warm_start) {
    // The residual B - A V of the start, in one pass; dropped where it is not finite.
    std::fill(AD.get(), AD.get() + count, 0.0);
    A.accumulate(V, c, AD.get());
    result.warm_passes = 1;
    if (stop.stopped()) {
      result.status = solve_status::interrupted;
      return result;
    }
    started = true;
    for (std::int64_t i = 0; i < count; ++i) {
      R[i] = B[i] - AD[i];
      started = started && std::isfinite(R[i]);
    }
  }
  if (!started) {
    std::fill(V, V + count, 0.0);
    std::copy(B, B + count, R.get());  // the residual B - A V at V = 0
  }
  const auto residual_met = [&](int q) {
    double m = 0.0;
    for (std::int64_t r = 0; r < n; ++r) m = std::max(m, std::fabs(R[q * n + r]));
    largest[q] = m;
    return m <= options.tol[q];
  };
  // Directions start from the preconditioned residual; a column already met keeps 0.
  const auto restart = [&] {
    P.apply(schedule, R.get(), c, Z.get(), work.get());
    for (int q = 0; q < c; ++q) {
      rho[q] = lane_dot(R.get() + q * n, Z.get() + q * n, n);
      done[q] = residual_met(q) || !(rho[q] > 0.0);
      for (std::int64_t r = 0; r < n; ++r) D[q * n + r] = done[q] ? 0.0 : Z[q * n + r];
    }
  };
  restart();
  std::int64_t steps_at_restart = -1;
  double last_score = INFINITY;  // the last failed check's score
  for (;;) {
    const bool all_done = std::all_of(done.begin(), done.end(), [](char d) { return d != 0; });
    if (all_done) {
      // Checked afresh: the recurrence's residual drifts from B - A V by rounding.
      const gradient_check check = check_gradient(A, B, c, V, options.tol, G, size.get());
      result.checks += 1;
      if (after_check(check, stop, result) != check_outcome::replace) break;
      double score = 0.0;  // the checked residual's largest entry against its tolerance
      for (int q = 0; q < c; ++q) score = std::max(score, check.largest[q] / options.tol[q]);
      if (result.steps == steps_at_restart || !(score < 0.5 * last_score)) {
        // No iteration since the last restart moved, or the rounds since the last check did
        // not halve the checked residual: the recurrence's residual has parted from the true
        // one by its rounding, and further rounds only repeat that. The residual cannot be
        // reduced in double precision from here (where its entries are not all within the
        // check's floor estimate, the estimate is the smaller).
        result.status = solve_status::tolerance_unreachable;
        result.reachable = check.largest;
        result.stagnated = true;
        break;
      }
      last_score = score;
      steps_at_restart = result.steps;
      result.replacements += 1;
      for (std::int64_t i = 0; i < count; ++i) R[i] = -G[i];
      restart();
      continue;
    }
    if (result.steps >= options.max_iterations) {
      result.status = solve_status::not_converged;
      check_gradient(A, B, c, V, options.tol, G, size.get());  // G as it stands
      result.checks += 1;
      if (stop.stopped()) result.status = solve_status::interrupted;
      break;
    }
    std::fill(AD.get(), AD.get() + count, 0.0);
    A.accumulate(D.get(), c, AD.get());
    if (stop.stopped()) {
      result.status = solve_status::interrupted;
      break;
    }
    result.steps += 1;
    for (int q = 0; q < c; ++q) {
      if (done[q]) continue;
      const double curvature = lane_dot(D.get() + q * n, AD.get() + q * n, n);
      const double alpha = rho[q] / curvature;
      if (!(curvature > 0.0) || !std::isfinite(alpha)) {
        // A direction without curvature (it underflowed): this column can go no further
        // here; the check below decides what that means.
        done[q] = 1;
        continue;
      }
      double* v = V + q * n;
      double* res = R.get() + q * n;
      const double* d = D.get() + q * n;
      const double* ad = AD.get() + q * n;
      for (std::int64_t r = 0; r < n; ++r) {
        v[r] += alpha * d[r];
        res[r] -= alpha * ad[r];
      }
      done[q] = residual_met(q);
    }
    P.apply(schedule, R.get(), c, Z.get(), work.get());
    for (int q = 0; q < c; ++q) {
      if (done[q]) {
        std::fill(D.get() + q * n, D.get() + (q + 1) * n, 0.0);
        continue;
      }
      const double next = lane_dot(R.get() + q * n, Z.get() + q * n, n);
      if (!(next > 0.0)) {  // the preconditioned residual vanished (or underflowed)
        done[q] = 1;
        std::fill(D.get() + q * n, D.get() + (q + 1) * n, 0.0);
        continue;
      }
      const double beta = next / rho[q];
      rho[q] = next;
      double* d = D.get() + q * n;
      const double* z = Z.get() + q * n;
      for (std::int64_t r = 0; r < n; ++r) d[r] = z[r] + beta * d[r];
    }
    if (stop.requested()) {
      result.status = solve_status::interrupted;
      break;
    }
  }
  // The passes over the kernel columns: one an iteration, one a check, one for a start.
  result.passes = static_cast<double>(result.steps + result.checks + result.warm_passes);
  double worst = 0.0;
  for (int q = 0; q < c; ++q) worst = std::max(worst, largest[q] / options.tol[q]);
  result.score = worst;
  if (result.status == solve_status::converged) {
    for (std::int64_t i = 0; i < count; ++i) {
      if (!std::isfinite(V[i]) || !std::isfinite(G[i])) {
        result.status = solve_status::breakdown;
        break;
      }
    }
  }
  return result;
}

}  // namespace krr
