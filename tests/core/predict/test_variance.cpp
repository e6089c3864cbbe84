// Predictive variances against the dense formula a - k' (K + ridge I)^-1 k, K and k built
// from differences and solved by elimination: the exact method over sizes, at training
// samples too and far from the origin; the approximate one at full rank, and at lower rank
// within what its factor leaves out, and from its factor kept as a cache, which also
// preconditions exact solves; both the same bits at any thread count; an interrupt
// at any poll ends either method.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "core/predict/variance.h"
#include "tests/core/support/operator_fixture.h"
#include "tests/core/support/reference_solver.h"

namespace {

using testing_support::operator_fixture;
using testing_support::problem_data;
using testing_support::random_problem;

// The test samples: the first few training samples, then fresh ones, d x nt.
std::vector<double> test_samples(const problem_data& p, int fresh, unsigned seed) {
  std::vector<double> Xt(p.X.begin(), p.X.begin() + std::min(p.n, 5) * p.d);
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> unit(-0.2, 1.2);
  for (int i = 0; i < fresh * p.d; ++i) Xt.push_back(unit(gen));
  return Xt;
}

std::vector<double> dense_variances(const problem_data& p, double ridge, const std::vector<double>& Xt) {
  const int n = p.n, d = p.d, nt = static_cast<int>(Xt.size()) / (d > 0 ? d : 1);
  const auto A = reference::dense_system(p.X, p.w, ridge, n, d);
  std::vector<double> out(nt);
  for (int i = 0; i < nt; ++i) {
    std::vector<double> k(n);
    for (int r = 0; r < n; ++r) {
      double sq = 0.0;
      for (int l = 0; l < d; ++l) sq += p.w[l] * std::pow(Xt[i * d + l] - p.X[r * d + l], 2);
      k[r] = p.w[d] * std::exp(-sq);
    }
    const auto v = reference::dense_solve(A, k, n);
    long double q = 0.0L;
    for (int r = 0; r < n; ++r) q += static_cast<long double>(k[r]) * v[r];
    out[i] = static_cast<double>(p.w[d] - q);
  }
  return out;
}

std::vector<double> variances(const problem_data& p, double ridge, const std::vector<double>& Xt,
                              bool exact, krr::variance_settings s, int threads,
                              krr::variance_result* result = nullptr) {
  operator_fixture fx(p, ridge, std::min(16, p.n), 8.0 * p.n * p.n, threads);
  const std::int64_t nt = static_cast<std::int64_t>(Xt.size()) / p.d;
  std::vector<double> var(nt, -1.0);
  const krr::variance_result r = exact ? krr::exact_variances(fx.A, Xt.data(), nt, s, var.data())
                                       : krr::approximate_variances(fx.A, Xt.data(), nt, s, var.data());
  EXPECT_EQ(r.status, krr::solve_status::converged);
  if (result) *result = r;
  return var;
}

TEST(Variance, ExactMatchesTheDenseFormulaAtAnySizeAndThreadCount) {
  for (int n : {1, 7, 60, 301}) {
    problem_data p = random_problem(n, 3, 31 + n);
    const double ridge = 0.05;
    const auto Xt = test_samples(p, 40, n);
    const auto want = dense_variances(p, ridge, Xt);
    krr::variance_settings s;
    s.batch = 17;  // batches that do not divide the test samples
    const auto got = variances(p, ridge, Xt, true, s, 1);
    for (size_t i = 0; i < want.size(); ++i) {
      // The deviation to a relative 1e-8, at the training samples (the first five) too.
      EXPECT_NEAR(std::sqrt(got[i]), std::sqrt(want[i]), 1e-8 * std::sqrt(want[i]))
          << "n " << n << " test sample " << i;
      EXPECT_GT(got[i], 0.0);
    }
    EXPECT_EQ(variances(p, ridge, Xt, true, s, 2), got) << "n " << n;
  }
  // Far from the origin (the centred frame): the same variances as the samples near it.
  problem_data p = random_problem(80, 2, 3);
  const auto Xt = test_samples(p, 20, 4);
  krr::variance_settings s;
  const auto near = variances(p, 0.05, Xt, true, s, 1);
  problem_data far = p;
  std::vector<double> far_tests = Xt;
  for (double& x : far.X) x += 1e6;
  for (double& x : far_tests) x += 1e6;
  const auto moved = variances(far, 0.05, far_tests, true, s, 1);
  for (size_t i = 0; i < near.size(); ++i) EXPECT_NEAR(moved[i], near[i], 1e-7 * near[i]) << i;
}

TEST(Variance, ApproximateIsExactAtFullRankAndWithinItsFactorsResidualBelow) {
  const problem_data p = random_problem(200, 2, 8);
  const double ridge = 0.01;
  const auto Xt = test_samples(p, 60, 5);
  const auto want = dense_variances(p, ridge, Xt);
  krr::variance_settings full;
  full.max_rank = p.n;
  full.rank_tol = 0.0;
  krr::variance_result r;
  const auto got = variances(p, ridge, Xt, false, full, 1, &r);
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_NEAR(got[i], want[i], 1e-9 * p.w[p.d]) << "test sample " << i << " rank " << r.rank;
  }
  EXPECT_EQ(variances(p, ridge, Xt, false, full, 2), got);

