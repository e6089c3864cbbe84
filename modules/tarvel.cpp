// Host entry of the training module:
//   [alpha, grad, seconds, evals, objective] = tarvel(X, y, w, ridge, tol, k, cache_bytes)
// Validates the arguments, runs the solver on the host's arrays, prints the three report
// lines and hands the outputs back. Every refusal and failure is recorded first and
// raised only after all of the call's resources are released.
#include "core/exact_arithmetic.h"

#include <cmath>
#include <cstddef>

#include "modules/host/argument_checks.h"
#include "modules/host/call_failure.h"
#include "modules/host/interrupt.h"
#include "modules/host/memory_setting.h"
#include "modules/host/module_call.h"
#include "modules/host/thread_setting.h"
#include "mex.h"
#include "core/solve/random_source.h"
#include "core/solve/train.h"

namespace {

constexpr const char* FN = "tarvel";
constexpr int OUTPUT_COUNT = 5;

bool read_arguments(int nlhs, int nrhs, const mxArray* prhs[], krr::training_problem& problem,
                    krr::training_options& options, host::signal_watch& watch,
                    host::call_failure& f) {
  using namespace host;
  if (!check_input_count(nrhs, 7, FN, f) || !check_output_count(nlhs, OUTPUT_COUNT, FN, f)) {
    return false;
  }
  const mxArray* X = prhs[0];
  const mxArray* y = prhs[1];
  const mxArray* w = prhs[2];
  if (!check_real_double_array(X, FN, "X", f) || !check_two_dimensional(X, FN, "X", f)) {
    return false;
  }
  const std::size_t d = mxGetM(X);
  const std::size_t n = mxGetN(X);
  if (n < 1) {
    fail(f, FN, "invalidInput", "X must have at least one column (one sample per column)");
    return false;
  }
  if (!check_count_fits_int32(n, "columns", FN, "X", f) ||
      !check_count_fits_int32(d, "rows", FN, "X", f) ||
      !check_real_double_array(y, FN, "y", f) ||
      !check_min_elements(y, n, "one target per column of X", FN, "y", f) ||
      !check_real_double_array(w, FN, "w", f) ||
      !check_weight_count(w, d, n, FN, f) ||
      !check_all_finite(mxGetPr(X), d * n, FN, "X", f) ||
      !check_all_finite(mxGetPr(y), n, FN, "y", f) ||
      !check_all_finite(mxGetPr(w), d + 1, FN, "w", f) ||
      !check_all_nonnegative(mxGetPr(w), d + 1, FN, "w", f)) {
    return false;
  }

  double ridge, tol, k, cache_bytes;
  if (!read_real_scalar(prhs[3], FN, "ridge", &ridge, f) ||
      !read_real_scalar(prhs[4], FN, "tol", &tol, f) ||
      !read_real_scalar(prhs[5], FN, "k", &k, f) ||
      !read_real_scalar(prhs[6], FN, "cache_bytes", &cache_bytes, f)) {
    return false;
  }
  if (!check_ridge(ridge, false, FN, f)) return false;
  char shown[32];
  // tol > 0 is required because no gradient can reach a tolerance <= 0; NaN and +Inf
  // are accepted and ask for no block step at all.
  if (tol <= 0.0) {
    fail(f, FN, "invalidInput",
         "tol must be positive (a tolerance <= 0 can never be met), got %s", show(tol, shown));
    return false;
  }
  const double k_whole = std::trunc(k);
  if (!(k_whole >= 1.0 && k_whole <= static_cast<double>(n))) {
    fail(f, FN, "invalidInput",
         "k must be a block size from 1 to n = %zu after truncation toward zero, got %s", n,
         show(k, shown));
    return false;
  }
  if (std::isnan(cache_bytes)) {
    fail(f, FN, "invalidInput", "cache_bytes must be a number of bytes, got NaN");
    return false;
  }

  problem = krr::training_problem{mxGetPr(X), mxGetPr(y), mxGetPr(w), ridge,
                                  static_cast<int>(n), static_cast<int>(d)};
  options.tol = tol;
  options.k = static_cast<int>(k_whole);
  options.cache_bytes = cache_bytes;
  options.rng = krr::c_library_random();
  options.interrupt_pending = &host::signal_pending;
  options.interrupt_state = &watch;
  options.threads = host::requested_threads(FN);
  options.memory_bytes = host::usable_memory(FN);
  return true;
}

// What the warnings after the report need to know of the call.
struct call_summary {
  double ridge = 0.0, tol = 0.0, memory = 0.0;
  int n = 0;
};

// Runs the solver into new output arrays; their data go to the host at the call's finish.
void run(host::module_call& call, int nlhs, int nrhs, const mxArray* prhs[],
         krr::training_result& result, call_summary& summary) {
  krr::training_problem problem{};
  krr::training_options options{};
  if (!read_arguments(nlhs, nrhs, prhs, problem, options, call.watch, call.failure)) return;
  summary = {problem.ridge, options.tol, options.memory_bytes, problem.n};

  call.set_output(0, mxCreateDoubleMatrix(problem.n, 1, mxREAL));
  call.set_output(1, mxCreateDoubleMatrix(problem.n, 1, mxREAL));
  for (int i = 2; i < OUTPUT_COUNT; ++i) call.set_output(i, mxCreateDoubleMatrix(1, 1, mxREAL));
  host::run_core(call, "training", [&] {
    result = krr::train(problem, options, call.output_data(0), call.output_data(1));
  });
  host::call_failure& f = call.failure;
  if (!f.failed && result.status == krr::solve_status::out_of_memory) {
    host::fail(f, FN, "outOfMemory",
               "could not allocate %.0f bytes for %s (n = %d, k = %d, %d cache columns); "
               "lower cache_bytes or k",
               result.failed_bytes, result.failed_what, problem.n, options.k,
               result.cache_columns);
  }
  if (!f.failed && result.status == krr::solve_status::interrupted) {
    host::fail(f, FN, "interrupted", "interrupted by the user after %lld block steps",
               static_cast<long long>(result.steps));
  }
  if (f.failed) return;
  *call.output_data(2) = result.seconds;
  *call.output_data(3) = result.evals;
  *call.output_data(4) = result.objective;
}

// The warnings of a call that returned: first what the blocks met (the cause), then how
// the descent ended when that was not success. Each says what to change.
void warn_of_outcome(const krr::training_result& result, double ridge, double tol,
                     double memory, int n) {
  using krr::solve_status;
  const krr::block_solution_stats& block = result.block;
  if (result.cache_columns < result.requested_cache_columns) {
    host::warn(FN, "cacheCapped",
               "cache_bytes asks for %d columns (%.3g bytes), more than this process can "
               "have (about %.3g bytes available to it): the cache was capped at %d of n = %d "
               "columns (%.3g bytes). Columns that do not fit are computed again; a smaller "
               "cache_bytes avoids this warning",
               result.requested_cache_columns, 8.0 * n * result.requested_cache_columns,
               memory, result.cache_columns, n, 8.0 * n * result.cache_columns);
  }
  if (result.status == solve_status::singular) {
    host::warn(FN, "illConditioned",
               "K + ridge*I is zero (the amplitude w(d+1) and ridge are both 0), so no step "
               "can reduce the gradient; pass a positive ridge");
  } else if (block.unsafe_pivots > 0 || block.dropped_members > 0 || block.failed_checks > 0) {
    host::warn(FN, "illConditioned",
               "K + ridge*I is ill-conditioned: %lld block pivots were below 2^-20 of their "
               "diagonal entry, so those blocks were solved by a Cholesky factorisation, and "
               "%lld block members were left out as dependent on the others (samples that "
               "coincide, or nearly, under the weights w); alpha is sensitive to the data, and "
               "a ridge larger than %g makes the system better conditioned",
               static_cast<long long>(block.unsafe_pivots),
               static_cast<long long>(block.dropped_members), ridge);
  }
  switch (result.status) {
    case solve_status::not_converged:
      host::warn(FN, "notConverged",
                 "stopped by the work bound after %.0f block steps (%.0f passes over the "
                 "data) with max|grad| = %g above tol = %g; alpha is the iterate reached. A "
                 "larger tol, or a larger ridge, ends the descent sooner",
                 static_cast<double>(result.steps), result.passes, result.max_abs_grad, tol);
      break;
    case solve_status::tolerance_unreachable:
      host::warn(FN, "toleranceUnreachable",
                 "tol = %g is below what double precision can reach for this problem: "
                 "(K + ridge*I)*alpha - y is computed only to about %g here, and its checked "
                 "max|grad| is %g; grad is that checked gradient. Ask for tol >= %.2g",
                 tol, result.reachable_tol, result.max_abs_grad, result.reachable_tol);
      break;
    case solve_status::breakdown:
      host::warn(FN, "breakdown",
                 "the solution overflows double precision: alpha or grad holds Inf or NaN. "
                 "Scale y down or raise the ridge");
      break;
    default:
      break;
  }
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  host::module_call call(FN, nlhs, plhs);
  krr::training_result result;
  call_summary summary;
  run(call, nlhs, nrhs, prhs, result, summary);
  call.finish();

  mexPrintf("Number of kernel evaluation is %.0f.\n", result.evals);
  mexPrintf("Objectve function is %f\n", result.objective);
  mexPrintf("Elapsed time is %f seconds.\n", result.seconds);
  warn_of_outcome(result, summary.ridge, summary.tol, summary.memory, summary.n);
}
