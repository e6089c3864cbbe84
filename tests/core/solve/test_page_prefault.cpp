// Mapping cache pages in ahead: the request must keep what the memory holds, whole pages
// and the partly covered ones at both ends alike.
#include <gtest/gtest.h>

#include <vector>

#include "core/solve/page_prefault.h"

namespace {

TEST(PagePrefault, KeepsContentsOfPartlyCoveredPages) {
  std::vector<double> v(700000);
  for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<double>(i) + 0.5;
  // An unaligned range with partial pages at both ends, then one inside a single page.
  krr::prefault_for_write(reinterpret_cast<char*>(v.data()) + 13, 5000003);
  EXPECT_TRUE(krr::prefault_for_write(v.data() + 1, 100));
  for (size_t i = 0; i < v.size(); ++i) ASSERT_EQ(v[i], static_cast<double>(i) + 0.5) << i;
}

}  // namespace
