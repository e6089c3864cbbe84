// Prediction from a fitted model without any host: fit a small problem with krr::fit, then
// predict at new rows with krr::model_predict and check the predictions, the latent and
// observation deviations and the intervals against a brute-force answer built here (the
// kernel from differences in long double, a dense Cholesky solve), the approximate method
// against the exact one, outputs scaling the deviations they share, the same bits on 1
// and 2 threads, the refusals of a broken model (its fields' dims as a host holds them
// too), bad rows and settings, the options read by name, the progress line, an interrupt, and the
// inverse error function against values computed to 40 digits. The Matern models against the
// same brute force with their own kernel, and a model saved without its kernel's name.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/learn/fit.h"
#include "core/learn/model_predict.h"

namespace {

using krr::deviation_method;
using krr::deviation_target;
using krr::model_predict_settings;
using krr::model_predict_status;
using krr::model_prediction;

struct problem {
  std::int64_t n;
  int d, c;
  std::vector<double> X, Y;  // column-major, one observation per row
  krr::fit_model model;
};

// p.model fitted to p's data at the defaults (the kernel named where given).
void refit(problem& p, const char* kernel = nullptr) {
  krr::fit_option_set set;
  std::string message;
  EXPECT_TRUE(krr::set_fit_option(set, "Verbose", krr::option_value::flag(false), message));
  if (kernel) {
    EXPECT_TRUE(krr::set_fit_option(set, "Kernel", krr::option_value::string(kernel), message));
  }
  krr::fit_environment env;
  env.threads = 1;
  krr::fit_result r = krr::fit(p.X.data(), p.n, p.d, p.Y.data(), p.c, set, env);
  EXPECT_EQ(r.status, krr::fit_status::done) << r.error.message;
  p.model = r.model;
}

// y1 = sin(3 x1) + 0.5 x2^2 (+ a second output 0.3 x1 - cos(2 x2)) with noise; the second
// feature offset and scaled so that standardisation matters. Fitted at the defaults.
problem fitted(std::int64_t n, int c, unsigned seed, const char* kernel = nullptr) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::normal_distribution<double> z(0.0, 1.0);
  problem p{n, 2, c, std::vector<double>(n * 2), std::vector<double>(n * c), {}};
  for (std::int64_t i = 0; i < n; ++i) {
    const double x1 = u(gen), x2 = u(gen);
    p.X[i] = x1;
    p.X[n + i] = 50 + 4 * x2;
    p.Y[i] = 2 + std::sin(3 * x1) + 0.5 * x2 * x2 + 0.05 * z(gen);
    if (c > 1) p.Y[n + i] = 0.3 * x1 - std::cos(2 * x2) + 0.05 * z(gen);
  }
  refit(p, kernel);
  return p;
}

// nt new rows in X's units: the first `near` are training rows, the last is far away, the
// others drawn over the data's range.
std::vector<double> new_rows(const problem& p, std::int64_t nt, std::int64_t near, unsigned seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> u(-1.2, 1.2);
  std::vector<double> Xn(nt * p.d);
  for (std::int64_t i = 0; i < nt; ++i) {
    if (i < near) {
      for (int l = 0; l < p.d; ++l) Xn[l * nt + i] = p.X[l * p.n + 3 * i];
    } else {
      Xn[i] = u(gen);
      Xn[nt + i] = 50 + 4 * u(gen);
    }
  }
  Xn[nt - 1] = 40.0;  // far from every training row in x1
  return Xn;
}

// The brute-force answer: predictions (nt x c) and latent variances a - k'(K + ridge I)^-1 k,
// from the raw rows standardised by the model's mu and sigma, the kernel amplitude *
// exp(-sum_l w_l (a_l - b_l)^2) from differences (for a Matern model its textbook formula
// in r = sqrt(2 sum_l w_l (a_l - b_l)^2)), and a Cholesky factor, in long double.
struct reference {
  std::vector<long double> pred, var;
};

reference brute_force(const problem& p, const std::vector<double>& Xn, std::int64_t nt) {
  const krr::fit_model& m = p.model;
  const std::int64_t n = p.n;
  const int d = p.d;
  const long double amp = m.weights[d], ridge = m.ridge;
  auto standard = [&](const std::vector<double>& X, std::int64_t rows, std::int64_t i, int l) {
    return (static_cast<long double>(X[l * rows + i]) - m.mu[l]) / m.sigma[l];
  };
  auto kernel = [&](const std::vector<double>& A, std::int64_t ra, std::int64_t i,
                    const std::vector<double>& B, std::int64_t rb, std::int64_t j) {
    long double s = 0.0L;
    for (int l = 0; l < d; ++l) {
      const long double t = standard(A, ra, i, l) - standard(B, rb, j, l);
      s += m.weights[l] * t * t;
    }
    const long double r = std::sqrt(2.0L * s);
    if (m.kernel == "matern12") return amp * std::exp(-r);
    if (m.kernel == "matern32") return amp * (1.0L + std::sqrt(3.0L) * r) * std::exp(-std::sqrt(3.0L) * r);
    if (m.kernel == "matern52") {
      return amp * (1.0L + std::sqrt(5.0L) * r + 5.0L * r * r / 3.0L) * std::exp(-std::sqrt(5.0L) * r);
    }
    return amp * std::exp(-s);
  };
  // L L' = K + ridge I, row-major lower triangle.
  std::vector<long double> L(n * n, 0.0L);
  for (std::int64_t i = 0; i < n; ++i)
    for (std::int64_t j = 0; j <= i; ++j) {
      long double s = kernel(p.X, n, i, p.X, n, j) + (i == j ? ridge : 0.0L);
      for (std::int64_t t = 0; t < j; ++t) s -= L[i * n + t] * L[j * n + t];
      L[i * n + j] = i == j ? std::sqrt(s) : s / L[j * n + j];
    }
  reference ref{std::vector<long double>(nt * p.c), std::vector<long double>(nt)};
  std::vector<long double> k(n), y(n);
  for (std::int64_t i = 0; i < nt; ++i) {
    for (std::int64_t j = 0; j < n; ++j) k[j] = kernel(Xn, nt, i, p.X, n, j);
    for (int q = 0; q < p.c; ++q) {
      long double s = m.y_mean[q];
      for (std::int64_t j = 0; j < n; ++j) s += k[j] * m.alpha[q * n + j];
      ref.pred[q * nt + i] = s;
    }
    long double quad = 0.0L;  // |L^-1 k|^2
    for (std::int64_t j = 0; j < n; ++j) {
      long double s = k[j];
      for (std::int64_t t = 0; t < j; ++t) s -= L[j * n + t] * y[t];
      y[j] = s / L[j * n + j];
      quad += y[j] * y[j];
    }
    ref.var[i] = amp - quad;
  }
  return ref;
}

