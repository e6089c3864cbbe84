// A small fixed pool of worker threads for splitting rows of one computation. The
// calling thread takes part 0 itself, so a pool of size 1 starts no thread at all.
// Which thread computes a row never changes how it is computed, so results do not
// depend on the pool's size.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace krr {

// Work a waiting thread may do in small pieces: called with the thread's part between
// checks for new work (workers) or for the other parts' end (the caller, part 0). Each call
// must be short, must not change any result, and returns false when it has nothing to do.
using idle_task = bool (*)(void* context, int part);

class thread_pool {
 public:
  explicit thread_pool(int threads, idle_task idle = nullptr, void* idle_context = nullptr);
  ~thread_pool();
  thread_pool(const thread_pool&) = delete;
  thread_pool& operator=(const thread_pool&) = delete;

  int size() const { return static_cast<int>(workers_.size()) + 1; }

  // Calls task(context, part) for part = 0 ... size() - 1, part 0 on the calling
  // thread, and returns when all parts are done. task must not throw.
  void run(void (*task)(void* context, int part), void* context);

  // Runs fn(part) for every part; fn is any callable taking an int.
  template <typename F>
  void run_parts(F& fn) {
    run([](void* c, int part) { (*static_cast<F*>(c))(part); }, &fn);
  }

 private:
  void work(int part);

  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable start_;
  std::condition_variable done_;
  std::atomic<std::uint64_t> generation_{0};
  std::atomic<int> remaining_{0};
  std::atomic<int> sleeping_workers_{0};
  std::atomic<bool> caller_sleeping_{false};
  std::atomic<bool> stopping_{false};
  int pause_rounds_ = 0;  // pause-spinning only when no thread has to share a core
  idle_task idle_ = nullptr;  // fixed before the workers start
  void* idle_context_ = nullptr;
  // Published before generation_ moves on and read only after a worker sees it move.
  void (*task_)(void*, int) = nullptr;
  void* context_ = nullptr;
};

// Rows [begin, end) of part `part` when n rows are split into `parts` contiguous ranges
// whose boundaries are multiples of `align` (the last range takes the remainder).
struct row_range {
  std::int64_t begin, end;
};
row_range split_rows(std::int64_t n, int part, int parts, std::int64_t align = 8);

constexpr int MAX_THREADS = 64;

// Threads to use: `requested` if positive, else the machine's hardware threads, never
// more than MAX_THREADS, and never more than one per `min_rows` rows of work so small
// problems stay on one thread.
int effective_threads(int requested, std::int64_t rows, std::int64_t min_rows);

}  // namespace krr
