// Reading of KRR_NUM_THREADS (thread_setting.h).
#include "core/exact_arithmetic.h"

#include "modules/host/thread_setting.h"

#include "core/parallel/system_resources.h"
#include "modules/host/call_failure.h"

namespace host {

int requested_threads(const char* fn) {
  const krr::environment_setting s = krr::thread_setting();
  if (!s.set) return 0;
  if (s.valid) return static_cast<int>(s.value);
  static bool warned = false;  // once per session: the setting is read at every call
  if (!warned) {
    warned = true;
    warn(fn, "threadSetting",
         "KRR_NUM_THREADS = '%.40s' is not a whole number from 1 to 1024; using the default, "
         "one thread per processor this process may use (%d)",
         s.text.c_str(), krr::available_cpus());
  }
  return 0;
}

}  // namespace host
