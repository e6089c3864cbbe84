// The gradient update in tiles of rows, several members' terms per sweep of a tile. Each
// row still adds the terms in member order, so the result is the plain loop's bit for bit.
#include "common/exact_arithmetic.h"

#include "training/gradient_update.h"

#include "common/vector_clones.h"

namespace krr {

namespace {

constexpr int UPDATE_TILE = 2048;  // 16 KiB of the gradient stays in L1 while k columns stream past

// grad[r] += columns[j][r] * delta[j] over one tile of rows, eight members' terms per sweep:
// each row still adds them in member order, but the tile's gradient is loaded and stored
// once per eight members instead of once per member, and eight column streams are read side
// by side, which keeps the hardware prefetchers running where switching streams every
// 16 KiB left each one to start cold. Inline, so the caller's clones vectorise it.
inline void update_tile(double* KRR_RESTRICT g, const double* const* columns,
                        const double* delta, int k, std::int64_t r0, int len) {
  int j = 0;
  for (; j + 8 <= k; j += 8) {
    const double* KRR_RESTRICT c0 = columns[j] + r0;
    const double* KRR_RESTRICT c1 = columns[j + 1] + r0;
    const double* KRR_RESTRICT c2 = columns[j + 2] + r0;
    const double* KRR_RESTRICT c3 = columns[j + 3] + r0;
    const double* KRR_RESTRICT c4 = columns[j + 4] + r0;
    const double* KRR_RESTRICT c5 = columns[j + 5] + r0;
    const double* KRR_RESTRICT c6 = columns[j + 6] + r0;
    const double* KRR_RESTRICT c7 = columns[j + 7] + r0;
    const double d0 = delta[j], d1 = delta[j + 1], d2 = delta[j + 2], d3 = delta[j + 3];
    const double d4 = delta[j + 4], d5 = delta[j + 5], d6 = delta[j + 6], d7 = delta[j + 7];
    for (int r = 0; r < len; ++r) {
      double v = g[r] + c0[r] * d0;
      v = v + c1[r] * d1;
      v = v + c2[r] * d2;
      v = v + c3[r] * d3;
      v = v + c4[r] * d4;
      v = v + c5[r] * d5;
      v = v + c6[r] * d6;
      g[r] = v + c7[r] * d7;
    }
  }
  for (; j < k; ++j) {
    const double* KRR_RESTRICT col = columns[j] + r0;
    const double dj = delta[j];
    for (int r = 0; r < len; ++r) g[r] += col[r] * dj;
  }
}

}  // namespace

KRR_VECTOR_CLONES
max_abs_result update_gradient_rows(const double* const* columns, const double* delta, int k,
                                    double* grad, std::int64_t begin, std::int64_t end) {
  max_abs_result best{-1.0, -1};
  for (std::int64_t r0 = begin; r0 < end; r0 += UPDATE_TILE) {
    const std::int64_t r1 = r0 + UPDATE_TILE < end ? r0 + UPDATE_TILE : end;
    update_tile(grad + r0, columns, delta, k, r0, static_cast<int>(r1 - r0));
    merge_max_abs(best, max_abs_part(grad, r0, r1));
  }
  return best;
}

KRR_VECTOR_CLONES
void update_gradient_and_size_rows(const double* const* columns, const double* coef,
                                   const double* abs_coef, int count, double* grad, double* size,
                                   std::int64_t begin, std::int64_t end) {
  for (std::int64_t r0 = begin; r0 < end; r0 += UPDATE_TILE) {
    const int len = static_cast<int>(r0 + UPDATE_TILE < end ? UPDATE_TILE : end - r0);
    // The second sweep finds the tile's columns still in the processor caches.
    update_tile(grad + r0, columns, coef, count, r0, len);
    update_tile(size + r0, columns, abs_coef, count, r0, len);
  }
}

}  // namespace krr
