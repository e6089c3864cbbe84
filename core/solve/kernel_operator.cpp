// The operator A = K + ridge I with its cache (kernel_operator.h).
#include "core/exact_arithmetic.h"

#include "core/solve/kernel_operator.h"

#include <cmath>
#include <vector>

#include "core/kernel/kernel_math.h"
#include "core/kernel/weighted_dots.h"
#include "core/solve/gradient_update.h"

namespace krr {

namespace {

constexpr int GROUP = 32;   // columns applied per pass over the rows
constexpr int BATCH = 256;  // columns a rank of a team sends at a time

}  // namespace

double kernel_operator::working_bytes(std::int64_t n, int d, int k) {
  // The norms, the feature-major copy and the translated copy of X, k scratch columns.
  return 8.0 * static_cast<double>(n) * (1.0 + 2.0 * d + k);
}

bool kernel_operator::prepare(const operator_setup& setup, allocation_failure& failure) {
  const int n = setup.n, d = setup.d, k = setup.k;
  if (setup.team != nullptr) {
    team_ = setup.team;
  } else {
    own_team_.reset(new single_team(n));
    team_ = own_team_.get();
  }
  row_team& team = *team_;
  const std::int64_t rows = team.rows();
  const std::uint64_t ur = static_cast<std::uint64_t>(rows);
  k_ = k;
  requested_columns_ = cache_column_count(setup.cache_bytes, rows, n);
  // Everything but the cache first; the cache takes what is left of 90% of the memory.
  const double column_bytes = 8.0 * static_cast<double>(rows);
  const double usable = 0.9 * setup.memory_bytes;
  const double working = working_bytes(rows, d, k) + setup.other_bytes;
  int m = requested_columns_;
  if (working + 2 * column_bytes > usable) {
    failure = {true, working + 2 * column_bytes, setup.other_what};
  } else {
    if (working + m * column_bytes > usable) m = static_cast<int>((usable - working) / column_bytes);
    cache_.allocate(n, rows, m, failure);
    norms_ = try_allocate<double>(ur, false, "the sample norms", failure);
    transposed_ = try_allocate<double>(ur * d, false, "a feature-major copy of X", failure);
    scratch_ = try_allocate<double>(ur * k, false, "the block's kernel columns", failure);
  }
  // Every rank goes on only where all have their arrays.
  if (!team.all(!failure.failed)) return false;
  frame_ = choose_kernel_frame(setup.X, d, setup.w, team);
  const double* X = setup.X;
  if (frame_.form == kernel_form::centred) {
    centred_ = try_allocate<double>(ur * d, false, "a translated copy of X", failure);
    if (!team.all(!failure.failed)) return false;
    for (std::int64_t i = 0; i < rows; ++i) {
      centre_sample(frame_, sample_at(setup.X, i, d), d, setup.w, centred_.get() + sample_offset(i, d));
    }
    X = centred_.get();
  }
  for (std::int64_t i = 0; i < rows; ++i) norms_[i] = weighted_sq_norm(X, i, d, setup.w);
  transpose_samples(X, d, rows, transposed_.get());
  data_ = training_data{X, transposed_.get(), setup.w, norms_.get(), setup.ridge, static_cast<int>(rows), d};
  data_.kind = setup.kind;
  data_.by_differences = frame_.form == kernel_form::differences || setup.kind != kernel_kind::gaussian;
  stop_.reset(new interruption(setup.interrupt_pending, setup.interrupt_state));
  schedule_.reset(new block_schedule(
      effective_threads(setup.threads, rows, setup.min_rows_per_thread), rows, k, stop_.get()));
  return true;
}

std::int64_t kernel_operator::accumulate(const double* coef, int p, double* out, double* abs_out) {
  const std::int64_t rows = data_.n;
  const int d = data_.d;
  row_team& team = *team_;
  const double* columns[GROUP];
  // The group's coefficients, vector by vector (q * GROUP + g), as accumulate_columns reads them.
  std::unique_ptr<double[]> coefs(new double[GROUP * p]);
  std::unique_ptr<double[]> abs_coefs(abs_out ? new double[GROUP * p] : nullptr);
  // A batch as its rank sends it: the count, then per column its sample index, its p
  // coefficients, its sample in the frame and its norm.
  const int per_column = 1 + p + d + 1;
  std::vector<double> batch(1 + static_cast<std::size_t>(BATCH) * per_column);
  int count = 0, computed = 0;
  std::int64_t used = 0;
  auto flush = [&] {
    auto part_rows = [&](int part) {
      schedule_->for_rows(rows, part, schedule_->parts(), [&](std::int64_t r0, std::int64_t r1) {
        accumulate_columns(columns, coefs.get(), GROUP, count, p, out, rows, r0, r1);
        if (abs_out) accumulate_columns(columns, abs_coefs.get(), GROUP, count, p, abs_out, rows, r0, r1);
      });
    };
    schedule_->pool().run_parts(part_rows);
    count = computed = 0;
  };
  bool stopped = false;
  for (int root = 0; root < team.size() && !stopped; ++root) {
    const std::int64_t begin = team.first_of(root) - team.first(), end = team.first_of(root + 1) - team.first();
    std::int64_t next = begin;  // this rank's next row to send, where it is the root
    while (true) {
      if (root == team.rank()) {
        int taken = 0;
        for (; next < end && taken < BATCH; ++next) {
          bool zero = true;
          for (int q = 0; q < p; ++q) zero = zero && coef[q * rows + next] == 0.0;
          if (zero) continue;
          double* entry = batch.data() + 1 + static_cast<std::size_t>(taken++) * per_column;
          entry[0] = static_cast<double>(team.first() + next);
          for (int q = 0; q < p; ++q) entry[1 + q] = coef[q * rows + next];
          const column_sample own = training_sample(data_, next);
          for (int l = 0; l < d; ++l) entry[1 + p + l] = own.x[l];
          entry[1 + p + d] = own.norm;
        }
        // A batch of BATCH columns may leave rows to look at; a shorter one ends the rank's.
        batch[0] = taken == BATCH && next < end ? -static_cast<double>(taken) : taken;
      }
      team.broadcast(batch.data(), 1, root);
      const int taken = static_cast<int>(std::fabs(batch[0]));
      team.broadcast(batch.data() + 1, static_cast<std::int64_t>(taken) * per_column, root);
      for (int b = 0; b < taken; ++b) {
        const double* entry = batch.data() + 1 + static_cast<std::size_t>(b) * per_column;
        const int j = static_cast<int>(entry[0]);
        if (stop_->requested()) {
          stopped = true;
          break;
        }
        used += 1;
        const std::int64_t diagonal = team.holds(j) ? j - team.first() : -1;
        const column_sample sample{entry + 1 + p, entry[1 + p + d]};
        const int slot = cache_.slot_of(j);
        if (slot != 0) {
          columns[count] = cache_.slot_column(slot - 1);
        } else if (cache_.never_evicts()) {
          // A slot per sample: the column is kept for every later use in the call.
          double* column = cache_.claim(j, k_, 0, 0, schedule_->pool()).column;
          schedule_->compute_column(data_, sample, column);
          if (diagonal >= 0) column[diagonal] += data_.ridge;
          columns[count] = column;
        } else if (double* kept = cache_.keep(j, schedule_->pool())) {
          // A slot no column has used yet: kept for the later passes of the call.
          schedule_->compute_column(data_, sample, kept);
          if (diagonal >= 0) kept[diagonal] += data_.ridge;
          columns[count] = kept;
        } else {
          double* column = scratch_.get() + static_cast<std::int64_t>(computed++) * rows;
          schedule_->compute_column(data_, sample, column);
          if (diagonal >= 0) column[diagonal] += data_.ridge;  // as cached columns hold it
          columns[count] = column;
        }
        for (int q = 0; q < p; ++q) {
          coefs[q * GROUP + count] = entry[1 + q];
          if (abs_out) abs_coefs[q * GROUP + count] = std::fabs(entry[1 + q]);
        }
        if (++count == GROUP || computed == k_) flush();
      }
      if (stopped || batch[0] >= 0.0) break;
    }
  }
  if (count > 0) flush();
  return used;
}

}  // namespace krr
