// Mapping cache pages in ahead: the request must keep what the memory holds, and the
// block step's mark must always cover the slots written so far without running far ahead.
#include <gtest/gtest.h>

#include <vector>

#include "block_step_harness.h"
#include "test_support.h"
#include "training/block_step.h"
#include "training/page_prefault.h"

namespace {

TEST(PagePrefault, KeepsContentsOfPartlyCoveredPages) {
  std::vector<double> v(700000);
  for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<double>(i) + 0.5;
  // An unaligned range with partial pages at both ends, then one inside a single page.
  krr::prefault_for_write(reinterpret_cast<char*>(v.data()) + 13, 5000003);
  EXPECT_TRUE(krr::prefault_for_write(v.data() + 1, 100));
  for (size_t i = 0; i < v.size(); ++i) ASSERT_EQ(v[i], static_cast<double>(i) + 0.5) << i;
}

TEST(PagePrefault, MarkCoversEveryWrittenSlotAndStaysWithinABatch) {
  // 2,500 samples: a full-size cache of 50 MB and a ring of 40 MB, each more than one batch.
  const int n = 2500, k = 50;
  const std::int64_t batch = krr::PREFAULT_BATCH_BYTES / 8;
  for (int m : {n, 2000}) {
    testing_support::harness h(testing_support::random_problem(n, 2, 5), 0.1, k, m, 2);
    reference::sequence seq(7);
    auto rng = testing_support::source_of(seq);
    std::int64_t before = 0;
    for (std::int64_t t = 0; t < 60; ++t) {
      h.step(t, rng);
      int highest = -1;
      for (int q = 0; q < m; ++q) {
        if (h.sample_of_slot[q]) highest = q;
      }
      const std::int64_t written = static_cast<std::int64_t>(highest + 1) * n;
      EXPECT_GE(h.cache.prefaulted, written) << "m " << m << " step " << t;
      EXPECT_LE(h.cache.prefaulted, static_cast<std::int64_t>(m) * n);
      EXPECT_GE(h.cache.prefaulted, before);
      if (h.cache.prefaulted < static_cast<std::int64_t>(m) * n) {
        EXPECT_LE(h.cache.prefaulted, written + batch + n) << "m " << m << " step " << t;
      }
      before = h.cache.prefaulted;
    }
    EXPECT_GT(before, batch) << "the run should need a second batch";
  }
}

}  // namespace
