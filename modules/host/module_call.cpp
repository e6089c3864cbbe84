// One module call's outputs and ending (module_call.h).
#include "core/exact_arithmetic.h"

#include "modules/host/module_call.h"

#include "modules/host/output_slots.h"

namespace host {

void module_call::set_output(int i, mxArray* a) {
  outputs_[i] = a;
  if (i + 1 > count_) count_ = i + 1;
}

void module_call::finish() {
  hand_over_outputs(failure.failed, nlhs_, plhs_, outputs_, count_);
  count_ = 0;
  // Everything of the call is released: Octave's own answer to a signal goes on from here
  // (the command line ends on Ctrl-C); elsewhere the interrupted error is raised.
  rethrow_host_signal(watch);
  raise_if_failed(failure);
}

}  // namespace host
