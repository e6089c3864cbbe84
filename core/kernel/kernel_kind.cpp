// The kernels' names (kernel_kind.h).
#include "core/exact_arithmetic.h"

#include "core/kernel/kernel_kind.h"

#include <cctype>

namespace krr {

const char* kernel_name(kernel_kind kind) {
  switch (kind) {
    case kernel_kind::matern12: return "matern12";
    case kernel_kind::matern32: return "matern32";
    case kernel_kind::matern52: return "matern52";
    default: return "squaredexponential";
  }
}

bool kernel_from_name(const std::string& name, kernel_kind& kind) {
  std::string s = name;
  for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  const struct {
    const char* name;
    kernel_kind kind;
  } names[] = {{"squaredexponential", kernel_kind::gaussian}, {"gaussian", kernel_kind::gaussian},
               {"se", kernel_kind::gaussian},                 {"rbf", kernel_kind::gaussian},
               {"matern12", kernel_kind::matern12},           {"exponential", kernel_kind::matern12},
               {"matern32", kernel_kind::matern32},           {"matern52", kernel_kind::matern52}};
  for (const auto& entry : names) {
    if (s == entry.name) {
      kind = entry.kind;
      return true;
    }
  }
  return false;
}

}  // namespace krr
