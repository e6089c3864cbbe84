// Host entry of the package's multi-output solver:
//   [V, G, info] = krr_solve (X, B, w, ridge, V0, name, value, ...)
// solves (K + ridge I) V = B for the c columns of B at once (core/solve/multi_solver.h).
//   X         d x n samples, one per column; w: d + 1 weights (amplitude last); ridge >= 0
//   B         n x c right-hand sides
//   V0        n x c starting point, or [] for zeros
//   options   by name, in any case:
//             Tolerance   column q is solved until |G(:, q)| <= Tolerance * max |B(:, q)|
//                         (checked afresh); 1e-300 to 1e300, default 1e-6
//             BlockSize   members of each block, 1 to n; default 256 where c > 1, 64 for
//                         one column, at most n
//             CacheBytes  the kernel column cache's budget, 0 or more; default Inf (as much
//                         as the memory allows)
//             Seed        the solver's draws, a whole number from 0 to 2^53; default 0
//             MaxPasses   the work bound in passes over K, 0 to 1e12; default 1000
//   V, G      the solution and (K + ridge I) V - B
//   info      a struct: Status ('converged', 'workBound', 'roundingFloor' where a tolerance
//             is below the rounding floor, 'overflow', 'zeroOperator' where K + ridge I is
//             zero), BlockSteps, Passes, Checks, Replacements, CacheColumns, MembersLeftOut,
//             Seconds, Threads, ColumnsComputed (kernel columns) and ColumnSeconds (the
//             seconds computing them)
// Ctrl-C and memory as for tarvel. Refusals carry the identifier krr_solve:invalidInput.
#include "core/exact_arithmetic.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "core/solve/kernel_operator.h"
#include "core/solve/multi_solver.h"
#include "mex.h"
#include "modules/host/argument_checks.h"
#include "modules/host/module_call.h"
#include "modules/host/named_options.h"
#include "modules/host/named_results.h"
#include "modules/host/operator_setting.h"

