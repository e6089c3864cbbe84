// Predictive variances, exact and approximate (variance.h).
#include "core/exact_arithmetic.h"

#include "core/predict/variance.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <vector>

#include "core/kernel/kernel_column.h"
#include "core/kernel/kernel_frame.h"
#include "core/kernel/kernel_math.h"
#include "core/kernel/vector_clones.h"
#include "core/kernel/weighted_dots.h"
#include "core/parallel/allocation.h"
#include "core/solve/multi_solver.h"
#include "core/solve/pivoted_cholesky.h"
#include "core/solve/preconditioned_cg.h"

namespace krr {

namespace {

constexpr double UNIT_ROUNDOFF = 0x1p-53;

// Test sample i in the operator's frame, and its weighted squared norm there.
struct framed_test {
  const double* x;
  double norm;
};
framed_test frame_test(const kernel_operator& A, const double* Xtest, std::int64_t i,
                       double* buffer) {
  const training_data& data = A.data();
  const double* x = framed_sample(A.frame(), sample_at(Xtest, i, data.d), data.d, data.w, buffer);
  return {x, weighted_sq_norm(x, 0, data.d, data.w)};
}

// Orders the solves' endings by how much they say against the result.
int severity(solve_status s) {
  switch (s) {
    case solve_status::converged: return 0;
    case solve_status::tolerance_unreachable: return 1;
    case solve_status::not_converged: return 2;
    default: return 3;
  }
}

// The reported variance: a - q where it stands above its rounding floor, else the floor.
double floored(double value, double size, std::int64_t terms) {
  const double floor = std::sqrt(static_cast<double>(terms + 1)) * UNIT_ROUNDOFF * size;
  return value > floor ? value : floor;
}

// x = T^-1 b for the r x r lower triangular T (row-major), each entry's sum in order.
void forward_solve(const double* T, int r, const double* b, double* x) {
  for (int i = 0; i < r; ++i) {
    const double* row = T + static_cast<std::int64_t>(i) * r;
    double s = b[i];
    for (int t = 0; t < i; ++t) s -= row[t] * x[t];
    x[i] = s / row[i];
  }
}

// The low-rank factor of A's K that settings ask for, and its preconditioner; false, with
// result's status set, where they cannot be had or a stop was requested.
bool factor_kernel(kernel_operator& A, const variance_settings& settings, low_rank_factor& factor,
                   low_rank_preconditioner& P, variance_result& result) {
  allocation_failure failure;
  const solve_status status = factor_preconditioner(
      A, settings.max_rank, settings.rank_tol * A.data().ridge, factor, P, failure);
  if (status != solve_status::converged) {
    result.status = status;
    result.failed_bytes = failure.bytes;
    return false;
  }
  result.rank = factor.rank;
  result.largest_residual = factor.largest_residual;
  return true;
}

}  // namespace

double exact_variance_bytes(std::int64_t n, int d, int m, int r) {
  return 8.0 * static_cast<double>(n) * m * 3 + cg_bytes(n, m, r) + pivoted_cholesky_bytes(n, r) +
         8.0 * r * r + 8.0 * d * 64;
}

double approximate_variance_bytes(std::int64_t n, int d, int r) {
  const double dr = r;
  return pivoted_cholesky_bytes(n, r) + 8.0 * (2.0 * dr * dr + 2.0 * dr * d + dr) +
         8.0 * 64 * (3.0 * dr + d);
}

variance_result exact_variances(kernel_operator& A, const double* Xtest, std::int64_t nt,
                                const variance_settings& settings, double* var) {
  variance_result result;
  const training_data& data = A.data();
  const std::int64_t n = data.n;
  const int d = data.d;
  const double amplitude = data.w[d];
  const int m = static_cast<int>(std::min<std::int64_t>(settings.batch, nt > 0 ? nt : 1));
  block_schedule& schedule = A.schedule();
  const int parts = schedule.parts();
  // The preconditioner: the low-rank factor the approximate method would use.
  low_rank_factor factor;
  low_rank_preconditioner P;
  if (!factor_kernel(A, settings, factor, P, result)) return result;
  allocation_failure failure;
  const std::uint64_t block = static_cast<std::uint64_t>(n) * m;
  auto B = try_allocate<double>(block, false, "the test samples' kernel columns", failure);
  auto V = try_allocate<double>(block, false, "the test samples' solutions", failure);
  auto G = try_allocate<double>(block, false, "the test samples' solutions", failure);
  auto buffers = try_allocate<double>(static_cast<std::uint64_t>(parts) * (d > 0 ? d : 1), false,
                                      "the test samples", failure);
  if (failure.failed) {
    result.status = solve_status::out_of_memory;
    result.failed_bytes = failure.bytes;
    return result;
  }
  for (std::int64_t b0 = 0; b0 < nt; b0 += m) {
    const int mb = static_cast<int>(std::min<std::int64_t>(m, nt - b0));
    // The batch's kernel columns, each computed by one thread.
    auto part_columns = [&](int part) {
      const row_range range = split_rows(mb, part, parts, 1);
      double* buffer = buffers.get() + static_cast<std::int64_t>(part) * d;
      for (std::int64_t i = range.begin; i < range.end; ++i) {
        if (schedule.stop_requested()) return;
        const framed_test t = frame_test(A, Xtest, b0 + i, buffer);
        sample_kernel_rows(data, t.x, t.norm, 0, n, B.get() + i * n);
      }
    };
    schedule.pool().run_parts(part_columns);
    if (A.stop().stopped()) {
      result.status = solve_status::interrupted;
      return result;
    }
    const std::vector<double> tol = column_tolerances(B.get(), n, mb, settings.relative_tol);
    cg_options options;
    options.tol = tol.data();
    options.max_iterations = static_cast<int>(std::min(settings.max_passes, 1e9));
    const descent_result solved = solve_cg(A, P, B.get(), mb, options, V.get(), G.get());
    if (solved.status == solve_status::interrupted || solved.status == solve_status::out_of_memory) {
      result.status = solved.status;
      result.failed_bytes = solved.failed_bytes;
      return result;
    }
    if (severity(solved.status) > severity(result.status)) result.status = solved.status;
    result.passes += solved.passes;
    // k' A^-1 k ~ k'v + r'v with r = k - A v = -G: the residual's first-order part removed.
    for (int i = 0; i < mb; ++i) {
      const double* b = B.get() + static_cast<std::int64_t>(i) * n;
      const double* v = V.get() + static_cast<std::int64_t>(i) * n;
      const double* g = G.get() + static_cast<std::int64_t>(i) * n;
      double q = 0.0, size = 0.0;
      for (std::int64_t r = 0; r < n; ++r) {
        q += (b[r] - g[r]) * v[r];
        size += std::fabs((b[r] - g[r]) * v[r]);
      }
      var[b0 + i] = floored(amplitude - q, amplitude + size, n);
      if (!std::isfinite(var[b0 + i])) result.status = solve_status::breakdown;
    }
  }
  return result;
}

variance_result approximate_variances(kernel_operator& A, const double* Xtest, std::int64_t nt,
                                      const variance_settings& settings, double* var) {
  variance_result result;
  const training_data& data = A.data();
  const std::int64_t n = data.n;
  const int d = data.d;
  const double amplitude = data.w[d];
  const double ridge = data.ridge;
  block_schedule& schedule = A.schedule();
  const int parts = schedule.parts();

  low_rank_factor factor;
  low_rank_preconditioner P;  // its C C' = ridge I + L'L serves here
  if (!factor_kernel(A, settings, factor, P, result)) return result;
  const int r = factor.rank;
  allocation_failure failure;
  const std::uint64_t ur = static_cast<std::uint64_t>(r > 0 ? r : 1);
  auto LZ = try_allocate<double>(ur * ur, true, "the low-rank factor", failure);
  auto Z = try_allocate<double>(ur * (d > 0 ? d : 1), false, "the pivot samples", failure);
  auto Zt = try_allocate<double>(ur * (d > 0 ? d : 1), false, "the pivot samples", failure);
  auto znorms = try_allocate<double>(ur, false, "the pivot samples", failure);
  const std::uint64_t per_part = 3 * ur + static_cast<std::uint64_t>(d);
  auto scratch = try_allocate<double>(per_part * parts, false, "the test samples", failure);
  if (failure.failed) {
    result.status = solve_status::out_of_memory;
    result.failed_bytes = failure.bytes;
    return result;
  }
  const double* L = factor.L.get();
  // L at the pivots (lower triangular: pivot i has no part in later columns) and the pivot
  // samples in the frame, feature-major as kernel values read them.
  for (int i = 0; i < r; ++i) {
    const int p = factor.pivots[i];
    for (int t = 0; t <= i; ++t) LZ[static_cast<std::int64_t>(i) * r + t] = L[static_cast<std::int64_t>(t) * n + p];
    const double* x = sample_at(data.X, p, d);
    for (int l = 0; l < d; ++l) Z[static_cast<std::int64_t>(i) * d + l] = x[l];
    znorms[i] = data.norms[p];
  }
  transpose_samples(Z.get(), d, r, Zt.get());
  training_data pivots{Z.get(), Zt.get(), data.w, znorms.get(), ridge, r, d};
  pivots.by_differences = data.by_differences;
  pivots.kind = data.kind;

  const double* C = P.chol();

  // Each test sample by one thread: its kernel values at the pivots, two triangular solves.
  auto part_tests = [&](int part) {
    const row_range range = split_rows(nt, part, parts, 1);
    double* kz = scratch.get() + static_cast<std::int64_t>(part) * per_part;
    double* l = kz + r;
    double* y = l + r;
    double* buffer = y + r;
    for (std::int64_t i = range.begin; i < range.end; ++i) {
      if ((i - range.begin) % 64 == 0 && schedule.stop_requested()) return;
      const framed_test t = frame_test(A, Xtest, i, buffer);
      sample_kernel_rows(pivots, t.x, t.norm, 0, r, kz);
      forward_solve(LZ.get(), r, kz, l);
      forward_solve(C, r, l, y);
      double q1 = 0.0, q2 = 0.0;
      for (int j = 0; j < r; ++j) q1 += l[j] * l[j];
      for (int j = 0; j < r; ++j) q2 += y[j] * y[j];
      var[i] = floored(amplitude - q1 + ridge * q2, amplitude + q1 + ridge * q2, r);
    }
  };
  schedule.pool().run_parts(part_tests);
  if (A.stop().stopped()) {
    result.status = solve_status::interrupted;
    return result;
  }
  for (std::int64_t i = 0; i < nt; ++i) {
    if (!std::isfinite(var[i])) result.status = solve_status::breakdown;  // overflowed
  }
  return result;
}

}  // namespace krr
