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

#include "core/solve/block_workspace.h"

namespace krr {

struct block_solution_stats {
  std::int64_t unsafe_pivots = 0;    // members whose bordered pivot was not safe
  std::int64_t dropped_members = 0;  // members left out as dependent on the others
  std::int64_t failed_checks = 0;    // block solutions that did not lower the objective
  bool zero_diagonal = false;        // a first member with a diagonal entry <= 0: K + ridge I = 0
};

// A block system solved by a Cholesky factorisation grown member by member, for c
// right-hand sides (member a's at a*c of rhs, forward and delta).
struct factored_block {
  const double* matrix;   // k * k: row a holds the block matrix's row up to the diagonal
  double* factor;         // k * k: row a holds L's row a
  unsigned char* active;  // k: whether member a is kept
  const double* rhs;      // k * c
  double* forward;        // k * c: L^-1 rhs
  double* delta;          // k * c: the solution, 0 at the members left out
  int k, c;
};

// Row a of L from row a of the matrix and the rows before it, and forward[a]; a member
// whose pivot is below 2^-40 of its diagonal entry is left out (its row of L is 0).
void factor_row(const factored_block& block, int a, block_solution_stats& stats);

// delta[0 ... count-1] = L^-T forward, 0 for the members left out.
void solve_factored(const factored_block& block, int count);

// The system of one block step with c right-hand sides, as the solution sees it: the
// caller's storage, member a's c values at a*c of rhs, forward and delta.
struct block_system {
  double* matrix;         // k * k: row a holds the block matrix's row up to the diagonal
  double* inverse;        // k * k: A^-1 while the bordered update runs, L once factored
  double* rhs;            // k * c
  double* forward;        // k * c: L^-1 rhs, once factored
  double* delta;          // k * c: the solution for the members so far
  unsigned char* active;  // k: whether the factorisation kept member a
  double* u;              // k: the bordered update's scratch
  const double* new_row;  // k: the newest member's row of the block matrix
  bool* factored;         // whether this step's block is solved by the factorisation
  int k, c;
};

// Member i has joined: new_row[0 ... i] holds its row of the block matrix, its own
// diagonal entry (ridge included) last, and rhs[i*c ...] its right-hand sides. Brings
// delta[0 ... i] to the solution for members 0 ... i, for every right-hand side.
void add_block_member(const block_system& block, int i, block_solution_stats& stats);

// After the last of `count` members: makes sure the solution lowers the objective of every
// right-hand side.
void finish_block(const block_system& block, int count, block_solution_stats& stats);

// The system of a single right-hand side in the block step's workspace.
block_system single_system(block_workspace& ws, int k);

}  // namespace krr
