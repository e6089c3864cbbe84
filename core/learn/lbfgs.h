// The learner's optimiser: maximises f over the box lo <= x <= hi by limited-memory BFGS
// on -f, the direction projected onto the box; the same algorithm, step for step, as the
// Octave optimiser (krr_lbfgs.m) it replaced.
//
//   projected gradient  pg_i = 0 where x_i <= lo_i and g_i < 0, or x_i >= hi_i and g_i > 0;
//                       else g_i
//   direction           d = H pg on the free coordinates (pg_i != 0), H from the last
//                       `memory` pairs (s, y), s = x+ - x, y = g - g+ (the gradient of -f),
//                       by the two-loop recursion with H0 = (s'y / y'y) I; a pair is kept
//                       only where s'y > 1e-12 s's. Where d'pg <= 0 the pairs are dropped
//                       and d = pg.
//   first step          t = min(1, max_step / |d|_inf), and with no pairs at most 1 / |d|_inf
//   value search        x(t) = clip(x + t d); accept once f(x(t)) >= f + 1e-4 t d'g, else
//                       halve t (value_backtracks tries; none: no move); but after a failed
//                       trial none once t d'g <= 2 e, e the rounding error of f
//                       (hooks.value_error): near a maximum f is concave along d, so the
//                       step cannot raise f by more than t d'g, which two values with errors
//                       e cannot tell from no rise; the search then leaves x where it is and
//                       the run ends (no_rise)
//   slope search        for a value that is NaN (not computed) or estimated: accept once
//                       |d'g(x(t))| <= 0.9 d'g (strong Wolfe curvature); bisect where the
//                       slope turned negative, double (never past max_step / |d|_inf) while
//                       nothing overshot; after 6 trials the point of least nonnegative
//                       slope, else the last usable one, else no move
//
// With errors e on the derivatives (an estimated gradient), the search follows
// sign(g_i) max(|g_i| - 1.5 e_i, 0), so that a derivative within its noise moves nothing, and
// stops, settled, once every projected derivative is within 2 e_i. The pairs' y then uses
// the derivatives as given, which change smoothly with x.
//
// A point is usable where its gradient is finite and its value finite (or NaN in the slope
// search); a trial point that is not usable is a failed trial. A start that is not usable is
// an error (lbfgs_status::not_finite_start), as is an options struct that check_lbfgs_options
// rejects or bounds that are NaN or crossed. Errors are status codes; nothing is thrown
// by this file's code.
//
// Host-free: the objective, the progress sink, the profile, the clock and the interrupt
// poll come in as parameters. Deterministic: no randomness, and the clock reaches nothing
// but the history's seconds column.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <vector>

namespace krr {

struct lbfgs_options {
  int max_iterations = 100;
  int memory = 10;                  // the pairs (s, y) kept
  double gradient_tolerance = 1e-5; // stop once the largest projected derivative is within
  // Stop once f - f_3 <= value_tolerance (1 + |f_3|), f_3 the value three iterations before
  // (value search only: an estimated value does not settle).
  double value_tolerance = 1e-7;
  double max_step = 2.0;            // the largest move of one coordinate in one iteration
  bool slopes = false;              // the slope search, for a value not computed (NaN)
  bool errors = false;              // the objective gives each derivative's standard error
  // Halvings the value search tries before it leaves the point where it is (which stops
  // the run). The .m's 30 is the default; hooks.value_error ends the search sooner where
  // the step's possible rise falls within the rounding of f.
  int value_backtracks = 30;
  std::string label;                // starts each progress line
};

// "" where the options can be used; else a message that names the field at fault.
std::string check_lbfgs_options(const lbfgs_options& options);

// f at x (n entries), with the gradient written to gradient (n); errors (n) is null unless
// options.errors, and then receives each derivative's standard error. The value may be NaN
// where it is not computed (slope search only).
using lbfgs_objective =
    std::function<double(const double* x, double* gradient, double* errors)>;

// One row per iteration (the start's row first): [row number in the whole history, f,
// largest projected derivative (as the objective gave it), seconds from the clock, the four
// running totals from the profile (NaN without one), the largest ratio of a projected
// derivative to its error (those at a bound not counted; 0 where none is left; NaN without
// errors)].
using lbfgs_row = std::array<double, 9>;

struct lbfgs_hooks {
  // Receives each row as it is recorded, and the progress line the .m prints for it (no
  // newline), for a host that prints while the run goes on. Null: nothing is told.
  std::function<void(const lbfgs_row& row, const std::string& line)> progress;
  // The stage's running totals: evaluations, passes over K, seconds computing kernel
  // columns, seconds in compiled calls (NaN where one is not kept). Null: all NaN.
  std::function<std::array<double, 4>()> profile;
  // Seconds since the host's start, for the history alone. Null: since this call began,
  // from std::chrono::steady_clock.
  std::function<double()> seconds;
  // Polled on the calling thread before every evaluation of the objective; returning true
  // ends the run with status interrupted at the last accepted point (the trial under way
  // is not evaluated).
  bool (*interrupt_pending)(void* state) = nullptr;
  void* interrupt_state = nullptr;
  // The rounding error of the value the objective returned last (absolute; NaN or below 0
  // taken as 0), read after each evaluation: the value search makes no trial whose rise
  // could not be told from the errors of two values (see the value search above). Null:
  // values taken as exact, and the search halves value_backtracks times.
  std::function<double()> value_error;
};

enum class lbfgs_status {
  gradient_small = 0,      // every projected derivative within gradient_tolerance
  within_errors = 1,       // errors: every projected derivative within twice its error
  no_move = 2,             // the line search found no step to take
  value_settled = 3,       // three iterations rose less than value_tolerance
  iteration_limit = 4,     // max_iterations done
  interrupted = 5,         // the host asked to stop
  not_finite_start = 6,    // the start is not usable: nothing else holds but x
  invalid_arguments = 7,   // options or bounds rejected (message): nothing else holds
  no_rise = 8,             // value search: no step could raise f beyond its rounding error
};

struct lbfgs_result {
  lbfgs_status status = lbfgs_status::invalid_arguments;
  std::string message;       // on invalid_arguments
  std::vector<double> x;     // the last accepted point (on not_finite_start: the start)
  double f = 0.0;
  // The gradient as the search followed it: with errors, each derivative shrunk by 1.5
  // times its error towards 0.
  std::vector<double> gradient;
  // With errors: the derivatives as the objective gave them, and their errors; else empty.
  std::vector<double> raw_gradient;
  std::vector<double> errors;
  bool settled = false;      // errors only: every projected derivative within twice its error
  int iterations = 0;        // iterations that ran a line search
  int evaluations = 0;       // calls of the objective
};

// Maximises fun over lo <= x <= hi from x0 (clipped into the box), n coordinates; bounds may
// be infinite. history: rows of earlier stages to continue (row numbers go on from its
// size); this run's rows are appended.
lbfgs_result maximise_lbfgs(const lbfgs_objective& fun, const double* x0, const double* lo,
                            const double* hi, int n, const lbfgs_options& options,
                            const lbfgs_hooks& hooks, std::vector<lbfgs_row>& history);

// The progress line of a row, as the learner has always printed it (NaN and Inf spelt so,
// a %d of a fraction as %g). previous: this run's row before it, null for its first row.
std::string lbfgs_progress_line(const std::string& label, const lbfgs_row& row,
                                const lbfgs_row* previous);

}  // namespace krr
