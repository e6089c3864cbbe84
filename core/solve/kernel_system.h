// The operator A = K + ridge I of one training set under one weight vector, held for
// computations that use it again and again: solving for several right-hand sides at once,
// multiplying blocks of vectors, and passes over every column. It owns the samples in
// their kernel frame (core/kernel/kernel_frame.h), the kernel column cache, the threads and the
// interrupt polling, so that a column computed once serves every later use in the call.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>

#include "core/parallel/interruption.h"
#include "core/kernel/kernel_frame.h"
#include "core/parallel/allocation.h"
#include "core/solve/block_schedule.h"
#include "core/solve/kernel_cache.h"
#include "core/kernel/kernel_column.h"

namespace krr {

struct kernel_system_setup {
  const double* X;  // d x n, one sample per column
  int n;            // at least 1
  int d;            // at least 0
  const double* w;  // d + 1 weights, w[d] the amplitude
  double ridge;
  int k;                 // block size of the solves, 1 ... n
  double cache_bytes;    // budget of the cache (see cache_column_count)
  double memory_bytes = std::numeric_limits<double>::infinity();  // what the process can have
  double other_bytes = 0.0;  // what the caller holds besides; the cache is capped so all fits
  int threads = 0;                  // 0: one per processor this process may use
  std::int64_t min_rows_per_thread = 2048;
  bool (*interrupt_pending)(void*) = nullptr;  // polled on the calling thread only
  void* interrupt_state = nullptr;
};

class kernel_system {
 public:
  // Everything the operator holds. False, with the failure recorded, when it cannot be had.
  bool prepare(const kernel_system_setup& setup, allocation_failure& failure);

  const training_data& data() const { return data_; }
  kernel_form form() const { return frame_.form; }
  int n() const { return data_.n; }
  int k() const { return k_; }
  int requested_cache_columns() const { return requested_columns_; }
  kernel_cache& cache() { return cache_; }
  block_schedule& schedule() { return *schedule_; }
  interruption& stop() { return *stop_; }
  double* scratch() { return scratch_.get(); }  // k columns of n doubles

  // out[q*n + r] += sum over j, increasing, of A(r, j) * coef[q*n + j], for every row r
  // and q < p (both n x p, column-major), skipping the j whose p coefficients are all 0;
  // with abs_out, also abs_out[q*n + r] += sum_j A(r, j) * |coef[q*n + j]| in the same
  // pass. One pass over the columns: cached ones read in place, the others computed.
  // Returns the number of columns used; ends early once a stop is requested.
  std::int64_t accumulate(const double* coef, int p, double* out, double* abs_out = nullptr);

 private:
  kernel_frame frame_;
  std::unique_ptr<double[]> norms_, transposed_, centred_, scratch_;
  training_data data_{};
  kernel_cache cache_;
  std::unique_ptr<interruption> stop_;
  std::unique_ptr<block_schedule> schedule_;
  int k_ = 0;
  int requested_columns_ = 0;
};

}  // namespace krr