namespace {

constexpr const char* FN = "krr_solve";
constexpr int OUTPUTS = 3;
constexpr int ARGUMENTS = 5;  // X, B, w, ridge, V0; then the options
enum option { TOLERANCE, BLOCK_SIZE, CACHE_BYTES, SEED, MAX_PASSES, OPTIONS };

void run(host::module_call& call, int nlhs, int nrhs, const mxArray* prhs[]) {
  using namespace host;
  call_failure& f = call.failure;
  if (nrhs < ARGUMENTS) {
    fail(f, FN, "nargin", "expected X, B, w, ridge, V0 and name-value options, got %d inputs", nrhs);
    return;
  }
  if (!check_output_count(nlhs, OUTPUTS, FN, f)) return;
  const krr::multi_options defaults;
  named_option options[OPTIONS] = {
      {"Tolerance", 1e-300, 1e300, false, nullptr, 1e-6, false},
      {"BlockSize", 1, 2147483647, true, nullptr, 0, false},
      {"CacheBytes", 0, std::numeric_limits<double>::infinity(), false, nullptr,
       std::numeric_limits<double>::infinity(), false},
      {"Seed", 0, 9007199254740992.0, true, nullptr, static_cast<double>(defaults.seed), false},
      {"MaxPasses", 0, 1e12, false, nullptr, defaults.max_passes, false}};
  std::size_t d = 0, n = 0;
  double ridge = 0;
  if (!check_samples_and_weights(prhs[0], prhs[2], FN, d, n, f) ||
      !check_finite_matrix(prhs[1], n, "column of X", FN, "B", f) ||
      !read_real_scalar(prhs[3], FN, "ridge", &ridge, f) ||
      !read_named_options(prhs + ARGUMENTS, nrhs - ARGUMENTS, "V0", options, OPTIONS, FN, f) ||
      !check_ridge(ridge, false, FN, f)) {
    return;
  }
  const std::size_t c = mxGetN(prhs[1]);
  const mxArray* V0 = prhs[4];
  const bool warm = mxGetNumberOfElements(V0) != 0;
  if (!options[BLOCK_SIZE].given) {
    options[BLOCK_SIZE].value = static_cast<double>(std::min<std::size_t>(n, c > 1 ? 256 : 64));
  }
  if (!check_warm_start(V0, n, c, "as many as B", FN, f) ||
      !check_block_size(options[BLOCK_SIZE].value, "BlockSize", n, FN, f)) {
    return;
  }
  const call_resources resources = read_resources(FN);

  call.set_output(0, mxCreateDoubleMatrix(n, c, mxREAL));
  call.set_output(1, mxCreateDoubleMatrix(n, c, mxREAL));
  // What info reports, kept as plain values until the core is done.
  krr::solve_status status = krr::solve_status::converged;
  double steps = 0, passes = 0, checks = 0, replacements = 0, left_out = 0;
  double cache_columns = 0, threads = 0, columns_computed = 0, column_seconds = 0;
  const auto start = std::chrono::steady_clock::now();
  run_core(call, "solving", [&] {
    // The core takes the host's column-major arrays as they are and solves into the outputs.
    const double* b = mxGetPr(prhs[1]);
    double* V = call.output_data(0);
    if (warm) std::copy(mxGetPr(V0), mxGetPr(V0) + n * c, V);
    const int k = static_cast<int>(options[BLOCK_SIZE].value);
    const double held = 8.0 * n * c * 3 + krr::multi_solver_bytes(n, k, c, d);  // B, V, G
    krr::kernel_operator A;
    if (!prepare_operator(call, resources, prhs[0], prhs[2], ridge, k, options[CACHE_BYTES].value,
                          held, "the solver's arrays, more than the memory available to this process", A)) {
      return;
    }
    const std::vector<double> tol = krr::column_tolerances(
        b, static_cast<std::int64_t>(n), static_cast<int>(c), options[TOLERANCE].value);
    krr::multi_options settings;
    settings.tol = tol.data();
    settings.seed = static_cast<std::uint64_t>(options[SEED].value);
    settings.max_passes = options[MAX_PASSES].value;
    const krr::descent_result r =
        krr::solve_multi(A, b, static_cast<int>(c), settings, V, call.output_data(1));
    if (r.status == krr::solve_status::interrupted) {
      fail(f, FN, "interrupted", "interrupted by the user");
    } else if (r.status == krr::solve_status::out_of_memory) {
      fail(f, FN, "outOfMemory", "could not allocate %.0f bytes for the solver's arrays",
           r.failed_bytes);
    }
    status = r.status;
    steps = static_cast<double>(r.steps);
    passes = r.passes;
    checks = static_cast<double>(r.checks);
    replacements = static_cast<double>(r.replacements);
    left_out = static_cast<double>(r.block.dropped_members);
    cache_columns = static_cast<double>(A.cache().slots());
    threads = static_cast<double>(A.schedule().parts());
    columns_computed = static_cast<double>(A.schedule().columns_computed());
    column_seconds = A.schedule().column_seconds();
  });
  if (f.failed || nlhs < OUTPUTS) return;
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const named_value info[] = {
      {"Status", 0, status_name(status)},
      {"BlockSteps", steps, nullptr},
      {"Passes", passes, nullptr},
      {"Checks", checks, nullptr},
      {"Replacements", replacements, nullptr},
      {"CacheColumns", cache_columns, nullptr},
      {"MembersLeftOut", left_out, nullptr},
      {"Seconds", seconds, nullptr},
      {"Threads", threads, nullptr},
      {"ColumnsComputed", columns_computed, nullptr},
      {"ColumnSeconds", column_seconds, nullptr}};
  call.set_output(2, named_struct(info, sizeof info / sizeof *info));
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  host::module_call call(FN, nlhs, plhs);
  run(call, nlhs, nrhs, prhs);
  call.finish();
}
