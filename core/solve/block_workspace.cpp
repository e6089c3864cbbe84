// Allocation of a block step's scratch, sliced from a few arrays.
#include "core/exact_arithmetic.h"

#include "core/solve/block_workspace.h"

namespace krr {

double block_workspace::bytes(int k) {
  return 8.0 * (2.0 * k * k + 5.0 * k) + (1.0 + 2.0 * 4.0 + sizeof(double*)) * k;
}

bool block_workspace::allocate(int k, double* block_columns_storage, allocation_failure& failure) {
  const std::uint64_t uk = static_cast<std::uint64_t>(k);
  inverse_storage_ = try_allocate<double>(uk * uk, false, "the block inverse", failure);
  matrix_storage_ = try_allocate<double>(uk * uk, false, "the block matrix", failure);
  small_storage_ = try_allocate<double>(5 * uk, false, "the working arrays", failure);
  active_storage_ = try_allocate<unsigned char>(uk, false, "the working arrays", failure);
  index_storage_ = try_allocate<int>(2 * uk, false, "the working arrays", failure);
  pointer_storage_ = try_allocate<const double*>(uk, false, "the working arrays", failure);
  if (failure.failed) return false;
  block_columns = block_columns_storage;
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
