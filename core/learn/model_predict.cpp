// Prediction from a fitted model (model_predict.h): the model's checks, the new
// observations' standardisation, the predictions through predict_outputs, the deviations
// through exact_variances or approximate_variances on an operator planned as the host's
// variance module plans it, and the intervals from the normal quantile.
#include "core/exact_arithmetic.h"

#include "core/learn/model_predict.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstddef>

#include "core/learn/fit_stages.h"
#include "core/parallel/system_resources.h"
#include "core/predict/predict.h"
#include "core/predict/variance.h"
#include "core/solve/kernel_operator.h"

namespace krr {

namespace {

using fitting::text;

// The exact method's settings, as the host's predict function gave them: each solve to a
// relative residual of 1e-10 within 1000 iterations, 256 new observations a batch, blocks
// of at most 256 columns, no cap on the kernel cache but memory; the factor stops once it
// leaves out at most 1e-3 ridge of any diagonal entry.
constexpr double RELATIVE_TOL = 1e-10;
constexpr double MAX_PASSES = 1000.0;
constexpr int BATCH = 256;
constexpr int BLOCK = 256;
constexpr double RANK_TOL = 1e-3;
// 'automatic' is exact while n^2 nt stays at most this.
constexpr double EXACT_WORK_LIMIT = 2e10;
// Where the approximate factor leaves out more than this times the ridge, its deviations
// may be off by several percent (the approximate warning).
constexpr double APPROXIMATE_WARNING = 0.02;

// A value as the host prints it with %g: NaN and Inf by those names.
std::string value_text(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "Inf" : "-Inf";
  return text("%g", v);
}

model_prediction refused(model_predict_status status, const char* code, const std::string& message) {
  model_prediction out;
  out.status = status;
  out.error = {code, message};
  return out;
}

bool all_finite(const std::vector<double>& v) {
  for (double x : v)
    if (!std::isfinite(x)) return false;
  return true;
}

// The model's fields that prediction reads, each checked against the model's d (the length
// of mu) as the host's predict function checks them; an empty message where all pass.
std::string check_model(const fit_model& m, std::int64_t& n, int& c) {
  if (m.format_version < 1 || m.format_version > 3) {
    return "MODEL.FormatVersion must be 1, 2 or 3, the versions this function reads (a newer "
           "package wrote this model?)";
  }
  const std::size_t d = m.mu.size();
  if (d < 1 || d > static_cast<std::size_t>(INT_MAX) - 1) {
    return text("MODEL.Mu must be a 1 x d row vector with d at least 1 (one entry per feature), "
                "got %zu entries", d);
  }
  if (m.X.size() % d != 0 || m.X.empty()) {
    return text("MODEL.X must be a d x n matrix with d = %zu (the entries of Mu) and n at least "
                "1, got %zu entries", d, m.X.size());
  }
  n = static_cast<std::int64_t>(m.X.size() / d);
  if (n > INT_MAX) return text("MODEL.X must have at most %d columns, got %lld", INT_MAX, static_cast<long long>(n));
  if (!all_finite(m.X)) return "MODEL.X must be finite";
  const std::size_t un = static_cast<std::size_t>(n);
  if (m.alpha.size() % un != 0 || m.alpha.empty() || m.alpha.size() / un > INT_MAX) {
    return text("MODEL.Alpha must be an n x c matrix, n = %lld (the columns of X), got %zu entries",
                static_cast<long long>(n), m.alpha.size());
  }
  c = static_cast<int>(m.alpha.size() / un);
  if (!all_finite(m.alpha)) return "MODEL.Alpha must be finite";
  if (m.weights.size() != d + 1) {
    return text("MODEL.Weights must be a vector of d + 1 = %zu entries, got %zu", d + 1,
                m.weights.size());
  }
  if (!all_finite(m.weights)) return "MODEL.Weights must be finite";
  for (double w : m.weights)
    if (!(w >= 0)) return "MODEL.Weights must be nonnegative";
  if (!all_finite(m.mu)) return "MODEL.Mu must be finite";
  if (m.sigma.size() != d) return text("MODEL.Sigma must be a 1 x %zu row vector, got %zu entries", d, m.sigma.size());
  if (!all_finite(m.sigma)) return "MODEL.Sigma must be finite";
  for (double s : m.sigma)
    if (!(s > 0)) return "MODEL.Sigma must be positive";
  if (m.y_mean.size() != static_cast<std::size_t>(c)) {
    return text("MODEL.YMean must be a 1 x %d row vector (one entry per column of Alpha), got %zu "
                "entries", c, m.y_mean.size());
  }
  if (!all_finite(m.y_mean)) return "MODEL.YMean must be finite";
  // The outputs' scales: version 3 has them; versions 1 and 2 have none (all 1).
  if (m.format_version == 3 || !m.y_scale.empty()) {
    if (m.y_scale.size() != static_cast<std::size_t>(c)) {
      return text("MODEL.YScale must be a 1 x %d row vector (one entry per column of Alpha), got "
                  "%zu entries", c, m.y_scale.size());
    }
    for (double s : m.y_scale)
      if (!(s > 0 && std::isfinite(s))) return "MODEL.YScale must be positive and finite";
  }
  return std::string();
}

const char* describe_status(solve_status s) {
  return s == solve_status::not_converged ? "the iteration bound" : "below the rounding floor";
}

}  // namespace

double inverse_erf(double y) {
  if (std::isnan(y) || y < -1.0 || y > 1.0) return std::numeric_limits<double>::quiet_NaN();
  if (y == 0.0) return y;  // keeps the sign of zero
  const double a = std::fabs(y);
  if (a == 1.0) return std::copysign(std::numeric_limits<double>::infinity(), y);
  // The starting value: M. Giles' polynomials in w = -log(1 - y^2) ("Approximating the erfinv
  // function", GPU Computing Gems, 2011), good to about 1e-7 relative over float's range and
  // a few digits beyond it; the Newton steps below do the rest. 1 - a is exact for a >= 0.5
  // (Sterbenz), and (1 - a)(1 + a) keeps the relative accuracy 1 - a * a would lose.
  double w = -std::log((1.0 - a) * (1.0 + a));
  double p;
  if (w < 5.0) {
    w = w - 2.5;
    p = 2.81022636e-08;
    p = 3.43273939e-07 + p * w;
    p = -3.5233877e-06 + p * w;
    p = -4.39150654e-06 + p * w;
    p = 0.00021858087 + p * w;
    p = -0.00125372503 + p * w;
    p = -0.00417768164 + p * w;
    p = 0.246640727 + p * w;
    p = 1.50140941 + p * w;
  } else {
    w = std::sqrt(w) - 3.0;
    p = -0.000200214257;
    p = 0.000100950558 + p * w;
    p = 0.00134934322 + p * w;
    p = -0.00367342844 + p * w;
    p = 0.00573950773 + p * w;
    p = -0.0076224613 + p * w;
    p = 0.00943887047 + p * w;
    p = 1.00167406 + p * w;
    p = 2.83297682 + p * w;
  }
  double x = p * a;
  // Newton steps, whose error falls quadratically: from the starting value's 1e-7, two steps
  // reach rounding; a few more (at most 8 in all) cover its larger error where 1 - a is
  // below float's range. Where a <= 0.5, on erf(x) - a. Where a > 0.5, erf(x) - a would
  // cancel to an ulp of 1, so the steps solve log(erfc(x)) = log(1 - a) instead (1 - a
  // exact, the residual relative to erfc's size): log(erfc) is nearly quadratic in the
  // tail, where Newton on erfc itself creeps from the left by about 0.09 a step.
  const double two_over_root_pi = 1.1283791670955126;  // 2 / sqrt(pi)
  const double complement = 1.0 - a;
  for (int step = 0; step < 8; ++step) {
    const double slope = two_over_root_pi * std::exp(-x * x);
    double dx;
    if (a > 0.5) {
      const double tail = std::erfc(x);
      dx = -std::log(tail / complement) * tail / slope;
    } else {
      dx = (std::erf(x) - a) / slope;
    }
    x -= dx;
    if (!(std::fabs(dx) > 0x1p-54 * x)) break;
  }
  return std::copysign(x, y);
}

model_prediction model_predict(const fit_model& model, const double* Xnew, std::int64_t nt, int d,
                               const model_predict_settings& settings) {
  std::int64_t n = 0;
  int c = 0;
  const std::string bad_model = check_model(model, n, c);
  if (!bad_model.empty()) return refused(model_predict_status::invalid_model, "invalidModel", bad_model);
  const int dm = static_cast<int>(model.mu.size());
  if (d != dm || nt < 0) {
    return refused(model_predict_status::invalid_input, "invalidInput",
                   text("XNEW must be a real matrix with %d columns (the model's features), one "
                        "observation per row, got a %lld x %d double",
                        dm, static_cast<long long>(nt), d));
  }
  if (!(settings.alpha > 0 && settings.alpha < 1)) {
    return refused(model_predict_status::invalid_input, "invalidInput",
                   "Alpha must be in (0, 1), got " + value_text(settings.alpha));
  }
  if (settings.rank < 1 || settings.rank > 1000000) {
    return refused(model_predict_status::invalid_input, "invalidInput",
                   text("Rank must be a whole number from 1 to 1000000, got %d", settings.rank));
  }
  for (std::int64_t k = 0; k < nt * d; ++k) {
    if (!std::isfinite(Xnew[k])) {
      return refused(model_predict_status::invalid_input, "invalidInput",
                     text("XNEW must be finite, but XNEW(%lld,%lld) is %s",
                          static_cast<long long>(k % nt + 1), static_cast<long long>(k / nt + 1),
                          value_text(Xnew[k]).c_str()));
    }
  }
  if (settings.deviations && !(model.ridge > 0 && std::isfinite(model.ridge))) {
    return refused(model_predict_status::invalid_model, "invalidModel",
                   "MODEL.Ridge must be a positive scalar, got " + value_text(model.ridge));
  }

  // The new observations standardised as the fit did, d x nt: (x - mu) / sigma.
  std::vector<double> Xs(static_cast<std::size_t>(nt) * d);
  for (std::int64_t i = 0; i < nt; ++i)
    for (int l = 0; l < d; ++l) Xs[i * d + l] = (Xnew[l * nt + i] - model.mu[l]) / model.sigma[l];

  // The predictions: predict_outputs reads alpha and writes f row-major (one row per
  // sample, the c outputs side by side).
  std::vector<double> A(static_cast<std::size_t>(n) * c), F(static_cast<std::size_t>(nt) * c);
  for (int q = 0; q < c; ++q)
    for (std::int64_t j = 0; j < n; ++j) A[j * c + q] = model.alpha[q * n + j];
  const prediction_result p =
      predict_outputs(Xs.data(), nt, model.X.data(), n, d, model.weights.data(), A.data(), c,
                      F.data(), settings.threads, settings.interrupt_pending, settings.interrupt_state);
  if (!p.ok) {
    return refused(model_predict_status::out_of_memory, "outOfMemory",
                   text("could not allocate %.0f bytes for the sample norms", p.failed_bytes));
  }
  if (p.interrupted) return refused(model_predict_status::interrupted, "interrupted", "interrupted by the user");
  model_prediction out;
  out.predictions.resize(static_cast<std::size_t>(nt) * c);
  for (int q = 0; q < c; ++q)
    for (std::int64_t i = 0; i < nt; ++i) out.predictions[q * nt + i] = F[i * c + q] + model.y_mean[q];
  if (!settings.deviations) return out;

  // The latent variances, by the method asked (automatic: exact while n^2 nt is small).
  const auto start = std::chrono::steady_clock::now();
  const double ridge = model.ridge;
  deviation_method method = settings.method;
  if (method == deviation_method::automatic) {
    const double work = static_cast<double>(n) * static_cast<double>(n) * static_cast<double>(nt);
    method = work > EXACT_WORK_LIMIT ? deviation_method::approximate : deviation_method::exact;
  }
  const bool exact = method == deviation_method::exact;
  const double memory =
      std::isnan(settings.memory_bytes) ? available_memory_bytes() : settings.memory_bytes;
  variance_settings vs;
  vs.relative_tol = RELATIVE_TOL;
  vs.max_passes = MAX_PASSES;
  vs.max_rank = static_cast<int>(std::min<std::int64_t>(settings.rank, n));
  vs.rank_tol = RANK_TOL;
  // A batch of exact solves holds about five n x batch arrays: at most a quarter of the
  // memory, so that the kernel cache keeps the rest.
  const double fits = std::max(1.0, std::floor(0.25 * memory / (8.0 * 5.0 * n)));
  vs.batch = static_cast<int>(
      std::min({static_cast<double>(BATCH), fits, static_cast<double>(std::max<std::int64_t>(nt, 1))}));
  const double held = 8.0 * nt + (exact ? exact_variance_bytes(n, d, vs.batch, vs.max_rank)
                                        : approximate_variance_bytes(n, d, vs.max_rank));
  operator_setup setup{model.X.data(), static_cast<int>(n), d, model.weights.data(), ridge,
                       static_cast<int>(std::min<std::int64_t>(BLOCK, n)),
                       std::numeric_limits<double>::infinity()};
  setup.memory_bytes = memory;
  setup.other_bytes = held;
  setup.other_what = "the variances' arrays, more than the memory available to this process";
  setup.threads = settings.threads;
  setup.interrupt_pending = settings.interrupt_pending;
  setup.interrupt_state = settings.interrupt_state;
  kernel_operator op;
  allocation_failure failure;
  if (!op.prepare(setup, failure)) {
    return refused(model_predict_status::out_of_memory, "outOfMemory",
                   text("could not allocate %.0f bytes for %s", failure.bytes, failure.what));
  }
  std::vector<double> v(static_cast<std::size_t>(nt));
  const variance_result r = exact ? exact_variances(op, Xs.data(), nt, vs, v.data())
                                  : approximate_variances(op, Xs.data(), nt, vs, v.data());
  if (r.status == solve_status::interrupted) {
    return refused(model_predict_status::interrupted, "interrupted", "interrupted by the user");
  }
  if (r.status == solve_status::out_of_memory) {
    return refused(model_predict_status::out_of_memory, "outOfMemory",
                   text("could not allocate %.0f bytes for the variances' arrays", r.failed_bytes));
  }
  const double amplitude = model.weights[d];
  if (r.status == solve_status::breakdown) {
    return refused(model_predict_status::breakdown, "breakdown",
                   text("the deviations overflow double precision (amplitude %g, ridge %g): "
                        "rescale Y and fit again", amplitude, ridge));
  }
  if (r.status != solve_status::converged) {
    out.warnings.push_back(
        {"notConverged",
         text("the exact solves for the deviations did not reach their tolerance (status %d: %s), "
              "so the deviations may be far off; K + Ridge * I is too ill-conditioned in double "
              "precision for them, and a larger Ridge gives ones to trust",
              static_cast<int>(r.status), describe_status(r.status))});
  }
  if (!exact && r.largest_residual > APPROXIMATE_WARNING * ridge) {
    out.warnings.push_back(
        {"approximate",
         text("the approximate deviations' factor (rank %d) leaves out up to %.2g of the kernel's "
              "diagonal against a noise variance (Ridge) of %.2g, so they may be off by several "
              "percent or more; a larger Rank, or Method 'exact', gives closer ones",
              r.rank, r.largest_residual, ridge)});
  }

  // The deviations: those of the kernel the outputs share, times each output's scale
  // (its targets were fitted divided by it); and the intervals Ypred -/+ z sd.
  out.deviations.resize(out.predictions.size());
  for (std::int64_t i = 0; i < nt; ++i) {
    const double var = settings.prediction == deviation_target::observation ? v[i] + ridge : v[i];
    const double shared = std::sqrt(var);
    for (int q = 0; q < c; ++q)
      out.deviations[q * nt + i] = model.y_scale.empty() ? shared : model.y_scale[q] * shared;
  }
  // The normal quantile as the host's function took it, sqrt(2) erfinv(1 - alpha): 1 - alpha
  // rounds to 1 (z infinite) only for alpha below 2^-54.
  out.z = std::sqrt(2.0) * inverse_erf(1.0 - settings.alpha);
  out.lower.resize(out.predictions.size());
  out.upper.resize(out.predictions.size());
  for (int q = 0; q < c; ++q)
    for (std::int64_t i = 0; i < nt; ++i) {
      const double half = out.z * out.deviations[q * nt + i];
      out.lower[q * nt + i] = out.predictions[q * nt + i] - half;
      out.upper[q * nt + i] = out.predictions[q * nt + i] + half;
    }

  out.method = method;
  out.passes = r.passes;
  out.rank = r.rank;
  out.largest_residual = r.largest_residual;
  out.threads = op.schedule().parts();
  out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const std::string how =
      exact ? text("exactly, %.0f passes over K", r.passes)
            : text("approximately, a factor of rank %d (its largest left-out diagonal %.2g)",
                   r.rank, r.largest_residual);
  out.progress_line = text("%s: deviations of %lld rows %s (n = %lld) in %.1f s",
                           settings.name.c_str(), static_cast<long long>(nt), how.c_str(),
                           static_cast<long long>(n), out.seconds);
  return out;
}

}  // namespace krr
