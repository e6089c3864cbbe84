// The kernels the learner and prediction know, all stationary, each a function of the
// weighted squared distance s = sum_l w_l (a_l - b_l)^2 with w_l = 1 / (2 l_l^2):
//   squared exponential (Gaussian)  k = amplitude * exp(-s)
//   Matern 1/2, 3/2, 5/2            k = amplitude * p(a) * exp(-a),  a = c r,
// with r = sqrt(2 s) = sqrt(sum_l (a_l - b_l)^2 / l_l^2), c = 1, sqrt(3), sqrt(5) and
// p(a) = 1, 1 + a, 1 + a + a^2 / 3. All are amplitude at s = 0.
//
// The Matern kernels are formed from differences only (s summed term by term as
// weighted_sq_distance sums it), never from norms and dot products: r is a square root of
// s, so the fast order's absolute error in s, harmless inside the Gaussian's exp, would
// become an error of its square root in r between near samples.
//
// Derivatives: dk/dlog w_l = -w_l (a_l - b_l)^2 * g with g = k h(a):
//   Gaussian h = 1;  Matern 1/2 h = 1 / a;  3/2 h = 3 / (1 + a);
//   5/2 h = (5/3) (1 + a) / (1 + a + a^2 / 3).
// For Matern 1/2 h is unbounded as a -> 0, but the product with (a_l - b_l)^2 <= a^2 / (2 w_l)
// goes to 0: at a = 0 (duplicated samples) h is taken as 0, the limit of the derivative.
#pragma once

#include <cmath>
#include <string>

namespace krr {

enum class kernel_kind { gaussian, matern12, matern32, matern52 };

// The name a model records and the options take: "squaredexponential", "matern12",
// "matern32", "matern52".
const char* kernel_name(kernel_kind kind);

// The kernel of a name in any case: the names above, or the aliases "gaussian", "se", "rbf"
// (the squared exponential) and "exponential" (Matern 1/2). False for any other name.
bool kernel_from_name(const std::string& name, kernel_kind& kind);

// Beyond this a, exp(-a) is 0 in double precision for every Matern kernel (it underflows
// past about 745), while p(a) stays finite: clamping a there changes no value and keeps
// p(a) * exp(-a) from becoming Inf * 0 where r overflows.
constexpr double MATERN_FAR = 1000.0;

// 1/3 rounded: a^2 / 3 is formed as a^2 * THIRD, a multiplication where a division would
// cost the vector loops several times as much.
constexpr double THIRD = 1.0 / 3.0;

// a = c sqrt(s + s), at most MATERN_FAR (NaN stays NaN).
template <kernel_kind K>
inline double matern_argument(double s) {
  const double r = std::sqrt(s + s);
  const double a = K == kernel_kind::matern12   ? r
                   : K == kernel_kind::matern32 ? 1.7320508075688772 * r
                                                : 2.23606797749979 * r;
  return a > MATERN_FAR ? MATERN_FAR : a;
}

// p(a) * e * amplitude, e = exp(-a): the kernel value from its argument and exp.
template <kernel_kind K>
inline double matern_value(double a, double e, double amplitude) {
  if (K == kernel_kind::matern12) return e * amplitude;
  if (K == kernel_kind::matern32) return ((1.0 + a) * e) * amplitude;
  return ((1.0 + a + (a * a) * THIRD) * e) * amplitude;
}

// h(a): the derivative's factor g = k h(a) (above), 0 at a = 0 for Matern 1/2.
template <kernel_kind K>
inline double matern_slope_factor(double a) {
  if (K == kernel_kind::matern12) return a > 0.0 ? 1.0 / a : 0.0;
  if (K == kernel_kind::matern32) return 3.0 / (1.0 + a);
  return (5.0 / 3.0) * (1.0 + a) / (1.0 + a + (a * a) * THIRD);
}

// The same three for a kind given at run time (not the Gaussian's).
inline double matern_argument(kernel_kind kind, double s) {
  switch (kind) {
    case kernel_kind::matern12: return matern_argument<kernel_kind::matern12>(s);
    case kernel_kind::matern32: return matern_argument<kernel_kind::matern32>(s);
    default: return matern_argument<kernel_kind::matern52>(s);
  }
}
inline double matern_value(kernel_kind kind, double a, double e, double amplitude) {
  switch (kind) {
    case kernel_kind::matern12: return matern_value<kernel_kind::matern12>(a, e, amplitude);
    case kernel_kind::matern32: return matern_value<kernel_kind::matern32>(a, e, amplitude);
    default: return matern_value<kernel_kind::matern52>(a, e, amplitude);
  }
}
inline double matern_slope_factor(kernel_kind kind, double a) {
  switch (kind) {
    case kernel_kind::matern12: return matern_slope_factor<kernel_kind::matern12>(a);
    case kernel_kind::matern32: return matern_slope_factor<kernel_kind::matern32>(a);
    default: return matern_slope_factor<kernel_kind::matern52>(a);
  }
}

// The kernel value at weighted squared distance s with exp given (the library's entry):
// amplitude * exp(-s) for the Gaussian, as the differences form has it.
inline double kernel_value(kernel_kind kind, double s, double amplitude, double (*exp_of)(double)) {
  if (kind == kernel_kind::gaussian) return exp_of(-s) * amplitude;
  const double a = matern_argument(kind, s);
  return matern_value(kind, a, exp_of(-a), amplitude);
}

}  // namespace krr
