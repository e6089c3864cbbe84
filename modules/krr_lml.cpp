// Host entry of the package's scalable marginal likelihood:
//   [f, g, V, info, q, t] = krr_lml (X, Y, w, ridge, V0, name, value, ...)
// estimates log p(Y | w, ridge) of the Gaussian process with this kernel and noise variance
// ridge, and its gradient in the log of every hyperparameter (core/learn/marginal_likelihood.h).
//   X         d x n samples, one per column; w: d + 1 weights (amplitude last); ridge > 0
//   Y         n x c targets (one kernel shared by the c outputs)
//   V0        n x (c + Probes) warm start (the V of a previous call), or []
//   options   by name, in any case (the defaults are the core's own):
//             Probes            Rademacher probes, 1 to 4096; default 16
//             Seed              the probes and the solver's draws, 0 to 2^53; default 0
//             Tolerance         each solve to Tolerance times its right side's largest
//                               magnitude, 1e-300 to 1e300; default 1e-6
//             BlockSize         members of each block, 1 to n; default 256, at most n
//             CacheBytes        the kernel column cache's budget, 0 or more; default Inf
//             LogDet            'none': the gradient alone; 'with': the value too
//                               (default); 'only': the value alone (the targets solved,
//                               not the probes, and no gradient pass: g and t NaN, V's
//                               probe columns as V0 gave them)
//             LanczosSteps      the log determinant's Lanczos steps at most, 1 to 100000;
//                               default 60
//             LanczosTolerance  a probe's quadrature is done once it moves less,
//                               relatively, 0 to 1; default 1e-6
//             MaxPasses         the solves' work bound, 0 to 1e12; default 1000
//             Rank              0: the solves by block coordinate descent; above: by
//                               conjugate gradients preconditioned with a pivoted partial
//                               Cholesky factor of K of at most that rank (MaxPasses then
//                               bounds the iterations); 0 to 1e6, default 0
//             LogDetRank        above 0, the log determinant's Lanczos quadrature is
//                               preconditioned with such a factor of at most that rank;
//                               0 to 1e6, default 0
//   f         the estimate (NaN with LogDet 'none'); g: (d + 2) x 1, d/dlog w(1 ... d),
//             d/dlog amplitude, d/dlog ridge
//   V         the solutions: alpha = V(:, 1:c), then A^-1 times each probe
//   info      a struct: DataFit, LogDet, LogDetError, Status (as krr_solve's), BlockSteps,
//             Passes, Checks, CacheColumns, Seconds, SmallPivots (block pivots too small
//             for the bordered update), Threads, PassesOverK (block steps, checks, the
//             gradient's pass, Lanczos products), ColumnsComputed (kernel columns),
//             ColumnSeconds (the seconds computing them), LanczosSteps (LanczosSteps where
//             some probe's quadrature had not settled)
//   q         Probes x 1: each probe's estimate of the log det (z' log(A) z, or with
//             LogDetRank log det P + u' log(P^-1/2 A P^-1/2) u), whose mean is the log
//             det (NaN with LogDet 'none')
//   t         (d + 2) x Probes, asked for only: each probe's estimate of the trace term
//             (c / 2) z' A^-1 dA/dtheta_i z that g subtracts, whose mean is that term, so
//             that std (t, 0, 2) / sqrt (Probes) is the error of g (computing t costs about
//             three times the gradient's pass over K)
// Ctrl-C and memory as for tarvel. Refusals carry the identifier krr_lml:invalidInput.
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
#include "modules/host/named_options.h"
#include "modules/host/named_results.h"
#include "modules/host/operator_setting.h"

