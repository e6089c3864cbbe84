// A minimal host for tests: arrays of every class and shape, an allocator with an
// optional limit, captured printing, the error and warning calls (the error call throws
// a C++ exception of the host, as a real host unwinds out of a module), the interrupt
// flag, and a call routine that runs a module's mexFunction the way a host does and
// reports everything that went wrong at the boundary: writes around the output slots,
// arrays left behind, inputs changed, arrays used after release, host calls from other
// threads, errors swallowed by the module.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "mex.h"

// The modules' entries, renamed when compiled for the test host so that all of them link
// into one program.
void tarvel_mex_function(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
void quorril_mex_function(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
void krr_solve_mex_function(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
void krr_lml_mex_function(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
void krr_predict_mex_function(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
void krr_memory_mex_function(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
void krr_fit_mex_function(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

namespace test_host {

using entry_point = void (*)(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

enum class ending {
  returned,            // mexFunction returned
  module_error,        // the module raised an error through mexErrMsgIdAndTxt
  host_out_of_memory,  // a host allocation failed and the host ended the call
  aborted,             // the module misused the host, or an exception escaped it
};

struct warning {
  std::string id;
  std::string message;
};

struct call_result {
  ending how = ending::returned;
  std::string error_id;       // module_error: as passed to the error call
  std::string error_message;  // module_error: formatted; host_*: the host's reason
  std::vector<warning> warnings;
  std::string printed;
  // The max(nlhs, 1) output slots after a normal return (null where nothing was stored):
  // the caller's arrays, to release with release_outputs. All null after an error, whose
  // outputs the host discards.
  std::vector<mxArray*> outputs;
  // Everything the host found wrong with the call; empty for a sound call.
  std::vector<std::string> faults;
  long interrupt_polls = 0;
  bool interrupt_still_pending = false;
};

// Runs entry as a host does: an input array of exactly inputs.size() entries, an output
// slot array of exactly max(nlhs, 1) entries with guard entries on both sides, the call
// on this thread, and afterwards the checks described above. Arrays the call created
// and left behind are reclaimed, as a host does.
call_result call(const char* function, entry_point entry, int nlhs,
                 const std::vector<const mxArray*>& inputs);

// Destroys the outputs of a call (they belong to the caller after a normal return).
void release_outputs(call_result& result);

// Every fault as one line each, for test failure messages.
std::string describe_faults(const call_result& result);

// Inputs made by the test (outside any call). Numeric, logical and char arrays get
// zero-filled storage for every element (sparse ones for a single nonzero); cell,
// struct and function handle arrays have none. complex adds the imaginary part.
mxArray* make_array(mxClassID cls, const std::vector<std::size_t>& dims, bool complex = false,
                    bool sparse = false);
mxArray* make_matrix(std::size_t m, std::size_t n, const std::vector<double>& values);
mxArray* make_scalar(double value);
// Real storage of any array with storage (element_size bytes per element), null if none.
void* storage(mxArray* a);
std::size_t stored_elements(const mxArray* a);
std::size_t element_size(mxClassID cls);
// Stores value, converted to the array's class, as element i of the real part.
void set_element(mxArray* a, std::size_t i, double value);
void destroy(mxArray* a);
// Destroys every array still live; returns how many there were.
std::size_t destroy_all();
std::size_t live_arrays();

// Bytes the host allocator may hand out during one call (to arrays the module creates);
// a request beyond it ends the call with the host's out-of-memory error. 0: no limit.
void set_allocation_limit(std::size_t bytes);
// Warnings raise an error with the warning's identifier and text, as the hosts do where
// the user asked for warnings as errors.
void set_warnings_as_errors(bool on);
// The host reports an interrupt once the module has polled this many times (0: at the
// first poll); negative: never.
void set_interrupt_after(long polls);

}  // namespace test_host
