// Host entry of the package's memory query, which krrfit calls before a dense fit:
//   bytes = krr_memory ()
// The bytes this process may plan for: what the system says it can have (available memory,
// its control group's limit), and no more than KRR_MEMORY_LIMIT where that is set, as
// tarvel caps its cache by. +Inf where nothing is known.
#include "core/exact_arithmetic.h"

#include "mex.h"
#include "modules/host/argument_checks.h"
#include "modules/host/memory_setting.h"
#include "modules/host/module_call.h"

namespace {

constexpr const char* FN = "krr_memory";

void run(host::module_call& call, int nlhs, int nrhs) {
  if (!host::check_input_count(nrhs, 0, FN, call.failure) ||
      !host::check_output_count(nlhs, 1, FN, call.failure)) {
    return;
  }
  const double bytes = host::usable_memory(FN);  // may warn: before any output exists
  call.set_output(0, mxCreateDoubleMatrix(1, 1, mxREAL));
  *call.output_data(0) = bytes;
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray*[]) {
  host::module_call call(FN, nlhs, plhs);
  run(call, nlhs, nrhs);
  call.finish();
}
