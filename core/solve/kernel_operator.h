// The operator A = K + ridge I of one training set under one weight vector, which every
// solve runs on: the samples in their kernel frame (core/kernel/kernel_frame.h) with their
// norms and a feature-major copy, the kernel column cache, the threads, the interrupt
// polling and k columns of scratch for a block's columns, so that a column computed once
// serves every later use in the call. It also keeps the call's memory plan: the cache takes
// only what is left of the memory once the operator's own arrays and everything the caller
// declared are counted.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>

#include "core/kernel/kernel_column.h"
#include "core/kernel/kernel_frame.h"
#include "core/parallel/allocation.h"
#include "core/parallel/interruption.h"
#include "core/parallel/row_team.h"
#include "core/solve/block_schedule.h"
#include "core/solve/kernel_cache.h"

namespace krr {

struct operator_setup {
  const double* X;  // d x n, one sample per column (a team's: this rank's rows of them)
  int n;            // at least 1
  int d;            // at least 0
  const double* w;  // d + 1 weights, w[d] the amplitude
  double ridge;
  int k;               // block size of the solves, 1 ... n
  double cache_bytes;  // budget of the cache (see cache_column_count)
  // The memory this call may plan for, in bytes (what the process can really have:
  // available memory, its control group's limit). Everything must fit in 90% of it: the
  // cache is capped to what is left, and a call whose other arrays alone do not fit is
  // refused, so that no budget brings the system's out-of-memory killer on the session.
  double memory_bytes = std::numeric_limits<double>::infinity();
  // What the caller allocates besides the operator (its solver's arrays, its outputs).
  double other_bytes = 0.0;
  // Named where everything but the cache does not fit.
  const char* other_what = "the working arrays, more than the memory available to this process";
  // Threads for the row loops: 0 means one per processor this process may use, and no
  // thread gets fewer than min_rows_per_thread rows. Results do not depend on either.
  int threads = 0;
  std::int64_t min_rows_per_thread = 2048;
  // Polled on the calling thread only, between pieces of every long loop; returning true
  // stops the call within milliseconds.
  bool (*interrupt_pending)(void*) = nullptr;
  void* interrupt_state = nullptr;
  // The processes sharing the n rows (core/parallel/row_team.h), each holding its own rows
  // of X; null: all of them are here. Memory, threads and the cache are each rank's own.
  row_team* team = nullptr;
  // The kernel (core/kernel/kernel_kind.h): a Matern kernel's columns come from differences
  // in any frame.
  kernel_kind kind = kernel_kind::gaussian;
};

class kernel_operator {
 public:
  // Bytes the operator holds besides its cache, for n samples of d features and blocks of k.
  static double working_bytes(std::int64_t n, int d, int k);

  // Everything the operator holds. False, with the failure recorded, when it cannot be had.
  bool prepare(const operator_setup& setup, allocation_failure& failure);

  const training_data& data() const { return data_; }  // this rank's rows
  kernel_form form() const { return frame_.form; }
  const kernel_frame& frame() const { return frame_; }
  // Samples, and the rows of them held here (all of them but in a team of several). The
  // several-column solver (multi_solver.h), conjugate gradients and the learner run in one
  // process, where the two are the same.
  int n() const { return static_cast<int>(team_->n()); }
  std::int64_t rows() const { return data_.n; }
  row_team& team() { return *team_; }
  int k() const { return k_; }
  int requested_cache_columns() const { return requested_columns_; }
  kernel_cache& cache() { return cache_; }
  block_schedule& schedule() { return *schedule_; }
  interruption& stop() { return *stop_; }
  double* scratch() { return scratch_.get(); }  // k columns of rows() doubles

  // out[q*n + r] += sum over j, increasing, of A(r, j) * coef[q*n + j], for every row r
  // and q < p (both n x p, column-major), skipping the j whose p coefficients are all 0;
  // with abs_out, also abs_out[q*n + r] += sum_j A(r, j) * |coef[q*n + j]| in the same
  // pass. One pass over the columns: cached ones read in place, the others computed.
  // Returns the number of columns used; ends early once a stop is requested. In a team,
  // coef, out and abs_out hold this rank's rows (rows() x p): each rank in turn sends the
  // samples and coefficients of its rows whose coefficients are not all 0, a batch at a
  // time, and every rank adds their columns' terms to its rows, each row in order of j.
  std::int64_t accumulate(const double* coef, int p, double* out, double* abs_out = nullptr);

 private:
  kernel_frame frame_;
  std::unique_ptr<double[]> norms_, transposed_, centred_, scratch_;
  training_data data_{};
  kernel_cache cache_;
  std::unique_ptr<interruption> stop_;
  std::unique_ptr<block_schedule> schedule_;
  std::unique_ptr<single_team> own_team_;
  row_team* team_ = nullptr;
  int k_ = 0;
  int requested_columns_ = 0;
};

}  // namespace krr
