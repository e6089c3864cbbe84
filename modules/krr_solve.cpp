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
//             left out, seconds]; status 0 converged, 1 work bound, 2 tolerance below the
//             rounding floor, 3 overflow
// Ctrl-C and memory as for tarvel. Refusals carry the identifier krr_solve:invalidInput.
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
#include "mex.h"
#include "core/solve/kernel_system.h"
#include "core/solve/multi_solver.h"

namespace {

constexpr const char* FN = "krr_solve";
constexpr int OUTPUTS = 3;
const host::setting_rule RULES[] = {{"relative_tol", 1e-300, 1e300, false},
                                    {"k", 1, 2147483647, true},
                                    {"cache_bytes", 0, std::numeric_limits<double>::infinity(), false},
                                    {"seed", 0, 9007199254740992.0, true},
                                    {"max_passes", 0, 1e12, false}};

void run(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[], host::signal_watch& watch,
         host::call_failure& f) {
  using namespace host;
  if (!check_input_count(nrhs, 6, FN, f) || !check_output_count(nlhs, OUTPUTS, FN, f)) return;
  std::size_t d = 0, n = 0;
  double ridge = 0, settings[5];
  if (!check_samples_and_weights(prhs[0], prhs[2], FN, d, n, f) ||
      !check_finite_matrix(prhs[1], n, "column of X", FN, "B", f) ||
      !read_real_scalar(prhs[3], FN, "ridge", &ridge, f) ||
      !read_settings(prhs[4], RULES, 5, FN, settings, f)) {
    return;
  }
  if (!std::isfinite(ridge) || ridge < 0.0) {
    char shown[32];
    fail(f, FN, "invalidInput", "ridge must be finite and nonnegative, got %s", show(ridge, shown));
    return;
  }
  const std::size_t c = mxGetN(prhs[1]);
  const bool warm = mxGetNumberOfElements(prhs[5]) != 0;
  if (warm && !check_finite_matrix(prhs[5], n, "column of X", FN, "V0", f)) return;
  if (warm && mxGetN(prhs[5]) != c) {
    fail(f, FN, "invalidInput", "V0 must have as many columns as B (%zu), got %zu", c,
         static_cast<std::size_t>(mxGetN(prhs[5])));
    return;
  }
  if (settings[1] > static_cast<double>(n)) {
    fail(f, FN, "invalidInput", "setting 2 (k) must be at most n = %zu", n);
    return;
  }
  const int threads = requested_threads(FN);
  const double memory = usable_memory(FN);

  mxArray* outputs[OUTPUTS] = {mxCreateDoubleMatrix(n, c, mxREAL), mxCreateDoubleMatrix(n, c, mxREAL),
                               mxCreateDoubleMatrix(1, 8, mxREAL)};
  const auto start = std::chrono::steady_clock::now();
  try {
    // The core takes the host's column-major arrays as they are and solves into the outputs.
    const double* b = mxGetPr(prhs[1]);
    double* V = mxGetPr(outputs[0]);
    if (warm) std::copy(mxGetPr(prhs[5]), mxGetPr(prhs[5]) + n * c, V);
    const std::vector<double> tol =
        krr::column_tolerances(b, static_cast<std::int64_t>(n), static_cast<int>(c), settings[0]);
    krr::kernel_system_setup setup{mxGetPr(prhs[0]), static_cast<int>(n), static_cast<int>(d),
                                   mxGetPr(prhs[2]), ridge, static_cast<int>(settings[1]),
                                   settings[2]};
    setup.memory_bytes = memory;
    setup.other_bytes = 8.0 * n * c * 4;  // the targets, the outputs, the solver's check
    setup.threads = threads;
    setup.interrupt_pending = &signal_pending;
    setup.interrupt_state = &watch;
    krr::kernel_system A;
    krr::allocation_failure failure;
    if (!A.prepare(setup, failure)) {
      fail(f, FN, "outOfMemory", "could not allocate %.0f bytes for %s", failure.bytes, failure.what);
    } else {
      krr::multi_options options;
      options.tol = tol.data();
      options.seed = static_cast<std::uint64_t>(settings[3]);
      options.max_passes = settings[4];
      const krr::multi_result r = krr::solve_multi(A, b, static_cast<int>(c), options, V,
                                                    mxGetPr(outputs[1]));
      if (r.status == krr::multi_status::interrupted) {
        fail(f, FN, "interrupted", "interrupted by the user");
      } else {
        const double info[8] = {
            static_cast<double>(r.status), static_cast<double>(r.steps), r.passes,
            static_cast<double>(r.checks), static_cast<double>(r.replacements),
            static_cast<double>(A.cache().slots()), static_cast<double>(r.block.dropped_members),
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()};
        for (int i = 0; i < 8; ++i) mxGetPr(outputs[2])[i] = info[i];
      }
    }
  } catch (const std::bad_alloc&) {
    fail(f, FN, "outOfMemory", "out of memory while solving");
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
