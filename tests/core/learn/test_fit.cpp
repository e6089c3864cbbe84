// The learner driven without a host: its seeded draws against the .m learner's numbers, the
// options table's refusals, a dense fit against an independent brute-force kernel, outputs
// in other units sharing the kernel of their scaled columns, the moved start, the bounds
// warning, the memory refusal, the scalable path and its check, the same bits on 1 and 2
// threads, how every solve's status is read (statuses injected through the environment's
// seam), and an interrupt.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/learn/dense_objective.h"
#include "core/learn/fit.h"
#include "core/solve/descent.h"

namespace {

using krr::fit_option_set;
using krr::fit_result;
using krr::fit_status;
using krr::option_value;

struct data {
  std::int64_t n;
  int d, c;
  std::vector<double> X, Y;  // column-major, one observation per row
};

// y = sin(3 x1) + 0.5 x2^2 + noise, the third feature (where d = 3) irrelevant and offset.
data synthetic(std::int64_t n, int d, unsigned seed, double noise = 0.05) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::normal_distribution<double> z(0.0, 1.0);
  data p{n, d, 1, std::vector<double>(n * d), std::vector<double>(n)};
  for (auto& x : p.X) x = u(gen);
  for (std::int64_t i = 0; i < n; ++i) {
    if (d >= 3) p.X[2 * n + i] = 100 + 10 * p.X[2 * n + i];
    const double x2 = d >= 2 ? p.X[n + i] : 0.0;
    p.Y[i] = 2 + std::sin(3 * p.X[i]) + 0.5 * x2 * x2 + noise * z(gen);
  }
  return p;
}

fit_option_set options(const std::vector<std::pair<std::string, option_value>>& given) {
  fit_option_set set;
  std::string message;
  for (const auto& g : given) EXPECT_TRUE(krr::set_fit_option(set, g.first, g.second, message)) << message;
  return set;
}

krr::fit_environment quiet(int threads = 1) {
  krr::fit_environment env;
  env.threads = threads;
  return env;
}

fit_result run(const data& p, const fit_option_set& set, const krr::fit_environment& env = quiet()) {
  return krr::fit(p.X.data(), p.n, p.d, p.Y.data(), p.c, set, env);
}

option_value num(double v) { return option_value::number(v); }
option_value off() { return option_value::flag(false); }

// (K + ridge I) alpha - (Y - YMean), K built from the model's length scales in the units of
// X and the raw observations, in long double: independent of the learner's standardised
// frame and of dense_objective. The model's kernel by its textbook formula in
// r = sqrt(sum_l (a_l - b_l)^2 / l_l^2).
long double unit_kernel(const std::string& kernel, long double e) {  // e = r^2 / 2
  const long double r = std::sqrt(2 * e);
  if (kernel == "matern12") return std::exp(-r);
  if (kernel == "matern32") return (1 + std::sqrt(3.0L) * r) * std::exp(-std::sqrt(3.0L) * r);
  if (kernel == "matern52") return (1 + std::sqrt(5.0L) * r + 5 * r * r / 3) * std::exp(-std::sqrt(5.0L) * r);
  return std::exp(-e);
}

std::vector<double> residual(const data& p, const krr::fit_model& m) {
  std::vector<double> r(p.n * p.c);
  for (int q = 0; q < p.c; ++q)
    for (std::int64_t i = 0; i < p.n; ++i) {
      long double s = -(static_cast<long double>(p.Y[q * p.n + i]) - m.y_mean[q]) +
                      static_cast<long double>(m.ridge) * m.alpha[q * p.n + i];
      for (std::int64_t j = 0; j < p.n; ++j) {
        long double e = 0.0L;
        for (int l = 0; l < p.d; ++l) {
          const long double t = (static_cast<long double>(p.X[l * p.n + i]) - p.X[l * p.n + j]) /
                                m.length_scales[l];
          e += t * t / 2;
        }
        s += static_cast<long double>(m.amplitude) * unit_kernel(m.kernel, e) * m.alpha[q * p.n + j];
      }
      r[q * p.n + i] = static_cast<double>(s);
    }
  return r;
}

double max_abs(const std::vector<double>& v) {
  double m = 0.0;
  for (double x : v) m = std::max(m, std::fabs(x));
  return m;
}

bool contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

const krr::fit_message* warning(const fit_result& r, const std::string& code) {
  for (const auto& w : r.warnings)
    if (w.code == code) return &w;
  return nullptr;
}

// ---------------------------------------------------------------------------------------
// The seeded draws equal the .m learner's (printed by Octave from its uniforms, generator,
// seeded_subset and normals, the subset 1-based there).

TEST(FitDraws, SubsetAndNormalsEqualTheOctaveLearnersDraws) {
  const std::vector<std::int64_t> a = krr::seeded_subset(20, 7, 0);
  EXPECT_EQ(a, (std::vector<std::int64_t>{4, 12, 13, 15, 17, 18, 19}));
  const std::vector<std::int64_t> b = krr::seeded_subset(1000, 10, 4294967295u);
  EXPECT_EQ(b, (std::vector<std::int64_t>{21, 36, 51, 56, 132, 191, 411, 574, 958, 974}));
  const std::vector<std::int64_t> c = krr::seeded_subset(50, 12, 123456789);
  EXPECT_EQ(c, (std::vector<std::int64_t>{3, 4, 8, 11, 12, 14, 15, 19, 21, 24, 33, 48}));
  EXPECT_EQ(krr::seeded_normals(5, 0),
            (std::vector<double>{1.322444838812316, -0.67186339277040674, -0.79235105476587264,
                                 0.28717466644841061, 1.766354346393584}));
  EXPECT_EQ(krr::seeded_normals(4, 3000000000u),
            (std::vector<double>{0.16341732963943498, 0.67202331962398421, -2.0049400015421055,
                                 -0.082466945904986821}));
  // A larger subset continues the same draws: it contains the smaller one.
  const std::vector<std::int64_t> small = krr::seeded_subset(500, 30, 9), big = krr::seeded_subset(500, 90, 9);
  for (std::int64_t i : small) EXPECT_TRUE(std::binary_search(big.begin(), big.end(), i));
}

// ---------------------------------------------------------------------------------------
// The options table: names in any case, each kind refused with the learner's text.

