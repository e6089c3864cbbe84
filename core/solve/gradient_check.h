// The check before a solve reports success: the gradient (K + ridge I) V - B computed
// afresh from V in one pass over the columns of the samples with a nonzero coefficient
// (cached columns read in place, the others computed), because the gradient the descent
// carries is a running update that drifts from it by rounding. Where the check fails, the
// same sums again with their magnitudes give each row's rounding floor, below which no
// tolerance can be told met.
#pragma once

#include <cstdint>
#include <vector>

#include "core/solve/kernel_operator.h"

namespace krr {

struct gradient_check {
  bool met = false;       // every column within its tolerance (NaN never is)
  bool finite = true;     // no entry is Inf or NaN
  bool at_floor = false;  // on a failed check: every entry within max(tol, its floor)
  std::vector<double> largest;    // per column: max |G(r, q)|, NaN where one is NaN
  std::vector<double> reachable;  // per column, on a failed check: its largest floor
};

// G = (K + ridge I) V - B for the c columns of B and V (n x c, column-major), each row's sum
// over j in increasing order, and the check of every column q against tol[q]. On a failed
// check, `size` (n x c doubles of workspace) receives |B| + sum_j A(r, j) |V(j, q)| and the
// floor of each entry is sqrt(terms) u size, with u the unit roundoff and terms the number
// of summands: the size of the errors of such a sum and of V's own rounding. Where a stop is
// requested, the result is incomplete. In a team (the operator's), B, V, G and size hold
// this rank's rows and the result is the whole team's on every rank.
gradient_check check_gradient(kernel_operator& A, const double* B, int c, const double* V,
                              const double* tol, double* G, double* size);

}  // namespace krr
