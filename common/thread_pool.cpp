// Work is handed over through atomics: the caller publishes the task and moves the
// generation on, and workers spin briefly (the solver hands out work every few
// microseconds) before sleeping on a condition variable. The mutex is taken only to put a
// thread to sleep or wake one, so a hand-over while both sides are spinning costs no
// system call.
#include "common/thread_pool.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace krr {

namespace {

// Waiting first spins on pause instructions (tens of microseconds) when every thread has
// a core of its own, then yields the processor between checks, so that with more threads
// than cores the thread holding the work gets to run, and only then sleeps.
constexpr int PAUSE_ROUNDS = 2000;
constexpr int YIELD_ROUNDS = 20000;

// While spinning on pause instructions a thread does its idle task's pieces instead, as
// long as the task has any.
template <typename Done>
void spin_until(Done done, int pause_rounds, idle_task idle, void* context, int part) {
  for (int spin = 0; spin < pause_rounds; ++spin) {
    if (done()) return;
    if (idle != nullptr && idle(context, part)) continue;
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#endif
  }
  for (int spin = 0; spin < YIELD_ROUNDS && !done(); ++spin) std::this_thread::yield();
}

}  // namespace

thread_pool::thread_pool(int threads, idle_task idle, void* idle_context)
    : idle_(idle), idle_context_(idle_context) {
  const unsigned cores = std::thread::hardware_concurrency();
  pause_rounds_ = cores != 0 && static_cast<unsigned>(threads) <= cores ? PAUSE_ROUNDS : 0;
  for (int part = 1; part < threads; ++part) workers_.emplace_back(&thread_pool::work, this, part);
}

thread_pool::~thread_pool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_.store(true);
    generation_.fetch_add(1);
  }
  start_.notify_all();
  for (auto& t : workers_) t.join();
}

void thread_pool::run(void (*task)(void*, int), void* context) {
  if (workers_.empty()) {
    task(context, 0);
    return;
  }
  task_ = task;
  context_ = context;
  remaining_.store(static_cast<int>(workers_.size()));
  generation_.fetch_add(1);
  // A worker going to sleep counts itself before it checks the generation, and the
  // generation moved before this check, so either it sees the new generation or it is
  // counted here and woken.
  if (sleeping_workers_.load() != 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    start_.notify_all();
  }
  task(context, 0);
  spin_until([this] { return remaining_.load() == 0; }, pause_rounds_, idle_, idle_context_, 0);
  if (remaining_.load() != 0) {
    std::unique_lock<std::mutex> lock(mutex_);
    caller_sleeping_.store(true);
    done_.wait(lock, [this] { return remaining_.load() == 0; });
    caller_sleeping_.store(false);
  }
}

void thread_pool::work(int part) {
  std::uint64_t seen = 0;
  for (;;) {
    spin_until([&] { return generation_.load() != seen; }, pause_rounds_, idle_, idle_context_,
               part);
    if (generation_.load() == seen) {
      std::unique_lock<std::mutex> lock(mutex_);
      sleeping_workers_.fetch_add(1);
      start_.wait(lock, [&] { return generation_.load() != seen; });
      sleeping_workers_.fetch_sub(1);
    }
    seen = generation_.load();
    if (stopping_.load()) return;
    task_(context_, part);
    // The last worker to finish wakes the caller if it went to sleep; as above, the count
    // reaches zero before the flag is read, and the caller sets the flag before checking
    // the count under the mutex.
    if (remaining_.fetch_sub(1) == 1 && caller_sleeping_.load()) {
      std::lock_guard<std::mutex> lock(mutex_);
      done_.notify_one();
    }
  }
}

row_range split_rows(std::int64_t n, int part, int parts, std::int64_t align) {
  std::int64_t per = (n + parts - 1) / parts;
  per = (per + align - 1) / align * align;
  std::int64_t begin = per * part;
  std::int64_t end = begin + per;
  if (begin > n) begin = n;
  if (end > n || part == parts - 1) end = n;
  return {begin, end};
}

int effective_threads(int requested, std::int64_t rows, std::int64_t min_rows) {
  int threads = requested;
  if (threads <= 0) {
    threads = static_cast<int>(std::thread::hardware_concurrency());
    if (threads <= 0) threads = 1;
  }
  if (threads > MAX_THREADS) threads = MAX_THREADS;
  const std::int64_t most = rows / (min_rows > 0 ? min_rows : 1);
  if (threads > most) threads = static_cast<int>(most);
  return threads < 1 ? 1 : threads;
}

}  // namespace krr
