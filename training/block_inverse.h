// Extends the inverse of a symmetric block system by one bordering row and column
// (Schur complement of the new diagonal entry), together with the block solution.
#pragma once

namespace krr {

// block_inverse: k*k, entry (r, c) at r*k + c; on entry its leading a x a part is A^-1,
// on exit its leading (a+1) x (a+1) part is the inverse of [A, b; b', gamma].
// block_delta: entries 0 ... a-1 hold A^-1 * rhs on entry, 0 ... a the new solution on exit.
// new_row: b (a entries) then gamma. block_rhs: a+1 entries. u: scratch of at least a doubles.
// No pivot is tested: a zero Schur complement yields infinities, which the caller detects.
void grow_block_inverse(double* block_inverse, double* block_delta, const double* new_row,
                        const double* block_rhs, int a, int k, double* u);

}  // namespace krr
