// Kernel arithmetic shared by training and prediction: weighted inner products and the
// largest-magnitude search. Every sum starts from 0.0 and runs in increasing index order
// so results are reproducible bit for bit.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace krr {

// Where sample s of a d x n sample matrix starts, in 64 bits: s * d passes 2^31 long
// before n or d does (n = 2^20 samples of 2^11 features).
inline std::int64_t sample_offset(std::int64_t s, int d) { return s * d; }
inline const double* sample_at(const double* X, std::int64_t s, int d) {
  return X + sample_offset(s, d);
}

// Sum over l of (P[a*d+l] * Q[b*d+l]) * w[l], in increasing l, from 0.0.
inline double weighted_dot(const double* P, std::int64_t a, const double* Q, std::int64_t b,
                           int d, const double* w) {
  const double* p = sample_at(P, a, d);
  const double* q = sample_at(Q, b, d);
  double sum = 0.0;
  for (int l = 0; l < d; ++l) sum += (p[l] * q[l]) * w[l];
  return sum;
}

inline double weighted_sq_norm(const double* P, std::int64_t a, int d, const double* w) {
  return weighted_dot(P, a, P, a, d, w);
}

struct max_abs_result {
  double value;
  int index;
};

// Largest |v[i]| and the first index holding it. Only a strictly greater value replaces
// the best, so ties keep the lower index and a NaN never wins unless it sits at index 0.
// count must be at least 1.
inline max_abs_result max_abs_entry(const double* v, int count) {
  max_abs_result best{std::fabs(v[0]), 0};
  for (int i = 1; i < count; ++i) {
    const double a = std::fabs(v[i]);
    if (a > best.value) {
      best.value = a;
      best.index = i;
    }
  }
  return best;
}

// The same search split into parts: max_abs_part scans [begin, end) from nothing (NaNs
// skipped; index -1 when the range holds none but NaNs), and merging the parts left to
// right into {|v[0]|, 0} with merge_max_abs gives exactly max_abs_entry of the whole.
inline max_abs_result max_abs_part(const double* v, std::int64_t begin, std::int64_t end) {
  max_abs_result best{-1.0, -1};
  for (std::int64_t i = begin; i < end; ++i) {
    const double a = std::fabs(v[i]);
    if (a > best.value) {
      best.value = a;
      best.index = static_cast<int>(i);
    }
  }
  return best;
}

inline void merge_max_abs(max_abs_result& best, const max_abs_result& part) {
  if (part.index >= 0 && part.value > best.value) best = part;
}

}  // namespace krr
