// The exact solution of a block step's system (K + ridge I)_BB * delta = resid_B as members
// join the block. While every pivot is safely positive the bordered inverse update runs
// (block_inverse.h). A pivot below 2^-20 of its diagonal entry is not safe: its rounding
// error, about the unit roundoff times the block's condition number (itself up to about
// 2^20 by then), would no longer be small against it, and on an ill-conditioned but
// solvable system the update then breaks down or diverges. From such a member on, the
// block is solved by a Cholesky factorisation grown one member at a time, which stays
// accurate at any condition number; a member whose Cholesky pivot is below 2^-40 of its
// diagonal entry is numerically dependent on the members before it and is left out of
// the block (its change stays 0). After the last member the solution is checked to lower
// the objective over the block, as an exact minimisation must; one that does not is solved
// again by the factorisation, and failing that replaced by the step along the first
// member alone, which always lowers it.
#pragma once

#include <cstdint>

#include "training/block_workspace.h"

namespace krr {

struct block_solution_stats {
  std::int64_t unsafe_pivots = 0;    // members whose bordered pivot was not safe
  std::int64_t dropped_members = 0;  // members left out as dependent on the others
  std::int64_t failed_checks = 0;    // block solutions that did not lower the objective
  bool zero_diagonal = false;        // a first member with a diagonal entry <= 0: K + ridge I = 0
};

// Member i has joined: ws.new_row[0 ... i] holds its row of the block matrix, its own
// diagonal entry (ridge included) last, and ws.block_rhs[i] its right-hand side. Brings
// ws.block_delta[0 ... i] to the solution for members 0 ... i.
void add_block_member(block_workspace& ws, int i, int k, block_solution_stats& stats);

// After the last of `count` members: makes sure the solution lowers the objective.
void finish_block(block_workspace& ws, int count, int k, block_solution_stats& stats);

}  // namespace krr
