// Exact block coordinate descent for several right-hand sides at once:
// (K + ridge I) V = B with c columns sharing every block, so that each member's kernel
// column is computed or fetched once per block and applied to all of them. Each block
// step picks k members (the sample whose gradient is largest against its column's
// tolerance, then the best of 16 random candidates at a time), solves their k x k system
// for every column as core/solve/block_solution.h does for one (bordered inverse updates
// while pivots are safe, a Cholesky factorisation after), and updates the gradient of
// every sample. Success is reported
// only after (K + ridge I) V - B, computed afresh, meets every column's tolerance, as for a
// single right-hand side (core/solve/solver.h). Draws come from a seeded generator of its
// own, so the same inputs and seed give the same bits, whatever the threads.
#pragma once

#include <cstdint>
#include <vector>

#include "core/solve/block_solution.h"
#include "core/solve/kernel_system.h"

namespace krr {

struct multi_options {
  const double* tol = nullptr;  // c tolerances: stop once every |G(r, q)| <= tol[q]
  std::uint64_t seed = 0;
  double max_passes = 1000.0;  // work bound, as for a single right-hand side
};

enum class multi_status {
  converged,              // every column met its tolerance, checked afresh
  not_converged,          // the work bound ended the descent
  tolerance_unreachable,  // the checked gradient is at its rounding floor, above a tolerance
  breakdown,              // values overflowed
  interrupted,
};

struct multi_result {
  multi_status status = multi_status::converged;
  std::int64_t steps = 0;
  double passes = 0.0;  // steps * k / n
  std::int64_t checks = 0, replacements = 0;
  std::vector<double> reachable;  // per column, on tolerance_unreachable: the floor
  block_solution_stats block;
  double largest = 0.0;  // max over rows and columns of |G(r, q)| / tol[q] at the end
};

// Each column's tolerance: relative_tol times its largest magnitude (times 1 for a zero
// column), for B n x c, column-major.
std::vector<double> column_tolerances(const double* B, std::int64_t n, int c, double relative_tol);

// B, V and G are n x c, column-major (column q at q*n), as the host stores them. V holds the starting point (a
// warm start, or zeros) and receives the solution; G receives (K + ridge I) V - B.
multi_result solve_multi(kernel_system& A, const double* B, int c, const multi_options& options,
                         double* V, double* G);

}  // namespace krr
