// Outer loop of the descent: set-up, block steps until the largest absolute gradient
// entry is within tol (or the work bound, a breakdown or an interrupt ends the run),
// then the objective and evaluation count.
#include "training/solver.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>

#include "common/kernel_math.h"
#include "common/thread_pool.h"
#include "training/block_step.h"
#include "training/kernel_cache.h"

namespace krr {

namespace {

// Allocation that reports its size instead of throwing, so a budget the machine cannot
// hold becomes a clear refusal. Contents are left uninitialised unless zeroed: large
// arrays are then mapped lazily, so the cache commits memory only for slots written.
template <typename T>
std::unique_ptr<T[]> try_allocate(std::uint64_t count, bool zero, const char* what,
                                  training_result& result) {
  if (result.status == training_status::out_of_memory) return nullptr;
  const std::uint64_t limit = std::numeric_limits<std::size_t>::max() / sizeof(T);
  T* p = nullptr;
  if (count <= limit) {
    const std::size_t c = static_cast<std::size_t>(count ? count : 1);
    p = zero ? new (std::nothrow) T[c]() : new (std::nothrow) T[c];
  }
  if (!p) {
    result.status = training_status::out_of_memory;
    result.failed_bytes = static_cast<double>(count) * sizeof(T);
    result.failed_what = what;
  }
  return std::unique_ptr<T[]>(p);
}

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
  const std::uint64_t un = static_cast<std::uint64_t>(n);
  const std::uint64_t uk = static_cast<std::uint64_t>(k);
  const int m = cache_column_count(options.cache_bytes, n);
  result.cache_columns = m;

  auto cache_columns = try_allocate<double>(un * static_cast<std::uint64_t>(m), false,
                                            "the kernel column cache", result);
  auto slot_of_sample = try_allocate<int>(un, true, "the cache maps", result);
  auto sample_of_slot = try_allocate<int>(static_cast<std::uint64_t>(m), true,
                                          "the cache maps", result);
  auto norms = try_allocate<double>(un, false, "the working arrays", result);
  auto transposed = try_allocate<double>(un * static_cast<std::uint64_t>(problem.d), false,
                                         "a feature-major copy of X", result);
  auto block_columns = try_allocate<double>(un * uk, false, "the block's kernel columns", result);
  auto block_inverse = try_allocate<double>(uk * uk, false, "the block inverse", result);
  auto small = try_allocate<double>(4 * uk, false, "the working arrays", result);
  auto indices = try_allocate<int>(3 * uk, false, "the working arrays", result);
  auto column_pointers = try_allocate<const double*>(uk, false, "the working arrays", result);
  if (result.status == training_status::out_of_memory) return result;

  const int threads = effective_threads(options.threads, n, options.min_rows_per_thread);
  column_warmup warmup(n, k, threads);
  thread_pool pool(threads, &column_warmup::prefetch_some, &warmup);
  kernel_cache cache{cache_columns.get(), slot_of_sample.get(), sample_of_slot.get(), m, 0, 0};
  block_workspace ws{};
  ws.block_columns = block_columns.get();
  ws.columns = column_pointers.get();
  ws.block_inverse = block_inverse.get();
  ws.block_rhs = small.get();
  ws.new_row = small.get() + k;
  ws.inverse_scratch = small.get() + 2 * k;
  ws.member_offsets = indices.get() + k;
  ws.caller_share = indices.get() + 2 * k;
  ws.warmup = &warmup;
  for (int i = 0; i < k; ++i) ws.caller_share[i] = CANDIDATE_COUNT / pool.size();
  double* block_delta = small.get() + 3 * k;
  int* block_index = indices.get();
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
    best = block_step(data, k, best.index, block_delta, grad, block_index, cache, result.steps,
                      rng, ws, pool);
    for (int j = 0; j < k; ++j) alpha[block_index[j]] += block_delta[j];
    result.steps += 1;
    largest = best.value;

    // A non-finite block solution has spread into every gradient entry; no later step
    // can recover from it, so end here rather than run on to the work bound.
    if (!all_finite(block_delta, k)) {
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
  result.columns_requested = cache.requests;
  result.columns_computed = cache.misses;
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
