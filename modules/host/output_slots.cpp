// Output slot handling shared by both modules.
#include "core/exact_arithmetic.h"

#include "modules/host/output_slots.h"

namespace host {

void store_outputs(int nlhs, mxArray* plhs[], mxArray* const outputs[], int count) {
  const int slots = nlhs < 1 ? 1 : nlhs;
  for (int i = 0; i < count; ++i) {
    if (i < slots) {
      plhs[i] = outputs[i];
    } else if (outputs[i]) {
      mxDestroyArray(outputs[i]);
    }
  }
}

void destroy_outputs(mxArray* const outputs[], int count) {
  for (int i = 0; i < count; ++i) {
    if (outputs[i]) mxDestroyArray(outputs[i]);
  }
}

void hand_over_outputs(bool failed, int nlhs, mxArray* plhs[], mxArray* const outputs[],
                       int count) {
  if (failed) {
    destroy_outputs(outputs, count);
  } else {
    store_outputs(nlhs, plhs, outputs, count);
  }
}

}  // namespace host
