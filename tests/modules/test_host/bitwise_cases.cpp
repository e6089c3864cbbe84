// The cases of the Octave module tests, run through the test host: writes their inputs
// to CASES and the outputs to RESULTS, both as little-endian doubles, so that
// tests/inst/bitwise_replay.m can run the same calls in Octave (with the same seeds of
// the C library's generator) and require the same bits.
//
// CASES: the case count, then per case the header
//   kind (1 tarvel, 2 quorril), seed, d, n, nt, ridge, tol, k, cache_bytes
// followed by tarvel: X (d*n), y (n), w (d+1); quorril: Xtest (d*nt), X (d*n), w (d+1),
// alpha (n).
// RESULTS: per case, tarvel: alpha (n), grad (n), evals, objective, the last warning (0
// none, else its place in WARNING_IDS); quorril: f (nt).
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "test_host.h"

namespace {

const double Inf = std::numeric_limits<double>::infinity();
const double NaN = std::numeric_limits<double>::quiet_NaN();
// Also in tests/inst/bitwise_replay.m, in the same order.
const std::vector<std::string> WARNING_IDS = {"tarvel:notConverged", "tarvel:breakdown",
                                              "tarvel:illConditioned",
                                              "tarvel:toleranceUnreachable"};

// Uniform doubles on [0, 1) from a fixed 64-bit generator (splitmix64), so the inputs
// do not depend on the platform's generators.
struct uniform_source {
  std::uint64_t state;
  double next() {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) * 0x1p-53;
  }
  std::vector<double> matrix(std::size_t count) {
    std::vector<double> v(count);
    for (double& x : v) x = next();
    return v;
  }
};

struct training_case {
  unsigned seed;
  std::size_t d, n;
  std::vector<double> X, y, w;
  double ridge, tol, k, cache;
};

struct prediction_case {
  std::size_t d, n, nt;
  std::vector<double> Xt, X, w, alpha;
};

std::vector<double> targets(const std::vector<double>& X, std::size_t d, std::size_t n) {
  std::vector<double> y(n);
  for (std::size_t j = 0; j < n; ++j) {
    const double a = X[j * d], b = d > 1 ? X[j * d + 1] : 0.0, c = d > 2 ? X[j * d + 2] : 0.0;
    y[j] = std::sin(3 * a) + b * b - c - 0.5;
  }
  return y;
}

std::vector<training_case> training_cases() {
  uniform_source u{42};
  std::vector<training_case> cases;
  // The main problem of the training module's tests: every tolerance, block size and
  // budget they use, the Inf and NaN tolerance, zero targets.
  const std::size_t n = 150, d = 3;
  const std::vector<double> X = u.matrix(d * n), y = targets(X, d, n), w = {0.5, 1, 2, 1.5};
  const double budgets[] = {8.0 * n * n, 0, -1, Inf, 8.0 * n * 3, 1e6, 1e9};
  unsigned seed = 1;
  for (double budget : budgets) cases.push_back({seed++, d, n, X, y, w, 0.1, 1e-9, 10, budget});
  cases.push_back({seed++, d, n, X, y, w, 0.1, 1e-6, 5, 0});
  cases.push_back({seed++, d, n, X, y, w, 0.1, 1e-6, 2.9, Inf});
  cases.push_back({seed++, d, n, X, y, w, 0.1, 1e-3, 3, 0});
  cases.push_back({seed++, d, n, X, y, w, 0.1, 1e-6, 150, 1e9});
  cases.push_back({seed++, d, n, X, y, w, 0.1, Inf, 4, 1e6});
  cases.push_back({seed++, d, n, X, y, w, 0.1, NaN, 4, 1e6});
  cases.push_back({seed++, d, n, X, std::vector<double>(n, 0.0), w, 0.1, 1e-6, 7, 1e6});
  // Fewer samples than candidates per draw, a single sample, no features.
  for (std::size_t m : {1, 2, 5, 59}) {
    cases.push_back({seed++, d, m, {X.begin(), X.begin() + d * m}, {y.begin(), y.begin() + m},
                     w, 0.1, 1e-10, static_cast<double>(m < 3 ? m : 3), 0});
  }
  cases.push_back({seed++, 0, 4, {}, {1, 2, 3, 4}, {2}, 1, 1e-10, 2, 0});
  // The work bound and the two breakdowns.
  cases.push_back({seed++, 1, 4, {0, 1e-9, 1, 1 + 1e-9}, {1, -1, 2, -2}, {1, 1}, 1e-15, 1e-14, 1, 0});
  cases.push_back({seed++, 1, 2, {0.5, 0.5}, {1, -1}, {1, 1}, 0, 1e-8, 2, 0});
  cases.push_back({seed++, d, n, X, y, {0.5, 1, 2, 0}, 0, 1e-8, 1, 0});
  // Far from the origin (the centred frame), an ill-conditioned line (the factorisation
  // takes over from the bordered update), a tol below the rounding floor.
  std::vector<double> shifted = X;
  for (double& x : shifted) x += 1e6;
  cases.push_back({seed++, d, n, shifted, y, w, 0.1, 1e-9, 16, Inf});
  std::vector<double> line(300), wave(300);
  for (std::size_t j = 0; j < 300; ++j) {
    line[j] = j / 299.0;
    wave[j] = std::sin(6 * line[j]);
  }
  cases.push_back({seed++, 1, 300, line, wave, {1, 1}, 1e-8, 1e-6, 32, Inf});
  cases.push_back({seed++, d, n, X, y, {1, 1, 1, 1}, 1e-2, 1e-20, 32, Inf});
  // The seeded module test: one seed, three budgets; another seed.
  const std::size_t n2 = 300, d2 = 4;
  const std::vector<double> X2 = u.matrix(d2 * n2);
  std::vector<double> y2(n2);
  for (std::size_t j = 0; j < n2; ++j) y2[j] = std::cos(4 * X2[j * d2]) - X2[j * d2 + 2];
  for (double budget : {0.0, 8.0 * n2 * 7, Inf}) {
    cases.push_back({7, d2, n2, X2, y2, {2, 1, 0.5, 3, 1}, 0.05, 1e-8, 16, budget});
  }
  cases.push_back({8, d2, n2, X2, y2, {2, 1, 0.5, 3, 1}, 0.05, 1e-8, 16, 0});
  return cases;
}

