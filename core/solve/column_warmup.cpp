// Prefetching member columns for the gradient update while threads wait (column_warmup.h).
#include "core/exact_arithmetic.h"

#include "core/solve/column_warmup.h"

#include "core/solve/prefetch.h"

namespace krr {

namespace {
constexpr std::int64_t ROWS_PER_CALL = 64;  // eight lines: a call ends within tens of ns
}

column_warmup::column_warmup(std::int64_t n, int k, int parts)
    : parts_(parts), columns_(new std::atomic<const double*>[k]), cursors_(new cursor[parts]) {
  for (int j = 0; j < k; ++j) columns_[j].store(nullptr, std::memory_order_relaxed);
  for (int part = 0; part < parts; ++part) {
    const row_range range = split_rows(n, part, parts);
    cursors_[part].begin = range.begin;
    cursors_[part].end = range.end;
  }
}

void column_warmup::publish(std::int64_t step, int member, const double* column) {
  columns_[member].store(column, std::memory_order_relaxed);
  const std::uint64_t tag = (static_cast<std::uint64_t>(step) << 32) |
                            static_cast<std::uint32_t>(member + 1);
  published_.store(tag, std::memory_order_release);
}

bool column_warmup::prefetch_some(void* context, int part) {
  column_warmup& w = *static_cast<column_warmup*>(context);
  if (part >= w.parts_) return false;
  const std::uint64_t tag = w.published_.load(std::memory_order_acquire);
  const std::uint64_t step = tag >> 32;
  const int ready = static_cast<int>(tag & 0xffffffffu);
  cursor& c = w.cursors_[part];
  if (c.step != step) {
    c.step = step;
    c.member = 0;
    c.row = c.begin;
  }
  if (c.member >= ready || c.begin >= c.end) return false;
  // A column published for an earlier step may be read here while the next step replaces
  // it; the worst that does is warm the wrong lines.
  const double* column = w.columns_[c.member].load(std::memory_order_relaxed);
  const std::int64_t end = c.row + ROWS_PER_CALL < c.end ? c.row + ROWS_PER_CALL : c.end;
  for (std::int64_t r = c.row; r < end; r += 8) prefetch(column + r);
  c.row = end;
  if (c.row >= c.end) {
    c.member += 1;
    c.row = c.begin;
  }
  return true;
}

}  // namespace krr