namespace {

constexpr const char* FN = "krr_lml";
constexpr int OUTPUTS = 6;
constexpr int ARGUMENTS = 5;  // X, Y, w, ridge, V0; then the options
const double INF = std::numeric_limits<double>::infinity();
enum option {
  PROBES, SEED, TOLERANCE, BLOCK_SIZE, CACHE_BYTES, LOG_DET, LANCZOS_STEPS, LANCZOS_TOLERANCE,
  MAX_PASSES, RANK, LOG_DET_RANK, OPTIONS
};
// LogDet's words, by their index: the gradient alone, the value too, the value alone.
const char* const LOG_DET_WORDS[] = {"none", "with", "only", nullptr};
enum log_det_mode { GRADIENT_ALONE, VALUE_TOO, VALUE_ALONE };

void run(host::module_call& call, int nlhs, int nrhs, const mxArray* prhs[]) {
  using namespace host;
  call_failure& f = call.failure;
  if (nrhs < ARGUMENTS) {
    fail(f, FN, "nargin", "expected X, Y, w, ridge, V0 and name-value options, got %d inputs", nrhs);
    return;
  }
  if (!check_output_count(nlhs, OUTPUTS, FN, f)) return;
  const krr::lml_settings core;
  const double mode = core.log_det ? (core.gradient ? VALUE_TOO : VALUE_ALONE) : GRADIENT_ALONE;
  named_option options[OPTIONS] = {
      {"Probes", 1, 4096, true, nullptr, static_cast<double>(core.probes), false},
      {"Seed", 0, 9007199254740992.0, true, nullptr, static_cast<double>(core.seed), false},
      {"Tolerance", 1e-300, 1e300, false, nullptr, core.relative_tol, false},
      {"BlockSize", 1, 2147483647, true, nullptr, 0, false},
      {"CacheBytes", 0, INF, false, nullptr, INF, false},
      {"LogDet", 0, 0, false, LOG_DET_WORDS, mode, false},
      {"LanczosSteps", 1, 100000, true, nullptr, static_cast<double>(core.lanczos.steps), false},
      {"LanczosTolerance", 0, 1, false, nullptr, core.lanczos.tolerance, false},
      {"MaxPasses", 0, 1e12, false, nullptr, core.max_passes, false},
      {"Rank", 0, 1000000, true, nullptr, static_cast<double>(core.precondition_rank), false},
      {"LogDetRank", 0, 1000000, true, nullptr, static_cast<double>(core.log_det_rank), false}};
  std::size_t d = 0, n = 0;
  double ridge = 0;
  if (!check_samples_and_weights(prhs[0], prhs[2], FN, d, n, f) ||
      !check_finite_matrix(prhs[1], n, "column of X", FN, "Y", f) ||
      !read_real_scalar(prhs[3], FN, "ridge", &ridge, f) ||
      !read_named_options(prhs + ARGUMENTS, nrhs - ARGUMENTS, "V0", options, OPTIONS, FN, f) ||
      !check_ridge(ridge, true, FN, f)) {
    return;
  }
  const std::size_t c = mxGetN(prhs[1]);
  const std::size_t p = static_cast<std::size_t>(options[PROBES].value);
  const std::size_t cols = c + p;
  const mxArray* V0 = prhs[4];
  const bool warm = mxGetNumberOfElements(V0) != 0;
  // The targets and the probes are solved together: several columns, blocks of 256.
  if (!options[BLOCK_SIZE].given) options[BLOCK_SIZE].value = static_cast<double>(std::min<std::size_t>(n, 256));
  if (!check_warm_start(V0, n, cols, "outputs, then probes", FN, f) ||
      !check_block_size(options[BLOCK_SIZE].value, "BlockSize", n, FN, f)) {
    return;
  }
  const call_resources resources = read_resources(FN);
  const int log_det = static_cast<int>(options[LOG_DET].value);

  call.set_output(0, mxCreateDoubleMatrix(1, 1, mxREAL));
  call.set_output(1, mxCreateDoubleMatrix(d + 2, 1, mxREAL));
  call.set_output(2, mxCreateDoubleMatrix(n, cols, mxREAL));
  // info (output 3) is made once the core is done.
  call.set_output(4, mxCreateDoubleMatrix(p, 1, mxREAL));
  const bool traces = nlhs >= 6;
  if (traces) call.set_output(5, mxCreateDoubleMatrix(d + 2, p, mxREAL));
  // What info reports, kept as plain values until the core is done.
  krr::solve_status status = krr::solve_status::converged;
  double data_fit = 0, value_of_log_det = 0, log_det_error = 0, steps = 0, passes = 0, checks = 0;
  double cache_columns = 0, small_pivots = 0, threads = 0, passes_over_k = 0;
  double columns_computed = 0, column_seconds = 0, lanczos_steps = 0;
  const auto start = std::chrono::steady_clock::now();
  run_core(call, "estimating the marginal likelihood", [&] {
    // The core takes the host's column-major arrays as they are and solves into the output.
    const double* Y = mxGetPr(prhs[1]);
    double* V = call.output_data(2);
    if (warm) std::copy(mxGetPr(V0), mxGetPr(V0) + n * cols, V);
    const int k = static_cast<int>(options[BLOCK_SIZE].value);
    const int parts = krr::effective_threads(resources.threads, static_cast<std::int64_t>(n), 2048);
    // The targets and the solutions, and what the estimate allocates.
    const double held =
        8.0 * n * (c + cols) +
        krr::estimate_bytes(n, d, static_cast<int>(c), static_cast<int>(p), k, parts,
                            static_cast<int>(std::min<double>(options[RANK].value, n)), traces,
                            log_det != GRADIENT_ALONE
                                ? static_cast<int>(std::min<double>(options[LOG_DET_RANK].value, n))
                                : 0);
    krr::kernel_operator A;
    if (!prepare_operator(call, resources, prhs[0], prhs[2], ridge, k, options[CACHE_BYTES].value,
                          held, "the estimate's arrays, more than the memory available to this process", A)) {
      return;
    }
    krr::lml_settings s;
    s.probes = static_cast<int>(p);
    s.seed = static_cast<std::uint64_t>(options[SEED].value);
    s.relative_tol = options[TOLERANCE].value;
    s.log_det = log_det != GRADIENT_ALONE;
    s.gradient = log_det != VALUE_ALONE;
    s.lanczos.steps = static_cast<int>(options[LANCZOS_STEPS].value);
    s.lanczos.tolerance = options[LANCZOS_TOLERANCE].value;
    s.max_passes = options[MAX_PASSES].value;
    s.precondition_rank = static_cast<int>(options[RANK].value);
    s.log_det_rank = static_cast<int>(options[LOG_DET_RANK].value);
    s.probe_traces = traces;
    const krr::lml_estimate e = krr::estimate_marginal_likelihood(A, Y, static_cast<int>(c), s, V);
    if (e.status == krr::solve_status::interrupted) {
      fail(f, FN, "interrupted", "interrupted by the user");
      return;
    }
    if (e.status == krr::solve_status::out_of_memory) {
      fail(f, FN, "outOfMemory", "could not allocate %.0f bytes for the estimate's arrays",
           e.failed_bytes);
      return;
    }
    *call.output_data(0) = e.value;
    std::copy(e.gradient.begin(), e.gradient.end(), call.output_data(1));
    double* q = call.output_data(4);
    for (std::size_t i = 0; i < p; ++i) {
      q[i] = i < e.quadratures.size() ? e.quadratures[i] : std::numeric_limits<double>::quiet_NaN();
    }
    if (traces) {
      // NaN where they were not computed (the value alone).
      double* t = call.output_data(5);
      for (std::size_t i = 0; i < (d + 2) * p; ++i) {
        t[i] = i < e.probe_traces.size() ? e.probe_traces[i] : std::numeric_limits<double>::quiet_NaN();
      }
    }
    status = e.solve.status;
    data_fit = e.data_fit;
    value_of_log_det = e.log_det;
    log_det_error = e.log_det_error;
    steps = static_cast<double>(e.solve.steps);
    passes = e.solve.passes;
    checks = static_cast<double>(e.solve.checks);
    cache_columns = static_cast<double>(A.cache().slots());
    small_pivots = static_cast<double>(e.solve.block.unsafe_pivots);
    threads = static_cast<double>(A.schedule().parts());
    passes_over_k = e.passes_over_k;
    columns_computed = static_cast<double>(e.columns_computed);
    column_seconds = e.column_seconds;
    lanczos_steps = static_cast<double>(e.lanczos_steps);
  });
  if (f.failed || nlhs < 4) return;
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const named_value info[] = {
      {"DataFit", data_fit, nullptr},
      {"LogDet", value_of_log_det, nullptr},
      {"LogDetError", log_det_error, nullptr},
      {"Status", 0, status_name(status)},
      {"BlockSteps", steps, nullptr},
      {"Passes", passes, nullptr},
      {"Checks", checks, nullptr},
      {"CacheColumns", cache_columns, nullptr},
      {"Seconds", seconds, nullptr},
      {"SmallPivots", small_pivots, nullptr},
      {"Threads", threads, nullptr},
      {"PassesOverK", passes_over_k, nullptr},
      {"ColumnsComputed", columns_computed, nullptr},
      {"ColumnSeconds", column_seconds, nullptr},
      {"LanczosSteps", lanczos_steps, nullptr}};
  call.set_output(3, named_struct(info, sizeof info / sizeof *info));
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  host::module_call call(FN, nlhs, plhs);
  run(call, nlhs, nrhs, prhs);
  call.finish();
}
