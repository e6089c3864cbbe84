// Reading of KRR_NUM_THREADS (thread_setting.h).
#include "core/exact_arithmetic.h"

#include "modules/host/thread_setting.h"

#include <cstdlib>

#include "core/parallel/system_resources.h"
#include "modules/host/call_failure.h"

namespace host {

int requested_threads(const char* fn) {
  const char* text = std::getenv("KRR_NUM_THREADS");
  if (!text || !*text) return 0;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*end == '\0' && value >= 1 && value <= 1024) return static_cast<int>(value);
  static bool warned = false;  // once per session: the setting is read at every call
  if (!warned) {
    warned = true;
    warn(fn, "threadSetting",
         "KRR_NUM_THREADS = '%.40s' is not a whole number from 1 to 1024; using the default, "
         "one thread per processor this process may use (%d)",
         text, krr::available_cpus());
  }
  return 0;
}

}  // namespace host
