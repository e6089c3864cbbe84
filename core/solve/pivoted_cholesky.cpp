// The greedy pivoted partial Cholesky factor (pivoted_cholesky.h).
#include "core/exact_arithmetic.h"

#include "core/solve/pivoted_cholesky.h"

#include <cmath>

#include "core/kernel/kernel_math.h"
#include "core/solve/gradient_update.h"

namespace krr {

double pivoted_cholesky_bytes(std::int64_t n, int max_rank) {
  return 8.0 * static_cast<double>(n) * (max_rank + 1.0) + 16.0 * max_rank;
}

bool pivoted_cholesky(kernel_operator& A, int max_rank, double stop, low_rank_factor& factor,
                      allocation_failure& failure) {
  const training_data& data = A.data();
  const std::int64_t n = data.n;
  // L column-major, so that each new column's rows are updated side by side, in vector
  // lanes, each row still summing over the earlier columns in order. Its pages are mapped in
  // only as columns are written.
  auto L = try_allocate<double>(static_cast<std::uint64_t>(n) * max_rank, false,
                                "the low-rank factor", failure);
  if (failure.failed) return false;
  factor = low_rank_factor();
  factor.n = n;
  factor.residual.assign(n, data.w[data.d]);  // K(r, r) = amplitude, exactly, in every form
  std::vector<const double*> columns(max_rank);
  std::vector<double> coef(max_rank);
  block_schedule& schedule = A.schedule();
  double* kernel_column = A.scratch();
  max_abs_result best = max_abs_part(factor.residual.data(), 0, n);
  int rank = 0;
  while (rank < max_rank && best.value > stop) {
    const int p = best.index;
    const double pivot = std::sqrt(factor.residual[p]);
    schedule.compute_column(data, training_sample(data, p), kernel_column);
    if (schedule.stop_requested()) {
      factor.interrupted = true;
      break;
    }
    double* l = L.get() + static_cast<std::int64_t>(rank) * n;
    for (int t = 0; t < rank; ++t) coef[t] = -L[static_cast<std::int64_t>(t) * n + p];
    const int parts = schedule.parts();
    max_abs_result part_best[MAX_THREADS];
    auto part_rows = [&](int part) {
      max_abs_result own{-1.0, -1};
      schedule.for_rows(n, part, parts, [&](std::int64_t r0, std::int64_t r1) {
        for (std::int64_t r = r0; r < r1; ++r) l[r] = kernel_column[r];
        accumulate_columns(columns.data(), coef.data(), 0, rank, 1, l, n, r0, r1);
        for (std::int64_t r = r0; r < r1; ++r) {
          l[r] = l[r] / pivot;
          const double left = factor.residual[r] - l[r] * l[r];
          factor.residual[r] = left > 0.0 ? left : 0.0;  // rounding may take it below 0
        }
        if (p >= r0 && p < r1) {  // the pivot's own entry: exactly its pivot, nothing left
          l[p] = pivot;
          factor.residual[p] = 0.0;
        }
        merge_max_abs(own, max_abs_part(factor.residual.data(), r0, r1));
      });
      part_best[part] = own;
    };
    schedule.pool().run_parts(part_rows);
    if (schedule.stop_requested()) {
      factor.interrupted = true;
      break;
    }
    columns[rank] = l;
    factor.pivots.push_back(p);
    rank += 1;
    best = max_abs_result{-1.0, -1};
    for (int part = 0; part < parts; ++part) merge_max_abs(best, part_best[part]);
  }
  factor.rank = rank;
  factor.largest_residual = best.value;
  factor.L = std::move(L);
  return true;
}

}  // namespace krr
