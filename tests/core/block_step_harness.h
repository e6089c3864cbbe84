// The state a run of block steps needs, set up as the solver sets it up, for the core tests
// that drive block_step directly.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "common/kernel_math.h"
#include "test_support.h"
#include "training/block_step.h"

namespace testing_support {

// Owns everything a run of block steps needs, set up as the solver sets it up.
struct harness {
  problem_data p;
  double ridge;
  int k, m;
  std::vector<double> norms, Xt, grad, delta, columns, block_columns, inverse, small;
  std::vector<int> index, slot_of_sample, sample_of_slot, sorted;
  std::vector<const double*> pointers;
  krr::kernel_cache cache{};
  krr::block_workspace ws{};
  krr::training_data data{};
  krr::thread_pool pool;
  krr::max_abs_result best{};

  harness(problem_data prob, double r, int block, int slots, int threads = 1)
      : p(std::move(prob)), ridge(r), k(block), m(slots), pool(threads) {
    const int n = p.n;
    norms.resize(n);
    for (int i = 0; i < n; ++i) norms[i] = krr::weighted_sq_norm(p.X.data(), i, p.d, p.w.data());
    Xt.resize(static_cast<size_t>(n) * p.d);
    krr::transpose_samples(p.X.data(), p.d, n, Xt.data());
    grad.resize(n);
    for (int i = 0; i < n; ++i) grad[i] = -p.y[i];
    best = krr::max_abs_entry(grad.data(), n);
    delta.resize(k);
    index.resize(k);
    columns.resize(static_cast<size_t>(m) * n);
    slot_of_sample.assign(n, 0);
    sample_of_slot.assign(m, 0);
    block_columns.resize(static_cast<size_t>(n) * k);
    inverse.resize(k * k);
    small.resize(3 * k);
    sorted.resize(k);
    pointers.resize(k);
    cache = {columns.data(), slot_of_sample.data(), sample_of_slot.data(), m, 0, 0};
    ws.block_columns = block_columns.data();
    ws.columns = pointers.data();
    ws.block_inverse = inverse.data();
    ws.block_rhs = small.data();
    ws.new_row = small.data() + k;
    ws.inverse_scratch = small.data() + 2 * k;
    ws.member_offsets = sorted.data();
    data = {p.X.data(), Xt.data(), p.w.data(), norms.data(), ridge, n, p.d};
  }

  void step(std::int64_t t, krr::random_source& rng) {
    best = krr::block_step(data, k, best.index, delta.data(), grad.data(), index.data(), cache,
                           t, rng, ws, pool);
  }

  void expect_maps_agree() const {
    for (int s = 0; s < p.n; ++s) {
      if (slot_of_sample[s]) {
        EXPECT_EQ(sample_of_slot[slot_of_sample[s] - 1], s + 1);
      }
    }
    for (int q = 0; q < m; ++q) {
      if (sample_of_slot[q]) {
        EXPECT_EQ(slot_of_sample[sample_of_slot[q] - 1], q + 1);
      }
    }
  }
};

}  // namespace testing_support
