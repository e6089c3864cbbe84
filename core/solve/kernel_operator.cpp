// The operator A = K + ridge I with its cache (kernel_operator.h).
#include "core/exact_arithmetic.h"

#include "core/solve/kernel_operator.h"

#include <cmath>

#include "core/kernel/kernel_math.h"
#include "core/kernel/weighted_dots.h"
#include "core/solve/gradient_update.h"

namespace krr {

namespace {

constexpr int GROUP = 32;  // columns applied per pass over the rows

}  // namespace

double kernel_operator::working_bytes(std::int64_t n, int d, int k) {
  // The norms, the feature-major copy and the translated copy of X, k scratch columns.
  return 8.0 * static_cast<double>(n) * (1.0 + 2.0 * d + k);
}

bool kernel_operator::prepare(const operator_setup& setup, allocation_failure& failure) {
  const int n = setup.n, d = setup.d, k = setup.k;
  const std::uint64_t un = static_cast<std::uint64_t>(n);
  k_ = k;
  requested_columns_ = cache_column_count(setup.cache_bytes, n);
  // Everything but the cache first; the cache takes what is left of 90% of the memory.
  const double column_bytes = 8.0 * n;
  const double usable = 0.9 * setup.memory_bytes;
  const double working = working_bytes(n, d, k) + setup.other_bytes;
  int m = requested_columns_;
  if (working + 2 * column_bytes > usable) {
    failure = {true, working + 2 * column_bytes, setup.other_what};
    return false;
  }
  if (working + m * column_bytes > usable) m = static_cast<int>((usable - working) / column_bytes);

  cache_.allocate(n, m, failure);
  norms_ = try_allocate<double>(un, false, "the sample norms", failure);
  transposed_ = try_allocate<double>(un * d, false, "a feature-major copy of X", failure);
  scratch_ = try_allocate<double>(un * k, false, "the block's kernel columns", failure);
  if (failure.failed) return false;
  frame_ = choose_kernel_frame(setup.X, d, n, setup.w);
  const double* X = setup.X;
  if (frame_.form == kernel_form::centred) {
    centred_ = try_allocate<double>(un * d, false, "a translated copy of X", failure);
    if (failure.failed) return false;
    for (int i = 0; i < n; ++i) {
      centre_sample(frame_, sample_at(setup.X, i, d), d, setup.w, centred_.get() + sample_offset(i, d));
    }
    X = centred_.get();
  }
  for (int i = 0; i < n; ++i) norms_[i] = weighted_sq_norm(X, i, d, setup.w);
  transpose_samples(X, d, n, transposed_.get());
  data_ = training_data{X, transposed_.get(), setup.w, norms_.get(), setup.ridge, n, d};
  data_.kind = setup.kind;
  data_.by_differences = frame_.form == kernel_form::differences || setup.kind != kernel_kind::gaussian;
  stop_.reset(new interruption(setup.interrupt_pending, setup.interrupt_state));
  schedule_.reset(new block_schedule(
      effective_threads(setup.threads, n, setup.min_rows_per_thread), n, k, stop_.get()));
  return true;
}

std::int64_t kernel_operator::accumulate(const double* coef, int p, double* out, double* abs_out) {
  const std::int64_t n = data_.n;
  const double* columns[GROUP];
  // The group's coefficients, vector by vector (q * GROUP + g), as accumulate_columns reads them.
  std::unique_ptr<double[]> coefs(new double[GROUP * p]);
  std::unique_ptr<double[]> abs_coefs(abs_out ? new double[GROUP * p] : nullptr);
  int count = 0, computed = 0;
  std::int64_t used = 0;
  auto flush = [&] {
    auto part_rows = [&](int part) {
      schedule_->for_rows(n, part, schedule_->parts(), [&](std::int64_t r0, std::int64_t r1) {
        accumulate_columns(columns, coefs.get(), GROUP, count, p, out, n, r0, r1);
        if (abs_out) accumulate_columns(columns, abs_coefs.get(), GROUP, count, p, abs_out, n, r0, r1);
      });
    };
    schedule_->pool().run_parts(part_rows);
    count = computed = 0;
  };
  for (int j = 0; j < data_.n; ++j) {
    bool zero = true;
    for (int q = 0; q < p; ++q) zero = zero && coef[q * n + j] == 0.0;
    if (zero) continue;
    if (stop_->requested()) break;
    used += 1;
    const int slot = cache_.slot_of(j);
    if (slot != 0) {
      columns[count] = cache_.slot_column(slot - 1);
    } else if (cache_.never_evicts()) {
      // A slot per sample: the column is kept for every later use in the call.
      double* column = cache_.claim(j, k_, 0, 0, schedule_->pool()).column;
      schedule_->compute_column(data_, j, column);
      column[j] += data_.ridge;
      columns[count] = column;
    } else {
      double* column = scratch_.get() + static_cast<std::int64_t>(computed++) * n;
      schedule_->compute_column(data_, j, column);
      column[j] += data_.ridge;  // as cached columns hold it
      columns[count] = column;
    }
    for (int q = 0; q < p; ++q) {
      coefs[q * GROUP + count] = coef[q * n + j];
      if (abs_out) abs_coefs[q * GROUP + count] = std::fabs(coef[q * n + j]);
    }
    if (++count == GROUP || computed == k_) flush();
  }
  if (count > 0) flush();
  return used;
}

}  // namespace krr
