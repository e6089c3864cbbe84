// Host entry of the prediction module:  f = quorril(Xtest, X, w, alpha)
// Validates the arguments and evaluates the kernel model at every test sample. Every
// refusal is recorded first and raised only after the call's resources are released.
#include "core/exact_arithmetic.h"

#include <cstddef>
#include <exception>
#include <new>

#include "modules/host/argument_checks.h"
#include "modules/host/call_failure.h"
#include "modules/host/interrupt.h"
#include "modules/host/module_call.h"
#include "modules/host/thread_setting.h"
#include "mex.h"
#include "core/predict/predict.h"

namespace {

constexpr const char* FN = "quorril";

void run(host::module_call& call, int nlhs, int nrhs, const mxArray* prhs[]) {
  using namespace host;
  call_failure& f = call.failure;
  if (!check_input_count(nrhs, 4, FN, f) || !check_output_count(nlhs, 1, FN, f)) return;
  const mxArray* Xtest = prhs[0];
  const mxArray* X = prhs[1];
  const mxArray* w = prhs[2];
  const mxArray* alpha = prhs[3];
  if (!check_real_double_array(Xtest, FN, "Xtest", f) ||
      !check_two_dimensional(Xtest, FN, "Xtest", f) ||
      !check_real_double_array(X, FN, "X", f) || !check_two_dimensional(X, FN, "X", f)) {
    return;
  }
  const std::size_t d = mxGetM(X);
  const std::size_t n = mxGetN(X);
  const std::size_t nt = mxGetN(Xtest);
  if (mxGetM(Xtest) != d) {
    const bool transposed = mxGetN(Xtest) == d && d != 0;
    fail(f, FN, "invalidInput",
         "Xtest must have as many rows as X (%zu features per sample), got %zu%s", d,
         static_cast<std::size_t>(mxGetM(Xtest)),
         transposed ? "; it has that many columns: if its rows are the samples, pass Xtest' "
                      "(one sample per column)"
                    : "");
    return;
  }
  if (!check_count_fits_int32(d, "rows", FN, "X", f) ||
      !check_real_double_array(w, FN, "w", f) ||
      !check_weight_count(w, d, n, FN, f) ||
      !check_real_double_array(alpha, FN, "alpha", f) ||
      !check_min_elements(alpha, n, "one coefficient per column of X", FN, "alpha", f) ||
      !check_all_finite(mxGetPr(Xtest), d * nt, FN, "Xtest", f) ||
      !check_all_finite(mxGetPr(X), d * n, FN, "X", f) ||
      !check_all_finite(mxGetPr(w), d + 1, FN, "w", f) ||
      !check_all_nonnegative(mxGetPr(w), d + 1, FN, "w", f) ||
      !check_all_finite(mxGetPr(alpha), n, FN, "alpha", f)) {
    return;
  }

  const int threads = requested_threads(FN);  // may warn: before anything is created
  call.set_output(0, mxCreateDoubleMatrix(nt, 1, mxREAL));
  krr::prediction_result result;
  run_core(call, "predicting", [&] {
    result = krr::predict(mxGetPr(Xtest), static_cast<std::int64_t>(nt), mxGetPr(X),
                          static_cast<std::int64_t>(n), static_cast<int>(d), mxGetPr(w),
                          mxGetPr(alpha), call.output_data(0), threads, &signal_pending,
                          &call.watch);
  });
  if (!f.failed && !result.ok) {
    fail(f, FN, "outOfMemory", "could not allocate %.0f bytes for the sample norms",
         result.failed_bytes);
  }
  if (!f.failed && result.interrupted) fail(f, FN, "interrupted", "interrupted by the user");
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  host::module_call call(FN, nlhs, plhs);
  run(call, nlhs, nrhs, prhs);
  call.finish();
}
