// Predictive variances, exact and approximate (variance.h).
#include "core/exact_arithmetic.h"

#include "core/predict/variance.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <string>
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

double exact_cached_variance_bytes(std::int64_t n, int d, int m, int r) {
  return 8.0 * static_cast<double>(n) * m * 3 + cg_bytes(n, m, r) + 8.0 * static_cast<double>(n) * r +
         8.0 * r * r + 8.0 * d * 64;
}

double approximate_variance_bytes(std::int64_t n, int d, int r) {
  return deviation_cache_bytes(n, d, r) + 8.0 * 64 * (3.0 * r + d);
}

double deviation_cache_bytes(std::int64_t n, int d, int r) {
  const double dr = r;
  return pivoted_cholesky_bytes(n, r) + 8.0 * (3.0 * dr * dr + 2.0 * dr * d + dr);
}

deviation_cache deviation_cache_of_fields(std::vector<double> (&values)[6]) {
  deviation_cache cache;
  cache.pivots.resize(values[0].size());
  for (std::size_t i = 0; i < values[0].size(); ++i) {
    const double p = values[0][i];
    cache.pivots[i] = p >= 1 && p <= 2147483647.0 && p == static_cast<double>(static_cast<long long>(p))
                          ? static_cast<int>(p) - 1 : -1;
  }
  cache.factor = std::move(values[1]);
  cache.chol = std::move(values[2]);
  cache.largest_residual = values[3][0];
  cache.weights = std::move(values[4]);
  cache.ridge = values[5][0];
  return cache;
}

std::string check_deviation_cache(const deviation_cache& cache, std::int64_t n) {
  const std::int64_t r = cache.rank();
  if (r > n) return "Pivots must hold at most n entries, one per training sample";
  std::vector<bool> seen(static_cast<std::size_t>(n), false);
  for (int p : cache.pivots) {
    if (p < 0 || p >= n) return "Pivots must be training samples, from 1 to n";
    if (seen[p]) return "Pivots must be distinct";
    seen[p] = true;
  }
  const struct {
    const char* name;
    const std::vector<double>& values;
  } triangles[] = {{"Factor", cache.factor}, {"Chol", cache.chol}};
  for (const auto& t : triangles) {
    if (static_cast<std::int64_t>(t.values.size()) != r * r) {
      return std::string(t.name) + " must be r x r, r the number of Pivots";
    }
    for (std::int64_t i = 0; i < r; ++i) {
      const double* row = t.values.data() + i * r;
      if (!(row[i] > 0.0) || !std::isfinite(row[i])) {
        return std::string(t.name) + " must have a positive finite diagonal";
      }
      for (std::int64_t j = 0; j < i; ++j)
        if (!std::isfinite(row[j])) return std::string(t.name) + " must be finite";
    }
  }
  if (!(cache.largest_residual >= 0.0) || !std::isfinite(cache.largest_residual)) {
    return "LeftOut must be finite and nonnegative";
  }
  return std::string();
}

variance_result build_deviation_cache(kernel_operator& A, const variance_settings& settings,
                                      deviation_cache& cache) {
  variance_result result;
  low_rank_factor factor;
  low_rank_preconditioner P;  // its C C' = ridge I + L'L
  if (!factor_kernel(A, settings, factor, P, result)) return result;
  const std::int64_t n = factor.n;
  const int r = factor.rank;
  const std::size_t rr = static_cast<std::size_t>(r) * r;
  cache = deviation_cache();
  cache.pivots = factor.pivots;
  cache.largest_residual = factor.largest_residual;
  cache.factor.assign(rr, 0.0);
  cache.chol.assign(rr, 0.0);
  // F: L at the pivots, lower triangular (pivot i has no part in later columns).
  const double* L = factor.L.get();
  for (int i = 0; i < r; ++i) {
    const int p = factor.pivots[i];
    for (int t = 0; t <= i; ++t) cache.factor[static_cast<std::size_t>(i) * r + t] = L[static_cast<std::int64_t>(t) * n + p];
  }
  // B = F C row by row: row i is the sum over t <= i, increasing, of F(i, t) C(t, :), each
  // row by one thread.
  const double* C = P.chol();
  std::atomic<int> next{0};
  block_schedule& schedule = A.schedule();
  auto part_rows = [&](int) {
    for (int i = next.fetch_add(1); i < r; i = next.fetch_add(1)) {
      if (schedule.stop_requested()) return;
      const double* f = cache.factor.data() + static_cast<std::size_t>(i) * r;
      double* b = cache.chol.data() + static_cast<std::size_t>(i) * r;
      for (int t = 0; t <= i; ++t) {
        const double ft = f[t];
        const double* c = C + static_cast<std::int64_t>(t) * r;
        for (int j = 0; j <= t; ++j) b[j] += ft * c[j];
      }
    }
  };
  schedule.pool().run_parts(part_rows);
  if (A.stop().stopped()) result.status = solve_status::interrupted;
  return result;
}

