// The marginal-likelihood estimate against dense brute force: the gradient's formula
// written out, the log determinant by Cholesky; for the Matern kernels the gradient's
// formula with their textbook derivatives, duplicated samples included.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/learn/marginal_likelihood.h"
#include "tests/core/support/operator_fixture.h"
#include "tests/core/support/reference_solver.h"

namespace {

using testing_support::operator_fixture;
using testing_support::problem_data;
using testing_support::random_problem;
using testing_support::right_sides;

// log det of a symmetric positive definite row-major matrix by Cholesky.
double dense_log_det(std::vector<double> A, int n) {
  double s = 0.0;
  for (int j = 0; j < n; ++j) {
    for (int k = 0; k < j; ++k) A[j * n + j] -= A[j * n + k] * A[j * n + k];
    const double pivot = std::sqrt(A[j * n + j]);
    s += 2.0 * std::log(pivot);
    for (int i = j + 1; i < n; ++i) {
      for (int k = 0; k < j; ++k) A[i * n + j] -= A[i * n + k] * A[j * n + k];
      A[i * n + j] /= pivot;
    }
  }
  return s;
}

TEST(MarginalLikelihood, GradientIsTheProbeFormulaAndTheLogDetIsWithinItsStatedError) {
  const int n = 120, d = 3, c = 2, probes = 6;
  const problem_data p = random_problem(n, d, 21);
  const double ridge = 0.1;
  const auto Y = right_sides(p, c);
  operator_fixture fx(p, ridge, 16, 8.0 * n * n, 2);
  krr::lml_settings s;
  s.probes = probes;
  s.seed = 3;
  s.relative_tol = 1e-11;
  s.lanczos.steps = n;
  s.lanczos.tolerance = 1e-12;
  s.probe_traces = true;
  std::vector<double> V(static_cast<size_t>(n) * (c + probes), 0.0);
  const krr::lml_estimate e = krr::estimate_marginal_likelihood(fx.A, Y.data(), c, s, V.data());
  ASSERT_EQ(e.solve.status, krr::solve_status::converged);

  // Dense: alpha and U = A^-1 Z, then for each hyperparameter
  // 1/2 sum_q alpha_q' dA alpha_q - (c / 2p) sum_s u_s' dA z_s, with dA/dlog w_l = -w_l (x_il -
  // x_jl)^2 K_ij, dA/dlog amplitude = K, dA/dlog ridge = ridge I.
  const auto A = reference::dense_system(p.X, p.w, ridge, n, d);
  const auto Z = krr::rademacher_probes(n, probes, s.seed);
  std::vector<std::vector<double>> sol, left, right;
  double data_fit = 0.0;
  for (int q = 0; q < c; ++q) {
    std::vector<double> y(Y.begin() + q * n, Y.begin() + (q + 1) * n);
    sol.push_back(reference::dense_solve(A, y, n));
    for (int r = 0; r < n; ++r) data_fit += y[r] * sol.back()[r];
    left.push_back(sol.back());
    right.push_back(sol.back());
  }
  for (int t = 0; t < probes; ++t) {
    std::vector<double> z(Z.begin() + t * n, Z.begin() + (t + 1) * n);
    left.push_back(reference::dense_solve(A, z, n));
    right.push_back(z);
  }
  // Each probe's own trace terms, (c / 2) u_s' dA z_s, the same sums with the probe alone.
  std::vector<double> expected(d + 2, 0.0), traces((d + 2) * probes, 0.0);
  for (size_t v = 0; v < left.size(); ++v) {
    const bool probe = v >= static_cast<size_t>(c);
    const double scale = probe ? -0.5 * c / probes : 0.5;
    double* own = probe ? &traces[(v - c) * (d + 2)] : nullptr;
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) {
        const double K = A[i * n + j] - (i == j ? ridge : 0.0);
        const double lr = left[v][i] * right[v][j] * scale;
        const double half = 0.5 * c * left[v][i] * right[v][j];
        for (int l = 0; l < d; ++l) {
          const double diff = p.X[i * d + l] - p.X[j * d + l];
          expected[l] -= lr * p.w[l] * diff * diff * K;
          if (probe) own[l] -= half * p.w[l] * diff * diff * K;
        }
        expected[d] += lr * K;
        if (probe) own[d] += half * K;
        if (i == j) expected[d + 1] += lr * ridge;
        if (probe && i == j) own[d + 1] += half * ridge;
      }
  }
  for (int i = 0; i < d + 2; ++i) {
    EXPECT_NEAR(e.gradient[i], expected[i], 1e-7 * (1.0 + std::fabs(expected[i]))) << "entry " << i;
  }
  ASSERT_EQ(e.probe_traces.size(), traces.size());
  for (size_t i = 0; i < traces.size(); ++i) {
    EXPECT_NEAR(e.probe_traces[i], traces[i], 1e-7 * (1.0 + std::fabs(traces[i]))) << "trace " << i;
  }
  EXPECT_NEAR(e.data_fit, data_fit, 1e-8 * std::fabs(data_fit));

