// A small fixed pool of worker threads for splitting rows of one computation into parts.
// The calling thread always takes part 0 itself, so a pool of size 1 starts no thread at
// all. Which thread runs a part never changes how it is computed, so results do not depend
// on the pool's size, on which threads took part, or on whether the machine was busy.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
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
  // Up to threads - 1 workers. A worker the system refuses to start (a thread or process
  // limit) leaves the pool smaller; the pool then runs on the threads that did start.
  explicit thread_pool(int threads, idle_task idle = nullptr, void* idle_context = nullptr);
  ~thread_pool();
  thread_pool(const thread_pool&) = delete;
  thread_pool& operator=(const thread_pool&) = delete;

  // Parts of every run: the calling thread and the workers that started.
  int size() const { return static_cast<int>(workers_.size()) + 1; }

  // Calls task(context, part) once for each part = 0 ... size() - 1 and returns when all
  // are done. Part 0 runs on the calling thread; the others go to whichever thread claims
  // them first, the calling thread included, so it never waits for a worker that has not
  // begun. Where the workers keep it waiting all the same (a busy machine that deschedules
  // them), it runs every part itself for a while, and tries sharing again later. An
  // exception thrown by a part on any thread is kept, the other parts run to their end, and
  // the first one kept is thrown again on the calling thread once all are done: no
  // exception leaves a worker, and none leaves run while a part still runs.
  void run(void (*task)(void* context, int part), void* context);

  // Runs fn(part) for every part; fn is any callable taking an int.
  template <typename F>
  void run_parts(F& fn) {
    run([](void* c, int part) { (*static_cast<F*>(c))(part); }, &fn);
  }

  // Whether runs currently hand parts to the workers (false while running alone).
  bool sharing() const { return std::chrono::steady_clock::now() >= alone_until_; }

 private:
  void work(int worker);
  void run_part(int part) noexcept;
  void claim_parts(std::uint64_t generation);
  void account(double busy, double waited);

  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable start_;
  std::condition_variable done_;
  std::atomic<std::uint64_t> generation_{0};
  std::atomic<std::uint64_t> claim_{0};  // generation in the high half, next part in the low
  std::atomic<int> finished_{0};         // parts of the current generation done
  std::atomic<int> sleeping_workers_{0};
  std::atomic<bool> caller_sleeping_{false};
  std::atomic<bool> stopping_{false};
  int pause_rounds_ = 0;  // pause-spinning only when no thread has to share a processor
  idle_task idle_ = nullptr;  // fixed before the workers start
  void* idle_context_ = nullptr;
  // Published before generation_ moves on and read only after a worker sees it move.
  void (*task_)(void*, int) = nullptr;
  void* context_ = nullptr;
  std::mutex failure_mutex_;
  std::exception_ptr failure_;  // the first exception a part threw in the current run
  // How long the calling thread waited for workers, over a window of runs, and until when
  // it runs alone after it waited too long.
  double window_busy_ = 0.0, window_waited_ = 0.0;
  int window_runs_ = 0;
  double alone_seconds_ = 0.0;
  std::chrono::steady_clock::time_point alone_until_{};
};

// Rows [begin, end) of part `part` when n rows are split into `parts` contiguous ranges
// whose boundaries are multiples of `align` (the last range takes the remainder).
struct row_range {
  std::int64_t begin, end;
};
row_range split_rows(std::int64_t n, int part, int parts, std::int64_t align = 8);

constexpr int MAX_THREADS = 64;

// Threads to use: `requested` if positive, else the processors this process may use (its
// CPU affinity and its control group's quota), never more than MAX_THREADS, and never more
// than one per `min_rows` rows of work so small problems stay on one thread.
int effective_threads(int requested, std::int64_t rows, std::int64_t min_rows);

}  // namespace krr
