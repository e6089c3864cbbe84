// The thread pool's hand-over: every part runs exactly once per call, whether the workers
// are still spinning from the last call, have gone to sleep, or share cores; and waiting
// threads do the idle task's pieces, each with its own part.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/parallel/system_resources.h"
#include "core/parallel/thread_pool.h"

namespace {

TEST(ThreadPool, EveryPartRunsOncePerCallAfterSpinsAndSleeps) {
  for (int threads : {1, 2, 3, 5}) {
    krr::thread_pool pool(threads);
    ASSERT_EQ(pool.size(), threads);
    std::vector<int> runs(threads, 0);  // each entry written only by its own part
    std::atomic<int> calls_seen{0};
    int call = 0;
    auto task = [&](int part) {
      runs[part] += 1;
      if (part == threads - 1) calls_seen.fetch_add(1);
      // A slow last part keeps the caller waiting past its spin, so it must be woken.
      if (part == threads - 1 && threads > 1 && call % 7 == 3) {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
      }
    };
    for (call = 0; call < 40; ++call) {
      pool.run_parts(task);
      // Each call returns only when every part is done, with its writes visible here.
      for (int part = 0; part < threads; ++part) ASSERT_EQ(runs[part], call + 1) << "part " << part;
      // Long pauses let the workers fall asleep before the next call must wake them.
      if (call % 5 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
    EXPECT_EQ(calls_seen.load(), 40);
  }
}

// A part that throws, on a worker or on the calling thread: the exception reaches the
// caller of run, and only once every other part has ended (a worker's exception used to
// end the process, and the caller's left the others running on its unwound stack); the
// pool then runs as before.
TEST(ThreadPool, APartsExceptionReachesTheCallerAfterEveryPartEnds) {
  for (int threads : {1, 2, 3}) {
    for (int thrower = 0; thrower < threads; ++thrower) {
      krr::thread_pool pool(threads);
      std::atomic<int> ended{0};
      auto task = [&](int part) {
        if (part == thrower) throw std::runtime_error("part failed");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ended.fetch_add(1);
      };
      try {
        pool.run_parts(task);
        ADD_FAILURE() << "no exception reached the caller";
      } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "part failed");
        EXPECT_EQ(ended.load(), threads - 1) << threads << " threads, part " << thrower;
      }
      std::atomic<int> runs{0};
      auto count = [&](int) { runs.fetch_add(1); };
      pool.run_parts(count);
      EXPECT_EQ(runs.load(), threads);
    }
  }
}

bool wait_for(const std::atomic<int>& count) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (count.load() == 0) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

TEST(ThreadPool, WaitingThreadsDoTheIdleTaskWithTheirOwnPart) {
  // Idle pieces are done only while spinning with a core per thread.
  if (std::thread::hardware_concurrency() < 2) GTEST_SKIP() << "needs two cores";
  struct counts {
    std::atomic<int> calls[2];
    std::atomic<int> wrong_part{0};
  } seen{};
  auto idle = [](void* context, int part) {
    auto& c = *static_cast<counts*>(context);
    if (part < 0 || part > 1) c.wrong_part.fetch_add(1);
    else c.calls[part].fetch_add(1);
    return false;
  };
  krr::thread_pool pool(2, idle, &seen);
  // The worker spins waiting for its first task; then the caller spins waiting for a part
  // that the worker holds until the caller has done an idle piece. Part 0 waits for the
  // worker to have begun part 1, so that the caller does not take part 1 itself.
  ASSERT_TRUE(wait_for(seen.calls[1]));
  std::atomic<int> second_begun{0};
  bool caller_idled = false;
  auto task = [&](int part) {
    if (part == 0) {
      wait_for(second_begun);
    } else {
      second_begun.store(1);
      caller_idled = wait_for(seen.calls[0]);
    }
  };
  pool.run_parts(task);
  EXPECT_TRUE(caller_idled);
  EXPECT_EQ(seen.wrong_part.load(), 0);
}

// Threads need address space for their stacks: with almost none left the system refuses
// them. The pool must then run on the threads that did start instead of failing (a thread
// object destroyed while running would end the whole process).
TEST(ThreadPool, RunsOnTheThreadsThatStartedWhenTheSystemRefusesMore) {
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_AS, &old), 0);
  long pages = 0;
  std::ifstream("/proc/self/statm") >> pages;
  if (pages <= 0) GTEST_SKIP() << "no /proc/self/statm";
  std::vector<int> runs(8, 0);
  int size = 0;
  {
    const rlimit tight{static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (rlim_t(4) << 20),
                       old.rlim_max};
    if (setrlimit(RLIMIT_AS, &tight) != 0) GTEST_SKIP() << "cannot lower the address space limit";
    krr::thread_pool pool(8);
    setrlimit(RLIMIT_AS, &old);
    size = pool.size();
    auto task = [&](int part) { runs[part] += 1; };
    pool.run_parts(task);
  }
  EXPECT_GE(size, 1);
  EXPECT_LT(size, 8);
  for (int part = 0; part < 8; ++part) EXPECT_EQ(runs[part], part < size ? 1 : 0) << part;
}

