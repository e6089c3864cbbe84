// A refusal or failure of a module call, recorded while the call still holds resources
// and raised through the host's error call only once they are all released: the host's
// error call unwinds (or jumps) out of the module, so nothing may be live when it runs.
#pragma once

#include "mex.h"

namespace host {

struct call_failure {
  bool failed = false;
  char function[32] = {0};
  char id[64] = {0};
  char message[768] = {0};  // without the leading "<function>: "
};

// Records "<function>: <formatted text>" under the identifier "<function>:<what>".
// The first failure recorded wins; later ones are ignored.
void fail(call_failure& failure, const char* function, const char* what, const char* format,
          ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 4, 5)))
#endif
    ;

// Raises a recorded failure through the host's error call; does nothing if none.
void raise_if_failed(const call_failure& failure);

// Issues "<function>: <formatted text>" through the host's warning call.
void warn(const char* function, const char* what, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

}  // namespace host
