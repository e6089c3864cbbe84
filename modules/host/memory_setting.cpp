// Reading of the memory a call may plan for (memory_setting.h).
#include "core/exact_arithmetic.h"

#include "modules/host/memory_setting.h"

#include <cmath>
#include <cstdlib>

#include "core/parallel/system_resources.h"
#include "modules/host/call_failure.h"

namespace host {

double usable_memory(const char* fn) {
  double bytes = krr::available_memory_bytes();
  const char* text = std::getenv("KRR_MEMORY_LIMIT");
  if (!text || !*text) return bytes;
  char* end = nullptr;
  const double limit = std::strtod(text, &end);
  if (*end == '\0' && limit > 0 && std::isfinite(limit)) return std::fmin(bytes, limit);
  static bool warned = false;  // once per session: the setting is read at every call
  if (!warned) {
    warned = true;
    warn(fn, "memorySetting",
         "KRR_MEMORY_LIMIT = '%.40s' is not a positive number of bytes; it is ignored", text);
  }
  return bytes;
}

}  // namespace host
