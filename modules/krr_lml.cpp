// Host entry of the package's scalable marginal likelihood, which krrfit calls:
//   [f, g, V, info, q, t] = krr_lml (X, Y, w, ridge, settings, V0)
// estimates log p(Y | w, ridge) of the Gaussian process with this kernel and noise variance
// ridge, and its gradient in the log of every hyperparameter (core/learn/marginal_likelihood.h).
//   X         d x n samples, one per column; w: d + 1 weights (amplitude last); ridge > 0
//   Y         n x c targets (one kernel shared by the c outputs)
//   settings  [probes, seed, relative_tol, k, cache_bytes, log_det, lanczos_steps,
//             lanczos_tol, max_passes, rank, log_det_rank]: rank 0 solves by block
//             coordinate descent, above by conjugate gradients preconditioned with a pivoted
//             partial Cholesky factor of K of at most that rank (max_passes then bounds the
//             iterations); log_det_rank above 0 preconditions the log determinant's Lanczos
//             quadrature with such a factor of at most that rank; log_det 0: the gradient
//             alone, 1: the value too, 2: the value alone (the targets solved, not the
//             probes, and no gradient pass: g and t NaN, V's probe columns as V0 gave them)
//   V0        n x (c + probes) warm start (the V of a previous call), or []
//   f         the estimate (NaN where log_det is 0); g: (d + 2) x 1, d/dlog w(1 ... d),
//             d/dlog amplitude, d/dlog ridge
//   V         the solutions: alpha = V(:, 1:c), then A^-1 times each probe
//   info      [data_fit, log_det, log_det_error, solve status, block steps, passes, checks,
//             cache columns, seconds, block pivots too small for the bordered update,
//             threads, passes over K (block steps, checks, the gradient's pass, Lanczos
//             products), kernel columns computed, seconds computing them, Lanczos steps
//             (lanczos_steps where some probe's quadrature had not settled)]; solve status
//             as for krr_solve
//   q         probes x 1: each probe's estimate of the log det (z' log(A) z, or with
//             log_det_rank log det P + u' log(P^-1/2 A P^-1/2) u), whose mean is the log
//             det (NaN where log_det is 0)
//   t         (d + 2) x probes, asked for only: each probe's estimate of the trace term
//             (c / 2) z' A^-1 dA/dtheta_i z that g subtracts, whose mean is that term, so
//             that std (t, 0, 2) / sqrt (probes) is the error of g (computing t costs about
//             three times the gradient's pass over K)
// Ctrl-C and memory as for tarvel.
#include "core/exact_arithmetic.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <exception>
#include <limits>
#include <new>
#include <vector>

#include "core/learn/marginal_likelihood.h"
#include "core/parallel/thread_pool.h"
#include "mex.h"
#include "modules/host/argument_checks.h"
#include "modules/host/module_call.h"
#include "modules/host/operator_setting.h"
#include "modules/host/settings_vector.h"

