// Hands a module's outputs to the host. The host's output slot array holds exactly
// max(nlhs, 1) entries, so only that many outputs are stored; the rest are released.
#pragma once

#include "mex.h"

namespace host {

void store_outputs(int nlhs, mxArray* plhs[], mxArray* const outputs[], int count);

void destroy_outputs(mxArray* const outputs[], int count);

// The end of every call: the outputs to the host, or released where the call failed.
void hand_over_outputs(bool failed, int nlhs, mxArray* plhs[], mxArray* const outputs[], int count);

}  // namespace host
