// Bordered inverse update: O(a^2) work per added member, no factorisation, no copies.
// Every sum runs over c in increasing order from 0.0; rows are only interleaved (four
// independent sums at a time) or their elements updated side by side, which changes
// no operation and no result.
#include "core/exact_arithmetic.h"

#include "core/solve/block_inverse.h"

#include <cstddef>

#include "core/kernel/vector_clones.h"

namespace krr {

namespace {

// u[r] = sum over c of A(r, c) * b[c], for r = 0 ... a-1. Four rows at a time keep four
// independent additions in flight instead of waiting on one chain.
KRR_VECTOR_CLONES
void multiply_inverse(const double* A, std::ptrdiff_t ld, const double* b, int a, double* u) {
  int r = 0;
  for (; r + 4 <= a; r += 4) {
    const double* r0 = A + r * ld;
    const double* r1 = r0 + ld;
    const double* r2 = r1 + ld;
    const double* r3 = r2 + ld;
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    for (int c = 0; c < a; ++c) {
      const double bc = b[c];
      s0 += r0[c] * bc;
      s1 += r1[c] * bc;
      s2 += r2[c] * bc;
      s3 += r3[c] * bc;
    }
    u[r] = s0;
    u[r + 1] = s1;
    u[r + 2] = s2;
    u[r + 3] = s3;
  }
  for (; r < a; ++r) {
    const double* row = A + r * ld;
    double sum = 0.0;
    for (int c = 0; c < a; ++c) sum += row[c] * b[c];
    u[r] = sum;
  }
}

// A(r, c) += (u[c] * u[r]) * q for r, c = 0 ... a-1: elementwise, so vector lanes
// over c compute exactly what the scalar loop computes.
KRR_VECTOR_CLONES
void rank_one_update(double* A, std::ptrdiff_t ld, const double* u, double q, int a) {
  for (int r = 0; r < a; ++r) {
    double* row = A + r * ld;
    const double ur = u[r];
    int c = 0;
#if defined(__GNUC__) || defined(__clang__)
    typedef double v4 __attribute__((vector_size(32)));
    for (; c + 4 <= a; c += 4) {
      v4 x, uc;
      __builtin_memcpy(&x, row + c, sizeof x);
      __builtin_memcpy(&uc, u + c, sizeof uc);
      x += (uc * ur) * q;
      __builtin_memcpy(row + c, &x, sizeof x);
    }
#endif
    for (; c < a; ++c) row[c] += (u[c] * ur) * q;
  }
}

}  // namespace

double bordered_pivot(const double* block_inverse, const double* new_row, int a, int k,
                      double* u) {
  multiply_inverse(block_inverse, k, new_row, a, u);  // u = A^-1 b
  double s = 0.0;
  for (int c = 0; c < a; ++c) s += new_row[c] * u[c];
  return new_row[a] - s;
}

void update_bordered_inverse(double* block_inverse, int a, int k, const double* u, double q) {
  const std::ptrdiff_t ld = k;
  rank_one_update(block_inverse, ld, u, q, a);
  for (int r = 0; r < a; ++r) block_inverse[r * ld + a] = -(u[r] * q);
  for (int c = 0; c < a; ++c) block_inverse[a * ld + c] = -(u[c] * q);
  block_inverse[a * ld + a] = q;
}

void update_bordered_solution(double* delta, const double* rhs, int stride, int a,
                              const double* u, double q) {
  double t = 0.0;
  for (int c = 0; c < a; ++c) t += rhs[static_cast<std::ptrdiff_t>(c) * stride] * u[c];
  const double e = (t - rhs[static_cast<std::ptrdiff_t>(a) * stride]) * q;
  for (int c = 0; c < a; ++c) delta[static_cast<std::ptrdiff_t>(c) * stride] += u[c] * e;
  delta[static_cast<std::ptrdiff_t>(a) * stride] = -e;
}

void grow_block_inverse(double* block_inverse, double* block_delta, const double* new_row,
                        const double* block_rhs, int a, int k, double* u) {
  // q = 1 / (gamma - b' A^-1 b)
  const double q = 1.0 / bordered_pivot(block_inverse, new_row, a, k, u);
  update_bordered_inverse(block_inverse, a, k, u, q);
  update_bordered_solution(block_delta, block_rhs, 1, a, u, q);
}

}  // namespace krr
