// Host entry of the package's multi-output solver, which krrfit calls:
//   [V, G, info] = krr_solve (X, B, w, ridge, settings, V0)
// solves (K + ridge I) V = B for the c columns of B at once (core/solve/multi_solver.h).
//   X         d x n samples, one per column; w: d + 1 weights (amplitude last); ridge >= 0
//   B         n x c right-hand sides
//   settings  [relative_tol, k, cache_bytes, seed, max_passes]: column q is solved until
//             |G(:, q)| <= relative_tol * max |B(:, q)| (checked afresh), blocks of k members
//   V0        n x c starting point, or [] for zeros
//   V, G      the solution and (K + ridge I) V - B
//   info      [status, block steps, passes, checks, replacements, cache columns, members
//             left out, seconds, threads, kernel columns computed, seconds computing
//             them]; status 0 converged, 1 work bound, 2 tolerance
//             below the rounding floor, 3 overflow, 4 K + ridge I is zero
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
#include "modules/host/operator_setting.h"
#include "modules/host/settings_vector.h"

namespace {

constexpr const char* FN = "krr_solve";
constexpr int OUTPUTS = 3;
constexpr int INFO = 11;
const host::setting_rule RULES[] = {{"relative_tol", 1e-300, 1e300, false},
                                    {"k", 1, 2147483647, true},
                                    {"cache_bytes", 0, std::numeric_limits<double>::infinity(), false},
                                    {"seed", 0, 9007199254740992.0, true},
                                    {"max_passes", 0, 1e12, false}};

void run(host::module_call& call, int nlhs, int nrhs, const mxArray* prhs[]) {
  using namespace host;
  call_failure& f = call.failure;
  if (!check_input_count(nrhs, 6, FN, f) || !check_output_count(nlhs, OUTPUTS, FN, f)) return;
  std::size_t d = 0, n = 0;
  double ridge = 0, settings[5];
  if (!check_samples_and_weights(prhs[0], prhs[2], FN, d, n, f) ||
      !check_finite_matrix(prhs[1], n, "column of X", FN, "B", f) ||
      !read_real_scalar(prhs[3], FN, "ridge", &ridge, f) ||
      !read_settings(prhs[4], RULES, 5, FN, settings, f) ||
      !check_ridge(ridge, false, FN, f)) {
    return;
  }
  const std::size_t c = mxGetN(prhs[1]);
  const bool warm = mxGetNumberOfElements(prhs[5]) != 0;
  if (!check_warm_start(prhs[5], n, c, "as many as B", FN, f) ||
      !check_block_size(settings[1], 2, n, FN, f)) {
    return;
  }
  const call_resources resources = read_resources(FN);

  call.set_output(0, mxCreateDoubleMatrix(n, c, mxREAL));
  call.set_output(1, mxCreateDoubleMatrix(n, c, mxREAL));
  call.set_output(2, mxCreateDoubleMatrix(1, INFO, mxREAL));
  const auto start = std::chrono::steady_clock::now();
  run_core(call, "solving", [&] {
    // The core takes the host's column-major arrays as they are and solves into the outputs.
    const double* b = mxGetPr(prhs[1]);
    double* V = call.output_data(0);
    if (warm) std::copy(mxGetPr(prhs[5]), mxGetPr(prhs[5]) + n * c, V);
    const int k = static_cast<int>(settings[1]);
    const double held = 8.0 * n * c * 3 + krr::multi_solver_bytes(n, k, c, d);  // B, V, G
    krr::kernel_operator A;
    if (!prepare_operator(call, resources, prhs[0], prhs[2], ridge, k, settings[2], held,
                          "the solver's arrays, more than the memory available to this process", A)) {
      return;
    }
    const std::vector<double> tol =
        krr::column_tolerances(b, static_cast<std::int64_t>(n), static_cast<int>(c), settings[0]);
    krr::multi_options options;
    options.tol = tol.data();
    options.seed = static_cast<std::uint64_t>(settings[3]);
    options.max_passes = settings[4];
    const krr::descent_result r =
        krr::solve_multi(A, b, static_cast<int>(c), options, V, call.output_data(1));
    if (r.status == krr::solve_status::interrupted) {
      fail(f, FN, "interrupted", "interrupted by the user");
    } else if (r.status == krr::solve_status::out_of_memory) {
      fail(f, FN, "outOfMemory", "could not allocate %.0f bytes for the solver's arrays",
           r.failed_bytes);
    } else {
      const double info[INFO] = {
          static_cast<double>(r.status), static_cast<double>(r.steps), r.passes,
          static_cast<double>(r.checks), static_cast<double>(r.replacements),
          static_cast<double>(A.cache().slots()), static_cast<double>(r.block.dropped_members),
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
          static_cast<double>(A.schedule().parts()),
          static_cast<double>(A.schedule().columns_computed()), A.schedule().column_seconds()};
      std::copy(info, info + INFO, call.output_data(2));
    }
  });
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  host::module_call call(FN, nlhs, plhs);
  run(call, nlhs, nrhs, prhs);
  call.finish();
}
