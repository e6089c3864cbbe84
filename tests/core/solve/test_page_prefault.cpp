// Mapping cache pages in ahead: the request covers only the whole pages inside the range,
// never the partly covered ones at its ends, and keeps what the memory holds. The range
// sits between two inaccessible pages, so a request that strays onto them is refused.
#include <gtest/gtest.h>

#include <cstddef>

#include "core/solve/page_prefault.h"

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // value fixed by the kernel's interface
#endif
#endif

namespace {

#if defined(__linux__)
TEST(PagePrefault, RequestsOnlyTheWholePagesInsideAndKeepsTheirContents) {
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  // Four pages: the outer two inaccessible, the middle two holding a pattern.
  void* mapped = mmap(nullptr, 4 * page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mapped, MAP_FAILED);
  char* base = static_cast<char*>(mapped);
  ASSERT_EQ(mprotect(base + page, 2 * page, PROT_READ | PROT_WRITE), 0);
  unsigned char* middle = reinterpret_cast<unsigned char*>(base + page);
  for (std::size_t i = 0; i < 2 * page; ++i) middle[i] = static_cast<unsigned char>(i * 7 + 1);

  // No whole page inside: nothing is requested, on any kernel, even where the bytes lie
  // on inaccessible pages.
  EXPECT_TRUE(krr::prefault_for_write(base + 10, 100));
  EXPECT_TRUE(krr::prefault_for_write(base + page - 7, 14));

  // Ends on the inaccessible pages, the two whole pages between them accessible: mapped
  // where the kernel offers the request (5.14 on), declined where it does not.
  const bool offered = madvise(base + page, page, MADV_POPULATE_WRITE) == 0;
  EXPECT_EQ(krr::prefault_for_write(base + page - 100, 2 * page + 200), offered);
  for (std::size_t i = 0; i < 2 * page; ++i) {
    ASSERT_EQ(middle[i], static_cast<unsigned char>(i * 7 + 1)) << i;
  }
  munmap(mapped, 4 * page);
}
#endif

}  // namespace