TEST(FitOptions, RefusesBadValuesWithTheLearnersTexts) {
  const data p = synthetic(5, 1, 1);
  auto refused = [&](const std::string& name, const option_value& v) {
    const fit_result r = run(p, options({{"Verbose", off()}, {name, v}}));
    EXPECT_EQ(r.status, fit_status::invalid_input) << name;
    EXPECT_EQ(r.error.code, "invalidInput");
    return r.error.message;
  };
  EXPECT_EQ(refused("MaxIterations", num(1.5)), "MaxIterations must be a whole number from 0 to 1000000, got 1.5");
  EXPECT_EQ(refused("maxiterations", option_value::vector({1, 2})),
            "MaxIterations must be a whole number from 0 to 1000000, got a 1 x 2 double");
  EXPECT_EQ(refused("ScalableIterations", option_value::string("3")),
            "ScalableIterations must be a whole number from 0 to 1000000, got '3'");
  EXPECT_EQ(refused("Seed", num(-1)), "Seed must be a whole number from 0 to 4294967295, got -1");
  EXPECT_EQ(refused("Restarts", num(INFINITY)), "Restarts must be a whole number from 0 to 1000, got Inf");
  option_value complex = num(0);
  complex.complex = true;
  EXPECT_EQ(refused("PolishLimit", complex),
            "PolishLimit must be a whole number from 0 to 2147483647, got a 1 x 1 complex double");
  EXPECT_EQ(refused("Probes", num(5000)), "Probes must be a whole number from 1 to 4096, got 5000");
  EXPECT_EQ(refused("Kernel", option_value::string("matern")),
            "Kernel must be 'squaredexponential' ('gaussian', 'se', 'rbf'), 'matern12' ('exponential'), "
            "'matern32', 'matern52' or 'auto', got 'matern'");
  EXPECT_TRUE(contains(refused("kernel", num(52)), "'matern52' or 'auto', got 52"));
  EXPECT_EQ(refused("Tolerance", num(0)), "Tolerance must be a real scalar in (0, 1), got 0");
  option_value cell;
  cell.kind = option_value::type::other;
  cell.rows = cell.cols = 1;
  cell.class_name = "cell";
  EXPECT_EQ(refused("Tolerance", cell), "Tolerance must be a real numeric scalar, got a 1 x 1 cell");
  EXPECT_EQ(refused("CacheBytes", num(NAN)),
            "CacheBytes must be a number of bytes, 0 or more (Inf for as much as fits), got NaN");
  EXPECT_EQ(refused("Verbose", option_value::string("no")),
            "Verbose must be true or false (1 or 0, 'on' or 'off'), got 'no'");
  EXPECT_EQ(refused("Standardize", num(2)), "Standardize must be true or false (1 or 0, 'on' or 'off'), got 2");
  EXPECT_EQ(refused("Method", option_value::string("fast")), "Method must be 'auto', 'dense', 'scalable', got 'fast'");
  EXPECT_EQ(refused("FinalObjective", option_value::string("yes")),
            "FinalObjective must be 'auto', true or false (1 or 0, 'on' or 'off'), got 'yes'");
  // Those that need d: checked once the data are known.
  EXPECT_EQ(refused("RidgeBounds", option_value::vector({1, 0.5})),
            "RidgeBounds must be [low high] with 0 < low <= high, both finite");
  EXPECT_EQ(refused("Fixed", option_value::vector({1, 0})), "Fixed as a vector must have d + 2 = 3 entries");
  EXPECT_EQ(refused("Fixed", option_value::vector({0, 2, 1})),
            "Fixed as a vector must hold true or false (1 or 0) entries");
  EXPECT_EQ(refused("Fixed", option_value::strings({"Noise"})), "unknown parameter in Fixed: Noise");
  EXPECT_EQ(refused("Amplitude", option_value::string("a")), "Amplitude must be positive and finite, 1 x 1 or scalar");
  const data p2 = synthetic(5, 2, 1);
  const fit_result r = run(p2, options({{"LengthScales", option_value::vector({1, -1})}}));
  EXPECT_EQ(r.error.message, "LengthScales must be positive and finite, 1 x 2 or scalar");
  const fit_result three = run(p2, options({{"LengthScales", option_value::vector({1, 1, 1})}}));
  EXPECT_EQ(three.status, fit_status::invalid_input);

  option_value pair = option_value::vector({1, 1});
  pair.logical = true;
  pair.class_name = "logical";
  EXPECT_EQ(refused("CenterTargets", pair),
            "CenterTargets must be true or false (1 or 0, 'on' or 'off'), got a 1 x 2 logical");
  EXPECT_EQ(refused("Method", option_value::string(std::string(41, 'a'))),
            "Method must be 'auto', 'dense', 'scalable', got a 1 x 41 char");
  EXPECT_EQ(refused("MaxIterations", option_value::flag(true)),  // a logical is not a number
            "MaxIterations must be a whole number from 0 to 1000000, got 1");
  // The last value given for a name holds.
  EXPECT_EQ(run(p, options({{"Verbose", off()}, {"Probes", num(0)}, {"probes", num(2)}, {"MaxIterations", num(1)}})).status,
            fit_status::done);
  fit_option_set set;
  std::string message;
  EXPECT_FALSE(krr::set_fit_option(set, "Verbos", off(), message));
  EXPECT_EQ(message.rfind("unknown option 'Verbos'; the options are LengthScales, Amplitude, Ridge, Fixed,", 0), 0u);
  // The data's own checks.
  data bad = synthetic(5, 1, 1);
  bad.Y[2] = NAN;
  EXPECT_EQ(run(bad, options({})).error.message, "X and Y must be finite");
  data big = synthetic(5, 1, 1);
  for (auto& y : big.Y) y *= 1e200;
  EXPECT_EQ(run(big, options({})).error.message.rfind("Y must have a variance from 1e-150 to 1e150", 0), 0u);
  // Several columns are scaled to the geometric mean of their deviations first: columns at
  // 1e-300 and 1e300 fit (their mean 1), one 1e-400 times that mean cannot be represented.
  data apart = synthetic(5, 1, 1);
  apart.c = 3;
  apart.Y.resize(15);
  for (int i = 0; i < 5; ++i) {
    apart.Y[5 + i] = 1e300 * apart.Y[i];
    apart.Y[10 + i] = 1e300 * apart.Y[i];
    apart.Y[i] *= 1e-300;
  }
  const fit_result far = run(apart, options({{"Verbose", off()}, {"MaxIterations", num(0)}}));
  EXPECT_EQ(far.error.message.rfind("column 1 of Y has a standard deviation e^-921.034 times the "
                                    "geometric mean of the columns' deviations, outside the range", 0),
            0u) << far.error.message;
  apart.c = 2;
  apart.Y.resize(10);
  EXPECT_EQ(run(apart, options({{"Verbose", off()}, {"MaxIterations", num(0)}})).status, fit_status::done);
}

TEST(FitOptions, FlagsAndNamesAsAHostGivesThem) {
  const data p = synthetic(40, 2, 3);
  const fit_result a = run(p, options({{"Verbose", off()}, {"MaxIterations", num(3)}, {"Restarts", num(1)}}));
  const fit_result b = run(p, options({{"VERBOSE", option_value::string("off")}, {"maxiterations", num(3)},
                                       {"restarts", num(1)}, {"Standardize", option_value::string("ON")}}));
  ASSERT_EQ(a.status, fit_status::done);
  ASSERT_EQ(b.status, fit_status::done);
  EXPECT_EQ(a.model.alpha, b.model.alpha);
  // The kernel's aliases, in any case, name the same kernel: the same model.
  EXPECT_EQ(a.model.kernel, "squaredexponential");
  for (const char* alias : {"RBF", "gaussian", "Se", "squaredExponential"}) {
    const fit_result c = run(p, options({{"Verbose", off()}, {"MaxIterations", num(3)}, {"Restarts", num(1)},
                                         {"Kernel", option_value::string(alias)}}));
    EXPECT_EQ(c.model.alpha, a.model.alpha) << alias;
    EXPECT_EQ(c.model.kernel, "squaredexponential") << alias;
  }
  const fit_result e = run(p, options({{"Verbose", off()}, {"MaxIterations", num(3)},
                                       {"Kernel", option_value::string("Exponential")}}));
  const fit_result m = run(p, options({{"Verbose", off()}, {"MaxIterations", num(3)},
                                       {"Kernel", option_value::string("matern12")}}));
  EXPECT_EQ(e.model.kernel, "matern12");
  EXPECT_EQ(e.model.alpha, m.model.alpha);
  EXPECT_NE(e.model.alpha, a.model.alpha);
}

// ---------------------------------------------------------------------------------------
// The dense path: a true maximum, and coefficients that solve the system of the kernel the
// model reports.

TEST(FitDense, EndsAtAStationaryPointAndAlphaSolvesTheReportedSystem) {
  const data p = synthetic(120, 3, 11);
  std::vector<std::string> lines;
  krr::fit_environment env = quiet();
  env.progress = [&](const std::string& line) { lines.push_back(line); };
  const fit_result r = run(p, options({}), env);
  ASSERT_EQ(r.status, fit_status::done) << r.error.message;
  const krr::fit_model& m = r.model;
  EXPECT_EQ(m.method, "exact, dense, n = 120");
  EXPECT_EQ(m.format_version, 3);
  EXPECT_EQ(m.y_scale, std::vector<double>{1.0});  // one output: unscaled
  // The third feature (noise) is ignored: its relevance is tiny.
  EXPECT_LT(m.relevance[2], 0.01 * std::min(m.relevance[0], m.relevance[1]));
  // Gradient at the end, by dense_objective at the model's theta in standardised units.
  std::vector<double> theta;
  for (int l = 0; l < p.d; ++l) theta.push_back(std::log(m.weights[l]));
  theta.push_back(std::log(m.amplitude));
  theta.push_back(std::log(m.ridge));
  std::vector<double> centred = p.Y;
  for (double& y : centred) y -= m.y_mean[0];
  krr::dense_objective_settings s;
  const krr::dense_objective_result e =
      krr::dense_objective(m.X.data(), p.d, p.n, centred.data(), 1, theta.data(), s);
  ASSERT_TRUE(e.factorised);
  for (int i = 0; i < p.d + 2; ++i) EXPECT_LT(std::fabs(e.gradient[i]), 1e-2) << i;
  // The reported value is the best of the history, and the value at the end.
  double best = -INFINITY;
  for (const auto& row : m.history) best = std::max(best, row[1]);
  EXPECT_NEAR(m.log_marginal_likelihood, best, 1e-9 * std::fabs(best));
  EXPECT_NEAR(m.log_marginal_likelihood, e.value, 1e-9 * std::fabs(e.value));
  // Alpha solves (K + Ridge I) Alpha = Y - YMean with K from the raw X.
  double ymax = 0.0;
  for (double y : p.Y) ymax = std::max(ymax, std::fabs(y - m.y_mean[0]));
  EXPECT_LT(max_abs(residual(p, m)), 1e-9 * ymax);
  // Progress: one line per history row, then the closing line.
  ASSERT_EQ(lines.size(), m.history.size() + 1);
  EXPECT_EQ(lines[0].rfind("krrfit (exact)", 0), 0u);
  EXPECT_EQ(lines.back().rfind("krrfit: done in ", 0), 0u);
  EXPECT_TRUE(contains(lines.back(), "(exact, dense, n = 120): log marginal likelihood "));
  // Verbose off: nothing told.
  lines.clear();
  run(p, options({{"Verbose", off()}, {"MaxIterations", num(2)}}), env);
  EXPECT_TRUE(lines.empty());
}