std::vector<prediction_case> prediction_cases() {
  uniform_source u{7};
  std::vector<prediction_case> cases;
  const std::size_t n = 120, d = 3;
  const std::vector<double> X = u.matrix(d * n), w = {1.5, 0.7, 2, 1.2};
  std::vector<double> alpha = u.matrix(n);
  for (double& a : alpha) a = 2 * a - 1;
  cases.push_back({d, n, n, X, X, w, alpha});
  cases.push_back({d, n, 37, u.matrix(d * 37), X, w, alpha});
  cases.push_back({d, n, 5, u.matrix(d * 5), X, {0, 0, 0, 2.5}, alpha});
  cases.push_back({0, n, 4, {}, {}, {2.5}, alpha});
  cases.push_back({d, n, 0, {}, X, w, alpha});
  cases.push_back({d, 0, 4, u.matrix(d * 4), {}, w, {}});
  // Training samples far from the origin, test samples near them and far beyond.
  std::vector<double> far_X = X, far_Xt = u.matrix(d * 6);
  for (double& x : far_X) x += 1e8;
  for (double& x : far_Xt) x += 1e8;
  far_Xt[0] = 1e200;
  cases.push_back({d, n, 6, far_Xt, far_X, w, alpha});
  return cases;
}

void put(std::vector<double>& out, const std::vector<double>& v) {
  out.insert(out.end(), v.begin(), v.end());
}

void put(std::vector<double>& out, const double* v, std::size_t count) {
  out.insert(out.end(), v, v + count);
}

bool write(const char* path, const std::vector<double>& v) {
  std::FILE* f = std::fopen(path, "wb");
  if (!f) return false;
  const bool ok = std::fwrite(v.data(), sizeof(double), v.size(), f) == v.size();
  return std::fclose(f) == 0 && ok;
}

int fail(const std::string& what, const test_host::call_result& r) {
  std::fprintf(stderr, "%s: %s %s\n%s", what.c_str(), r.error_id.c_str(),
               r.error_message.c_str(), test_host::describe_faults(r).c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s CASES RESULTS\n", argv[0]);
    return 2;
  }
  static_assert(std::numeric_limits<double>::is_iec559, "IEEE doubles");
  const std::vector<training_case> training = training_cases();
  const std::vector<prediction_case> prediction = prediction_cases();
  std::vector<double> cases = {static_cast<double>(training.size() + prediction.size())};
  std::vector<double> results;

  for (const training_case& c : training) {
    put(cases, {1, static_cast<double>(c.seed), static_cast<double>(c.d),
                static_cast<double>(c.n), 0, c.ridge, c.tol, c.k, c.cache});
    put(cases, c.X);
    put(cases, c.y);
    put(cases, c.w);
    std::srand(c.seed);
    test_host::call_result r = test_host::call(
        "tarvel", tarvel_mex_function, 5,
        {test_host::make_matrix(c.d, c.n, c.X), test_host::make_matrix(c.n, 1, c.y),
         test_host::make_matrix(1, c.d + 1, c.w), test_host::make_scalar(c.ridge),
         test_host::make_scalar(c.tol), test_host::make_scalar(c.k),
         test_host::make_scalar(c.cache)});
    if (r.how != test_host::ending::returned || !r.faults.empty()) return fail("tarvel", r);
    put(results, mxGetPr(r.outputs[0]), c.n);
    put(results, mxGetPr(r.outputs[1]), c.n);
    put(results, mxGetPr(r.outputs[3]), 1);
    put(results, mxGetPr(r.outputs[4]), 1);
    // The last warning, as Octave's lastwarn sees it: its place in WARNING_IDS, 1-based.
    double warning = 0;
    for (std::size_t i = 0; !r.warnings.empty() && i < WARNING_IDS.size(); ++i) {
      if (r.warnings.back().id == WARNING_IDS[i]) warning = static_cast<double>(i + 1);
    }
    results.push_back(warning);
    test_host::destroy_all();
  }
  for (const prediction_case& c : prediction) {
    put(cases, {2, 0, static_cast<double>(c.d), static_cast<double>(c.n),
                static_cast<double>(c.nt), 0, 0, 0, 0});
    put(cases, c.Xt);
    put(cases, c.X);
    put(cases, c.w);
    put(cases, c.alpha);
    test_host::call_result r = test_host::call(
        "quorril", quorril_mex_function, 1,
        {test_host::make_matrix(c.d, c.nt, c.Xt), test_host::make_matrix(c.d, c.n, c.X),
         test_host::make_matrix(1, c.d + 1, c.w), test_host::make_matrix(c.n, 1, c.alpha)});
    if (r.how != test_host::ending::returned || !r.faults.empty()) return fail("quorril", r);
    put(results, mxGetPr(r.outputs[0]), c.nt);
    test_host::destroy_all();
  }
  if (!write(argv[1], cases) || !write(argv[2], results)) {
    std::perror("writing the cases");
    return 1;
  }
  std::printf("%zu training and %zu prediction cases written\n", training.size(),
              prediction.size());
  return 0;
}
