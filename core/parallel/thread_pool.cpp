// Work is handed over through atomics: the caller publishes the task, resets the part
// counter and moves the generation on; every thread claims parts from the counter, tagged
// with the generation so that a late worker cannot claim a part of a later run. Workers spin
// briefly (the solver hands out work every few microseconds) before sleeping on a condition
// variable. The mutex is taken only to put a thread to sleep or wake one, so a hand-over
// while both sides are spinning costs no system call.
#include "core/exact_arithmetic.h"

#include "core/parallel/thread_pool.h"

#include <system_error>

#include "core/parallel/system_resources.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace krr {

namespace {

// Waiting first spins on pause instructions (tens of microseconds) when every thread has
// a core of its own, then yields the processor between checks for a while, so that with
// more threads than cores the thread holding the work gets to run, and then sleeps. The
// yielding is bounded in time, not in rounds: on a busy machine each yield can hand the
// processor to another process for a whole time slice.
constexpr int PAUSE_ROUNDS = 2000;
constexpr auto YIELD_TIME = std::chrono::microseconds(200);

// The calling thread's waiting is judged over windows of this many runs or this much time;
// waiting for more than half of a window's time means the workers are being descheduled,
// and the caller then runs alone for a while, twice as long each time it happens again.
constexpr int WINDOW_RUNS = 256;
constexpr double WINDOW_SECONDS = 0.01;
constexpr double MOST_WAITED = 0.5;
constexpr double FIRST_ALONE_SECONDS = 0.02;
constexpr double LONGEST_ALONE_SECONDS = 1.0;

constexpr std::uint64_t LOW_MASK = 0xffffffffu;

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
  const auto until = std::chrono::steady_clock::now() + YIELD_TIME;
  while (!done() && std::chrono::steady_clock::now() < until) std::this_thread::yield();
}

double seconds_between(std::chrono::steady_clock::time_point a,
                       std::chrono::steady_clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

}  // namespace

thread_pool::thread_pool(int threads, idle_task idle, void* idle_context)
    : idle_(idle), idle_context_(idle_context) {
  pause_rounds_ = threads <= available_cpus() ? PAUSE_ROUNDS : 0;
  for (int worker = 1; worker < threads; ++worker) {
    try {
      workers_.emplace_back(&thread_pool::work, this, worker);
    } catch (const std::system_error&) {
      break;  // no more threads to be had: run on those that started
    } catch (const std::bad_alloc&) {
      break;
    }
  }
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

void thread_pool::claim_parts(std::uint64_t generation) {
  const int parts = size();
  std::uint64_t claim = claim_.load();
  while ((claim >> 32) == (generation & LOW_MASK) &&
         static_cast<int>(claim & LOW_MASK) < parts) {
    if (!claim_.compare_exchange_weak(claim, claim + 1)) continue;
    run_part(static_cast<int>(claim & LOW_MASK));
    // Whoever finishes the last part wakes the caller if it went to sleep; the count
    // reaches its end before the flag is read, and the caller sets the flag before checking
    // the count under the mutex.
    if (finished_.fetch_add(1) + 1 == parts && caller_sleeping_.load()) {
      std::lock_guard<std::mutex> lock(mutex_);
      done_.notify_one();
    }
    claim = claim_.load();
  }
}

void thread_pool::run(void (*task)(void*, int), void* context) {
  if (workers_.empty()) {
    task(context, 0);
    return;
  }
  const auto start = std::chrono::steady_clock::now();
  if (start < alone_until_) {
    for (int part = 0; part < size(); ++part) task(context, part);
    return;
  }
  task_ = task;
  context_ = context;
  failure_ = nullptr;
  const std::uint64_t generation = generation_.load() + 1;
  finished_.store(0);
  claim_.store((generation & LOW_MASK) << 32 | 1);  // part 0 is the caller's
  generation_.store(generation);
  // A worker going to sleep counts itself before it checks the generation, and the
  // generation moved before this check, so either it sees the new generation or it is
  // counted here and woken.
  if (sleeping_workers_.load() != 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    start_.notify_all();
  }
  run_part(0);
  finished_.fetch_add(1);
  claim_parts(generation);  // parts no worker has begun: the caller does not wait for them
  const auto own_done = std::chrono::steady_clock::now();
  const int parts = size();
  spin_until([&] { return finished_.load() == parts; }, pause_rounds_, idle_, idle_context_, 0);
  if (finished_.load() != parts) {
    std::unique_lock<std::mutex> lock(mutex_);
    caller_sleeping_.store(true);
    done_.wait(lock, [&] { return finished_.load() == parts; });
    caller_sleeping_.store(false);
  }
  const auto end = std::chrono::steady_clock::now();
  account(seconds_between(start, end), seconds_between(own_done, end));
  // Every part has ended: a part's exception can now leave, on the calling thread.
  if (failure_) {
    std::exception_ptr failure = failure_;
    failure_ = nullptr;
    std::rethrow_exception(failure);
  }
}

void thread_pool::run_part(int part) noexcept {
  try {
    task_(context_, part);
  } catch (...) {
    std::lock_guard<std::mutex> lock(failure_mutex_);
    if (!failure_) failure_ = std::current_exception();
  }
}

void thread_pool::account(double busy, double waited) {
  window_busy_ += busy;
  window_waited_ += waited;
  if (++window_runs_ < WINDOW_RUNS && window_busy_ < WINDOW_SECONDS) return;
  if (window_waited_ > MOST_WAITED * window_busy_) {
    alone_seconds_ = alone_seconds_ == 0.0 ? FIRST_ALONE_SECONDS
                     : 2 * alone_seconds_ < LONGEST_ALONE_SECONDS ? 2 * alone_seconds_
                                                                  : LONGEST_ALONE_SECONDS;
    alone_until_ = std::chrono::steady_clock::now() +
                   std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                       std::chrono::duration<double>(alone_seconds_));
  } else {
    alone_seconds_ = 0.0;
  }
  window_busy_ = window_waited_ = 0.0;
  window_runs_ = 0;
}

void thread_pool::work(int worker) {
  std::uint64_t seen = 0;
  for (;;) {
    spin_until([&] { return generation_.load() != seen; }, pause_rounds_, idle_, idle_context_,
               worker);
    if (generation_.load() == seen) {
      std::unique_lock<std::mutex> lock(mutex_);
      sleeping_workers_.fetch_add(1);
      start_.wait(lock, [&] { return generation_.load() != seen; });
      sleeping_workers_.fetch_sub(1);
    }
    seen = generation_.load();
    if (stopping_.load()) return;
    claim_parts(seen);
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
  int threads = requested > 0 ? requested : available_cpus();
  if (threads > MAX_THREADS) threads = MAX_THREADS;
  const std::int64_t most = rows / (min_rows > 0 ? min_rows : 1);
  if (threads > most) threads = static_cast<int>(most);
  return threads < 1 ? 1 : threads;
}

}  // namespace krr
