// Prediction: the weighted squared norms of both sample sets once, then for a tile of
// test samples against a tile of training samples the weighted dot products computed
// several training samples side by side (each still summed over features in increasing
// order), one call of the C library's exp per pair (its unwrapped entry where it has one:
// library_exp.h), and each f[i] accumulated over the training samples in increasing order.
// The samples are those of the training matrix's kernel frame (core/kernel/kernel_frame.h), so
// prediction forms every kernel value as training does; a test sample whose norm in that
// frame is not safely finite is summed from differences instead.
#include "core/exact_arithmetic.h"

#include "core/predict/predict.h"

#include <cmath>
#include <memory>
#include <new>

#include "core/parallel/interruption.h"
#include "core/kernel/kernel_frame.h"
#include "core/kernel/kernel_math.h"
#include "core/kernel/library_exp.h"
#include "core/parallel/thread_pool.h"
#include "core/kernel/vector_clones.h"
#include "core/kernel/weighted_dots.h"

namespace krr {

namespace {

constexpr int TEST_TILE = 16;
constexpr int MAX_OUTPUTS = 64;  // outputs one pass handles; more are split by the caller
constexpr int TRAIN_TILE = 128;
constexpr std::int64_t MIN_TESTS_PER_THREAD = 64;

struct prediction_job {
  const double* Xtest;    // d x nt, one sample per column, as given
  const double* X;        // d x n, as given
  const double* X_t;      // training samples in the frame, feature-major: X_t[l*n + j]
  const double* w;
  const double* alpha;        // n rows of ldc, row-major: the pass's c outputs from column 0
  const double* train_norms;
  const double* test_norms;  // in the frame
  double* f;                 // nt rows of ldc, row-major, as alpha
  int c;                     // outputs of this pass, at most MAX_OUTPUTS
  std::int64_t ldc;          // outputs in all
  const kernel_frame* frame;
  double* centred_tests;  // per part, TEST_TILE samples of d values (centred form)
  std::int64_t nt, n;
  int d;
  int parts;
  interruption* stop;  // asked between tiles: an interrupt ends every part within a tile
  kernel_kind kind;

