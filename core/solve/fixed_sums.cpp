// Reductions in a fixed order (fixed_sums.h).
#include "core/exact_arithmetic.h"

#include "core/solve/fixed_sums.h"

#include "core/kernel/vector_clones.h"

namespace krr {

KRR_VECTOR_CLONES
double lane_dot(const double* KRR_RESTRICT a, const double* KRR_RESTRICT b, std::int64_t n) {
  double lanes[SUM_LANES] = {0.0};
  std::int64_t r = 0;
  for (; r + SUM_LANES <= n; r += SUM_LANES) {
    for (int q = 0; q < SUM_LANES; ++q) lanes[q] += a[r + q] * b[r + q];
  }
  for (int q = 0; r + q < n; ++q) lanes[q] += a[r + q] * b[r + q];
  double s = 0.0;
  for (int q = 0; q < SUM_LANES; ++q) s += lanes[q];
  return s;
}

}  // namespace krr
