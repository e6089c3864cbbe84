// The bordered inverse update against matrices inverted directly.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "tests/core/support/reference_solver.h"
#include "core/solve/block_inverse.h"

namespace {

// Grows the inverse of a random symmetric positive definite matrix one member at a time
// and compares every stage with a direct solve of the leading system.
TEST(GrowBlockInverse, MatchesDirectInversionAtEverySize) {
  const int k = 7;
  std::mt19937_64 gen(3);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::vector<double> B(k * k), A(k * k, 0.0), rhs(k);
  for (auto& b : B) b = unit(gen);
  for (int r = 0; r < k; ++r)
    for (int c = 0; c < k; ++c) {
      for (int l = 0; l < k; ++l) A[r * k + c] += B[r * k + l] * B[c * k + l];
      if (r == c) A[r * k + c] += 0.5;
    }
  for (auto& v : rhs) v = unit(gen);

  std::vector<double> inv(k * k, 0.0), delta(k, 0.0), row(k), u(k);
  inv[0] = 1.0 / A[0];
  delta[0] = inv[0] * rhs[0];
  for (int a = 1; a < k; ++a) {
    for (int c = 0; c <= a; ++c) row[c] = A[a * k + c];
    krr::grow_block_inverse(inv.data(), delta.data(), row.data(), rhs.data(), a, k, u.data());
    const int size = a + 1;
    std::vector<double> lead(size * size);
    for (int r = 0; r < size; ++r)
      for (int c = 0; c < size; ++c) lead[r * size + c] = A[r * k + c];
    const auto x = reference::dense_solve(lead, std::vector<double>(rhs.begin(), rhs.begin() + size), size);
    for (int r = 0; r < size; ++r) EXPECT_NEAR(delta[r], x[r], 1e-10) << "size " << size;
    for (int c = 0; c < size; ++c) {
      std::vector<double> e(size, 0.0);
      e[c] = 1.0;
      const auto col = reference::dense_solve(lead, e, size);
      for (int r = 0; r < size; ++r) {
        EXPECT_NEAR(inv[r * k + c], col[r], 1e-9);
        EXPECT_EQ(inv[r * k + c], inv[c * k + r]);  // stays symmetric exactly
      }
    }
  }
}

TEST(GrowBlockInverse, TwoByTwoIsExact) {
  // [4 2; 2 3]^-1 = [3 -2; -2 4] / 8, all representable.
  const int k = 2;
  double inv[4] = {0.25, 0, 0, 0};
  double rhs[2] = {8.0, 16.0};
  double delta[2] = {2.0, 0};
  const double row[2] = {2.0, 3.0};
  double u[1];
  krr::grow_block_inverse(inv, delta, row, rhs, 1, k, u);
  EXPECT_EQ(inv[0], 3.0 / 8);
  EXPECT_EQ(inv[1], -2.0 / 8);
  EXPECT_EQ(inv[2], -2.0 / 8);
  EXPECT_EQ(inv[3], 4.0 / 8);
  EXPECT_EQ(delta[0], -1.0);
  EXPECT_EQ(delta[1], 6.0);
}

TEST(GrowBlockInverse, ZeroBorderLeavesOldPartAndTouchesNothingBeyond) {
  const int k = 5, a = 2;
  std::vector<double> inv(k * k, 777.0), delta(k, 777.0), u(k);
  inv[0] = 0.5;  inv[1] = 0.1;
  inv[k] = 0.1;  inv[k + 1] = 0.25;
  delta[0] = 1.5;
  delta[1] = -2.0;
  const std::vector<double> row = {0.0, 0.0, 4.0};
  const std::vector<double> rhs = {9.0, 9.0, 3.0};
  krr::grow_block_inverse(inv.data(), delta.data(), row.data(), rhs.data(), a, k, u.data());
  EXPECT_EQ(inv[0], 0.5);
  EXPECT_EQ(inv[1], 0.1);
  EXPECT_EQ(inv[k + 1], 0.25);
  EXPECT_EQ(inv[a * k + a], 0.25);
  EXPECT_EQ(delta[0], 1.5);
  EXPECT_EQ(delta[1], -2.0);
  EXPECT_EQ(delta[a], 3.0 / 4.0);
  for (int r = 0; r < k; ++r)
    for (int c = 0; c < k; ++c)
      if (r > a || c > a) {
        EXPECT_EQ(inv[r * k + c], 777.0) << r << "," << c;
      }
  for (int r = a + 1; r < k; ++r) EXPECT_EQ(delta[r], 777.0);
}

// The interleaved rows and vector lanes against the update written out plainly, on
// arbitrary (non-symmetric) data so that a row read as a column would show, at every
// size around the interleave and lane widths.
TEST(GrowBlockInverse, EqualsThePlainLoopsBitForBit) {
  std::mt19937_64 gen(11);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  for (int a = 1; a <= 37; ++a) {
    const int k = a + 3;
    std::vector<double> inv(k * k), delta(k), row(a + 1), rhs(a + 1), u(k);
    for (auto& v : inv) v = unit(gen);
    for (auto& v : delta) v = unit(gen);
    for (auto& v : row) v = unit(gen);
    for (auto& v : rhs) v = unit(gen);
    row[a] += 4.0;
    std::vector<double> want_inv = inv, want_delta = delta;
    reference::grow(want_inv, want_delta, row, rhs, a, k);

    krr::grow_block_inverse(inv.data(), delta.data(), row.data(), rhs.data(), a, k, u.data());
    for (int i = 0; i < k * k; ++i) ASSERT_EQ(inv[i], want_inv[i]) << "a " << a << ", entry " << i;
    for (int i = 0; i < k; ++i) ASSERT_EQ(delta[i], want_delta[i]) << "a " << a << ", entry " << i;
  }
}

}  // namespace
