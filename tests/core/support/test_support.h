// Shared helpers of the core tests: random problems and an injectable, counting
// random source built on the reference generator.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "tests/core/support/reference_solver.h"
#include "core/solve/random_source.h"

namespace testing_support {

inline int next15(void* state) {
  auto* seq = static_cast<reference::sequence*>(state);
  seq->drawn += 1;
  return seq->next();
}

inline krr::random_source source_of(reference::sequence& seq) {
  return krr::random_source{&next15, &seq};
}

struct problem_data {
  int n, d;
  std::vector<double> X, y, w;
};

// Features uniform on [0, 1), weights around 1/d, targets a smooth function plus noise.
inline problem_data random_problem(int n, int d, unsigned seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  problem_data p{n, d, std::vector<double>(static_cast<size_t>(n) * d), std::vector<double>(n),
                 std::vector<double>(d + 1)};
  for (auto& x : p.X) x = unit(gen);
  for (int l = 0; l < d; ++l) p.w[l] = (0.5 + unit(gen)) * 2.0 / d;
  p.w[d] = 0.5 + unit(gen);
  for (int i = 0; i < n; ++i) {
    double s = unit(gen) - 0.5;
    for (int l = 0; l < d; ++l) s += (l % 2 ? 1.0 : -1.0) * p.X[i * d + l];
    p.y[i] = s;
  }
  return p;
}

// n samples evenly on [0, 1] under a length scale as long as the interval, targets
// sin(6x): K is numerically of low rank, so a small ridge leaves the block systems barely
// positive definite.
inline problem_data line_problem(int n) {
  problem_data p{n, 1, std::vector<double>(n), std::vector<double>(n), {1.0, 1.0}};
  for (int i = 0; i < n; ++i) {
    p.X[i] = static_cast<double>(i) / (n - 1);
    p.y[i] = std::sin(6.0 * p.X[i]);
  }
  return p;
}

}  // namespace testing_support
