// One block step against the kernel matrix built in full, on nearly singular blocks too,
// and the cache's bookkeeping.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "tests/core/support/block_step_harness.h"
#include "tests/core/support/operator_fixture.h"
#include "core/kernel/kernel_math.h"
#include "tests/core/support/test_support.h"
#include "core/solve/block_step.h"
#include "core/solve/gradient_update.h"

namespace {

using testing_support::harness;

TEST(BlockStep, SolvesTheBlockExactlyAndUpdatesTheGradient) {
  for (int n : {5, 59, 60, 97}) {
    for (int k : {1, 2, 4, 5}) {
      harness h(testing_support::random_problem(n, 3, n + k), 0.3, k, 3);
      const auto A = reference::dense_system(h.p.X, h.p.w, h.ridge, n, h.p.d);
      const std::vector<double> old_grad = h.grad;
      reference::sequence seq(n * 31 + k);
      auto rng = testing_support::source_of(seq);
      h.step(0, rng);

      EXPECT_EQ(seq.drawn, 60 * k);
      EXPECT_EQ(h.member(0), krr::max_abs_entry(old_grad.data(), n).index);
      std::set<int> members(h.ws.block_index, h.ws.block_index + k);
      EXPECT_EQ(static_cast<int>(members.size()), k) << "members must be distinct";

      // grad = old grad + (K + ridge I)[:, B] delta, and zero at the members.
      for (int r = 0; r < n; ++r) {
        double expect = old_grad[r];
        for (int j = 0; j < k; ++j) expect += A[static_cast<size_t>(r) * n + h.member(j)] * h.delta(j);
        EXPECT_NEAR(h.grad[r], expect, 1e-12) << "n " << n << " k " << k << " row " << r;
      }
      for (int j = 0; j < k; ++j) EXPECT_NEAR(h.grad[h.member(j)], 0.0, 1e-12);
      if (k == 1) {
        const int s = h.member(0);
        EXPECT_EQ(h.delta(0), (1.0 / A[static_cast<size_t>(s) * n + s]) * -old_grad[s]);
      }
    }
  }
}

TEST(BlockStep, CacheHoldsExactColumnsAndEvictsByMemberPlace) {
  const int n = 40, k = 3, m = 4;
  harness h(testing_support::random_problem(n, 2, 9), 0.05, k, m);
  const auto A = reference::dense_system(h.p.X, h.p.w, h.ridge, n, h.p.d);
  reference::sequence seq(5);
  auto rng = testing_support::source_of(seq);
  for (std::int64_t t = 0; t < 12; ++t) {
    std::vector<int> before(n);
    for (int s = 0; s < n; ++s) before[s] = h.cache.slot_of(s);
    h.step(t, rng);
    h.expect_maps_agree();
    for (int i = 0; i < k; ++i) {
      const int s = h.member(i);
      ASSERT_NE(h.cache.slot_of(s), 0);
      // A member that missed is stored in the slot its place (k*t + i) mod m names.
      if (before[s] == 0) {
        EXPECT_EQ(h.cache.slot_of(s) - 1, krr::cache_slot_for(k, t, i, m));
      }
    }
    for (int q = 0; q < m; ++q) {
      if (!h.cache.sample_in(q)) continue;
      const int s = h.cache.sample_in(q) - 1;
      for (int r = 0; r < n; ++r)
        EXPECT_NEAR(h.cache.slot_column(q)[r], A[static_cast<size_t>(r) * n + s], 1e-14);
    }
  }
}

TEST(BlockStep, FullSizeCacheComputesEachColumnOnce) {
  // With a slot for every sample the ring would still overwrite columns once k*t + i wraps
  // past n; here columns take unused slots in turn, so every column is computed at most once.
  for (int threads : {1, 2}) {
    const int n = 70, k = 9;
    harness h(testing_support::random_problem(n, 3, 17), 0.1, k, n, threads);
    const auto A = reference::dense_system(h.p.X, h.p.w, h.ridge, n, h.p.d);
    reference::sequence seq(23);
    auto rng = testing_support::source_of(seq);
    std::set<int> requested;
    for (std::int64_t t = 0; t < 40; ++t) {  // about five passes, the ring wrapping each
      h.step(t, rng);
      requested.insert(h.ws.block_index, h.ws.block_index + k);
      h.expect_maps_agree();
      EXPECT_EQ(h.cache.misses(), static_cast<std::int64_t>(requested.size())) << "step " << t;
    }
    for (int s : requested) {
      // Slots are taken in order of first computation: the first `requested` ones.
      ASSERT_GT(h.cache.slot_of(s), 0);
      ASSERT_LE(h.cache.slot_of(s), static_cast<int>(requested.size()));
      const size_t q = static_cast<size_t>(h.cache.slot_of(s) - 1);
      for (int r = 0; r < n; ++r)
        EXPECT_NEAR(h.cache.slot_column(static_cast<int>(q))[r], A[static_cast<size_t>(r) * n + s], 1e-14);
    }
  }
}

TEST(BlockStep, PassesOverKKeepTheirFirstColumnsInACacheSmallerThanK) {
  // Products with K (conjugate gradients, Lanczos) use every column once a pass: a cache of
  // m < n slots keeps the first m they compute, so each later pass computes only n - m, and
  // the products are those of an operator without a cache, bit for bit.
  const int n = 90, m = 35;
  const testing_support::problem_data p = testing_support::random_problem(n, 3, 5);
  for (int threads : {1, 2}) {
    testing_support::operator_fixture cached(p, 0.1, 8, 8.0 * n * m, threads);
    testing_support::operator_fixture bare(p, 0.1, 8, 0.0, threads);
    ASSERT_EQ(cached.A.cache().slots(), m);
    std::vector<double> coef(2 * n);
    for (int i = 0; i < 2 * n; ++i) coef[i] = std::sin(1.0 + i);
    coef[7] = coef[n + 7] = 0.0;  // a sample no product needs
    for (int pass = 0; pass < 3; ++pass) {
      std::vector<double> out(2 * n, 0.0), expected(2 * n, 0.0);
      const std::int64_t before = cached.A.schedule().columns_computed();
      cached.A.accumulate(coef.data(), 2, out.data());
      bare.A.accumulate(coef.data(), 2, expected.data());
      EXPECT_EQ(out, expected) << "pass " << pass;
      EXPECT_EQ(cached.A.schedule().columns_computed() - before, pass == 0 ? n - 1 : n - 1 - m) << "pass " << pass;
    }
  }
}

TEST(BlockStep, FewerSlotsThanMembersAndBlockOfAllSamples) {
  // m < k: slot numbers repeat within a step; k = n: the last draws see an empty pool.
  for (int n : {2, 6, 13}) {
    harness h(testing_support::random_problem(n, 1, n), 0.2, n, 2);
    const auto A = reference::dense_system(h.p.X, h.p.w, h.ridge, n, h.p.d);
    reference::sequence seq(n);
    auto rng = testing_support::source_of(seq);
    h.step(0, rng);
    h.expect_maps_agree();
    EXPECT_EQ(seq.drawn, 60 * n);
    // With every sample in the block the step is the direct solve: grad is zero.
    for (int r = 0; r < n; ++r) EXPECT_NEAR(h.grad[r], 0.0, 1e-10);
    const auto x = reference::dense_solve(A, h.p.y, n);
    for (int j = 0; j < n; ++j) EXPECT_NEAR(h.delta(j), x[h.member(j)], 1e-9);
  }
}

// Near-singular blocks: the bordered update's pivots vanish, and with ridge 0 some members
// depend exactly on others. Every step must stay finite and lower the objective, as an
// exact block minimisation of a positive (semi)definite quadratic does.
TEST(BlockStep, NeverRaisesTheObjectiveOnNearlySingularBlocks) {
  const int n = 200;
  for (double ridge : {1e-8, 1e-12, 0.0}) {
    for (int k : {8, 32}) {
      SCOPED_TRACE(testing::Message() << "ridge " << ridge << " k " << k);
      harness h(testing_support::line_problem(n), ridge, k, n);
      const auto A = reference::dense_system(h.p.X, h.p.w, ridge, n, h.p.d);
      std::vector<double> alpha(n, 0.0);
      long double before = 0.0L;
      reference::sequence seq(k);
      auto rng = testing_support::source_of(seq);
      for (std::int64_t t = 0; t < 40; ++t) {
        h.step(t, rng);
        for (int j = 0; j < k; ++j) {
          ASSERT_TRUE(std::isfinite(h.delta(j))) << "step " << t;
          alpha[h.member(j)] += h.delta(j);
        }
        const long double after = reference::dense_objective(A, h.p.y, alpha, n);
        EXPECT_LE(after, before + 1e-9L * (1 + std::fabs(before))) << "step " << t;
        before = after;
      }
      if (ridge <= 1e-8) {
        EXPECT_GT(h.stats.unsafe_pivots, 0);
      }
    }
  }
}

// The tiled update against the plain loop over members then rows: every block size around
// the groups of members it sums together, ranges that start off a tile and end past one.
TEST(BlockStep, GradientUpdateMatchesThePlainLoopBitForBit) {
  const std::int64_t rows = 4100;
  std::mt19937_64 gen(7);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::vector<double> storage(static_cast<size_t>(rows) * 20);
  for (double& v : storage) v = unit(gen);
  std::vector<const double*> columns;
  for (int j = 0; j < 20; ++j) columns.push_back(storage.data() + j * rows);
  std::vector<double> delta(20), start(rows);
  for (double& v : delta) v = unit(gen);
  for (double& v : start) v = unit(gen);
  for (int k : {1, 3, 7, 8, 9, 16, 20}) {
    for (auto [begin, end] : {std::pair<std::int64_t, std::int64_t>{0, rows}, {5, 2061}, {3, 4}}) {
      std::vector<double> got = start, want = start;
      const krr::max_abs_result best =
          krr::update_gradient_rows(columns.data(), delta.data(), k, got.data(), begin, end);
      for (int j = 0; j < k; ++j) {
        for (std::int64_t r = begin; r < end; ++r) want[r] += columns[j][r] * delta[j];
      }
      SCOPED_TRACE(testing::Message() << "k " << k << " rows " << begin << ".." << end);
      for (std::int64_t r = 0; r < rows; ++r) ASSERT_EQ(got[r], want[r]) << "row " << r;
      const krr::max_abs_result plain = krr::max_abs_entry(want.data() + begin, end - begin);
      EXPECT_EQ(best.index, plain.index + begin);
      EXPECT_EQ(best.value, plain.value);
    }
  }
}

}  // namespace