TEST(FitDense, FixedValuesStayAndTheBestOfSeveralStartsIsKept) {
  const data p = synthetic(60, 2, 5);
  const fit_result fixed = run(p, options({{"Verbose", off()}, {"Fixed", option_value::strings({"Ridge"})},
                                           {"Ridge", num(0.3)}, {"MaxIterations", num(5)}}));
  ASSERT_EQ(fixed.status, fit_status::done);
  EXPECT_NEAR(fixed.model.ridge, 0.3, 1e-15);
  const fit_result one = run(p, options({{"Verbose", off()}, {"MaxIterations", num(3)}}));
  const fit_result three = run(p, options({{"Verbose", off()}, {"MaxIterations", num(3)}, {"Restarts", num(2)}}));
  EXPECT_GE(three.model.log_marginal_likelihood, one.model.log_marginal_likelihood);
  EXPECT_GT(three.model.history.size(), one.model.history.size());
  const fit_result bounded = run(p, options({{"Verbose", off()}, {"LengthScaleBounds", option_value::vector({0.5, 2})},
                                             {"MaxIterations", num(5)}}));
  for (double l : bounded.model.length_scales) {
    EXPECT_GE(l, 0.5 * (1 - 1e-12));
    EXPECT_LE(l, 2 * (1 + 1e-12));
  }
}

TEST(FitDense, APolishOnAllRowsFollowsTheSubsetAndEndsAtTheirOptimum) {
  const data p = synthetic(400, 2, 17);
  const fit_result polished = run(p, options({{"Verbose", off()}, {"Method", option_value::string("scalable")},
                                              {"SubsetSize", num(60)}, {"PolishLimit", num(1000)}}));
  ASSERT_EQ(polished.status, fit_status::done) << polished.error.message;
  EXPECT_EQ(polished.model.method, "exact on 60, then exact on all 400");
  const fit_result dense = run(p, options({{"Verbose", off()}}));
  // The same maximum from another start: the values agree far below the likelihood's scale.
  EXPECT_NEAR(polished.model.log_marginal_likelihood, dense.model.log_marginal_likelihood,
              1e-5 * std::fabs(dense.model.log_marginal_likelihood));
  EXPECT_TRUE(std::isnan(polished.model.threads));  // exact throughout
}

// 'auto' fits every kernel on the first exact stage from the same start and keeps the one of
// the highest objective: each candidate's objective is the one its own fit reaches (the
// same search), and the model is the chosen kernel's own, bit for bit. On data with a kink
// and a jump the chosen kernel is a Matern one, whose objective beats the Gaussian's.
TEST(FitDense, AutoKeepsTheKernelOfTheHighestObjective) {
  data p = synthetic(150, 2, 41);
  for (std::int64_t i = 0; i < p.n; ++i) {
    const double x1 = p.X[i], x2 = p.X[p.n + i];
    p.Y[i] = std::fabs(x1 - 0.2) + (x2 > 0.3 ? 1.0 : 0.0) + 0.02 * std::sin(37.0 * i);
  }
  const char* names[] = {"squaredexponential", "matern12", "matern32", "matern52"};
  auto with = [&](const char* kernel) {
    return run(p, options({{"Verbose", off()}, {"Kernel", option_value::string(kernel)}, {"MaxIterations", num(60)}}));
  };
  const fit_result chosen = with("auto");
  ASSERT_EQ(chosen.status, fit_status::done) << chosen.error.message;
  ASSERT_EQ(chosen.model.kernel_objectives.size(), 4u);
  int best = 0;
  for (int k = 0; k < 4; ++k) {
    const fit_result own = with(names[k]);
    ASSERT_EQ(own.status, fit_status::done) << names[k];
    EXPECT_EQ(own.model.kernel, names[k]);
    EXPECT_EQ(own.model.format_version, k == 0 ? 3 : 4);
    EXPECT_EQ(std::memcmp(&chosen.model.kernel_objectives[k], &own.model.log_marginal_likelihood, sizeof(double)), 0)
        << names[k];
    if (chosen.model.kernel_objectives[k] > chosen.model.kernel_objectives[best]) best = k;
    if (chosen.model.kernel == names[k]) {
      EXPECT_EQ(chosen.model.alpha, own.model.alpha);
      EXPECT_EQ(chosen.model.length_scales, own.model.length_scales);
    }
    // The residual of the system the model reports, with its own kernel.
    double ymax = 0.0;
    for (double y : p.Y) ymax = std::max(ymax, std::fabs(y - own.model.y_mean[0]));
    EXPECT_LT(max_abs(residual(p, own.model)), 1e-8 * ymax) << names[k];
  }
  EXPECT_EQ(chosen.model.kernel, names[best]);
  EXPECT_NE(best, 0);
  // Every candidate's stages are in the history, each labelled with its kernel.
  EXPECT_GT(chosen.model.history.size(), with(names[best]).model.history.size());
  // Stopped early, every candidate's search ends at MaxIterations; only the kept kernel's
  // limit is warned of, the others no longer bear on the model.
  const fit_result capped = run(p, options({{"Verbose", off()}, {"Kernel", option_value::string("auto")},
                                            {"MaxIterations", num(2)}}));
  ASSERT_EQ(capped.status, fit_status::done) << capped.error.message;
  const krr::fit_message* limit = warning(capped, "iterationLimit");
  ASSERT_NE(limit, nullptr);
  for (const char* name : names) {
    EXPECT_EQ(contains(limit->message, std::string(", ") + name + ")"), capped.model.kernel == name)
        << limit->message;
  }
}

TEST(FitDense, TheModelDoesNotDependOnWhereTheFeaturesLie) {
  // Without standardising, offsets of 1e7 and 1.7e9 (timestamps) give the model of the data
  // near the origin: every stage computes the kernel from differences.
  data near = synthetic(60, 2, 6);
  const fit_option_set o = options({{"Verbose", off()}, {"Standardize", off()}, {"MaxIterations", num(5)}});
  const fit_result m0 = run(near, o);
  ASSERT_EQ(m0.status, fit_status::done);
  for (double offset : {1e7, 1.7e9}) {
    data far = near;
    for (double& x : far.X) x += offset;
    const fit_result m = run(far, o);
    ASSERT_EQ(m.status, fit_status::done);
    EXPECT_NEAR(m.model.log_marginal_likelihood, m0.model.log_marginal_likelihood,
                1e-6 * std::fabs(m0.model.log_marginal_likelihood));
    for (int l = 0; l < 2; ++l)
      EXPECT_NEAR(m.model.length_scales[l], m0.model.length_scales[l], 1e-4 * m0.model.length_scales[l]);
    EXPECT_EQ(m.model.mu, std::vector<double>(2, 0.0));
  }
}

