// The dense log marginal likelihood against a naive long-double reference (kernel from
// direct differences, unblocked Cholesky), its gradient against central differences, the
// same bits on any thread count, the points that must be rejected, and translated data;
// for the Matern kernels also the gradient against the reference's own (W and dK/dtheta
// formed densely from the textbook derivatives), duplicated samples included.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/learn/dense_objective.h"

namespace {

using krr::dense_objective;
using krr::dense_objective_result;
using krr::dense_objective_settings;
using krr::dense_objective_status;

struct problem {
  int d, c;
  std::int64_t n;
  std::vector<double> X, Y, theta;
  krr::kernel_kind kind = krr::kernel_kind::gaussian;
};

problem random_problem(std::int64_t n, int d, int c, unsigned seed, double ridge = 0.1) {
  std::mt19937_64 gen(seed);
  std::normal_distribution<double> z(0.0, 1.0);
  problem p{d, c, n, std::vector<double>(d * n), std::vector<double>(n * c), {}};
  for (auto& x : p.X) x = z(gen);
  for (auto& y : p.Y) y = z(gen);
  for (int l = 0; l < d; ++l) p.theta.push_back(std::log(0.3 + 0.2 * l));
  p.theta.push_back(std::log(1.5));
  p.theta.push_back(std::log(ridge));
  return p;
}

dense_objective_result evaluate(const problem& p, int threads = 1, bool gradient = true) {
  dense_objective_settings s;
  s.threads = threads;
  s.min_rows_per_thread = 1;
  s.gradient = gradient;
  s.kind = p.kind;
  return dense_objective(p.X.data(), p.d, p.n, p.Y.data(), p.c, p.theta.data(), s);
}

// The kernel at r = sqrt(sum_l (a_l - b_l)^2 / l_l^2) (r^2 = 2 s), over the amplitude, as
// textbooks write it; and its slope in r.
long double unit_kernel(krr::kernel_kind kind, long double s) {
  const long double r = std::sqrt(2.0L * s);
  switch (kind) {
    case krr::kernel_kind::matern12: return std::exp(-r);
    case krr::kernel_kind::matern32: return (1.0L + std::sqrt(3.0L) * r) * std::exp(-std::sqrt(3.0L) * r);
    case krr::kernel_kind::matern52:
      return (1.0L + std::sqrt(5.0L) * r + 5.0L * r * r / 3.0L) * std::exp(-std::sqrt(5.0L) * r);
    default: return std::exp(-s);
  }
}
long double unit_slope(krr::kernel_kind kind, long double r) {
  switch (kind) {
    case krr::kernel_kind::matern12: return -std::exp(-r);
    case krr::kernel_kind::matern32: return -3.0L * r * std::exp(-std::sqrt(3.0L) * r);
    default: return -5.0L / 3.0L * r * (1.0L + std::sqrt(5.0L) * r) * std::exp(-std::sqrt(5.0L) * r);
  }
}

// f and alpha in long double: K from the differences themselves, unblocked Cholesky.
struct reference {
  long double f;
  std::vector<long double> alpha;
};

reference naive(const problem& p) {
  const std::int64_t n = p.n;
  std::vector<long double> A(n * n);
  const long double amp = std::exp(static_cast<long double>(p.theta[p.d]));
  for (std::int64_t i = 0; i < n; ++i) {
    for (std::int64_t j = 0; j < n; ++j) {
      long double s = 0.0L;
      for (int l = 0; l < p.d; ++l) {
        const long double diff = static_cast<long double>(p.X[l + i * p.d]) - p.X[l + j * p.d];
        s += std::exp(static_cast<long double>(p.theta[l])) * diff * diff;
      }
      A[i * n + j] = amp * unit_kernel(p.kind, s);
    }
    A[i * n + i] += std::exp(static_cast<long double>(p.theta[p.d + 1]));
  }
  long double log_det = 0.0L;
  for (std::int64_t j = 0; j < n; ++j) {  // lower factor, row-major, in place
    for (std::int64_t k = 0; k < j; ++k) A[j * n + j] -= A[j * n + k] * A[j * n + k];
    A[j * n + j] = std::sqrt(A[j * n + j]);
    log_det += 2.0L * std::log(A[j * n + j]);
    for (std::int64_t i = j + 1; i < n; ++i) {
      for (std::int64_t k = 0; k < j; ++k) A[i * n + j] -= A[i * n + k] * A[j * n + k];
      A[i * n + j] /= A[j * n + j];
    }
  }
  reference r{0.0L, std::vector<long double>(n * p.c)};
  for (int q = 0; q < p.c; ++q) {
    long double* a = r.alpha.data() + q * n;
    for (std::int64_t i = 0; i < n; ++i) {
      long double t = p.Y[i + q * n];
      for (std::int64_t k = 0; k < i; ++k) t -= A[i * n + k] * a[k];
      a[i] = t / A[i * n + i];
    }
    for (std::int64_t i = n - 1; i >= 0; --i) {
      long double t = a[i];
      for (std::int64_t k = i + 1; k < n; ++k) t -= A[k * n + i] * a[k];
      a[i] = t / A[i * n + i];
    }
    for (std::int64_t i = 0; i < n; ++i) r.f -= 0.5L * p.Y[i + q * n] * a[i];
  }
  r.f -= p.c * (0.5L * log_det + 0.5L * n * std::log(2.0L * 3.14159265358979323846264338L));
  return r;
}

// Rounding allowed against the reference: n eps times the condition bound
// (1 + largest row sum / ridge) times the size of the terms summed.
double tolerance(const problem& p, const dense_objective_result& r, double size) {
  const double cond = 1.0 + r.lambda_bound / std::exp(p.theta[p.d + 1]);
  return 8.0 * p.n * std::numeric_limits<double>::epsilon() * cond * size;
}

void expect_matches_reference(const problem& p, const dense_objective_result& r) {
  const reference ref = naive(p);
  ASSERT_TRUE(r.factorised);
  double fit = 0.0, largest = 0.0;
  for (std::size_t i = 0; i < ref.alpha.size(); ++i) {
    fit += std::fabs(static_cast<double>(ref.alpha[i] * p.Y[i]));
    largest = std::max(largest, std::fabs(static_cast<double>(ref.alpha[i])));
  }
  EXPECT_NEAR(r.value, static_cast<double>(ref.f), tolerance(p, r, fit + p.c * p.n));
  for (std::size_t i = 0; i < ref.alpha.size(); ++i) {
    ASSERT_NEAR(r.alpha[i], static_cast<double>(ref.alpha[i]), tolerance(p, r, largest)) << i;
  }
}

TEST(DenseObjective, ValueAndAlphaMatchTheNaiveReferenceAndTheGradientCentralDifferences) {
  for (std::int64_t n : {1, 2, 7, 64, 300}) {
    for (int c : {1, 2}) {
      SCOPED_TRACE(testing::Message() << "n = " << n << ", c = " << c);
      const problem p = random_problem(n, 3, c, 100 + n * 3 + c);
      const dense_objective_result r = evaluate(p, 2);
      ASSERT_EQ(r.status, dense_objective_status::done);
      expect_matches_reference(p, r);
      // lambda_bound is K's largest row sum: between amplitude and n amplitude.
      EXPECT_GE(r.lambda_bound, 1.5);
      EXPECT_LE(r.lambda_bound, 1.5 * n * (1 + 1e-15));
      // Central differences of f in each theta; truncation O(h^2), rounding O(eps |f| / h).
      ASSERT_EQ(r.gradient.size(), 5u);
      const double h = 1e-4;
      for (int i = 0; i < 5; ++i) {
        problem up = p, down = p;
        up.theta[i] += h;
        down.theta[i] -= h;
        const double diff = (evaluate(up, 1, false).value - evaluate(down, 1, false).value) / (2 * h);
        EXPECT_NEAR(r.gradient[i], diff, 1e-6 * (std::fabs(r.value) + n)) << "theta " << i;
      }
      // The value-only mode computes the same value and alpha, and no gradient.
      const dense_objective_result v = evaluate(p, 1, false);
      EXPECT_EQ(v.value, r.value);
      EXPECT_EQ(v.alpha, r.alpha);
      EXPECT_TRUE(v.gradient.empty());
    }
  }
}

TEST(DenseObjective, SameBitsOnOneTwoAndThreeThreads) {
  // 700 samples: eleven blocks of columns, every pass split into many tiles.
  const problem p = random_problem(700, 4, 2, 7, 0.01);
  const dense_objective_result one = evaluate(p, 1);
  ASSERT_TRUE(one.factorised);
  for (int threads : {2, 3}) {
    const dense_objective_result r = evaluate(p, threads);
    EXPECT_EQ(std::memcmp(&r.value, &one.value, sizeof(double)), 0) << threads;
    EXPECT_EQ(std::memcmp(&r.lambda_bound, &one.lambda_bound, sizeof(double)), 0) << threads;
    ASSERT_EQ(r.gradient.size(), one.gradient.size());
    EXPECT_EQ(std::memcmp(r.gradient.data(), one.gradient.data(), 8 * r.gradient.size()), 0) << threads;
    EXPECT_EQ(std::memcmp(r.alpha.data(), one.alpha.data(), 8 * r.alpha.size()), 0) << threads;
  }
}

TEST(DenseObjective, PointsThatCannotBeFactorisedOrWereInterruptedAreRejected) {
  // Two identical samples with a ridge below half an ulp of the amplitude: a zero pivot.
  problem p = random_problem(40, 3, 2, 9, 1e-17);
  for (int l = 0; l < 3; ++l) p.X[l + 17 * 3] = p.X[l + 5 * 3];
  dense_objective_result r = evaluate(p, 2);
  EXPECT_FALSE(r.factorised);
  EXPECT_EQ(r.value, -std::numeric_limits<double>::infinity());
  ASSERT_EQ(r.gradient.size(), 5u);
  for (double g : r.gradient) EXPECT_TRUE(std::isnan(g));
  ASSERT_EQ(r.alpha.size(), 80u);
  for (double a : r.alpha) EXPECT_TRUE(std::isnan(a));
  EXPECT_TRUE(std::isfinite(r.lambda_bound));
  // The same data with a ridge that lifts the pivot factorise.
  p.theta[4] = std::log(1e-6);
  EXPECT_TRUE(evaluate(p, 2).factorised);
  // An amplitude that overflows: K not finite.
  p.theta[3] = 800.0;
  r = evaluate(p, 1);
  EXPECT_FALSE(r.factorised);
  EXPECT_EQ(r.value, -std::numeric_limits<double>::infinity());
  // A stop requested: interrupted, no value claimed.
  dense_objective_settings s;
  s.interrupt_pending = [](void*) { return true; };
  p = random_problem(200, 3, 1, 3);
  r = dense_objective(p.X.data(), p.d, p.n, p.Y.data(), p.c, p.theta.data(), s);
  EXPECT_EQ(r.status, dense_objective_status::interrupted);
  EXPECT_FALSE(r.factorised);
}

TEST(DenseObjective, DataFarFromTheOriginGiveTheReferenceOfTheirStoredValues) {
  // 1e8 added to every feature: the stored samples differ from the originals by up to half
  // an ulp of 1e8, so the reference is computed from them as stored; a Gram product without
  // the translation would lose every bit of the distances (1e16 eps ~ 2).
  for (int c : {1, 2}) {
    problem p = random_problem(150, 3, c, 21 + c);
    for (auto& x : p.X) x += 1e8;
    const dense_objective_result r = evaluate(p, 2);
    expect_matches_reference(p, r);
  }
}

// The reference gradient of a Matern kernel: 1/2 sum_ij W(i, j) dA(i, j)/dtheta_k with
// W = alpha alpha' - c A^-1 (A^-1 by Gauss-Jordan in long double) and
// dK/dlog w_l = k'(r) w_l (a_l - b_l)^2 / r, 0 where r = 0.
std::vector<long double> naive_gradient(const problem& p, const reference& ref) {
  const std::int64_t n = p.n;
  const int d = p.d;
  const long double amp = std::exp(static_cast<long double>(p.theta[d]));
  const long double ridge = std::exp(static_cast<long double>(p.theta[d + 1]));
  std::vector<long double> A(n * n), inv(n * n, 0.0L);
  std::vector<long double> slope(n * n), K(n * n);
  for (std::int64_t i = 0; i < n; ++i) {
    for (std::int64_t j = 0; j < n; ++j) {
      long double s = 0.0L;
      for (int l = 0; l < d; ++l) {
        const long double t = static_cast<long double>(p.X[l + i * d]) - p.X[l + j * d];
        s += std::exp(static_cast<long double>(p.theta[l])) * t * t;
      }
      const long double r = std::sqrt(2.0L * s);
      K[i * n + j] = amp * unit_kernel(p.kind, s);
      slope[i * n + j] = r > 0 ? amp * unit_slope(p.kind, r) / r : 0.0L;  // times w t^2 below
      A[i * n + j] = K[i * n + j] + (i == j ? ridge : 0.0L);
    }
    inv[i * n + i] = 1.0L;
  }
  for (std::int64_t k = 0; k < n; ++k) {  // A is positive definite: no pivoting
    const long double pivot = A[k * n + k];
    for (std::int64_t j = 0; j < n; ++j) {
      A[k * n + j] /= pivot;
      inv[k * n + j] /= pivot;
    }
    for (std::int64_t i = 0; i < n; ++i) {
      if (i == k) continue;
      const long double f = A[i * n + k];
      for (std::int64_t j = 0; j < n; ++j) {
        A[i * n + j] -= f * A[k * n + j];
        inv[i * n + j] -= f * inv[k * n + j];
      }
    }
  }
  std::vector<long double> g(d + 2, 0.0L);
  for (std::int64_t i = 0; i < n; ++i) {
    for (std::int64_t j = 0; j < n; ++j) {
      long double W = -p.c * inv[i * n + j];
      for (int q = 0; q < p.c; ++q) W += ref.alpha[i + q * n] * ref.alpha[j + q * n];
      for (int l = 0; l < d; ++l) {
        const long double t = static_cast<long double>(p.X[l + i * d]) - p.X[l + j * d];
        g[l] += 0.5L * W * slope[i * n + j] * std::exp(static_cast<long double>(p.theta[l])) * t * t;
      }
      g[d] += 0.5L * W * K[i * n + j];
      if (i == j) g[d + 1] += 0.5L * W * ridge;
    }
  }
  return g;
}

// Value, alpha and gradient of a Matern kernel against the references: 1e-8 relative.
void expect_matern_matches_reference(const problem& p) {
  const dense_objective_result r = evaluate(p, 2);
  ASSERT_TRUE(r.factorised);
  const reference ref = naive(p);
  EXPECT_NEAR(r.value, static_cast<double>(ref.f), 1e-8 * std::fabs(static_cast<double>(ref.f)));
  double largest = 0.0;
  for (long double a : ref.alpha) largest = std::max(largest, std::fabs(static_cast<double>(a)));
  for (std::size_t i = 0; i < ref.alpha.size(); ++i) {
    ASSERT_NEAR(r.alpha[i], static_cast<double>(ref.alpha[i]), 1e-8 * largest) << i;
  }
  const std::vector<long double> g = naive_gradient(p, ref);
  double scale = 0.0;
  for (long double v : g) scale = std::max(scale, std::fabs(static_cast<double>(v)));
  ASSERT_EQ(r.gradient.size(), g.size());
  for (std::size_t i = 0; i < g.size(); ++i) {
    EXPECT_NEAR(r.gradient[i], static_cast<double>(g[i]), 1e-8 * scale) << "theta " << i;
  }
  // Central differences: truncation O(h^2), rounding O(eps |f| / h).
  const double h = 1e-4;
  for (std::size_t i = 0; i < g.size(); ++i) {
    problem up = p, down = p;
    up.theta[i] += h;
    down.theta[i] -= h;
    const double diff = (evaluate(up, 1, false).value - evaluate(down, 1, false).value) / (2 * h);
    EXPECT_NEAR(r.gradient[i], diff, 1e-6 * (std::fabs(r.value) + p.n)) << "theta " << i;
  }
}

TEST(DenseObjective, MaternKernelsMatchTheReferenceValueAlphaAndGradient) {
  for (krr::kernel_kind kind : {krr::kernel_kind::matern12, krr::kernel_kind::matern32,
                                krr::kernel_kind::matern52}) {
    for (int d : {1, 3, 10}) {
      for (std::int64_t n : {50, 200}) {
        SCOPED_TRACE(testing::Message() << krr::kernel_name(kind) << ", d = " << d << ", n = " << n);
        problem p = random_problem(n, d, d == 3 ? 2 : 1, 300 + n + d);
        p.kind = kind;
        expect_matern_matches_reference(p);
      }
    }
  }
}

TEST(DenseObjective, MaternGradientAtDuplicatedSamplesIsTheLimitOfItsFormula) {
  // Matern 1/2's derivative in a length scale has r in its denominator: at duplicated
  // samples (r = 0) it must be the limit 0, not 0/0, and the whole gradient still the
  // reference's and the central differences'.
  for (krr::kernel_kind kind : {krr::kernel_kind::matern12, krr::kernel_kind::matern52}) {
    SCOPED_TRACE(krr::kernel_name(kind));
    problem p = random_problem(120, 3, 1, 77, 0.05);
    p.kind = kind;
    for (int pair = 0; pair < 10; ++pair) {
      for (int l = 0; l < 3; ++l) p.X[l + (60 + pair) * 3] = p.X[l + (3 * pair) * 3];
    }
    // A near duplicate too: r about 1e-9, where 1/r is large.
    for (int l = 0; l < 3; ++l) p.X[l + 100 * 3] = p.X[l + 40 * 3] + (l == 1 ? 1e-9 : 0.0);
    const dense_objective_result r = evaluate(p, 3);
    for (double g : r.gradient) ASSERT_TRUE(std::isfinite(g));
    expect_matern_matches_reference(p);
    // The same bits on one thread as on three.
    const dense_objective_result one = evaluate(p, 1);
    EXPECT_EQ(std::memcmp(one.gradient.data(), r.gradient.data(), 8 * r.gradient.size()), 0);
    EXPECT_EQ(std::memcmp(&one.value, &r.value, sizeof(double)), 0);
  }
}

TEST(DenseObjective, MaternKernelsFromDifferencesOnTranslatedData) {
  // 1e8 added to every feature: a Matern kernel formed from norms and dot products would
  // lose its distances entirely; from differences it keeps them.
  problem p = random_problem(150, 3, 1, 23);
  p.kind = krr::kernel_kind::matern32;
  for (auto& x : p.X) x += 1e8;
  expect_matern_matches_reference(p);
}

}  // namespace
