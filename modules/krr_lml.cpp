// Host entry of the package's scalable marginal likelihood, which krrfit calls:
//   [f, g, V, info] = krr_lml (X, Y, w, ridge, settings, V0)
// estimates log p(Y | w, ridge) of the Gaussian process with this kernel and noise variance
// ridge, and its gradient in the log of every hyperparameter (core/learn/marginal_likelihood.h).
//   X         d x n samples, one per column; w: d + 1 weights (amplitude last); ridge > 0
//   Y         n x c targets (one kernel shared by the c outputs)
//   settings  [probes, seed, relative_tol, k, cache_bytes, log_det, lanczos_steps,
//             lanczos_tol, max_passes]
//   V0        n x (c + probes) warm start (the V of a previous call), or []
//   f         the estimate (NaN unless log_det is 1); g: (d + 2) x 1, d/dlog w(1 ... d),
//             d/dlog amplitude, d/dlog ridge
//   V         the solutions: alpha = V(:, 1:c), then A^-1 times each probe
//   info      [data_fit, log_det, log_det_error, solve status, block steps, passes, checks,
//             cache columns, seconds, block pivots too small for the bordered update];
//             solve status as for krr_solve
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

#include "modules/host/argument_checks.h"
#include "modules/host/call_failure.h"
#include "modules/host/interrupt.h"
#include "modules/host/memory_setting.h"
#include "modules/host/output_slots.h"
#include "modules/host/settings_vector.h"
#include "modules/host/thread_setting.h"
#include "core/learn/marginal_likelihood.h"
#include "mex.h"

namespace {

constexpr const char* FN = "krr_lml";
constexpr int OUTPUTS = 4;
constexpr int INFO = 10;
const double INF = std::numeric_limits<double>::infinity();
const host::setting_rule RULES[] = {{"probes", 1, 4096, true},
                                    {"seed", 0, 9007199254740992.0, true},
                                    {"relative_tol", 1e-300, 1e300, false},
                                    {"k", 1, 2147483647, true},
                                    {"cache_bytes", 0, INF, false},
                                    {"log_det", 0, 1, true},
                                    {"lanczos_steps", 1, 100000, true},
                                    {"lanczos_tol", 0, 1, false},
                                    {"max_passes", 0, 1e12, false}};
constexpr std::size_t SETTINGS = sizeof RULES / sizeof RULES[0];

void run(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[], host::signal_watch& watch,
         host::call_failure& f) {
  using namespace host;
  if (!check_input_count(nrhs, 6, FN, f) || !check_output_count(nlhs, OUTPUTS, FN, f)) return;
  std::size_t d = 0, n = 0;
  double ridge = 0, settings[SETTINGS];
  if (!check_samples_and_weights(prhs[0], prhs[2], FN, d, n, f) ||
      !check_finite_matrix(prhs[1], n, "column of X", FN, "Y", f) ||
      !read_real_scalar(prhs[3], FN, "ridge", &ridge, f) ||
      !read_settings(prhs[4], RULES, SETTINGS, FN, settings, f)) {
    return;
  }
  if (!std::isfinite(ridge) || ridge <= 0.0) {
    char shown[32];
    fail(f, FN, "invalidInput", "ridge must be finite and positive, got %s", show(ridge, shown));
    return;
  }
  const std::size_t c = mxGetN(prhs[1]);
  const std::size_t p = static_cast<std::size_t>(settings[0]);
  const std::size_t cols = c + p;
  const bool warm = mxGetNumberOfElements(prhs[5]) != 0;
  if (warm && !check_finite_matrix(prhs[5], n, "column of X", FN, "V0", f)) return;
  if (warm && mxGetN(prhs[5]) != cols) {
    fail(f, FN, "invalidInput", "V0 must have %zu columns (outputs, then probes), got %zu", cols,
         static_cast<std::size_t>(mxGetN(prhs[5])));
    return;
  }
  if (settings[3] > static_cast<double>(n)) {
    fail(f, FN, "invalidInput", "setting 4 (k) must be at most n = %zu", n);
    return;
  }
  const int threads = requested_threads(FN);
  const double memory = usable_memory(FN);

  mxArray* outputs[OUTPUTS] = {mxCreateDoubleMatrix(1, 1, mxREAL),
                               mxCreateDoubleMatrix(d + 2, 1, mxREAL),
                               mxCreateDoubleMatrix(n, cols, mxREAL),
                               mxCreateDoubleMatrix(1, INFO, mxREAL)};
  const auto start = std::chrono::steady_clock::now();
  try {
    // The core takes the host's column-major arrays as they are and solves into the output.
    const double* Y = mxGetPr(prhs[1]);
    double* V = mxGetPr(outputs[2]);
    if (warm) std::copy(mxGetPr(prhs[5]), mxGetPr(prhs[5]) + n * cols, V);
    krr::kernel_system_setup setup{mxGetPr(prhs[0]), static_cast<int>(n), static_cast<int>(d),
                                   mxGetPr(prhs[2]), ridge, static_cast<int>(settings[3]),
                                   settings[4]};
    setup.memory_bytes = memory;
    setup.other_bytes = 8.0 * n * (c + 8.0 * cols);  // targets, solutions, the solver's arrays
    setup.threads = threads;
    setup.interrupt_pending = &signal_pending;
    setup.interrupt_state = &watch;
    krr::kernel_system A;
    krr::allocation_failure failure;
    if (!A.prepare(setup, failure)) {
      fail(f, FN, "outOfMemory", "could not allocate %.0f bytes for %s", failure.bytes, failure.what);
    } else {
      krr::lml_settings s;
      s.probes = static_cast<int>(p);
      s.seed = static_cast<std::uint64_t>(settings[1]);
      s.relative_tol = settings[2];
      s.log_det = settings[5] != 0.0;
      s.lanczos.steps = static_cast<int>(settings[6]);
      s.lanczos.tolerance = settings[7];
      s.max_passes = settings[8];
      const krr::lml_estimate e =
          krr::estimate_marginal_likelihood(A, Y, static_cast<int>(c), s, V);
      if (e.interrupted) {
        fail(f, FN, "interrupted", "interrupted by the user");
      } else {
        *mxGetPr(outputs[0]) = e.value;
        for (std::size_t i = 0; i < d + 2; ++i) mxGetPr(outputs[1])[i] = e.gradient[i];
        const double info[INFO] = {
            e.data_fit, e.log_det, e.log_det_error, static_cast<double>(e.solve.status),
            static_cast<double>(e.solve.steps), e.solve.passes,
            static_cast<double>(e.solve.checks), static_cast<double>(A.cache().slots()),
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
            static_cast<double>(e.solve.block.unsafe_pivots)};
        for (int i = 0; i < INFO; ++i) mxGetPr(outputs[3])[i] = info[i];
      }
    }
  } catch (const std::bad_alloc&) {
    fail(f, FN, "outOfMemory", "out of memory while estimating the marginal likelihood");
  } catch (const std::exception& e) {
    fail(f, FN, "internalError", "unexpected failure: %s", e.what());
  }
  hand_over_outputs(f.failed, nlhs, plhs, outputs, OUTPUTS);
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  host::call_failure failure;
  host::signal_watch watch;
  run(nlhs, plhs, nrhs, prhs, watch, failure);
  host::rethrow_host_signal(watch);
  host::raise_if_failed(failure);
}
