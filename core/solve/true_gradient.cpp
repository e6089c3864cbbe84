// The gradient checked afresh (true_gradient.h).
#include "core/exact_arithmetic.h"

#include "core/solve/true_gradient.h"

#include <cmath>

namespace krr {

namespace {

// grad = -y + sum over j of column_j * alpha[j], j increasing over the nonzero coefficients;
// with `size`, also size = |y| + sum over j of column_j * |alpha[j]| in the same pass.
// Returns the number of summands of each row.
std::int64_t sum_columns(const training_data& data, const double* y, const double* alpha,
                         const kernel_cache& cache, block_schedule& schedule, double* scratch,
                         int scratch_columns, double* grad, double* size) {
  const std::int64_t n = data.n;
  for (std::int64_t r = 0; r < n; ++r) grad[r] = -y[r];
  if (size) {
    for (std::int64_t r = 0; r < n; ++r) size[r] = std::fabs(y[r]);
  }
  const double* columns[CHECK_GROUP];
  double coef[CHECK_GROUP], abs_coef[CHECK_GROUP];
  int count = 0, computed = 0;
  std::int64_t terms = 1;
  auto flush = [&] {
    if (size) {
      schedule.accumulate(columns, coef, abs_coef, count, grad, size, n);
    } else {
      schedule.update_gradient(columns, coef, count, grad, n);
    }
    count = computed = 0;
  };
  for (int j = 0; j < data.n; ++j) {
    if (alpha[j] == 0.0) continue;
    if (schedule.stop_requested()) break;
    terms += 1;
    const int slot = cache.slot_of(j);
    if (slot != 0) {
      columns[count] = cache.slot_column(slot - 1);
    } else {
      double* column = scratch + computed++ * n;
      schedule.compute_column(data, j, column);
      column[j] += data.ridge;  // as cached columns hold it
      columns[count] = column;
    }
    coef[count] = alpha[j];
    abs_coef[count] = std::fabs(alpha[j]);
    if (++count == CHECK_GROUP || computed == scratch_columns) flush();
  }
  if (count > 0) flush();
  return terms;
}

}  // namespace

gradient_check check_gradient(const training_data& data, const double* y, const double* alpha,
                              const kernel_cache& cache, block_schedule& schedule, double tol,
                              double* scratch, int scratch_columns, double* grad, double* size) {
  const std::int64_t n = data.n;
  gradient_check check;
  sum_columns(data, y, alpha, cache, schedule, scratch, scratch_columns, grad, nullptr);
  for (std::int64_t r = 0; r < n; ++r) {
    const double g = std::fabs(grad[r]);
    if (g > check.largest || std::isnan(g)) check.largest = g;  // a NaN stays
  }
  if (check.largest <= tol) return check;

  // Failed: the same sums again (the same bits) with the sizes that give each row's floor.
  const std::int64_t terms =
      sum_columns(data, y, alpha, cache, schedule, scratch, scratch_columns, grad, size);
  check.at_floor = true;
  check.largest = 0.0;
  const double floor_factor = std::sqrt(static_cast<double>(terms)) * 0x1p-53;
  for (std::int64_t r = 0; r < n; ++r) {
    const double g = std::fabs(grad[r]);
    const double floor = floor_factor * size[r];
    if (g > check.largest || std::isnan(g)) check.largest = g;  // a NaN stays
    if (floor > check.reachable) check.reachable = floor;
    if (!(g <= tol || g <= floor)) check.at_floor = false;
  }
  return check;
}

}  // namespace krr
