// The number of threads the modules' row loops may use, read from the environment
// variable KRR_NUM_THREADS (a positive integer); unset or invalid means one per hardware
// thread. Results are identical whatever the setting.
#pragma once

namespace host {

int requested_threads();

}  // namespace host
