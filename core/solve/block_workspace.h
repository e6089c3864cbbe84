// The scratch of a block step, sized for block size k over n samples and allocated once
// per training call; it owns its storage. No entry is read before the step writes it.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/parallel/allocation.h"

namespace krr {

constexpr int CANDIDATE_COUNT = 60;  // random candidates drawn for each member after the first

struct block_workspace {
  // False, with the failure recorded, when the arrays cannot be had. block_columns is the
  // caller's: n * k doubles.
  bool allocate(int k, double* block_columns, allocation_failure& failure);

  // Bytes allocate takes for blocks of k.
  static double bytes(int k);

  double* block_columns = nullptr;    // n * k: copies of columns that cannot be read in place
                                      // (the operator's scratch, not owned here)
  const double** columns = nullptr;   // k: member i's kernel column (ridge included), wherever it is
  double* block_inverse = nullptr;    // k * k, entry (r, c) at r*k + c; the Cholesky factor
                                      // instead once the step is factored
  double* block_matrix = nullptr;     // k * k: row i holds (K + ridge I)(member i, members 0 ... i)
  double* forward = nullptr;          // k: L^-1 rhs, once the step is factored
  unsigned char* active = nullptr;    // k: whether the factorisation kept member i
  bool factored = false;              // this step's block is solved by the factorisation
  double* block_rhs = nullptr;        // k
  double* new_row = nullptr;          // k
  double* inverse_scratch = nullptr;  // k, the bordered update's u
  double* block_delta = nullptr;      // k: the step's solution, member by member
  int* block_index = nullptr;         // k: the members in order of choice
  int* member_offsets = nullptr;      // k: the members so far in increasing order, each less its rank
  int candidates[CANDIDATE_COUNT];    // pool positions of the latest draws
  int candidate_rows[CANDIDATE_COUNT];  // the samples at those positions
  // Where a team shares the rows (core/parallel/row_team.h): whether this rank holds each
  // candidate, and its row here (0 for those it does not hold, whose scores are not used).
  bool candidate_here[CANDIDATE_COUNT];
  int candidate_local[CANDIDATE_COUNT];
  std::vector<double> message;  // a member's sample and values, as its rank sends them
  double scores[CANDIDATE_COUNT];

 private:
  std::unique_ptr<double[]> inverse_storage_, matrix_storage_, small_storage_;
  std::unique_ptr<unsigned char[]> active_storage_;
  std::unique_ptr<int[]> index_storage_;
  std::unique_ptr<const double*[]> pointer_storage_;
};

}  // namespace krr
