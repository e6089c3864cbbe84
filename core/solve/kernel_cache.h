// The kernel column cache of one training call: m slots of n doubles (where a team shares
// the rows, core/parallel/row_team.h, m slots of this rank's rows, keyed by the team's
// samples, every rank choosing the same slots), the two maps between samples and slots, and the policy that says where a new column goes and whether a column
// may be read in place for the rest of a block step.
//
// When there are fewer slots than samples, slot choice is fixed by a member's place in the
// run, not by use: member i of block step t takes slot (k*t + i) mod m, a plain ring over the
// sequence of block members. When every sample has a slot (m = n), columns take the slots in
// the order they are first computed and are never evicted, so each is computed at most once
// per call. Either way slots are first written in increasing order, which lets the pages
// behind them be mapped in ahead in large batches. No cached value or result depends on
// which slot a column uses.
#pragma once

#include <cstdint>
#include <memory>

#include "core/parallel/thread_pool.h"
#include "core/parallel/allocation.h"

namespace krr {

// Pages are mapped in ahead of the slots' first writes, this many bytes at a time: large
// enough that a request costs far less than the page faults it replaces, small enough that
// a run ending early maps in little that it never uses.
constexpr std::int64_t PREFAULT_BATCH_BYTES = std::int64_t{32} << 20;

// Ring slot of member i of block step t: (k*t + i) mod m, in 64 bits.
inline int cache_slot_for(int k, std::int64_t t, int i, int m) {
  return static_cast<int>((static_cast<std::int64_t>(k) * t + i) % m);
}

// Whole columns of n doubles that a budget of cache_bytes buys: floor((bytes / n) * 0.125),
// at most n, at least 2. A count too large for a 32-bit integer (an infinite budget
// among them) means n columns; a negative, zero or NaN budget means 2.
int cache_column_count(double cache_bytes, int n);
// The same where each column holds `rows` of n samples (a rank's share of a team's): the
// budget buys columns of that many doubles, still at most n, at least 2.
int cache_column_count(double cache_bytes, std::int64_t rows, int n);

class kernel_cache {
 public:
  // m slots of n doubles, left unmapped until written, and empty maps. False, with the
  // failure recorded, when they cannot be had.
  bool allocate(int n, int m, allocation_failure& failure) { return allocate(n, n, m, failure); }
  // The same for n samples of which this rank holds `rows`: slots of that many doubles.
  bool allocate(int n, std::int64_t rows, int m, allocation_failure& failure);

  int slots() const { return m_; }
  int slot_of(int s) const { return slot_of_sample_[s]; }    // q + 1, or 0: not cached
  int sample_in(int q) const { return sample_of_slot_[q]; }  // s + 1, or 0: empty
  const double* slot_column(int q) const { return columns_.get() + q * rows_; }
  std::int64_t requests() const { return requests_; }  // columns asked for
  std::int64_t misses() const { return misses_; }      // of those, the ones computed

  // Member i of block step t (block size k) asks for the column of s. `column` is null when
  // s is not cached; `in_place` says whether no later member of the step can overwrite it.
  struct found {
    const double* column;
    bool in_place;
  };
  found find(int s, int k, std::int64_t t, int i);

  // Gives the column of s a slot (evicting its previous sample) and maps its pages in ahead,
  // split across the pool. The caller writes all n values, ridge included; `in_place` says
  // whether it may write and read them there for the rest of the step, or must compute them
  // elsewhere and copy them in.
  struct claimed {
    double* column;
    bool in_place;
  };
  claimed claim(int s, int k, std::int64_t t, int i, thread_pool& pool);

  // For passes that use every column once (the products of conjugate gradients and Lanczos,
  // the gradient check): the column of s gets the next slot no column has used yet, or null
  // where none is left. So a cache smaller than K keeps the first columns a pass computes for
  // every later pass, instead of none; every column is used equally often there, so which ones
  // it keeps does not matter. The caller writes all values, ridge included.
  double* keep(int s, thread_pool& pool);

  // Whether a column cached in a slot may be read at any time in the step: with a slot per
  // sample nothing is ever overwritten.
  bool never_evicts() const { return m_ == n_; }

 private:
  bool rewritten_later(int q, int k, std::int64_t t, int i) const;
  void prefault_through(int u, thread_pool& pool);

  std::unique_ptr<double[]> columns_;  // slot q holds entries q*n ... q*n + n - 1
  std::unique_ptr<int[]> slot_of_sample_;
  std::unique_ptr<int[]> sample_of_slot_;
  std::int64_t n_ = 0;     // samples
  std::int64_t rows_ = 0;  // doubles a slot holds
  int m_ = 0;
  std::int64_t requests_ = 0;
  std::int64_t misses_ = 0;  // with a slot per sample, also the next unused slot
  std::int64_t prefaulted_ = 0;  // doubles from the start of the storage mapped in ahead
  int unused_ = 0;               // keep's next slot, all below it taken
  bool prefault_declined_ = false;  // the system refused a prefault: stop asking
};

}  // namespace krr
