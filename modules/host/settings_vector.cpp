// Reading a settings vector (settings_vector.h).
#include "modules/host/settings_vector.h"

#include <cmath>

#include "modules/host/argument_checks.h"

namespace host {

bool read_settings(const mxArray* a, const setting_rule* rules, std::size_t count,
                   const char* fn, double* values, call_failure& failure) {
  if (!check_real_double_array(a, fn, "settings", failure)) return false;
  const bool vector = mxGetNumberOfDimensions(a) == 2 && (mxGetM(a) == 1 || mxGetN(a) == 1);
  if (!vector || mxGetNumberOfElements(a) != count) {
    fail(failure, fn, "invalidInput", "settings must be a vector of %zu elements, got %zu%s", count,
         static_cast<std::size_t>(mxGetNumberOfElements(a)), vector ? "" : " in a matrix");
    return false;
  }
  const double* v = mxGetPr(a);
  for (std::size_t i = 0; i < count; ++i) {
    const setting_rule& rule = rules[i];
    const bool ok = v[i] >= rule.low && v[i] <= rule.high && (!rule.whole || v[i] == std::floor(v[i]));
    if (!ok) {
      char shown[32];
      fail(failure, fn, "invalidInput", "setting %zu (%s) must be %s from %g to %g, got %s",
           i + 1, rule.name, rule.whole ? "a whole number" : "a number", rule.low, rule.high,
           show(v[i], shown));
      return false;
    }
    values[i] = v[i];
  }
  return true;
}

}  // namespace host
