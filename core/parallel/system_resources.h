// What this process may really use of the machine, as opposed to what the machine has:
// processors (its CPU affinity, and the CPU quota of its control group) and memory (what
// the system reports available, and what its control group's limit leaves). On Linux these
// come from /proc and the control-group filesystem, version 1 or 2; elsewhere from the
// standard library's count of hardware threads, with no memory figure.
#pragma once

#include <string>

namespace krr {

// At least 1.
int available_cpus();

// Bytes; +Inf where nothing is known.
double available_memory_bytes();

// The same read from other roots than /proc and /sys/fs/cgroup (for tests), with the
// affinity's count given.
int available_cpus_at(const std::string& proc_root, const std::string& cgroup_root,
                      int affinity_cpus);
double available_memory_at(const std::string& proc_root, const std::string& cgroup_root);

// The process's settings in its environment, as every host reads them: unset or empty
// (set false); else valid where the text is what the setting takes, value its number.
//   KRR_NUM_THREADS   a whole number from 1 to 1024 (leading blanks and a sign allowed,
//                     nothing after the digits)
//   KRR_MEMORY_LIMIT  a positive finite number of bytes, as strtod reads it, nothing after
// The host reports an invalid one (text is what was set) and uses its default.
struct environment_setting {
  bool set = false;
  bool valid = false;
  double value = 0.0;
  std::string text;
};
environment_setting thread_setting();
environment_setting memory_limit_setting();

}  // namespace krr