  void operator()(int part) const;
};

// f[i] for one test sample from differences: w[d] * exp(-weighted_sq_distance) per pair,
// accumulated as the fast order accumulates.
void predict_by_differences(const prediction_job& job, std::int64_t i) {
  const int d = job.d, c = job.c;
  const exp_function exp_of = library_exp();
  const double* x = job.Xtest + i * d;
  double* f = job.f + i * job.ldc;
  for (int q = 0; q < c; ++q) f[q] = 0.0;
  for (std::int64_t j = 0; j < job.n; ++j) {
    const double e = exp_of(-weighted_sq_distance(x, job.X + j * d, d, job.w)) * job.w[d];
    for (int q = 0; q < c; ++q) f[q] = e * job.alpha[j * job.ldc + q] + f[q];
  }
}

// f for test samples i0 ... i0 + ti - 1, given in the frame at `tests` (d values each).
// ONE: a single output (c = 1), the loop quorril runs; else any c up to MAX_OUTPUTS.
template <bool ONE>
KRR_CLONE_BODY void predict_tile_body(const prediction_job& job, std::int64_t i0, int ti,
                              const double* tests) {
  const int d = job.d;
  const int c = ONE ? 1 : job.c;
  const std::int64_t ldc = ONE ? 1 : job.ldc;
  const double amplitude = job.w[d];
  const exp_function exp_of = library_exp();
  double sum[TEST_TILE * MAX_OUTPUTS];
  double ip[TEST_TILE][TRAIN_TILE];
  for (int a = 0; a < ti * c; ++a) sum[a] = 0.0;
  for (std::int64_t j0 = 0; j0 < job.n; j0 += TRAIN_TILE) {
    const int tj = static_cast<int>(job.n - j0 < TRAIN_TILE ? job.n - j0 : TRAIN_TILE);
    const double* tn = job.train_norms + j0;
    const double* al = job.alpha + j0 * ldc;
    for (int a = 0; a < ti; ++a) {
      double* p = ip[a];
      weighted_dots(job.X_t, job.n, j0, tj, tests + a * d, job.w, d, p);
      // The arguments several pairs at a time, then the exp calls with the sums in order.
      const double test_norm = job.test_norms[i0 + a];
      for (int b = 0; b < tj; ++b) p[b] = -((tn[b] + test_norm) - (p[b] + p[b]));
      if (ONE) {
        double s = sum[a];
        for (int b = 0; b < tj; ++b) s = (exp_of(p[b]) * amplitude) * al[b] + s;
        sum[a] = s;
      } else {
        double* s = sum + a * c;
        for (int b = 0; b < tj; ++b) {
          const double e = exp_of(p[b]) * amplitude;
          for (int q = 0; q < c; ++q) s[q] = e * al[b * ldc + q] + s[q];
        }
      }
    }
  }
  for (int a = 0; a < ti; ++a) {
    for (int q = 0; q < c; ++q) job.f[(i0 + a) * ldc + q] = sum[a * c + q];
  }
}

// The same for a Matern kernel: the weighted squared distances of a test sample to a tile of
// training samples summed feature by feature from differences, then the arguments, the exp
// calls and the values, and each f[i] accumulated over the training samples in order.
template <kernel_kind K>
KRR_CLONE_BODY void matern_tile_body(const prediction_job& job, std::int64_t i0, int ti,
                                     const double* tests) {
  const int d = job.d;
  const int c = job.c;
  const std::int64_t ldc = job.ldc;
  const double amplitude = job.w[d];
  const exp_function exp_of = library_exp();
  double sum[TEST_TILE * MAX_OUTPUTS];
  double s[TRAIN_TILE], a[TRAIN_TILE], e[TRAIN_TILE];
  for (int q = 0; q < ti * c; ++q) sum[q] = 0.0;
  for (std::int64_t j0 = 0; j0 < job.n; j0 += TRAIN_TILE) {
    const int tj = static_cast<int>(job.n - j0 < TRAIN_TILE ? job.n - j0 : TRAIN_TILE);
    const double* al = job.alpha + j0 * ldc;
    for (int t = 0; t < ti; ++t) {
      const double* x = tests + t * d;
      for (int b = 0; b < tj; ++b) s[b] = 0.0;
      for (int l = 0; l < d; ++l) {
        const double wl = job.w[l];
        if (!(wl > 0.0)) continue;
        const double* xt = job.X_t + l * job.n + j0;
        const double xl = x[l];
        for (int b = 0; b < tj; ++b) {
          const double diff = xt[b] - xl;
          s[b] += (diff * wl) * diff;
        }
      }
      // The square roots beside the exp calls, which they then overlap (kernel_column.cpp).
      for (int b = 0; b < tj; ++b) {
        a[b] = matern_argument<K>(s[b]);
        e[b] = exp_of(-a[b]);
      }
      for (int b = 0; b < tj; ++b) e[b] = matern_value<K>(a[b], e[b], amplitude);
      double* sm = sum + t * c;
      for (int b = 0; b < tj; ++b) {
        for (int q = 0; q < c; ++q) sm[q] = e[b] * al[b * ldc + q] + sm[q];
      }
    }
  }
  for (int t = 0; t < ti; ++t) {
    for (int q = 0; q < c; ++q) job.f[(i0 + t) * ldc + q] = sum[t * c + q];
  }
}

KRR_VECTOR_CLONES
void predict_tile_matern(const prediction_job& job, std::int64_t i0, int ti, const double* tests) {
  switch (job.kind) {
    case kernel_kind::matern12: matern_tile_body<kernel_kind::matern12>(job, i0, ti, tests); break;
    case kernel_kind::matern32: matern_tile_body<kernel_kind::matern32>(job, i0, ti, tests); break;
    default: matern_tile_body<kernel_kind::matern52>(job, i0, ti, tests); break;
  }
}

// The body inlined into each instruction-set clone (KRR_CLONE_BODY).
KRR_VECTOR_CLONES
void predict_tile_one(const prediction_job& job, std::int64_t i0, int ti, const double* tests) {
  predict_tile_body<true>(job, i0, ti, tests);
}

KRR_VECTOR_CLONES
void predict_tile_many(const prediction_job& job, std::int64_t i0, int ti, const double* tests) {
  predict_tile_body<false>(job, i0, ti, tests);
}

void prediction_job::operator()(int part) const {
  const row_range range = split_rows(nt, part, parts, TEST_TILE);
  for (std::int64_t i0 = range.begin; i0 < range.end; i0 += TEST_TILE) {
    if (stop->requested()) return;
    const int ti = static_cast<int>(range.end - i0 < TEST_TILE ? range.end - i0 : TEST_TILE);
    if (kind != kernel_kind::gaussian) {
      // From differences in any frame: the centred one only translates the samples.
      const double* tests = Xtest + i0 * d;
      if (frame->form == kernel_form::centred) {
        double* buffer = centred_tests + static_cast<std::int64_t>(part) * TEST_TILE * d;
        for (int a = 0; a < ti; ++a) centre_sample(*frame, tests + a * d, d, w, buffer + a * d);
        tests = buffer;
      }
      predict_tile_matern(*this, i0, ti, tests);
      continue;
    }
    if (frame->form == kernel_form::differences) {
      for (int a = 0; a < ti; ++a) predict_by_differences(*this, i0 + a);
      continue;
    }
    const double* tests = Xtest + i0 * d;
    if (frame->form == kernel_form::centred) {
      double* buffer = centred_tests + static_cast<std::int64_t>(part) * TEST_TILE * d;
      for (int a = 0; a < ti; ++a) centre_sample(*frame, tests + a * d, d, w, buffer + a * d);
      tests = buffer;
    }
    if (ldc == 1) {
      predict_tile_one(*this, i0, ti, tests);
    } else {
      predict_tile_many(*this, i0, ti, tests);
    }
    // A test sample whose norm is not safely finite (far beyond the training samples)
    // takes the differences instead; the tile's value for it is replaced.
    for (int a = 0; a < ti; ++a) {
      if (!norm_is_safe(test_norms[i0 + a])) predict_by_differences(*this, i0 + a);
    }
  }
}

}  // namespace

prediction_result predict(const double* Xtest, std::int64_t nt, const double* X,
                          std::int64_t n, int d, const double* w, const double* alpha,
                          double* f, int threads, bool (*interrupt_pending)(void*),
                          void* interrupt_state, kernel_kind kind) {
  return predict_outputs(Xtest, nt, X, n, d, w, alpha, 1, f, threads, interrupt_pending,
                         interrupt_state, kind);
}

prediction_result predict_outputs(const double* Xtest, std::int64_t nt, const double* X,
                                  std::int64_t n, int d, const double* w, const double* alpha,
                                  int c, double* f, int threads,
                                  bool (*interrupt_pending)(void*), void* interrupt_state,
                                  kernel_kind kind) {
  prediction_result result;
  if (nt == 0 || c == 0) return result;  // nothing to write (f may hold no storage)
  const kernel_frame frame = choose_kernel_frame(X, d, n, w);
  const bool centred = frame.form == kernel_form::centred;
  const int parts = effective_threads(threads, nt, MIN_TESTS_PER_THREAD);
  const std::int64_t centred_count = centred ? static_cast<std::int64_t>(parts) * TEST_TILE * d : 0;
  const std::int64_t count = n + nt + n * d + centred_count + d;
  std::unique_ptr<double[]> work(new (std::nothrow) double[count > 0 ? count : 1]);
  if (!work) {
    result.ok = false;
    result.failed_bytes = static_cast<double>(count) * sizeof(double);
    return result;
  }
  double* train_norms = work.get();
  double* test_norms = train_norms + n;
  double* X_t = test_norms + nt;
  double* centred_tests = X_t + n * d;
  double* sample = centred_tests + centred_count;  // one sample, d values
  for (std::int64_t j = 0; j < n; ++j) {
    const double* x = framed_sample(frame, X + j * d, d, w, sample);
    train_norms[j] = weighted_sq_norm(x, 0, d, w);
    for (int l = 0; l < d; ++l) X_t[l * n + j] = x[l];
  }
  for (std::int64_t i = 0; i < nt; ++i) {
    test_norms[i] = weighted_sq_norm(framed_sample(frame, Xtest + i * d, d, w, sample), 0, d, w);
  }
  interruption stop(interrupt_pending, interrupt_state);
  thread_pool pool(parts);
  // At most MAX_OUTPUTS outputs a pass (the tile's sums are on the stack); more take
  // further passes, each computing the kernel values again.
  for (int q0 = 0; q0 < c && !stop.stopped(); q0 += MAX_OUTPUTS) {
    const int width = c - q0 < MAX_OUTPUTS ? c - q0 : MAX_OUTPUTS;
    prediction_job job{Xtest, X, X_t, w, alpha + q0, train_norms, test_norms, f + q0, width, c,
                       &frame, centred_tests, nt, n, d, pool.size(), &stop, kind};
    pool.run_parts(job);
  }
  result.interrupted = stop.stopped();
  return result;
}

}  // namespace krr
