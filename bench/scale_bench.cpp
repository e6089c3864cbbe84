// Training at sizes where the direct solve cannot hold K: Friedman data (d = 8), every
// feature weight 2, amplitude 1, ridge 0.1, tol = 1e-4 max|y|, a cache budget given in
// GiB. Runs the same solver core as tarvel, with the C library's rand, and reports the
// time to tolerance (and of it, the fresh check of the gradient before success), block
// steps, the cache hit rate and the process's peak memory.
//
//   [REPEAT=R] scale_bench N K BUDGET_GIB [THREADS]   (R runs, the fastest reported)
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "core/solve/train.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: scale_bench N K BUDGET_GIB [THREADS]\n");
    return 2;
  }
  const int n = std::atoi(argv[1]);
  const int k = std::atoi(argv[2]);
  const double budget = std::atof(argv[3]) * 1073741824.0;
  const int threads = argc > 4 ? std::atoi(argv[4]) : 0;
  const int d = 8;

  std::mt19937_64 gen(n);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::normal_distribution<double> noise;
  std::vector<double> X(static_cast<size_t>(n) * d), y(n), w(d + 1, 2.0);
  w[d] = 1.0;
  for (auto& x : X) x = unit(gen);
  double mean = 0.0;
  for (int i = 0; i < n; ++i) {
    const double* x = &X[static_cast<size_t>(i) * d];
    y[i] = 10 * std::sin(M_PI * x[0] * x[1]) + 20 * (x[2] - 0.5) * (x[2] - 0.5) + 10 * x[3] +
           5 * x[4] + noise(gen);
    mean += y[i];
  }
  mean /= n;
  double largest = 0.0;
  for (auto& v : y) {
    v -= mean;
    largest = std::fmax(largest, std::fabs(v));
  }

  std::vector<double> alpha(n), grad(n);
  krr::training_problem problem{X.data(), y.data(), w.data(), 0.1, n, d};
  krr::training_options options;
  options.tol = 1e-4 * largest;
  options.k = k;
  options.cache_bytes = budget;
  options.rng = krr::c_library_random();
  options.threads = threads;
  // REPEAT=R trains R times and reports the fastest, for comparisons on a noisy machine.
  const int repeat = std::getenv("REPEAT") ? std::atoi(std::getenv("REPEAT")) : 1;
  krr::training_result r;
  double seconds = 0.0;
  for (int rep = 0; rep < (repeat > 1 ? repeat : 1); ++rep) {
    const auto start = std::chrono::steady_clock::now();
    r = krr::train(problem, options, alpha.data(), grad.data());
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (rep == 0 || s < seconds) seconds = s;
  }

  double max_grad = 0.0;
  for (double g : grad) max_grad = std::fmax(max_grad, std::fabs(g));
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const double hit_rate =
      r.columns_requested ? 1.0 - static_cast<double>(r.columns_computed) / r.columns_requested : 0.0;
  std::printf("| %d | %d | %.1f | %d | %.2f | %.2f | %lld | %.1f | %.3f | %.2f | %.2f | %s |\n", n,
              k, budget / 1073741824.0, r.cache_columns, seconds, r.check_seconds,
              static_cast<long long>(r.steps), r.passes, hit_rate,
              static_cast<double>(r.columns_computed) / n, usage.ru_maxrss / 1048576.0,
              max_grad <= options.tol ? "true" : "false");
  return r.status == krr::solve_status::converged ? 0 : 1;
}