model_predict_settings with_deviations(deviation_method method, deviation_target target,
                                       int threads = 1) {
  model_predict_settings s;
  s.deviations = true;
  s.method = method;
  s.prediction = target;
  s.threads = threads;
  return s;
}

model_prediction predict(const problem& p, const std::vector<double>& Xn, std::int64_t nt,
                         const model_predict_settings& s) {
  return krr::model_predict(p.model, Xn.data(), nt, p.d, s);
}

bool starts_with(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

TEST(ModelPredict, MaternModelsMatchBruteForce) {
  const std::int64_t nt = 25;
  for (const char* kernel : {"matern12", "matern32", "matern52"}) {
    SCOPED_TRACE(kernel);
    const problem p = fitted(60, 2, 13, kernel);
    EXPECT_EQ(p.model.kernel, kernel);
    EXPECT_EQ(p.model.format_version, 4);
    EXPECT_TRUE(p.model.kernel_objectives.empty());
    const std::vector<double> Xn = new_rows(p, nt, 5, 14);
    const reference ref = brute_force(p, Xn, nt);
    const double amp = p.model.weights[p.d], ridge = p.model.ridge;
    const model_prediction curve = predict(p, Xn, nt, with_deviations(deviation_method::exact, deviation_target::curve));
    const model_prediction obs = predict(p, Xn, nt, with_deviations(deviation_method::exact, deviation_target::observation));
    const model_prediction approx = predict(p, Xn, nt, with_deviations(deviation_method::approximate, deviation_target::curve));
    ASSERT_EQ(curve.status, model_predict_status::done) << curve.error.message;
    ASSERT_EQ(obs.status, model_predict_status::done) << obs.error.message;
    ASSERT_EQ(approx.status, model_predict_status::done) << approx.error.message;
    for (int q = 0; q < p.c; ++q) {
      const double scale = p.model.y_scale[q];
      for (std::int64_t i = 0; i < nt; ++i) {
        const double want = static_cast<double>(ref.pred[q * nt + i]);
        EXPECT_NEAR(curve.predictions[q * nt + i], want, 1e-8 * (1 + std::fabs(want))) << i;
        const double v = static_cast<double>(ref.var[i]) * scale * scale;
        const double sd = curve.deviations[q * nt + i];
        EXPECT_NEAR(sd * sd, v, 1e-9 * amp * scale * scale) << i;
        EXPECT_NEAR(obs.deviations[q * nt + i] * obs.deviations[q * nt + i],
                    v + ridge * scale * scale, 1e-9 * amp * scale * scale) << i;
        // The factor holds K to a thousandth of the ridge: close, not exact.
        EXPECT_NEAR(approx.deviations[q * nt + i] * approx.deviations[q * nt + i], v,
                    2e-3 * ridge * scale * scale) << i;
      }
    }
  }
}

TEST(ModelPredict, MatchesBruteForceExactly) {
  const problem p = fitted(60, 1, 11);
  const std::int64_t nt = 25;
  const std::vector<double> Xn = new_rows(p, nt, 5, 12);
  const reference ref = brute_force(p, Xn, nt);
  const double amp = p.model.weights[p.d], ridge = p.model.ridge;

  // Predictions alone: nothing else is computed.
  const model_prediction plain = predict(p, Xn, nt, model_predict_settings());
  ASSERT_EQ(plain.status, model_predict_status::done) << plain.error.message;
  ASSERT_EQ(plain.predictions.size(), static_cast<std::size_t>(nt));
  EXPECT_TRUE(plain.deviations.empty() && plain.lower.empty() && plain.progress_line.empty());
  for (std::int64_t i = 0; i < nt; ++i)
    EXPECT_NEAR(plain.predictions[i], static_cast<double>(ref.pred[i]), 1e-11) << i;
  // The model was fitted on these rows: its predictions there are close to the targets.
  for (std::int64_t i = 0; i < 5; ++i) EXPECT_NEAR(plain.predictions[i], p.Y[3 * i], 0.2);

  const model_prediction curve = predict(p, Xn, nt, with_deviations(deviation_method::exact, deviation_target::curve));
  const model_prediction obs = predict(p, Xn, nt, with_deviations(deviation_method::exact, deviation_target::observation));
  ASSERT_EQ(curve.status, model_predict_status::done) << curve.error.message;
  ASSERT_EQ(obs.status, model_predict_status::done) << obs.error.message;
  EXPECT_EQ(curve.predictions, plain.predictions);
  ASSERT_EQ(curve.deviations.size(), static_cast<std::size_t>(nt));
  for (std::int64_t i = 0; i < nt; ++i) {
    const double v = static_cast<double>(ref.var[i]);
    const double sd = curve.deviations[i];
    EXPECT_NEAR(sd * sd, v, 1e-9 * amp) << i;
    EXPECT_NEAR(obs.deviations[i] * obs.deviations[i], sd * sd + ridge, 1e-14 * amp) << i;
    // The 95% interval (z = 1.959963984540054, the normal's 0.975 quantile).
    const double half = 1.959963984540054 * obs.deviations[i];
    EXPECT_NEAR(obs.lower[i], obs.predictions[i] - half, 1e-14 * (1 + std::fabs(half)));
    EXPECT_NEAR(obs.upper[i], obs.predictions[i] + half, 1e-14 * (1 + std::fabs(half)));
  }
  // Near the training rows the latent deviation is well below the prior's; far away it
  // reaches it (sqrt(amplitude)).
  for (std::int64_t i = 0; i < 5; ++i) EXPECT_LT(curve.deviations[i], 0.5 * std::sqrt(amp));
  EXPECT_NEAR(curve.deviations[nt - 1], std::sqrt(amp), 1e-12 * std::sqrt(amp));
  EXPECT_EQ(obs.method, deviation_method::exact);
  EXPECT_GT(obs.passes, 0.0);
  EXPECT_TRUE(obs.warnings.empty());
  // At small n the exact method's preconditioner is not held to Rank: a rank-5 one would
  // leave the solves dozens of passes; one of any rank needs a few.
  model_predict_settings low = with_deviations(deviation_method::exact, deviation_target::observation);
  low.rank = 5;
  const model_prediction few = predict(p, Xn, nt, low);
  EXPECT_GT(few.rank, 5);
  EXPECT_LE(few.passes, 4.0);
  for (std::int64_t i = 0; i < nt; ++i) EXPECT_NEAR(few.deviations[i], obs.deviations[i], 1e-8 * obs.deviations[i]);
  EXPECT_TRUE(starts_with(obs.progress_line, "krrpredict: deviations of 25 rows exactly, ")) << obs.progress_line;
  EXPECT_NE(obs.progress_line.find(" passes over K preconditioned by a factor of rank "), std::string::npos)
      << obs.progress_line;
  EXPECT_NE(obs.progress_line.find(") (n = 60) in "), std::string::npos) << obs.progress_line;

  // A 99% interval is wider by the ratio of the quantiles.
  model_predict_settings s99 = with_deviations(deviation_method::exact, deviation_target::observation);
  s99.alpha = 0.01;
  const model_prediction wide = predict(p, Xn, nt, s99);
  ASSERT_EQ(wide.status, model_predict_status::done);
  EXPECT_NEAR(wide.z, 2.5758293035489004, 1e-15 * 2.6);
  for (std::int64_t i = 0; i < nt; ++i)
    EXPECT_NEAR(wide.upper[i] - wide.predictions[i], 2.5758293035489004 * obs.deviations[i], 1e-13);

  // No rows: empty results, the deviations' line still made.
  const model_prediction none = krr::model_predict(p.model, nullptr, 0, p.d, with_deviations(deviation_method::automatic, deviation_target::curve));
  ASSERT_EQ(none.status, model_predict_status::done) << none.error.message;
  EXPECT_TRUE(none.predictions.empty() && none.deviations.empty());
}

TEST(ModelPredict, ApproximateMethodAgainstExact) {
  const problem p = fitted(60, 1, 21);
  const std::int64_t nt = 20;
  const std::vector<double> Xn = new_rows(p, nt, 4, 22);
  const double amp = p.model.weights[p.d], ridge = p.model.ridge;
  const model_prediction exact = predict(p, Xn, nt, with_deviations(deviation_method::exact, deviation_target::curve));
  ASSERT_EQ(exact.status, model_predict_status::done);

  // Automatic picks exact at this size: the same bits.
  const model_prediction automatic = predict(p, Xn, nt, with_deviations(deviation_method::automatic, deviation_target::curve));
  EXPECT_EQ(automatic.method, deviation_method::exact);
  EXPECT_EQ(automatic.deviations, exact.deviations);

  // A factor as large as the data allows stops once it leaves out at most 1e-4 ridge of
  // any training diagonal entry, without a warning.
  const model_prediction most = predict(p, Xn, nt, with_deviations(deviation_method::approximate, deviation_target::curve));
  ASSERT_EQ(most.status, model_predict_status::done) << most.error.message;
  EXPECT_EQ(most.method, deviation_method::approximate);
  EXPECT_LE(most.rank, 60);
  EXPECT_LE(most.largest_residual, 1e-4 * ridge);
  EXPECT_TRUE(most.warnings.empty());
  EXPECT_TRUE(starts_with(most.progress_line, "krrpredict: deviations of 20 rows approximately, a factor of rank "))
      << most.progress_line;
  // A share of the rows, as one process among several predicts them: its rows' bits, the
  // line naming all the rows, and the automatic method chosen by all of them (n^2 times
  // 6 million rows is past the exact method's limit, though 15 rows alone are not).
  model_predict_settings share = with_deviations(deviation_method::approximate, deviation_target::curve);
  share.first_row = 5;
  share.all_rows = nt;
  std::vector<double> rows(static_cast<std::size_t>(15) * p.d);
  for (int l = 0; l < p.d; ++l)
    for (std::int64_t i = 0; i < 15; ++i) rows[l * 15 + i] = Xn[l * nt + 5 + i];
  const model_prediction part = krr::model_predict(p.model, rows.data(), 15, p.d, share);
  ASSERT_EQ(part.status, model_predict_status::done) << part.error.message;
  EXPECT_EQ(part.predictions, std::vector<double>(most.predictions.begin() + 5, most.predictions.end()));
  EXPECT_EQ(part.deviations, std::vector<double>(most.deviations.begin() + 5, most.deviations.end()));
  EXPECT_EQ(part.progress_line.substr(0, 60), most.progress_line.substr(0, 60));
  share.method = deviation_method::automatic;
  EXPECT_EQ(krr::model_predict(p.model, rows.data(), 15, p.d, share).method, deviation_method::exact);
  share.all_rows = 6000000;
  const model_prediction many = krr::model_predict(p.model, rows.data(), 15, p.d, share);
  EXPECT_EQ(many.method, deviation_method::approximate);
  EXPECT_EQ(many.deviations, part.deviations);
  EXPECT_TRUE(starts_with(many.progress_line, "krrpredict: deviations of 6000000 rows approximately"))
      << many.progress_line;

  // At full rank the approximate variances are the exact ones: the same model with length
  // scales a fifth as long, where no training sample is within the others' span, so the
  // factor keeps all 60 columns.
  problem sharp = p;
  for (int l = 0; l < p.d; ++l) sharp.model.weights[l] *= 25.0;
  const reference ref = brute_force(sharp, Xn, nt);
  const model_prediction full = predict(sharp, Xn, nt, with_deviations(deviation_method::approximate, deviation_target::curve));
  const model_prediction solved = predict(sharp, Xn, nt, with_deviations(deviation_method::exact, deviation_target::curve));
  ASSERT_EQ(full.status, model_predict_status::done) << full.error.message;
  ASSERT_EQ(solved.status, model_predict_status::done) << solved.error.message;
  ASSERT_EQ(full.rank, 60);
  for (std::int64_t i = 0; i < nt; ++i) {
    const double va = full.deviations[i] * full.deviations[i];
    EXPECT_NEAR(va, solved.deviations[i] * solved.deviations[i], 1e-10 * amp) << i;
    EXPECT_NEAR(va, static_cast<double>(ref.var[i]), 1e-10 * amp) << i;
  }

  // A rank-3 factor leaves out much of K: the deviations differ, and the check says so.
  model_predict_settings low = with_deviations(deviation_method::approximate, deviation_target::curve);
  low.rank = 3;
  const model_prediction coarse = predict(p, Xn, nt, low);
  ASSERT_EQ(coarse.status, model_predict_status::done);
  EXPECT_EQ(coarse.rank, 3);
  const int checked = static_cast<int>(std::min<std::int64_t>(nt, krr::CHECK_ROWS));
  EXPECT_EQ(coarse.checked_rows, checked);
  ASSERT_EQ(coarse.warnings.size(), 1u);
  EXPECT_EQ(coarse.warnings[0].code, "approximate");
  EXPECT_TRUE(starts_with(coarse.warnings[0].message, "the approximate deviations (Prediction 'curve') are off by about "))
      << coarse.warnings[0].message;
  EXPECT_NE(coarse.progress_line.find("a factor of rank 3 (built in "), std::string::npos) << coarse.progress_line;
  double worst = 0.0, worst_checked = 0.0;
  for (std::int64_t i = 0; i < nt; ++i) worst = std::max(worst, std::fabs(coarse.deviations[i] - exact.deviations[i]));
  EXPECT_GT(worst, 1e-3 * std::sqrt(amp));
  // The rows checked are (2j + 1) nt / (2 m), j < m: the largest error stated is theirs.
  for (int j = 0; j < checked; ++j) {
    const std::int64_t i = (2 * j + 1) * nt / (2 * checked);
    worst_checked = std::max(worst_checked, std::fabs(coarse.deviations[i] / exact.deviations[i] - 1));
  }
  EXPECT_NEAR(coarse.largest_checked_error, worst_checked, 1e-6 * worst_checked);

  // The factor kept as the model's cache: the same bits from it, none built; exact solves
  // preconditioned by it, the deviations those of a preconditioner built in the call.
  ASSERT_TRUE(most.cache && most.cache_built);
  EXPECT_EQ(most.cache->rank(), most.rank);
  model_predict_settings kept = with_deviations(deviation_method::approximate, deviation_target::curve);
  kept.cache = most.cache.get();
  const model_prediction again = predict(p, Xn, nt, kept);
  ASSERT_EQ(again.status, model_predict_status::done) << again.error.message;
  EXPECT_FALSE(again.cache_built);
  EXPECT_EQ(again.deviations, most.deviations);
  EXPECT_NE(again.progress_line.find("(the model's; "), std::string::npos) << again.progress_line;
  kept.method = deviation_method::exact;
  const model_prediction exact_kept = predict(p, Xn, nt, kept);
  ASSERT_EQ(exact_kept.status, model_predict_status::done) << exact_kept.error.message;
  EXPECT_FALSE(exact_kept.cache_built);
  for (std::int64_t i = 0; i < nt; ++i)
    EXPECT_NEAR(exact_kept.deviations[i], exact.deviations[i], 1e-8 * exact.deviations[i]) << i;
  // A cache of other weights is stale: built again, the deviations those of a fresh one.
  problem moved = p;
  moved.model.weights[0] *= 1.5;
  const model_prediction fresh = predict(moved, Xn, nt, with_deviations(deviation_method::approximate, deviation_target::curve));
  kept.method = deviation_method::approximate;
  const model_prediction stale = predict(moved, Xn, nt, kept);
  ASSERT_EQ(stale.status, model_predict_status::done) << stale.error.message;
  EXPECT_TRUE(stale.cache_built);
  EXPECT_EQ(stale.deviations, fresh.deviations);
  EXPECT_NE(stale.deviations, most.deviations);
  // One that does not fit the model is refused, naming what is wrong.
  krr::deviation_cache broken = *most.cache;
  broken.pivots[0] = static_cast<int>(p.n);
  kept.cache = &broken;
  const model_prediction refused = predict(p, Xn, nt, kept);
  EXPECT_EQ(refused.status, model_predict_status::invalid_model);
  EXPECT_EQ(refused.error.message, "MODEL.DeviationCache.Pivots must be training samples, from 1 to n");
  broken = *most.cache;
  broken.chol.pop_back();
  EXPECT_EQ(predict(p, Xn, nt, kept).error.message, "MODEL.DeviationCache.Chol must be r x r, r the number of Pivots");
}

// The check of the approximate deviations against exact solves of a sample of the rows: on
// 1,000 rows with a rank-40 factor, far from enough where the length scales are half
// of those learned, the 95th percentile it states is near that of every row against the
// dense formula, for either kind of deviation, and the warning states it; a tolerance above
// it, or none, raises no warning.
TEST(ModelPredict, ApproximateDeviationsStateTheirCheckedError) {
  problem p = fitted(1000, 1, 41);
  for (int l = 0; l < p.d; ++l) p.model.weights[l] *= 4.0;
  const std::int64_t nt = 300;
  const std::vector<double> Xn = new_rows(p, nt, 20, 42);
  const reference ref = brute_force(p, Xn, nt);
  for (const deviation_target target : {deviation_target::curve, deviation_target::observation}) {
    const bool curve = target == deviation_target::curve;
    model_predict_settings s = with_deviations(deviation_method::approximate, target);
    s.rank = 40;
    const model_prediction r = predict(p, Xn, nt, s);
    ASSERT_EQ(r.status, model_predict_status::done) << r.error.message;
    ASSERT_EQ(r.rank, 40);
    std::vector<double> errors(nt);
    for (std::int64_t i = 0; i < nt; ++i) {
      const double want = std::sqrt(static_cast<double>(ref.var[i]) + (curve ? 0.0 : p.model.ridge));
      errors[i] = std::fabs(r.deviations[i] - want) / want;
    }
    std::sort(errors.begin(), errors.end());
    const double actual = errors[static_cast<std::size_t>(std::ceil(0.95 * nt)) - 1];
    EXPECT_EQ(r.checked_rows, krr::CHECK_ROWS);
    EXPECT_GT(r.estimated_error, actual / 2) << (curve ? "curve" : "observation");
    EXPECT_LT(r.estimated_error, actual * 2) << (curve ? "curve" : "observation");
    EXPECT_LE(r.estimated_error, r.largest_checked_error);
    if (r.estimated_error > s.tolerance) {
      ASSERT_EQ(r.warnings.size(), 1u);
      EXPECT_NE(r.warnings[0].message.find(krr::printf_text("off by about %.3g%% at the 95th percentile of %d rows",
                                                            100 * r.estimated_error, krr::CHECK_ROWS)),
                std::string::npos)
          << r.warnings[0].message;
    }
    if (curve) {
      ASSERT_GT(r.estimated_error, s.tolerance);  // the case this test is for
    }
    s.tolerance = 2 * r.estimated_error;
    EXPECT_TRUE(predict(p, Xn, nt, s).warnings.empty());
    s.tolerance = INFINITY;
    const model_prediction unchecked = predict(p, Xn, nt, s);
    EXPECT_EQ(unchecked.checked_rows, 0);
    EXPECT_TRUE(std::isnan(unchecked.estimated_error));
    EXPECT_EQ(unchecked.deviations, r.deviations);
  }
}

TEST(ModelPredict, OutputsScaleTheDeviationsTheyShare) {
  const problem p = fitted(50, 2, 31);
  const std::int64_t nt = 15;
  const std::vector<double> Xn = new_rows(p, nt, 3, 32);
  const reference ref = brute_force(p, Xn, nt);
  const model_prediction r = predict(p, Xn, nt, with_deviations(deviation_method::exact, deviation_target::observation));
  ASSERT_EQ(r.status, model_predict_status::done) << r.error.message;
  ASSERT_EQ(r.predictions.size(), static_cast<std::size_t>(2 * nt));
  ASSERT_EQ(r.deviations.size(), static_cast<std::size_t>(2 * nt));
  const std::vector<double>& scale = p.model.y_scale;
  for (int q = 0; q < 2; ++q)
    for (std::int64_t i = 0; i < nt; ++i) {
      const std::int64_t at = q * nt + i;
      EXPECT_NEAR(r.predictions[at], static_cast<double>(ref.pred[at]), 1e-11) << q << " " << i;
      // The shared kernel's deviation times the output's scale; the interval around the
      // prediction, z deviations wide on each side.
      EXPECT_NEAR(r.deviations[at] * r.deviations[at],
                  scale[q] * scale[q] * (static_cast<double>(ref.var[i]) + p.model.ridge),
                  1e-9 * scale[q] * scale[q] * p.model.weights[p.d]);
      EXPECT_NEAR(r.upper[at] - r.lower[at], 2 * r.z * r.deviations[at], 1e-13 * r.deviations[at]);
      EXPECT_NEAR(0.5 * (r.upper[at] + r.lower[at]), r.predictions[at], 1e-13);
    }
  EXPECT_NE(scale[0], scale[1]);
  // The second output in units 100 times larger, offset: its predictions and deviations
  // scale with it, the first output's stay (to the fit's rounding).
  problem big = p;
  for (std::int64_t i = 0; i < p.n; ++i) big.Y[p.n + i] = 100 * p.Y[p.n + i] + 5;
  refit(big);
  const model_prediction rb = predict(big, Xn, nt, with_deviations(deviation_method::exact, deviation_target::observation));
  ASSERT_EQ(rb.status, model_predict_status::done) << rb.error.message;
  for (std::int64_t i = 0; i < nt; ++i) {
    EXPECT_NEAR(rb.predictions[i], r.predictions[i], 1e-6);
    EXPECT_NEAR(rb.predictions[nt + i], 100 * r.predictions[nt + i] + 5, 1e-4);
    EXPECT_NEAR(rb.deviations[i], r.deviations[i], 1e-6 * r.deviations[i]) << i;
    EXPECT_NEAR(rb.deviations[nt + i], 100 * r.deviations[nt + i], 1e-4 * r.deviations[nt + i]) << i;
  }
}

TEST(ModelPredict, SameBitsOnOneAndTwoThreads) {
  const problem p = fitted(60, 2, 41);
  const std::int64_t nt = 300;  // enough rows for the prediction to split across threads
  const std::vector<double> Xn = new_rows(p, nt, 10, 42);
  for (deviation_method method : {deviation_method::exact, deviation_method::approximate}) {
    const model_prediction one = predict(p, Xn, nt, with_deviations(method, deviation_target::observation, 1));
    const model_prediction two = predict(p, Xn, nt, with_deviations(method, deviation_target::observation, 2));
    ASSERT_EQ(one.status, model_predict_status::done);
    ASSERT_EQ(two.status, model_predict_status::done);
    ASSERT_EQ(one.predictions.size(), two.predictions.size());
    EXPECT_EQ(std::memcmp(one.predictions.data(), two.predictions.data(), 8 * one.predictions.size()), 0);
    EXPECT_EQ(std::memcmp(one.deviations.data(), two.deviations.data(), 8 * one.deviations.size()), 0);
    EXPECT_EQ(std::memcmp(one.lower.data(), two.lower.data(), 8 * one.lower.size()), 0);
    EXPECT_EQ(one.passes, two.passes);
    EXPECT_EQ(one.rank, two.rank);
  }
}

bool always(void*) { return true; }

TEST(ModelPredict, RefusesBrokenModelsRowsAndSettings) {
  const problem p = fitted(30, 1, 51);
  const std::int64_t nt = 4;
  std::vector<double> Xn = new_rows(p, nt, 1, 52);
  const model_predict_settings dev = with_deviations(deviation_method::exact, deviation_target::observation);

  struct broken {
    void (*change)(krr::fit_model&);
    const char* message;
  };
  const broken cases[] = {
      {[](krr::fit_model& m) { m.format_version = 5; }, "MODEL.FormatVersion must be 1, 2, 3 or 4, the versions this krrpredict reads"},
      {[](krr::fit_model& m) { m.kernel = "matern"; }, "MODEL.Kernel must be 'squaredexponential', 'matern12', 'matern32' or 'matern52', got 'matern'"},
      {[](krr::fit_model& m) { m.format_version = 4; m.kernel.clear(); }, "MODEL.Kernel must be 'squaredexponential', 'matern12', 'matern32' or 'matern52', got"},
      {[](krr::fit_model& m) { m.y_scale.clear(); }, "MODEL.YScale must be a 1 x 1 row vector (one entry per column of Alpha), got 1 x 0"},
      {[](krr::fit_model& m) { m.y_scale[0] = 0.0; }, "MODEL.YScale must be positive and finite"},
      {[](krr::fit_model& m) { m.y_scale[0] = INFINITY; }, "MODEL.YScale must be positive and finite"},
      {[](krr::fit_model& m) { m.mu.clear(); }, "MODEL.Mu must be a 1 x 2 row vector, got 1 x 0"},
      {[](krr::fit_model& m) { m.X.pop_back(); }, "MODEL.X holds 59 entries, not the 2 x 29 its dims say"},
      {[](krr::fit_model& m) { m.X[5] = std::nan(""); }, "MODEL.X must be finite"},
      {[](krr::fit_model& m) { m.alpha.resize(45); }, "MODEL.Alpha holds 45 entries, not the 30 x 1 its dims say"},
      {[](krr::fit_model& m) { m.alpha[0] = INFINITY; }, "MODEL.Alpha must be finite"},
      {[](krr::fit_model& m) { m.weights.push_back(1.0); }, "MODEL.Weights must be a vector of d + 1 = 3 entries, got 1 x 4"},
      {[](krr::fit_model& m) { m.weights[0] = -1.0; }, "MODEL.Weights must be nonnegative"},
      {[](krr::fit_model& m) { m.sigma[1] = 0.0; }, "MODEL.Sigma must be positive"},
      {[](krr::fit_model& m) { m.sigma.pop_back(); }, "MODEL.Sigma must be a 1 x 2 row vector, got 1 x 1"},
      {[](krr::fit_model& m) { m.y_mean.push_back(0.0); }, "MODEL.YMean must be a 1 x 1 row vector (one entry per column of Alpha), got 1 x 2"},
  };
  for (const broken& b : cases) {
    krr::fit_model m = p.model;
    b.change(m);
    const model_prediction r = krr::model_predict(m, Xn.data(), nt, p.d, model_predict_settings());
    EXPECT_EQ(r.status, model_predict_status::invalid_model) << b.message;
    EXPECT_EQ(r.error.code, "invalidModel");
    EXPECT_TRUE(starts_with(r.error.message, b.message)) << r.error.message;
    EXPECT_TRUE(r.predictions.empty());
  }
  // A model of version 2 has no scales (all 1): the same bits as the fit's, whose one
  // output's scale is 1.
  krr::fit_model v2 = p.model;
  v2.format_version = 2;
  v2.y_scale.clear();
  const model_prediction old = krr::model_predict(v2, Xn.data(), nt, p.d, dev);
  const model_prediction now = krr::model_predict(p.model, Xn.data(), nt, p.d, dev);
  ASSERT_EQ(old.status, model_predict_status::done) << old.error.message;
  EXPECT_EQ(old.predictions, now.predictions);
  EXPECT_EQ(old.deviations, now.deviations);
  // A model saved before kernels were named is the Gaussian: the same bits as one naming it.
  EXPECT_EQ(p.model.kernel, "squaredexponential");
  EXPECT_EQ(p.model.format_version, 3);
  krr::fit_model unnamed = p.model;
  unnamed.kernel.clear();
  const model_prediction before = krr::model_predict(unnamed, Xn.data(), nt, p.d, dev);
  ASSERT_EQ(before.status, model_predict_status::done) << before.error.message;
  EXPECT_EQ(before.predictions, now.predictions);
  EXPECT_EQ(before.deviations, now.deviations);
  // Named by an alias, the same kernel; named as another, other predictions.
  krr::fit_model other = p.model;
  other.kernel = "RBF";
  EXPECT_EQ(krr::model_predict(other, Xn.data(), nt, p.d, dev).deviations, now.deviations);
  other.kernel = "matern52";
  EXPECT_NE(krr::model_predict(other, Xn.data(), nt, p.d, dev).predictions, now.predictions);
  EXPECT_EQ(old.upper, now.upper);
  // The fields' dims as a host holds them: compared with X's (d x n) and named as given.
  // X given n x d, a column Mu, no outputs, a matrix of weights are refused; a column of
  // weights is read as the row it is.
  const krr::model_dims as_written = krr::dims_as_written(p.model);
  struct shaped {
    void (*change)(krr::model_dims&);
    const char* message;
  };
  const shaped shapes[] = {
      {[](krr::model_dims& m) { m.X = {30, 2}; }, "MODEL.Alpha must be an n x c matrix, n = 2 (the columns of X), got 30 x 1"},
      {[](krr::model_dims& m) { m.mu = {2, 1}; }, "MODEL.Mu must be a 1 x 2 row vector, got 2 x 1"},
      {[](krr::model_dims& m) { m.sigma = {2, 1}; }, "MODEL.Sigma must be a 1 x 2 row vector, got 2 x 1"},
      {[](krr::model_dims& m) { m.ridge = {2, 1}; }, "MODEL.Ridge must be a positive scalar, got 2 x 1"},
  };
  for (const shaped& b : shapes) {
    krr::model_dims dims = as_written;
    b.change(dims);
    const model_prediction r = krr::model_predict(p.model, dims, Xn.data(), nt, p.d, dev);
    EXPECT_EQ(r.status, model_predict_status::invalid_model) << b.message;
    EXPECT_EQ(r.error.message, b.message);
  }
  krr::fit_model no_features = p.model;
  no_features.X.clear();
  krr::model_dims flat = as_written;
  flat.X = {0, 30};
  EXPECT_EQ(krr::model_predict(no_features, flat, Xn.data(), nt, p.d, dev).error.message,
            "MODEL.X must be a d x n matrix with d and n at least 1, got 0 x 30");
  krr::model_dims column_weights = as_written;
  column_weights.weights = {3, 1};
  const model_prediction by_column = krr::model_predict(p.model, column_weights, Xn.data(), nt, p.d, dev);
  ASSERT_EQ(by_column.status, model_predict_status::done) << by_column.error.message;
  EXPECT_EQ(by_column.deviations, predict(p, Xn, nt, dev).deviations);
  krr::fit_model no_outputs = p.model;
  no_outputs.alpha.clear();
  no_outputs.y_mean.clear();
  krr::model_dims none = as_written;
  none.alpha = {30, 0};
  none.y_mean = {1, 0};
  EXPECT_EQ(krr::model_predict(no_outputs, none, Xn.data(), nt, p.d, dev).error.message,
            "MODEL.Alpha must be an n x c matrix, n = 30 (the columns of X), got 30 x 0");

  // The ridge is read only for deviations.
  krr::fit_model no_ridge = p.model;
  no_ridge.ridge = 0.0;
  EXPECT_EQ(krr::model_predict(no_ridge, Xn.data(), nt, p.d, model_predict_settings()).status, model_predict_status::done);
  const model_prediction r0 = krr::model_predict(no_ridge, Xn.data(), nt, p.d, dev);
  EXPECT_EQ(r0.status, model_predict_status::invalid_model);
  EXPECT_EQ(r0.error.message, "MODEL.Ridge must be a positive scalar, got 0");
  no_ridge.ridge = INFINITY;
  EXPECT_EQ(krr::model_predict(no_ridge, Xn.data(), nt, p.d, dev).error.message, "MODEL.Ridge must be finite");

  // Rows: the model's d, finite entries (named 1-based, row then column).
  const model_prediction wrong_d = krr::model_predict(p.model, Xn.data(), 2, 3, model_predict_settings());
  EXPECT_EQ(wrong_d.status, model_predict_status::invalid_input);
  EXPECT_EQ(wrong_d.error.message, "XNEW must be a real matrix with 2 columns (the model's features), one observation per row, got a 2 x 3 double; if its columns are the observations, pass XNEW'");
  EXPECT_EQ(krr::model_predict(p.model, Xn.data(), 4, 3, model_predict_settings()).error.message,
            "XNEW must be a real matrix with 2 columns (the model's features), one observation per row, got a 4 x 3 double");
  Xn[nt + 1] = std::nan("");
  const model_prediction nan_row = predict(p, Xn, nt, model_predict_settings());
  EXPECT_EQ(nan_row.error.code, "invalidInput");
  EXPECT_EQ(nan_row.error.message, "XNEW must be finite, but XNEW(2,2) is NaN");
  Xn[nt + 1] = 50.0;
  Xn[0] = -INFINITY;
  EXPECT_EQ(predict(p, Xn, nt, model_predict_settings()).error.message, "XNEW must be finite, but XNEW(1,1) is -Inf");
  Xn[0] = 0.0;
  // Finite rows that a scale far below their spread makes infinite once standardised.
  krr::fit_model narrow = p.model;
  narrow.sigma[1] = 1e-10;
  const double kept = Xn[nt];
  Xn[nt] = 1e300;
  EXPECT_EQ(krr::model_predict(narrow, Xn.data(), nt, p.d, model_predict_settings()).error.message,
            "XNEW(1,2) standardised by MODEL.Mu and MODEL.Sigma is Inf, not finite (MODEL.Sigma(2) = 1e-10)");
  // Rows that are a share of a larger set are named by their place in it.
  model_predict_settings later;
  later.first_row = 100;
  EXPECT_EQ(krr::model_predict(narrow, Xn.data(), nt, p.d, later).error.message,
            "XNEW(101,2) standardised by MODEL.Mu and MODEL.Sigma is Inf, not finite (MODEL.Sigma(2) = 1e-10)");
  Xn[nt] = kept;

  // Settings.
  model_predict_settings s = dev;
  s.alpha = 1.0;
  EXPECT_EQ(predict(p, Xn, nt, s).error.message, "Alpha must be in (0, 1), got 1");
  s = dev;
  s.rank = 0;
  EXPECT_EQ(predict(p, Xn, nt, s).error.message, "Rank must be a whole number from 1 to 1000000, got 0");

  // The progress line goes to the sink once the deviations are computed, only where
  // Verbose is on.
  std::vector<std::string> lines;
  s = dev;
  s.progress = [&lines](const std::string& line) { lines.push_back(line); };
  const model_prediction told = predict(p, Xn, nt, s);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], told.progress_line);
  s.verbose = false;
  predict(p, Xn, nt, s);
  s.verbose = true;
  s.deviations = false;
  predict(p, Xn, nt, s);
  EXPECT_EQ(lines.size(), 1u);

  // An interrupt stops the prediction and, asked only there, the deviations.
  s = dev;
  s.interrupt_pending = &always;
  const model_prediction stopped = predict(p, Xn, nt, s);
  EXPECT_EQ(stopped.status, model_predict_status::interrupted);
  EXPECT_EQ(stopped.error.message, "interrupted by the user");
}

