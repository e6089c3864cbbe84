// The block step: member choice, kernel columns through the cache, the exact block
// solution, and the gradient update. Each value is computed by the same operations in
// the same order as the plain sequential algorithm; what changes is only where columns
// live (read in place from the cache whenever this step cannot overwrite them), how
// rows are grouped (tiles, threads) and that the pool of non-members is implicit.
#include "training/block_step.h"

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "common/prefetch.h"
#include "common/vector_clones.h"
#include "training/block_inverse.h"
#include "training/page_prefault.h"

namespace krr {

namespace {

constexpr int UPDATE_TILE = 2048;  // 16 KiB of the gradient stays in L1 while k columns stream past
constexpr int PARALLEL_SCORE_MEMBERS = 8;  // members before the scores are split

// The pool is kept implicit through the members in increasing order, each stored less its
// rank: offsets[j] = (j-th smallest member) - j. These never decrease, and the sample at
// position pos of the pool (the non-members in increasing order) is pos plus the number of
// offsets <= pos. For blocks up to LINEAR_COUNT_MAX members that number is counted in
// vector lanes; beyond, it is found by a binary search without branches.
constexpr int LINEAR_COUNT_MAX = 128;

KRR_VECTOR_CLONES
void pool_samples(const int* positions, int* samples, const int* offsets, int count) {
  if (count <= LINEAR_COUNT_MAX) {
    for (int c = 0; c < CANDIDATE_COUNT; ++c) {
      const int pos = positions[c];
      int below = 0;
      for (int j = 0; j < count; ++j) below += offsets[j] <= pos ? 1 : 0;
      samples[c] = pos + below;
    }
    return;
  }
  for (int c = 0; c < CANDIDATE_COUNT; ++c) {
    const int pos = positions[c];
    const int* base = offsets;
    int len = count;
    while (len > 1) {
      const int half = len / 2;
      base = base[half - 1] <= pos ? base + half : base;
      len -= half;
    }
    samples[c] = pos + static_cast<int>(base - offsets) + (len == 1 && base[0] <= pos ? 1 : 0);
  }
}

// Adds member s to the `count` offsets kept for pool_samples.
void insert_member(int s, int* offsets, int count) {
  int j = count;
  while (j > 0 && offsets[j - 1] + (j - 1) > s) {
    offsets[j] = offsets[j - 1] - 1;  // one rank higher now
    --j;
  }
  offsets[j] = s - j;
}

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

// The 60 draws that follow a member: pool positions floor(U * pool_size), U = r * 2^-15.
void draw_positions(random_source& rng, int pool_size, int* positions) {
  for (int c = 0; c < CANDIDATE_COUNT; ++c) {
    const double unit = rng.next15(rng.state) * 0x1p-15;
    positions[c] = static_cast<int>(std::floor(unit * pool_size));
  }
}

// Computes rows of column s into dest, split across the pool. Meanwhile each part
// prefetches the rows its candidates' scores will read from the first `members` columns,
// a few columns' worth between tiles of rows, so that the scattered reads arrive while
// kernel values are computed instead of stalling the part before it starts.
void parallel_column(const training_data& data, int s, double* dest, thread_pool& pool,
                     const block_workspace& ws, int members, int score_parts, int caller_count) {
  constexpr std::int64_t ROWS_PER_CHUNK = 1024;
  const int parts = pool.size();
  const std::int64_t chunks = (data.n + ROWS_PER_CHUNK - 1) / ROWS_PER_CHUNK;
  // Chunks go to whichever part is free next instead of a fixed range per part, so a part
  // held up by page faults or a late start does not leave the others waiting.
  std::atomic<std::int64_t> next_chunk{0};
  auto part_rows = [&](int part) {
    const candidate_share share =
        part < score_parts ? share_of(part, score_parts, caller_count) : candidate_share{0, 0};
    const std::int64_t expected = chunks / parts > 0 ? chunks / parts : 1;
    int j = 0;
    for (std::int64_t done = 0;; ++done) {
      const std::int64_t chunk = next_chunk.fetch_add(1, std::memory_order_relaxed);
      if (chunk >= chunks) break;
      // Columns 0 ... j_end-1 prefetched by the end of this chunk: spread evenly over the
      // chunks this part can expect.
      const int j_end = done + 1 >= expected
                            ? members
                            : static_cast<int>(members * (done + 1) / expected);
      for (; j < j_end; ++j) {
        for (int c = share.c0; c < share.c1; ++c) prefetch(ws.columns[j] + ws.candidate_rows[c]);
      }
      const std::int64_t begin = chunk * ROWS_PER_CHUNK;
      const std::int64_t end = begin + ROWS_PER_CHUNK < data.n ? begin + ROWS_PER_CHUNK : data.n;
      kernel_column_rows(data, s, begin, end, dest);
    }
    for (; j < members; ++j) {
      for (int c = share.c0; c < share.c1; ++c) prefetch(ws.columns[j] + ws.candidate_rows[c]);
    }
  };
  pool.run_parts(part_rows);
}

// Makes sure the pages through the end of slot u are mapped in, taking the next batch of
// slots split across the threads. Slots are first written in increasing order (see
// kernel_cache.h), so everything below the mark has been mapped in already.
void prefault_through_slot(kernel_cache& cache, std::int64_t n, int u, thread_pool& pool) {
  const std::int64_t needed = (u + 1) * n;
  if (cache.prefault_declined || needed <= cache.prefaulted) return;
  const std::int64_t total = cache.m * n;
  const std::int64_t batch = PREFAULT_BATCH_BYTES / 8 > n ? PREFAULT_BATCH_BYTES / 8 : n;
  const std::int64_t begin = cache.prefaulted;
  std::int64_t end = begin + batch > needed ? begin + batch : needed;
  if (end > total) end = total;
  const int parts = pool.size();
  bool mapped[MAX_THREADS];
  auto part_prefault = [&](int part) {
    const row_range range = split_rows(end - begin, part, parts, 512);
    mapped[part] = prefault_for_write(cache.columns + begin + range.begin,
                                      static_cast<std::size_t>(range.end - range.begin) * 8);
  };
  pool.run_parts(part_prefault);
  cache.prefaulted = end;
  for (int part = 0; part < parts; ++part) {
    if (!mapped[part]) cache.prefault_declined = true;
  }
}

// Member i's column (ridge included): from the cache or computed and stored in its slot
// (the next unused one when every sample has a slot, else the one member i of step t owns).
// Returns where it can be read for the rest of the step.
const double* fetch_column(const training_data& data, int s, int k, std::int64_t t, int i,
                           kernel_cache& cache, double* scratch, thread_pool& pool,
                           const block_workspace& ws, int prefetch_members, int score_parts,
                           int caller_count) {
  const std::size_t n = static_cast<std::size_t>(data.n);
  const int cached = cache.slot_of_sample[s];
  // Slots of a full-size cache are never rewritten, so every column is read in place.
  const bool ring = !slot_per_sample(cache, data.n);
  cache.requests += 1;
  if (cached != 0) {
    const double* slot = cache.columns + (cached - 1) * n;
    if (!ring || !slot_rewritten_later(cached - 1, k, t, i, cache.m)) return slot;
    std::memcpy(scratch, slot, n * sizeof(double));
    return scratch;
  }
  const int u = new_column_slot(cache, data.n, k, t, i);
  cache.misses += 1;
  prefault_through_slot(cache, data.n, u, pool);
  double* slot = cache.columns + u * n;
  const bool in_place = !ring || !slot_rewritten_later(u, k, t, i, cache.m);
  double* dest = in_place ? slot : scratch;
  parallel_column(data, s, dest, pool, ws, prefetch_members, score_parts, caller_count);
  dest[s] += data.ridge;
  if (!in_place) std::memcpy(slot, dest, n * sizeof(double));
  const int evicted = cache.sample_of_slot[u];
  if (evicted != 0) cache.slot_of_sample[evicted - 1] = 0;
  cache.sample_of_slot[u] = s + 1;
  cache.slot_of_sample[s] = u + 1;
  return dest;
}

// Candidate scores, each part its share of the candidates. The calling thread then takes
// the next member's draws, which depend on nothing but the pool's size, so that the rand
// calls overlap the other parts' scoring instead of running alone (they stay on the
// calling thread, in the same order). Whether the others had finished by then tells the
// solver which way to move the caller's share next time.
struct candidate_scores {
  block_workspace& ws;
  const double* delta;
  const double* grad;
  int i;
  int parts;
  int caller_count;
  random_source* next_draws;  // draw the next member's positions after scoring, if set
  int next_pool_size;
  std::atomic<int> others_done{0};
  bool caller_finished_last = false;

