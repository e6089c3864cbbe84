// The exact log marginal likelihood of the Gaussian process with the ARD Gaussian kernel and
// noise variance ridge, and its gradient in the log of every hyperparameter, by a dense
// Cholesky factorisation of A = K + ridge I: the learner's objective where A fits in memory.
//
//   f = sum over the c outputs of -1/2 y' A^-1 y - sum_j log L_jj - n/2 log(2 pi),  A = L L'
//   df/dtheta_i = 1/2 sum_rj W(r, j) dA(r, j)/dtheta_i,  W = alpha alpha' - c A^-1,
//   alpha = A^-1 Y,  A^-1 = L^-T L^-1,
//
// with theta = log([w_1 ... w_d, amplitude, ridge]) and the kernel
// amplitude * exp(-sum_l w_l (a_l - b_l)^2), or a Matern kernel of the same weights
// (core/kernel/kernel_kind.h). Where A does not factorise (a pivot that is not
// positive) or K is not finite, the value is -Inf and the gradient and alpha are NaN: a
// point an optimiser must reject.
//
// The factorisation, the solves and the inverse are written out here, not taken from LAPACK:
// a BLAS's results change with its thread count and with the processor's kernels, while every
// sum below runs in one fixed order, so the same inputs give the same bits on any number of
// threads and on any x86-64 processor.
//
// Memory: two n x n arrays of doubles (the factor with K beside it, and the inverse factor
// with A^-1 beside it), plus arrays of O(n (d + c + 256)) doubles.
#pragma once

#include <cstdint>
#include <vector>

#include "core/kernel/kernel_kind.h"
#include "core/parallel/allocation.h"

namespace krr {

struct dense_objective_settings {
  bool gradient = true;  // false: the value, alpha and lambda_bound only (gradient empty)
  // Threads: 0 means one per processor this process may use, never more than one per
  // min_rows_per_thread samples. Results do not depend on either.
  int threads = 0;
  std::int64_t min_rows_per_thread = 256;
  // Polled on the calling thread only, between blocks of columns; returning true stops the
  // call within a fraction of a second (status interrupted, nothing else holds).
  bool (*interrupt_pending)(void*) = nullptr;
  void* interrupt_state = nullptr;
  kernel_kind kind = kernel_kind::gaussian;
};

enum class dense_objective_status { done, interrupted, out_of_memory };

struct dense_objective_result {
  dense_objective_status status = dense_objective_status::done;
  bool factorised = false;       // false: K not finite or A not positive definite
  double value = 0.0;            // f, summed over the outputs (-Inf where not factorised)
  std::vector<double> gradient;  // d + 2: d/dlog w_1 ... w_d, d/dlog amplitude, d/dlog ridge
  std::vector<double> alpha;     // n x c, column-major: A^-1 Y
  // The largest row sum of K (its entries are positive): a bound on K's largest eigenvalue
  // that needs no factorisation. NaN rows are passed over, as a max that skips NaN does.
  double lambda_bound = 0.0;
  // The rounding error of value (NaN where not factorised), estimated as the gradient check
  // estimates a residual's (gradient_check.h): the sums' own, sqrt(n) u times the size of
  // their terms, 1/2 sum |Y .* alpha| + c sum_j |log L_jj| + c n/2 log(2 pi); and the
  // factorisation's, exact for A + E with entries of E about u (amplitude + ridge) (the
  // diagonal of A bounds |L||L'|), which moves the data fit by alpha' E alpha / 2 and the
  // log determinant term by c trace(A^-1 E) / 2, A^-1's eigenvalues at most 1 / ridge:
  // u (amplitude + ridge) (sum alpha.^2 + c n / ridge) / 2. Measured: values at theta moved
  // by up to 6e-12 departed from their first-order change by at most 0.2 to 2.8 times this
  // (ridge 1e-1 to 1e-6, n = 500 to 3000). Two values closer than their errors cannot be
  // told apart.
  double value_error = 0.0;
  allocation_failure failure;    // on out_of_memory
};

// Bytes the evaluation allocates for n samples of d features and c outputs.
double dense_objective_bytes(std::int64_t n, int d, int c, bool gradient);

// X: d x n, column-major (sample j at X + j d), standardised; Y: n x c, column-major;
// theta: d + 2 values. n >= 1.
dense_objective_result dense_objective(const double* X, int d, std::int64_t n, const double* Y,
                                       int c, const double* theta,
                                       const dense_objective_settings& settings);

}  // namespace krr