  // With as many Lanczos steps as rows the quadrature is exact for each probe, so what is
  // left is the probes' sampling error, which the estimate states.
  const double exact = dense_log_det(A, n);
  EXPECT_GT(e.log_det_error, 0.0);
  EXPECT_LE(std::fabs(e.log_det - exact), 4.0 * e.log_det_error) << e.log_det << " vs " << exact;
  const double expected_value = -0.5 * data_fit - 0.5 * c * exact - 0.5 * c * n * std::log(2.0 * M_PI);
  EXPECT_NEAR(e.value, expected_value, 0.5 * c * 4.0 * e.log_det_error + 1e-6);

  // The solves by preconditioned conjugate gradients, warm-started or not, on one thread
  // or two: the same estimate to the solves' tolerance, and the same bits at any thread
  // count.
  s.precondition_rank = 20;
  std::vector<std::vector<double>> solved, traced;
  for (int threads : {1, 2}) {
    operator_fixture pc(p, ridge, 16, 8.0 * n * n, threads);
    std::vector<double> U(V.size(), 0.0);
    const krr::lml_estimate e2 = krr::estimate_marginal_likelihood(pc.A, Y.data(), c, s, U.data());
    ASSERT_EQ(e2.solve.status, krr::solve_status::converged);
    for (int i = 0; i < d + 2; ++i) EXPECT_NEAR(e2.gradient[i], e.gradient[i], 1e-7 * (1.0 + std::fabs(e.gradient[i])));
    EXPECT_NEAR(e2.value, e.value, 1e-6 * std::fabs(e.value));
    solved.push_back(U);
    traced.push_back(e2.probe_traces);
    // From the solution as a start: the check's pass and a few iterations at most.
    const krr::lml_estimate again = krr::estimate_marginal_likelihood(pc.A, Y.data(), c, s, U.data());
    EXPECT_EQ(again.solve.status, krr::solve_status::converged);
    EXPECT_LE(again.solve.steps, 2);
  }
  EXPECT_EQ(solved[0], solved[1]);
  EXPECT_EQ(traced[0], traced[1]);
  s.precondition_rank = 0;

