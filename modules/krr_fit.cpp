// Host entry of the learner (core/learn/fit.h), which krrfit calls:
//   [model, warnings, failure] = krr_fit (X, Y, name, value, ...)
//   X         n x d real double matrix, one observation per row; Y n x c real double
//   name, value   krrfit's options, by name in any case, each value as the caller gave it
//   model     krrfit's model struct ([] where the fit failed)
//   warnings  k x 2 cell array of the learner's warnings in the order raised: the code
//             (krrfit's identifier without "krrfit:") and the message (without "krrfit: ")
//   failure   {} where the fit succeeded, else 1 x 2 {code, message} alike
// The learner's own refusals and failures come back as data, so that krrfit raises them
// under its own name: the host would start an error raised here with this module's name.
// Only a call that krrfit would never make (argument counts and classes) is refused here,
// with krr_fit:nargin, krr_fit:nargout or krr_fit:invalidInput; Ctrl-C ends the call as in
// the other modules. Progress lines are printed as they come, where Verbose is on.
#include "core/exact_arithmetic.h"

#include <string>
#include <vector>

#include "core/learn/fit.h"
#include "mex.h"
#include "core/parallel/system_resources.h"
#include "modules/host/argument_checks.h"
#include "modules/host/interrupt.h"
#include "modules/host/module_call.h"
#include "modules/host/named_options.h"
#include "modules/host/operator_setting.h"
#include "modules/host/value_reading.h"

