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

}  // namespace krr
