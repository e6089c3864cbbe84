// Stochastic Lanczos quadrature: estimates of z' log(A) z for probe vectors z, whose mean
// over Rademacher probes estimates log det A. Lanczos run from z builds a tridiagonal T whose
// eigenvalues are Gauss quadrature nodes for the spectral measure of A seen from z, and the
// squared first components of its eigenvectors the weights (Golub and Welsch); then
// z' log(A) z ~ |z|^2 sum_k tau_k^2 log(theta_k). The probes share each multiplication by A
// (one pass over the kernel columns for all of them). Blocks of p vectors are n x p,
// column-major: vector s at s * n.
#pragma once

#include <cstdint>
#include <vector>

namespace krr {

// Eigenvalues of the symmetric tridiagonal matrix with diagonal a (m) and off-diagonal b
// (m - 1; b[i] joins i and i + 1), and the first components of its unit eigenvectors, by
// implicit QL iterations. False if an eigenvalue did not converge.
bool tridiagonal_eigen(std::vector<double> a, std::vector<double> b, std::vector<double>& values,
                       std::vector<double>& first_components);

// sum_k tau_k^2 log(theta_k) for the tridiagonal (a, b): the quadrature of log with m nodes,
// for a unit start vector. NaN where T is not positive definite or the eigenvalues fail.
double log_quadrature(const std::vector<double>& a, const std::vector<double>& b);

// out = A in, for n x p column-major blocks.
using block_multiply = void (*)(void* context, const double* in, double* out);

struct lanczos_settings {
  int steps = 60;             // at most
  double tolerance = 1e-6;    // a probe is done once its quadrature moves less, relatively
  int check_every = 5;        // steps between quadratures
};

// Lanczos for p probes at once (n x p, column-major), without reorthogonalisation (the
// quadrature of a smooth function is robust to its loss of orthogonality). Returns each
// probe's estimate of z' log(A) z; stops early where every probe has settled or broken down
// (A's Krylov space exhausted), or where multiply reports a stop (returns false).
//
// With a preconditioner (precondition: out = P^-1 in for blocks, P symmetric positive
// definite; false on a stop), Lanczos runs on M = P^-1/2 A P^-1/2 without its square root:
// the recurrence carries r = P^1/2 u for M's Lanczos vectors u and multiplies A by
// P^-1 r, and each probe z gives the estimate (z' P^-1 z) e1' log(T) e1 of u0' log(M) u0,
// u0 = P^-1/2 z. For probes with E[z z'] = P, u0 has identity covariance and the mean
// estimates log det M = log det A - log det P. Where P is close to A, M is close to the
// identity: Lanczos settles in a few steps and the probes barely differ.
std::vector<double> lanczos_log_quadratures(const double* probes, std::int64_t n, int p,
                                            const lanczos_settings& settings,
                                            bool (*multiply)(void* context, const double* in,
                                                             double* out),
                                            void* context,
                                            bool (*precondition)(void* context, const double* in,
                                                                 double* out) = nullptr,
                                            void* precondition_context = nullptr);

}  // namespace krr
