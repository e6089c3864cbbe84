// The thread pool's hand-over: every part runs exactly once per call, whether the workers
// are still spinning from the last call, have gone to sleep, or share cores; and waiting
// threads do the idle task's pieces, each with its own part.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "common/thread_pool.h"

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
  // The worker spins waiting for its first task; the caller spins waiting for a worker
  // that finishes only once the caller has done an idle piece.
  ASSERT_TRUE(wait_for(seen.calls[1]));
  bool caller_idled = false;
  auto task = [&](int part) {
    if (part == 1) caller_idled = wait_for(seen.calls[0]);
  };
  pool.run_parts(task);
  EXPECT_TRUE(caller_idled);
  EXPECT_EQ(seen.wrong_part.load(), 0);
}

}  // namespace