TEST(FitDense, AFeatureAtAnyScaleGivesTheModelOfItUnscaled) {
  // Standardised, a feature times any power of ten within double range gives the unscaled
  // model: its mean and deviation neither overflow (its squares beyond 1e308) nor
  // underflow (below 1e-308, where it would have been dropped as constant).
  const data p = synthetic(60, 2, 6);
  const fit_option_set o = options({{"Verbose", off()}});
  const fit_result m0 = run(p, o);
  ASSERT_EQ(m0.status, fit_status::done);
  for (double scale : {1e-300, 1e-170, 1e154, 1e155, 1e300}) {
    data q = p;
    for (std::int64_t i = 0; i < p.n; ++i) q.X[p.n + i] *= scale;
    const fit_result m = run(q, o);
    ASSERT_EQ(m.status, fit_status::done) << scale << ": " << m.error.message;
    EXPECT_NEAR(m.model.log_marginal_likelihood, m0.model.log_marginal_likelihood,
                1e-9 * std::fabs(m0.model.log_marginal_likelihood)) << scale;
    EXPECT_NEAR(m.model.length_scales[0], m0.model.length_scales[0], 1e-6 * m0.model.length_scales[0]) << scale;
    EXPECT_NEAR(m.model.length_scales[1] / scale, m0.model.length_scales[1], 1e-6 * m0.model.length_scales[1]) << scale;
    EXPECT_NEAR(m.model.sigma[1] / scale, m0.model.sigma[1], 1e-14 * m0.model.sigma[1]) << scale;
  }
  // Values spanning the whole range, -1.7e308 to 1.7e308, still fit (their deviation,
  // 1.71e308, is a double); what double precision cannot hold is refused, naming the
  // feature: a deviation beyond the largest double (two such values: 2.4e308), or one
  // below the smallest normal one.
  data span = p;
  for (std::int64_t i = 0; i < p.n; ++i) span.X[p.n + i] = i % 2 ? 1.7e308 : -1.7e308;
  EXPECT_EQ(run(span, o).status, fit_status::done);
  data wide = synthetic(2, 2, 6);
  wide.X[2] = -1.7e308;
  wide.X[3] = 1.7e308;
  const fit_result w = run(wide, o);
  EXPECT_EQ(w.status, fit_status::invalid_input);
  EXPECT_EQ(w.error.message.rfind("feature 2 of X has a standard deviation of ", 0), 0u) << w.error.message;
  EXPECT_TRUE(contains(w.error.message, "outside the range of normal doubles")) << w.error.message;
  data tiny = p;
  for (std::int64_t i = 0; i < p.n; ++i) tiny.X[i] *= 1e-310;
  const fit_result t = run(tiny, o);
  EXPECT_EQ(t.status, fit_status::invalid_input);
  EXPECT_EQ(t.error.message.rfind("feature 1 of X has a standard deviation of ", 0), 0u) << t.error.message;
}

TEST(FitDense, OutputsInOtherUnitsShareTheKernelOfTheirScaledColumns) {
  // Two outputs, the second in units 100 times larger and offset: the model of
  // [f1, f2] with the second column's scale (and so the geometric mean) 100 and 10 times
  // larger, the amplitude and ridge 100 times, the same length scales, Alpha in Y's units
  // (the first column's a hundredth, the second's the same), the objective lower by
  // n c log 10 (targets 10 times larger). Were the columns not scaled, the second would
  // decide the length scales alone.
  data a = synthetic(80, 3, 12);
  a.c = 2;
  std::mt19937_64 gen(13);
  std::normal_distribution<double> z(0.0, 1.0);
  a.Y.resize(2 * a.n);
  for (std::int64_t i = 0; i < a.n; ++i)
    a.Y[a.n + i] = std::cos(2 * a.X[a.n + i]) + 0.3 * a.X[i] + 0.05 * z(gen);
  data b = a;
  for (std::int64_t i = 0; i < a.n; ++i) b.Y[a.n + i] = 100 * a.Y[a.n + i] + 5;
  const fit_option_set o = options({{"Verbose", off()}});
  const fit_result ra = run(a, o), rb = run(b, o);
  ASSERT_EQ(ra.status, fit_status::done) << ra.error.message;
  ASSERT_EQ(rb.status, fit_status::done) << rb.error.message;
  const krr::fit_model &ma = ra.model, &mb = rb.model;
  ASSERT_EQ(ma.y_scale.size(), 2u);
  EXPECT_NEAR(std::log(ma.y_scale[0]) + std::log(ma.y_scale[1]), 0.0, 1e-15);
  EXPECT_NEAR(mb.y_scale[0], ma.y_scale[0] / 10, 1e-13 * ma.y_scale[0]);
  EXPECT_NEAR(mb.y_scale[1], ma.y_scale[1] * 10, 1e-13 * ma.y_scale[1] * 10);
  for (int l = 0; l < a.d; ++l)
    EXPECT_NEAR(mb.length_scales[l], ma.length_scales[l], 1e-6 * ma.length_scales[l]) << l;
  EXPECT_NEAR(mb.amplitude, 100 * ma.amplitude, 1e-6 * 100 * ma.amplitude);
  EXPECT_NEAR(mb.ridge, 100 * ma.ridge, 1e-6 * 100 * ma.ridge);
  EXPECT_NEAR(mb.log_marginal_likelihood, ma.log_marginal_likelihood - 2 * a.n * std::log(10.0),
              1e-8 * std::fabs(ma.log_marginal_likelihood));
  const double alpha_max = max_abs(ma.alpha);
  for (std::int64_t i = 0; i < a.n; ++i) {
    EXPECT_NEAR(mb.alpha[i], ma.alpha[i] / 100, 1e-6 * alpha_max / 100) << i;
    EXPECT_NEAR(mb.alpha[a.n + i], ma.alpha[a.n + i], 1e-6 * alpha_max) << i;
  }
  // Alpha solves (K + Ridge I) Alpha = Y - YMean column by column, in Y's units.
  const std::vector<double> r = residual(b, mb);
  for (int q = 0; q < 2; ++q) {
    double rmax = 0.0, ymax = 0.0;
    for (std::int64_t i = 0; i < b.n; ++i) {
      rmax = std::max(rmax, std::fabs(r[q * b.n + i]));
      ymax = std::max(ymax, std::fabs(b.Y[q * b.n + i] - mb.y_mean[q]));
    }
    EXPECT_LT(rmax, 1e-9 * ymax) << q;
  }
  // The objective is that of Y itself, each column q under y_scale[q]^2 times the kernel
  // and the noise: the scales' Jacobian is 1.
  double sum = 0.0;
  for (int q = 0; q < 2; ++q) {
    std::vector<double> theta, centred(b.Y.begin() + q * b.n, b.Y.begin() + (q + 1) * b.n);
    for (int l = 0; l < b.d; ++l) theta.push_back(std::log(mb.weights[l]));
    theta.push_back(std::log(mb.amplitude * mb.y_scale[q] * mb.y_scale[q]));
    theta.push_back(std::log(mb.ridge * mb.y_scale[q] * mb.y_scale[q]));
    for (double& y : centred) y -= mb.y_mean[q];
    krr::dense_objective_settings s;
    s.gradient = false;
    sum += krr::dense_objective(mb.X.data(), b.d, b.n, centred.data(), 1, theta.data(), s).value;
  }
  EXPECT_NEAR(sum, mb.log_marginal_likelihood, 1e-9 * std::fabs(sum));
  // A constant column keeps the scale 1 and leaves the others' as they were.
  data with_constant = b;
  with_constant.c = 3;
  with_constant.Y.resize(3 * b.n, 7.0);
  const fit_result rc = run(with_constant, options({{"Verbose", off()}, {"MaxIterations", num(0)}}));
  ASSERT_EQ(rc.status, fit_status::done) << rc.error.message;
  EXPECT_EQ(rc.model.y_scale, (std::vector<double>{mb.y_scale[0], mb.y_scale[1], 1.0}));
}

TEST(FitDense, RestartsKeepFixedEntriesAndOneSeedGivesOneModel) {
  const data p = synthetic(80, 2, 9);
  auto with_seed = [&](double seed) {
    return run(p, options({{"Verbose", off()}, {"Restarts", num(3)}, {"Seed", num(seed)},
                           {"Fixed", option_value::strings({"amplitude"})}, {"Amplitude", num(0.7)},
                           {"MaxIterations", num(4)}}));
  };
  const fit_result a = with_seed(7), b = with_seed(7), c = with_seed(8);
  ASSERT_EQ(a.status, fit_status::done);
  EXPECT_EQ(a.model.amplitude, 0.7);
  EXPECT_EQ(a.model.alpha, b.model.alpha);
  // Another seed perturbs the starts otherwise: the history's starting values differ.
  std::vector<double> starts_a, starts_c;
  for (const auto& row : a.model.history) starts_a.push_back(row[1]);
  for (const auto& row : c.model.history) starts_c.push_back(row[1]);
  EXPECT_NE(starts_a, starts_c);
}

// ---------------------------------------------------------------------------------------
// Starts that do not factorise, parameters at bounds, memory.

