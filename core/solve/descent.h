// The outer loop of exact block coordinate descent on (K + ridge I) V = B, shared by the
// solve of one right-hand side (train.h) and of several at once (multi_solver.h): block
// steps until the gradient's score is within its limit and a fresh check of the gradient
// agrees, and one rule for every other ending:
//   a fresh check that fails goes on from the checked gradient (residual replacement),
//     unless that is already at its rounding floor (tolerance_unreachable);
//   a block step whose solution is not finite, a check or a result that is not finite:
//     breakdown (only overflow makes one with finite inputs);
//   a block whose first member has a zero diagonal entry: K + ridge I = 0, singular;
//   block steps worth max_passes passes over the data (a failed check counting as one):
//     not_converged;
//   a stop requested on the calling thread: interrupted, the step under way not counted.
// How the blocks are chosen and solved is the method's (block_method).
#pragma once

#include <cstdint>
#include <vector>

#include "core/kernel/kernel_math.h"
#include "core/solve/block_solution.h"
#include "core/solve/gradient_check.h"
#include "core/solve/kernel_operator.h"

namespace krr {

// The value of each status is what the internal modules report.
enum class solve_status {
  converged = 0,              // every tolerance met and checked (or no step was asked for)
  not_converged = 1,          // stopped by the work bound with a tolerance unmet
  tolerance_unreachable = 2,  // the checked gradient is at its rounding floor, above a tol
  breakdown = 3,              // values overflowed: the solution or gradient is not finite
  singular = 4,               // K + ridge I is zero: no step can change anything
  interrupted = 5,            // a stop was requested
  out_of_memory = 6,          // an allocation failed; nothing was computed
};

// Block steps of one kind over the descent's gradient G and solution V.
class block_method {
 public:
  virtual ~block_method() = default;
  // One block step of step number t from the row `first`: its changes added into V and G
  // updated (nothing added where a stop cut the step short). Returns the new gradient's row
  // of largest score.
  virtual max_abs_result step(int first, std::int64_t t, block_solution_stats& stats) = 0;
  // Whether the last step's changes are all finite.
  virtual bool step_finite() const = 0;
  // The row of largest score of G as it is now.
  virtual max_abs_result best() const = 0;
};

// A block step as the method, for c outputs solved together: after each step that no stop
// cut short, member j's changes delta[j*c + q] are added into V (n x c, column-major) at the
// member's row members[j], member by member. The step itself (run) and the best row are
// the derived class's.
class block_step_method : public block_method {
 public:
  // members (k) and delta (k x c) are where the step leaves its block and solution.
  block_step_method(kernel_operator& A, int c, const int* members, const double* delta, double* V)
      : A_(A), c_(c), members_(members), delta_(delta), V_(V) {}
  max_abs_result step(int first, std::int64_t t, block_solution_stats& stats) final;
  bool step_finite() const final;

 protected:
  // One block step, its gradient updated and its block and solution left at members and delta.
  virtual max_abs_result run(int first, std::int64_t t, block_solution_stats& stats) = 0;
  kernel_operator& A_;

 private:
  int c_;
  const int* members_;
  const double* delta_;
  double* V_;
};

struct descent_problem {
  const double* B;    // n x c right-hand sides, column-major
  int c;
  double* V;          // n x c: the starting point, then the solution
  double* G;          // n x c: (K + ridge I) V - B on entry, then at the end
  const double* tol;  // c tolerances on |G(r, q)|
};

struct descent_settings {
  double score_limit;          // steps go on while the method's best score exceeds it
  bool at_least_one_step;      // the first test compares score_limit + 1 against it
  bool keep_running_gradient;  // on a passed check, G stays the running one (its bits)
  double max_passes = 1000.0;  // work bound, in passes over the data
};

struct descent_result {
  solve_status status = solve_status::converged;
  std::int64_t steps = 0;
  double passes = 0.0;  // steps * k / n
  std::int64_t checks = 0, replacements = 0;
  std::int64_t warm_passes = 0;   // conjugate gradients: the pass for a start's residual
  double check_seconds = 0.0;     // wall-clock time of the checks
  double score = 0.0;             // the best score at the end
  std::vector<double> reachable;  // per column, on tolerance_unreachable: the floor
  bool stagnated = false;         // conjugate gradients: unreachable as their rounds stopped
                                  // lowering the checked residual, not at the check's floor
  block_solution_stats block;
  double failed_bytes = 0.0;      // on out_of_memory: the request that failed
};

// Arrays the descent allocates for n x c right-hand sides (the check's two), in bytes.
double descent_bytes(std::int64_t n, int c);

// What a fresh check of the gradient means for a solve, the endings the descent and
// conjugate gradients (preconditioned_cg.h) share, tested in this order:
//   ended: a stop was requested (status interrupted), or the checked gradient is not
//     finite (status breakdown);
//   met: every tolerance is met, the solve is done;
//   unreachable: the checked gradient is at its rounding floor above a tolerance (status
//     tolerance_unreachable, the floors in result.reachable);
//   replace: the solve goes on from the checked gradient.
enum class check_outcome { ended, met, unreachable, replace };
check_outcome after_check(const gradient_check& check, interruption& stop, descent_result& result);

descent_result descend(kernel_operator& A, block_method& method, const descent_problem& problem,
                       const descent_settings& settings);

}  // namespace krr
