// The learner: fits exact kernel ridge regression with the ARD Gaussian kernel
//   k(a, b) = amplitude * exp(-sum_l (a_l - b_l)^2 / (2 l_l^2)),
// or, by the option Kernel, a Matern kernel of the same length scales (1/2, 3/2 or 5/2:
// core/kernel/kernel_kind.h), or the kernel of the highest exact log marginal likelihood
// on the first exact stage ('auto'),
// its hyperparameters (the length scales l, the amplitude and the ridge, the noise variance)
// maximising the log marginal likelihood of the data, and the coefficients alpha solving
// (K + ridge I) alpha = Y - mean(Y) exactly. Several outputs (the c columns of Y) share the
// kernel, the objective summed over them, each centred column divided by its scale (its
// standard deviation over the geometric mean of the columns'), so that no column's units
// decide the shared amplitude, ridge and length scales; alpha is kept in Y's units. The
// stages:
//   n <= DenseLimit  L-BFGS on the exact dense objective (dense_objective.h), from the start
//                    and Restarts seeded perturbations of it, the best kept;
//   larger n         the same on a seeded subset of SubsetSize rows; then either exact
//                    iterations on all n (n <= PolishLimit), or the scalable stage on at
//                    most ScalableSubsetSize rows (estimated slopes and their errors,
//                    marginal_likelihood.h), whose end is kept only where a check finds
//                    its objective no lower than at its start; the final solve by block
//                    coordinate descent on all n (multi_solver.h).
// Everything the .m learner did, in the same order with the same draws and messages; the
// host converts the data and options, prints the progress lines the sink receives and
// raises the warnings and the error returned.
//
// Host-free: no printing (a progress sink receives every line), no global state, no
// exceptions (statuses). Deterministic: the subset, restarts and probes come from Seed
// alone; the dense objective and the solves give the same bits on any thread count.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "core/learn/fit_options.h"
#include "core/learn/lbfgs.h"