  // The profile: with every column cached each is computed once; with no cache every pass
  // over K computes all n of them again, and the same bits come out.
  EXPECT_LE(e.columns_computed, n);
  EXPECT_GE(e.passes_over_k, 2.0 + e.solve.checks);
  operator_fixture uncached(p, ridge, 16, 0.0, 2);
  std::vector<double> W(V.size(), 0.0);
  const krr::lml_estimate u = krr::estimate_marginal_likelihood(uncached.A, Y.data(), c, s, W.data());
  EXPECT_EQ(u.passes_over_k, e.passes_over_k);
  // (A block step may find a member's column still in its scratch: a few fewer.)
  EXPECT_LE(static_cast<double>(u.columns_computed), u.passes_over_k * n);
  EXPECT_GE(static_cast<double>(u.columns_computed), 0.99 * u.passes_over_k * n);
  EXPECT_GT(u.column_seconds, 0.0);
  EXPECT_EQ(W, V);
  // Without the log determinant, the Lanczos products' passes and their columns go (a
  // product may find a column still in the operator's scratch: a few fewer).
  operator_fixture no_det(p, ridge, 16, 0.0, 2);
  s.log_det = false;
  std::fill(W.begin(), W.end(), 0.0);
  const krr::lml_estimate v = krr::estimate_marginal_likelihood(no_det.A, Y.data(), c, s, W.data());
  const double products = u.passes_over_k - v.passes_over_k;
  EXPECT_GE(products, 2.0);
  const double lanczos_columns = static_cast<double>(u.columns_computed - v.columns_computed);
  EXPECT_LE(lanczos_columns, products * n);
  EXPECT_GE(lanczos_columns, 0.95 * products * n);

  // The value alone: the targets solved, not the probes (their columns left as they came),
  // no gradient pass; the log determinant the same bits, the data fit the same to the
  // solves' tolerance, in fewer passes.
  operator_fixture value_only(p, ridge, 16, 8.0 * n * n, 2);
  s.log_det = true;
  s.gradient = false;
  std::vector<double> Vv(V.size(), 7.0);
  std::fill(Vv.begin(), Vv.begin() + static_cast<size_t>(n) * c, 0.0);
  const krr::lml_estimate alone = krr::estimate_marginal_likelihood(value_only.A, Y.data(), c, s, Vv.data());
  ASSERT_EQ(alone.solve.status, krr::solve_status::converged);
  EXPECT_EQ(alone.quadratures, e.quadratures);
  EXPECT_NEAR(alone.data_fit, e.data_fit, 1e-8 * std::fabs(e.data_fit));
  EXPECT_NEAR(alone.value, e.value, 1e-8 * std::fabs(e.value));
  for (double g : alone.gradient) EXPECT_TRUE(std::isnan(g));
  EXPECT_TRUE(alone.probe_traces.empty());
  EXPECT_TRUE(std::all_of(Vv.begin() + static_cast<size_t>(n) * c, Vv.end(), [](double v) { return v == 7.0; }));
  EXPECT_LT(alone.passes_over_k, e.passes_over_k);
}

