// Finding the C library's unwrapped exp entry (see library_exp.h) and checking it.
#include "core/exact_arithmetic.h"

#include "core/kernel/library_exp.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#if defined(__GLIBC__)
#include <dlfcn.h>
#endif

namespace krr {

namespace {

bool same_bits(double a, double b) {
  std::uint64_t x, y;
  std::memcpy(&x, &a, sizeof x);
  std::memcpy(&y, &b, sizeof y);
  return x == y;
}

bool agrees(exp_function fn, double x) { return same_bits(fn(x), std::exp(x)); }

bool agrees_with_exp(exp_function fn) {
  // The kernel's arguments are minus a weighted squared distance: a dense sweep of
  // [-64, 0] with steps that are not binary fractions, so every table entry and both
  // ends of each reduction interval are met many times over.
  for (int i = 0; i <= 65536; ++i) {
    if (!agrees(fn, -i * (64.0 / 65536.0) * 1.0000001)) return false;
  }
  // Results that go subnormal and to zero, and arguments that overflow.
  for (int i = 0; i <= 4096; ++i) {
    if (!agrees(fn, -700.0 - i * (50.0 / 4096.0)) || !agrees(fn, 700.0 + i * (15.0 / 4096.0)))
      return false;
  }
  const double inf = std::numeric_limits<double>::infinity();
  const double specials[] = {0.0, -0.0, 1e-300, -1e-300, 0x1p-60, -0x1p-60, 1.0, -1.0,
                             inf, -inf, std::numeric_limits<double>::quiet_NaN(),
                             std::numeric_limits<double>::denorm_min(), -1e308, 1e308};
  for (double x : specials) {
    if (!agrees(fn, x)) return false;
  }
  return true;
}

exp_function find_unwrapped_exp() {
#if defined(__GLIBC__)
  // Ask the very library that provides exp, so the entry is the one its exp wraps.
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(static_cast<double (*)(double)>(&::exp)), &info) == 0 ||
      info.dli_fname == nullptr)
    return nullptr;
  void* library = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
  if (library == nullptr) return nullptr;
  void* entry = dlvsym(library, "__exp_finite", "GLIBC_2.15");
  dlclose(library);  // it stays loaded: exp itself lives there
  return reinterpret_cast<exp_function>(entry);
#else
  return nullptr;
#endif
}

}  // namespace

double plain_exp(double x) { return std::exp(x); }

exp_function checked_exp_entry(exp_function candidate) {
  return candidate != nullptr && agrees_with_exp(candidate) ? candidate : &plain_exp;
}

exp_function library_exp() {
  static const exp_function chosen = checked_exp_entry(find_unwrapped_exp());
  return chosen;
}

}  // namespace krr
