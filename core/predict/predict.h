// Evaluation of the fitted kernel model at new samples:
// f[i] = sum over j of alpha[j] * kernel(test sample i, training sample j).
#pragma once

#include <cstdint>

#include "core/kernel/kernel_kind.h"

namespace krr {

struct prediction_result {
  bool ok = true;
  double failed_bytes = 0.0;  // when !ok: the working storage that could not be allocated
  bool interrupted = false;   // interrupt_pending returned true; f is incomplete
};

// Xtest: d x nt, X: d x n, w: d + 1 weights (w[d] the amplitude), alpha: n coefficients,
// f: nt outputs. Each f[i] accumulates over the training samples in increasing order from
// 0 as f[i] = (exp(-(v - (ip + ip))) * w[d]) * alpha[j] + f[i], with v the sum of the two
// samples' weighted squared norms and ip their weighted dot product. Test samples are
// split across `threads` threads (0: one per hardware thread); results do not depend on it.
// interrupt_pending, when given, is polled on the calling thread between tiles of 16 test
// samples; returning true stops every thread within a tile, leaving f incomplete.
// A Matern kernel (core/kernel/kernel_kind.h) forms each value from differences, as its
// kernel columns do, accumulated in the same order.
prediction_result predict(const double* Xtest, std::int64_t nt, const double* X,
                          std::int64_t n, int d, const double* w, const double* alpha,
                          double* f, int threads = 1,
                          bool (*interrupt_pending)(void*) = nullptr,
                          void* interrupt_state = nullptr,
                          kernel_kind kind = kernel_kind::gaussian);

// The same for c >= 1 outputs sharing the kernel: alpha is n x c and f nt x c, row-major;
// each kernel value is computed once for up to 64 of them (again for every further 64),
// and with c = 1 the result is predict's bit for bit.
prediction_result predict_outputs(const double* Xtest, std::int64_t nt, const double* X,
                                  std::int64_t n, int d, const double* w, const double* alpha,
                                  int c, double* f, int threads = 1,
                                  bool (*interrupt_pending)(void*) = nullptr,
                                  void* interrupt_state = nullptr,
                                  kernel_kind kind = kernel_kind::gaussian);

}  // namespace krr