// The Matern kernels: the estimate's gradient and each probe's trace terms are the probe
// formula with dA/dlog w_l = k'(r) w_l (x_il - x_jl)^2 / r (0 at r = 0), k'(r) the
// textbook slope, on data with duplicated samples; the solves, and so the data fit, with the
// kernel's own columns.
TEST(MarginalLikelihood, MaternGradientIsTheProbeFormula) {
  const int n = 110, d = 3, c = 1, probes = 4;
  problem_data p = random_problem(n, d, 29);
  for (int i = 0; i < 8; ++i) {
    for (int l = 0; l < d; ++l) p.X[(100 + i) * d + l] = p.X[(7 * i) * d + l];
  }
  const double ridge = 0.05;
  const auto Y = right_sides(p, c);
  for (krr::kernel_kind kind : {krr::kernel_kind::matern12, krr::kernel_kind::matern32,
                                krr::kernel_kind::matern52}) {
    SCOPED_TRACE(krr::kernel_name(kind));
    krr::operator_setup setup{p.X.data(), n, d, p.w.data(), ridge, 16, 8.0 * n * n};
    setup.threads = 2;
    setup.min_rows_per_thread = 16;
    setup.kind = kind;
    krr::kernel_operator A;
    krr::allocation_failure failure;
    ASSERT_TRUE(A.prepare(setup, failure));
    krr::lml_settings s;
    s.probes = probes;
    s.seed = 5;
    s.relative_tol = 1e-11;
    s.log_det = false;
    s.probe_traces = true;
    std::vector<double> V(static_cast<size_t>(n) * (c + probes), 0.0);
    const krr::lml_estimate e = krr::estimate_marginal_likelihood(A, Y.data(), c, s, V.data());
    ASSERT_EQ(e.solve.status, krr::solve_status::converged);

    const double rate = kind == krr::kernel_kind::matern12 ? 1.0
                        : kind == krr::kernel_kind::matern32 ? std::sqrt(3.0) : std::sqrt(5.0);
    std::vector<double> K(n * n), slope(n * n), M(n * n);
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) {
        double r2 = 0.0;
        for (int l = 0; l < d; ++l) {
          const double t = p.X[i * d + l] - p.X[j * d + l];
          r2 += 2.0 * p.w[l] * t * t;
        }
        const double r = std::sqrt(r2), e1 = std::exp(-rate * r);
        const double poly = kind == krr::kernel_kind::matern12   ? 1.0
                            : kind == krr::kernel_kind::matern32 ? 1.0 + rate * r
                                                                 : 1.0 + rate * r + rate * rate * r2 / 3.0;
        const double dk = kind == krr::kernel_kind::matern12   ? -e1
                          : kind == krr::kernel_kind::matern32 ? -3.0 * r * e1
                                                               : -5.0 / 3.0 * r * (1.0 + rate * r) * e1;
        K[i * n + j] = p.w[d] * poly * e1;
        slope[i * n + j] = r > 0 ? p.w[d] * dk / r : 0.0;
        M[i * n + j] = K[i * n + j] + (i == j ? ridge : 0.0);
      }
    const auto Z = krr::rademacher_probes(n, probes, s.seed);
    std::vector<std::vector<double>> left, right;
    double data_fit = 0.0;
    std::vector<double> y(Y.begin(), Y.begin() + n);
    left.push_back(reference::dense_solve(M, y, n));
    right.push_back(left.back());
    for (int r = 0; r < n; ++r) data_fit += y[r] * left.back()[r];
    for (int t = 0; t < probes; ++t) {
      std::vector<double> z(Z.begin() + t * n, Z.begin() + (t + 1) * n);
      left.push_back(reference::dense_solve(M, z, n));
      right.push_back(z);
    }
    std::vector<double> expected(d + 2, 0.0), traces((d + 2) * probes, 0.0);
    for (size_t v = 0; v < left.size(); ++v) {
      const bool probe = v >= static_cast<size_t>(c);
      const double scale = probe ? -0.5 * c / probes : 0.5;
      double* own = probe ? &traces[(v - c) * (d + 2)] : nullptr;
      for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
          const double lr = left[v][i] * right[v][j] * scale;
          const double half = 0.5 * c * left[v][i] * right[v][j];
          for (int l = 0; l < d; ++l) {
            const double t = p.X[i * d + l] - p.X[j * d + l];
            const double dA = slope[i * n + j] * p.w[l] * t * t;
            expected[l] += lr * dA;
            if (probe) own[l] += half * dA;
          }
          expected[d] += lr * K[i * n + j];
          if (probe) own[d] += half * K[i * n + j];
          if (i == j) expected[d + 1] += lr * ridge;
          if (probe && i == j) own[d + 1] += half * ridge;
        }
    }
    for (int i = 0; i < d + 2; ++i) {
      EXPECT_TRUE(std::isfinite(e.gradient[i]));
      EXPECT_NEAR(e.gradient[i], expected[i], 1e-7 * (1.0 + std::fabs(expected[i]))) << "entry " << i;
    }
    ASSERT_EQ(e.probe_traces.size(), traces.size());
    for (size_t i = 0; i < traces.size(); ++i) {
      EXPECT_NEAR(e.probe_traces[i], traces[i], 1e-7 * (1.0 + std::fabs(traces[i]))) << "trace " << i;
    }
    EXPECT_NEAR(e.data_fit, data_fit, 1e-8 * std::fabs(data_fit));
  }
}

