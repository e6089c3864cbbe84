// Reading of KRR_NUM_THREADS.
#include "host/thread_setting.h"

#include <cstdlib>

namespace host {

int requested_threads() {
  const char* text = std::getenv("KRR_NUM_THREADS");
  if (!text || !*text) return 0;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*end != '\0' || value < 1 || value > 1024) return 0;
  return static_cast<int>(value);
}

}  // namespace host
