// The shared helpers: summation order, the largest-magnitude search's tie and NaN rules,
// and the cache sizing rule.
#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <limits>
#include <random>
#include <vector>

#include "common/kernel_math.h"
#include "training/kernel_cache.h"

namespace {

const double NaN = std::numeric_limits<double>::quiet_NaN();
const double Inf = std::numeric_limits<double>::infinity();

TEST(WeightedDot, SumsInIncreasingFeatureOrderFromZero) {
  // (1e16 + 1) - 1e16 is 0 in doubles; any other order of the sum gives 1.
  const double P[] = {1e16, 1.0, -1e16};
  const double Q[] = {1.0, 1.0, 1.0};
  const double w[] = {1.0, 1.0, 1.0, 1.0};
  EXPECT_EQ(krr::weighted_dot(P, 0, Q, 0, 3, w), 0.0);
  // Product then weight: (P*Q)*w, not P*(Q*w).
  const double a[] = {0.1};
  const double b[] = {0.3};
  const double v[] = {0.7};
  EXPECT_EQ(krr::weighted_dot(a, 0, b, 0, 1, v), (0.1 * 0.3) * 0.7);
  EXPECT_EQ(krr::weighted_dot(P, 0, Q, 0, 0, w), 0.0);  // d = 0
}

TEST(WeightedDot, AddressesSamplesByColumn) {
  const double X[] = {1, 2, 3, 4, 5, 6};  // d = 2, three samples
  const double w[] = {1.0, 10.0, 1.0};
  EXPECT_EQ(krr::weighted_dot(X, 1, X, 2, 2, w), 3.0 * 5.0 + 4.0 * 6.0 * 10.0);
  EXPECT_EQ(krr::weighted_sq_norm(X, 2, 2, w), 25.0 + 360.0);
}

TEST(MaxAbsEntry, TiesKeepTheLowerIndexAndNaNNeverWins) {
  const double ties[] = {1.0, -3.0, 3.0, 2.0};
  EXPECT_EQ(krr::max_abs_entry(ties, 4).index, 1);
  EXPECT_EQ(krr::max_abs_entry(ties, 4).value, 3.0);

  const double late_nan[] = {1.0, NaN, 2.0};
  EXPECT_EQ(krr::max_abs_entry(late_nan, 3).index, 2);

  const double first_nan[] = {NaN, 5.0, Inf};
  const auto r = krr::max_abs_entry(first_nan, 3);
  EXPECT_EQ(r.index, 0);
  EXPECT_TRUE(std::isnan(r.value));

  const double one[] = {-0.5};
  EXPECT_EQ(krr::max_abs_entry(one, 1).value, 0.5);
}

TEST(MaxAbsEntry, SplitIntoPartsGivesTheWholeScan) {
  std::mt19937_64 gen(5);
  std::uniform_int_distribution<int> pick(0, 9);
  for (int trial = 0; trial < 2000; ++trial) {
    const int n = 1 + trial % 23;
    std::vector<double> v(n);
    // Few distinct magnitudes so ties are common; NaNs and infinities anywhere.
    for (auto& x : v) {
      const int c = pick(gen);
      x = c == 0 ? NaN : c == 1 ? -Inf : (c % 4) * (c % 2 ? 1.0 : -1.0);
    }
    const krr::max_abs_result whole = krr::max_abs_entry(v.data(), n);
    krr::max_abs_result merged{std::fabs(v[0]), 0};
    for (int begin = 0; begin < n;) {
      const int end = std::min(n, begin + 1 + pick(gen) % 5);
      krr::merge_max_abs(merged, krr::max_abs_part(v.data(), begin, end));
      begin = end;
    }
    ASSERT_EQ(merged.index, whole.index) << "trial " << trial;
  }
}

TEST(CacheColumnCount, FollowsTheBudgetWithinTwoAndN) {
  const int n = 100;
  EXPECT_EQ(krr::cache_column_count(0.0, n), 2);
  EXPECT_EQ(krr::cache_column_count(-1e9, n), 2);
  EXPECT_EQ(krr::cache_column_count(-Inf, n), 2);
  EXPECT_EQ(krr::cache_column_count(NaN, n), 2);
  EXPECT_EQ(krr::cache_column_count(8.0 * n * 2 - 1, n), 2);
  EXPECT_EQ(krr::cache_column_count(8.0 * n * 37, n), 37);
  EXPECT_EQ(krr::cache_column_count(8.0 * n * 37 + 799, n), 37);
  EXPECT_EQ(krr::cache_column_count(8.0 * n * n, n), n);
  EXPECT_EQ(krr::cache_column_count(Inf, n), n);
  EXPECT_EQ(krr::cache_column_count(1e300, n), n);  // column count beyond 32 bits
  EXPECT_EQ(krr::cache_column_count(1e300, 1), 2);  // never below two slots
}

TEST(CacheSlot, FollowsMembersWithoutOverflow) {
  EXPECT_EQ(krr::cache_slot_for(3, 4, 2, 5), (3 * 4 + 2) % 5);
  // k*t beyond 32 bits.
  const std::int64_t t = 3000000000LL;
  EXPECT_EQ(krr::cache_slot_for(1000, t, 7, 999983),
            static_cast<int>((1000LL * t + 7) % 999983));
}

}  // namespace
