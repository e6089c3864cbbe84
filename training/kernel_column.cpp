// Kernel column rows: weighted dot products for a tile of rows at a time, feature by
// feature over the tile (each row's sum still runs over features in increasing order),
// then one call of the C library's exp per row.
#include "training/kernel_column.h"

#include <cmath>

#include "common/vector_clones.h"

namespace krr {

namespace {
constexpr int TILE = 256;
}

KRR_VECTOR_CLONES
void kernel_column_rows(const training_data& data, int s, std::int64_t begin, std::int64_t end,
                        double* column) {
  const int d = data.d;
  const std::int64_t n = data.n;
  const double* xs = data.X + static_cast<std::int64_t>(s) * d;
  const double ns = data.norms[s];
  const double amplitude = data.w[d];
  double ip[TILE];
  for (std::int64_t r0 = begin; r0 < end; r0 += TILE) {
    const int len = static_cast<int>(end - r0 < TILE ? end - r0 : TILE);
    for (int i = 0; i < len; ++i) ip[i] = 0.0;
    for (int l = 0; l < d; ++l) {
      const double* xt = data.Xt + l * n + r0;
      const double xsl = xs[l];
      const double wl = data.w[l];
      for (int i = 0; i < len; ++i) ip[i] += (xt[i] * xsl) * wl;
    }
    // The argument, the exponential and the amplitude in separate passes, so that the
    // arithmetic around the exp calls is done several rows at a time.
    const double* nr = data.norms + r0;
    double* out = column + r0;
    for (int i = 0; i < len; ++i) ip[i] = -((ns + nr[i]) - (ip[i] + ip[i]));
    for (int i = 0; i < len; ++i) out[i] = std::exp(ip[i]);
    for (int i = 0; i < len; ++i) out[i] *= amplitude;
  }
}

void transpose_samples(const double* X, int d, int n, double* Xt) {
  for (std::int64_t r = 0; r < n; ++r) {
    for (int l = 0; l < d; ++l) Xt[l * static_cast<std::int64_t>(n) + r] = X[r * d + l];
  }
}

}  // namespace krr
