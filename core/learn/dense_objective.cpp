// The exact log marginal likelihood and its gradient by a dense Cholesky factorisation
// (dense_objective.h).
//
// Every element's sum runs in one order, fixed by the element alone, never by the blocks or
// the threads: with A = L L' and L^-1 = X,
//   L(i, j) = (A(i, j) - L(i, 0) L(j, 0) - L(i, 1) L(j, 1) - ... - L(i, j-1) L(j, j-1)) / L(j, j)
//   L(j, j) = sqrt(A(j, j) - L(j, 0)^2 - ... - L(j, j-1)^2)
//   X(i, j) = (delta_ij - L(i, 0) X(0, j) - ... - L(i, i-1) X(i-1, j)) / L(i, i)
//   -A^-1(i, j) = 0 - X(0, i) X(0, j) - X(1, i) X(1, j) - ... - X(n-1, i) X(n-1, j)   (i >= j)
// each product subtracted from the element in turn, k increasing, left to right. The terms
// where X is zero above its diagonal are exact zeros, which leave a sum that starts at +0
// unchanged, so they may be included or skipped as the blocking finds convenient. The
// blocked loops apply the same subtractions in the same order: a block of KC columns of the
// factor at a time, every element of the trailing matrix taking that block's products in k
// order in a register tile, so neither the block size nor the split between threads (whole
// tiles, claimed in any order) can change a bit. LAPACK and the BLAS are not used because
// their results depend on their thread count and on the processor's kernels.
#include "core/exact_arithmetic.h"

#include "core/learn/dense_objective.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>

#include "core/kernel/kernel_kind.h"
#include "core/kernel/library_exp.h"
#include "core/kernel/vector_clones.h"
#include "core/parallel/interruption.h"
#include "core/parallel/thread_pool.h"

namespace krr {

namespace {

constexpr int MR = 8;   // rows of a register tile
constexpr int NR = 4;   // columns of a register tile
constexpr int KC = 64;  // columns of the factor per block
constexpr std::int64_t PAIR_BLOCK = 64;  // square blocks of the symmetric passes

#if defined(__GNUC__) || defined(__clang__)
#define KRR_DENSE_VECTORS 1
typedef double v4d __attribute__((vector_size(32)));
// Unaligned loads and stores; macros, as a function passing a 32-byte vector by value
// would change the calling convention between the clones.
#define KRR_LOAD4(v, p) std::memcpy(&(v), (p), sizeof(v4d))
#define KRR_STORE4(p, v) do { const v4d s_ = (v); std::memcpy((p), &s_, sizeof s_); } while (0)
#endif

// t (NR columns of MR rows, column-major) -= sum over k < kc, increasing, of
// a[k MR + r] * b[k bs + col]: each element subtracts its products one at a time.
KRR_VECTOR_CLONES
void tile_subtract(const double* KRR_RESTRICT a, const double* KRR_RESTRICT b, int bs, int kc,
                   double* KRR_RESTRICT t) {
#ifdef KRR_DENSE_VECTORS
  v4d c00, c01, c10, c11, c20, c21, c30, c31;
  KRR_LOAD4(c00, t);
  KRR_LOAD4(c01, t + 4);
  KRR_LOAD4(c10, t + 8);
  KRR_LOAD4(c11, t + 12);
  KRR_LOAD4(c20, t + 16);
  KRR_LOAD4(c21, t + 20);
  KRR_LOAD4(c30, t + 24);
  KRR_LOAD4(c31, t + 28);
  for (int k = 0; k < kc; ++k) {
    v4d a0, a1;
    KRR_LOAD4(a0, a + k * MR);
    KRR_LOAD4(a1, a + k * MR + 4);
    const double* bk = b + k * bs;
    const double b0 = bk[0], b1 = bk[1], b2 = bk[2], b3 = bk[3];
    c00 = c00 - a0 * b0;
    c01 = c01 - a1 * b0;
    c10 = c10 - a0 * b1;
    c11 = c11 - a1 * b1;
    c20 = c20 - a0 * b2;
    c21 = c21 - a1 * b2;
    c30 = c30 - a0 * b3;
    c31 = c31 - a1 * b3;
  }
  KRR_STORE4(t, c00);
  KRR_STORE4(t + 4, c01);
  KRR_STORE4(t + 8, c10);
  KRR_STORE4(t + 12, c11);
  KRR_STORE4(t + 16, c20);
  KRR_STORE4(t + 20, c21);
  KRR_STORE4(t + 24, c30);
  KRR_STORE4(t + 28, c31);
#else
  for (int k = 0; k < kc; ++k) {
    for (int col = 0; col < NR; ++col) {
      for (int r = 0; r < MR; ++r) t[col * MR + r] -= a[k * MR + r] * b[k * bs + col];
    }
  }
#endif
}

// The triangular solve within one diagonal block for NR columns side by side:
// x[a] = (x[a] - D(a, 0) x[0] - ... - D(a, a-1) x[a-1]) / D(a, a), D row-major kc x kc.
KRR_VECTOR_CLONES
void block_solve(const double* KRR_RESTRICT D, int kc, double* KRR_RESTRICT x) {
#ifdef KRR_DENSE_VECTORS
  for (int a = 0; a < kc; ++a) {
    v4d acc, xb;
    KRR_LOAD4(acc, x + a * NR);
    const double* row = D + static_cast<std::int64_t>(a) * kc;
    for (int b = 0; b < a; ++b) {
      KRR_LOAD4(xb, x + b * NR);
      acc = acc - xb * row[b];
    }
    KRR_STORE4(x + a * NR, acc / row[a]);
  }
#else
  for (int a = 0; a < kc; ++a) {
    const double* row = D + static_cast<std::int64_t>(a) * kc;
    for (int col = 0; col < NR; ++col) {
      double acc = x[a * NR + col];
      for (int b = 0; b < a; ++b) acc -= x[b * NR + col] * row[b];
      x[a * NR + col] = acc / row[a];
    }
  }
#endif
}

// y[r] -= x[r] * s for r < len: one subtraction per element.
KRR_VECTOR_CLONES
void subtract_scaled(double* KRR_RESTRICT y, const double* KRR_RESTRICT x, double s,
                     std::int64_t len) {
  for (std::int64_t r = 0; r < len; ++r) y[r] -= x[r] * s;
}

// The work of one evaluation: its threads, its stop and its two n x n arrays.
struct dense_work {
  thread_pool& pool;
  interruption& stop;
  std::int64_t n;
  double* F;  // lower: the factor L; strictly upper: K
  double* G;  // lower: L^-1; strictly upper: -A^-1 (its diagonal in dv)
  double* pack;