namespace krr {

enum class solve_status;  // core/solve/descent.h

// Codes of the learner's warnings and errors: the host makes its identifiers of them
// ("<function>:<code>").
struct fit_message {
  std::string code;     // "startMoved", "notConverged", "iterationLimit", "atBound", ...
  std::string message;  // without the leading "<function>: "
};

enum class fit_status {
  done = 0,
  invalid_input,          // invalidInput: the data or an option refused
  out_of_memory,          // outOfMemory: a dense stage would not fit, or an allocation failed
  not_positive_definite,  // notPositiveDefinite: no ridge within RidgeBounds factorises
  not_converged,          // notConverged: the final solve left no finite Alpha
  not_finite_start,       // notFiniteStart: an exact stage's start is not finite
  interrupted,            // interrupted: the host asked to stop
};

// The model, with the fields (and their meaning) of the learner's model struct. Version 3
// added y_scale; models of versions 1 and 2 have none (every output's scale 1). A model
// records its kernel by name (kernel_name); one without (empty: saved before kernels had a
// choice) is the Gaussian. A Matern model is version 4, so that a package that knows
// only the Gaussian refuses it rather than predicting with the wrong kernel; a Gaussian one
// stays version 3, which every such package reads.
struct fit_model {
  int format_version = 3;
  std::string kernel;                  // the kernel's name; empty: the Gaussian
  // Where the kernel was chosen ('auto'): the first exact stage's log marginal likelihood
  // of each kernel, in the order squaredexponential, matern12, matern32, matern52. Empty
  // where one kernel was asked for.
  std::vector<double> kernel_objectives;
  std::vector<double> length_scales;  // d, in the units of X
  std::vector<double> relevance;      // d: 1 / l^2 in standardised units, the largest 1
  double amplitude = 0.0, ridge = 0.0;  // of the scaled targets (y_scale)
  double log_marginal_likelihood = 0.0;
  double log_marginal_likelihood_error = 0.0;  // 0 exact, NaN not computed
  std::vector<lbfgs_row> history;
  double seconds = 0.0;
  std::string method;                 // how it was fitted
  double threads = 0.0;               // NaN where the fit was exact throughout
  std::array<double, 2> final_passes{};  // NaN where exact throughout
  std::vector<double> alpha;          // n x c, column-major, in the units of Y
  std::vector<double> X;              // d x n, the standardised observations
  std::vector<double> weights;        // d + 1: w = 1 / (2 l^2) standardised, amplitude
  std::vector<double> mu, sigma;      // d
  std::vector<double> y_mean;         // c
  // c: the kernel fits column q of the centred Y divided by y_scale[q] (1 for one output),
  // so column q's prior and noise variances are y_scale[q]^2 times the amplitude and the
  // ridge, and its deviations y_scale[q] times the shared ones. Empty: every scale 1 (a
  // model of version 1 or 2).
  std::vector<double> y_scale;
};

struct fit_result {
  fit_status status = fit_status::done;
  fit_message error;                   // where status is not done
  fit_model model;                     // where status is done
  std::vector<fit_message> warnings;   // in the order raised
};

// One compiled solve of the scalable stage, its final estimate or its final solve, as the
// fit's after_solve seam sees it (each attempt: a retry is a call of its own).
enum class fit_solve_kind {
  stage_evaluation,  // an evaluation of the scalable stage (its slopes, on the stage's rows)
  final_estimate,    // an estimate on all n: the check's paired estimates, the final objective
  final_solve,       // the coefficients on all n
};
struct fit_solve_report {
  fit_solve_kind kind;
  int call = 0;             // 1 for the fit's first solve of this kind, 2 for the next, ...
  double max_passes = 0.0;  // the pass bound the solve was given
  solve_status status{};    // as the solve ended: the seam may replace it
  bool overflow = false;    // set by the seam: the solutions (and an evaluation's slopes)
                            // become NaN, as an overflow leaves them
};

// What the host gives besides data and options.
struct fit_environment {
  // Starts every progress line and stage label: "<name> (exact)", "<name>: done in ...".
  // The core writes whole progress lines, this name included (the optimiser's lines carry
  // the stage label anyway); the messages of warnings and errors leave it out, for the host
  // to prefix as its own errors are ("<name>: <message>", identifier "<name>:<code>").
  std::string name = "krrfit";
  // Receives each progress line, without a newline, only where Verbose is on: the
  // optimiser's iterations, the check, the final solve and the closing "done in" line.
  // Null: none.
  std::function<void(const std::string& line)> progress;
  // Polled on the calling thread between evaluations and inside the long loops; true stops
  // the fit with status interrupted.
  bool (*interrupt_pending)(void*) = nullptr;
  void* interrupt_state = nullptr;
  // Threads of the dense objective and the solves (0: one per processor this process may
  // use). The model does not depend on it, but for Threads, Seconds and the history's times.
  int threads = 0;
  // Bytes the fit may plan for (the memory check, the held-out rows, the solves' caches).
  // NaN: available_memory_bytes().
  double memory_bytes = std::numeric_limits<double>::quiet_NaN();
  // Whether memory_bytes is a limit the user set (KRR_MEMORY_LIMIT): the solves' caches may
  // then fill it, as CacheBytes allows. Where not, and CacheBytes is not given, they take at
  // most a share of it (fit_scalable.cpp, DEFAULT_CACHE_SHARE), so the machine's other
  // programs keep the rest.
  bool memory_limited = false;
  // Seconds since the host's start, for the history and Seconds. Null: since fit began.
  std::function<double()> seconds;
  // A seam for tests of how the fit reads each solve's status (the retry with four times the
  // passes, the rejected points and their warning, the final estimate's and final solve's
  // warnings and error): called after each compiled solve listed in fit_solve_kind, before
  // its status is read, it may replace the status or mark an overflow. The statuses it
  // stands in for come from real solves only on data too large or too badly conditioned for
  // a test. Null (the default): not called, and nothing is counted.
  std::function<void(fit_solve_report& solve)> after_solve;
};

// Fits X (n x d, column-major, one observation per row) to Y (n x c, column-major) under
// the options (set by name: fit_options.h). The options are checked first (read_fit_options,
// then the data, then check_data_options), so a refused value costs nothing.
fit_result fit(const double* X, std::int64_t n, int d, const double* Y, int c,
               const fit_option_set& options, const fit_environment& environment);

// The learner's seeded draws, the same numbers the .m learner drew:
// count uniforms in (0, 1) of a MINSTD generator (multiplier 48271 modulo 2^31 - 1) from
// state s, which is advanced;
std::vector<double> minstd_uniforms(std::uint64_t& state, std::int64_t count);
// the starting state of stream 0 (the subset) or 1 (the restarts) of a seed up to 2^32 - 1;
std::uint64_t seeded_stream(std::uint64_t seed, int stream);
// m of the n rows (0-based, increasing) by a partial Fisher-Yates shuffle of stream 0;
std::vector<std::int64_t> seeded_subset(std::int64_t n, std::int64_t m, std::uint64_t seed);
// count standard normals of stream 1 by the Box-Muller transform.
std::vector<double> seeded_normals(std::int64_t count, std::uint64_t seed);

// The bytes a dense stage of n observations may hold: five n x n doubles.
double dense_stage_bytes(std::int64_t n);

}  // namespace krr
