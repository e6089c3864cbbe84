// The training solve (train.h): the operator, the described block steps as the descent's
// method, then the objective and evaluation count.
#include "core/exact_arithmetic.h"

#include "core/solve/train.h"

#include <chrono>
#include <cstdint>

#include "core/kernel/kernel_math.h"
#include "core/solve/block_step.h"
#include "core/solve/block_workspace.h"
#include "core/solve/kernel_operator.h"

namespace krr {

namespace {

// The described block step on alpha and grad, with the gradient's largest absolute entry
// as the score (max_abs_entry: ties keep the lower index).
class single_method : public block_step_method {
 public:
  single_method(kernel_operator& A, block_workspace& ws, random_source rng, double* alpha,
                double* grad)
      : block_step_method(A, 1, ws.block_index, ws.block_delta, alpha), ws_(ws), rng_(rng),
        grad_(grad) {}

  max_abs_result best() const override {
    return team_max_abs(A_.team(), grad_, max_abs_part(grad_, 0, A_.rows()));
  }

 protected:
  max_abs_result run(int first, std::int64_t t, block_solution_stats& stats) override {
    return block_step(A_.data(), A_.k(), first, grad_, t, rng_, A_.cache(), ws_, A_.schedule(),
                      stats, A_.team());
  }

 private:
  block_workspace& ws_;
  random_source rng_;
  double* grad_;
};

}  // namespace

training_result train(const training_problem& problem, const training_options& options,
                      double* alpha, double* grad) {
  training_result result;
  const int n = problem.n, k = options.k;
  const std::int64_t rows = options.team ? options.team->rows() : n;
  operator_setup setup{problem.X, n, problem.d, problem.w, problem.ridge, k, options.cache_bytes};
  setup.memory_bytes = options.memory_bytes;
  setup.other_bytes = descent_bytes(rows, 1) + block_workspace::bytes(k);
  setup.threads = options.threads;
  setup.min_rows_per_thread = options.min_rows_per_thread;
  setup.interrupt_pending = options.interrupt_pending;
  setup.interrupt_state = options.interrupt_state;
  setup.team = options.team;
  kernel_operator A;
  block_workspace ws;
  allocation_failure failure;
  if (A.prepare(setup, failure)) {
    ws.allocate(k, A.scratch(), failure);
    if (!A.team().all(!failure.failed) && !failure.failed) {
      failure = {true, 0.0, "the arrays of another process of the job"};
    }
  } else if (!failure.failed) {
    failure = {true, 0.0, "the arrays of another process of the job"};
  }
  result.requested_cache_columns = A.requested_cache_columns();
  result.cache_columns = A.cache().slots();
  if (failure.failed) {
    result.status = solve_status::out_of_memory;
    result.failed_bytes = failure.bytes;
    result.failed_what = failure.what;
    return result;
  }
  result.form = A.form();

  const auto start = std::chrono::steady_clock::now();
  for (std::int64_t i = 0; i < rows; ++i) {
    grad[i] = -problem.y[i];
    alpha[i] = 0.0;
  }
  single_method method(A, ws, options.rng, alpha, grad);
  // The first test compares tol + 1 against tol, so every finite tol below 2^53 gets at
  // least one block step, and an infinite, NaN or larger tol gets none. When the check
  // passes, grad stays the running gradient: the described order's bits.
  const descent_settings settings{options.tol, true, true, options.max_passes};
  const descent_result d = descend(A, method, {problem.y, 1, alpha, grad, &options.tol}, settings);
  result.status = d.status;
  result.steps = d.steps;
  result.passes = d.passes;
  result.max_abs_grad = d.score;
  result.gradient_checks = d.checks;
  result.residual_replacements = d.replacements;
  result.check_seconds = d.check_seconds;
  result.reachable_tol = d.reachable.empty() ? 0.0 : d.reachable[0];
  result.block = d.block;
  result.columns_requested = A.cache().requests();
  result.columns_computed = A.cache().misses();
  if (d.status == solve_status::out_of_memory) {
    result.failed_bytes = descent_bytes(rows, 1);
    result.failed_what = "the gradient check";
  }

  result.evals = static_cast<double>(static_cast<std::int64_t>(n) * k) *
                 static_cast<double>(result.steps);
  // Summed over the rows in order, through the ranks of a team in turn.
  result.objective = A.team().in_row_order(0.0, [&](double objective) {
    for (std::int64_t j = 0; j < rows; ++j) objective += (grad[j] - problem.y[j]) * (0.5 * alpha[j]);
    return objective;
  });
  result.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return result;
}

}  // namespace krr
