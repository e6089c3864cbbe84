// Exact block coordinate descent for several right-hand sides at once:
// (K + ridge I) V = B with c columns sharing every block, so that each member's kernel
// column is computed or fetched once per block and applied to all of them. Each block
// step picks k members (the sample whose gradient is largest against its column's
// tolerance, then the best of 16 random candidates at a time), solves their k x k system
// for every column as core/solve/block_solution.h does for one (bordered inverse updates
// while pivots are safe, a Cholesky factorisation after), and updates the gradient of
// every sample. Success is reported only after (K + ridge I) V - B, computed afresh, meets
// every column's tolerance: the outer loop and its endings are those of the single
// right-hand side (descent.h). Draws come from a seeded generator of its own, so the same
// inputs and seed give the same bits, whatever the threads.
#pragma once

#include <cstdint>
#include <vector>

#include "core/solve/descent.h"
#include "core/solve/kernel_operator.h"

namespace krr {

struct multi_options {
  const double* tol = nullptr;  // c tolerances: stop once every |G(r, q)| <= tol[q]
  std::uint64_t seed = 0;
  double max_passes = 1000.0;  // work bound, as for a single right-hand side
};

// Each column's tolerance: relative_tol times its largest magnitude (times 1 for a zero
// column), for B n x c, column-major.
std::vector<double> column_tolerances(const double* B, std::int64_t n, int c, double relative_tol);

// Bytes solve_multi allocates for n x c right-hand sides, blocks of k and d features.
double multi_solver_bytes(std::int64_t n, int k, int c, int d);

// B, V and G are n x c, column-major (column q at q*n), as the host stores them. V holds the
// starting point (a warm start, or zeros) and receives the solution; G receives
// (K + ridge I) V - B. The result's score is the largest |G(r, q)| / tol[q] at the end.
descent_result solve_multi(kernel_operator& A, const double* B, int c, const multi_options& options,
                           double* V, double* G);

}  // namespace krr
