// Prediction of one output and of many against a literal double loop, bit for bit, and
// against the ARD kernel built from differences, also far from the origin; the Matern
// kernels against their own literal loop and the textbook formula.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "core/kernel/kernel_frame.h"
#include "core/kernel/library_exp.h"
#include "core/predict/predict.h"

namespace {

std::vector<double> literal(const std::vector<double>& Xt, int nt, const std::vector<double>& X,
                            int n, int d, const std::vector<double>& w,
                            const std::vector<double>& alpha) {
  auto dot = [&](const std::vector<double>& P, int a, const std::vector<double>& Q, int b) {
    double s = 0.0;
    for (int l = 0; l < d; ++l) s += (P[a * d + l] * Q[b * d + l]) * w[l];
    return s;
  };
  std::vector<double> f(nt, 0.0);
  for (int i = 0; i < nt; ++i)
    for (int j = 0; j < n; ++j) {
      const double v = dot(X, j, X, j) + dot(Xt, i, Xt, i);
      const double ip = dot(Xt, i, X, j);
      f[i] = (std::exp(-(v - (ip + ip))) * w[d]) * alpha[j] + f[i];
    }
  return f;
}

// Awkward sizes (not multiples of any tile or vector width) and 1 to 3 threads.
TEST(Predict, MatchesTheLiteralLoopBitForBit) {
  std::mt19937_64 gen(11);
  std::normal_distribution<double> normal;
  for (int d : {0, 1, 3, 17}) {
    for (int n : {0, 1, 5, 63, 130}) {
      for (int nt : {0, 1, 9, 17, 211}) {
        const int threads = 1 + (d + n + nt) % 3;
        std::vector<double> X(n * d), Xt(nt * d), w(d + 1), alpha(n);
        for (auto& x : X) x = normal(gen);
        for (auto& x : Xt) x = normal(gen);
        for (auto& x : w) x = std::fabs(normal(gen)) / (d + 1);
        for (auto& x : alpha) x = normal(gen);
        std::vector<double> f(nt, -7.0);
        ASSERT_TRUE(krr::predict(Xt.data(), nt, X.data(), n, d, w.data(), alpha.data(), f.data(),
                                 threads).ok);
        const auto want = literal(Xt, nt, X, n, d, w, alpha);
        for (int i = 0; i < nt; ++i) {
          EXPECT_EQ(f[i], want[i]) << "d " << d << " n " << n << " i " << i << " threads " << threads;
          double direct = 0.0;
          for (int j = 0; j < n; ++j) {
            double sq = 0.0;
            for (int l = 0; l < d; ++l) sq += w[l] * std::pow(Xt[i * d + l] - X[j * d + l], 2);
            direct += alpha[j] * w[d] * std::exp(-sq);
          }
          EXPECT_NEAR(f[i], direct, 1e-10 * (1 + std::fabs(direct)));
        }
        // Several outputs sharing each kernel value, also more than one pass holds (64):
        // every column is the literal loop's for that column of coefficients.
        const int c = (n + nt) % 2 ? 3 : 70;
        std::vector<double> A(static_cast<size_t>(n) * c), F(static_cast<size_t>(nt) * c, -7.0);
        for (auto& x : A) x = normal(gen);
        ASSERT_TRUE(krr::predict_outputs(Xt.data(), nt, X.data(), n, d, w.data(), A.data(), c,
                                         F.data(), threads).ok);
        for (int q = 0; q < c; ++q) {
          std::vector<double> column(n);
          for (int j = 0; j < n; ++j) column[j] = A[static_cast<size_t>(j) * c + q];
          const auto want_q = literal(Xt, nt, X, n, d, w, column);
          for (int i = 0; i < nt; ++i) {
            ASSERT_EQ(F[static_cast<size_t>(i) * c + q], want_q[i])
                << "c " << c << " output " << q << " d " << d << " n " << n << " i " << i;
          }
        }
      }
    }
  }
}

// Training samples far from the origin, test samples far beyond them, features of weight 0
// whose squares overflow: every prediction must be the sum built from differences.
TEST(Predict, FarFromTheOriginMatchesTheKernelFromDifferences) {
  struct data {
    std::vector<double> Xt, X, w, alpha;
    int d;
  };
  std::vector<data> cases;
  cases.push_back({{1e8, 1e8 + 0.5, 1e8 + 1, 1e8 + 1.5}, {1e8}, {1.0, 1.0}, {1.0}, 1});
  cases.push_back({{1.7e9 + 1800, 1.7e9 + 7200, 1e200, -1e300}, {1.7e9, 1.7e9 + 3600, 1.7e9 + 7200},
                   {1.0 / (2 * 3600.0 * 3600.0), 2.0}, {1.0, -2.0, 0.5}, 1});
  cases.push_back({{0.3, 1e250, 0.6, -1e250}, {0.2, 1e200, 0.9, 3.0}, {2.0, 0.0, 1.5}, {0.7, -0.4}, 2});
  cases.push_back({{1e200 + 1e185, 1e200 + 3e185}, {1e200, 1e200 + 1e185, 1e200 + 2e185},
                   {1.0, 3.0}, {1.0, 2.0, 4.0}, 1});
  // A feature spread over 2^53 beside a weight-0 feature of huge values: prediction
  // returned Inf, the fast order's exponent cancelling into a large positive number.
  cases.push_back({{0.0, 1.125, 0.0}, {0.0, 0x1p53, 0.0, 0.0, 0.0, -1e200, 0.0, -1.53125, 0.0, 0.0, 1.65625, 0.0},
                   {1.0, 3.5, 1.5, 0.0, 1.0}, {1.0, 1.0, 1.0, 1.0}, 3});
  for (const data& c : cases) {
    const int d = c.d, n = static_cast<int>(c.alpha.size()), nt = static_cast<int>(c.Xt.size()) / d;
    std::vector<double> f(nt, -7.0);
    ASSERT_TRUE(krr::predict(c.Xt.data(), nt, c.X.data(), n, d, c.w.data(), c.alpha.data(),
                             f.data(), 1).ok);
    for (int i = 0; i < nt; ++i) {
      double direct = 0.0;
      for (int j = 0; j < n; ++j) {
        double sq = 0.0;
        for (int l = 0; l < d; ++l) {
          const double t = c.Xt[i * d + l] - c.X[j * d + l];
          if (c.w[l] > 0) sq += c.w[l] * t * t;
        }
        direct += c.alpha[j] * c.w[d] * std::exp(-sq);
      }
      EXPECT_NEAR(f[i], direct, 1e-12 * (1 + std::fabs(direct))) << "first sample " << c.X[0] << " i " << i;
    }
  }
}

// The Matern kernels: bit for bit the literal loop over kernel_value of the weighted
// squared distance from differences (f = k alpha + f, training samples in order), on any
// thread count and for several outputs; and within 1e-10 of the textbook formula in long
// double, also for samples 1e8 from the origin, where norms and dot products would cancel.
TEST(Predict, MaternKernelsMatchTheirLiteralLoopAndTheTextbookFormula) {
  std::mt19937_64 gen(12);
  std::normal_distribution<double> normal;
  const krr::exp_function exp_of = krr::library_exp();
  for (krr::kernel_kind kind : {krr::kernel_kind::matern12, krr::kernel_kind::matern32,
                                krr::kernel_kind::matern52}) {
    for (int d : {1, 3, 17}) {
      for (int n : {1, 63, 130}) {
        for (double offset : {0.0, 1e8}) {
          const int nt = 37, threads = 1 + (d + n) % 3;
          const int c = n % 2 ? 3 : 70;
          std::vector<double> X(n * d), Xt(nt * d), w(d + 1), A(static_cast<size_t>(n) * c);
          for (auto& x : X) x = normal(gen) + offset;
          for (auto& x : Xt) x = normal(gen) + offset;
          for (auto& x : w) x = std::fabs(normal(gen)) / (d + 1);
          if (d > 1) w[1] = 0.0;  // a feature left out
          for (auto& x : A) x = normal(gen);
          std::vector<double> F(static_cast<size_t>(nt) * c, -7.0), f(nt, -7.0);
          ASSERT_TRUE(krr::predict_outputs(Xt.data(), nt, X.data(), n, d, w.data(), A.data(), c,
                                           F.data(), threads, nullptr, nullptr, kind).ok);
          std::vector<double> first(n);
          for (int j = 0; j < n; ++j) first[j] = A[static_cast<size_t>(j) * c];
          ASSERT_TRUE(krr::predict(Xt.data(), nt, X.data(), n, d, w.data(), first.data(), f.data(),
                                   threads, nullptr, nullptr, kind).ok);
          for (int i = 0; i < nt; ++i) {
            SCOPED_TRACE(testing::Message() << krr::kernel_name(kind) << " d " << d << " n " << n
                                            << " offset " << offset << " i " << i);
            std::vector<double> want(c, 0.0);
            long double textbook = 0.0L;
            for (int j = 0; j < n; ++j) {
              const double s = krr::weighted_sq_distance(&Xt[i * d], &X[j * d], d, w.data());
              const double k = krr::kernel_value(kind, s, w[d], exp_of);
              for (int q = 0; q < c; ++q) want[q] = k * A[static_cast<size_t>(j) * c + q] + want[q];
              long double r2 = 0.0L;
              for (int l = 0; l < d; ++l) {
                const long double t = static_cast<long double>(Xt[i * d + l]) - X[j * d + l];
                r2 += 2.0L * w[l] * t * t;  // w = 1 / (2 l^2)
              }
              const long double r = std::sqrt(r2);
              const long double poly =
                  kind == krr::kernel_kind::matern12   ? 1.0L
                  : kind == krr::kernel_kind::matern32 ? 1.0L + std::sqrt(3.0L) * r
                                                       : 1.0L + std::sqrt(5.0L) * r + 5.0L * r2 / 3.0L;
              const long double rate = kind == krr::kernel_kind::matern12   ? 1.0L
                                       : kind == krr::kernel_kind::matern32 ? std::sqrt(3.0L)
                                                                            : std::sqrt(5.0L);
              textbook += A[static_cast<size_t>(j) * c] * w[d] * poly * std::exp(-rate * r);
            }
            for (int q = 0; q < c; ++q) ASSERT_EQ(F[static_cast<size_t>(i) * c + q], want[q]) << "output " << q;
            ASSERT_EQ(f[i], want[0]);
            EXPECT_NEAR(f[i], static_cast<double>(textbook), 1e-10 * (1 + std::fabs(static_cast<double>(textbook))));
          }
        }
      }
    }
  }
}

TEST(Predict, InterruptIsPolledBetweenTilesOfTestSamples) {
  const int n = 50, nt = 3000, d = 2;
  std::vector<double> X(n * d, 0.5), Xt(nt * d, 0.25), w = {1.0, 1.0, 2.0}, alpha(n, 1.0);
  std::vector<double> f(nt, -7.0);
  int polls = 0;
  auto interrupt = [](void* s) { return ++*static_cast<int*>(s) >= 2; };
  const auto r = krr::predict(Xt.data(), nt, X.data(), n, d, w.data(), alpha.data(), f.data(), 1,
                              interrupt, &polls);
  EXPECT_TRUE(r.interrupted);
  EXPECT_EQ(polls, 2);
  EXPECT_NE(f[0], -7.0);      // the first batch was computed
  EXPECT_EQ(f[nt - 1], -7.0);  // the last was not
}

}  // namespace