namespace {

// Test samples solved against the triangles together: each row of a triangle is read once
// for all of them.
constexpr int TEST_BLOCK = 16;

// X = T^-1 K for the r x TEST_BLOCK block K (row-major, sample j at column j; the first
// `m` columns used) and r x r lower triangular T (row-major): row i of X is K's row i less
// T(i, t) X(t, :) for t = 0, 1, ..., i - 1 in turn, over T(i, i), so that each sample's
// sums run in the order of forward_solve.
void forward_solve_block(const double* T, int r, const double* K, int m, double* X) {
  for (int i = 0; i < r; ++i) {
    const double* row = T + static_cast<std::int64_t>(i) * r;
    double acc[TEST_BLOCK];
    for (int j = 0; j < m; ++j) acc[j] = K[static_cast<std::int64_t>(i) * TEST_BLOCK + j];
    for (int t = 0; t < i; ++t) {
      const double a = row[t];
      const double* x = X + static_cast<std::int64_t>(t) * TEST_BLOCK;
      for (int j = 0; j < m; ++j) acc[j] -= a * x[j];
    }
    double* out = X + static_cast<std::int64_t>(i) * TEST_BLOCK;
    for (int j = 0; j < m; ++j) out[j] = acc[j] / row[i];
  }
}

}  // namespace

variance_result cached_variances(kernel_operator& A, const deviation_cache& cache,
                                 const double* Xtest, std::int64_t nt, double* var) {
  variance_result result;
  const training_data& data = A.data();
  const int d = data.d;
  const double amplitude = data.w[d];
  const double ridge = data.ridge;
  const int r = cache.rank();
  result.rank = r;
  result.largest_residual = cache.largest_residual;
  block_schedule& schedule = A.schedule();
  const int parts = schedule.parts();
  allocation_failure failure;
  const std::uint64_t ur = static_cast<std::uint64_t>(r > 0 ? r : 1);
  auto Z = try_allocate<double>(ur * (d > 0 ? d : 1), false, "the pivot samples", failure);
  auto Zt = try_allocate<double>(ur * (d > 0 ? d : 1), false, "the pivot samples", failure);
  auto znorms = try_allocate<double>(ur, false, "the pivot samples", failure);
  const std::uint64_t block = ur * TEST_BLOCK;
  const std::uint64_t per_part = 4 * block + ur + static_cast<std::uint64_t>(d);
  auto scratch = try_allocate<double>(per_part * parts, false, "the test samples", failure);
  if (failure.failed) {
    result.status = solve_status::out_of_memory;
    result.failed_bytes = failure.bytes;
    return result;
  }
  // The pivot samples in the frame, feature-major as kernel values read them.
  for (int i = 0; i < r; ++i) {
    const int p = cache.pivots[i];
    const double* x = sample_at(data.X, p, d);
    for (int l = 0; l < d; ++l) Z[static_cast<std::int64_t>(i) * d + l] = x[l];
    znorms[i] = data.norms[p];
  }
  transpose_samples(Z.get(), d, r, Zt.get());
  training_data pivots{Z.get(), Zt.get(), data.w, znorms.get(), ridge, r, d};
  pivots.by_differences = data.by_differences;
  pivots.kind = data.kind;

  // Blocks of test samples claimed by the threads one at a time.
  const std::int64_t blocks = (nt + TEST_BLOCK - 1) / TEST_BLOCK;
  std::atomic<std::int64_t> next{0};
  auto part_blocks = [&](int part) {
    double* K = scratch.get() + static_cast<std::int64_t>(part) * per_part;
    double* l = K + block;
    double* y = l + block;
    double* kz = y + block;
    double* buffer = kz + ur;
    for (std::int64_t b = next.fetch_add(1); b < blocks; b = next.fetch_add(1)) {
      if (schedule.stop_requested()) return;
      const std::int64_t i0 = b * TEST_BLOCK;
      const int m = static_cast<int>(std::min<std::int64_t>(TEST_BLOCK, nt - i0));
      for (int j = 0; j < m; ++j) {
        const framed_test t = frame_test(A, Xtest, i0 + j, buffer);
        sample_kernel_rows(pivots, t.x, t.norm, 0, r, kz);
        for (int i = 0; i < r; ++i) K[static_cast<std::int64_t>(i) * TEST_BLOCK + j] = kz[i];
      }
      forward_solve_block(cache.factor.data(), r, K, m, l);
      forward_solve_block(cache.chol.data(), r, K, m, y);
      for (int j = 0; j < m; ++j) {
        double q1 = 0.0, q2 = 0.0;
        for (int i = 0; i < r; ++i) q1 += l[static_cast<std::int64_t>(i) * TEST_BLOCK + j] * l[static_cast<std::int64_t>(i) * TEST_BLOCK + j];
        for (int i = 0; i < r; ++i) q2 += y[static_cast<std::int64_t>(i) * TEST_BLOCK + j] * y[static_cast<std::int64_t>(i) * TEST_BLOCK + j];
        var[i0 + j] = floored(amplitude - q1 + ridge * q2, amplitude + q1 + ridge * q2, r);
      }
    }
  };
  schedule.pool().run_parts(part_blocks);
  if (A.stop().stopped()) {
    result.status = solve_status::interrupted;
    return result;
  }
  for (std::int64_t i = 0; i < nt; ++i) {
    if (!std::isfinite(var[i])) result.status = solve_status::breakdown;  // overflowed
  }
  return result;
}

