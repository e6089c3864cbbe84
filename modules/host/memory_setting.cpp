// Reading of the memory a call may plan for (memory_setting.h).
#include "core/exact_arithmetic.h"

#include "modules/host/memory_setting.h"

#include <cmath>

#include "core/parallel/system_resources.h"
#include "modules/host/call_failure.h"

namespace host {

double usable_memory(const char* fn) {
  const double bytes = krr::available_memory_bytes();
  const krr::environment_setting s = krr::memory_limit_setting();
  if (!s.set) return bytes;
  if (s.valid) return std::fmin(bytes, s.value);
  static bool warned = false;  // once per session: the setting is read at every call
  if (!warned) {
    warned = true;
    warn(fn, "memorySetting", "KRR_MEMORY_LIMIT = '%.40s' is not a positive number of bytes; it is ignored",
         s.text.c_str());
  }
  return bytes;
}

}  // namespace host