// The options by name, as a host gives them: any case, the last value of a name counts,
// each value in the forms krrpredict takes; refusals in the order Alpha, Prediction,
// Method, Rank, Verbose whatever the order given, with krrpredict's texts.
TEST(ModelPredict, ReadsOptionsByName) {
  using krr::option_value;
  auto read = [](const std::vector<std::pair<std::string, option_value>>& given,
                 model_predict_settings& s) {
    krr::predict_option_set set;
    std::string message;
    for (const auto& g : given)
      if (!krr::set_predict_option(set, g.first, g.second, message)) return message;
    if (!krr::read_predict_options(set, s, message)) return message;
    return std::string();
  };
  option_value int_rank = option_value::number(5);
  int_rank.class_name = "int32";
  model_predict_settings s;
  EXPECT_EQ(read({{"alpha", option_value::number(2)}, {"ALPHA", option_value::number(0.1)},
                  {"prediction", option_value::string("CURVE")}, {"Method", option_value::string("Approximate")},
                  {"rank", int_rank}, {"Verbose", option_value::string("Off")}},
                 s),
            "");
  EXPECT_EQ(s.alpha, 0.1);
  EXPECT_EQ(s.prediction, deviation_target::curve);
  EXPECT_EQ(s.method, deviation_method::approximate);
  EXPECT_EQ(s.rank, 5);
  EXPECT_FALSE(s.verbose);
  // Untouched where not given.
  model_predict_settings kept;
  kept.deviations = true;
  EXPECT_EQ(read({{"Verbose", option_value::flag(false)}, {"Method", option_value::string("exact")}}, kept), "");
  EXPECT_EQ(kept.alpha, 0.05);
  EXPECT_EQ(kept.method, deviation_method::exact);
  EXPECT_EQ(kept.rank, 4000);
  EXPECT_EQ(kept.tolerance, 0.02);
  EXPECT_EQ(read({{"deviationtolerance", option_value::number(INFINITY)}}, kept), "");
  EXPECT_EQ(kept.tolerance, INFINITY);
  EXPECT_TRUE(kept.deviations);
  EXPECT_EQ(read({{"Verbose", option_value::number(1)}}, kept), "");
  EXPECT_TRUE(kept.verbose);

  option_value complex_alpha = option_value::number(0.1);
  complex_alpha.complex = true;
  const struct {
    std::vector<std::pair<std::string, option_value>> given;
    const char* message;
  } refused[] = {
      {{{"Level", option_value::number(0.1)}}, "unknown option 'Level'; the options are Alpha, Prediction, Method, Rank, Verbose, DeviationTolerance"},
      {{{"DeviationTolerance", option_value::number(0)}}, "DeviationTolerance must be positive (Inf: no check), got 0"},
      {{{"DeviationTolerance", option_value::number(std::nan(""))}}, "DeviationTolerance must be positive (Inf: no check), got NaN"},
      {{{"DeviationTolerance", option_value::string("x")}}, "DeviationTolerance must be a real numeric scalar, got 'x'"},
      {{{"Alpha", option_value::number(1)}}, "Alpha must be in (0, 1), got 1"},
      {{{"Alpha", option_value::number(std::nan(""))}}, "Alpha must be in (0, 1), got NaN"},
      {{{"Alpha", option_value::string("x")}}, "Alpha must be a real numeric scalar, got 'x'"},
      {{{"Alpha", option_value::flag(true)}}, "Alpha must be a real numeric scalar, got 1"},
      {{{"Alpha", complex_alpha}}, "Alpha must be a real numeric scalar, got a 1 x 1 complex double"},
      {{{"Prediction", option_value::string("new")}}, "Prediction must be 'observation', 'curve', got 'new'"},
      {{{"Method", option_value::string("fast")}}, "Method must be 'auto', 'exact', 'approximate', got 'fast'"},
      {{{"Method", option_value::number(1)}}, "Method must be 'auto', 'exact', 'approximate', got 1"},
      {{{"Rank", option_value::number(0)}}, "Rank must be a whole number from 1 to 1000000, got 0"},
      {{{"Rank", option_value::number(1.5)}}, "Rank must be a whole number from 1 to 1000000, got 1.5"},
      {{{"Rank", option_value::number(1e7)}}, "Rank must be a whole number from 1 to 1000000, got 10000000"},
      {{{"Rank", option_value::vector({1, 2})}}, "Rank must be a whole number from 1 to 1000000, got a 1 x 2 double"},
      {{{"Verbose", option_value::string("no")}}, "Verbose must be true or false (1 or 0, 'on' or 'off'), got 'no'"},
      {{{"Verbose", option_value::number(2)}}, "Verbose must be true or false (1 or 0, 'on' or 'off'), got 2"},
      // The order of the checks, not of the pairs.
      {{{"Verbose", option_value::string("no")}, {"Prediction", option_value::string("new")}, {"Alpha", option_value::number(0)}},
       "Alpha must be in (0, 1), got 0"},
  };
  for (const auto& r : refused) {
    model_predict_settings t;
    EXPECT_EQ(read(r.given, t), r.message);
  }
}

