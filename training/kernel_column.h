// Kernel columns of the training samples: K(r, s) for the rows r of one range, computed
// several rows side by side. Each value is the same sequence of operations as the
// plain formula amplitude * exp(-((N_s + N_r) - (ip + ip))), with ip the weighted dot
// product summed over features in increasing order, so the result is identical bit for
// bit to computing rows one at a time.
#pragma once

#include <cstdint>

#include "common/weighted_dots.h"

namespace krr {

// The training samples and what every kernel column reads of them.
struct training_data {
  const double* X;         // d x n, one sample per column
  const double* Xt;        // the same values feature-major: Xt[l*n + r] = X[r*d + l]
  const double* w;         // d + 1 weights, w[d] the amplitude
  const double* norms;     // n weighted squared norms
  double ridge;
  int n;
  int d;
};

// Writes K(r, s) for r in [begin, end) to column[r]; the ridge is not included.
void kernel_column_rows(const training_data& data, int s, std::int64_t begin, std::int64_t end,
                        double* column);

}  // namespace krr
