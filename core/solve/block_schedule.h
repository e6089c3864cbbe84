// How a block step's loops are split across threads. The calling thread takes part 0 of
// every loop. A new kernel column's rows go out in chunks to whichever part is free; the
// candidates' scores are split between the calling thread and the others once the block is
// large enough to pay for it, the caller's share tuned from step to step; the gradient
// update takes fixed row ranges; and waiting threads prefetch the member columns the update
// will read. Which part computes a value never changes how it is computed.
#pragma once

#include <cstdint>
#include <memory>

#include "core/parallel/interruption.h"
#include "core/kernel/kernel_math.h"
#include "core/parallel/thread_pool.h"
#include "core/solve/block_workspace.h"
#include "core/solve/column_warmup.h"
#include "core/kernel/kernel_column.h"

namespace krr {

class block_schedule {
 public:
  // `threads` parts for blocks of up to k members over n rows. Long loops end early, in
  // every part, once `stop` (when given) says so; their results are then incomplete.
  block_schedule(int threads, std::int64_t n, int k, interruption* stop = nullptr);

  int parts() const { return pool_.size(); }
  thread_pool& pool() { return pool_; }

  // Whether to stop (asks the host on the calling thread; see interruption.h).
  bool stop_requested() { return stop_ != nullptr && stop_->requested(); }

  // Member i of step t has its column at `column`: waiting threads may warm it up.
  void publish(std::int64_t t, int i, const double* column) { warmup_.publish(t, i, column); }

  // K(r, s) for every row r into dest, ridge not included. Meanwhile each part prefetches,
  // from the first `members` columns of ws.columns, the rows ws.candidate_local that it will
  // score after member i.
  void compute_column(const training_data& data, column_sample s, double* dest, int i,
                      int members, const block_workspace& ws);
  // The same without prefetching.
  void compute_column(const training_data& data, column_sample s, double* dest);

  // Kernel columns computed so far, and the wall-clock seconds the calling thread spent on
  // them (a profile of where a call's time goes; never read by the arithmetic). Loops that
  // compute columns themselves add theirs with count_columns.
  std::int64_t columns_computed() const { return columns_computed_; }
  double column_seconds() const { return column_seconds_; }
  void count_columns(std::int64_t columns, double seconds) {
    columns_computed_ += columns;
    column_seconds_ += seconds;
  }

  // ws.scores[c] = grad[row] + sum over j = 0 ... i of ws.columns[j][row] * ws.block_delta[j],
  // row = ws.candidate_local[c] (at least one row). The calling thread then runs after(context) while the other
  // parts may still be scoring.
  void score_candidates(int i, block_workspace& ws, const double* grad, void (*after)(void*),
                        void* context);

  // grad[r] += columns[j][r] * delta[j] for j = 0 ... k-1 in order, every row; returns
  // max_abs_part of the new gradient over all n rows.
  max_abs_result update_gradient(const double* const* columns, const double* delta, int k,
                                 double* grad, std::int64_t n);

  // update_gradient_and_size_rows over every row.
  void accumulate(const double* const* columns, const double* coef, const double* abs_coef,
                  int count, double* grad, double* size, std::int64_t n);

  // fn(r0, r1) over the rows of `part` of n split into `parts`, a bounded run of rows at a
  // time, until a stop is requested.
  template <typename F>
  void for_rows(std::int64_t n, int part, int parts, F&& fn) {
    constexpr std::int64_t ROWS_PER_STOP_CHECK = 16384;  // a few milliseconds of work at most
    const row_range range = split_rows(n, part, parts);
    for (std::int64_t r0 = range.begin; r0 < range.end; r0 += ROWS_PER_STOP_CHECK) {
      if (stop_requested()) return;
      fn(r0, r0 + ROWS_PER_STOP_CHECK < range.end ? r0 + ROWS_PER_STOP_CHECK : range.end);
    }
  }

 private:
  int score_parts(int i) const;
  void compute_column_prefetching(const training_data& data, column_sample s, double* dest, int i,
                                  int members, const double* const* columns,
                                  const int* candidate_rows);

  interruption* stop_;
  column_warmup warmup_;  // before the pool, whose threads use it until they are joined
  thread_pool pool_;
  std::unique_ptr<int[]> caller_share_;  // k: candidates the calling thread scores after member i
  std::int64_t columns_computed_ = 0;
  double column_seconds_ = 0.0;
};

}  // namespace krr
