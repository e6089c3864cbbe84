// Outer loop of the descent: set-up (the kernel frame, the cache, the workspace), block
// steps until the largest absolute gradient entry is within tol and a fresh check of the
// gradient agrees (or the work bound, the rounding floor, a singular system, an overflow
// or an interrupt ends the run), then the objective and evaluation count.
#include "core/exact_arithmetic.h"

#include "core/solve/solver.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>

#include "core/parallel/interruption.h"
#include "core/kernel/kernel_frame.h"
#include "core/kernel/kernel_math.h"
#include "core/parallel/thread_pool.h"
#include "core/parallel/allocation.h"
#include "core/solve/block_schedule.h"
#include "core/solve/block_step.h"
#include "core/solve/block_workspace.h"
#include "core/solve/kernel_cache.h"
#include "core/solve/true_gradient.h"

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
  const int d = problem.d;
  const int k = options.k;
  const std::uint64_t un = static_cast<std::uint64_t>(n);
  int m = cache_column_count(options.cache_bytes, n);
  result.requested_cache_columns = m;
  // Everything but the cache, generously: the norms, the gradient check, copies of X, the
  // block's columns and matrices. The cache takes what is left of 90% of the memory.
  const double column_bytes = 8.0 * n;
  const double usable = 0.9 * options.memory_bytes;
  const double working =
      column_bytes * (4.0 + 2.0 * problem.d + k) + 8.0 * (2.0 * k * k + 70.0 * k);
  if (working + 2 * column_bytes > usable) {
    result.status = training_status::out_of_memory;
    result.failed_bytes = working + 2 * column_bytes;
    result.failed_what = "the working arrays, more than the memory available to this process";
    return result;
  }
  if (working + m * column_bytes > usable) m = static_cast<int>((usable - working) / column_bytes);
  result.cache_columns = m;

  allocation_failure failure;
  kernel_cache cache;
  cache.allocate(n, m, failure);
  auto norms = try_allocate<double>(un, false, "the working arrays", failure);
  auto transposed = try_allocate<double>(un * d, false, "a feature-major copy of X", failure);
  block_workspace ws;
  ws.allocate(n, k, failure);
  // The gradient check: the checked gradient and the size of each row's sum; it computes
  // the columns it needs into the block's own.
  auto checked = try_allocate<double>(2 * un, false, "the gradient check", failure);
  kernel_frame frame;
  std::unique_ptr<double[]> centred;
  if (!failure.failed) {
    frame = choose_kernel_frame(problem.X, d, n, problem.w);
    if (frame.form == kernel_form::centred) {
      centred = try_allocate<double>(un * d, false, "a translated copy of X", failure);
    }
  }
  if (failure.failed) {
    result.status = training_status::out_of_memory;
    result.failed_bytes = failure.bytes;
    result.failed_what = failure.what;
    return result;
  }
  result.form = frame.form;

  interruption stop(options.interrupt_pending, options.interrupt_state);
  block_schedule schedule(effective_threads(options.threads, n, options.min_rows_per_thread),
                          n, k, &stop);
  random_source rng = options.rng;

  const auto start = std::chrono::steady_clock::now();
  const double* X = problem.X;
  if (centred) {
    for (int i = 0; i < n; ++i) {
      centre_sample(frame, problem.X + static_cast<std::int64_t>(i) * d, d, problem.w,
                    centred.get() + static_cast<std::int64_t>(i) * d);
    }
    X = centred.get();
  }
  for (int i = 0; i < n; ++i) {
    norms[i] = weighted_sq_norm(X, i, d, problem.w);
    grad[i] = -problem.y[i];
    alpha[i] = 0.0;
  }
  transpose_samples(X, d, n, transposed.get());
  training_data data{X, transposed.get(), problem.w, norms.get(), problem.ridge, n, d};
  data.by_differences = frame.form == kernel_form::differences;

  // The first test compares tol + 1 against tol, so every finite tol below 2^53 gets at
  // least one block step, and an infinite, NaN or larger tol gets none. The gradient's
  // largest entry serves both the stopping test and the next step's first member.
  max_abs_result best = max_abs_entry(grad, n);
  double largest = options.tol + 1.0;
  const double work_limit = options.max_passes * n;
  bool broke_down = false;
  while (largest > options.tol) {
    best = block_step(data, k, best.index, grad, result.steps, rng, cache, ws, schedule,
                      result.block);
    if (stop.stopped()) {  // the step was cut short; nothing of it counts
      result.status = training_status::interrupted;
      break;
    }
    for (int j = 0; j < k; ++j) alpha[ws.block_index[j]] += ws.block_delta[j];
    result.steps += 1;
    largest = best.value;

    // A non-finite block solution (only overflow makes one) has spread into every
    // gradient entry; no later step can recover from it.
    if (!all_finite(ws.block_delta, k)) {
      broke_down = true;
      break;
    }
    if (!(largest > options.tol)) {
      // The running gradient says the tolerance is met: check it afresh. When it holds,
      // the outputs are the running ones. Otherwise the descent goes on from the checked
      // gradient, unless that is already at its rounding floor.
      double* check_grad = checked.get();
      const auto check_start = std::chrono::steady_clock::now();
      const gradient_check check = check_gradient(data, problem.y, alpha, cache, schedule,
                                                  options.tol, ws.block_columns, k, check_grad,
                                                  check_grad + n);
      result.gradient_checks += 1;
      result.check_seconds +=
          std::chrono::duration<double>(std::chrono::steady_clock::now() - check_start).count();
      if (stop.stopped()) {
        result.status = training_status::interrupted;
        break;
      }
      if (check.largest <= options.tol) break;
      if (!std::isfinite(check.largest)) {
        broke_down = true;
        break;
      }
      std::copy(check_grad, check_grad + n, grad);
      best = max_abs_entry(grad, n);
      largest = best.value;
      if (check.at_floor) {
        result.status = training_status::tolerance_unreachable;
        result.reachable_tol = check.reachable;
        break;
      }
      result.residual_replacements += 1;
    }
    if (result.block.zero_diagonal) {
      result.status = training_status::singular;
      break;
    }
    const double work = static_cast<double>(result.steps) * k +
                        static_cast<double>(result.residual_replacements) * n;
    if (work >= work_limit) {
      result.status = training_status::not_converged;
      break;
    }
    if (stop.requested()) {
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