// The processors and memory the process may use, from a control-group tree of version 1
// and one of version 2 written here: the quota, not the machine, sets the thread count, and
// the group's limit less its usage caps the memory.
TEST(SystemResources, FollowCpuQuotaAndMemoryLimitOfTheControlGroup) {
  char folder[] = "/tmp/krr_cgroup_XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string root = folder;
  auto write = [](const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
  };
  auto make = [](const std::string& path) { return system(("mkdir -p " + path).c_str()) == 0; };
  ASSERT_TRUE(make(root + "/proc/self") && make(root + "/v2/job/task") &&
              make(root + "/v1/cpu,cpuacct/job") && make(root + "/v1/memory/job"));
  write(root + "/proc/meminfo", "MemTotal: 1000000 kB\nMemAvailable: 800000 kB\n");

  // Version 2: 2.5 processors' quota on the job, none below; 300 MB limit, 100 MB used.
  write(root + "/proc/self/cgroup", "0::/job/task\n");
  for (const char* f : {"/v2/cgroup.procs", "/v2/job/cgroup.procs", "/v2/job/task/cgroup.procs"}) {
    write(root + f, "");
  }
  write(root + "/v2/job/cpu.max", "250000 100000\n");
  write(root + "/v2/job/task/cpu.max", "max 100000\n");
  write(root + "/v2/job/memory.max", "300000000\n");
  write(root + "/v2/job/memory.current", "100000000\n");
  EXPECT_EQ(krr::available_cpus_at(root + "/proc", root + "/v2", 16), 3);
  EXPECT_EQ(krr::available_cpus_at(root + "/proc", root + "/v2", 2), 2);  // affinity is less
  EXPECT_EQ(krr::available_memory_at(root + "/proc", root + "/v2"), 200000000.0);

  // Version 1: quota of one processor; an unlimited memory group leaves MemAvailable.
  write(root + "/proc/self/cgroup", "4:memory:/job\n2:cpu,cpuacct:/job\n");
  write(root + "/v1/cpu,cpuacct/cgroup.procs", "");
  write(root + "/v1/cpu,cpuacct/job/cgroup.procs", "");
  write(root + "/v1/cpu,cpuacct/job/cpu.cfs_quota_us", "100000\n");
  write(root + "/v1/cpu,cpuacct/job/cpu.cfs_period_us", "100000\n");
  write(root + "/v1/memory/cgroup.procs", "");
  write(root + "/v1/memory/job/cgroup.procs", "");
  write(root + "/v1/memory/job/memory.limit_in_bytes", "9223372036854771712\n");
  write(root + "/v1/memory/job/memory.usage_in_bytes", "5000\n");
  EXPECT_EQ(krr::available_cpus_at(root + "/proc", root + "/v1", 16), 1);
  EXPECT_EQ(krr::available_memory_at(root + "/proc", root + "/v1"), 800000.0 * 1024);
  EXPECT_EQ(system(("rm -rf " + root).c_str()), 0);
}

}  // namespace
