// Kernel column rows: weighted dot products for a tile of rows, several rows side by side
// (each row's sum still runs over features in increasing order), then one call of the C
// library's exp per row (through its unwrapped entry where it has one: library_exp.h). The
// Matern kernels' rows: the weighted squared distances of a tile of rows summed feature by
// feature from differences, then their arguments, the exp calls and the polynomial factors,
// each value the same operations as kernel_value on weighted_sq_distance.
#include "core/exact_arithmetic.h"

#include "core/kernel/kernel_column.h"

#include <cmath>

#include "core/kernel/kernel_frame.h"
#include "core/kernel/kernel_math.h"
#include "core/kernel/library_exp.h"
#include "core/kernel/vector_clones.h"
#include "core/kernel/weighted_dots.h"

namespace krr {

namespace {

constexpr int TILE = 256;

// The differences form, where the norms are not safely finite: rare enough that one row at
// a time serves.
void kernel_rows_by_differences(const training_data& data, const double* xs, std::int64_t begin,
                                std::int64_t end, double* column) {
  const int d = data.d;
  const std::int64_t n = data.n;
  const exp_function exp_of = library_exp();
  for (std::int64_t r = begin; r < end; ++r) {
    double sum = 0.0;
    for (int l = 0; l < d; ++l) {
      if (data.w[l] > 0.0) {
        const double t = data.Xt[l * n + r] - xs[l];
        sum += (t * data.w[l]) * t;
      }
    }
    column[r] = exp_of(-sum) * data.w[d];
  }
}

// A Matern kernel's K(r, x) for the rows of [begin, end): the loop of both entries below.
template <kernel_kind K>
KRR_CLONE_BODY void matern_rows(const training_data& data, const double* xs, std::int64_t begin,
                                std::int64_t end, double* column) {
  const int d = data.d;
  const std::int64_t n = data.n;
  const double amplitude = data.w[d];
  const exp_function exp_of = library_exp();
  double s[TILE], a[TILE];
  for (std::int64_t r0 = begin; r0 < end; r0 += TILE) {
    const int len = static_cast<int>(end - r0 < TILE ? end - r0 : TILE);
    for (int i = 0; i < len; ++i) s[i] = 0.0;
    for (int l = 0; l < d; ++l) {
      const double wl = data.w[l];
      if (!(wl > 0.0)) continue;  // as weighted_sq_distance: no Inf * 0 from far samples
      const double* x = data.Xt + l * n + r0;
      const double xl = xs[l];
      for (int i = 0; i < len; ++i) {
        const double t = x[i] - xl;
        s[i] += (t * wl) * t;
      }
    }
    double* out = column + r0;
    // The square roots beside the exp calls, not in a loop of their own: sqrt, which does
    // not vectorise where it may set errno, then overlaps the calls.
    for (int i = 0; i < len; ++i) {
      a[i] = matern_argument<K>(s[i]);
      out[i] = exp_of(-a[i]);
    }
    for (int i = 0; i < len; ++i) out[i] = matern_value<K>(a[i], out[i], amplitude);
  }
}

KRR_CLONE_BODY void matern_rows(const training_data& data, const double* xs, std::int64_t begin,
                                std::int64_t end, double* column) {
  switch (data.kind) {
    case kernel_kind::matern12: matern_rows<kernel_kind::matern12>(data, xs, begin, end, column); break;
    case kernel_kind::matern32: matern_rows<kernel_kind::matern32>(data, xs, begin, end, column); break;
    default: matern_rows<kernel_kind::matern52>(data, xs, begin, end, column); break;
  }
}

// K(r, x) for the rows of [begin, end), x given in the frame with its norm ns: the loop of
// both entries below, inlined into each of their instruction-set clones.
KRR_CLONE_BODY void kernel_rows(const training_data& data, const double* xs, double ns,
                                std::int64_t begin, std::int64_t end, double* column) {
  const int d = data.d;
  const std::int64_t n = data.n;
  const double amplitude = data.w[d];
  const exp_function exp_of = library_exp();
  double ip[TILE];
  for (std::int64_t r0 = begin; r0 < end; r0 += TILE) {
    const int len = static_cast<int>(end - r0 < TILE ? end - r0 : TILE);
    weighted_dots(data.Xt, n, r0, len, xs, data.w, d, ip);
    // The arguments several rows at a time, then the exp calls.
    const double* nr = data.norms + r0;
    double* out = column + r0;
    for (int i = 0; i < len; ++i) ip[i] = -((ns + nr[i]) - (ip[i] + ip[i]));
    for (int i = 0; i < len; ++i) out[i] = exp_of(ip[i]) * amplitude;
  }
}

}  // namespace

KRR_VECTOR_CLONES
void kernel_column_rows(const training_data& data, column_sample s, std::int64_t begin,
                        std::int64_t end, double* column) {
  if (data.kind != kernel_kind::gaussian) {
    matern_rows(data, s.x, begin, end, column);
    return;
  }
  if (data.by_differences) {
    kernel_rows_by_differences(data, s.x, begin, end, column);
    return;
  }
  kernel_rows(data, s.x, s.norm, begin, end, column);
}

KRR_VECTOR_CLONES
void sample_kernel_rows(const training_data& data, const double* x, double x_norm,
                        std::int64_t begin, std::int64_t end, double* column) {
  if (data.kind != kernel_kind::gaussian) {
    matern_rows(data, x, begin, end, column);
    return;
  }
  if (data.by_differences || !norm_is_safe(x_norm)) {
    kernel_rows_by_differences(data, x, begin, end, column);
    return;
  }
  kernel_rows(data, x, x_norm, begin, end, column);
}

}  // namespace krr