namespace {

// The exact variances of the test samples, batch by batch, by conjugate gradients
// preconditioned by P; result's rank and largest residual already set.
void solve_variances(kernel_operator& A, const low_rank_preconditioner& P, const double* Xtest,
                     std::int64_t nt, const variance_settings& settings, double* var,
                     variance_result& result) {
  const training_data& data = A.data();
  const std::int64_t n = data.n;
  const int d = data.d;
  const double amplitude = data.w[d];
  const int m = static_cast<int>(std::min<std::int64_t>(settings.batch, nt > 0 ? nt : 1));
  block_schedule& schedule = A.schedule();
  const int parts = schedule.parts();
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
    return;
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
      return;
    }
    const std::vector<double> tol = column_tolerances(B.get(), n, mb, settings.relative_tol);
    cg_options options;
    options.tol = tol.data();
    options.max_iterations = static_cast<int>(std::min(settings.max_passes, 1e9));
    const descent_result solved = solve_cg(A, P, B.get(), mb, options, V.get(), G.get());
    if (solved.status == solve_status::interrupted || solved.status == solve_status::out_of_memory) {
      result.status = solved.status;
      result.failed_bytes = solved.failed_bytes;
      return;
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
}

}  // namespace

variance_result exact_variances(kernel_operator& A, const double* Xtest, std::int64_t nt,
                                const variance_settings& settings, double* var) {
  variance_result result;
  // The preconditioner: the low-rank factor the approximate method would use.
  low_rank_factor factor;
  low_rank_preconditioner P;
  if (!factor_kernel(A, settings, factor, P, result)) return result;
  solve_variances(A, P, Xtest, nt, settings, var, result);
  return result;
}

variance_result exact_variances(kernel_operator& A, const deviation_cache& cache,
                                const double* Xtest, std::int64_t nt,
                                const variance_settings& settings, double* var) {
  variance_result result;
  result.rank = cache.rank();
  result.largest_residual = cache.largest_residual;
  const training_data& data = A.data();
  const std::int64_t n = data.n;
  const int r = cache.rank();
  // G = K(X, Z), the kernel columns of the pivots.
  allocation_failure failure;
  auto Gz = try_allocate<double>(static_cast<std::uint64_t>(n) * (r > 0 ? r : 1), false,
                                 "the preconditioner", failure);
  low_rank_preconditioner P;
  if (!failure.failed) {
    for (int t = 0; t < r; ++t) {
      A.schedule().compute_column(data, training_sample(data, cache.pivots[t]), Gz.get() + static_cast<std::int64_t>(t) * n);
      if (A.schedule().stop_requested()) break;
    }
    if (!A.stop().stopped()) P.prepare_columns(A, Gz.get(), r, cache.chol.data(), failure);
  }
  if (failure.failed) {
    result.status = solve_status::out_of_memory;
    result.failed_bytes = failure.bytes;
    return result;
  }
  if (A.stop().stopped()) {
    result.status = solve_status::interrupted;
    return result;
  }
  solve_variances(A, P, Xtest, nt, settings, var, result);
  return result;
}

variance_result approximate_variances(kernel_operator& A, const double* Xtest, std::int64_t nt,
                                      const variance_settings& settings, double* var) {
  deviation_cache cache;
  variance_result result = build_deviation_cache(A, settings, cache);
  if (result.status != solve_status::converged) return result;
  return cached_variances(A, cache, Xtest, nt, var);
}

}  // namespace krr
