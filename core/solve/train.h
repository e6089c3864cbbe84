// The training solve of one right-hand side: exact block coordinate descent on
// f(alpha) = 1/2 alpha'(K + ridge I) alpha - y' alpha through the kernel column cache, in the
// described order (each block's first member the sample of largest gradient, then the best
// of 60 candidates drawn from the injected random source), on the shared operator
// (kernel_operator.h) and outer loop (descent.h). Host-free: randomness and interrupt
// polling come in as parameters.
#pragma once

#include <cstdint>
#include <limits>

#include "core/kernel/kernel_frame.h"
#include "core/parallel/row_team.h"
#include "core/solve/block_solution.h"
#include "core/solve/descent.h"
#include "core/solve/random_source.h"

namespace krr {

// Where a team shares the rows (options.team), X, y, alpha and grad hold this rank's rows
// of the n: the solve runs on every rank alike and gives each its rows of the one process's
// results, bit for bit, and every rank the same result record.
struct training_problem {
  const double* X;  // d x n, one sample per column
  const double* y;  // n targets
  const double* w;  // d + 1 weights, w[d] the amplitude
  double ridge;
  int n;  // at least 1
  int d;  // at least 0
};

struct training_options {
  double tol;
  int k;  // block size, 1 ... n
  double cache_bytes;
  random_source rng;
  // Polled on the calling thread only, between block steps and between pieces of the long
  // loops inside them (members, runs of rows); returning true stops the run within
  // milliseconds with status interrupted, whatever n and k.
  bool (*interrupt_pending)(void* state) = nullptr;
  void* interrupt_state = nullptr;
  // Work bound: the run stops unconverged once steps * k, plus n for every gradient check
  // that failed, reaches max_passes * n.
  double max_passes = 1000.0;
  // The memory this call may plan for, and the threads: as for the operator
  // (kernel_operator.h). Results depend on neither.
  double memory_bytes = std::numeric_limits<double>::infinity();
  int threads = 0;
  std::int64_t min_rows_per_thread = 2048;
  // The processes sharing the rows (core/parallel/row_team.h); null: all are here.
  row_team* team = nullptr;
};

struct training_result {
  solve_status status = solve_status::converged;
  double evals = 0.0;      // (n*k) * steps, nominal kernel evaluations
  double objective = 0.0;  // 1/2 sum alpha_j (grad_j - y_j)
  double seconds = 0.0;    // elapsed wall-clock time
  std::int64_t steps = 0;  // block steps done
  double passes = 0.0;     // steps * k / n: block steps in units of passes over the data
  double max_abs_grad = 0.0;
  int cache_columns = 0;
  int requested_cache_columns = 0;  // what cache_bytes asked for, before the memory cap
  std::int64_t columns_requested = 0;  // member columns asked of the cache
  std::int64_t columns_computed = 0;   // of those, the ones not found there
  kernel_form form = kernel_form::plain;  // how kernel values were formed
  // Gradient checks before reporting success, and those that failed and replaced the
  // running gradient by the checked one.
  std::int64_t gradient_checks = 0;
  std::int64_t residual_replacements = 0;
  double check_seconds = 0.0;  // wall-clock time of the checks, within `seconds`
  double reachable_tol = 0.0;  // on tolerance_unreachable: the smallest tol that can be told met
  block_solution_stats block;  // pivots too small for the bordered update, members left out
  // On out_of_memory: the bytes asked for and what they were for.
  double failed_bytes = 0.0;
  const char* failed_what = nullptr;
};

// Writes n coefficients to alpha and the final gradient (K + ridge I) alpha - y to grad.
training_result train(const training_problem& problem, const training_options& options,
                      double* alpha, double* grad);

}  // namespace krr
