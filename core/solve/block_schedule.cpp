// The block step's loops split across the pool (block_schedule.h).
#include "core/exact_arithmetic.h"

#include "core/solve/block_schedule.h"

#include <atomic>
#include <chrono>

#include "core/kernel/vector_clones.h"
#include "core/solve/prefetch.h"
#include "core/solve/gradient_update.h"

namespace krr {

namespace {

constexpr int PARALLEL_SCORE_MEMBERS = 8;  // members before the scores are split
constexpr std::int64_t ROWS_PER_CHUNK = 1024;

// Candidates [c0, c1) of `part`: the calling thread (part 0) scores the first
// `caller_count`, the other parts share the rest evenly. A part scores the candidates whose
// rows it prefetched.
struct candidate_share {
  int c0, c1;
};
candidate_share share_of(int part, int parts, int caller_count) {
  if (parts == 1) return {0, CANDIDATE_COUNT};
  if (part == 0) return {0, caller_count};
  const int rest = CANDIDATE_COUNT - caller_count;
  return {caller_count + (part - 1) * rest / (parts - 1), caller_count + part * rest / (parts - 1)};
}

// One part's candidates' scores, summed in arrays on its own stack: parts writing
// neighbouring entries of one shared array would pass a cache line back and forth at every
// member.
KRR_VECTOR_CLONES
void score_share(const block_workspace& ws, const double* grad, int i, candidate_share share,
                 double* scores) {
  const int count = share.c1 - share.c0;
  int rows[CANDIDATE_COUNT];
  double sums[CANDIDATE_COUNT];
  for (int c = 0; c < count; ++c) {
    rows[c] = ws.candidate_local[share.c0 + c];
    sums[c] = grad[rows[c]];
  }
  for (int j = 0; j <= i; ++j) {
    const double* col = ws.columns[j];
    const double dj = ws.block_delta[j];
    for (int c = 0; c < count; ++c) sums[c] += col[rows[c]] * dj;
  }
  for (int c = 0; c < count; ++c) scores[share.c0 + c] = sums[c];
}

}  // namespace

block_schedule::block_schedule(int threads, std::int64_t n, int k, interruption* stop)
    : stop_(stop),
      warmup_(n, k, threads),
      pool_(threads, &column_warmup::prefetch_some, &warmup_),
      caller_share_(new int[k > 0 ? k : 1]) {
  for (int i = 0; i < k; ++i) caller_share_[i] = CANDIDATE_COUNT / pool_.size();
}

int block_schedule::score_parts(int i) const {
  // The scores' reads are scattered over the members' columns and bound by memory latency,
  // so once the block has a few members the candidates are split across the threads to
  // have more reads in flight.
  return i >= PARALLEL_SCORE_MEMBERS ? pool_.size() : 1;
}

void block_schedule::compute_column(const training_data& data, column_sample s, double* dest,
                                    int i, int members, const block_workspace& ws) {
  compute_column_prefetching(data, s, dest, i, members, ws.columns, ws.candidate_local);
}

void block_schedule::compute_column(const training_data& data, column_sample s, double* dest) {
  compute_column_prefetching(data, s, dest, 0, 0, nullptr, nullptr);
}

void block_schedule::compute_column_prefetching(const training_data& data, column_sample s,
                                                double* dest,
                                                int i, int members,
                                                const double* const* columns,
                                                const int* candidate_rows) {
  const int parts = pool_.size();
  const int scoring = score_parts(i);
  const int caller_count = caller_share_[i];
  const std::int64_t chunks = (data.n + ROWS_PER_CHUNK - 1) / ROWS_PER_CHUNK;
  // Chunks go to whichever part is free next instead of a fixed range per part, so a part
  // held up by page faults or a late start does not leave the others waiting. Between
  // chunks each part prefetches the rows its candidates' scores will read, a few columns'
  // worth at a time, so that the scattered reads arrive while kernel values are computed
  // instead of stalling the part before it starts.
  std::atomic<std::int64_t> next_chunk{0};
  auto part_rows = [&](int part) {
    const candidate_share share =
        part < scoring ? share_of(part, scoring, caller_count) : candidate_share{0, 0};
    const std::int64_t expected = chunks / parts > 0 ? chunks / parts : 1;
    int j = 0;
    for (std::int64_t done = 0;; ++done) {
      if (stop_requested()) break;
      const std::int64_t chunk = next_chunk.fetch_add(1, std::memory_order_relaxed);
      if (chunk >= chunks) break;
      // Columns 0 ... j_end-1 prefetched by the end of this chunk: spread evenly over the
      // chunks this part can expect.
      const int j_end = done + 1 >= expected
                            ? members
                            : static_cast<int>(members * (done + 1) / expected);
      for (; j < j_end; ++j) {
        for (int c = share.c0; c < share.c1; ++c) prefetch(columns[j] + candidate_rows[c]);
      }
      const std::int64_t begin = chunk * ROWS_PER_CHUNK;
      const std::int64_t end = begin + ROWS_PER_CHUNK < data.n ? begin + ROWS_PER_CHUNK : data.n;
      kernel_column_rows(data, s, begin, end, dest);
    }
    for (; j < members; ++j) {
      for (int c = share.c0; c < share.c1; ++c) prefetch(columns[j] + candidate_rows[c]);
    }
  };
  const auto start = std::chrono::steady_clock::now();
  pool_.run_parts(part_rows);
  count_columns(1, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

void block_schedule::score_candidates(int i, block_workspace& ws, const double* grad,
                                      void (*after)(void*), void* context) {
  const int parts = score_parts(i);
  if (parts == 1) {
    score_share(ws, grad, i, {0, CANDIDATE_COUNT}, ws.scores);
    after(context);
    return;
  }
  // The calling thread runs `after` once its own share is scored; whether the others had
  // finished by then says which way to move its share next time, so that each thread's
  // share settles where both finish together.
  int& caller_count = caller_share_[i];
  std::atomic<int> others_done{0};
  bool caller_finished_last = false;
  auto part_scores = [&](int part) {
    score_share(ws, grad, i, share_of(part, parts, caller_count), ws.scores);
    if (part != 0) {
      others_done.fetch_add(1, std::memory_order_release);
      return;
    }
    after(context);
    caller_finished_last = others_done.load(std::memory_order_acquire) == parts - 1;
  };
  pool_.run_parts(part_scores);
  const int moved = caller_count + (caller_finished_last ? -1 : 1);
  caller_count = moved < 0 ? 0 : moved > CANDIDATE_COUNT ? CANDIDATE_COUNT : moved;
}

max_abs_result block_schedule::update_gradient(const double* const* columns, const double* delta,
                                               int k, double* grad, std::int64_t n) {
  const int parts = pool_.size();
  max_abs_result part_best[MAX_THREADS];
  auto part_update = [&](int part) {
    max_abs_result best{-1.0, -1};
    for_rows(n, part, parts, [&](std::int64_t r0, std::int64_t r1) {
      merge_max_abs(best, update_gradient_rows(columns, delta, k, grad, r0, r1));
    });
    part_best[part] = best;
  };
  pool_.run_parts(part_update);
  max_abs_result best{-1.0, -1};
  for (int part = 0; part < parts; ++part) merge_max_abs(best, part_best[part]);
  return best;
}

void block_schedule::accumulate(const double* const* columns, const double* coef,
                                const double* abs_coef, int count, double* grad, double* size,
                                std::int64_t n) {
  const int parts = pool_.size();
  auto part_accumulate = [&](int part) {
    for_rows(n, part, parts, [&](std::int64_t r0, std::int64_t r1) {
      update_gradient_and_size_rows(columns, coef, abs_coef, count, grad, size, r0, r1);
    });
  };
  pool_.run_parts(part_accumulate);
}

}  // namespace krr
