// Linux maps a range in one request through madvise(MADV_POPULATE_WRITE) (kernel 5.14
// on); elsewhere, or on older kernels, the request is declined and pages fault in on
// first touch.
#include "core/exact_arithmetic.h"

#include "core/solve/page_prefault.h"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace krr {

bool prefault_for_write(void* begin, std::size_t bytes) {
#if defined(__linux__)
#ifndef MADV_POPULATE_WRITE
  constexpr int MADV_POPULATE_WRITE = 23;  // value fixed by the kernel's interface
#endif
  const long page_size = sysconf(_SC_PAGESIZE);
  if (page_size <= 0) return false;
  const std::uintptr_t page = static_cast<std::uintptr_t>(page_size);
  const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(begin);
  const std::uintptr_t first = (start + page - 1) / page * page;
  const std::uintptr_t last = (start + bytes) / page * page;
  if (last <= first) return true;  // no whole page inside: nothing to map
  return madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE) == 0;
#else
  (void)begin;
  (void)bytes;
  return false;
#endif
}

}  // namespace krr
