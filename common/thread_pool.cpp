// Worker threads wait for a new generation of work, spinning briefly first because the
// solver hands out work every few microseconds, then sleeping on a condition variable.
#include "common/thread_pool.h"

namespace krr {

namespace {
constexpr int SPIN_ROUNDS = 20000;
}

thread_pool::thread_pool(int threads) {
  for (int part = 1; part < threads; ++part) workers_.emplace_back(&thread_pool::work, this, part);
}

thread_pool::~thread_pool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
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
  {
    std::lock_guard<std::mutex> lock(mutex_);
    task_ = task;
    context_ = context;
    remaining_.store(static_cast<int>(workers_.size()));
    generation_.fetch_add(1);
  }
  start_.notify_all();
  task(context, 0);
  for (int spin = 0; spin < SPIN_ROUNDS && remaining_.load() != 0; ++spin) std::this_thread::yield();
  if (remaining_.load() != 0) {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return remaining_.load() == 0; });
  }
}

void thread_pool::work(int part) {
  std::uint64_t seen = 0;
  for (;;) {
    for (int spin = 0; spin < SPIN_ROUNDS && generation_.load() == seen; ++spin) {
      std::this_thread::yield();
    }
    void (*task)(void*, int);
    void* context;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      start_.wait(lock, [&] { return generation_.load() != seen; });
      seen = generation_.load();
      if (stopping_) return;
      task = task_;
      context = context_;
    }
    task(context, part);
    if (remaining_.fetch_sub(1) == 1) {
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
