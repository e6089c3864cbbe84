// Member columns brought into the processor caches while threads wait for work, ahead of
// the block step's gradient update. The update reads every member column in full, 128 KB
// each at n = 16,000, and from memory it runs at a third of the speed it reaches on
// columns already cached; the threads meanwhile spend part of each step waiting on each
// other. So the block step publishes each member's column as it gets it, and a waiting
// thread prefetches, a few lines per call, the rows it will itself update. Prefetches read
// nothing into any value, so results stay the same.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "core/parallel/thread_pool.h"

namespace krr {

class column_warmup {
 public:
  // For blocks of up to k members over n rows, split as the gradient update splits them
  // across `parts` threads.
  column_warmup(std::int64_t n, int k, int parts);

  // Called by the block step's thread: member `member` of step `step` reads `column`.
  void publish(std::int64_t step, int member, const double* column);

  // The pool's idle task (context: a column_warmup). Prefetches the next few lines of the
  // calling part's rows; false when every published column's rows are done.
  static bool prefetch_some(void* context, int part);

 private:
  struct alignas(64) cursor {  // written only by the thread running its part
    std::uint64_t step = ~std::uint64_t{0};
    int member = 0;
    std::int64_t row = 0;
    std::int64_t begin = 0, end = 0;  // the part's rows in the gradient update
  };
  int parts_;
  std::unique_ptr<std::atomic<const double*>[]> columns_;
  std::atomic<std::uint64_t> published_{0};  // step in the high half, members in the low
  std::unique_ptr<cursor[]> cursors_;
};

}  // namespace krr
