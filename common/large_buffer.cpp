// Large buffers: an anonymous mapping aligned to 2 MiB with a huge-page hint on Linux,
// plain operator new elsewhere.
#include "common/large_buffer.h"

#include <cstdint>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace krr {

#if defined(__linux__)
namespace {
constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;
}

large_buffer::large_buffer(std::size_t bytes) {
  if (bytes == 0) bytes = 1;
  if (bytes > SIZE_MAX - HUGE_PAGE) return;
  const std::size_t mapped = bytes + HUGE_PAGE;
  void* base = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) return;
  const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(base);
  const std::uintptr_t aligned = (start + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
  base_ = base;
  mapped_ = mapped;
  data_ = reinterpret_cast<void*>(aligned);
#if defined(MADV_HUGEPAGE)
  madvise(data_, bytes, MADV_HUGEPAGE);  // a hint: failure leaves ordinary pages
#endif
}

large_buffer::~large_buffer() {
  if (base_) munmap(base_, mapped_);
}
#else
large_buffer::large_buffer(std::size_t bytes) {
  data_ = ::operator new(bytes ? bytes : 1, std::nothrow);
  base_ = data_;
}

large_buffer::~large_buffer() { ::operator delete(base_); }
#endif

}  // namespace krr
