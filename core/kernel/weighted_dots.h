// Weighted dot products of one sample against a run of consecutive samples stored
// feature-major, several samples side by side. Each product is summed over features in
// increasing order, (M * x) * w term by term, exactly as weighted_dot sums it; only
// independent sums share a vector register. Inline, so the callers' instruction-set
// clones vectorise it for their target.
#pragma once

#include <cstdint>

namespace krr {

// out[q] = sum over l of (Mt[l*stride + begin + q] * x[l]) * w[l], q = 0 ... count-1.
inline void weighted_dots(const double* Mt, std::int64_t stride, std::int64_t begin, int count,
                          const double* x, const double* w, int d, double* out) {
  int q = 0;
#if defined(__GNUC__) || defined(__clang__)
  typedef double v4 __attribute__((vector_size(32)));
  for (; q + 8 <= count; q += 8) {
    v4 a0 = {0.0, 0.0, 0.0, 0.0};
    v4 a1 = {0.0, 0.0, 0.0, 0.0};
    for (int l = 0; l < d; ++l) {
      const double* m = Mt + l * stride + begin + q;
      v4 m0, m1;
      __builtin_memcpy(&m0, m, sizeof m0);
      __builtin_memcpy(&m1, m + 4, sizeof m1);
      a0 += (m0 * x[l]) * w[l];
      a1 += (m1 * x[l]) * w[l];
    }
    __builtin_memcpy(out + q, &a0, sizeof a0);
    __builtin_memcpy(out + q + 4, &a1, sizeof a1);
  }
#endif
  for (; q < count; ++q) {
    double acc = 0.0;
    for (int l = 0; l < d; ++l) acc += (Mt[l * stride + begin + q] * x[l]) * w[l];
    out[q] = acc;
  }
}

// Copies X (d x n, one sample per column) into Xt feature-major: Xt[l*n + j] = X[j*d + l].
inline void transpose_samples(const double* X, int d, std::int64_t n, double* Xt) {
  for (std::int64_t j = 0; j < n; ++j) {
    for (int l = 0; l < d; ++l) Xt[l * n + j] = X[j * d + l];
  }
}

}  // namespace krr
