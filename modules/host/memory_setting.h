// The memory a call may plan for: what the system says this process can have (available
// memory, its control group's limit), and no more than KRR_MEMORY_LIMIT bytes where that
// environment variable is set (a positive number; any other value is ignored, with a
// warning the first time in the session).
#pragma once

namespace host {

// Bytes, +Inf where nothing is known. fn names the module in the warning.
double usable_memory(const char* fn);

}  // namespace host
