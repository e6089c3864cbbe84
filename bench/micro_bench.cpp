// Micro-benchmarks of the inner loops, each beside the bound measured in the same run:
// calls of the C library's exp per second for the kernel column and prediction loops
// (through exp itself and through the entry the loops call), and memory read bandwidth
// for the gradient update. All run on one thread; the threaded loops split rows, so the
// bound scales with the cores used.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "core/kernel/kernel_math.h"
#include "core/kernel/library_exp.h"
#include "core/predict/predict.h"
#include "core/solve/gradient_update.h"
#include "core/kernel/kernel_column.h"

namespace {

std::vector<double> uniform(std::size_t count, double lo, double hi, unsigned seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> u(lo, hi);
  std::vector<double> v(count);
  for (auto& x : v) x = u(gen);
  return v;
}

// exp of arguments spread like the kernel's: -(weighted squared distance) in [-16, 0].
void exp_bound(benchmark::State& state) {
  const std::vector<double> args = uniform(4096, -16.0, 0.0, 1);
  std::vector<double> out(args.size());
  for (auto _ : state) {
    for (std::size_t i = 0; i < args.size(); ++i) out[i] = std::exp(args[i]);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(args.size()));
}
BENCHMARK(exp_bound);

// The same arguments through the entry the loops call (library_exp.h): the C library's exp
// without the errno wrapper where the library has one, else exp itself.
void exp_entry_bound(benchmark::State& state) {
  const std::vector<double> args = uniform(4096, -16.0, 0.0, 1);
  std::vector<double> out(args.size());
  const krr::exp_function exp_of = krr::library_exp();
  for (auto _ : state) {
    for (std::size_t i = 0; i < args.size(); ++i) out[i] = exp_of(args[i]);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(args.size()));
}
BENCHMARK(exp_entry_bound);

// One kernel column of n rows, d = 8 (Friedman data), ridge not included: the Gaussian's
// (from norms and dot products), or a Matern kernel's (from differences, its columns
// marked so as a kernel operator marks them).
void column_of(benchmark::State& state, krr::kernel_kind kind) {
  const int n = 16000, d = 8;
  const std::vector<double> X = uniform(static_cast<std::size_t>(n) * d, 0.0, 1.0, 2);
  std::vector<double> w(d + 1, 2.0), norms(n), Xt(X.size()), column(n);
  w[d] = 1.0;
  for (int i = 0; i < n; ++i) norms[i] = krr::weighted_sq_norm(X.data(), i, d, w.data());
  krr::transpose_samples(X.data(), d, n, Xt.data());
  krr::training_data data{X.data(), Xt.data(), w.data(), norms.data(), 0.1, n, d};
  data.kind = kind;
  data.by_differences = kind != krr::kernel_kind::gaussian;
  int s = 0;
  for (auto _ : state) {
    krr::kernel_column_rows(data, s, 0, n, column.data());
    benchmark::DoNotOptimize(column.data());
    s = (s + 977) % n;
  }
  state.SetItemsProcessed(state.iterations() * n);
}
void kernel_column(benchmark::State& state) { column_of(state, krr::kernel_kind::gaussian); }
BENCHMARK(kernel_column);
void kernel_column_matern12(benchmark::State& state) { column_of(state, krr::kernel_kind::matern12); }
BENCHMARK(kernel_column_matern12);
void kernel_column_matern32(benchmark::State& state) { column_of(state, krr::kernel_kind::matern32); }
BENCHMARK(kernel_column_matern32);
void kernel_column_matern52(benchmark::State& state) { column_of(state, krr::kernel_kind::matern52); }
BENCHMARK(kernel_column_matern52);

// The prediction loop: 256 test samples against 4000 training samples, d = 8.
void prediction(benchmark::State& state) {
  const int n = 4000, nt = 256, d = 8;
  const std::vector<double> X = uniform(static_cast<std::size_t>(n) * d, 0.0, 1.0, 3);
  const std::vector<double> Xt = uniform(static_cast<std::size_t>(nt) * d, 0.0, 1.0, 4);
  const std::vector<double> alpha = uniform(n, -1.0, 1.0, 5);
  std::vector<double> w(d + 1, 2.0), f(nt);
  w[d] = 1.0;
  for (auto _ : state) {
    krr::predict(Xt.data(), nt, X.data(), n, d, w.data(), alpha.data(), f.data(), 1);
    benchmark::DoNotOptimize(f.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n) * nt);
}
BENCHMARK(prediction);

// The same loop for 9 outputs sharing each kernel value (the targets and probes of a
// learned model): items are kernel values, as above, so equal rates mean the outputs after
// the first cost nothing but their multiply-adds.
void prediction_9_outputs(benchmark::State& state) {
  const int n = 4000, nt = 256, d = 8, c = 9;
  const std::vector<double> X = uniform(static_cast<std::size_t>(n) * d, 0.0, 1.0, 3);
  const std::vector<double> Xt = uniform(static_cast<std::size_t>(nt) * d, 0.0, 1.0, 4);
  const std::vector<double> alpha = uniform(static_cast<std::size_t>(n) * c, -1.0, 1.0, 5);
  std::vector<double> w(d + 1, 2.0), f(static_cast<std::size_t>(nt) * c);
  w[d] = 1.0;
  for (auto _ : state) {
    krr::predict_outputs(Xt.data(), nt, X.data(), n, d, w.data(), alpha.data(), c, f.data(), 1);
    benchmark::DoNotOptimize(f.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n) * nt);
}
BENCHMARK(prediction_9_outputs);

constexpr std::int64_t BIG_ROWS = 400000;  // 32 columns of them: 102 MB, far beyond L3
constexpr int BLOCK = 32;

// Memory read bandwidth: xor over as many bytes as the gradient update reads.
void read_bandwidth(benchmark::State& state) {
  std::vector<std::uint64_t> data(static_cast<std::size_t>(BIG_ROWS) * BLOCK, 1);
  for (auto _ : state) {
    std::uint64_t acc = 0;
    for (std::uint64_t v : data) acc ^= v;
    benchmark::DoNotOptimize(acc);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(data.size()) * 8);
}
BENCHMARK(read_bandwidth);

// The gradient update of a block of 32 members over 400,000 rows; bytes counted are the
// columns and the gradient read.
void gradient_update(benchmark::State& state) {
  const std::vector<double> storage = uniform(static_cast<std::size_t>(BIG_ROWS) * BLOCK, 0.0, 1.0, 6);
  std::vector<const double*> columns(BLOCK);
  for (int j = 0; j < BLOCK; ++j) columns[j] = storage.data() + j * BIG_ROWS;
  const std::vector<double> delta = uniform(BLOCK, -1e-9, 1e-9, 7);
  std::vector<double> grad = uniform(BIG_ROWS, -1.0, 1.0, 8);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        krr::update_gradient_rows(columns.data(), delta.data(), BLOCK, grad.data(), 0, BIG_ROWS));
  }
  state.SetBytesProcessed(state.iterations() * BIG_ROWS * (BLOCK + 1) * 8);
}
BENCHMARK(gradient_update);

}  // namespace

BENCHMARK_MAIN();
