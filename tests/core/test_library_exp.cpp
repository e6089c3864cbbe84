// The exp entry the kernel loops call: it must agree with exp bit for bit, and a candidate
// that differs anywhere in the checked ranges must be turned down.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>

#include "common/library_exp.h"

namespace {

std::uint64_t bits(double v) {
  std::uint64_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

TEST(LibraryExp, AgreesWithExpOnRandomKernelArguments) {
  const krr::exp_function fn = krr::library_exp();
  std::mt19937_64 gen(7);
  std::uniform_real_distribution<double> kernel_range(-80.0, 0.0);
  std::uniform_real_distribution<double> any_range(-760.0, 720.0);
  for (int i = 0; i < 2000000; ++i) {
    const double x = i % 4 == 3 ? any_range(gen) : kernel_range(gen);
    ASSERT_EQ(bits(fn(x)), bits(std::exp(x))) << "x = " << x;
  }
}

#if defined(__GLIBC__) && defined(__x86_64__)
TEST(LibraryExp, UsesTheUnwrappedEntryOnGlibc) {
  // Otherwise the loops silently keep paying for the errno wrapper.
  EXPECT_NE(krr::library_exp(), &krr::plain_exp);
}
#endif

double off_by_one_ulp_near_minus_3(double x) {
  const double e = std::exp(x);
  return x > -3.01 && x < -2.99 ? std::nextafter(e, 1.0) : e;
}
double wrong_underflow(double x) { return x < -740.0 ? 0x1p-1074 : std::exp(x); }
double wrong_nan(double x) { return std::isnan(x) ? 0.0 : std::exp(x); }

TEST(LibraryExp, TurnsDownACandidateThatDiffersAnywhereChecked) {
  EXPECT_EQ(krr::checked_exp_entry(&off_by_one_ulp_near_minus_3), &krr::plain_exp);
  EXPECT_EQ(krr::checked_exp_entry(&wrong_underflow), &krr::plain_exp);
  EXPECT_EQ(krr::checked_exp_entry(&wrong_nan), &krr::plain_exp);
  EXPECT_EQ(krr::checked_exp_entry(nullptr), &krr::plain_exp);
  double (*same)(double) = [](double x) { return std::exp(x); };
  EXPECT_EQ(krr::checked_exp_entry(same), same);
}

}  // namespace
