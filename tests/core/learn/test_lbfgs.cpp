// The bounded L-BFGS maximiser (core/learn/lbfgs.h): the behaviours the Octave optimiser's
// tests pinned, box-constrained problems of known maximum, agreement with the runs and
// progress text of the Octave optimiser it replaced, determinism and interruption.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "core/learn/lbfgs.h"

namespace {

const double NaN = std::numeric_limits<double>::quiet_NaN();
const double INF = std::numeric_limits<double>::infinity();
using v = std::vector<double>;

struct run {
  krr::lbfgs_result r;
  std::vector<krr::lbfgs_row> h;
};

run maximise(const krr::lbfgs_objective& fun, v x0, v lo, v hi, const krr::lbfgs_options& o,
             const krr::lbfgs_hooks& hooks = {}, std::vector<krr::lbfgs_row> earlier = {}) {
  run out{{}, earlier};
  out.r = krr::maximise_lbfgs(fun, x0.data(), lo.data(), hi.data(), static_cast<int>(x0.size()),
                              o, hooks, out.h);
  return out;
}

// krrfit_test.m's settings for these cases.
krr::lbfgs_options test_options(bool slopes, bool errors = false) {
  krr::lbfgs_options o;
  o.max_iterations = 20;
  o.memory = 5;
  o.gradient_tolerance = 1e-8;
  o.value_tolerance = 0;
  o.max_step = 2;
  o.slopes = slopes;
  o.errors = errors;
  return o;
}

// -((1 - x)^2 + 100 (y - x^2)^2), the value NaN where `slopes` (not computed).
krr::lbfgs_objective rosenbrock(bool slopes, v* points = nullptr) {
  return [=](const double* x, double* g, double*) {
    if (points) points->insert(points->end(), x, x + 2);
    const double a = 1 - x[0], b = x[1] - x[0] * x[0];
    g[0] = 2 * a + 400 * x[0] * b;
    g[1] = -200 * b;
    return slopes ? NaN : -(a * a + 100 * b * b);
  };
}

TEST(LbfgsUsability, NotFiniteGradientsStopShortAndUnusableStartsAndArgumentsAreErrors) {
  for (bool slopes : {false, true}) {
    // -(x - 1)^2, whose slope is infinite beyond 0.5, short of the maximum at 1.
    auto wall = [&](const double* x, double* g, double*) {
      g[0] = x[0] <= 0.5 ? -2 * (x[0] - 1) : INF;
      return slopes ? NaN : -(x[0] - 1) * (x[0] - 1);
    };
    const run a = maximise(wall, {0}, {-5}, {5}, test_options(slopes));
    EXPECT_TRUE(a.r.x[0] <= 0.5 && a.r.x[0] > 0.4) << slopes;  // climbed to the wall
    EXPECT_TRUE(std::isfinite(a.r.gradient[0]) && (slopes || std::isfinite(a.r.f)));
  }
  auto constant = [](double value, double slope) {
    return [=](const double*, double* g, double*) { g[0] = slope; return value; };
  };
  // NaN slope (either search), -Inf or NaN value (value search): an error after one call.
  for (auto c : {std::make_pair(constant(NaN, NaN), true), std::make_pair(constant(-INF, 0), false),
                 std::make_pair(constant(NaN, 1), false)}) {
    const run r = maximise(c.first, {0}, {-5}, {5}, test_options(c.second));
    EXPECT_EQ(r.r.status, krr::lbfgs_status::not_finite_start);
    EXPECT_TRUE(r.r.evaluations == 1 && r.h.empty());
  }
  krr::lbfgs_options o = test_options(false);
  o.max_step = 0;
  EXPECT_NE(krr::check_lbfgs_options(o).find("max_step"), std::string::npos);
  o = test_options(false);
  o.gradient_tolerance = NaN;
  const run bad = maximise(constant(0, 0), {0}, {-5}, {5}, o);
  EXPECT_EQ(bad.r.status, krr::lbfgs_status::invalid_arguments);
  EXPECT_TRUE(bad.r.message.find("gradient_tolerance") != std::string::npos &&
              bad.r.evaluations == 0);
  const run crossed = maximise(constant(0, 0), {0, 0}, {-5, 1}, {5, 0}, test_options(false));
  EXPECT_NE(crossed.r.message.find("bound 2"), std::string::npos);
}

TEST(LbfgsErrors, SettlesExactlyOnceEverySlopeIsWithinTwiceItsErrorAndNotWithout) {
  // -(x - 1)^4 / 4, whose slope (1 - x)^3 is 8 at the start, with error 0.05.
  auto quartic = [](const double* x, double* g, double* e) {
    g[0] = std::pow(1 - x[0], 3);
    if (e) e[0] = 0.05;
    return NaN;
  };
  const run with = maximise(quartic, {-1}, {-5}, {5}, test_options(true, true));
  EXPECT_TRUE(with.r.settled && with.r.status == krr::lbfgs_status::within_errors);
  EXPECT_LE(std::pow(std::fabs(1 - with.r.x[0]), 3), 0.1);
  EXPECT_LE(with.h.back()[8], 2);
  for (size_t i = 0; i + 1 < with.h.size(); ++i) EXPECT_GT(with.h[i][8], 2) << i;
  const run without = maximise(quartic, {-1}, {-5}, {5}, test_options(true));
  EXPECT_FALSE(without.r.settled);
  EXPECT_LT(std::fabs(1 - without.r.x[0]), std::fabs(1 - with.r.x[0]));
  EXPECT_GT(without.h.size(), with.h.size());
  for (const auto& row : without.h) EXPECT_TRUE(std::isnan(row[8]));
}

TEST(LbfgsErrors, NoiseMovesNothingAndSlopesAtABoundAreNotCounted) {
  // The second slope is all noise at its error: only the first coordinate moves.
  auto noisy = [](const double* x, double* g, double* e) {
    g[0] = 2 * (1 - x[0]);
    g[1] = 2 * (1 - x[1]);
    e[0] = 0.01;
    e[1] = 100;
    return NaN;
  };
  const run a = maximise(noisy, {-1, -1}, {-5, -5}, {5, 5}, test_options(true, true));
  EXPECT_TRUE(a.r.settled && std::fabs(a.r.x[0] - 1) <= 0.02 && a.r.x[1] == -1.0);
  // Constant slopes r and 100, errors 1, the second pushing out at its bound: r = 2.5 climbs
  // to the bound, r = 1.9 (within twice its error) moves nothing.
  for (double r : {2.5, 1.9}) {
    auto fun = [r](const double*, double* g, double* e) {
      g[0] = r;
      g[1] = 100;
      e[0] = e[1] = 1;
      return NaN;
    };
    const run b = maximise(fun, {0, 5}, {-5, -5}, {5, 5}, test_options(true, true));
    EXPECT_TRUE(b.h[0][8] == r && b.r.settled && b.r.x[1] == 5.0);
    EXPECT_EQ(b.r.x[0], r > 2 ? 5.0 : 0.0) << r;
  }
}

TEST(LbfgsLineSearch, ValueSearchOnlyRisesAndSlopeSearchFallsBackToTheLeastPositiveSlope) {
  // f = x - x^2 from 0: the first trial, x = 1, only equals the start's value: halved.
  krr::lbfgs_options o = test_options(false);
  auto parabola = [](const double* x, double* g, double*) {
    g[0] = 1 - 2 * x[0];
    return x[0] - x[0] * x[0];
  };
  const run p = maximise(parabola, {0}, {-5}, {5}, o);
  for (size_t i = 1; i < p.h.size(); ++i) EXPECT_GT(p.h[i][1], p.h[i - 1][1]) << i;
  EXPECT_NEAR(p.r.x[0], 0.5, 1e-9);
  // A slope that says up where every value is lower: value_backtracks halvings, no move.
  auto liar = [](const double* x, double* g, double*) {
    g[0] = 1;
    return -x[0] * x[0];
  };
  o.value_backtracks = 5;
  const run l = maximise(liar, {0}, {-5}, {5}, o);
  EXPECT_TRUE(l.r.status == krr::lbfgs_status::no_move && l.r.evaluations == 6 && l.r.x[0] == 0);
  // Slope +1 below 0.6 and -1 above: no trial meets |slope| <= 0.9; the trials go 1, 0.5,
  // 0.75, 0.625, 0.5625, 0.59375, and the first of least nonnegative slope, 0.5, is taken.
  auto cliff = [](const double* x, double* g, double*) {
    g[0] = x[0] < 0.6 ? 1 : -1;
    return NaN;
  };
  o = test_options(true);
  o.max_iterations = 1;
  const run s = maximise(cliff, {0}, {-5}, {5}, o);
  EXPECT_TRUE(s.r.evaluations == 7 && s.r.x[0] == 0.5) << s.r.x[0];
}

TEST(LbfgsLineSearch, NoTrialWhoseRiseIsWithinTheValuesRoundingError) {
  // -(x - 1)^2 rounded to multiples of h, its slope off by up to 1e-4 (as a computed
  // gradient may be): flat to rounding about its maximum, where the slope still says up.
  const double h = 1e-9;
  auto flat = [h](const double* x, double* g, double*) {
    g[0] = -2 * (x[0] - 1) + 1e-4 * std::sin(1e7 * x[0]);
    return h * std::round(-(x[0] - 1) * (x[0] - 1) / h);
  };
  krr::lbfgs_options o = test_options(false);
  o.max_iterations = 100;
  std::vector<std::string> lines;
  krr::lbfgs_hooks hooks;
  hooks.value_error = [h] { return h; };
  hooks.progress = [&](const krr::lbfgs_row&, const std::string& line) { lines.push_back(line); };
  const run with = maximise(flat, {-1}, {-5}, {5}, o, hooks);
  const run without = maximise(flat, {-1}, {-5}, {5}, o);
  // Without the error, the last search halves value_backtracks times and moves nothing.
  ASSERT_EQ(without.r.status, krr::lbfgs_status::no_move);
  // With it, the run ends where a step could no longer rise by 2 h, spending far fewer
  // evaluations, at a value no lower than the other's by more than the values' error.
  ASSERT_EQ(with.r.status, krr::lbfgs_status::no_rise);
  EXPECT_LE(with.r.evaluations + 20, without.r.evaluations);
  EXPECT_GE(with.r.f, without.r.f - 2 * h);
  EXPECT_EQ(with.h.back()[1], with.h[with.h.size() - 2][1]);  // the last row: no move
  EXPECT_NE(lines.back().find("; stopped: no step can raise the objective beyond its rounding error 1e-09"),
            std::string::npos) << lines.back();
  // An error of 0 (exact values) leaves the search as it was, evaluation for evaluation.
  hooks.value_error = [] { return 0.0; };
  const run exact = maximise(flat, {-1}, {-5}, {5}, o, hooks);
  EXPECT_TRUE(exact.r.evaluations == without.r.evaluations && exact.r.x == without.r.x);
}

TEST(LbfgsBox, CoupledQuadraticAndRosenbrockReachTheirMaximaOnABoundAndInside) {
  // f = -(x - t)' A (x - t) on [-1, 1]^3 with t_1 = 2 outside: x_1 = 1, and the others solve
  // A_ff (x_f - t_f) = -A_f1 (1 - t_1).
  static const double A[3][3] = {{4, 1, 0.5}, {1, 3, 0.4}, {0.5, 0.4, 2}}, t[3] = {2, -1, 0.5};
  auto quadratic = [](bool slopes) {
    return [slopes](const double* x, double* g, double*) {
      double f = 0;
      for (int i = 0; i < 3; ++i) {
        double r = 0;
        for (int j = 0; j < 3; ++j) r += A[i][j] * (x[j] - t[j]);
        g[i] = -2 * r;
        f -= (x[i] - t[i]) * r;
      }
      return slopes ? NaN : f;
    };
  };
  const double b1 = A[1][0] * (t[0] - 1), b2 = A[2][0] * (t[0] - 1);
  const double det = A[1][1] * A[2][2] - A[1][2] * A[2][1];
  const double want[3] = {1, t[1] + (A[2][2] * b1 - A[1][2] * b2) / det,
                          t[2] + (A[1][1] * b2 - A[2][1] * b1) / det};
  double g[3];
  quadratic(false)(want, g, nullptr);
  ASSERT_GT(g[0], 1.0);  // the bound holds x_1 back
  // Rosenbrock on y <= 0.5: y = 0.5 and x the root of 2 (1 - x) + 400 x (0.5 - x^2).
  double xb = 0.7;
  for (int k = 0; k < 50; ++k)
    xb -= (2 * (1 - xb) + 400 * xb * (0.5 - xb * xb)) / (198 - 1200 * xb * xb);
  for (bool slopes : {false, true}) {
    krr::lbfgs_options o = test_options(slopes);
    o.max_iterations = 200;
    const run q = maximise(quadratic(slopes), {0, 0, 0}, {-1, -1, -1}, {1, 1, 1}, o);
    EXPECT_EQ(q.r.status, krr::lbfgs_status::gradient_small) << slopes;
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(q.r.x[i], want[i], 1e-8) << slopes << i;
    o.max_step = 0.5;
    const run inside = maximise(rosenbrock(slopes), {-1.2, 1}, {-2, -2}, {2, 2}, o);
    EXPECT_TRUE(std::fabs(inside.r.x[0] - 1) < 1e-6 && std::fabs(inside.r.x[1] - 1) < 1e-6);
    const run bound = maximise(rosenbrock(slopes), {-1.2, 0.4}, {-2, -2}, {2, 0.5}, o);
    EXPECT_TRUE(std::fabs(bound.r.x[0] - xb) < 1e-6 && bound.r.x[1] == 0.5) << slopes;
    // No coordinate moves more than max_step in an iteration (iterate k: the run stopped
    // after k iterations, the runs being deterministic).
    v before = {-1.2, 0.4};
    for (int k = 1; k <= bound.r.iterations; ++k) {
      o.max_iterations = k;
      const v x = maximise(rosenbrock(slopes), {-1.2, 0.4}, {-2, -2}, {2, 0.5}, o).r.x;
      EXPECT_TRUE(std::fabs(x[0] - before[0]) <= 0.5 && std::fabs(x[1] - before[1]) <= 0.5);
      before = x;
    }
  }
}

TEST(LbfgsMatchesOctave, SameEvaluationsIteratesAndProgressTextAsKrrLbfgsM) {
  // Numbers and lines from running the Octave optimiser it replaced (krr_lbfgs.m) on the same problems
  // and settings. Octave's dot products are BLAS's, so the bits may differ slightly.
  krr::lbfgs_options o = test_options(false);
  o.max_iterations = 200;
  o.gradient_tolerance = 1e-9;
  o.max_step = 0.5;
  const run value = maximise(rosenbrock(false), {-1.2, 0.4}, {-2, -1}, {2, 0.5}, o);
  EXPECT_TRUE(value.r.evaluations == 46 && value.h.size() == 28u);
  EXPECT_NEAR(value.h[9][1], -1.202150127812091, 1e-12);
  EXPECT_NEAR(value.r.x[0], 0.70855950376139054, 1e-12);
  o.slopes = true;
  const run slope = maximise(rosenbrock(true), {-1.2, 1}, {-2, -1}, {2, 2}, o);
  EXPECT_TRUE(slope.r.evaluations == 56 && slope.h.size() == 42u);
  EXPECT_NEAR(slope.r.x[1], 0.99999999999840461, 1e-12);
  o.memory = 4;
  o.max_iterations = 60;
  o.errors = true;
  auto noisy = [](const double* x, double* g, double* e) {
    const double f = rosenbrock(false)(x, g, nullptr);
    e[0] = 0.01 * std::fabs(g[0]) + 0.002;
    e[1] = 0.01 * std::fabs(g[1]) + 0.05;
    return f;
  };
  const run errors = maximise(noisy, {-1.2, 1}, {-2, -1}, {2, 2}, o);
  EXPECT_TRUE(errors.r.evaluations == 58 && errors.h.size() == 36u && errors.r.settled);
  EXPECT_NEAR(errors.r.x[0], 0.97130836506024043, 1e-9);
  // The progress line: a row after another of this run; NaN, Inf and a %d of a fraction
  // as Octave's printf writes them.
  const krr::lbfgs_row first = {3, -24.2, 216, 0, 1, 2.8, NaN, 0.125, 99.9};
  const krr::lbfgs_row second = {4, -7.78069, 71.9, 0, 3, 7.8, NaN, 0.375, 99.7};
  EXPECT_EQ(krr::lbfgs_progress_line("krrfit (check)", second, &first),
            "krrfit (check): iteration   4  objective       -7.78069  |gradient|       71.9       "
            "0.0 s  (2 evaluations, 2.5 passes over K each, kernel columns NaN s of 0.2 s); "
            "largest slope 99.7 times its error");
  const krr::lbfgs_row odd = {1234, -INF, INF, 12345.678, 2.5, 7, NaN, 1e-3, INF};
  EXPECT_EQ(krr::lbfgs_progress_line("x", odd, nullptr),
            "x: iteration 1234  objective           -Inf  |gradient|        Inf   12345.7 s  (2.5 "
            "evaluations, 2.8 passes over K each, kernel columns NaN s of 0.0 s); largest slope "
            "Inf times its error");
  const krr::lbfgs_row plain = {7, NaN, 1.5e-300, 0.04, NaN, NaN, NaN, NaN, NaN};
  EXPECT_EQ(krr::lbfgs_progress_line("y", plain, nullptr),
            "y: iteration   7  objective            NaN  |gradient|   1.5e-300       0.0 s");
}

TEST(LbfgsRun, DeterministicWithTheClockInTheSecondsColumnAloneAndSettlingOnTheValue) {
  krr::lbfgs_options o = test_options(false);
  o.max_iterations = 200;
  o.value_tolerance = 1e-7;
  std::vector<krr::lbfgs_row> earlier(2);
  for (auto& row : earlier) row.fill(5.0);
  double tick = 0;
  v pa, pb;
  std::vector<std::string> lines;
  krr::lbfgs_hooks ha, hb;
  ha.seconds = [&] { return tick += 0.5; };
  hb.seconds = [] { return 1e9; };
  hb.progress = [&](const krr::lbfgs_row&, const std::string& line) { lines.push_back(line); };
  hb.profile = [&] { return std::array<double, 4>{double(pb.size() / 2), 0, 0, 0}; };
  const run a = maximise(rosenbrock(false, &pa), {-1.2, 1}, {-2, -2}, {2, 2}, o, ha, earlier);
  const run b = maximise(rosenbrock(false, &pb), {-1.2, 1}, {-2, -2}, {2, 2}, o, hb, earlier);
  EXPECT_TRUE(pa == pb && a.r.x == b.r.x);  // every evaluated point, bit for bit
  ASSERT_TRUE(a.h.size() == b.h.size() && lines.size() + 2 == b.h.size());
  // This run's first line counts from 0, not from the earlier rows' totals.
  EXPECT_NE(lines[0].find("(1 evaluations"), std::string::npos) << lines[0];
  for (size_t i = 2; i < a.h.size(); ++i) {
    EXPECT_EQ(a.h[i][0], static_cast<double>(i));  // row numbers go on from the earlier rows
    EXPECT_TRUE(a.h[i][1] == b.h[i][1] && a.h[i][2] == b.h[i][2] && a.h[i][3] == 0.5 * (i - 1));
  }
  // Three iterations rose less than the tolerance, and the three before did not.
  ASSERT_EQ(a.r.status, krr::lbfgs_status::value_settled);
  const size_t m = a.h.size() - 1;
  EXPECT_LE(a.h[m][1] - a.h[m - 3][1], 1e-7 * (1 + std::fabs(a.h[m - 3][1])));
  EXPECT_GT(a.h[m - 1][1] - a.h[m - 4][1], 1e-7 * (1 + std::fabs(a.h[m - 4][1])));
}

TEST(LbfgsRun, AnInterruptStopsBeforeTheNextEvaluationAtTheLastAcceptedPoint) {
  struct poll {
    int left;
    static bool pending(void* s) { return --static_cast<poll*>(s)->left < 0; }
  } state{9};
  krr::lbfgs_hooks hooks;
  hooks.interrupt_pending = &poll::pending;
  hooks.interrupt_state = &state;
  krr::lbfgs_options o = test_options(false);
  const run cut = maximise(rosenbrock(false), {-1.2, 1}, {-2, -2}, {2, 2}, o, hooks);
  EXPECT_TRUE(cut.r.status == krr::lbfgs_status::interrupted && cut.r.evaluations == 9);
  ASSERT_GT(cut.r.iterations, 0);
  o.max_iterations = cut.r.iterations;
  const run upto = maximise(rosenbrock(false), {-1.2, 1}, {-2, -2}, {2, 2}, o);
  EXPECT_TRUE(cut.r.x == upto.r.x && cut.r.f == upto.r.f && cut.h.size() == upto.h.size());
}

}  // namespace
