// The kernel column cache: sizing from a byte budget, slot choice, in-place readability,
// and mapping the slots' pages in ahead of their first write.
#include "core/exact_arithmetic.h"

#include "core/solve/kernel_cache.h"

#include <cmath>
#include <cstddef>

#include "core/solve/page_prefault.h"

namespace krr {

int cache_column_count(double cache_bytes, int n) { return cache_column_count(cache_bytes, n, n); }

int cache_column_count(double cache_bytes, std::int64_t rows, int n) {
  const double columns = std::floor((cache_bytes / static_cast<double>(rows)) * 0.125);
  int m;
  if (columns >= 2147483648.0) {
    m = n;
  } else if (columns >= 0.0) {
    m = static_cast<int>(columns);
  } else {
    m = 0;  // negative or NaN
  }
  if (m > n) m = n;
  if (m < 2) m = 2;
  return m;
}

bool kernel_cache::allocate(int n, std::int64_t rows, int m, allocation_failure& failure) {
  const std::uint64_t un = static_cast<std::uint64_t>(n);
  const std::uint64_t um = static_cast<std::uint64_t>(m);
  columns_ = try_allocate<double>(static_cast<std::uint64_t>(rows) * um, false,
                                  "the kernel column cache", failure);
  slot_of_sample_ = try_allocate<int>(un, true, "the cache maps", failure);
  sample_of_slot_ = try_allocate<int>(um, true, "the cache maps", failure);
  n_ = n;
  rows_ = rows;
  m_ = m;
  return !failure.failed;
}

kernel_cache::found kernel_cache::find(int s, int k, std::int64_t t, int i) {
  requests_ += 1;
  const int cached = slot_of_sample_[s];
  if (cached == 0) return {nullptr, false};
  return {columns_.get() + (cached - 1) * rows_, never_evicts() || !rewritten_later(cached - 1, k, t, i)};
}

kernel_cache::claimed kernel_cache::claim(int s, int k, std::int64_t t, int i, thread_pool& pool) {
  // The ring would let a full-size cache overwrite columns it still holds and compute them
  // again; there the next unused slot is taken instead (the misses so far, as no column is
  // computed twice), which keeps every column.
  const int u = never_evicts() ? static_cast<int>(misses_) : cache_slot_for(k, t, i, m_);
  misses_ += 1;
  prefault_through(u, pool);
  const int evicted = sample_of_slot_[u];
  if (evicted != 0) slot_of_sample_[evicted - 1] = 0;
  sample_of_slot_[u] = s + 1;
  slot_of_sample_[s] = u + 1;
  return {columns_.get() + u * rows_, never_evicts() || !rewritten_later(u, k, t, i)};
}

double* kernel_cache::keep(int s, thread_pool& pool) {
  while (unused_ < m_ && sample_of_slot_[unused_] != 0) ++unused_;  // taken by the ring
  if (unused_ >= m_) return nullptr;
  const int u = unused_++;
  prefault_through(u, pool);
  sample_of_slot_[u] = s + 1;
  slot_of_sample_[s] = u + 1;
  return columns_.get() + u * rows_;
}

// Whether a member after member i of step t may store its column in slot q: the slots
// k*t + i + 1 ... k*t + k - 1, mod m.
bool kernel_cache::rewritten_later(int q, int k, std::int64_t t, int i) const {
  const std::int64_t later = static_cast<std::int64_t>(k) - 1 - i;
  if (later <= 0) return false;
  if (later >= m_) return true;
  const int base = cache_slot_for(k, t, i + 1, m_);
  const int offset = (q - base + m_) % m_;
  return offset < later;
}

// Makes sure the pages through the end of slot u are mapped in, taking the next batch of
// slots split across the threads. Slots are first written in increasing order, so
// everything below the mark has been mapped in already.
void kernel_cache::prefault_through(int u, thread_pool& pool) {
  const std::int64_t needed = (u + 1) * rows_;
  if (prefault_declined_ || needed <= prefaulted_) return;
  const std::int64_t total = m_ * rows_;
  const std::int64_t batch = PREFAULT_BATCH_BYTES / 8 > rows_ ? PREFAULT_BATCH_BYTES / 8 : rows_;
  const std::int64_t begin = prefaulted_;
  std::int64_t end = begin + batch > needed ? begin + batch : needed;
  if (end > total) end = total;
  const int parts = pool.size();
  bool mapped[MAX_THREADS];
  auto part_prefault = [&](int part) {
    const row_range range = split_rows(end - begin, part, parts, 512);
    mapped[part] = prefault_for_write(columns_.get() + begin + range.begin,
                                      static_cast<std::size_t>(range.end - range.begin) * 8);
  };
  pool.run_parts(part_prefault);
  prefaulted_ = end;
  for (int part = 0; part < parts; ++part) {
    if (!mapped[part]) prefault_declined_ = true;
  }
}

}  // namespace krr
