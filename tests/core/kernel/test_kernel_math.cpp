// The shared helpers: summation order, the kernel frame's rule, the largest-magnitude
// search's tie and NaN rules, and the cache sizing rule.
#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <limits>
#include <random>
#include <vector>

#include "core/kernel/kernel_frame.h"
#include "core/kernel/kernel_math.h"
#include "core/solve/kernel_cache.h"

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
  // Sample offsets past 2^31 (2^20 samples of 2^12 features), in 64 bits.
  EXPECT_EQ(krr::sample_offset((1 << 20) + 3, 1 << 12), (std::int64_t{1} << 32) + 3 * (1 << 12));
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

// The plain order wherever it is accurate (so its bits stay those of the plain formula),
// centred samples where its norms cancel or overflow, differences where those overflow too.
TEST(KernelFrame, CentresOnlyWhereThePlainOrderLosesAccuracy) {
  auto form_of = [](std::vector<double> X, int d, std::vector<double> w) {
    return krr::choose_kernel_frame(X.data(), d, static_cast<std::int64_t>(X.size()) / d, w.data()).form;
  };
  using krr::kernel_form;
  EXPECT_EQ(form_of({0.1, 0.9, 0.5, 0.3}, 1, {3.0}), kernel_form::plain);
  EXPECT_EQ(form_of({10.0, 10.5, 10.2}, 1, {1.0}), kernel_form::plain);  // norms <= 2048
  EXPECT_EQ(form_of({1e6, 1e6 + 0.5, 1e6 + 0.2}, 1, {1.0}), kernel_form::centred);
  EXPECT_EQ(form_of({40.0, 41.0}, 1, {4.0}), kernel_form::centred);  // 6400 > 64 * 1
  EXPECT_EQ(form_of({4.0, 6.0}, 1, {100.0}), kernel_form::plain);    // 3600 <= 64 * 100
  EXPECT_EQ(form_of({1e8, 1e8}, 1, {1.0}), kernel_form::centred);    // no spread at all
  EXPECT_EQ(form_of({0.5, 1e200, 0.7, -1e200}, 2, {1.0, 0.0}), kernel_form::centred);
  EXPECT_EQ(form_of({1e200, 1e200 + 1e185}, 1, {1.0}), kernel_form::differences);
  // Norms safely finite but so large that the fast order cancels beyond use: a feature
  // spread over 2^53 (and a weight-0 feature of huge values, whose plain norms are NaN).
  EXPECT_EQ(form_of({0.0, 0.0, 0x1p53, -1e200}, 2, {1.5, 0.0}), kernel_form::differences);
  EXPECT_EQ(form_of({0.0, 65536.0}, 1, {1.0}), kernel_form::plain);     // 2^32: still fast
  EXPECT_EQ(form_of({0.0, 65537.0}, 1, {1.0}), kernel_form::centred);   // beyond, centred
  const std::vector<double> X = {1e6, 3.0, 1e6 + 2, 5.0};
  const std::vector<double> w = {1.0, 1.0};
  const krr::kernel_frame frame = krr::choose_kernel_frame(X.data(), 2, 2, w.data());
  EXPECT_EQ(frame.centre, (std::vector<double>{1e6 + 1, 4.0}));
}

// The differences form against its formula, and where squares of differences overflow.
TEST(KernelFrame, WeightedSquaredDistanceSkipsWeightZeroAndAvoidsOverflow) {
  const double a[] = {1.0, 2.0, 1e300};
  const double b[] = {0.5, -1.0, -1e300};
  const double w[] = {2.0, 0.25, 0.0};
  EXPECT_EQ(krr::weighted_sq_distance(a, b, 3, w), (0.5 * 2.0) * 0.5 + (3.0 * 0.25) * 3.0);
  const double far[] = {1e160};
  const double zero[] = {0.0};
  const double tiny[] = {1e-320};
  EXPECT_NEAR(krr::weighted_sq_distance(far, zero, 1, tiny), 1e-320 * 1e160 * 1e160, 1e-4);
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
