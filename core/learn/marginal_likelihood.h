// The log marginal likelihood of the Gaussian process with this kernel and noise variance
// ridge, and its gradient in the log of every hyperparameter, at sizes where A = K + ridge I
// cannot be factorised: exact solves of A [alpha, U] = [Y, Z] for the targets and p
// Rademacher probes Z (core/solve/multi_solver.h), then
//   gradient_i = 1/2 sum_rj W(r, j) dA(r, j)/dtheta_i,  W = alpha alpha' - (c/p) U Z',
// whose expectation over the probes is the exact 1/2 alpha' dA alpha - (c/2) tr(A^-1 dA)
// (Hutchinson's estimator of the trace, with the probes solved as extra right-hand sides),
// summed over the c outputs, in one pass over the kernel columns; and log det A by
// stochastic Lanczos quadrature with the same probes (core/learn/lanczos.h; preconditioned
// where asked, lml_settings). The probes come
// from a seeded generator, so the estimate is a deterministic function of the
// hyperparameters that a quasi-Newton method can follow.
#pragma once

#include <cstdint>
#include <vector>

#include "core/learn/lanczos.h"
#include "core/solve/kernel_operator.h"
#include "core/solve/multi_solver.h"

namespace krr {

struct lml_settings {
  int probes = 16;
  std::uint64_t seed = 0;       // the probes and the solver's draws
  double relative_tol = 1e-6;   // each solve to relative_tol times its right side's largest
  bool log_det = true;          // estimate log det A (else value and log_det are NaN)
  // false: the value alone, for a fit's reported objective: the targets solved (from V's
  // start: the final coefficients make it one check), no gradient pass (the gradient NaN),
  // and the probes only for the log determinant, so V's probe columns are left as they came.
  bool gradient = true;
  lanczos_settings lanczos;
  double max_passes = 1000.0;
  // 0: the solves by block coordinate descent (core/solve/multi_solver.h). Above: by
  // conjugate gradients preconditioned with a pivoted partial Cholesky factor of K of at
  // most this rank, stopped once it misses at most precondition_stop * ridge of any
  // diagonal entry (core/solve/preconditioned_cg.h), which takes far fewer passes over K
  // where the ridge is small against the amplitude.
  int precondition_rank = 0;
  double precondition_stop = 1e-2;
  // 0: the log determinant by Lanczos on A itself. Above: Lanczos on P^-1/2 A P^-1/2 for
  // P = L L' + ridge I, L a pivoted partial Cholesky factor of K of at most this rank
  // (stopped as above), with log det P exact and probes L e + ridge^1/2 z (e Rademacher
  // from the seed, z the probes above), whose covariance is P (core/learn/lanczos.h).
  // Where L holds most of K, A's small ridge no longer slows Lanczos: it settles in a
  // fraction of the steps, and the probes' estimates spread far less.
  int log_det_rank = 0;
  // Also each probe's own estimate of the gradient's trace terms (lml_estimate's
  // probe_traces), so that the gradient's error is known; their sums cost about three times
  // the gradient's pass.
  bool probe_traces = false;
};

struct lml_estimate {
  double value;                  // log p(Y | theta), summed over the outputs
  std::vector<double> gradient;  // d + 2: d/dlog w_1 ... w_d, d/dlog amplitude, d/dlog ridge
  double data_fit = 0.0;         // sum over outputs of y' alpha
  double log_det;                // estimate of log det A
  double log_det_error;          // its standard error over the probes
  // Each probe's estimate z' log(A) z, whose mean is log_det: two estimates with the same
  // probes can be compared probe by probe, the error of their difference then known.
  std::vector<double> quadratures;
  // Where asked (settings.probe_traces): (d + 2) x p, column-major, probe s's estimate
  // (c / 2) z_s' A^-1 dA/dtheta_i z_s of the trace term that the gradient subtracts, whose
  // mean over the probes is that term: their spread gives each gradient entry's error.
  std::vector<double> probe_traces;
  descent_result solve;
  // Where the time went: passes over K (the solve's block steps and checks, the gradient's
  // pass, the Lanczos products), kernel columns computed (not read from the cache) and the
  // seconds spent computing them.
  double passes_over_k = 0.0;
  int lanczos_steps = 0;  // the products Lanczos took (settings.lanczos.steps: not settled)
  std::int64_t columns_computed = 0;
  double column_seconds = 0.0;
  solve_status status = solve_status::converged;  // interrupted, out_of_memory: nothing else holds
  double failed_bytes = 0.0;  // on out_of_memory
};

// Bytes the estimate allocates for n samples of d features, c targets and p probes,
// blocks of k, `parts` threads, a preconditioner of at most `rank` columns (0: none),
// where asked the probes' own trace terms, and a log determinant preconditioned with at
// most log_det_rank columns: the solve's arrays, the probes, the gradient pass's and
// Lanczos's.
double estimate_bytes(std::int64_t n, int d, int c, int p, int k, int parts, int rank = 0,
                      bool probe_traces = false, int log_det_rank = 0);

// The p Rademacher probes of a seed, n x p column-major (probe s at s * n).
std::vector<double> rademacher_probes(std::int64_t n, int p, std::uint64_t seed);

// Y: n x c targets, column-major. V: n x (c + p), column-major: a warm start on entry (zeros, or
// the previous estimate's), the solutions alpha (first c columns) and A^-1 Z on return.
lml_estimate estimate_marginal_likelihood(kernel_operator& A, const double* Y, int c,
                                          const lml_settings& settings, double* V);

}  // namespace krr
