// Bordered inverse update: O(a^2) work per added member, no factorisation, no copies.
#include "training/block_inverse.h"

#include <cstddef>

namespace krr {

void grow_block_inverse(double* block_inverse, double* block_delta, const double* new_row,
                        const double* block_rhs, int a, int k, double* u) {
  const std::ptrdiff_t ld = k;
  // u = A^-1 b
  for (int r = 0; r < a; ++r) {
    const double* row = block_inverse + r * ld;
    double sum = 0.0;
    for (int c = 0; c < a; ++c) sum += row[c] * new_row[c];
    u[r] = sum;
  }
  // q = 1 / (gamma - b' A^-1 b)
  double s = 0.0;
  for (int c = 0; c < a; ++c) s += new_row[c] * u[c];
  const double q = 1.0 / (new_row[a] - s);

  for (int r = 0; r < a; ++r) {
    double* row = block_inverse + r * ld;
    for (int c = 0; c < a; ++c) row[c] += (u[c] * u[r]) * q;
  }
  for (int r = 0; r < a; ++r) block_inverse[r * ld + a] = -(u[r] * q);
  for (int c = 0; c < a; ++c) block_inverse[a * ld + c] = -(u[c] * q);
  block_inverse[a * ld + a] = q;

  double t = 0.0;
  for (int c = 0; c < a; ++c) t += block_rhs[c] * u[c];
  const double e = (t - block_rhs[a]) * q;
  for (int c = 0; c < a; ++c) block_delta[c] += u[c] * e;
  block_delta[a] = -e;
}

}  // namespace krr