  void score(int c0, int c1) {
    // Each part sums in its own arrays on its own stack: parts writing neighbouring
    // entries of one shared array would pass a cache line back and forth at every member.
    const int count = c1 - c0;
    int rows[CANDIDATE_COUNT];
    double sums[CANDIDATE_COUNT];
    for (int c = 0; c < count; ++c) {
      rows[c] = ws.candidate_rows[c0 + c];
      sums[c] = grad[rows[c]];
    }
    for (int j = 0; j <= i; ++j) {
      const double* col = ws.columns[j];
      const double dj = delta[j];
      for (int c = 0; c < count; ++c) sums[c] += col[rows[c]] * dj;
    }
    for (int c = 0; c < count; ++c) ws.scores[c0 + c] = sums[c];
  }

  void operator()(int part) {
    if (part >= parts) return;
    const candidate_share share = share_of(part, parts, caller_count);
    score(share.c0, share.c1);
    if (part != 0) {
      others_done.fetch_add(1, std::memory_order_release);
      return;
    }
    if (next_draws) draw_positions(*next_draws, next_pool_size, ws.candidates);
    caller_finished_last = others_done.load(std::memory_order_acquire) == parts - 1;
  }
};

// The gradient update split across the pool, each part keeping its largest |grad|.
struct gradient_update {
  const double* const* columns;
  const double* delta;
  double* grad;
  std::int64_t n;
  int k;
  int parts;
  max_abs_result part_best[MAX_THREADS];

