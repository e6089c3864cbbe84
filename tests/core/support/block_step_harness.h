// The state a run of block steps needs, set up as the solver sets it up, for the core tests
// that drive block_step directly.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "core/kernel/kernel_math.h"
#include "tests/core/support/test_support.h"
#include "core/solve/block_step.h"

namespace testing_support {

struct harness {
  problem_data p;
  double ridge;
  int k, m;
  std::vector<double> norms, Xt, grad, block_columns;
  krr::kernel_cache cache;
  krr::block_workspace ws;
  krr::training_data data{};
  krr::block_schedule schedule;
  krr::max_abs_result best{};
  krr::block_solution_stats stats;

  harness(problem_data prob, double r, int block, int slots, int threads = 1)
      : p(std::move(prob)), ridge(r), k(block), m(slots), schedule(threads, p.n, block) {
    const int n = p.n;
    norms.resize(n);
    for (int i = 0; i < n; ++i) norms[i] = krr::weighted_sq_norm(p.X.data(), i, p.d, p.w.data());
    Xt.resize(static_cast<size_t>(n) * p.d);
    krr::transpose_samples(p.X.data(), p.d, n, Xt.data());
    grad.resize(n);
    for (int i = 0; i < n; ++i) grad[i] = -p.y[i];
    best = krr::max_abs_entry(grad.data(), n);
    krr::allocation_failure failure;
    cache.allocate(n, m, failure);
    block_columns.resize(static_cast<size_t>(n) * k);
    ws.allocate(k, block_columns.data(), failure);
    EXPECT_FALSE(failure.failed);
    data = {p.X.data(), Xt.data(), p.w.data(), norms.data(), ridge, n, p.d};
  }

  void step(std::int64_t t, krr::random_source& rng) {
    best = krr::block_step(data, k, best.index, grad.data(), t, rng, cache, ws, schedule, stats);
  }
  int member(int i) const { return ws.block_index[i]; }
  double delta(int i) const { return ws.block_delta[i]; }

  void expect_maps_agree() const {
    for (int s = 0; s < p.n; ++s) {
      if (cache.slot_of(s)) {
        EXPECT_EQ(cache.sample_in(cache.slot_of(s) - 1), s + 1);
      }
    }
    for (int q = 0; q < m; ++q) {
      if (cache.sample_in(q)) {
        EXPECT_EQ(cache.slot_of(cache.sample_in(q) - 1), q + 1);
      }
    }
  }
};

}  // namespace testing_support