TEST(FitWarnings, AStartThatDoesNotFactoriseMovesWithItsWarning) {
  data p = synthetic(40, 1, 2);
  for (std::int64_t i = 20; i < 40; ++i) {  // every observation twice
    p.X[i] = p.X[i - 20];
    p.Y[i] = p.Y[i - 20];
  }
  const fit_result r = run(p, options({{"Verbose", off()}, {"Ridge", num(1e-16)},
                                       {"Fixed", option_value::strings({"Ridge"})},
                                       {"MaxIterations", num(3)}}));
  ASSERT_EQ(r.status, fit_status::done) << r.error.message;
  const krr::fit_message* w = warning(r, "startMoved");
  ASSERT_NE(w, nullptr);
  EXPECT_TRUE(contains(w->message, "K + Ridge*I is not positive definite in double precision at the start of stage (exact) (Ridge = 1e-16); Ridge raised to "));
  EXPECT_TRUE(contains(w->message, "condition number is at most 1e+08"));
  EXPECT_TRUE(contains(w->message, "Ridge is fixed"));
  EXPECT_GT(r.model.ridge, 1e-12);
  EXPECT_LT(r.model.ridge, 1e-4);
  // A RidgeBounds(2) below that ridge is taken, and the warning says so.
  const fit_result capped = run(p, options({{"Verbose", off()}, {"Ridge", num(1e-16)},
                                            {"Fixed", option_value::strings({"Ridge"})},
                                            {"MaxIterations", num(0)}, {"RidgeBounds", option_value::vector({1e-16, 1e-9})}}));
  ASSERT_EQ(capped.status, fit_status::done) << capped.error.message;
  ASSERT_NE(warning(capped, "startMoved"), nullptr);
  EXPECT_TRUE(contains(warning(capped, "startMoved")->message, "the upper end of RidgeBounds, where it factorises"));
  EXPECT_DOUBLE_EQ(capped.model.ridge, 1e-9);
  // Where even RidgeBounds(2) does not factorise: the error.
  const fit_result none = run(p, options({{"Verbose", off()}, {"Amplitude", num(1e4)}, {"Ridge", num(1e-16)},
                                          {"RidgeBounds", option_value::vector({1e-16, 1e-15})}}));
  EXPECT_EQ(none.status, fit_status::not_positive_definite);
  EXPECT_EQ(none.error.code, "notPositiveDefinite");
  EXPECT_EQ(none.error.message,
            "K + Ridge*I is not positive definite in double precision at the start of stage (exact), even with Ridge raised to 1e-15, the upper end of RidgeBounds: raise RidgeBounds(2), lower the Amplitude, or remove duplicated observations");
}

TEST(FitWarnings, AStartWhereKIsDiagonalMovesToTheDefaultLengthScales) {
  // At LengthScales 0.01 every off-diagonal kernel value underflows: no slope in the length
  // scales, and the search would end at its start. The free length scales move to their
  // default, so the fit is the default one, bit for bit.
  const data p = synthetic(120, 3, 11);
  const fit_result given = run(p, options({{"Verbose", off()}, {"LengthScales", num(0.01)}}));
  const fit_result plain = run(p, options({{"Verbose", off()}}));
  ASSERT_EQ(given.status, fit_status::done) << given.error.message;
  const krr::fit_message* w = warning(given, "startMoved");
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->message.rfind("K is numerically diagonal at the start of stage (exact): at the LengthScales given, "
                             "every pair of observations lies more than 8.57 length scales apart", 0), 0u)
      << w->message;
  EXPECT_EQ(given.model.alpha, plain.model.alpha);
  EXPECT_EQ(given.model.log_marginal_likelihood, plain.model.log_marginal_likelihood);
  EXPECT_EQ(warning(plain, "startMoved"), nullptr);
  // Length scales short but not that short (the closest pairs within reach): kept, no warning.
  const fit_result short_ones = run(p, options({{"Verbose", off()}, {"LengthScales", num(0.05)}, {"MaxIterations", num(0)}}));
  EXPECT_EQ(warning(short_ones, "startMoved"), nullptr);
  EXPECT_NEAR(short_ones.model.length_scales[0], 0.05, 1e-15);
  // Fixed length scales are the user's: kept diagonal, and the model predicts the mean.
  const fit_result fixed = run(p, options({{"Verbose", off()}, {"LengthScales", num(0.01)},
                                           {"Fixed", option_value::strings({"LengthScales"})}}));
  ASSERT_EQ(fixed.status, fit_status::done);
  EXPECT_EQ(warning(fixed, "startMoved"), nullptr);
  EXPECT_NEAR(fixed.model.length_scales[0], 0.01, 1e-15);
  // The subset's stage of a larger fit is checked on its rows, and named.
  const data q = synthetic(400, 2, 17);
  const fit_result subset = run(q, options({{"Verbose", off()}, {"Method", option_value::string("scalable")},
                                            {"SubsetSize", num(60)}, {"PolishLimit", num(1000)},
                                            {"LengthScales", num(1e-3)}, {"MaxIterations", num(0)}}));
  ASSERT_EQ(subset.status, fit_status::done);
  ASSERT_NE(warning(subset, "startMoved"), nullptr);
  EXPECT_TRUE(contains(warning(subset, "startMoved")->message, "at the start of stage (exact, 60 of 400):"));
  EXPECT_NEAR(subset.model.length_scales[0], std::sqrt(2.0) * subset.model.sigma[0], 1e-12);
}

TEST(FitWarnings, AParameterAtItsBoundIsNamed) {
  const data p = synthetic(60, 2, 4, 0.01);
  const fit_result r = run(p, options({{"Verbose", off()}, {"RidgeBounds", option_value::vector({0.5, 1})},
                                       {"MaxIterations", num(20)}}));
  ASSERT_EQ(r.status, fit_status::done);
  const krr::fit_message* w = warning(r, "atBound");
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->message, "ended at a bound, where the likelihood may still rise beyond it: Ridge at its lower bound 0.5: lower RidgeBounds(1)");
  // A free fit well inside its bounds warns of nothing.
  const fit_result inside = run(p, options({{"Verbose", off()}}));
  EXPECT_EQ(warning(inside, "atBound"), nullptr);
}

TEST(FitWarnings, AnExactStageStoppedByMaxIterationsIsNamed) {
  const data p = synthetic(120, 3, 11);
  const fit_result r = run(p, options({{"Verbose", off()}, {"MaxIterations", num(2)}}));
  ASSERT_EQ(r.status, fit_status::done) << r.error.message;
  const krr::fit_message* w = warning(r, "iterationLimit");
  ASSERT_NE(w, nullptr);
  const double left = r.model.history.back()[2];
  ASSERT_GT(left, 1e-5);
  char value[32];
  std::snprintf(value, sizeof value, "%.3g", left);
  EXPECT_EQ(w->message, "stopped at MaxIterations = 2 with the largest gradient component "
                        "(in the log hyperparameters) still above 1e-05, so the hyperparameters may be "
                        "short of the maximum: in stage (exact) it was " + std::string(value) +
                        "; raise MaxIterations");
  EXPECT_EQ(r.model.method, "exact, dense, n = 120; MaxIterations reached in stage (exact)");
  // Raised before the bounds warning, which stays the last.
  if (warning(r, "atBound")) {
    EXPECT_EQ(r.warnings.back().code, "atBound");
  }
  // No iterations asked: the start is the fit, nothing to warn of.
  const fit_result none = run(p, options({{"Verbose", off()}, {"MaxIterations", num(0)}}));
  ASSERT_EQ(none.status, fit_status::done);
  EXPECT_EQ(warning(none, "iterationLimit"), nullptr);
  EXPECT_EQ(none.model.method, "exact, dense, n = 120");
  // A stage that converges within the limit: none.
  const fit_result converged = run(p, options({{"Verbose", off()}}));
  EXPECT_EQ(warning(converged, "iterationLimit"), nullptr);
  // Every start of a search is a stage of its own; the subset's stage and the polish are
  // each named, and Method names both searches once.
  const data q = synthetic(400, 2, 17);
  const fit_result polished = run(q, options({{"Verbose", off()}, {"Method", option_value::string("scalable")},
                                              {"SubsetSize", num(60)}, {"PolishLimit", num(1000)},
                                              {"MaxIterations", num(1)}, {"Restarts", num(1)}}));
  ASSERT_EQ(polished.status, fit_status::done) << polished.error.message;
  const krr::fit_message* v = warning(polished, "iterationLimit");
  ASSERT_NE(v, nullptr);
  EXPECT_TRUE(contains(v->message, "stopped at MaxIterations = 1 with")) << v->message;
  EXPECT_TRUE(contains(v->message, "in stage (exact, 60 of 400), start 1 of 2 it was ")) << v->message;
  EXPECT_TRUE(contains(v->message, "in stage (exact, 60 of 400), start 2 of 2 it was ")) << v->message;
  EXPECT_TRUE(contains(v->message, "in stage (exact, all 400) it was ")) << v->message;
  EXPECT_EQ(polished.model.method, "exact on 60, then exact on all 400; MaxIterations reached in stage "
                                   "(exact, 60 of 400) and (exact, all 400)");
}

