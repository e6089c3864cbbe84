// The multi-output solver against dense brute force (K built from differences, solved by
// elimination), and its endings, which are the single solve's.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "tests/core/support/reference_solver.h"
#include "tests/core/support/operator_fixture.h"
#include "tests/core/support/test_support.h"
#include "core/solve/kernel_operator.h"
#include "core/solve/multi_solver.h"

namespace {

using testing_support::problem_data;
using testing_support::operator_fixture;
using testing_support::random_problem;
using testing_support::right_sides;

struct multi_run {
  krr::descent_result result;
  std::vector<double> V, G;
};

multi_run solve(const problem_data& p, const std::vector<double>& B, int c, double ridge, int k,
                double cache_bytes, int threads, double tol, std::vector<double> V0 = {}) {
  operator_fixture fx(p, ridge, k, cache_bytes, threads);
  std::vector<double> tols(c, tol);
  krr::multi_options options;
  options.tol = tols.data();
  options.seed = 7;
  multi_run run;
  run.V = V0.empty() ? std::vector<double>(B.size(), 0.0) : V0;
  run.G.assign(B.size(), 0.0);
  run.result = krr::solve_multi(fx.A, B.data(), c, options, run.V.data(), run.G.data());
  return run;
}

TEST(MultiSolver, MeetsTheDenseSolutionsResidualOverSizesBlocksAndCaches) {
  for (int n : {1, 5, 40, 257}) {
    const problem_data p = random_problem(n, 3, 11 + n);
    const double ridge = 0.05;
    const auto A = reference::dense_system(p.X, p.w, ridge, n, p.d);
    for (int c : {1, 3}) {
      const auto B = right_sides(p, c);
      for (int k : {1, 16, 64}) {
        if (k > n) continue;
        for (double cache : {8.0 * n * n, 8.0 * n * 3}) {
          SCOPED_TRACE(testing::Message() << "n " << n << " c " << c << " k " << k << " cache "
                                          << cache);
          const double tol = 1e-9;
          const multi_run run = solve(p, B, c, ridge, k, cache, 2, tol);
          ASSERT_EQ(run.result.status, krr::solve_status::converged);
          for (int q = 0; q < c; ++q) {
            const std::vector<double> b(B.begin() + q * n, B.begin() + (q + 1) * n);
            const std::vector<double> v(run.V.begin() + q * n, run.V.begin() + (q + 1) * n);
            // The reported gradient is the true one, and it meets tol.
            const auto g = reference::dense_residual(p.X, b, p.w, ridge, n, p.d, v);
            const auto x = reference::dense_solve(A, b, n);
            for (int r = 0; r < n; ++r) {
              EXPECT_LE(std::fabs(g[r]), tol) << "row " << r;
              EXPECT_NEAR(run.G[q * n + r], g[r], 1e-12);
              EXPECT_NEAR(v[r], x[r], 1e-9 / ridge * n);
            }
          }
        }
      }
    }
  }
}

TEST(MultiSolver, SameBitsAtAnyThreadCountAndAWarmStartAtTheSolutionTakesNoStep) {
  const problem_data p = random_problem(300, 4, 5);
  const auto B = right_sides(p, 3);
  const multi_run one = solve(p, B, 3, 0.01, 32, 8.0 * 300 * 300, 1, 1e-8);
  for (int threads : {2, 3}) {
    const multi_run many = solve(p, B, 3, 0.01, 32, 8.0 * 300 * 300, threads, 1e-8);
    EXPECT_EQ(many.result.steps, one.result.steps) << threads << " threads";
    for (size_t i = 0; i < B.size(); ++i) ASSERT_EQ(many.V[i], one.V[i]) << threads << " threads";
  }
  const multi_run warm = solve(p, B, 3, 0.01, 32, 8.0 * 300 * 300, 2, 1e-8, one.V);
  EXPECT_EQ(warm.result.status, krr::solve_status::converged);
  EXPECT_EQ(warm.result.steps, 0);
  EXPECT_EQ(warm.V, one.V);

  // A warm start whose gradient passes the rounded score |G| (1 / tol) <= 1 but exceeds tol
  // itself by an ulp (3.5 against 3.5): it is not reported converged without a step.
  const double e = 0x1p-52;
  problem_data tiny{3, 1, {e, -3.5, -0.46875}, {0.0, 0.0, 0.0}, {e, e}};
  const multi_run edge = solve(tiny, {-3.5, e, e}, 1, 1.0, 3, 8.0 * 3 * 3, 1, 3.5, {e, e, e});
  EXPECT_EQ(edge.result.status, krr::solve_status::converged);
  EXPECT_GE(edge.result.steps, 1);
  for (double g : edge.G) EXPECT_LE(std::fabs(g), 3.5);
}

// The endings of the shared outer loop, which the single solve has too: a zero operator is
// singular after one step (it used to run to the work bound), and a warm start whose
// gradient overflows is a breakdown, never success with NaN in the gradient (a NaN row
// used to be passed over by the scores and the check).
TEST(MultiSolver, ZeroOperatorIsSingularAndAnOverflowingStartABreakdown) {
  problem_data p = random_problem(200, 2, 9);
  const auto B = right_sides(p, 2);
  p.w[p.d] = 0.0;  // amplitude 0 and ridge 0: K + ridge I = 0
  const multi_run zero = solve(p, B, 2, 0.0, 16, 8.0 * 200 * 200, 2, 1e-8);
  EXPECT_EQ(zero.result.status, krr::solve_status::singular);
  EXPECT_EQ(zero.result.steps, 1);

  // Two coinciding samples under amplitude 2: each product of the start overflows, with
  // opposite signs, so every entry of the starting gradient is Inf - Inf.
  problem_data twins{2, 1, {0.5, 0.5}, {1.0, 1.0}, {1.0, 2.0}};
  const multi_run overflow = solve(twins, {1.0, 1.0}, 1, 0.0, 1, 8.0 * 4, 1, 1e-8, {1e308, -1e308});
  EXPECT_EQ(overflow.result.status, krr::solve_status::breakdown);
  EXPECT_TRUE(std::isnan(overflow.G[0]) && std::isnan(overflow.G[1]));
}

}  // namespace
