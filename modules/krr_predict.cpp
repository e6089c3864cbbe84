// Host entry of the package's multi-output prediction, which krrpredict calls:
//   F = krr_predict (Xtest, X, w, A)
// F(i, q) = sum_j A(j, q) * K(Xtest(:, i), X(:, j)) for the c columns of A at once: each
// kernel value is computed once for all outputs (core/predict/predict.h), and a column of A
// alone gives quorril's result bit for bit. Arguments as for quorril, with A n x c.
#include "core/exact_arithmetic.h"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "modules/host/argument_checks.h"
#include "modules/host/call_failure.h"
#include "modules/host/interrupt.h"
#include "modules/host/module_call.h"
#include "modules/host/thread_setting.h"
#include "mex.h"
#include "core/predict/predict.h"

namespace {

constexpr const char* FN = "krr_predict";

void run(host::module_call& call, int nlhs, int nrhs, const mxArray* prhs[]) {
  using namespace host;
  call_failure& f = call.failure;
  if (!check_input_count(nrhs, 4, FN, f) || !check_output_count(nlhs, 1, FN, f)) return;
  std::size_t d = 0, n = 0;
  const mxArray* Xtest = prhs[0];
  if (!check_samples_and_weights(prhs[1], prhs[2], FN, d, n, f) ||
      !check_real_double_array(Xtest, FN, "Xtest", f) || !check_two_dimensional(Xtest, FN, "Xtest", f) ||
      !check_finite_matrix(prhs[3], n, "column of X", FN, "A", f) ||
      !check_count_fits_int32(mxGetN(prhs[3]), "columns", FN, "A", f)) {
    return;
  }
  const std::size_t nt = mxGetN(Xtest);
  if (mxGetM(Xtest) != d) {
    fail(f, FN, "invalidInput", "Xtest must have as many rows as X (%zu features per sample), got %zu",
         d, static_cast<std::size_t>(mxGetM(Xtest)));
    return;
  }
  if (!check_all_finite(mxGetPr(Xtest), d * nt, FN, "Xtest", f)) return;
  const std::size_t c = mxGetN(prhs[3]);
  const int threads = requested_threads(FN);
  call.set_output(0, mxCreateDoubleMatrix(nt, c, mxREAL));
  run_core(call, "predicting", [&] {
    // Row-major for the core (each kernel value applied to a row of A), then back to columns.
    const double* a = mxGetPr(prhs[3]);
    double* F = call.output_data(0);
    std::vector<double> A(n * c), P(nt * c);
    for (std::size_t q = 0; q < c; ++q) {
      for (std::size_t j = 0; j < n; ++j) A[j * c + q] = a[q * n + j];
    }
    const krr::prediction_result r = krr::predict_outputs(
        mxGetPr(Xtest), static_cast<std::int64_t>(nt), mxGetPr(prhs[1]),
        static_cast<std::int64_t>(n), static_cast<int>(d), mxGetPr(prhs[2]), A.data(),
        static_cast<int>(c), P.data(), threads, &signal_pending, &call.watch);
    if (!r.ok) {
      fail(f, FN, "outOfMemory", "could not allocate %.0f bytes for the sample norms", r.failed_bytes);
    } else if (r.interrupted) {
      fail(f, FN, "interrupted", "interrupted by the user");
    } else {
      for (std::size_t q = 0; q < c; ++q) {
        for (std::size_t i = 0; i < nt; ++i) F[q * nt + i] = P[i * c + q];
      }
    }
  });
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  host::module_call call(FN, nlhs, plhs);
  run(call, nlhs, nrhs, prhs);
  call.finish();
}