TEST(FitWarnings, ADenseFitBeyondTheMemoryIsRefusedFirst) {
  const data p = synthetic(1000, 2, 4);
  krr::fit_environment env = quiet();
  env.memory_bytes = 1e6;
  const fit_result r = run(p, options({{"Verbose", off()}}), env);
  EXPECT_EQ(r.status, fit_status::out_of_memory);
  EXPECT_TRUE(contains(r.error.message, "needs about 40000000 bytes")) << r.error.message;
}

// ---------------------------------------------------------------------------------------
// The scalable path on a few thousand rows with a small subset.

TEST(FitScalable, TheCheckNeverLowersTheObjectiveAndTheFinalSolveMeetsItsTolerance) {
  const data p = synthetic(2500, 2, 21, 0.1);
  auto opts = [&](double iterations) {
    return options({{"Verbose", off()}, {"Method", option_value::string("scalable")},
                    {"SubsetSize", num(150)}, {"PolishLimit", num(0)}, {"ScalableIterations", num(iterations)},
                    {"Probes", num(4)}, {"MaxIterations", num(30)}});
  };
  // Without iterations the stage keeps the subset's optimum: the check's start.
  const fit_result start = run(p, opts(0));
  ASSERT_EQ(start.status, fit_status::done) << start.error.message;
  EXPECT_TRUE(contains(start.model.method, "the stage did not move (objective exact)")) << start.model.method;
  const fit_result r = run(p, opts(3));
  ASSERT_EQ(r.status, fit_status::done) << r.error.message;
  const krr::fit_model& m = r.model;
  EXPECT_EQ(m.method.rfind("exact on 150, then estimated on all 2500, ", 0), 0u) << m.method;
  EXPECT_EQ(m.log_marginal_likelihood_error, 0.0);  // checked exactly on all n
  // On these data the stage rises above the subset's optimum, exactly on all rows, and its
  // end is kept: the reported objective is the exact one there.
  EXPECT_TRUE(contains(m.method, "the stage's end kept (objective exact)")) << m.method;
  EXPECT_GT(m.log_marginal_likelihood, start.model.log_marginal_likelihood);
  EXPECT_NE(m.amplitude, start.model.amplitude);
  // The final solve meets its tolerance on the system the model reports.
  double ymax = 0.0;
  for (double y : p.Y) ymax = std::max(ymax, std::fabs(y - m.y_mean[0]));
  EXPECT_LT(max_abs(residual(p, m)), 1e-8 * ymax * (1 + 1e-6));
  EXPECT_TRUE(std::isfinite(m.threads));
  EXPECT_TRUE(std::isfinite(m.final_passes[1]));
  // The history's scalable rows carry the slope-to-error ratio; the exact ones NaN.
  EXPECT_TRUE(std::isnan(m.history.front()[8]));
  EXPECT_FALSE(std::isnan(m.history.back()[8]));
}

// A Matern kernel through every stage of a large fit: the subset, the estimated stage and
// its check, the final solve, whose coefficients solve the system of the kernel the model
// reports.
TEST(FitScalable, AMaternKernelRunsThroughTheEstimatedStageAndTheFinalSolve) {
  const data p = synthetic(2500, 2, 22, 0.1);
  const fit_result r = run(p, options({{"Verbose", off()}, {"Method", option_value::string("scalable")},
                                       {"SubsetSize", num(150)}, {"PolishLimit", num(0)},
                                       {"ScalableIterations", num(3)}, {"Probes", num(4)},
                                       {"MaxIterations", num(30)}, {"Kernel", option_value::string("matern32")}}));
  ASSERT_EQ(r.status, fit_status::done) << r.error.message;
  const krr::fit_model& m = r.model;
  EXPECT_EQ(m.kernel, "matern32");
  EXPECT_EQ(m.method.rfind("exact on 150, then estimated on all 2500, ", 0), 0u) << m.method;
  EXPECT_EQ(m.log_marginal_likelihood_error, 0.0);
  double ymax = 0.0;
  for (double y : p.Y) ymax = std::max(ymax, std::fabs(y - m.y_mean[0]));
  EXPECT_LT(max_abs(residual(p, m)), 1e-8 * ymax * (1 + 1e-6));
  EXPECT_FALSE(std::isnan(m.history.back()[8]));
}

TEST(FitScalable, HeldOutAndPairedChecksReportTheirWay) {
  const data p = synthetic(1500, 2, 8, 0.1);
  auto base = [&](double exact_limit) {
    return options({{"Verbose", off()}, {"Method", option_value::string("scalable")}, {"SubsetSize", num(100)},
                    {"PolishLimit", num(0)}, {"ScalableIterations", num(2)}, {"Probes", num(4)},
                    {"ScalableSubsetSize", num(600)}, {"LogDetRank", num(100)},
                    {"ExactCheckLimit", num(exact_limit)}, {"MaxIterations", num(20)}});
  };
  // The verdict follows the check's own numbers: kept exactly where the end's objective is
  // at least the start's plus the margin (read from the progress line that reports them).
  auto verdict_follows_values = [&](const fit_option_set& o) {
    std::vector<std::string> lines;
    krr::fit_environment env = quiet();
    env.progress = [&](const std::string& line) { lines.push_back(line); };
    fit_option_set verbose = o;
    std::string message;
    krr::set_fit_option(verbose, "Verbose", option_value::flag(true), message);
    const fit_result r = run(p, verbose, env);
    int checks = 0;
    for (const std::string& line : lines) {
      double end = 0, begin = 0, margin = 0;
      const size_t at = line.find("objective at the stage's end ");
      if (at == std::string::npos) continue;
      ++checks;
      ASSERT_EQ(std::sscanf(line.c_str() + at, "objective at the stage's end %lf, at its start %lf", &end, &begin), 2);
      ASSERT_EQ(std::sscanf(line.c_str() + line.find("; margin ") + 9, "%lf", &margin), 1);
      // The line rounds to 6 digits: only a clear difference decides the test.
      if (std::fabs(end - begin - margin) > 1e-5 * std::fabs(begin)) {
        EXPECT_EQ(contains(line, "the stage's end kept"), end - begin >= margin) << line;
      }
    }
    EXPECT_EQ(r.status, fit_status::done);
    EXPECT_EQ(checks, 1);
  };
  verdict_follows_values(base(300));
  verdict_follows_values(base(0));
  const fit_result held = run(p, base(300));
  ASSERT_EQ(held.status, fit_status::done) << held.error.message;
  EXPECT_TRUE(contains(held.model.method, "estimated on 600 of 1500")) << held.model.method;
  if (!contains(held.model.method, "did not move")) {
    EXPECT_TRUE(contains(held.model.method, "exact on 300 observations held out from the stage's")) << held.model.method;
  }
  // FinalObjective 'auto' with K in memory: estimated on all n, with an error.
  EXPECT_TRUE(std::isfinite(held.model.log_marginal_likelihood));
  EXPECT_GT(held.model.log_marginal_likelihood_error, 0.0);
  // With K (18 MB) beyond 60% of the memory but within it, the caches leave the
  // rest to the machine by default, so K is not held and the estimate is not made; a
  // limit the user set may be filled.
  krr::fit_environment tight = quiet();
  tight.memory_bytes = 22e6;
  const fit_result shared = run(p, base(300), tight);
  ASSERT_EQ(shared.status, fit_status::done) << shared.error.message;
  EXPECT_TRUE(std::isnan(shared.model.log_marginal_likelihood));
  EXPECT_TRUE(contains(shared.model.method, "not estimated: K (0.018 GB) exceeds the solves' cache (0.0132 GB)"))
      << shared.model.method;
  tight.memory_limited = true;
  const fit_result limited = run(p, base(300), tight);
  ASSERT_EQ(limited.status, fit_status::done) << limited.error.message;
  EXPECT_TRUE(std::isfinite(limited.model.log_marginal_likelihood)) << limited.model.method;
  const fit_result paired = run(p, base(0));
  ASSERT_EQ(paired.status, fit_status::done) << paired.error.message;
  if (!contains(paired.model.method, "did not move")) {
    EXPECT_TRUE(contains(paired.model.method, "estimated with the same probes")) << paired.model.method;
  }
  EXPECT_TRUE(std::isfinite(paired.model.log_marginal_likelihood));
}

