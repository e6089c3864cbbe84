// Where kernel values are computed from. The kernel depends only on differences of
// samples, but the fast order forms the weighted squared distance as (N_a + N_b) - 2 a.b
// from weighted squared norms: that cancels when the samples sit far from the origin
// relative to their spread (timestamps, positions with a large offset), and overflows
// when a weighted square does. From the training matrix and the weights alone, so that
// training and prediction always agree, one of three forms is chosen:
//   plain        the samples as given, wherever that order is accurate: the largest
//                weighted squared norm N is at most 2048 (the order's error in the
//                exponent, about 4 u N with u the unit roundoff, stays below 2^-40), or at
//                most 64 times the largest one of the samples translated to the centre of
//                their range (the norms then carry at most 6 bits that the distances cancel);
//   centred      the same order on the samples translated by the midpoint of each
//                feature's range, features of weight 0 set to 0, where the plain norms
//                cancel more or are not safely finite but the centred ones are;
//   differences  w(d+1) * exp(-sum_l (t_l * w_l) * t_l), t_l = a_l - b_l, term by term,
//                where even the centred norms are not safely finite, or where the fast
//                order's norms pass 2^32 (its error in the exponent would pass 2^-19).
// Safely finite: every norm finite and at most DBL_MAX / 16, so that no sum or product of
// the fast order can overflow.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

namespace krr {

class row_team;

enum class kernel_form { plain, centred, differences };

struct kernel_frame {
  kernel_form form = kernel_form::plain;
  std::vector<double> centre;  // d values, for the centred form
};

// The frame of the d x n training matrix X under weights w (d entries used, each >= 0).
kernel_frame choose_kernel_frame(const double* X, int d, std::int64_t n, const double* w);

// The same for the training matrix shared by a team (core/parallel/row_team.h): X holds this
// rank's rows; every rank gets the frame of all n.
kernel_frame choose_kernel_frame(const double* X, int d, const double* w, row_team& team);

// Whether a norm computed in the fast order leaves every later sum and product finite.
bool norm_is_safe(double norm);

// Sample x (d values) as the centred form sees it: x - centre, 0 where the weight is 0.
inline void centre_sample(const kernel_frame& frame, const double* x, int d, const double* w,
                          double* out) {
  for (int l = 0; l < d; ++l) out[l] = w[l] > 0.0 ? x[l] - frame.centre[l] : 0.0;
}

// Sample x as the frame sees it: x itself, or (centred form) its centred copy in buffer.
inline const double* framed_sample(const kernel_frame& frame, const double* x, int d,
                                   const double* w, double* buffer) {
  if (frame.form != kernel_form::centred) return x;
  centre_sample(frame, x, d, w, buffer);
  return buffer;
}

// sum over l of (t * w[l]) * t, t = a[l] - b[l], in increasing l from 0.0; terms of weight 0
// are skipped, so a difference too large for a double cannot make the sum NaN.
inline double weighted_sq_distance(const double* a, const double* b, int d, const double* w) {
  double sum = 0.0;
  for (int l = 0; l < d; ++l) {
    if (w[l] > 0.0) {
      const double t = a[l] - b[l];
      sum += (t * w[l]) * t;
    }
  }
  return sum;
}

}  // namespace krr
