// The thread pool's hand-over: every part runs exactly once per call, whether the workers
// are still spinning from the last call, have gone to sleep, or share cores.
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

}  // namespace