TEST(FitScalable, AFinalSolveAtItsRoundingFloorKeepsTheDefaultToleranceClearOfIt) {
  // A ridge far below the noise (held fixed): the residual the final solve can check stops
  // above 1e-8 of the largest target, within its rounding floor.
  const data p = synthetic(1000, 2, 1, 0.1);
  auto opts = [&](double tolerance) {
    std::vector<std::pair<std::string, option_value>> o = {
        {"Verbose", off()}, {"Method", option_value::string("scalable")}, {"SubsetSize", num(2)},
        {"PolishLimit", num(0)}, {"LengthScales", num(0.5)}, {"Amplitude", num(1)},
        {"Ridge", num(3e-7)}, {"Fixed", option_value::strings({"LengthScales", "Amplitude", "Ridge"})}};
    if (tolerance > 0) o.push_back({"Tolerance", num(tolerance)});
    return options(o);
  };
  // The default Tolerance gives way to the floor: no warning, and Method states the
  // checked residual, which the model's own system (in long double) exceeds by a tenth at most.
  const fit_result quiet_default = run(p, opts(0));
  ASSERT_EQ(quiet_default.status, fit_status::done) << quiet_default.error.message;
  double ymax = 0.0;
  for (double y : p.Y) ymax = std::max(ymax, std::fabs(y - quiet_default.model.y_mean[0]));
  EXPECT_EQ(warning(quiet_default, "notConverged"), nullptr);
  const std::string& method = quiet_default.model.method;
  const size_t at = method.find("; the final solve's residual at its rounding floor, ");
  ASSERT_NE(at, std::string::npos) << method;
  EXPECT_TRUE(contains(method, " relative, above the default Tolerance 1e-08")) << method;
  const double reported = std::atof(method.c_str() + at + 51);
  const double actual = max_abs(residual(p, quiet_default.model)) / ymax;
  EXPECT_TRUE(reported > 1e-8 && actual < 1.1 * reported) << reported << " " << actual;
  // The same Tolerance given is reported, with what to ask for; the same Alpha.
  const fit_result given = run(p, opts(1e-8));
  ASSERT_EQ(given.status, fit_status::done) << given.error.message;
  const krr::fit_message* w = warning(given, "notConverged");
  ASSERT_NE(w, nullptr);
  EXPECT_TRUE(contains(w->message, "the final solve's residual stopped at its rounding floor, ") &&
              contains(w->message, "above Tolerance = 1e-08; Alpha is the iterate reached: raise Tolerance"))
      << w->message;
  EXPECT_EQ(given.model.alpha, quiet_default.model.alpha);
  // and the Tolerance it names is met, without a note.
  const size_t to = w->message.find("(to ");
  ASSERT_NE(to, std::string::npos) << w->message;
  const fit_result asked = run(p, opts(std::atof(w->message.c_str() + to + 4)));
  ASSERT_EQ(asked.status, fit_status::done) << asked.error.message;
  EXPECT_EQ(warning(asked, "notConverged"), nullptr);
  EXPECT_FALSE(contains(asked.model.method, "rounding floor")) << asked.model.method;
}

// ---------------------------------------------------------------------------------------
// Determinism and interrupts.

void expect_same_model(const krr::fit_model& a, const krr::fit_model& b) {
  EXPECT_EQ(a.alpha, b.alpha);
  EXPECT_EQ(a.length_scales, b.length_scales);
  EXPECT_EQ(a.amplitude, b.amplitude);
  EXPECT_EQ(a.ridge, b.ridge);
  EXPECT_EQ(std::memcmp(&a.log_marginal_likelihood, &b.log_marginal_likelihood, sizeof(double)), 0);
  EXPECT_EQ(a.method, b.method);
  ASSERT_EQ(a.history.size(), b.history.size());
  for (size_t i = 0; i < a.history.size(); ++i)
    for (int col : {0, 1, 2, 4, 5, 8})  // not the seconds columns
      EXPECT_EQ(std::memcmp(&a.history[i][col], &b.history[i][col], sizeof(double)), 0) << i << " " << col;
}

TEST(FitDeterminism, TheSameModelBitForBitOnOneAndTwoThreads) {
  const data p = synthetic(700, 3, 31);
  const fit_option_set dense = options({{"Verbose", off()}, {"Restarts", num(1)}, {"MaxIterations", num(15)}});
  const fit_result a = run(p, dense, quiet(1)), b = run(p, dense, quiet(2));
  ASSERT_EQ(a.status, fit_status::done);
  ASSERT_EQ(b.status, fit_status::done);
  expect_same_model(a.model, b.model);
  // Enough rows (4096) that the solves' row loops take two threads.
  const data q = synthetic(4200, 2, 32, 0.1);
  const fit_option_set scalable =
      options({{"Verbose", off()}, {"Method", option_value::string("scalable")}, {"SubsetSize", num(100)},
               {"PolishLimit", num(0)}, {"ScalableIterations", num(2)}, {"Probes", num(4)},
               {"ExactCheckLimit", num(0)}, {"LogDetRank", num(50)}, {"MaxIterations", num(10)}});
  const fit_result c = run(q, scalable, quiet(1)), e = run(q, scalable, quiet(2));
  ASSERT_EQ(c.status, fit_status::done) << c.error.message;
  ASSERT_EQ(e.status, fit_status::done);
  expect_same_model(c.model, e.model);
  EXPECT_EQ(c.model.threads, 1);
  EXPECT_EQ(e.model.threads, 2);
}

struct countdown {
  int polls_left;
};
bool count_down(void* state) { return --static_cast<countdown*>(state)->polls_left < 0; }

TEST(FitInterrupt, AnInterruptStopsTheFitWithItsStatus) {
  const data p = synthetic(300, 2, 3);
  for (int polls : {0, 5, 200}) {
    countdown left{polls};
    krr::fit_environment env = quiet();
    env.interrupt_pending = &count_down;
    env.interrupt_state = &left;
    const fit_result r = run(p, options({{"Verbose", off()}}), env);
    EXPECT_EQ(r.status, fit_status::interrupted) << polls;
    EXPECT_EQ(r.error.code, "interrupted");
    EXPECT_TRUE(r.model.alpha.empty());
  }
  // In the scalable stage too.
  const data q = synthetic(2000, 2, 3, 0.1);
  countdown left{3000};
  krr::fit_environment env = quiet();
  env.interrupt_pending = &count_down;
  env.interrupt_state = &left;
  const fit_result r = run(q, options({{"Verbose", off()}, {"Method", option_value::string("scalable")},
                                       {"SubsetSize", num(50)}, {"PolishLimit", num(0)}, {"MaxIterations", num(5)}}),
                           env);
  EXPECT_EQ(r.status, fit_status::interrupted);
}

// ---------------------------------------------------------------------------------------
// Every solve's status is read: statuses injected through the environment's after_solve
// seam at the scalable stage's evaluations, its final estimates and its final solve. A pass
// limit is continued once with four times the passes; a point whose solves fail is
// rejected, with a warning that says how often and why; where the final estimate or solve
// fails, a warning, or an error where Alpha is not finite.

// 120 observations of three features, the third an offset noise feature; y from the first
// two (the data of the Octave learner's status tests, drawn here by the C++ generator).
data status_data() {
  std::mt19937_64 gen(2);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::normal_distribution<double> z(0.0, 1.0);
  const std::int64_t n = 120;
  data p{n, 3, 1, std::vector<double>(n * 3), std::vector<double>(n)};
  for (std::int64_t i = 0; i < n; ++i) {
    p.X[i] = u(gen);
    p.X[n + i] = 100 * u(gen);
    p.X[2 * n + i] = 1e4 + u(gen);
  }
  for (std::int64_t i = 0; i < n; ++i) {
    const double x2 = p.X[n + i] / 100;
    p.Y[i] = 5 + std::sin(6 * p.X[i]) + x2 * x2 + 0.05 * z(gen);
  }
  return p;
}

// The scalable stage checked by paired estimates (ExactCheckLimit 0), so that the check's
// solves are final estimates.
fit_option_set status_options(double scalable_iterations = 3) {
  return options({{"Verbose", off()}, {"Method", option_value::string("scalable")}, {"SubsetSize", num(40)},
                  {"PolishLimit", num(0)}, {"ScalableIterations", num(scalable_iterations)},
                  {"Probes", num(3)}, {"MaxIterations", num(4)}, {"ExactCheckLimit", num(0)}});
}

using krr::fit_solve_kind;
using krr::solve_status;

// Statuses to inject at given calls of each kind, and the log of every solve the seam saw.
struct injection {
  struct at {
    fit_solve_kind kind;
    int call;
    solve_status status;
  };
  std::vector<at> statuses;
  std::vector<krr::fit_solve_report> seen;  // as the solves ended, before any injection

