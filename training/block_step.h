// One step of exact block coordinate descent: choose k members (the largest gradient
// first, then the best of 60 random candidates at a time), solve their block system
// exactly by bordered inverse updates, and update the gradient of every sample.
#pragma once

#include <cstdint>

#include "common/kernel_math.h"
#include "common/thread_pool.h"
#include "training/column_warmup.h"
#include "training/kernel_cache.h"
#include "training/kernel_column.h"
#include "training/random_source.h"

namespace krr {

constexpr int CANDIDATE_COUNT = 60;

// Cache pages are mapped in ahead of the slots' first writes, this many bytes at a time:
// large enough that a request costs far less than the page faults it replaces, small
// enough that a run ending early maps in little that it never uses.
constexpr std::int64_t PREFAULT_BATCH_BYTES = std::int64_t{32} << 20;

// Scratch of a block step, sized for block size k and allocated once per training call:
// no entry is read before the step writes it.
struct block_workspace {
  double* block_columns;     // n * k: copies of columns that cannot be read in place
  const double** columns;    // k: member i's kernel column (ridge included), wherever it is
  double* block_inverse;     // k * k, entry (r, c) at r*k + c
  double* block_rhs;         // k
  double* new_row;           // k
  double* inverse_scratch;   // k, the bordered update's u
  int* member_offsets;       // k: the members so far in increasing order, each less its rank
  int* caller_share;         // k or null: candidates the calling thread scores after member i,
                             // tuned from step to step (null: an even split)
  column_warmup* warmup;     // null, or where member columns are published for prefetching
  int candidates[CANDIDATE_COUNT];
  int candidate_rows[CANDIDATE_COUNT];
  double scores[CANDIDATE_COUNT];
};

// Runs one block step from the gradient grad, whose largest absolute entry is at index
// `first`. On return block_index[0..k-1] and block_delta[0..k-1] hold the block and its
// solution and grad the new gradient; the result is max_abs_entry of the new gradient.
// t is the number of earlier block steps in this call; exactly 60*k values are drawn
// from rng. Rows are split across the pool's threads without changing any value.
max_abs_result block_step(const training_data& data, int k, int first, double* block_delta,
                          double* grad, int* block_index, kernel_cache& cache, std::int64_t t,
                          random_source& rng, block_workspace& ws, thread_pool& pool);

// grad[r] += columns[j][r] * delta[j] for j = 0 ... k-1 in order, for r in [begin, end),
// in one pass over tiles of rows. Returns max_abs_part of the updated rows.
max_abs_result update_gradient_rows(const double* const* columns, const double* delta, int k,
                                    double* grad, std::int64_t begin, std::int64_t end);

// Whether a member after member i of step t may store its column in slot q (the slots
// k*t + i + 1 ... k*t + k - 1, mod m), so that a column in slot q cannot be read in place.
bool slot_rewritten_later(int q, int k, std::int64_t t, int i, int m);

}  // namespace krr