namespace {

constexpr const char* FN = "krr_fit";
constexpr int OUTPUTS = 3;

mxArray* row_vector(const std::vector<double>& v) {
  mxArray* a = mxCreateDoubleMatrix(1, v.size(), mxREAL);
  std::copy(v.begin(), v.end(), mxGetPr(a));
  return a;
}

mxArray* matrix(const std::vector<double>& v, std::size_t rows, std::size_t cols) {
  mxArray* a = mxCreateDoubleMatrix(rows, cols, mxREAL);
  std::copy(v.begin(), v.begin() + rows * cols, mxGetPr(a));
  return a;
}

// krrfit's model struct, its fields in the documented order.
mxArray* model_struct(const krr::fit_model& m, std::size_t n, std::size_t d, std::size_t c) {
  static const char* const FIELDS[] = {"FormatVersion", "LengthScales", "Relevance", "Amplitude",
                                       "Ridge", "LogMarginalLikelihood",
                                       "LogMarginalLikelihoodError", "History", "Seconds",
                                       "Method", "Threads", "FinalPasses", "Alpha", "X",
                                       "Weights", "Mu", "Sigma", "YMean", "YScale", "Kernel",
                                       "KernelObjectives"};
  mxArray* s = mxCreateStructMatrix(1, 1, sizeof FIELDS / sizeof *FIELDS, const_cast<const char**>(FIELDS));
  const std::size_t rows = m.history.size();
  mxArray* history = mxCreateDoubleMatrix(rows, krr::lbfgs_row().size(), mxREAL);
  for (std::size_t i = 0; i < rows; ++i)
    for (std::size_t j = 0; j < m.history[i].size(); ++j) mxGetPr(history)[j * rows + i] = m.history[i][j];
  mxSetField(s, 0, "FormatVersion", mxCreateDoubleScalar(m.format_version));
  mxSetField(s, 0, "LengthScales", row_vector(m.length_scales));
  mxSetField(s, 0, "Relevance", row_vector(m.relevance));
  mxSetField(s, 0, "Amplitude", mxCreateDoubleScalar(m.amplitude));
  mxSetField(s, 0, "Ridge", mxCreateDoubleScalar(m.ridge));
  mxSetField(s, 0, "LogMarginalLikelihood", mxCreateDoubleScalar(m.log_marginal_likelihood));
  mxSetField(s, 0, "LogMarginalLikelihoodError",
             mxCreateDoubleScalar(m.log_marginal_likelihood_error));
  mxSetField(s, 0, "History", history);
  mxSetField(s, 0, "Seconds", mxCreateDoubleScalar(m.seconds));
  mxSetField(s, 0, "Method", mxCreateString(m.method.c_str()));
  mxSetField(s, 0, "Threads", mxCreateDoubleScalar(m.threads));
  mxSetField(s, 0, "FinalPasses",
             row_vector(std::vector<double>(m.final_passes.begin(), m.final_passes.end())));
  mxSetField(s, 0, "Alpha", matrix(m.alpha, n, c));
  mxSetField(s, 0, "X", matrix(m.X, d, n));
  mxSetField(s, 0, "Weights", row_vector(m.weights));
  mxSetField(s, 0, "Mu", row_vector(m.mu));
  mxSetField(s, 0, "Sigma", row_vector(m.sigma));
  mxSetField(s, 0, "YMean", row_vector(m.y_mean));
  mxSetField(s, 0, "YScale", row_vector(m.y_scale));
  mxSetField(s, 0, "Kernel", mxCreateString(m.kernel.c_str()));
  mxSetField(s, 0, "KernelObjectives", row_vector(m.kernel_objectives));
  return s;
}

void run(host::module_call& call, int nlhs, int nrhs, const mxArray* prhs[]) {
  using namespace host;
  call_failure& f = call.failure;
  if (nrhs < 2) {
    fail(f, FN, "nargin", "expected X, Y and name-value options, got %d inputs", nrhs);
    return;
  }
  if (!check_output_count(nlhs, OUTPUTS, FN, f) ||
      !check_real_double_array(prhs[0], FN, "X", f) || !check_two_dimensional(prhs[0], FN, "X", f) ||
      !check_real_double_array(prhs[1], FN, "Y", f) || !check_two_dimensional(prhs[1], FN, "Y", f)) {
    return;
  }
  const std::size_t n = mxGetM(prhs[0]), d = mxGetN(prhs[0]), c = mxGetN(prhs[1]);
  if (mxGetM(prhs[1]) != n) {
    fail(f, FN, "invalidInput", "Y must have as many rows as X (%zu), got %zu", n,
         static_cast<std::size_t>(mxGetM(prhs[1])));
    return;
  }
  if (!check_count_fits_int32(n, "rows", FN, "X", f) || !check_count_fits_int32(d, "columns", FN, "X", f)) {
    return;
  }

  // The learner's refusals of the options, in krrfit's words: pairs, names, then values.
  krr::fit_result result;
  krr::fit_option_set options;
  std::string refusal;
  if (!read_pairs(prhs + 2, nrhs - 2, "X and Y",
                  [&](const std::string& name, const mxArray* value, std::string& message) {
                    return krr::set_fit_option(options, name, option_of(value), message);
                  },
                  refusal)) {
    result.status = krr::fit_status::invalid_input;
    result.error = {"invalidInput", refusal};
  }

  const call_resources resources = read_resources("krrfit");
  if (result.status == krr::fit_status::done) {
    run_core(call, "fitting", [&] {
      krr::fit_environment env;
      env.name = "krrfit";
      env.threads = resources.threads;
      env.memory_bytes = resources.memory;
      env.memory_limited = krr::memory_limit_setting().valid;  // the caches may fill a set limit
      env.interrupt_pending = &signal_pending;
      env.interrupt_state = &call.watch;
      env.progress = [](const std::string& line) { mexPrintf("%s\n", line.c_str()); };
      result = krr::fit(mxGetPr(prhs[0]), static_cast<std::int64_t>(n), static_cast<int>(d),
                        mxGetPr(prhs[1]), static_cast<int>(c), options, env);
    });
    if (f.failed) return;
  }
  if (result.status == krr::fit_status::interrupted) {
    fail(f, FN, "interrupted", "interrupted by the user");
    return;
  }
  const bool done = result.status == krr::fit_status::done;
  call.set_output(0, done ? model_struct(result.model, n, d, c) : mxCreateDoubleMatrix(0, 0, mxREAL));
  call.set_output(1, host::message_cells(result.warnings));
  call.set_output(2, done ? mxCreateCellMatrix(0, 0)
                          : host::message_cells(std::vector<krr::fit_message>{result.error}));
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  host::module_call call(FN, nlhs, plhs);
  run(call, nlhs, nrhs, prhs);
  call.finish();
}
