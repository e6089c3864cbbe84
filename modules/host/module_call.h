// One call of a module, from its entry to its return: what every mexFunction shares. The
// entry validates its arguments and creates its outputs through this object, runs the core
// under run_core, which turns the core's exceptions into the call's failure, and ends with
// finish: the outputs go to the host (or are released where the call failed), then any
// signal the host raised during the call is thrown again and any failure is raised, each
// only once nothing of the call is live.
#pragma once

#include <exception>
#include <new>

#include "mex.h"
#include "modules/host/call_failure.h"
#include "modules/host/interrupt.h"

namespace host {

class module_call {
 public:
  static constexpr int MOST_OUTPUTS = 8;

  module_call(const char* fn, int nlhs, mxArray* plhs[]) : fn(fn), nlhs_(nlhs), plhs_(plhs) {}
  module_call(const module_call&) = delete;
  module_call& operator=(const module_call&) = delete;

  // Output i of the call, created by the entry (null until then).
  void set_output(int i, mxArray* a);
  mxArray* output(int i) const { return outputs_[i]; }
  double* output_data(int i) const { return mxGetPr(outputs_[i]); }

  // The outputs to the host or released, then the host's signal or the failure raised.
  void finish();

  const char* const fn;
  call_failure failure;
  signal_watch watch;  // the interrupt polling's state (signal_pending)

 private:
  int nlhs_;
  mxArray** plhs_;
  mxArray* outputs_[MOST_OUTPUTS] = {};
  int count_ = 0;
};

// Runs work(), which calls the host-free core; an allocation failure there becomes the
// call's outOfMemory failure ("out of memory while <activity>"), any other exception its
// internalError. The core calls no host function that could throw the host's own.
template <typename Work>
void run_core(module_call& call, const char* activity, Work&& work) {
  try {
    work();
  } catch (const std::bad_alloc&) {
    fail(call.failure, call.fn, "outOfMemory", "out of memory while %s", activity);
  } catch (const std::exception& e) {
    fail(call.failure, call.fn, "internalError", "unexpected failure: %s", e.what());
  } catch (...) {
    fail(call.failure, call.fn, "internalError", "unexpected failure");
  }
}

}  // namespace host