// The log determinant preconditioned with a low-rank factor of K, on a small ridge where
// Lanczos on A itself needs many steps: it settles in far fewer, its probes spread far
// less, and it stays within its stated error of the dense log determinant; the same bits
// on one thread or two.
TEST(MarginalLikelihood, PreconditionedLogDetSettlesSoonerWithinASmallerError) {
  const int n = 400, d = 3, c = 1, probes = 16;
  problem_data p = random_problem(n, d, 5);
  for (int l = 0; l < d; ++l) p.w[l] *= 8.0;  // shorter length scales: K far from low rank
  const double ridge = 1e-3;
  const auto Y = right_sides(p, c);
  const double exact = dense_log_det(reference::dense_system(p.X, p.w, ridge, n, d), n);
  krr::lml_settings s;
  s.probes = probes;
  s.seed = 7;
  s.relative_tol = 1e-3;  // the log determinant needs no solve
  s.lanczos.steps = n;
  s.lanczos.tolerance = 1e-8;
  operator_fixture fx(p, ridge, 16, 8.0 * n * n, 2);
  std::vector<double> V(static_cast<size_t>(n) * (c + probes), 0.0);
  const krr::lml_estimate plain = krr::estimate_marginal_likelihood(fx.A, Y.data(), c, s, V.data());
  ASSERT_EQ(plain.solve.status, krr::solve_status::converged);
  s.log_det_rank = 100;
  std::vector<std::vector<double>> quadratures;
  for (int threads : {1, 2}) {
    operator_fixture pc(p, ridge, 16, 8.0 * n * n, threads);
    std::vector<double> U(V.size(), 0.0);
    const krr::lml_estimate e = krr::estimate_marginal_likelihood(pc.A, Y.data(), c, s, U.data());
    ASSERT_EQ(e.solve.status, krr::solve_status::converged);
    EXPECT_GT(e.log_det_error, 0.0);
    EXPECT_LE(std::fabs(e.log_det - exact), 4.0 * e.log_det_error) << e.log_det << " vs " << exact;
    EXPECT_LT(e.log_det_error, 0.25 * plain.log_det_error);
    EXPECT_LT(e.lanczos_steps, plain.lanczos_steps / 2);
    EXPECT_EQ(e.data_fit, plain.data_fit);  // the solves are untouched
    quadratures.push_back(e.quadratures);
  }
  EXPECT_EQ(quadratures[0], quadratures[1]);
}

// Samples so far apart in a feature that the square of their difference overflows: their
// kernel value is 0, and so is their term of the gradient (it was 0 * Inf = NaN, reported
// with a converged solve), in the gradient and in each probe's trace terms; a feature of
// weight 0 has a derivative of exactly 0.
TEST(MarginalLikelihood, SamplesBeyondTheSquaresRangeGiveAFiniteGradient) {
  const problem_data far{2, 2, {0.0, 3.0, 1e200, -4.0}, {1.0, 2.0}, {1.0, 0.0, 1.0}};
  operator_fixture fx(far, 0.1, 1, 8.0 * 2 * 2, 1);
  krr::lml_settings s;
  s.probes = 2;
  s.log_det = false;
  s.probe_traces = true;
  std::vector<double> V(2 * 3, 0.0);
  const krr::lml_estimate e = krr::estimate_marginal_likelihood(fx.A, far.y.data(), 1, s, V.data());
  ASSERT_EQ(e.solve.status, krr::solve_status::converged);
  for (double g : e.gradient) EXPECT_TRUE(std::isfinite(g));
  for (double t : e.probe_traces) EXPECT_TRUE(std::isfinite(t));
  EXPECT_EQ(e.gradient[1], 0.0);
}

}  // namespace
