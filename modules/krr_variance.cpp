// Host entry of the package's predictive variances, which krrpredict calls:
//   [v, info] = krr_variance (Xtest, X, w, ridge, settings)
// v(i) = K(x, x) - k' (K + ridge I)^-1 k at the test sample x = Xtest(:, i), k = K(X, x): the
// latent variance of the Gaussian process with this kernel and noise variance ridge
// (core/predict/variance.h), never below its rounding floor.
//   Xtest     d x nt test samples; X d x n training samples, one per column; w: d + 1
//             weights (amplitude last); ridge > 0
//   settings  [method, relative_tol, k, cache_bytes, seed, max_passes, batch, max_rank,
//             rank_tol]: a pivoted Cholesky factor of K of rank at most max_rank, stopped
//             once it leaves out at most rank_tol * ridge on the diagonal; method 0 exact
//             (conjugate gradients preconditioned by the factor, to relative_tol, at most
//             max_passes iterations, batch test samples at a time), 1 approximate (the factor
//             alone); k sizes the operator's scratch, seed is unused
//   info      [status, passes, rank, largest residual, seconds, threads]; status as for
//             krr_solve (0 when every solve met its tolerance)
// Ctrl-C and memory as for tarvel.
#include "core/exact_arithmetic.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <limits>

#include "core/predict/variance.h"
#include "mex.h"
#include "modules/host/argument_checks.h"
#include "modules/host/module_call.h"
#include "modules/host/operator_setting.h"
#include "modules/host/settings_vector.h"

namespace {

constexpr const char* FN = "krr_variance";
constexpr int OUTPUTS = 2;
constexpr int INFO = 6;
const double INF = std::numeric_limits<double>::infinity();
const host::setting_rule RULES[] = {{"method", 0, 1, true},
                                    {"relative_tol", 1e-300, 1, false},
                                    {"k", 1, 2147483647, true},
                                    {"cache_bytes", 0, INF, false},
                                    {"seed", 0, 9007199254740992.0, true},
                                    {"max_passes", 0, 1e12, false},
                                    {"batch", 1, 65536, true},
                                    {"max_rank", 1, 1e6, true},
                                    {"rank_tol", 0, 1e300, false}};
constexpr std::size_t SETTINGS = sizeof RULES / sizeof RULES[0];

void run(host::module_call& call, int nlhs, int nrhs, const mxArray* prhs[]) {
  using namespace host;
  call_failure& f = call.failure;
  if (!check_input_count(nrhs, 5, FN, f) || !check_output_count(nlhs, OUTPUTS, FN, f)) return;
  std::size_t d = 0, n = 0;
  double ridge = 0, settings[SETTINGS];
  const mxArray* Xtest = prhs[0];
  if (!check_samples_and_weights(prhs[1], prhs[2], FN, d, n, f) ||
      !check_real_double_array(Xtest, FN, "Xtest", f) ||
      !check_two_dimensional(Xtest, FN, "Xtest", f) ||
      !read_real_scalar(prhs[3], FN, "ridge", &ridge, f) ||
      !read_settings(prhs[4], RULES, SETTINGS, FN, settings, f) ||
      !check_ridge(ridge, true, FN, f) || !check_block_size(settings[2], 3, n, FN, f)) {
    return;
  }
  if (mxGetM(Xtest) != d) {
    fail(f, FN, "invalidInput", "Xtest must have as many rows as X (%zu features per sample), got %zu",
         d, static_cast<std::size_t>(mxGetM(Xtest)));
    return;
  }
  const std::size_t nt = mxGetN(Xtest);
  if (!check_all_finite(mxGetPr(Xtest), d * nt, FN, "Xtest", f)) return;
  const call_resources resources = read_resources(FN);

  call.set_output(0, mxCreateDoubleMatrix(nt, 1, mxREAL));
  call.set_output(1, mxCreateDoubleMatrix(1, INFO, mxREAL));
  const auto start = std::chrono::steady_clock::now();
  run_core(call, "computing the variances", [&] {
    const bool exact = settings[0] == 0.0;
    const int k = static_cast<int>(settings[2]);
    krr::variance_settings s;
    s.relative_tol = settings[1];
    s.max_passes = settings[5];
    s.max_rank = static_cast<int>(std::min<double>(settings[7], static_cast<double>(n)));
    s.rank_tol = settings[8];
    // A batch of exact solves holds about five n x batch arrays: at most a quarter of the
    // memory, so that the cache keeps the rest.
    const double per_sample = 8.0 * 5.0 * n;
    const double fits = std::max(1.0, std::floor(0.25 * resources.memory / per_sample));
    s.batch = static_cast<int>(std::min({settings[6], fits, static_cast<double>(std::max<std::size_t>(nt, 1))}));
    const double held = 8.0 * nt + (exact ? krr::exact_variance_bytes(n, d, s.batch, s.max_rank)
                                          : krr::approximate_variance_bytes(n, d, s.max_rank));
    krr::kernel_operator A;
    if (!prepare_operator(call, resources, prhs[1], prhs[2], ridge, k, settings[3], held,
                          "the variances' arrays, more than the memory available to this process",
                          A)) {
      return;
    }
    const std::int64_t count = static_cast<std::int64_t>(nt);
    const krr::variance_result r =
        exact ? krr::exact_variances(A, mxGetPr(Xtest), count, s, call.output_data(0))
              : krr::approximate_variances(A, mxGetPr(Xtest), count, s, call.output_data(0));
    if (r.status == krr::solve_status::interrupted) {
      fail(f, FN, "interrupted", "interrupted by the user");
    } else if (r.status == krr::solve_status::out_of_memory) {
      fail(f, FN, "outOfMemory", "could not allocate %.0f bytes for the variances' arrays",
           r.failed_bytes);
    } else {
      const double info[INFO] = {
          static_cast<double>(r.status), r.passes, static_cast<double>(r.rank), r.largest_residual,
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
          static_cast<double>(A.schedule().parts())};
      std::copy(info, info + INFO, call.output_data(1));
    }
  });
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  host::module_call call(FN, nlhs, plhs);
  run(call, nlhs, nrhs, prhs);
  call.finish();
}
