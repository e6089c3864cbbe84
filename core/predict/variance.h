// Predictive variances of the Gaussian process with this kernel and noise variance ridge: at
// a test sample x the latent variance a - k' (K + ridge I)^-1 k, with a = K(x, x) (the
// amplitude) and k = K(X, x), in the units of the amplitude. Two methods:
//   exact        k is solved for by conjugate gradients preconditioned by the low-rank
//                factor below (preconditioned_cg.h), batch test samples at a time, each
//                kernel column applied to all of them. The quadratic form is taken with the
//                checked residual r = k - A v as k'v + r'v, whose error is
//                r' A^-1 r <= |r|^2 / ridge: quadratic in the solve's residual, so solves to
//                relative_tol give the variance to about relative_tol^2 n a^2 / ridge.
//   approximate  the greedy pivoted Cholesky factor K ~ L L' of rank r built once
//                (pivoted_cholesky.h), then per test sample the deterministic training
//                conditional: a - |l|^2 + ridge |C^-1 l|^2, with l = L_ZZ^-1 K(Z, x) over the
//                pivots Z and C C' = ridge I + L'L: O(r d + r^2) per test sample. It is the
//                exact variance where the factor is exact (rank n), and its error falls
//                with the factor's largest residual diagonal entry.
// Either way a variance below its rounding floor (the unit roundoff times the size of the
// terms that cancel in it, times sqrt(terms)) is reported as that floor: never negative.
// Every sum runs in a fixed order, so the results are the same bit for bit at any thread count.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/solve/descent.h"
#include "core/solve/kernel_operator.h"

namespace krr {

struct variance_settings {
  // exact
  double relative_tol = 1e-10;  // each test sample's solve, against its largest |k|
  double max_passes = 1000.0;   // iterations of each batch's solve
  int batch = 256;              // test samples solved together
  // the low-rank factor: the approximate method's, and the exact method's preconditioner
  int max_rank = 1000;
  double rank_tol = 1e-3;       // it stops once its largest residual <= rank_tol ridge
};

struct variance_result {
  // exact: the worst of the batches' solves; either: breakdown where a variance overflowed
  solve_status status = solve_status::converged;
  double passes = 0.0;          // exact: passes over the data, summed over the batches
  int rank = 0;                 // the factor's rank
  double largest_residual = 0;  // the factor's largest residual diagonal entry
  double failed_bytes = 0.0;    // on out_of_memory
};

// The approximate method's precomputation, which a model can keep so that later calls skip
// it: the factor's pivots Z (training samples, 0-based, in order of choice), F = L(Z, :)
// (r x r lower triangular, row-major: F F' = K(Z, Z)) and B = F C (r x r lower, row-major:
// B B' = ridge K(Z, Z) + K(Z, X) K(X, Z)), and the factor's largest left-out diagonal entry.
// Each test sample then costs its r kernel values at Z and two triangular solves,
//   l = F^-1 K(Z, x),  y = B^-1 K(Z, x),  variance a - |l|^2 + ridge |y|^2,
// the approximate variance above; and G = K(X, Z) with B give the exact method the factor's
// preconditioner without L (low_rank_preconditioner::prepare_columns). Its size: 2 r^2 + r
// numbers, whatever n.
struct deviation_cache {
  std::vector<int> pivots;
  std::vector<double> factor, chol;
  double largest_residual = 0.0;
  // The kernel it was built for: the d + 1 weights and the ridge (set by its builder's
  // caller; a cache of other ones is stale).
  std::vector<double> weights;
  double ridge = 0.0;
  int rank() const { return static_cast<int>(pivots.size()); }
};

// The cache from the values of its fields as a model holds them, in the order Pivots
// (1-based), Factor, Chol, LeftOut, Weights, Ridge, moved out of `values`, once a host has
// checked Factor and Chol r x r and LeftOut and Ridge scalars. A pivot that is not a whole
// number from 1 on becomes -1, which check_deviation_cache refuses.
deviation_cache deviation_cache_of_fields(std::vector<double> (&values)[6]);

// Empty where `cache` can serve a model of n training samples: pivots distinct, each in
// [0, n), at most n of them, factor and chol r x r with positive finite diagonals and
// finite entries, largest_residual finite and nonnegative; else what is wrong, as
// "<field> must ...", the fields named Pivots, Factor, Chol and LeftOut.
std::string check_deviation_cache(const deviation_cache& cache, std::int64_t n);

// Bytes build_deviation_cache allocates for n samples of d features and rank at most r.
double deviation_cache_bytes(std::int64_t n, int d, int r);

// The cache of A's K and ridge: the factor of rank at most settings.max_rank, stopped once
// it leaves out at most rank_tol ridge of any diagonal entry.
variance_result build_deviation_cache(kernel_operator& A, const variance_settings& settings,
                                      deviation_cache& cache);

// The approximate variances from the cache, in blocks of test samples that share each
// row of the triangles; each sample's sums in the same order whatever the block or thread.
variance_result cached_variances(kernel_operator& A, const deviation_cache& cache,
                                 const double* Xtest, std::int64_t nt, double* var);

// Bytes the exact method allocates with a cache of rank r as its preconditioner.
double exact_cached_variance_bytes(std::int64_t n, int d, int m, int r);

// The exact variances, preconditioned by the cache's factor (its rank and largest residual
// reported) instead of one built here.
variance_result exact_variances(kernel_operator& A, const deviation_cache& cache,
                                const double* Xtest, std::int64_t nt,
                                const variance_settings& settings, double* var);

// Bytes the exact method allocates for n samples of d features, batches of m and a factor
// of rank at most r.
double exact_variance_bytes(std::int64_t n, int d, int m, int r);
// Bytes the approximate method allocates for n samples of d features and rank at most r.
double approximate_variance_bytes(std::int64_t n, int d, int r);

// Xtest: d x nt, one test sample per column, as given (the operator's frame is applied
// here); var: nt latent variances. A is the operator of the training samples, weights and
// ridge.
variance_result exact_variances(kernel_operator& A, const double* Xtest, std::int64_t nt,
                                const variance_settings& settings, double* var);
// approximate_variances: build_deviation_cache, then cached_variances.
variance_result approximate_variances(kernel_operator& A, const double* Xtest, std::int64_t nt,
                                      const variance_settings& settings, double* var);

}  // namespace krr