  // A rank-12 factor kept as a cache: its variances the approximate method's bits, on any
  // thread count; exact solves preconditioned by it give the dense formula's.
  {
    krr::variance_settings low;
    low.max_rank = 12;
    low.rank_tol = 0.0;
    const std::int64_t nt = static_cast<std::int64_t>(Xt.size()) / p.d;
    operator_fixture fx(p, ridge, 16, 8.0 * p.n * p.n, 2);
    krr::deviation_cache cache;
    ASSERT_EQ(krr::build_deviation_cache(fx.A, low, cache).status, krr::solve_status::converged);
    EXPECT_EQ(cache.rank(), 12);
    EXPECT_EQ(krr::check_deviation_cache(cache, p.n), "");
    std::vector<double> cached(nt), solved(nt);
    EXPECT_EQ(krr::cached_variances(fx.A, cache, Xt.data(), nt, cached.data()).status, krr::solve_status::converged);
    EXPECT_EQ(cached, variances(p, ridge, Xt, false, low, 1));
    krr::variance_settings s;
    s.batch = 17;
    const krr::variance_result r = krr::exact_variances(fx.A, cache, Xt.data(), nt, s, solved.data());
    EXPECT_EQ(r.status, krr::solve_status::converged);
    EXPECT_EQ(r.rank, 12);
    for (std::int64_t i = 0; i < nt; ++i) {
      EXPECT_NEAR(std::sqrt(solved[i]), std::sqrt(want[i]), 1e-8 * std::sqrt(want[i])) << i;
    }
    // A cache that cannot serve n samples: named.
    krr::deviation_cache twice = cache;
    twice.pivots[1] = twice.pivots[0];
    EXPECT_EQ(krr::check_deviation_cache(twice, p.n), "Pivots must be distinct");
    const int last = *std::max_element(cache.pivots.begin(), cache.pivots.end());
    EXPECT_EQ(krr::check_deviation_cache(cache, last), "Pivots must be training samples, from 1 to n");
    krr::deviation_cache singular = cache;
    singular.factor[5 * 12 + 5] = 0.0;
    EXPECT_EQ(krr::check_deviation_cache(singular, p.n), "Factor must have a positive finite diagonal");
  }

  // The default rank rule (stop once the factor leaves out at most 1e-3 ridge on the
  // diagonal) and a rank cut shorter than it: every variance stays in [0, amplitude], and the
  // observation's deviation (noise included) within 1% where the rule was met.
  for (int max_rank : {60, 8}) {
    krr::variance_settings low;
    low.max_rank = max_rank;
    const auto approx = variances(p, ridge, Xt, false, low, 2, &r);
    EXPECT_LE(r.rank, max_rank);
    EXPECT_EQ(r.largest_residual <= 1e-3 * ridge, r.rank < max_rank) << "rank " << r.rank;
    for (size_t i = 0; i < want.size(); ++i) {
      EXPECT_GE(approx[i], 0.0);
      EXPECT_LE(approx[i], p.w[p.d] * (1 + 1e-12));
      if (r.rank < max_rank) {
        EXPECT_NEAR(std::sqrt(approx[i] + ridge), std::sqrt(want[i] + ridge),
                    0.01 * std::sqrt(want[i] + ridge)) << i;
      }
    }
  }
}

// The interrupt's polls, counted; an interrupt reported from poll `at` on (never where
// negative), as a host's flag stays set once raised.
struct poll_count {
  long count = 0, at = -1;
};

bool poll(void* state) {
  poll_count* p = static_cast<poll_count*>(state);
  const bool stop = p->at >= 0 && p->count >= p->at;
  ++p->count;
  return stop;
}

// An interrupt at the first poll, half way and at the last ends the call there with its
// status: the factor, the exact method's batches of solves, the approximate method's rows;
// also where the exact solves end at their iteration bound, whose closing pass must not pass
// it over (the last batch's variances would come from a pass cut short). The same call then
// runs to its end with the same polls.
TEST(Variance, AnInterruptAtAnyPollEndsEitherMethod) {
  const problem_data p = random_problem(200, 2, 8);
  const double ridge = 1e-3;
  struct run {
    bool exact;
    double max_passes;
    int max_rank, fresh;
  };
  for (const run& c : {run{true, 1000, 20, 35}, run{false, 1000, 30, 495}, run{true, 1, 20, 35}}) {
    SCOPED_TRACE(std::string(c.exact ? "exact" : "approximate") + ", max_passes " + std::to_string(c.max_passes));
    const auto Xt = test_samples(p, c.fresh, 9);
    const std::int64_t nt = static_cast<std::int64_t>(Xt.size()) / p.d;
    auto call = [&](poll_count& state) {
      krr::operator_setup setup{p.X.data(), p.n, p.d, p.w.data(), ridge, 20,
                                std::numeric_limits<double>::infinity()};
      setup.threads = 1;  // the polls in the same order in every run
      setup.interrupt_pending = &poll;
      setup.interrupt_state = &state;
      krr::kernel_operator A;
      krr::allocation_failure failure;
      EXPECT_TRUE(A.prepare(setup, failure));
      krr::variance_settings s;
      s.max_passes = c.max_passes;
      s.batch = 16;
      s.max_rank = c.max_rank;
      std::vector<double> var(nt);
      return c.exact ? krr::exact_variances(A, Xt.data(), nt, s, var.data())
                     : krr::approximate_variances(A, Xt.data(), nt, s, var.data());
    };
    poll_count whole;
    const krr::solve_status status = call(whole).status;
    EXPECT_EQ(status, c.max_passes == 1 ? krr::solve_status::not_converged : krr::solve_status::converged);
    ASSERT_GT(whole.count, 4);
    for (long at : {0L, whole.count / 2, whole.count - 1}) {
      SCOPED_TRACE(at);
      poll_count stopped{0, at};
      EXPECT_EQ(call(stopped).status, krr::solve_status::interrupted);
      EXPECT_EQ(stopped.count, at + 1);
    }
    poll_count again;
    call(again);
    EXPECT_EQ(again.count, whole.count);
  }
}

}  // namespace
