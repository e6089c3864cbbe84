// An independent, literal implementation of the training algorithm for tests: one
// function, no cache tricks beyond the stated slot rule, candidate scores kept in the
// first 60 gradient entries when n >= 60. The optimised solver must match it bit for bit.
#pragma once

#include <cstdint>
#include <vector>

namespace reference {

// A deterministic 15-bit generator with a given seed (xorshift64*, top bits).
struct sequence {
  std::uint64_t state;
  explicit sequence(std::uint64_t seed) : state(seed * 2654435761u + 1) {}
  int next() {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return static_cast<int>((state * 2685821657736338717ull) >> 49);
  }
  std::int64_t drawn = 0;
};

struct outcome {
  std::vector<double> alpha, grad;
  double evals = 0, objective = 0;
  std::int64_t steps = 0;
};

// Runs the descent until max|grad| <= tol (or a NaN first entry), or max_steps block
// steps, whichever comes first.
outcome solve(const std::vector<double>& X, const std::vector<double>& y,
              const std::vector<double>& w, double ridge, int n, int d, double tol, int k,
              double cache_bytes, sequence& rng, std::int64_t max_steps);

// The bordered inverse update written out plainly: inv (leading dimension k) and delta
// grow from a to a + 1 members with the new row `row` (b, then gamma) and right side rhs.
void grow(std::vector<double>& inv, std::vector<double>& delta, const std::vector<double>& row,
          const std::vector<double>& rhs, int a, int k);

// The kernel matrix built in full, K + ridge I, row-major n x n.
std::vector<double> dense_system(const std::vector<double>& X, const std::vector<double>& w,
                                 double ridge, int n, int d);

// (K + ridge I) alpha - y with K built from differences, summed in long double.
std::vector<double> dense_residual(const std::vector<double>& X, const std::vector<double>& y,
                                   const std::vector<double>& w, double ridge, int n, int d,
                                   const std::vector<double>& alpha);

// 1/2 alpha' A alpha - y' alpha for A row-major n x n, in long double.
long double dense_objective(const std::vector<double>& A, const std::vector<double>& y,
                            const std::vector<double>& alpha, int n);

// Solves A x = b by Gaussian elimination with partial pivoting (A row-major n x n).
std::vector<double> dense_solve(std::vector<double> A, std::vector<double> b, int n);

}  // namespace reference
