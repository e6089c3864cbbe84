// Choosing the frame of a training matrix (kernel_frame.h).
#include "core/exact_arithmetic.h"

#include "core/kernel/kernel_frame.h"

#include <cfloat>
#include <cmath>

#include "core/kernel/kernel_math.h"
#include "core/parallel/row_team.h"

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
  single_team team(n);
  return choose_kernel_frame(X, d, w, team);
}

kernel_frame choose_kernel_frame(const double* X, int d, const double* w, row_team& team) {
  kernel_frame frame;
  if (d == 0 || team.n() == 0) return frame;
  // Each feature's range over this rank's rows, then over the team's: the least and the
  // greatest are exact, and of equal values (0 and -0) the first in row order is kept, as
  // one scan of every row keeps it.
  const std::int64_t n = team.rows();
  std::vector<double> lo(static_cast<std::size_t>(d), HUGE_VAL), hi(static_cast<std::size_t>(d), -HUGE_VAL);
  for (int l = 0; l < d && n > 0; ++l) {
    lo[l] = X[l];
    hi[l] = X[l];
    for (std::int64_t j = 1; j < n; ++j) {
      const double v = X[j * d + l];
      lo[l] = v < lo[l] ? v : lo[l];
      hi[l] = v > hi[l] ? v : hi[l];
    }
  }
  team.extremes(lo.data(), hi.data(), d);
  frame.centre.assign(static_cast<std::size_t>(d), 0.0);
  for (int l = 0; l < d; ++l) frame.centre[l] = lo[l] / 2 + hi[l] / 2;  // halves first: lo + hi may overflow
  // The largest norms, a norm not safely finite counted as Inf.
  double largest[2] = {largest_norm(X, d, n, w, nullptr), largest_norm(X, d, n, w, &frame)};
  for (double& x : largest) x = x < 0.0 ? HUGE_VAL : x;
  team.extremes(nullptr, largest, 2);
  const double plain = largest[0] == HUGE_VAL ? -1.0 : largest[0];
  const double centred = largest[1] == HUGE_VAL ? -1.0 : largest[1];
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
