// The rows of a training set shared among the processes of one job (its ranks): rank p of P
// holds the contiguous rows [floor(p n / P), floor((p+1) n / P)) of X, y, the coefficients
// and the gradient, and every rank runs the same solver code, meeting the others only
// through the collective operations below. Each is called by every rank in the same order
// and gives every rank the same bits whatever P: the operations are exact (the extremes, a
// largest entry with its index, broadcasts, a logical and) or carry one running value
// through the ranks in row order. The single process is the team of one (single_team),
// whose operations do nothing; a team over MPI is a host's (the command line's), so the
// core itself knows nothing of any transport.
#pragma once

#include <cstdint>
#include <functional>

#include "core/kernel/kernel_math.h"

namespace krr {

class row_team {
 public:
  row_team(std::int64_t n, int rank, int size) : n_(n), rank_(rank), size_(size) {}
  virtual ~row_team() = default;
  row_team(const row_team&) = delete;
  row_team& operator=(const row_team&) = delete;

  std::int64_t n() const { return n_; }  // the rows of the whole team
  int rank() const { return rank_; }
  int size() const { return size_; }
  // The first row of rank p (p = size: n).
  std::int64_t first_of(int p) const { return static_cast<std::int64_t>(p) * n_ / size_; }
  std::int64_t first() const { return first_of(rank_); }
  std::int64_t rows() const { return first_of(rank_ + 1) - first_of(rank_); }
  bool holds(std::int64_t row) const { return row >= first() && row < first_of(rank_ + 1); }
  // The rank holding row (0 <= row < n).
  int owner(std::int64_t row) const {
    int p = static_cast<int>(row * size_ / n_);
    while (p + 1 < size_ && first_of(p + 1) <= row) ++p;
    while (p > 0 && first_of(p) > row) --p;
    return p;
  }

  // count values from rank root to every rank.
  virtual void broadcast(double* values, std::int64_t count, int root) = 0;
  // The best of every rank's {value, index}: index -1 takes no part; a NaN value wins (only
  // the entry at index 0 may carry one, as max_abs_entry lets only it win with a NaN); else
  // the larger value, and of equal values the lower index. Every rank gets the result.
  virtual max_abs_result best_of(max_abs_result local) = 0;
  // For each of count entries, the least lo and the greatest hi over the ranks, of equal
  // values the lower rank's (as a scan of the rows in order keeps the first): NaN-free
  // values only. Either array may be null.
  virtual void extremes(double* lo, double* hi, int count) = 0;
  // Whether every rank says true.
  virtual bool all(bool value) = 0;
  // One running value through the ranks in row order: rank 0 applies `rows` to start, each
  // later rank to the value the one before it returned; every rank gets the last one's.
  // For sums that must add the rows in order, as one process adds them.
  virtual double in_row_order(double start, const std::function<double(double)>& rows) = 0;

 private:
  std::int64_t n_;
  int rank_, size_;
};

// The whole training set in one process.
class single_team final : public row_team {
 public:
  explicit single_team(std::int64_t n) : row_team(n, 0, 1) {}
  void broadcast(double*, std::int64_t, int) override {}
  max_abs_result best_of(max_abs_result local) override { return local; }
  void extremes(double*, double*, int) override {}
  bool all(bool value) override { return value; }
  double in_row_order(double start, const std::function<double(double)>& rows) override {
    return rows(start);
  }
};

// max_abs_entry of a vector of the team's n rows, of which v holds this rank's, the index
// global: this rank's part (part: max_abs_part of v over all its rows, its index local)
// taken with the entry at row 0 where this rank holds it, as max_abs_entry starts from it,
// then the ranks' best.
inline max_abs_result team_max_abs(row_team& team, const double* v, max_abs_result part) {
  max_abs_result best = part;
  if (team.first() == 0 && team.rows() > 0) {
    best = {std::fabs(v[0]), 0};
    merge_max_abs(best, part);
  }
  if (best.index >= 0) best.index += static_cast<int>(team.first());
  return team.best_of(best);
}

}  // namespace krr
