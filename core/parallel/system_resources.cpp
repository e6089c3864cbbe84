// Reading the processors and memory this process may use (system_resources.h).
#include "core/exact_arithmetic.h"

#include "core/parallel/system_resources.h"

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sched.h>
#endif

namespace krr {

namespace {

const double UNKNOWN = std::numeric_limits<double>::infinity();

// The first whitespace-separated words of a file; empty if it cannot be read.
std::vector<std::string> words_of(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> words;
  std::string word;
  while (words.size() < 4 && in >> word) words.push_back(word);
  return words;
}

// A whole number of bytes or microseconds; NaN for "max", "-1" and anything unreadable.
double number_of(const std::string& word) {
  if (word.empty() || word == "max" || word[0] == '-') return std::nan("");
  char* end = nullptr;
  const double v = std::strtod(word.c_str(), &end);
  return end && *end == '\0' ? v : std::nan("");
}

// The control-group folders that apply to this process for a controller, innermost first:
// its own group and every group above it, up to the root of the mounted hierarchy. Version
// 2 lines read "0::/path"; version 1 lines "N:cpu,cpuacct:/path", mounted under a folder
// named after the controllers.
std::vector<std::string> group_folders(const std::string& proc_root,
                                       const std::string& cgroup_root,
                                       const std::string& controller) {
  std::ifstream in(proc_root + "/self/cgroup");
  std::string line;
  std::vector<std::string> folders;
  while (std::getline(in, line)) {
    const std::size_t a = line.find(':');
    const std::size_t b = a == std::string::npos ? a : line.find(':', a + 1);
    if (b == std::string::npos) continue;
    const std::string controllers = line.substr(a + 1, b - a - 1);
    std::string path = line.substr(b + 1);
    std::string mount;
    if (controllers.empty()) {
      mount = cgroup_root;  // version 2, the unified hierarchy
    } else {
      std::stringstream list(controllers);
      std::string c;
      bool has = false;
      while (std::getline(list, c, ',')) has = has || c == controller;
      if (!has) continue;
      mount = cgroup_root + "/" + controllers;
      if (!std::ifstream(mount + "/cgroup.procs")) mount = cgroup_root + "/" + controller;
    }
    // A container may see only its own part of the hierarchy, mounted at the root: then
    // the recorded path does not exist below the mount, and the mount itself is the group.
    if (!std::ifstream(mount + path + "/cgroup.procs")) path = "/";
    while (true) {
      folders.push_back(mount + (path == "/" ? "" : path));
      if (path == "/" || path.empty()) break;
      const std::size_t slash = path.find_last_of('/');
      path = slash == 0 ? "/" : path.substr(0, slash);
    }
  }
  return folders;
}

}  // namespace

int available_cpus_at(const std::string& proc_root, const std::string& cgroup_root,
                      int affinity_cpus) {
  double cpus = affinity_cpus > 0 ? affinity_cpus : 1;
  for (const std::string& folder : group_folders(proc_root, cgroup_root, "cpu")) {
    double quota = std::nan(""), period = std::nan("");
    const std::vector<std::string> max = words_of(folder + "/cpu.max");  // version 2
    if (max.size() == 2) {
      quota = number_of(max[0]);
      period = number_of(max[1]);
    } else {  // version 1
      const std::vector<std::string> q = words_of(folder + "/cpu.cfs_quota_us");
      const std::vector<std::string> p = words_of(folder + "/cpu.cfs_period_us");
      if (!q.empty() && !p.empty()) {
        quota = number_of(q[0]);
        period = number_of(p[0]);
      }
    }
    if (quota > 0 && period > 0) cpus = std::fmin(cpus, std::ceil(quota / period));
  }
  return cpus < 1 ? 1 : static_cast<int>(cpus);
}

double available_memory_at(const std::string& proc_root, const std::string& cgroup_root) {
  double available = UNKNOWN;
  std::ifstream meminfo(proc_root + "/meminfo");
  std::string key;
  double kib = 0;
  std::string unit;
  while (meminfo >> key >> kib >> unit) {
    if (key == "MemAvailable:") available = kib * 1024.0;
  }
  for (const std::string& folder : group_folders(proc_root, cgroup_root, "memory")) {
    double limit = std::nan(""), used = std::nan("");
    const std::vector<std::string> max = words_of(folder + "/memory.max");  // version 2
    if (!max.empty()) {
      limit = number_of(max[0]);
      const std::vector<std::string> current = words_of(folder + "/memory.current");
      if (!current.empty()) used = number_of(current[0]);
    } else {  // version 1: an unlimited group reports a limit near 2^63
      const std::vector<std::string> l = words_of(folder + "/memory.limit_in_bytes");
      const std::vector<std::string> u = words_of(folder + "/memory.usage_in_bytes");
      if (!l.empty() && !u.empty()) {
        limit = number_of(l[0]);
        used = number_of(u[0]);
        if (limit >= 0x1p62) limit = std::nan("");
      }
    }
    if (limit >= 0 && used >= 0) available = std::fmin(available, std::fmax(limit - used, 0.0));
  }
  return available;
}

int available_cpus() {
  int affinity = static_cast<int>(std::thread::hardware_concurrency());
#if defined(__linux__)
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) affinity = CPU_COUNT(&set);
  return available_cpus_at("/proc", "/sys/fs/cgroup", affinity);
#else
  return affinity > 0 ? affinity : 1;
#endif
}

double available_memory_bytes() {
#if defined(__linux__)
  return available_memory_at("/proc", "/sys/fs/cgroup");
#else
  return UNKNOWN;
#endif
}

environment_setting thread_setting() {
  environment_setting s;
  const char* text = std::getenv("KRR_NUM_THREADS");
  if (!text || !*text) return s;
  s.set = true;
  s.text = text;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  s.valid = *end == '\0' && value >= 1 && value <= 1024;
  s.value = s.valid ? static_cast<double>(value) : 0.0;
  return s;
}

environment_setting memory_limit_setting() {
  environment_setting s;
  const char* text = std::getenv("KRR_MEMORY_LIMIT");
  if (!text || !*text) return s;
  s.set = true;
  s.text = text;
  char* end = nullptr;
  const double limit = std::strtod(text, &end);
  s.valid = *end == '\0' && limit > 0 && std::isfinite(limit);
  s.value = s.valid ? limit : 0.0;
  return s;
}

}  // namespace krr
