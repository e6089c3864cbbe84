// A low-rank factor of the kernel matrix: the partial Cholesky factorisation with greedy
// pivoting, K ~ L L' with L n x r. Each step takes the sample whose residual diagonal
// entry diag(K - L L') is largest (the first among equals) as the next pivot, computes its
// kernel column, and appends the column of L that reproduces it exactly; so K(:, pivots)
// = L L(pivots, :)' and the residual diagonal is what the factor misses at each sample.
// It stops at max_rank columns or once the largest residual diagonal entry falls to `stop`.
// Each row's sums run in a fixed order whatever the threads, so the factor is the same bit
// for bit at any thread count.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/parallel/allocation.h"
#include "core/solve/kernel_operator.h"

namespace krr {

struct low_rank_factor {
  std::int64_t n = 0;
  int rank = 0;
  std::unique_ptr<double[]> L;     // n x rank, column-major: L(r, t) at L[t * n + r]
  std::vector<int> pivots;         // rank samples, in order of choice
  std::vector<double> residual;    // n: diag(K - L L') at the end
  double largest_residual = 0.0;   // its largest entry
  bool interrupted = false;
};

// Bytes pivoted_cholesky allocates for n samples and max_rank columns.
double pivoted_cholesky_bytes(std::int64_t n, int max_rank);

// The factor of K (the ridge not included) of A's samples. False, with the failure recorded,
// where its storage cannot be had.
bool pivoted_cholesky(kernel_operator& A, int max_rank, double stop, low_rank_factor& factor,
                      allocation_failure& failure);

}  // namespace krr
