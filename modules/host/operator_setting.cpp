// A module call's kernel operator (operator_setting.h).
#include "core/exact_arithmetic.h"

#include "modules/host/operator_setting.h"

#include "modules/host/memory_setting.h"
#include "modules/host/thread_setting.h"

namespace host {

call_resources read_resources(const char* fn) {
  const int threads = requested_threads(fn);
  return {threads, usable_memory(fn)};
}

bool prepare_operator(module_call& call, const call_resources& resources, const mxArray* X,
                      const mxArray* w, double ridge, int k, double cache_bytes,
                      double other_bytes, const char* other_what, krr::kernel_operator& A) {
  krr::operator_setup setup{mxGetPr(X), static_cast<int>(mxGetN(X)), static_cast<int>(mxGetM(X)),
                            mxGetPr(w), ridge, k, cache_bytes};
  setup.memory_bytes = resources.memory;
  setup.other_bytes = other_bytes;
  setup.other_what = other_what;
  setup.threads = resources.threads;
  setup.interrupt_pending = &signal_pending;
  setup.interrupt_state = &call.watch;
  krr::allocation_failure failure;
  if (A.prepare(setup, failure)) return true;
  fail(call.failure, call.fn, "outOfMemory", "could not allocate %.0f bytes for %s",
       failure.bytes, failure.what);
  return false;
}

}  // namespace host
