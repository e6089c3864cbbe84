// Prediction: the weighted squared norms of both sample sets once, then for tiles of
// test and training samples the weighted dot products computed several test samples
// side by side (each still summed over features in increasing order), one call of the
// C library's exp per pair, and each f[i] accumulated over the training samples in order.
#include "prediction/predict.h"

#include <cmath>
#include <memory>
#include <new>

#include "common/kernel_math.h"
#include "common/thread_pool.h"

namespace krr {

namespace {

constexpr int TEST_TILE = 16;
constexpr int TRAIN_TILE = 64;
constexpr std::int64_t MIN_TESTS_PER_THREAD = 64;

struct prediction_job {
  const double* Xtest_t;  // d x nt feature-major: Xtest_t[l*nt + i]
  const double* X;
  const double* w;
  const double* alpha;
  const double* train_norms;
  const double* test_norms;
  double* f;
  std::int64_t nt, n;
  int d;
  int parts;

  void operator()(int part) const {
    const row_range range = split_rows(nt, part, parts, TEST_TILE);
    for (std::int64_t i0 = range.begin; i0 < range.end; i0 += TEST_TILE) {
      const int ti = static_cast<int>(range.end - i0 < TEST_TILE ? range.end - i0 : TEST_TILE);
      predict_tile(i0, ti);
    }
  }

  void predict_tile(std::int64_t i0, int ti) const {
    const double amplitude = w[d];
    double sum[TEST_TILE];
    double ip[TRAIN_TILE][TEST_TILE];
    for (int a = 0; a < ti; ++a) sum[a] = 0.0;
    for (std::int64_t j0 = 0; j0 < n; j0 += TRAIN_TILE) {
      const int tj = static_cast<int>(n - j0 < TRAIN_TILE ? n - j0 : TRAIN_TILE);
      for (int b = 0; b < tj; ++b) {
        const double* xj = X + (j0 + b) * d;
        double* row = ip[b];
        for (int a = 0; a < TEST_TILE; ++a) row[a] = 0.0;
        for (int l = 0; l < d; ++l) {
          const double* xt = Xtest_t + l * nt + i0;
          const double xjl = xj[l];
          const double wl = w[l];
          for (int a = 0; a < ti; ++a) row[a] += (xt[a] * xjl) * wl;
        }
      }
      for (int a = 0; a < ti; ++a) {
        const double test_norm = test_norms[i0 + a];
        double s = sum[a];
        for (int b = 0; b < tj; ++b) {
          const double v = train_norms[j0 + b] + test_norm;
          const double p = ip[b][a];
          s = (std::exp(-(v - (p + p))) * amplitude) * alpha[j0 + b] + s;
        }
        sum[a] = s;
      }
    }
    for (int a = 0; a < ti; ++a) f[i0 + a] = sum[a];
  }
};

}  // namespace

prediction_result predict(const double* Xtest, std::int64_t nt, const double* X,
                          std::int64_t n, int d, const double* w, const double* alpha,
                          double* f, int threads) {
  prediction_result result;
  const std::int64_t count = n + nt + nt * d;
  std::unique_ptr<double[]> work(new (std::nothrow) double[count > 0 ? count : 1]);
  if (!work) {
    result.ok = false;
    result.failed_bytes = static_cast<double>(count) * sizeof(double);
    return result;
  }
  double* train_norms = work.get();
  double* test_norms = train_norms + n;
  double* Xtest_t = test_norms + nt;
  for (std::int64_t j = 0; j < n; ++j) train_norms[j] = weighted_sq_norm(X, j, d, w);
  for (std::int64_t i = 0; i < nt; ++i) {
    test_norms[i] = weighted_sq_norm(Xtest, i, d, w);
    for (int l = 0; l < d; ++l) Xtest_t[l * nt + i] = Xtest[i * d + l];
  }
  thread_pool pool(effective_threads(threads, nt, MIN_TESTS_PER_THREAD));
  prediction_job job{Xtest_t, X, w, alpha, train_norms, test_norms, f, nt, n, d, pool.size()};
  pool.run_parts(job);
  return result;
}

}  // namespace krr
