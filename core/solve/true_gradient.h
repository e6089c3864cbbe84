// The check before a training call reports success: the gradient (K + ridge I) alpha - y
// computed afresh from alpha in one pass over the columns of the samples with a nonzero
// coefficient (cached columns read in place, the others computed), because the gradient
// the descent carries is a running update that drifts from it by rounding.
#pragma once

#include <cstdint>

#include "core/solve/block_schedule.h"
#include "core/solve/kernel_cache.h"
#include "core/kernel/kernel_column.h"

namespace krr {

constexpr int CHECK_GROUP = 32;  // columns summed per pass over the gradient

struct gradient_check {
  double largest = 0.0;    // max |grad|
  double reachable = 0.0;  // the largest rounding floor of a row: no smaller tol can be told met
  bool at_floor = false;   // every row within max(tol, its rounding floor)
};

// grad[r] = -y[r] + sum over j of (K + ridge I)(r, j) alpha[j], j increasing, and the
// rounding floor of each row: sqrt(terms) u (|y[r]| + sum_j (K + ridge I)(r, j) |alpha[j]|),
// with u the unit roundoff and terms the number of summands, the size of the errors of such
// a sum and of alpha's own rounding. Columns that are not cached are computed into
// scratch, which holds scratch_columns columns of n doubles; `size` is n doubles of
// workspace. Where the schedule is told to stop, the result is incomplete.
gradient_check check_gradient(const training_data& data, const double* y, const double* alpha,
                              const kernel_cache& cache, block_schedule& schedule, double tol,
                              double* scratch, int scratch_columns, double* grad, double* size);

}  // namespace krr
