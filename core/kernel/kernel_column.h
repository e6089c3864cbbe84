// Kernel columns of the training samples: K(r, s) for the rows r of one range, computed
// several rows side by side. Each value is the same sequence of operations as the
// plain formula amplitude * exp(-((N_s + N_r) - (ip + ip))), with ip the weighted dot
// product summed over features in increasing order, so the result is identical bit for
// bit to computing rows one at a time. The samples are those of the kernel frame
// (core/kernel/kernel_frame.h): as given, or centred; in the differences form each value is
// amplitude * exp(-weighted_sq_distance) instead. The Matern kernels (core/kernel/kernel_kind.h)
// are always formed from differences, several rows side by side: their data are marked
// by_differences whatever the frame.
#pragma once

#include <cstdint>

#include "core/kernel/kernel_math.h"
#include "core/kernel/kernel_kind.h"
#include "core/kernel/weighted_dots.h"

namespace krr {

// The training samples and what every kernel column reads of them.
struct training_data {
  const double* X;         // d x n, one sample per column, in the kernel frame
  const double* Xt;        // the same values feature-major: Xt[l*n + r] = X[r*d + l]
  const double* w;         // d + 1 weights, w[d] the amplitude
  const double* norms;     // n weighted squared norms (unused by differences)
  double ridge;
  int n;
  int d;
  bool by_differences = false;  // the differences form of the kernel frame, or a Matern kernel
  kernel_kind kind = kernel_kind::gaussian;
};

// A training sample as a column's values are formed from it: its features in the kernel
// frame and its weighted squared norm there. A sample held by another process of a team
// (core/parallel/row_team.h) arrives as these values.
struct column_sample {
  const double* x;  // d values
  double norm;
};

// Sample s of data.
inline column_sample training_sample(const training_data& data, std::int64_t s) {
  return {sample_at(data.X, s, data.d), data.norms[s]};
}

// Writes K(r, s) for r in [begin, end) to column[r], s the given training sample (from these
// rows or another rank's); the ridge is not included. Each value is the same whatever the
// range it is computed in.
void kernel_column_rows(const training_data& data, column_sample s, std::int64_t begin,
                        std::int64_t end, double* column);

// The same for sample s of data.
inline void kernel_column_rows(const training_data& data, int s, std::int64_t begin,
                               std::int64_t end, double* column) {
  kernel_column_rows(data, training_sample(data, s), begin, end, column);
}

// The same for a sample x that is not one of the training samples (a test sample), given in
// the training samples' frame with its weighted squared norm there: K(r, x) for r in
// [begin, end), as prediction forms each value; from differences where the data's frame
// asks for them or x's norm is not safely finite.
void sample_kernel_rows(const training_data& data, const double* x, double x_norm,
                        std::int64_t begin, std::int64_t end, double* column);

}  // namespace krr