  void operator()(int part) {
    const row_range range = split_rows(n, part, parts);
    part_best[part] = update_gradient_rows(columns, delta, k, grad, range.begin, range.end);
  }
};

// grad[r] += columns[j][r] * delta[j] over one tile of rows, eight members' terms per sweep:
// each row still adds them in member order, but the tile's gradient is loaded and stored
// once per eight members instead of once per member, and eight column streams are read side
// by side, which keeps the hardware prefetchers running where switching streams every
// 16 KiB left each one to start cold. Inline, so the caller's clones vectorise it.
inline void update_tile(double* KRR_RESTRICT g, const double* const* columns,
                        const double* delta, int k, std::int64_t r0, int len) {
  int j = 0;
  for (; j + 8 <= k; j += 8) {
    const double* KRR_RESTRICT c0 = columns[j] + r0;
    const double* KRR_RESTRICT c1 = columns[j + 1] + r0;
    const double* KRR_RESTRICT c2 = columns[j + 2] + r0;
    const double* KRR_RESTRICT c3 = columns[j + 3] + r0;
    const double* KRR_RESTRICT c4 = columns[j + 4] + r0;
    const double* KRR_RESTRICT c5 = columns[j + 5] + r0;
    const double* KRR_RESTRICT c6 = columns[j + 6] + r0;
    const double* KRR_RESTRICT c7 = columns[j + 7] + r0;
    const double d0 = delta[j], d1 = delta[j + 1], d2 = delta[j + 2], d3 = delta[j + 3];
    const double d4 = delta[j + 4], d5 = delta[j + 5], d6 = delta[j + 6], d7 = delta[j + 7];
    for (int r = 0; r < len; ++r) {
      double v = g[r] + c0[r] * d0;
      v = v + c1[r] * d1;
      v = v + c2[r] * d2;
      v = v + c3[r] * d3;
      v = v + c4[r] * d4;
      v = v + c5[r] * d5;
      v = v + c6[r] * d6;
      g[r] = v + c7[r] * d7;
    }
  }
  for (; j < k; ++j) {
    const double* KRR_RESTRICT col = columns[j] + r0;
    const double dj = delta[j];
    for (int r = 0; r < len; ++r) g[r] += col[r] * dj;
  }
}

}  // namespace

KRR_VECTOR_CLONES
max_abs_result update_gradient_rows(const double* const* columns, const double* delta, int k,
                                    double* grad, std::int64_t begin, std::int64_t end) {
  max_abs_result best{-1.0, -1};
  for (std::int64_t r0 = begin; r0 < end; r0 += UPDATE_TILE) {
    const std::int64_t r1 = r0 + UPDATE_TILE < end ? r0 + UPDATE_TILE : end;
    update_tile(grad + r0, columns, delta, k, r0, static_cast<int>(r1 - r0));
    merge_max_abs(best, max_abs_part(grad, r0, r1));
  }
  return best;
}

bool slot_rewritten_later(int q, int k, std::int64_t t, int i, int m) {
  const std::int64_t later = static_cast<std::int64_t>(k) - 1 - i;
  if (later <= 0) return false;
  if (later >= m) return true;
  const int base = cache_slot_for(k, t, i + 1, m);
  const int offset = (q - base + m) % m;
  return offset < later;
}

max_abs_result block_step(const training_data& data, int k, int first, double* block_delta,
                          double* grad, int* block_index, kernel_cache& cache, std::int64_t t,
                          random_source& rng, block_workspace& ws, thread_pool& pool) {
  const int n = data.n;
  const std::size_t nn = static_cast<std::size_t>(n);
  int s = first;

  bool drawn_ahead = false;
  for (int i = 0; i < k; ++i) {
    // The draws for the choice after member i depend only on the members, not on any
    // kernel value, so they are taken first: when member i's column must be computed, the
    // rows they pick are prefetched from the earlier members' columns meanwhile. Each
    // member is followed by 60 draws, the last one included, so a step consumes exactly
    // 60*k values; after the last member their choice is unused. When the previous
    // member's scores were split across threads, the draws were taken then.
    insert_member(s, ws.member_offsets, i);
    if (!drawn_ahead) draw_positions(rng, n - 1 - i, ws.candidates);
    drawn_ahead = false;
    const bool choose_next = i < k - 1;
    const int score_parts = i >= PARALLEL_SCORE_MEMBERS ? pool.size() : 1;
    int* caller_share = ws.caller_share ? ws.caller_share + i : nullptr;
    const int caller_count = caller_share ? *caller_share : CANDIDATE_COUNT / score_parts;
    if (choose_next) {
      pool_samples(ws.candidates, ws.candidate_rows, ws.member_offsets, i + 1);
    }

    const double* column =
        fetch_column(data, s, k, t, i, cache, ws.block_columns + i * nn, pool, ws,
                     choose_next ? i : 0, score_parts, caller_count);
    ws.columns[i] = column;
    if (ws.warmup) ws.warmup->publish(t, i, column);
    block_index[i] = s;
    ws.block_rhs[i] = -grad[s];
    if (i == 0) {
      ws.block_inverse[0] = 1.0 / column[s];
      block_delta[0] = ws.block_inverse[0] * ws.block_rhs[0];
    } else {
      // The kernel is symmetric bit for bit (the dot product's terms and the norms' sum
      // only swap operands), so K(member j, s) is read from member j's column at row s:
      // the choice just read those entries while scoring s, so they are near at hand,
      // where row member_j of s's column is a cold line for every j.
      for (int j = 0; j < i; ++j) ws.new_row[j] = ws.columns[j][s];
      ws.new_row[i] = column[s];
      grow_block_inverse(ws.block_inverse, block_delta, ws.new_row, ws.block_rhs, i, k,
                         ws.inverse_scratch);
    }
    if (!choose_next) break;

    // Score of a candidate: the gradient the partial block solution would leave there.
    // The reads are scattered over the members' columns and bound by memory latency, so
    // from member PARALLEL_SCORE_MEMBERS on the candidates are split across the threads
    // to have more reads in flight.
    if (score_parts > 1) {
      candidate_scores scores{ws, block_delta, grad, i, score_parts, caller_count, &rng,
                              n - 2 - i};
      pool.run_parts(scores);
      drawn_ahead = true;
      // Move one candidate towards whichever side finished first, so each thread's share
      // settles where both finish together.
      if (caller_share) {
        const int moved = *caller_share + (scores.caller_finished_last ? -1 : 1);
        *caller_share = moved < 0 ? 0 : moved > CANDIDATE_COUNT ? CANDIDATE_COUNT : moved;
      }
    } else {
      candidate_scores scores{ws, block_delta, grad, i, 1, CANDIDATE_COUNT, nullptr, 0};
      scores(0);
    }
    s = ws.candidate_rows[max_abs_entry(ws.scores, CANDIDATE_COUNT).index];
  }

  gradient_update update{ws.columns, block_delta, grad, n, k, pool.size(), {}};
  pool.run_parts(update);
  max_abs_result best{std::fabs(grad[0]), 0};
  for (int part = 0; part < update.parts; ++part) merge_max_abs(best, update.part_best[part]);
  return best;
}

}  // namespace krr
