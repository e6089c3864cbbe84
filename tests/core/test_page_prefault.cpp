// Mapping cache pages in ahead: the request must keep what the memory holds, and the
// block step's mark must always cover the slots written so far without running far ahead.
#include <gtest/gtest.h>

#include <vector>

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
    const auto p = testing_support::random_problem(n, 2, 5);
    std::vector<double> norms(n), Xt(2 * n), grad(n), delta(k), block_columns(n * k);
    std::vector<double> columns(static_cast<size_t>(m) * n), inverse(k * k), small(3 * k);
    std::vector<int> index(k), slot_of_sample(n, 0), sample_of_slot(m, 0), offsets(k);
    std::vector<const double*> pointers(k);
    for (int i = 0; i < n; ++i) norms[i] = krr::weighted_sq_norm(p.X.data(), i, 2, p.w.data());
    krr::transpose_samples(p.X.data(), 2, n, Xt.data());
    for (int i = 0; i < n; ++i) grad[i] = -p.y[i];
    krr::kernel_cache cache{columns.data(), slot_of_sample.data(), sample_of_slot.data(), m, 0, 0};
    krr::block_workspace ws{};
    ws.block_columns = block_columns.data();
    ws.columns = pointers.data();
    ws.block_inverse = inverse.data();
    ws.block_rhs = small.data();
    ws.new_row = small.data() + k;
    ws.inverse_scratch = small.data() + 2 * k;
    ws.member_offsets = offsets.data();
    const krr::training_data data{p.X.data(), Xt.data(), p.w.data(), norms.data(), 0.1, n, 2};
    krr::thread_pool pool(2);
    reference::sequence seq(7);
    auto rng = testing_support::source_of(seq);
    krr::max_abs_result best = krr::max_abs_entry(grad.data(), n);
    std::int64_t before = 0;
    for (std::int64_t t = 0; t < 60; ++t) {
      best = krr::block_step(data, k, best.index, delta.data(), grad.data(), index.data(), cache,
                             t, rng, ws, pool);
      int highest = -1;
      for (int q = 0; q < m; ++q) {
        if (sample_of_slot[q]) highest = q;
      }
      const std::int64_t written = static_cast<std::int64_t>(highest + 1) * n;
      EXPECT_GE(cache.prefaulted, written) << "m " << m << " step " << t;
      EXPECT_LE(cache.prefaulted, static_cast<std::int64_t>(m) * n);
      EXPECT_GE(cache.prefaulted, before);
      if (cache.prefaulted < static_cast<std::int64_t>(m) * n) {
        EXPECT_LE(cache.prefaulted, written + batch + n) << "m " << m << " step " << t;
      }
      before = cache.prefaulted;
    }
    EXPECT_GT(before, batch) << "the run should need a second batch";
  }
}

}  // namespace
