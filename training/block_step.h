// One step of exact block coordinate descent: choose k members (the largest gradient
// first, then the best of 60 random candidates at a time), solve their block system
// exactly by bordered inverse updates, and update the gradient of every sample.
#pragma once

#include <cstdint>

#include "training/kernel_cache.h"
#include "training/random_source.h"

namespace krr {

constexpr int CANDIDATE_COUNT = 60;

// The training samples and what every block step reads of them.
struct training_data {
  const double* X;      // d x n, one sample per column
  const double* w;      // d + 1 weights, w[d] the amplitude
  const double* norms;  // n weighted squared norms
  double ridge;
  int n;
  int d;
};

// Scratch of a block step, sized for block size k; allocated once per training call
// because no entry is read before the step writes it.
struct block_workspace {
  double* block_columns;  // n * k: column i is member i's kernel column, ridge included
  double* block_inverse;  // k * k, entry (r, c) at r*k + c
  double* block_rhs;      // k
  double* new_row;        // k
  double* inverse_scratch;  // k, the bordered update's u
  int* pool;              // n: samples not yet in the block, in increasing order
  int candidates[CANDIDATE_COUNT];
  double scores[CANDIDATE_COUNT];
};

// Kernel column of sample s over all n rows, ridge not included.
void compute_kernel_column(const training_data& data, int s, double* column);

// resid is -grad at entry. On return block_index[0..k-1] and block_delta[0..k-1] hold the
// block and its solution, and grad the new gradient. t is the number of earlier block
// steps in this call; exactly 60*k values are drawn from rng.
void block_step(const training_data& data, const double* resid, int k, double* block_delta,
                double* grad, int* block_index, kernel_cache& cache, std::int64_t t,
                random_source& rng, block_workspace& ws);

}  // namespace krr
