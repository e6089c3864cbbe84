// Allocation of a block step's scratch, sliced from a few arrays.
#include "core/exact_arithmetic.h"

#include "core/solve/block_workspace.h"

namespace krr {

bool block_workspace::allocate(std::int64_t n, int k, allocation_failure& failure) {
  const std::uint64_t un = static_cast<std::uint64_t>(n);
  const std::uint64_t uk = static_cast<std::uint64_t>(k);
  columns_storage_ = try_allocate<double>(un * uk, false, "the block's kernel columns", failure);
  inverse_storage_ = try_allocate<double>(uk * uk, false, "the block inverse", failure);
  matrix_storage_ = try_allocate<double>(uk * uk, false, "the block matrix", failure);
  small_storage_ = try_allocate<double>(5 * uk, false, "the working arrays", failure);
  active_storage_ = try_allocate<unsigned char>(uk, false, "the working arrays", failure);
  index_storage_ = try_allocate<int>(2 * uk, false, "the working arrays", failure);
  pointer_storage_ = try_allocate<const double*>(uk, false, "the working arrays", failure);
  if (failure.failed) return false;
  block_columns = columns_storage_.get();
  columns = pointer_storage_.get();
  block_inverse = inverse_storage_.get();
  block_rhs = small_storage_.get();
  new_row = block_rhs + k;
  inverse_scratch = new_row + k;
  block_delta = inverse_scratch + k;
  forward = block_delta + k;
  block_matrix = matrix_storage_.get();
  active = active_storage_.get();
  block_index = index_storage_.get();
  member_offsets = block_index + k;
  return true;
}

}  // namespace krr