namespace {

constexpr const char* FN = "krr_lml";
constexpr int OUTPUTS = 6;
constexpr int INFO = 15;
const double INF = std::numeric_limits<double>::infinity();
const host::setting_rule RULES[] = {{"probes", 1, 4096, true},
                                    {"seed", 0, 9007199254740992.0, true},
                                    {"relative_tol", 1e-300, 1e300, false},
                                    {"k", 1, 2147483647, true},
                                    {"cache_bytes", 0, INF, false},
                                    {"log_det", 0, 2, true},
                                    {"lanczos_steps", 1, 100000, true},
                                    {"lanczos_tol", 0, 1, false},
                                    {"max_passes", 0, 1e12, false},
                                    {"rank", 0, 1000000, true},
                                    {"log_det_rank", 0, 1000000, true}};
constexpr std::size_t SETTINGS = sizeof RULES / sizeof RULES[0];

void run(host::module_call& call, int nlhs, int nrhs, const mxArray* prhs[]) {
  using namespace host;
  call_failure& f = call.failure;
  if (!check_input_count(nrhs, 6, FN, f) || !check_output_count(nlhs, OUTPUTS, FN, f)) return;
  std::size_t d = 0, n = 0;
  double ridge = 0, settings[SETTINGS];
  if (!check_samples_and_weights(prhs[0], prhs[2], FN, d, n, f) ||
      !check_finite_matrix(prhs[1], n, "column of X", FN, "Y", f) ||
      !read_real_scalar(prhs[3], FN, "ridge", &ridge, f) ||
      !read_settings(prhs[4], RULES, SETTINGS, FN, settings, f) ||
      !check_ridge(ridge, true, FN, f)) {
    return;
  }
  const std::size_t c = mxGetN(prhs[1]);
  const std::size_t p = static_cast<std::size_t>(settings[0]);
  const std::size_t cols = c + p;
  const bool warm = mxGetNumberOfElements(prhs[5]) != 0;
  if (!check_warm_start(prhs[5], n, cols, "outputs, then probes", FN, f) ||
      !check_block_size(settings[3], 4, n, FN, f)) {
    return;
  }
  const call_resources resources = read_resources(FN);

  call.set_output(0, mxCreateDoubleMatrix(1, 1, mxREAL));
  call.set_output(1, mxCreateDoubleMatrix(d + 2, 1, mxREAL));
  call.set_output(2, mxCreateDoubleMatrix(n, cols, mxREAL));
  call.set_output(3, mxCreateDoubleMatrix(1, INFO, mxREAL));
  call.set_output(4, mxCreateDoubleMatrix(p, 1, mxREAL));
  const bool traces = nlhs >= 6;
  if (traces) call.set_output(5, mxCreateDoubleMatrix(d + 2, p, mxREAL));
  const auto start = std::chrono::steady_clock::now();
  run_core(call, "estimating the marginal likelihood", [&] {
    // The core takes the host's column-major arrays as they are and solves into the output.
    const double* Y = mxGetPr(prhs[1]);
    double* V = call.output_data(2);
    if (warm) std::copy(mxGetPr(prhs[5]), mxGetPr(prhs[5]) + n * cols, V);
    const int k = static_cast<int>(settings[3]);
    const int parts = krr::effective_threads(resources.threads, static_cast<std::int64_t>(n), 2048);
    // The targets and the solutions, and what the estimate allocates.
    const double held = 8.0 * n * (c + cols) +
                        krr::estimate_bytes(n, d, static_cast<int>(c), static_cast<int>(p), k, parts,
                                            static_cast<int>(std::min<double>(settings[9], n)), traces,
                                            settings[5] != 0.0 ? static_cast<int>(std::min<double>(settings[10], n)) : 0);
    krr::kernel_operator A;
    if (!prepare_operator(call, resources, prhs[0], prhs[2], ridge, k, settings[4], held,
                          "the estimate's arrays, more than the memory available to this process", A)) {
      return;
    }
    krr::lml_settings s;
    s.probes = static_cast<int>(p);
    s.seed = static_cast<std::uint64_t>(settings[1]);
    s.relative_tol = settings[2];
    s.log_det = settings[5] != 0.0;
    s.gradient = settings[5] != 2.0;
    s.lanczos.steps = static_cast<int>(settings[6]);
    s.lanczos.tolerance = settings[7];
    s.max_passes = settings[8];
    s.precondition_rank = static_cast<int>(settings[9]);
    s.log_det_rank = static_cast<int>(settings[10]);
    s.probe_traces = traces;
    const krr::lml_estimate e = krr::estimate_marginal_likelihood(A, Y, static_cast<int>(c), s, V);
    if (e.status == krr::solve_status::interrupted) {
      fail(f, FN, "interrupted", "interrupted by the user");
    } else if (e.status == krr::solve_status::out_of_memory) {
      fail(f, FN, "outOfMemory", "could not allocate %.0f bytes for the estimate's arrays",
           e.failed_bytes);
    } else {
      *call.output_data(0) = e.value;
      std::copy(e.gradient.begin(), e.gradient.end(), call.output_data(1));
      const double info[INFO] = {
          e.data_fit, e.log_det, e.log_det_error, static_cast<double>(e.solve.status),
          static_cast<double>(e.solve.steps), e.solve.passes,
          static_cast<double>(e.solve.checks), static_cast<double>(A.cache().slots()),
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
          static_cast<double>(e.solve.block.unsafe_pivots),
          static_cast<double>(A.schedule().parts()), e.passes_over_k,
          static_cast<double>(e.columns_computed), e.column_seconds,
          static_cast<double>(e.lanczos_steps)};
      std::copy(info, info + INFO, call.output_data(3));
      double* q = call.output_data(4);
      for (std::size_t s = 0; s < p; ++s) {
        q[s] = s < e.quadratures.size() ? e.quadratures[s] : std::numeric_limits<double>::quiet_NaN();
      }
      if (traces) {
        // NaN where they were not computed (the value alone).
        double* t = call.output_data(5);
        for (std::size_t i = 0; i < (d + 2) * p; ++i) {
          t[i] = i < e.probe_traces.size() ? e.probe_traces[i] : std::numeric_limits<double>::quiet_NaN();
        }
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
