// Prediction: the weighted squared norms of both sample sets once, then for a tile of
// test samples against a tile of training samples the weighted dot products computed
// several training samples side by side (each still summed over features in increasing
// order), one call of the C library's exp per pair (its unwrapped entry where it has one:
// library_exp.h), and each f[i] accumulated over the training samples in increasing order.
#include "prediction/predict.h"

#include <cmath>
#include <memory>
#include <new>

#include "common/kernel_math.h"
#include "common/library_exp.h"
#include "common/thread_pool.h"
#include "common/vector_clones.h"
#include "common/weighted_dots.h"

namespace krr {

namespace {

constexpr int TEST_TILE = 16;
constexpr int TRAIN_TILE = 128;
constexpr std::int64_t MIN_TESTS_PER_THREAD = 64;
constexpr int BATCH_TILES = 8;  // test tiles per thread between interrupt checks

struct prediction_job {
  const double* Xtest;    // d x nt, one sample per column
  const double* X_t;      // training samples feature-major: X_t[l*n + j]
  const double* w;
  const double* alpha;
  const double* train_norms;
  const double* test_norms;
  double* f;
  std::int64_t nt, n;
  int d;
  int parts;
  std::int64_t batch_begin, batch_end;  // the test samples of the current batch

  void operator()(int part) const;
};

// f for test samples i0 ... i0 + ti - 1.
KRR_VECTOR_CLONES
void predict_tile(const prediction_job& job, std::int64_t i0, int ti) {
  const int d = job.d;
  const double amplitude = job.w[d];
  const exp_function exp_of = library_exp();
  double sum[TEST_TILE];
  double ip[TEST_TILE][TRAIN_TILE];
  for (int a = 0; a < ti; ++a) sum[a] = 0.0;
  for (std::int64_t j0 = 0; j0 < job.n; j0 += TRAIN_TILE) {
    const int tj = static_cast<int>(job.n - j0 < TRAIN_TILE ? job.n - j0 : TRAIN_TILE);
    const double* tn = job.train_norms + j0;
    const double* al = job.alpha + j0;
    for (int a = 0; a < ti; ++a) {
      double* p = ip[a];
      weighted_dots(job.X_t, job.n, j0, tj, job.Xtest + (i0 + a) * d, job.w, d, p);
      // The arguments several pairs at a time, then the exp calls with the sum in order.
      const double test_norm = job.test_norms[i0 + a];
      for (int b = 0; b < tj; ++b) p[b] = -((tn[b] + test_norm) - (p[b] + p[b]));
      double s = sum[a];
      for (int b = 0; b < tj; ++b) s = (exp_of(p[b]) * amplitude) * al[b] + s;
      sum[a] = s;
    }
  }
  for (int a = 0; a < ti; ++a) job.f[i0 + a] = sum[a];
}

void prediction_job::operator()(int part) const {
  row_range range = split_rows(batch_end - batch_begin, part, parts, TEST_TILE);
  range.begin += batch_begin;
  range.end += batch_begin;
  for (std::int64_t i0 = range.begin; i0 < range.end; i0 += TEST_TILE) {
    predict_tile(*this, i0, static_cast<int>(range.end - i0 < TEST_TILE ? range.end - i0 : TEST_TILE));
  }
}

}  // namespace

prediction_result predict(const double* Xtest, std::int64_t nt, const double* X,
                          std::int64_t n, int d, const double* w, const double* alpha,
                          double* f, int threads, bool (*interrupt_pending)(void*),
                          void* interrupt_state) {
  prediction_result result;
  const std::int64_t count = n + nt + n * d;
  std::unique_ptr<double[]> work(new (std::nothrow) double[count > 0 ? count : 1]);
  if (!work) {
    result.ok = false;
    result.failed_bytes = static_cast<double>(count) * sizeof(double);
    return result;
  }
  double* train_norms = work.get();
  double* test_norms = train_norms + n;
  double* X_t = test_norms + nt;
  for (std::int64_t j = 0; j < n; ++j) train_norms[j] = weighted_sq_norm(X, j, d, w);
  transpose_samples(X, d, n, X_t);
  for (std::int64_t i = 0; i < nt; ++i) test_norms[i] = weighted_sq_norm(Xtest, i, d, w);
  thread_pool pool(effective_threads(threads, nt, MIN_TESTS_PER_THREAD));
  prediction_job job{Xtest, X_t, w, alpha, train_norms, test_norms, f, nt, n, d, pool.size(),
                     0, 0};
  // Batches of test samples, so that an interrupt is seen within a fraction of a second.
  const std::int64_t batch = static_cast<std::int64_t>(pool.size()) * TEST_TILE * BATCH_TILES;
  for (std::int64_t b = 0; b < nt; b += batch) {
    if (interrupt_pending && interrupt_pending(interrupt_state)) {
      result.interrupted = true;
      break;
    }
    job.batch_begin = b;
    job.batch_end = b + batch < nt ? b + batch : nt;
    pool.run_parts(job);
  }
  return result;
}

}  // namespace krr
