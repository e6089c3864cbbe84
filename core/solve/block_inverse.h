// Extends the inverse of a symmetric block system by one bordering row and column
// (Schur complement of the new diagonal entry), together with the block solution.
#pragma once

namespace krr {

// block_inverse: k*k, entry (r, c) at r*k + c; on entry its leading a x a part is A^-1,
// on exit its leading (a+1) x (a+1) part is the inverse of [A, b; b', gamma].
// block_delta: entries 0 ... a-1 hold A^-1 * rhs on entry, 0 ... a the new solution on exit.
// new_row: b (a entries) then gamma. block_rhs: a+1 entries. u: scratch of at least a doubles.
// No pivot is tested: a zero Schur complement yields infinities.
void grow_block_inverse(double* block_inverse, double* block_delta, const double* new_row,
                        const double* block_rhs, int a, int k, double* u);

// The same update in parts, so that the caller can judge the pivot before using it and
// update several solutions. bordered_pivot writes u = A^-1 b and returns the Schur
// complement gamma - b'u; update_bordered_inverse and, for each right-hand side,
// update_bordered_solution then do the rest with q = 1 / pivot. Together they perform
// exactly the operations of grow_block_inverse. In update_bordered_solution, entry j of
// delta and rhs is at j*stride.
double bordered_pivot(const double* block_inverse, const double* new_row, int a, int k,
                      double* u);
void update_bordered_inverse(double* block_inverse, int a, int k, const double* u, double q);
void update_bordered_solution(double* delta, const double* rhs, int stride, int a,
                              const double* u, double q);

}  // namespace krr
