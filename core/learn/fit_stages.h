// What the learner's stages share (fit.cpp, fit_scalable.cpp): the standardised data, the
// parameters and their bounds, the history, the warnings and the first error, the clock,
// the progress sink and the interrupt poll. Internal to the learner.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "core/learn/dense_objective.h"
#include "core/learn/fit.h"
#include "core/learn/lbfgs.h"

namespace krr {
namespace fitting {

struct context {
  const fit_settings& s;
  const fit_environment& env;
  std::int64_t n = 0;
  int d = 0, c = 0;
  std::vector<double> Xs;  // d x n standardised, one observation per column
  std::vector<double> Yc;  // n x c centred
  fit_parameters p;
  kernel_kind kernel = kernel_kind::gaussian;  // the kernel fitted (chosen, for 'auto')
  double memory = 0.0;     // bytes the fit may plan for
  std::chrono::steady_clock::time_point start;
  std::vector<lbfgs_row> history;
  std::vector<fit_message> warnings;
  fit_status status = fit_status::done;
  fit_message error;
  std::array<int, 3> solves_seen{};  // the after_solve seam's calls, by fit_solve_kind
  // The exact stages (each start of a search its own) that ran out of MaxIterations with
  // the largest projected gradient component still above the stages' tolerance: for the
  // iterationLimit warning and the note in Method.
  struct capped_stage {
    std::string stage;  // as messages name it: "(exact, 60 of 400, start 2 of 3)"
    std::string base;   // the stage without its start: "(exact, 60 of 400)"
    double gradient;    // the largest projected gradient component left
  };
  std::vector<capped_stage> capped;

  context(const fit_settings& settings, const fit_environment& environment)
      : s(settings), env(environment), start(std::chrono::steady_clock::now()) {}

  bool failed() const { return status != fit_status::done; }
  // Records the first error; false, for `return ctx.fail(...)`.
  bool fail(fit_status st, const char* code, const std::string& message);
  void warn(const char* code, const std::string& message) { warnings.push_back({code, message}); }
  void say(const std::string& line) const;
  double seconds() const;
  // Whether to stop: an error recorded, or the host asks (then recorded as interrupted).
  bool stop_requested();
  std::vector<int> free_entries() const;  // the free parameters' indices
  std::string label(const std::string& what) const { return env.name + " (" + what + ")"; }
  // A stage as messages name it: its label without the leading "<name> ".
  std::string stage_name(const std::string& label) const;
};

// The poll handed to the core's loops: ctx->stop_requested().
bool poll_stop(void* ctx);

// theta with its free entries set from t (compact over the free entries).
std::vector<double> fill_in(const std::vector<double>& theta, const std::vector<int>& free,
                            const double* t);

// The exact dense objective (value, gradient where asked, alpha, lambda_bound) on the d x m
// observations X and m x c targets Y; an interrupt or failed allocation is recorded in ctx.
dense_objective_result dense_value(context& ctx, const double* X, std::int64_t m,
                                   const double* Y, const std::vector<double>& theta,
                                   bool gradient);

// The optimiser's settings every stage shares: the fit's iteration cap, memory 10, the
// stops on the gradient (1e-5) and on the gain (1e-7), and a step of at most e^2.
lbfgs_options stage_options(const context& ctx, const std::string& label);

// maximise_lbfgs over theta's free entries within their bounds, from theta, with the
// stage's own hooks (profile, value_error) and the fit's progress, clock and interrupt
// poll; its rows are added to the fit's history.
lbfgs_result run_optimiser(context& ctx, const lbfgs_objective& fun, lbfgs_hooks hooks,
                           const lbfgs_options& o, const std::vector<double>& theta,
                           const std::vector<int>& free);

// The observations `rows` (0-based) of the standardised data: X d x m, Y m x c.
void take_rows(const context& ctx, const std::vector<std::int64_t>& rows, std::vector<double>& X,
               std::vector<double>& Y);

// The scalable stage from theta (the subset's optimum) on the stage's observations, its
// check, the final solve and estimate. Writes theta, f, its error, alpha, the threads, the
// final passes and the Method text; false on an error (recorded in ctx).
struct scalable_outcome {
  std::vector<double> theta;
  double f = 0.0, f_error = 0.0;
  std::vector<double> alpha;
  double threads = 0.0;
  std::array<double, 2> final_passes{};
  std::string how;
};
bool scalable_fit(context& ctx, const std::vector<double>& theta_subset,
                  const std::vector<std::int64_t>& subset, scalable_outcome& out);

}  // namespace fitting
}  // namespace krr
