// The operator of a random problem, as the solves and estimates of the core tests use it,
// and right-hand sides to go with it.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/solve/kernel_operator.h"
#include "tests/core/support/test_support.h"

namespace testing_support {

struct operator_fixture {
  krr::kernel_operator A;
  explicit operator_fixture(const problem_data& p, double ridge, int k, double cache_bytes,
                            int threads) {
    krr::operator_setup setup{p.X.data(), p.n, p.d, p.w.data(), ridge, k, cache_bytes};
    setup.threads = threads;
    setup.min_rows_per_thread = 16;  // so that small problems split across threads
    krr::allocation_failure failure;
    EXPECT_TRUE(A.prepare(setup, failure));
  }
};

// c right-hand sides, column-major: the targets and then smooth variations of them.
inline std::vector<double> right_sides(const problem_data& p, int c) {
  std::vector<double> B(static_cast<size_t>(p.n) * c);
  for (int q = 0; q < c; ++q)
    for (int r = 0; r < p.n; ++r) B[q * p.n + r] = p.y[r] * (q + 1) + std::cos(r + 3.0 * q);
  return B;
}

}  // namespace testing_support