  // fn(item) for every item < count, each claimed by whichever thread comes first (an item's
  // result never depends on which). False once a stop is requested.
  template <typename F>
  bool for_items(std::int64_t count, F&& fn) {
    std::atomic<std::int64_t> next{0};
    auto part = [&](int) {
      for (;;) {
        if (stop.requested()) return;
        const std::int64_t item = next.fetch_add(1);
        if (item >= count) return;
        fn(item);
      }
    };
    pool.run_parts(part);
    return !stop.stopped();
  }

  // Rows [r0, n) of columns [k0, k0 + kc) of M (the factor or its inverse) into slivers of
  // MR rows, k-major within each (rows past n as zeros): sliver s at pack + s kc MR.
  bool pack_rows(const double* M, std::int64_t r0, std::int64_t k0, int kc, double* out) {
    const std::int64_t slivers = (n - r0 + MR - 1) / MR;
    return for_items(slivers, [&](std::int64_t s) {
      double* p = out + s * kc * MR;
      for (int k = 0; k < kc; ++k) {
        const double* col = M + (k0 + k) * n;
        for (int r = 0; r < MR; ++r) {
          const std::int64_t i = r0 + s * MR + r;
          p[k * MR + r] = i < n ? col[i] : 0.0;
        }
      }
    });
  }
};

// A = F's lower triangle into L, in place. False (failed set) where a pivot is not positive.
bool factorise(dense_work& w, bool& failed) {
  const std::int64_t n = w.n;
  double* F = w.F;
  for (std::int64_t k0 = 0; k0 < n; k0 += KC) {
    const std::int64_t k1 = std::min<std::int64_t>(n, k0 + KC);
    const int kc = static_cast<int>(k1 - k0);
    // The block's own columns, left-looking: the earlier blocks' products are already
    // subtracted, so column j takes those of columns k0 ... j-1, in order, then its pivot.
    for (std::int64_t j = k0; j < k1; ++j) {
      double* cj = F + j * n;
      for (std::int64_t k = k0; k < j; ++k) {
        subtract_scaled(cj + j, F + k * n + j, F[j + k * n], n - j);
      }
      const double a = cj[j];
      if (!(a > 0.0)) {
        failed = true;
        return true;
      }
      const double pivot = std::sqrt(a);
      cj[j] = pivot;
      for (std::int64_t i = j + 1; i < n; ++i) cj[i] = cj[i] / pivot;
    }
    if (k1 == n) break;
    if (w.stop.requested()) return false;
    // The trailing matrix (rows and columns from k1, lower triangle) takes this block's
    // products: tile (i, j) -= L(i, k0:k1) L(j, k0:k1)'.
    if (!w.pack_rows(F, k1, k0, kc, w.pack)) return false;
    const std::int64_t m = n - k1;
    const std::int64_t slivers = (m + MR - 1) / MR;
    const bool ok = w.for_items((m + NR - 1) / NR, [&](std::int64_t g) {
      const std::int64_t j0 = k1 + g * NR;
      const double* b = w.pack + (g * NR / MR) * kc * MR + (g * NR) % MR;
      double t[NR * MR];
      for (std::int64_t s = g * NR / MR; s < slivers; ++s) {
        const std::int64_t i0 = k1 + s * MR;
        for (int col = 0; col < NR; ++col) {
          for (int r = 0; r < MR; ++r) {
            const std::int64_t i = i0 + r, j = j0 + col;
            t[col * MR + r] = (i < n && j < n && i >= j) ? F[i + j * n] : 0.0;
          }
        }
        tile_subtract(w.pack + s * kc * MR, b, MR, kc, t);
        for (int col = 0; col < NR; ++col) {
          for (int r = 0; r < MR; ++r) {
            const std::int64_t i = i0 + r, j = j0 + col;
            if (i < n && j < n && i >= j) F[i + j * n] = t[col * MR + r];
          }
        }
      }
    });
    if (!ok) return false;
  }
  return true;
}

// X = L^-1 into G's lower triangle (G holds the identity on entry), by blocks of KC rows:
// each block's rows solved within the diagonal block, then every row below takes the
// block's products.
bool invert_factor(dense_work& w) {
  const std::int64_t n = w.n;
  const double* F = w.F;
  double* G = w.G;
  std::vector<double> D(static_cast<std::size_t>(KC) * KC);
  for (std::int64_t r0 = 0; r0 < n; r0 += KC) {
    const std::int64_t r1 = std::min<std::int64_t>(n, r0 + KC);
    const int kc = static_cast<int>(r1 - r0);
    for (int a = 0; a < kc; ++a) {
      for (int b = 0; b <= a; ++b) D[a * kc + b] = F[(r0 + a) + (r0 + b) * n];
    }
    bool ok = w.for_items((r1 + NR - 1) / NR, [&](std::int64_t g) {
      double x[KC * NR];
      for (int a = 0; a < kc; ++a) {
        for (int col = 0; col < NR; ++col) {
          const std::int64_t i = r0 + a, j = g * NR + col;
          x[a * NR + col] = (j < r1 && i >= j) ? G[i + j * n] : 0.0;
        }
      }
      block_solve(D.data(), kc, x);
      for (int a = 0; a < kc; ++a) {
        for (int col = 0; col < NR; ++col) {
          const std::int64_t i = r0 + a, j = g * NR + col;
          if (j < r1 && i >= j) G[i + j * n] = x[a * NR + col];
        }
      }
    });
    if (!ok) return false;
    if (r1 == n) break;
    // Rows from r1, columns before r1: tile (i, j) -= L(i, r0:r1) X(r0:r1, j).
    double* pa = w.pack;
    double* pb = w.pack + ((n - r1 + MR - 1) / MR) * MR * KC;
    const std::int64_t groups = (r1 + NR - 1) / NR;
    if (!w.pack_rows(F, r1, r0, kc, pa)) return false;
    ok = w.for_items(groups, [&](std::int64_t g) {
      double* p = pb + g * kc * NR;
      for (int col = 0; col < NR; ++col) {
        const std::int64_t j = g * NR + col;
        for (int k = 0; k < kc; ++k) {
          p[k * NR + col] = (j < r1 && r0 + k >= j) ? G[(r0 + k) + j * n] : 0.0;
        }
      }
    });
    if (!ok) return false;
    const std::int64_t slivers = (n - r1 + MR - 1) / MR;
    ok = w.for_items(groups, [&](std::int64_t g) {
      double t[NR * MR];
      for (std::int64_t s = 0; s < slivers; ++s) {
        const std::int64_t i0 = r1 + s * MR;
        for (int col = 0; col < NR; ++col) {
          for (int r = 0; r < MR; ++r) {
            const std::int64_t i = i0 + r, j = g * NR + col;
            t[col * MR + r] = (i < n && j < r1) ? G[i + j * n] : 0.0;
          }
        }
        tile_subtract(pa + s * kc * MR, pb + g * kc * NR, NR, kc, t);
        for (int col = 0; col < NR; ++col) {
          for (int r = 0; r < MR; ++r) {
            const std::int64_t i = i0 + r, j = g * NR + col;
            if (i < n && j < r1) G[i + j * n] = t[col * MR + r];
          }
        }
      }
    });
    if (!ok) return false;
  }
  return true;
}

// -A^-1 = -X' X, its lower triangle (i > j) into G's upper triangle at (j, i) and its
// diagonal into dv (zeros on entry, as G's upper triangle), by blocks of KC rows of X.
bool negative_inverse(dense_work& w, double* dv) {
  const std::int64_t n = w.n;
  double* G = w.G;
  for (std::int64_t k0 = 0; k0 < n; k0 += KC) {
    const std::int64_t k1 = std::min<std::int64_t>(n, k0 + KC);
    const int kc = static_cast<int>(k1 - k0);
    // X(k0:k1, i) for i < k1 as slivers of MR values of i (zero above X's diagonal).
    const std::int64_t slivers = (k1 + MR - 1) / MR;
    bool ok = w.for_items(slivers, [&](std::int64_t s) {
      double* p = w.pack + s * kc * MR;
      for (int r = 0; r < MR; ++r) {
        const std::int64_t i = s * MR + r;
        for (int k = 0; k < kc; ++k) {
          p[k * MR + r] = (i < k1 && k0 + k >= i) ? G[(k0 + k) + i * n] : 0.0;
        }
      }
    });
    if (!ok) return false;
    ok = w.for_items((k1 + NR - 1) / NR, [&](std::int64_t g) {
      const std::int64_t j0 = g * NR;
      const double* b = w.pack + (j0 / MR) * kc * MR + j0 % MR;
      double t[NR * MR];
      for (std::int64_t s = j0 / MR; s < slivers; ++s) {
        const std::int64_t i0 = s * MR;
        for (int col = 0; col < NR; ++col) {
          for (int r = 0; r < MR; ++r) {
            const std::int64_t i = i0 + r, j = j0 + col;
            double v = 0.0;
            if (i < n && j < n && i >= j) v = i == j ? dv[i] : G[j + i * n];
            t[col * MR + r] = v;
          }
        }
        tile_subtract(w.pack + s * kc * MR, b, MR, kc, t);
        for (int col = 0; col < NR; ++col) {
          for (int r = 0; r < MR; ++r) {
            const std::int64_t i = i0 + r, j = j0 + col;
            if (i < n && j < n && i >= j) {
              if (i == j) {
                dv[i] = t[col * MR + r];
              } else {
                G[j + i * n] = t[col * MR + r];
              }
            }
          }
        }
      }
    });
    if (!ok) return false;
    if (w.stop.requested()) return false;
  }
  return true;
}

// The block pairs (I, J), I >= J, of a symmetric pass: item q to its pair.
void block_pair(std::int64_t q, std::int64_t& I, std::int64_t& J) {
  I = static_cast<std::int64_t>((std::sqrt(8.0 * static_cast<double>(q) + 1.0) - 1.0) / 2.0);
  while (I * (I + 1) / 2 > q) --I;
  while ((I + 1) * (I + 2) / 2 <= q) ++I;
  J = q - I * (I + 1) / 2;
}

// dist[r] = sum over l of (xw(i, l) - xw(j, l))^2 for the rows i = b + r, r < len, of the
// n x d feature-major xw: each sum in l order from 0.0, several rows side by side.
KRR_VECTOR_CLONES
void pair_distances(const double* KRR_RESTRICT xw, std::int64_t n, int d, std::int64_t j,
                    std::int64_t b, std::int64_t len, double* KRR_RESTRICT dist) {
  for (std::int64_t r = 0; r < len; ++r) dist[r] = 0.0;
  for (int l = 0; l < d; ++l) {
    const double* col = xw + l * n + b;
    const double xj = xw[j + l * n];
    for (std::int64_t r = 0; r < len; ++r) {
      const double t = col[r] - xj;
      dist[r] += t * t;
    }
  }
}

// A Matern kernel's gradient, from K (F's strictly upper triangle), -A^-1 (G's, its diagonal
// in dv, which becomes W's) and alpha: each pair i > j once, from differences,
//   d/dlog w_l     = -1/2 sum_ij W(i, j) g(i, j) (xw(i, l) - xw(j, l))^2,
//   d/dlog amplitude = 1/2 sum_ij W(i, j) K(i, j),   d/dlog ridge = ridge/2 trace(W),
// with g = K h(a) (kernel_kind.h; 0 on the diagonal, where every difference is 0). Each
// block pair's sums apart, added in the pairs' order afterwards: the same bits on any
// number of threads. No expansion into squared norms: h grows as 1/a between near samples
// for Matern 1/2, which would make such an expansion cancel.
bool matern_gradient(dense_work& w, kernel_kind kind, const double* xw, int d, int c,
                     const double* alpha, double* dv, double amplitude, double ridge,
                     std::vector<double>& gradient) {
  const std::int64_t n = w.n;
  const double* Fp = w.F;
  const double* Gp = w.G;
  const double cc = static_cast<double>(c);
  const std::int64_t blocks = (n + PAIR_BLOCK - 1) / PAIR_BLOCK;
  const std::int64_t items = blocks * (blocks + 1) / 2;
  const std::size_t width = static_cast<std::size_t>(d) + 1;
  std::vector<double> partial(static_cast<std::size_t>(items) * width, 0.0);
  const bool ok = w.for_items(items, [&](std::int64_t q) {
    std::int64_t I, J;
    block_pair(q, I, J);
    const std::int64_t i0 = I * PAIR_BLOCK, i1 = std::min(n, i0 + PAIR_BLOCK);
    const std::int64_t j0 = J * PAIR_BLOCK, j1 = std::min(n, j0 + PAIR_BLOCK);
    double* sums = partial.data() + q * width;
    double dist[PAIR_BLOCK], g[PAIR_BLOCK];
    for (std::int64_t j = j0; j < j1; ++j) {
      const std::int64_t b = std::max(i0, j);
      const std::int64_t len = i1 - b;
      if (len <= 0) continue;
      pair_distances(xw, n, d, j, b, len, dist);
      for (std::int64_t r = 0; r < len; ++r) {
        const std::int64_t i = b + r;
        double aa = 0.0;
        for (int o = 0; o < c; ++o) aa += alpha[i + o * n] * alpha[j + o * n];
        if (i == j) {
          dv[j] = aa + cc * dv[j];  // W(j, j)
          sums[0] += dv[j] * amplitude;
          g[r] = 0.0;
          continue;
        }
        const double k = Fp[j + i * n];
        // A kernel value of 0 makes its terms 0 even where W's product overflowed.
        const double wk = k == 0.0 ? 0.0 : (aa + cc * Gp[j + i * n]) * k;
        sums[0] += 2.0 * wk;
        g[r] = wk == 0.0 ? 0.0 : wk * matern_slope_factor(kind, matern_argument(kind, dist[r]));
      }
      for (int l = 0; l < d; ++l) {
        const double* col = xw + l * n + b;
        const double xj = xw[j + l * n];
        double s = sums[1 + l];
        for (std::int64_t r = 0; r < len; ++r) {
          const double t = col[r] - xj;
          s += g[r] * (t * t);
        }
        sums[1 + l] = s;
      }
    }
  });
  if (!ok) return false;
  std::vector<double> total(width, 0.0);
  for (std::int64_t q = 0; q < items; ++q) {
    for (std::size_t i = 0; i < width; ++i) total[i] += partial[q * width + i];
  }
  double trace = 0.0;
  for (std::int64_t i = 0; i < n; ++i) trace += dv[i];
  gradient.assign(d + 2, 0.0);
  // Each pair i > j stands for (i, j) and (j, i): the halves cancel.
  for (int l = 0; l < d; ++l) gradient[l] = -total[1 + l];
  gradient[d] = 0.5 * total[0];
  gradient[d + 1] = 0.5 * ridge * trace;
  return true;
}

}  // namespace

double dense_objective_bytes(std::int64_t n, int d, int c, bool gradient) {
  const double nn = static_cast<double>(n);
  const double padded = static_cast<double>((n + MR - 1) / MR * MR + NR);
  return 8.0 * ((gradient ? 2.0 : 1.0) * nn * nn + 2.0 * padded * KC + KC * KC +
                nn * (2.0 * d + 2.0 * c + 3.0) + (gradient ? nn * (d + 2.0) : 0.0));
}

dense_objective_result dense_objective(const double* X, int d, std::int64_t n, const double* Y,
                                       int c, const double* theta,
                                       const dense_objective_settings& settings) {
  dense_objective_result result;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const bool gradient = settings.gradient;
  const std::uint64_t un = static_cast<std::uint64_t>(n);
  allocation_failure& failure = result.failure;
  auto F = try_allocate<double>(un * un, false, "the kernel matrix and its factor", failure);
  auto G = try_allocate<double>(gradient ? un * un : 0, false, "the inverse factor", failure);
  const std::uint64_t pack_count = 2 * (static_cast<std::uint64_t>((n + MR - 1) / MR) * MR + NR) * KC;
  auto pack = try_allocate<double>(pack_count, false, "the packed blocks", failure);
  if (failure.failed) {
    result.status = dense_objective_status::out_of_memory;
    return result;
  }
  interruption stop(settings.interrupt_pending, settings.interrupt_state);
  thread_pool pool(effective_threads(settings.threads, n, settings.min_rows_per_thread));
  dense_work w{pool, stop, n, F.get(), G.get(), pack.get()};
  auto interrupted = [&]() {
    result.status = dense_objective_status::interrupted;
    return result;
  };

  // The features translated to the midpoint of their range (the kernel depends only on
  // differences), so that the Gram products below cancel only as much as the data's spread
  // makes them, wherever the data lie; then scaled by sqrt(w), feature-major (n x d).
  std::vector<double> w_(d), xc(static_cast<std::size_t>(d) * n), xw(static_cast<std::size_t>(d) * n);
  for (int l = 0; l < d; ++l) {
    w_[l] = std::exp(theta[l]);
    double hi = nan, lo = nan;
    for (std::int64_t i = 0; i < n; ++i) {
      const double v = X[l + i * d];
      if (v > hi || std::isnan(hi)) hi = std::isnan(v) ? hi : v;
      if (v < lo || std::isnan(lo)) lo = std::isnan(v) ? lo : v;
    }
    const double centre = hi / 2.0 + lo / 2.0;
    const double scale = std::sqrt(w_[l]);
    for (std::int64_t i = 0; i < n; ++i) {
      xc[l + i * d] = X[l + i * d] - centre;
      xw[i + l * n] = scale * xc[l + i * d];
    }
  }
  const double amplitude = std::exp(theta[d]);
  const double ridge = std::exp(theta[d + 1]);
  std::vector<double> sq(n, 0.0);
  for (std::int64_t i = 0; i < n; ++i) {
    for (int l = 0; l < d; ++l) sq[i] += xw[i + l * n] * xw[i + l * n];
  }

  // K(i, j) = amplitude exp(min(0, 2 G(i, j) - sq_i - sq_j)), 0 in the exponent on the
  // diagonal, G(i, j) = sum_l xw(i, l) xw(j, l) in l order; computed for i >= j and mirrored,
  // so that K is symmetric exactly.
  const exp_function exp_fn = library_exp();
  const std::int64_t blocks = (n + PAIR_BLOCK - 1) / PAIR_BLOCK;
  double* Fp = F.get();
  const kernel_kind kind = settings.kind;
  const bool matern = kind != kernel_kind::gaussian;
  // A Matern kernel from differences (kernel_kind.h): K(i, j) = amplitude p(a) exp(-a) with
  // a from s = sum_l (xw(i, l) - xw(j, l))^2, summed in l order.
  auto matern_pair_block = [&](std::int64_t i0, std::int64_t i1, std::int64_t j0,
                               std::int64_t j1) {
    double dist[PAIR_BLOCK];
    for (std::int64_t j = j0; j < j1; ++j) {
      const std::int64_t b = std::max(i0, j);
      const std::int64_t len = i1 - b;
      if (len <= 0) continue;
      pair_distances(xw.data(), n, d, j, b, len, dist);
      for (std::int64_t r = 0; r < len; ++r) {
        const std::int64_t i = b + r;
        const double a = matern_argument(kind, dist[r]);
        const double k = matern_value(kind, a, exp_fn(-a), amplitude);
        Fp[i + j * n] = k;
        Fp[j + i * n] = k;
      }
    }
  };
  bool ok = w.for_items(blocks * (blocks + 1) / 2, [&](std::int64_t q) {
    std::int64_t I, J;
    block_pair(q, I, J);
    const std::int64_t i0 = I * PAIR_BLOCK, i1 = std::min(n, i0 + PAIR_BLOCK);
    const std::int64_t j0 = J * PAIR_BLOCK, j1 = std::min(n, j0 + PAIR_BLOCK);
    if (matern) {
      matern_pair_block(i0, i1, j0, j1);
      return;
    }
    double gram[PAIR_BLOCK];
    for (std::int64_t j = j0; j < j1; ++j) {
      const std::int64_t b = std::max(i0, j);
      const std::int64_t len = i1 - b;
      if (len <= 0) continue;
      for (std::int64_t r = 0; r < len; ++r) gram[r] = 0.0;
      for (int l = 0; l < d; ++l) {
        const double* col = xw.data() + l * n + b;
        const double xj = xw[j + l * n];
        for (std::int64_t r = 0; r < len; ++r) gram[r] += col[r] * xj;
      }
      for (std::int64_t r = 0; r < len; ++r) {
        const std::int64_t i = b + r;
        double s = 2.0 * gram[r] - sq[i] - sq[j];
        if (s > 0.0 || i == j) s = 0.0;
        const double k = amplitude * exp_fn(s);
        Fp[i + j * n] = k;
        Fp[j + i * n] = k;
      }
    }
  });
  if (!ok) return interrupted();

  // Row sums (column sums: K is symmetric), j increasing; the check that K is finite.
  std::vector<double> row_sums(n);
  std::vector<char> finite(n);
  ok = w.for_items(n, [&](std::int64_t i) {
    const double* col = Fp + i * n;
    double s = 0.0;
    bool all = true;
    for (std::int64_t j = 0; j < n; ++j) {
      s += col[j];
      all = all && std::isfinite(col[j]);
    }
    row_sums[i] = s;
    finite[i] = all;
  });
  if (!ok) return interrupted();
  bool failed = false;
  result.lambda_bound = nan;
  for (std::int64_t i = 0; i < n; ++i) {
    failed = failed || !finite[i];
    if (!std::isnan(row_sums[i]) && (std::isnan(result.lambda_bound) || row_sums[i] > result.lambda_bound)) {
      result.lambda_bound = row_sums[i];
    }
  }
  if (!failed) {
    for (std::int64_t j = 0; j < n; ++j) Fp[j + j * n] = amplitude + ridge;
    if (!factorise(w, failed)) return interrupted();
  }
  if (failed) {
    result.value = -std::numeric_limits<double>::infinity();
    result.value_error = nan;
    result.alpha.assign(static_cast<std::size_t>(n) * c, nan);
    if (gradient) result.gradient.assign(d + 2, nan);
    return result;
  }
  result.factorised = true;

  // alpha = L^-T (L^-1 Y): forward by columns of L, back by dot products with them.
  result.alpha.assign(Y, Y + static_cast<std::size_t>(n) * c);
  for (int q = 0; q < c; ++q) {
    double* a = result.alpha.data() + q * n;
    for (std::int64_t k = 0; k < n; ++k) {
      a[k] = a[k] / Fp[k + k * n];
      subtract_scaled(a + k + 1, Fp + k * n + k + 1, a[k], n - k - 1);
    }
    for (std::int64_t k = n - 1; k >= 0; --k) {
      const double* col = Fp + k * n;
      double t = a[k];
      for (std::int64_t i = k + 1; i < n; ++i) t -= col[i] * a[i];
      a[k] = t / col[k];
    }
  }
  double data_fit = 0.0, log_diag = 0.0, fit_size = 0.0, log_size = 0.0;
  for (int q = 0; q < c; ++q) {
    double s = 0.0;
    for (std::int64_t i = 0; i < n; ++i) {
      s += Y[i + q * n] * result.alpha[i + q * n];
      fit_size += std::fabs(Y[i + q * n] * result.alpha[i + q * n]);
    }
    data_fit += s;
  }
  for (std::int64_t j = 0; j < n; ++j) {
    const double l = std::log(Fp[j + j * n]);
    log_diag += l;
    log_size += std::fabs(l);
  }
  const double pi = 3.14159265358979323846;
  const double constant = 0.5 * c * static_cast<double>(n) * std::log(2.0 * pi);
  result.value = -0.5 * data_fit - c * log_diag - constant;
  double alpha_squares = 0.0;
  for (double a : result.alpha) alpha_squares += a * a;
  result.value_error =
      0x1p-53 * (std::sqrt(static_cast<double>(n)) * (0.5 * fit_size + c * log_size + constant) +
                 (amplitude + ridge) * 0.5 * (alpha_squares + c * static_cast<double>(n) / ridge));
  if (!gradient) return result;

  // The gradient: W = alpha alpha' - c A^-1 from the inverse factor, then
  // d/dlog w_l = -w_l (sum_i x_il^2 (WK 1)_i - x_l' WK x_l) with WK = W .* K symmetric (for
  // a length scale dA(i, j)/dlog w_l = -w_l K(i, j) (x_il - x_jl)^2, whose double sum
  // expands so; the features are centred, so the two terms do not cancel badly),
  // d/dlog amplitude = 1/2 1' WK 1 and d/dlog ridge = ridge/2 trace(W).
  double* Gp = G.get();
  ok = w.for_items(n, [&](std::int64_t j) {
    double* col = Gp + j * n;
    std::fill(col, col + n, 0.0);
    col[j] = 1.0;
  });
  if (!ok || !invert_factor(w)) return interrupted();
  std::vector<double> dv(n, 0.0);
  if (!negative_inverse(w, dv.data())) return interrupted();
  if (matern) {
    if (!matern_gradient(w, kind, xw.data(), d, c, result.alpha.data(), dv.data(), amplitude,
                         ridge, result.gradient)) {
      return interrupted();
    }
    return result;
  }
  // WK into F, both triangles, from K (F's upper triangle) and -A^-1 (G's): each pair once.
  const double cc = static_cast<double>(c);
  const double* alpha = result.alpha.data();
  ok = w.for_items(blocks * (blocks + 1) / 2, [&](std::int64_t q) {
    std::int64_t I, J;
    block_pair(q, I, J);
    const std::int64_t i0 = I * PAIR_BLOCK, i1 = std::min(n, i0 + PAIR_BLOCK);
    const std::int64_t j0 = J * PAIR_BLOCK, j1 = std::min(n, j0 + PAIR_BLOCK);
    for (std::int64_t j = j0; j < j1; ++j) {
      for (std::int64_t i = std::max(i0, j); i < i1; ++i) {
        double aa = 0.0;
        for (int o = 0; o < c; ++o) aa += alpha[i + o * n] * alpha[j + o * n];
        if (i == j) {
          dv[j] = aa + cc * dv[j];  // W(j, j)
          Fp[j + j * n] = dv[j] * amplitude;
        } else {
          const double v = (aa + cc * Gp[j + i * n]) * Fp[j + i * n];
          Fp[i + j * n] = v;
          Fp[j + i * n] = v;
        }
      }
    }
  });
  if (!ok) return interrupted();
  // (WK 1)_j and (X WK)(l, j) by columns, i increasing.
  std::vector<double> M(static_cast<std::size_t>(d) * n);
  ok = w.for_items(n, [&](std::int64_t j) {
    const double* col = Fp + j * n;
    double s = 0.0;
    double* m = M.data() + j * d;
    for (int l = 0; l < d; ++l) m[l] = 0.0;
    for (std::int64_t i = 0; i < n; ++i) {
      s += col[i];
      const double* x = xc.data() + i * d;
      for (int l = 0; l < d; ++l) m[l] += x[l] * col[i];
    }
    row_sums[j] = s;
  });
  if (!ok) return interrupted();
  result.gradient.assign(d + 2, 0.0);
  for (int l = 0; l < d; ++l) {
    double a = 0.0, b = 0.0;
    for (std::int64_t i = 0; i < n; ++i) {
      const double x = xc[l + i * d];
      a += x * x * row_sums[i];
      b += M[l + i * d] * x;
    }
    result.gradient[l] = -w_[l] * (a - b);
  }
  double total = 0.0, trace = 0.0;
  for (std::int64_t i = 0; i < n; ++i) total += row_sums[i];
  for (std::int64_t i = 0; i < n; ++i) trace += dv[i];
  result.gradient[d] = 0.5 * total;
  result.gradient[d + 1] = 0.5 * ridge * trace;
  return result;
}

}  // namespace krr
