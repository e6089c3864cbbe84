// Prediction: the weighted squared norms of both sample sets once, then one weighted
// dot product and one exponential per (test, training) pair.
#include "prediction/predict.h"

#include <cmath>
#include <memory>
#include <new>

#include "common/kernel_math.h"

namespace krr {

prediction_result predict(const double* Xtest, std::int64_t nt, const double* X,
                          std::int64_t n, int d, const double* w, const double* alpha,
                          double* f) {
  prediction_result result;
  const std::int64_t count = n + nt;
  std::unique_ptr<double[]> norms(new (std::nothrow) double[count > 0 ? count : 1]);
  if (!norms) {
    result.ok = false;
    result.failed_bytes = static_cast<double>(count) * sizeof(double);
    return result;
  }
  double* train_norms = norms.get();
  double* test_norms = norms.get() + n;
  for (std::int64_t j = 0; j < n; ++j) train_norms[j] = weighted_sq_norm(X, j, d, w);
  for (std::int64_t i = 0; i < nt; ++i) {
    test_norms[i] = weighted_sq_norm(Xtest, i, d, w);
    f[i] = 0.0;
  }
  const double amplitude = w[d];
  for (std::int64_t i = 0; i < nt; ++i) {
    double sum = f[i];
    for (std::int64_t j = 0; j < n; ++j) {
      const double v = train_norms[j] + test_norms[i];
      const double ip = weighted_dot(Xtest, i, X, j, d, w);
      sum = (std::exp(-(v - (ip + ip))) * amplitude) * alpha[j] + sum;
    }
    f[i] = sum;
  }
  return result;
}

}  // namespace krr
