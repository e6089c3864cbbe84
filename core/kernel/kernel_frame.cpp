// Choosing the frame of a training matrix (kernel_frame.h).
#include "core/exact_arithmetic.h"

#include "core/kernel/kernel_frame.h"

#include <cfloat>

#include "core/kernel/kernel_math.h"

namespace krr {

namespace {

constexpr double SAFE_NORM = DBL_MAX / 16;
// The plain order's error in the exponent is about 4 u N for norms up to N (u the unit
// roundoff): up to this N it stays below 2^-40, whatever it cancels.
constexpr double PLAIN_ACCURATE_NORM = 2048.0;
// Beyond, the plain order's norms may exceed the centred ones by this factor (6 bits)
// before the cancellation in (N_a + N_b) - 2 a.b costs more than the translation's own.
constexpr double PLAIN_EXCESS = 64.0;
// Neither fast order is used where its norms exceed this: its error in the exponent, about
// 4 u N, would pass 2^-19, and a little further on it could turn a kernel value between
// near samples into exp of a large positive number (a feature spread over 2^53 times its
// length scale made prediction return Inf). The differences serve there.
constexpr double FAST_ACCURATE_NORM = 4294967296.0;  // 2^32

// The largest weighted squared norm of the samples, or -1 when one is not safely finite.
// `centre` null: the samples as given; else translated as centre_sample translates them.
double largest_norm(const double* X, int d, std::int64_t n, const double* w,
                    const kernel_frame* centred) {
  std::vector<double> x(static_cast<std::size_t>(d));
  double largest = 0.0;
  for (std::int64_t j = 0; j < n; ++j) {
    const double* sample = X + j * d;
    if (centred) {
      centre_sample(*centred, sample, d, w, x.data());
      sample = x.data();
    }
    const double norm = weighted_sq_norm(sample, 0, d, w);
    if (!norm_is_safe(norm)) return -1.0;
    if (norm > largest) largest = norm;
  }
  return largest;
}

}  // namespace

bool norm_is_safe(double norm) { return norm >= 0.0 && norm <= SAFE_NORM; }

kernel_frame choose_kernel_frame(const double* X, int d, std::int64_t n, const double* w) {
  kernel_frame frame;
  if (d == 0 || n == 0) return frame;
  frame.centre.assign(static_cast<std::size_t>(d), 0.0);
  for (int l = 0; l < d; ++l) {
    double lo = X[l], hi = X[l];
    for (std::int64_t j = 1; j < n; ++j) {
      const double v = X[j * d + l];
      lo = v < lo ? v : lo;
      hi = v > hi ? v : hi;
    }
    frame.centre[l] = lo / 2 + hi / 2;  // halves first: lo + hi may overflow
  }
  const double plain = largest_norm(X, d, n, w, nullptr);
  const double centred = largest_norm(X, d, n, w, &frame);
  if (plain >= 0.0 && plain <= FAST_ACCURATE_NORM &&
      (centred < 0.0 || plain <= PLAIN_ACCURATE_NORM || plain <= PLAIN_EXCESS * centred)) {
    frame.form = kernel_form::plain;
  } else if (centred >= 0.0 && centred <= FAST_ACCURATE_NORM) {
    frame.form = kernel_form::centred;
  } else {
    frame.form = kernel_form::differences;
  }
  return frame;
}

}  // namespace krr
