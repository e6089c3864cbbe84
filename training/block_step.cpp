// The block step: member choice, kernel columns through the cache, the exact block
// solution, and the gradient update, each reduction in increasing index order.
#include "training/block_step.h"

#include <cmath>
#include <cstddef>
#include <cstring>

#include "common/kernel_math.h"
#include "training/block_inverse.h"

namespace krr {

void compute_kernel_column(const training_data& data, int s, double* column) {
  const double amplitude = data.w[data.d];
  const double ns = data.norms[s];
  for (int r = 0; r < data.n; ++r) {
    const double ip = weighted_dot(data.X, r, data.X, s, data.d, data.w);
    column[r] = kernel_value(ns, data.norms[r], ip, amplitude);
  }
}

namespace {

// Puts member s's kernel column (ridge included) into dest, from the cache or computed
// and stored in the slot that member i of step t owns.
void fetch_column(const training_data& data, int s, int k, std::int64_t t, int i,
                  kernel_cache& cache, double* dest) {
  const std::size_t n = static_cast<std::size_t>(data.n);
  const int cached = cache.slot_of_sample[s];
  if (cached != 0) {
    std::memcpy(dest, cache.columns + (cached - 1) * n, n * sizeof(double));
    return;
  }
  const int u = cache_slot_for(k, t, i, cache.m);
  double* slot = cache.columns + u * n;
  compute_kernel_column(data, s, dest);
  dest[s] += data.ridge;
  std::memcpy(slot, dest, n * sizeof(double));
  const int evicted = cache.sample_of_slot[u];
  if (evicted != 0) cache.slot_of_sample[evicted - 1] = 0;
  cache.sample_of_slot[u] = s + 1;
  cache.slot_of_sample[s] = u + 1;
}

}  // namespace

void block_step(const training_data& data, const double* resid, int k, double* block_delta,
                double* grad, int* block_index, kernel_cache& cache, std::int64_t t,
                random_source& rng, block_workspace& ws) {
  const int n = data.n;
  const std::size_t nn = static_cast<std::size_t>(n);
  for (int j = 0; j < n; ++j) ws.pool[j] = j;
  int pool_size = n;

  int s = max_abs_entry(grad, n).index;
  int pos = s;

  for (int i = 0; i < k; ++i) {
    double* column = ws.block_columns + i * nn;
    fetch_column(data, s, k, t, i, cache, column);

    block_index[i] = s;
    ws.block_rhs[i] = resid[s];
    if (i == 0) {
      ws.block_inverse[0] = 1.0 / column[s];
      block_delta[0] = ws.block_inverse[0] * ws.block_rhs[0];
    } else {
      for (int j = 0; j <= i; ++j) ws.new_row[j] = column[block_index[j]];
      grow_block_inverse(ws.block_inverse, block_delta, ws.new_row, ws.block_rhs, i, k,
                         ws.inverse_scratch);
    }

    pool_size -= 1;
    if (pos < pool_size) {
      std::memmove(ws.pool + pos, ws.pool + pos + 1,
                   static_cast<std::size_t>(pool_size - pos) * sizeof(int));
    }

    // The draws are taken after every member, the last one included, so each step
    // consumes exactly 60*k values; after the last member their choice is unused.
    for (int c = 0; c < CANDIDATE_COUNT; ++c) {
      const double unit = rng.next15(rng.state) * 0x1p-15;
      ws.candidates[c] = static_cast<int>(std::floor(unit * pool_size));
    }
    if (i == k - 1) break;

    for (int c = 0; c < CANDIDATE_COUNT; ++c) ws.scores[c] = -resid[ws.pool[ws.candidates[c]]];
    for (int j = 0; j <= i; ++j) {
      const double* col = ws.block_columns + j * nn;
      const double dj = block_delta[j];
      for (int c = 0; c < CANDIDATE_COUNT; ++c) {
        ws.scores[c] += col[ws.pool[ws.candidates[c]]] * dj;
      }
    }
    pos = ws.candidates[max_abs_entry(ws.scores, CANDIDATE_COUNT).index];
    s = ws.pool[pos];
  }

  for (int r = 0; r < n; ++r) grad[r] = -resid[r];
  for (int j = 0; j < k; ++j) {
    const double* col = ws.block_columns + j * nn;
    const double dj = block_delta[j];
    for (int r = 0; r < n; ++r) grad[r] += col[r] * dj;
  }
}

}  // namespace krr
