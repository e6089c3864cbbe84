// Conjugate gradients for (K + ridge I) V = B, c right-hand sides at once, preconditioned by
// a low-rank factor of K (pivoted_cholesky.h): P = L L' + ridge I, applied through the
// Woodbury identity P^-1 v = (v - L (ridge I + L'L)^-1 L'v) / ridge, in O(n r) per vector.
// Where the factor leaves out little of K against the ridge, P^-1 (K + ridge I) is close to
// the identity and a handful of iterations reach any tolerance; each iteration is one pass
// over the kernel columns applied to every right-hand side. Not the described order of
// tarvel's block descent: for the package's other solves, which need only a solution.
// Success is reported only after the residual B - (K + ridge I) V, computed afresh, meets
// every column's tolerance. Every sum runs in a fixed order, so the results are the same
// bit for bit at any thread count.
#pragma once

#include <cstdint>
#include <memory>

#include "core/solve/descent.h"
#include "core/solve/kernel_operator.h"
#include "core/solve/pivoted_cholesky.h"

namespace krr {

class low_rank_preconditioner {
 public:
  // For the factor of A's K and A's ridge (> 0). False, with the failure recorded, where its
  // storage cannot be had.
  bool prepare(kernel_operator& A, const low_rank_factor& factor, allocation_failure& failure);

  // The preconditioner P^-1 v = (v - G (B B')^-1 G'v) / ridge from any n x r columns G
  // (column-major, kept by the caller) and an r x r lower triangular B (row-major). With
  // G = K(X, Z) for the pivots Z of a factor L and B = L(Z, :) C, so B B' = ridge K(Z, Z) +
  // G'G, it is that factor's P = L L' + ridge I without L itself (L = G L(Z, :)^-T). False,
  // with the failure recorded, where B's copy cannot be had.
  bool prepare_columns(kernel_operator& A, const double* G, int r, const double* B,
                       allocation_failure& failure);

  // Z = P^-1 R for the c columns of R (n x c, column-major); `work` holds 2 r c doubles.
  void apply(block_schedule& schedule, const double* R, int c, double* Z, double* work) const;

  int rank() const { return r_; }
  const double* chol() const { return C_.get(); }  // C, r x r lower, row-major

 private:
  const double* L_ = nullptr;     // n x r, column-major
  std::int64_t n_ = 0;
  std::unique_ptr<double[]> C_;  // r x r lower, row-major: C C' = ridge I + L'L
  double ridge_ = 0.0;
  int r_ = 0;
};

// The pivoted partial Cholesky factor of A's K (at most max_rank columns, stopped once it misses
// at most `stop` of any diagonal entry) and its preconditioner. converged where both were
// had; out_of_memory (failure holds the request) or interrupted where not.
solve_status factor_preconditioner(kernel_operator& A, int max_rank, double stop,
                                   low_rank_factor& factor, low_rank_preconditioner& P,
                                   allocation_failure& failure);

struct cg_options {
  const double* tol = nullptr;  // c tolerances: stop once every |G(r, q)| <= tol[q]
  int max_iterations = 1000;
  bool warm_start = false;  // V holds a start (its residual costs one pass), else zero
};

// Bytes solve_cg allocates for n x c right-hand sides and a preconditioner of rank r.
double cg_bytes(std::int64_t n, int c, int r);

// V (n x c) receives the solution, from zero or from the start it holds (warm_start; a start
// that is not finite is dropped), G = (K + ridge I) V - B checked afresh. The result's steps
// are the iterations, its passes the passes over the kernel columns.
descent_result solve_cg(kernel_operator& A, const low_rank_preconditioner& P, const double* B,
                        int c, const cg_options& options, double* V, double* G);

}  // namespace krr
