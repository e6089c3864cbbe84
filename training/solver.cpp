// Outer loop of the descent: set-up, block steps until the largest absolute gradient
// entry is within tol (or the work bound, a breakdown or an interrupt ends the run),
// then the objective and evaluation count.
#include "training/solver.h"

#include <chrono>
#include <cmath>
#include <cstdint>

#include "common/kernel_math.h"
#include "common/thread_pool.h"
#include "training/allocation.h"
#include "training/block_schedule.h"
#include "training/block_step.h"
#include "training/block_workspace.h"
#include "training/kernel_cache.h"

namespace krr {

namespace {

bool all_finite(const double* v, int count) {
  for (int i = 0; i < count; ++i) {
    if (!std::isfinite(v[i])) return false;
  }
  return true;
}

}  // namespace

training_result train(const training_problem& problem, const training_options& options,
                      double* alpha, double* grad) {
  training_result result;
  const int n = problem.n;
  const int k = options.k;
  const int m = cache_column_count(options.cache_bytes, n);
  result.cache_columns = m;

  allocation_failure failure;
  kernel_cache cache;
  cache.allocate(n, m, failure);
  auto norms = try_allocate<double>(static_cast<std::uint64_t>(n), false, "the working arrays",
                                    failure);
  auto transposed = try_allocate<double>(static_cast<std::uint64_t>(n) * problem.d, false,
                                         "a feature-major copy of X", failure);
  block_workspace ws;
  ws.allocate(n, k, failure);
  if (failure.failed) {
    result.status = training_status::out_of_memory;
    result.failed_bytes = failure.bytes;
    result.failed_what = failure.what;
    return result;
  }

  block_schedule schedule(effective_threads(options.threads, n, options.min_rows_per_thread),
                          n, k);
  random_source rng = options.rng;

  const auto start = std::chrono::steady_clock::now();
  const int d = problem.d;
  for (int i = 0; i < n; ++i) {
    norms[i] = weighted_sq_norm(problem.X, i, d, problem.w);
    grad[i] = -problem.y[i];
    alpha[i] = 0.0;
  }
  transpose_samples(problem.X, d, n, transposed.get());
  const training_data data{problem.X, transposed.get(), problem.w, norms.get(),
                           problem.ridge, n, d};

  // The first test compares tol + 1 against tol, so every finite tol below 2^53 gets at
  // least one block step, and an infinite or NaN tol gets none. The gradient's largest
  // entry serves both the stopping test and the next step's first member.
  max_abs_result best = max_abs_entry(grad, n);
  double largest = options.tol + 1.0;
  const double step_limit = options.max_passes * n;
  bool broke_down = false;
  while (largest > options.tol) {
    best = block_step(data, k, best.index, grad, result.steps, rng, cache, ws, schedule);
    for (int j = 0; j < k; ++j) alpha[ws.block_index[j]] += ws.block_delta[j];
    result.steps += 1;
    largest = best.value;

    // A non-finite block solution has spread into every gradient entry; no later step
    // can recover from it, so end here rather than run on to the work bound.
    if (!all_finite(ws.block_delta, k)) {
      broke_down = true;
      break;
    }
    if (!(largest > options.tol)) break;
    if (static_cast<double>(result.steps) * k >= step_limit) {
      result.status = training_status::not_converged;
      break;
    }
    if (options.interrupt_pending && options.interrupt_pending(options.interrupt_state)) {
      result.status = training_status::interrupted;
      break;
    }
  }
  result.max_abs_grad = largest;
  result.columns_requested = cache.requests();
  result.columns_computed = cache.misses();
  result.passes = static_cast<double>(result.steps) * k / n;

  result.evals = static_cast<double>(static_cast<std::int64_t>(n) * k) *
                 static_cast<double>(result.steps);
  double objective = 0.0;
  for (int j = 0; j < n; ++j) objective += (grad[j] - problem.y[j]) * (0.5 * alpha[j]);
  result.objective = objective;
  result.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  if (result.status != training_status::interrupted &&
      (broke_down || !all_finite(grad, n) || !all_finite(alpha, n))) {
    result.status = training_status::breakdown;
  }
  return result;
}

}  // namespace krr
