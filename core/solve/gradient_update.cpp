// The gradient update in tiles of rows, several members' terms per sweep of a tile. Each
// row still adds the terms in member order, so the result is the plain loop's bit for bit.
#include "core/exact_arithmetic.h"

#include "core/solve/gradient_update.h"

#include "core/kernel/vector_clones.h"

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

// Four members' terms into four vectors over len rows: g_q[r] += x0 e[q][0] + ... + x3 e[q][3]
// with x_m = c_m[r], added in member order. Every column value loaded is used four times
// and every gradient value loaded takes four members' terms. The pointers are parameters,
// declared restrict, so that the compiler vectorises across rows.
inline void quad_sweep(double* KRR_RESTRICT g0, double* KRR_RESTRICT g1, double* KRR_RESTRICT g2,
                       double* KRR_RESTRICT g3, const double* KRR_RESTRICT c0,
                       const double* KRR_RESTRICT c1, const double* KRR_RESTRICT c2,
                       const double* KRR_RESTRICT c3, const double (&e)[4][4], int len) {
  const double a0 = e[0][0], a1 = e[0][1], a2 = e[0][2], a3 = e[0][3];
  const double b0 = e[1][0], b1 = e[1][1], b2 = e[1][2], b3 = e[1][3];
  const double f0 = e[2][0], f1 = e[2][1], f2 = e[2][2], f3 = e[2][3];
  const double h0 = e[3][0], h1 = e[3][1], h2 = e[3][2], h3 = e[3][3];
  for (int r = 0; r < len; ++r) {
    const double x0 = c0[r], x1 = c1[r], x2 = c2[r], x3 = c3[r];
    double v = g0[r] + x0 * a0;
    v = v + x1 * a1;
    v = v + x2 * a2;
    g0[r] = v + x3 * a3;
    v = g1[r] + x0 * b0;
    v = v + x1 * b1;
    v = v + x2 * b2;
    g1[r] = v + x3 * b3;
    v = g2[r] + x0 * f0;
    v = v + x1 * f1;
    v = v + x2 * f2;
    g2[r] = v + x3 * f3;
    v = g3[r] + x0 * h0;
    v = v + x1 * h1;
    v = v + x2 * h2;
    g3[r] = v + x3 * h3;
  }
}

// Four members' terms into one vector over len rows, in member order.
inline void single_sweep(double* KRR_RESTRICT g, const double* KRR_RESTRICT c0,
                         const double* KRR_RESTRICT c1, const double* KRR_RESTRICT c2,
                         const double* KRR_RESTRICT c3, double a0, double a1, double a2,
                         double a3, int len) {
  for (int r = 0; r < len; ++r) {
    double v = g[r] + c0[r] * a0;
    v = v + c1[r] * a1;
    v = v + c2[r] * a2;
    g[r] = v + c3[r] * a3;
  }
}

// One member's term into one vector.
inline void single_member(double* KRR_RESTRICT g, const double* KRR_RESTRICT col, double a,
                          int len) {
  for (int r = 0; r < len; ++r) g[r] += col[r] * a;
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

KRR_VECTOR_CLONES
void accumulate_columns(const double* const* columns, const double* coef, std::int64_t stride,
                        int count, int p, double* out, std::int64_t ld, std::int64_t begin,
                        std::int64_t end) {
  // Tiles of UPDATE_TILE rows, as for one vector: four members' column segments (64 KiB)
  // stay in the processor caches while every vector takes their terms, and the tile's
  // vectors stay in L2 while the members stream past, each segment long enough for the
  // hardware prefetchers.
  for (std::int64_t r0 = begin; r0 < end; r0 += UPDATE_TILE) {
    const int len = static_cast<int>(r0 + UPDATE_TILE < end ? UPDATE_TILE : end - r0);
    double* g = out + r0;
    if (p == 1) {  // one vector: eight members' terms per sweep, as the gradient update adds them
      update_tile(g, columns, coef, count, r0, len);
      continue;
    }
    int j = 0;
    for (; j + 4 <= count; j += 4) {
      const double* c0 = columns[j] + r0;
      const double* c1 = columns[j + 1] + r0;
      const double* c2 = columns[j + 2] + r0;
      const double* c3 = columns[j + 3] + r0;
      int q = 0;
      for (; q + 4 <= p; q += 4) {
        double e[4][4];
        for (int a = 0; a < 4; ++a) {
          for (int m = 0; m < 4; ++m) e[a][m] = coef[(q + a) * stride + j + m];
        }
        quad_sweep(g + q * ld, g + (q + 1) * ld, g + (q + 2) * ld, g + (q + 3) * ld, c0, c1, c2,
                   c3, e, len);
      }
      for (; q < p; ++q) {
        const double* e = coef + q * stride + j;
        single_sweep(g + q * ld, c0, c1, c2, c3, e[0], e[1], e[2], e[3], len);
      }
    }
    for (; j < count; ++j) {
      for (int q = 0; q < p; ++q) single_member(g + q * ld, columns[j] + r0, coef[q * stride + j], len);
    }
  }
}

}  // namespace krr
