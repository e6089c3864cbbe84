// Formatting and raising of recorded call failures and of warnings. Octave's error and
// warning calls already start the message with "<function>: "; the other host's do not,
// so the prefix is added there.
#include "core/exact_arithmetic.h"

#include "modules/host/call_failure.h"

#include <cstdarg>
#include <cstdio>

namespace host {

namespace {

#if defined(HAVE_OCTAVE)
constexpr bool HOST_ADDS_PREFIX = true;
#else
constexpr bool HOST_ADDS_PREFIX = false;
#endif

}  // namespace

void fail(call_failure& failure, const char* function, const char* what, const char* format,
          ...) {
  if (failure.failed) return;
  failure.failed = true;
  std::snprintf(failure.function, sizeof failure.function, "%s", function);
  std::snprintf(failure.id, sizeof failure.id, "%s:%s", function, what);
  va_list args;
  va_start(args, format);
  std::vsnprintf(failure.message, sizeof failure.message, format, args);
  va_end(args);
}

void raise_if_failed(const call_failure& failure) {
  // The text goes through "%s" so nothing of the caller's is read as a format.
  if (!failure.failed) return;
  if (HOST_ADDS_PREFIX) {
    mexErrMsgIdAndTxt(failure.id, "%s", failure.message);
  } else {
    mexErrMsgIdAndTxt(failure.id, "%s: %s", failure.function, failure.message);
  }
}

void warn(const char* function, const char* what, const char* format, ...) {
  char id[64];
  char text[768];
  std::snprintf(id, sizeof id, "%s:%s", function, what);
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (HOST_ADDS_PREFIX) {
    mexWarnMsgIdAndTxt(id, "%s", text);
  } else {
    mexWarnMsgIdAndTxt(id, "%s: %s", function, text);
  }
}

}  // namespace host