  krr::fit_environment environment() {
    krr::fit_environment env = quiet();
    env.after_solve = [this](krr::fit_solve_report& solve) {
      seen.push_back(solve);
      for (const at& a : statuses)
        if (a.kind == solve.kind && a.call == solve.call) {
          solve.status = a.status;
          solve.overflow = a.status == solve_status::breakdown;
        }
    };
    return env;
  }
  std::vector<krr::fit_solve_report> of(fit_solve_kind kind) const {
    std::vector<krr::fit_solve_report> r;
    for (const auto& s : seen)
      if (s.kind == kind) r.push_back(s);
    return r;
  }
};

fit_result run_injected(injection& inj, const fit_option_set& set = status_options()) {
  inj.seen.clear();
  return run(status_data(), set, inj.environment());
}

// Warnings other than atBound and iterationLimit (which these small fits of few iterations
// may raise, and the Octave tests turn off), as "code: message" lines.
std::string other_warnings(const fit_result& r) {
  std::string s;
  for (const auto& w : r.warnings)
    if (w.code != "atBound" && w.code != "iterationLimit") s += w.code + ": " + w.message + "\n";
  return s;
}

bool all_finite(const std::vector<double>& v) {
  return std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); });
}

TEST(FitStatuses, TheScalableStageRejectsFailedPointsAndRetriesAPassLimitOnce) {
  // Nothing injected: no warning, and the seam changes nothing (the model of a fit
  // without it, bit for bit).
  injection clean;
  const fit_result a = run_injected(clean);
  ASSERT_EQ(a.status, fit_status::done) << a.error.message;
  EXPECT_EQ(other_warnings(a), "");
  const fit_result unseen = run(status_data(), status_options());
  ASSERT_EQ(unseen.status, fit_status::done);
  expect_same_model(a.model, unseen.model);
  const auto evaluations = clean.of(fit_solve_kind::stage_evaluation);
  ASSERT_GE(evaluations.size(), 2u);
  EXPECT_FALSE(clean.of(fit_solve_kind::final_estimate).empty());
  ASSERT_EQ(clean.of(fit_solve_kind::final_solve).size(), 1u);
  for (const auto& s : clean.seen) EXPECT_EQ(s.status, solve_status::converged);

  // An overflow at the first trial point: rejected (no retry), the stage goes on, and the
  // warning counts it among the evaluations.
  injection overflow{{{fit_solve_kind::stage_evaluation, 2, solve_status::breakdown}}};
  const fit_result b = run_injected(overflow);
  ASSERT_EQ(b.status, fit_status::done) << b.error.message;
  const krr::fit_message* w = warning(b, "notConverged");
  ASSERT_NE(w, nullptr) << other_warnings(b);
  const auto tried = overflow.of(fit_solve_kind::stage_evaluation);
  for (const auto& s : tried) EXPECT_EQ(s.max_passes, tried[0].max_passes);  // none retried
  EXPECT_EQ(w->message,
            "the scalable stage's solves failed at 1 of its " + std::to_string(tried.size()) +
                " evaluations (overflow: 1); those points were rejected, and the stage kept the "
                "last point whose solves converged");
  EXPECT_TRUE(all_finite(b.model.alpha));
  EXPECT_TRUE(std::isfinite(b.model.log_marginal_likelihood));

  // The pass limit at the start: continued once with four times the passes, then accepted
  // without a warning.
  injection limit{{{fit_solve_kind::stage_evaluation, 1, solve_status::not_converged}}};
  const fit_result c = run_injected(limit);
  ASSERT_EQ(c.status, fit_status::done) << c.error.message;
  EXPECT_EQ(other_warnings(c), "");
  const auto continued = limit.of(fit_solve_kind::stage_evaluation);
  ASSERT_GE(continued.size(), 3u);
  EXPECT_EQ(continued[1].max_passes, 4 * continued[0].max_passes);
  EXPECT_EQ(continued[2].max_passes, continued[0].max_passes);  // the next point: not raised

  // The solves fail at the start (K + Ridge*I zero, not retried): the stage keeps the
  // subset's optimum, which a stage of no iterations also ends at.
  injection zero{{{fit_solve_kind::stage_evaluation, 1, solve_status::singular}}};
  const fit_result e = run_injected(zero);
  ASSERT_EQ(e.status, fit_status::done) << e.error.message;
  ASSERT_NE(warning(e, "notConverged"), nullptr) << other_warnings(e);
  EXPECT_TRUE(contains(warning(e, "notConverged")->message, "failed at 1 of its 1 evaluations (K + Ridge*I zero: 1)"))
      << warning(e, "notConverged")->message;
  EXPECT_TRUE(contains(e.model.method, "not started (its solves failed at the subset's optimum)")) << e.model.method;
  EXPECT_TRUE(all_finite(e.model.alpha));
  const fit_result still = run(status_data(), status_options(0));
  ASSERT_EQ(still.status, fit_status::done);
  EXPECT_EQ(e.model.length_scales, still.model.length_scales);
  EXPECT_EQ(e.model.ridge, still.model.ridge);
}

TEST(FitStatuses, TheFinalEstimateAndSolveWarnOrFailAfterTheirRetry) {
  injection clean;
  ASSERT_EQ(run_injected(clean).status, fit_status::done);
  const int estimates = static_cast<int>(clean.of(fit_solve_kind::final_estimate).size());
  ASSERT_GE(estimates, 1);

  // The last final estimate below its rounding floor: not retried, a warning.
  injection floor{{{fit_solve_kind::final_estimate, estimates, solve_status::tolerance_unreachable}}};
  const fit_result a = run_injected(floor);
  ASSERT_EQ(a.status, fit_status::done) << a.error.message;
  EXPECT_EQ(static_cast<int>(floor.of(fit_solve_kind::final_estimate).size()), estimates);
  ASSERT_NE(warning(a, "notConverged"), nullptr) << other_warnings(a);
  EXPECT_TRUE(contains(warning(a, "notConverged")->message,
                       "the solves of the final estimate ended with tolerance below the rounding floor; "
                       "LogMarginalLikelihood ("))
      << warning(a, "notConverged")->message;

  // A final estimate at its pass limit once: continued with four times the passes, and
  // then no warning.
  injection estimate_limit{{{fit_solve_kind::final_estimate, 1, solve_status::not_converged}}};
  const fit_result b = run_injected(estimate_limit);
  ASSERT_EQ(b.status, fit_status::done) << b.error.message;
  EXPECT_EQ(other_warnings(b), "");
  const auto estimated = estimate_limit.of(fit_solve_kind::final_estimate);
  ASSERT_EQ(static_cast<int>(estimated.size()), estimates + 1);
  EXPECT_EQ(estimated[1].max_passes, 4 * estimated[0].max_passes);

  // The final solve at its pass limit twice: retried with four times the passes, then a
  // warning; Alpha the iterate reached.
  injection limit{{{fit_solve_kind::final_solve, 1, solve_status::not_converged},
                   {fit_solve_kind::final_solve, 2, solve_status::not_converged}}};
  const fit_result c = run_injected(limit);
  ASSERT_EQ(c.status, fit_status::done) << c.error.message;
  const auto solves = limit.of(fit_solve_kind::final_solve);
  ASSERT_EQ(solves.size(), 2u);
  EXPECT_EQ(solves[1].max_passes, 4 * solves[0].max_passes);
  ASSERT_NE(warning(c, "notConverged"), nullptr) << other_warnings(c);
  EXPECT_EQ(warning(c, "notConverged")->message,
            "the final solve ended before its tolerance (pass limit reached); Alpha is the iterate reached");
  EXPECT_TRUE(all_finite(c.model.alpha));

  // An overflow once: retried from zero (not from the NaN it left), and converged.
  injection once{{{fit_solve_kind::final_solve, 1, solve_status::breakdown}}};
  const fit_result d = run_injected(once);
  ASSERT_EQ(d.status, fit_status::done) << d.error.message;
  EXPECT_EQ(other_warnings(d), "");
  EXPECT_EQ(once.of(fit_solve_kind::final_solve).size(), 2u);
  EXPECT_TRUE(all_finite(d.model.alpha));

  // An overflow twice: no finite Alpha, the notConverged error.
  injection twice{{{fit_solve_kind::final_solve, 1, solve_status::breakdown},
                   {fit_solve_kind::final_solve, 2, solve_status::breakdown}}};
  const fit_result e = run_injected(twice);
  EXPECT_EQ(e.status, fit_status::not_converged);
  EXPECT_EQ(e.error.code, "notConverged");
  EXPECT_EQ(e.error.message,
            "the final solve failed (overflow), so no finite Alpha exists at the hyperparameters "
            "found: raise RidgeBounds(1)");
  EXPECT_TRUE(e.model.alpha.empty());
}

}  // namespace