TEST(ModelPredict, InverseErfAgainstKnownValues) {
  // erfinv of these doubles, computed to 40 digits (mpmath).
  const struct {
    double y, x;
  } known[] = {
      {1e-300, 8.86226925452758035857e-301},
      {1e-05, 0.000008862269254759594528},
      {0.1, 0.0888559904942576919743},
      {-0.3, -0.272462714726754345025},
      {0.5, 0.476936276204469873381},
      {0.75, 0.81341984759761854169},
      {0.9, 1.16308715367667416284},
      {1 - 0.05, 1.38590382434967767663},
      {1 - 1e-3, 2.32675376551352449387},
      {1 - 1e-8, 4.05223724326876335539},
      {1 - 0x1p-53, 5.86358474875516792721},
  };
  for (const auto& k : known) {
    EXPECT_NEAR(krr::inverse_erf(k.y), k.x, 1e-15 * std::fabs(k.x)) << k.y;
    EXPECT_EQ(krr::inverse_erf(-k.y), -krr::inverse_erf(k.y));
  }
  EXPECT_EQ(krr::inverse_erf(1.0), std::numeric_limits<double>::infinity());
  EXPECT_EQ(krr::inverse_erf(-1.0), -std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isnan(krr::inverse_erf(1.5)));
  EXPECT_TRUE(std::isnan(krr::inverse_erf(std::nan(""))));
  EXPECT_EQ(krr::inverse_erf(0.0), 0.0);
  // erfcinv, where 1 - q keeps none or few of q's digits (mpmath, 40 digits).
  const struct {
    double q, x;
  } complements[] = {
      {0.05, 1.385903824349677928487716},  {1e-16, 5.872370090453963146821437},
      {1e-17, 6.062693998163568477273639}, {1e-300, 26.20946996051612388552073},
      {1.5, -0.4769362762044698733814184}, {1.999, -2.326753765513546580589747},
  };
  for (const auto& k : complements)
    EXPECT_NEAR(krr::inverse_erfc(k.q), k.x, 2e-15 * std::fabs(k.x)) << k.q;
  EXPECT_EQ(krr::inverse_erfc(1.0), 0.0);
  EXPECT_EQ(krr::inverse_erfc(0.0), std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isfinite(krr::inverse_erfc(5e-324)));
}

}  // namespace
