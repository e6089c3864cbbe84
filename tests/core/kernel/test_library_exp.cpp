// The exp entry the kernel loops call: a candidate that differs from exp anywhere in the
// checked ranges must be turned down, and the library's own entry must be found.
#include <gtest/gtest.h>

#include <cmath>

#if defined(__GLIBC__)
#include <dlfcn.h>
#endif

#include "core/kernel/library_exp.h"

namespace {

#if defined(__GLIBC__)
// Where the C library exports the unwrapped entry and it passes the check, the kernel loops
// must get it: a lookup that silently fails costs a third of every kernel evaluation. Where
// the library has no such entry (other architectures, later libraries) exp is the right
// choice and there is nothing to test.
TEST(LibraryExp, UsesTheUnwrappedEntryWhereTheLibraryExportsIt) {
  void* entry = dlvsym(RTLD_DEFAULT, "__exp_finite", "GLIBC_2.15");
  if (entry == nullptr) GTEST_SKIP() << "this C library exports no unwrapped exp entry";
  const auto exported = reinterpret_cast<krr::exp_function>(entry);
  if (krr::checked_exp_entry(exported) != exported) {
    GTEST_SKIP() << "this C library's entry differs from exp";
  }
  EXPECT_EQ(krr::library_exp(), exported);
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
