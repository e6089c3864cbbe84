// The number of threads the modules' row loops may use, read from the environment
// variable KRR_NUM_THREADS at every call: a whole number from 1 to 1024. Unset means the
// default, one thread per processor this process may use (its CPU affinity and its
// control group's quota); so does any other value, with a warning the first time in the
// session. Results are identical whatever the setting.
#pragma once

namespace host {

// 0 for the default. fn names the module in the warning.
int requested_threads(const char* fn);

}  // namespace host
