// Prediction from a fitted model (model_predict.h): the options' checks, the model's checks
// against its fields' dims, the new observations' standardisation, the predictions through
// predict_outputs, the deviations through exact_variances or approximate_variances, and the
// intervals from the normal quantile.
#include "core/exact_arithmetic.h"

#include "core/learn/model_predict.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstddef>
#include <utility>

#include "core/learn/fit_stages.h"
#include "core/parallel/system_resources.h"
#include "core/predict/predict.h"
#include "core/predict/variance.h"
#include "core/solve/kernel_operator.h"

namespace krr {

namespace {

// The variances' settings: each solve to a relative residual of 1e-10 within 1000
// iterations, 256 new observations a batch, blocks of at most 256 columns, no cap on the
// kernel cache but memory; the factor stops once it leaves out at most 1e-4 ridge of any
// diagonal entry: the latent deviations are far more sensitive to what it leaves out than
// the observation's (a latent variance is often a small fraction of the ridge), and on
// 40,000 diamonds rows 1e-3 ridge (rank 1,928) left them off by 6.8% at the 95th
// percentile of the rows checked.
constexpr double RELATIVE_TOL = 1e-10;
constexpr double MAX_PASSES = 1000.0;
constexpr int BATCH = 256;
constexpr int BLOCK = 256;
constexpr double RANK_TOL = 1e-4;
// The check's solves: to a relative residual of 1e-8, the quadratic form's error at most
// 1e-16 n a^2 / ridge, far below the errors it measures.
constexpr double CHECK_TOL = 1e-8;
// Up to this n the exact method's preconditioner may take any rank up to n (it stops, as
// always, once it leaves out at most RANK_TOL ridge): its O(n r^2) build is then a few
// seconds, against tens or hundreds of passes over K where a small ridge leaves a rank-Rank
// preconditioner far from K (n = 2,000, d = 8, ridge 7.1e-4, 100 rows: 61 passes and 9.2 s
// with rank 1,000; 2 passes and 3.3 s with rank up to 2,000).
constexpr std::int64_t FULL_RANK_EXACT = 3000;
// 'automatic' is exact while n^2 nt stays at most this.
constexpr double EXACT_WORK_LIMIT = 2e10;
// The factor (n x r while it is built) takes at most this share of the memory; its rank is
// cut to fit.
constexpr double CACHE_MEMORY = 0.4;

// A value as the host prints it with %g: NaN and Inf by those names.
std::string value_text(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "Inf" : "-Inf";
  return printf_text("%g", v);
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

std::string dims_text(const field_dims& f) {
  return printf_text("%lld x %lld", static_cast<long long>(f.rows), static_cast<long long>(f.cols));
}

bool has_dims(const field_dims& f, std::int64_t rows, std::int64_t cols) {
  return f.rows == rows && f.cols == cols;
}

// The model's fields that prediction reads, checked as krrpredict checks them: each one's
// dims against X's (d x n) and its entries (finite, and the weights' and the scales' signs);
// an empty message where all pass. The ridge is checked apart, only for deviations.
std::string check_model(const fit_model& m, const model_dims& dims, const std::string& name,
                        std::int64_t& n, int& c) {
  // The dims must describe the entries: a caller's inconsistency, not the model's.
  const struct {
    const char* name;
    const field_dims& dims;
    std::size_t entries;
  } fields[] = {{"X", dims.X, m.X.size()},           {"Alpha", dims.alpha, m.alpha.size()},
                {"Weights", dims.weights, m.weights.size()}, {"Mu", dims.mu, m.mu.size()},
                {"Sigma", dims.sigma, m.sigma.size()}, {"YMean", dims.y_mean, m.y_mean.size()},
                {"YScale", dims.y_scale, m.y_scale.size()}};
  for (const auto& f : fields) {
    if (f.dims.rows < 0 || f.dims.cols < 0 ||
        static_cast<double>(f.dims.rows) * static_cast<double>(f.dims.cols) !=
            static_cast<double>(f.entries)) {
      return printf_text("MODEL.%s holds %zu entries, not the %s its dims say", f.name, f.entries,
                  dims_text(f.dims).c_str());
    }
  }
  if (m.format_version < 1 || m.format_version > 4) {
    return printf_text("MODEL.FormatVersion must be 1, 2, 3 or 4, the versions this %s reads (a "
                "newer package wrote this model?)", name.c_str());
  }
  // The kernel: named from version 4 on; a model of an earlier version without the name is
  // the Gaussian.
  kernel_kind kind = kernel_kind::gaussian;
  if ((m.format_version == 4 || !m.kernel.empty()) && !kernel_from_name(m.kernel, kind)) {
    return "MODEL.Kernel must be 'squaredexponential', 'matern12', 'matern32' or 'matern52', got " +
           describe_option_value(option_value::string(m.kernel));
  }
  if (!all_finite(m.X)) return "MODEL.X must be finite";
  const std::int64_t d = dims.X.rows;
  n = dims.X.cols;
  if (d < 1 || n < 1) {
    return "MODEL.X must be a d x n matrix with d and n at least 1, got " + dims_text(dims.X);
  }
  if (d >= INT_MAX) return printf_text("MODEL.X must have fewer than %d rows, got %lld", INT_MAX, static_cast<long long>(d));
  if (n > INT_MAX) return printf_text("MODEL.X must have at most %d columns, got %lld", INT_MAX, static_cast<long long>(n));
  if (dims.alpha.rows != n || dims.alpha.cols < 1 || dims.alpha.cols > INT_MAX) {
    return printf_text("MODEL.Alpha must be an n x c matrix, n = %lld (the columns of X), got %s",
                static_cast<long long>(n), dims_text(dims.alpha).c_str());
  }
  c = static_cast<int>(dims.alpha.cols);
  if (!all_finite(m.alpha)) return "MODEL.Alpha must be finite";
  // A column of weights is read as the row it is.
  field_dims w = dims.weights;
  if (w.cols == 1) std::swap(w.rows, w.cols);
  if (!has_dims(w, 1, d + 1)) {
    return printf_text("MODEL.Weights must be a vector of d + 1 = %lld entries, got %s",
                static_cast<long long>(d + 1), dims_text(w).c_str());
  }
  if (!all_finite(m.weights)) return "MODEL.Weights must be finite";
  for (double x : m.weights)
    if (!(x >= 0)) return "MODEL.Weights must be nonnegative";
  if (!has_dims(dims.mu, 1, d)) {
    return printf_text("MODEL.Mu must be a 1 x %lld row vector, got %s", static_cast<long long>(d),
                dims_text(dims.mu).c_str());
  }
  if (!all_finite(m.mu)) return "MODEL.Mu must be finite";
  if (!has_dims(dims.sigma, 1, d)) {
    return printf_text("MODEL.Sigma must be a 1 x %lld row vector, got %s", static_cast<long long>(d),
                dims_text(dims.sigma).c_str());
  }
  if (!all_finite(m.sigma)) return "MODEL.Sigma must be finite";
  for (double x : m.sigma)
    if (!(x > 0)) return "MODEL.Sigma must be positive";
  if (!has_dims(dims.y_mean, 1, c)) {
    return printf_text("MODEL.YMean must be a 1 x %d row vector (one entry per column of Alpha), got %s",
                c, dims_text(dims.y_mean).c_str());
  }
  if (!all_finite(m.y_mean)) return "MODEL.YMean must be finite";
  // The outputs' scales: version 3 has them; versions 1 and 2 have none (all 1).
  if (m.format_version == 3 || !m.y_scale.empty()) {
    if (!has_dims(dims.y_scale, 1, c)) {
      return printf_text("MODEL.YScale must be a 1 x %d row vector (one entry per column of Alpha), got %s",
                  c, dims_text(dims.y_scale).c_str());
    }
    for (double s : m.y_scale)
      if (!(s > 0 && std::isfinite(s))) return "MODEL.YScale must be positive and finite";
  }
  return std::string();
}

// The noise variance the deviations need: one positive finite number.
std::string check_ridge(const fit_model& m, const model_dims& dims) {
  if (!has_dims(dims.ridge, 1, 1)) return "MODEL.Ridge must be a positive scalar, got " + dims_text(dims.ridge);
  if (!std::isfinite(m.ridge)) return "MODEL.Ridge must be finite";
  if (!(m.ridge > 0)) return "MODEL.Ridge must be a positive scalar, got " + value_text(m.ridge);
  return std::string();
}

// The options' table, in the order they are checked.
enum option_row { ALPHA, PREDICTION, METHOD, RANK, VERBOSE, TOLERANCE, OPTIONS };
const char* const OPTION_NAMES[OPTIONS] = {"Alpha", "Prediction", "Method", "Rank", "Verbose",
                                           "DeviationTolerance"};
constexpr double MOST_RANK = 1000000.0;

std::string lower(std::string s) {
  for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return s;
}

// The rules of the two options that take numbers, shared by read_predict_options and the
// typed settings' check.
std::string check_alpha(double alpha) {
  if (alpha > 0 && alpha < 1) return std::string();
  return "Alpha must be in (0, 1), got " + value_text(alpha);
}

std::string check_tolerance(double tolerance) {
  if (tolerance > 0) return std::string();
  return "DeviationTolerance must be positive (Inf: no check), got " + value_text(tolerance);
}

std::string check_rank(const option_value& v, int& rank) {
  double x = 0.0;
  if (option_real_scalar(v, x) && x == std::trunc(x) && x >= 1 && x <= MOST_RANK) {
    rank = static_cast<int>(x);
    return std::string();
  }
  return "Rank must be a whole number from 1 to 1000000, got " + describe_option_value(v);
}

// One of the choices (any case), as its index; the message lists them.
std::string check_choice(const option_value& v, const char* name,
                         const std::vector<const char*>& choices, std::size_t& index) {
  if (v.kind == option_value::type::text) {
    const std::string s = lower(v.text);
    for (index = 0; index < choices.size(); ++index)
      if (s == choices[index]) return std::string();
  }
  std::string list;
  for (std::size_t i = 0; i < choices.size(); ++i) list += (i ? ", '" : "'") + std::string(choices[i]) + "'";
  return std::string(name) + " must be " + list + ", got " + describe_option_value(v);
}

const char* describe_status(solve_status s) {
  return s == solve_status::not_converged ? "the iteration bound" : "below the rounding floor";
}

}  // namespace

predict_option_set::predict_option_set() : values(OPTIONS), given(OPTIONS, false) {}

bool set_predict_option(predict_option_set& set, const std::string& name,
                        const option_value& value, std::string& message) {
  const std::string wanted = lower(name);
  for (int i = 0; i < OPTIONS; ++i) {
    if (lower(OPTION_NAMES[i]) == wanted) {
      set.values[i] = value;
      set.given[i] = true;
      return true;
    }
  }
  message = "unknown option '" + name + "'; the options are";
  for (int i = 0; i < OPTIONS; ++i) message += std::string(i ? ", " : " ") + OPTION_NAMES[i];
  return false;
}

bool read_predict_options(const predict_option_set& set, model_predict_settings& s,
                          std::string& message) {
  for (int i = 0; i < OPTIONS; ++i) {
    if (!set.given[i]) continue;
    const option_value& v = set.values[i];
    std::size_t choice = 0;
    switch (i) {
      case ALPHA: {
        double alpha = 0.0;
        if (!option_real_scalar(v, alpha)) {
          message = "Alpha must be a real numeric scalar, got " + describe_option_value(v);
          return false;
        }
        message = check_alpha(alpha);
        s.alpha = alpha;
        break;
      }
      case PREDICTION:
        message = check_choice(v, "Prediction", {"observation", "curve"}, choice);
        s.prediction = choice == 0 ? deviation_target::observation : deviation_target::curve;
        break;
      case METHOD:
        message = check_choice(v, "Method", {"auto", "exact", "approximate"}, choice);
        s.method = choice == 0 ? deviation_method::automatic
                               : choice == 1 ? deviation_method::exact : deviation_method::approximate;
        break;
      case RANK:
        message = check_rank(v, s.rank);
        break;
      case VERBOSE:
        if (!option_flag(v, s.verbose)) {
          message = "Verbose must be true or false (1 or 0, 'on' or 'off'), got " +
                    describe_option_value(v);
        }
        break;
      case TOLERANCE: {
        double tolerance = 0.0;
        if (!option_real_scalar(v, tolerance)) {
          message = "DeviationTolerance must be a real numeric scalar, got " + describe_option_value(v);
          return false;
        }
        message = check_tolerance(tolerance);
        s.tolerance = tolerance;
        break;
      }
    }
    if (!message.empty()) return false;
  }
  return true;
}

model_dims dims_as_written(const fit_model& m) {
  auto row = [](std::size_t entries) { return field_dims{1, static_cast<std::int64_t>(entries)}; };
  model_dims dims;
  // d from mu, else from the weights; X as one row where neither says.
  std::int64_t d = static_cast<std::int64_t>(m.mu.size());
  if (d == 0 && m.weights.size() > 1) d = static_cast<std::int64_t>(m.weights.size()) - 1;
  dims.X = d > 0 ? field_dims{d, static_cast<std::int64_t>(m.X.size()) / d} : row(m.X.size());
  const std::int64_t n = dims.X.cols;
  dims.alpha = n > 0 ? field_dims{n, static_cast<std::int64_t>(m.alpha.size()) / n} : row(m.alpha.size());
  dims.weights = row(m.weights.size());
  dims.mu = row(m.mu.size());
  dims.sigma = row(m.sigma.size());
  dims.y_mean = row(m.y_mean.size());
  dims.y_scale = row(m.y_scale.size());
  dims.ridge = {1, 1};
  return dims;
}

namespace {

// x >= 0 with erf(x) = a and erfc(x) = complement, given both (a = 1 - complement, in [0, 1);
// complement exact, a rounded where complement < 0.5, used there only for the start).
double positive_inverse(double a, double complement) {
  // The starting value: M. Giles' polynomials in w = -log(1 - a^2) ("Approximating the erfinv
  // function", GPU Computing Gems, 2011), good to about 1e-7 relative over float's range and
  // a few digits beyond it; the Newton steps below do the rest. complement (1 + a) keeps
  // the relative accuracy 1 - a * a would lose.
  const double w0 = -std::log(complement * (1.0 + a));
  double w = w0;
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
  // Beyond w = 36 (complement below about 1e-16) the polynomial is extrapolated too far: the
  // start is the tail's asymptote instead, x^2 = t - log(sqrt(pi t)), t = -log(complement),
  // from erfc(x) ~ exp(-x^2) / (x sqrt(pi)); 1e-3 relative or better there.
  if (w0 > 36.0) {
    const double t = -std::log(complement);
    x = std::sqrt(t - std::log(std::sqrt(3.141592653589793 * t)));
  }
  // Newton steps, whose error falls quadratically: from the starting value's 1e-7, two steps
  // reach rounding; a few more (at most 8 in all) cover its larger error where 1 - a is
  // below float's range. Where a <= 0.5, on erf(x) - a. Where a > 0.5, erf(x) - a would
  // cancel to an ulp of 1, so the steps solve log(erfc(x)) = log(1 - a) instead (1 - a
  // exact, the residual relative to erfc's size): log(erfc) is nearly quadratic in the
  // tail, where Newton on erfc itself creeps from the left by about 0.09 a step.
  // Beyond x = 26.5 the slope 2/sqrt(pi) exp(-x^2) underflows, and erfc(x)/slope is taken
  // from its asymptotic series 1/(2x) (1 - 1/(2x^2) + 3/(4x^4)): a step's direction and
  // size need only be close, the residual log(erfc(x)/complement) decides where it ends.
  const double two_over_root_pi = 1.1283791670955126;  // 2 / sqrt(pi)
  for (int step = 0; step < 12; ++step) {
    const double slope = two_over_root_pi * std::exp(-x * x);
    double dx;
    if (a > 0.5) {
      const double tail = std::erfc(x);
      if (!(tail > 0.0)) {  // erfc underflowed (complement subnormal): back off, try again
        x -= 1.0 / x;
        continue;
      }
      const double u = 1.0 / (2.0 * x * x);
      const double ratio = slope > 0x1p-1000 ? tail / slope : (1.0 - u + 3.0 * u * u) / (2.0 * x);
      dx = -std::log(tail / complement) * ratio;
    } else {
      dx = (std::erf(x) - a) / slope;
    }
    x -= dx;
    if (!(std::fabs(dx) > 0x1p-54 * x)) break;
  }
  return x;
}

}  // namespace

double inverse_erf(double y) {
  if (std::isnan(y) || y < -1.0 || y > 1.0) return std::numeric_limits<double>::quiet_NaN();
  if (y == 0.0) return y;  // keeps the sign of zero
  const double a = std::fabs(y);
  if (a == 1.0) return std::copysign(std::numeric_limits<double>::infinity(), y);
  // 1 - a is exact for a >= 0.5 (Sterbenz); below, only its rounding of the start uses it.
  return std::copysign(positive_inverse(a, 1.0 - a), y);
}

double inverse_erfc(double q) {
  if (std::isnan(q) || q < 0.0 || q > 2.0) return std::numeric_limits<double>::quiet_NaN();
  if (q == 0.0) return std::numeric_limits<double>::infinity();
  if (q == 2.0) return -std::numeric_limits<double>::infinity();
  if (q > 1.0) return -positive_inverse(q - 1.0, 2.0 - q);  // both exact for q in (1, 2)
  return positive_inverse(1.0 - q, q);  // q itself, however small, drives the tail's steps
}

std::string xnew_shape_message(int d, const std::string& got, bool rows_are_features) {
  return printf_text("XNEW must be a real matrix with %d columns (the model's features), one "
                     "observation per row, got a %s%s",
                     d, got.c_str(),
                     rows_are_features ? "; if its columns are the observations, pass XNEW'" : "");
}

model_prediction model_predict(const fit_model& model, const double* Xnew, std::int64_t nt, int d,
                               const model_predict_settings& settings) {
  return model_predict(model, dims_as_written(model), Xnew, nt, d, settings);
}

deviation_method resolved_method(deviation_method method, std::int64_t n, std::int64_t nt) {
  if (method != deviation_method::automatic) return method;
  const double work = static_cast<double>(n) * static_cast<double>(n) * static_cast<double>(nt);
  return work > EXACT_WORK_LIMIT ? deviation_method::approximate : deviation_method::exact;
}

model_prediction model_predict(const fit_model& model, const model_dims& dims, const double* Xnew,
                               std::int64_t nt, int d, const model_predict_settings& settings) {
  std::int64_t n = 0;
  int c = 0;
  const std::string bad_model = check_model(model, dims, settings.name, n, c);
  if (!bad_model.empty()) return refused(model_predict_status::invalid_model, "invalidModel", bad_model);
  const int dm = static_cast<int>(dims.X.rows);
  if (d != dm || nt < 0) {
    return refused(model_predict_status::invalid_input, "invalidInput",
                   xnew_shape_message(dm, printf_text("%lld x %d double", static_cast<long long>(nt), d),
                                      nt == dm));
  }
  int rank = 0;
  std::string bad_setting = check_alpha(settings.alpha);
  if (bad_setting.empty()) bad_setting = check_rank(option_value::number(settings.rank), rank);
  if (bad_setting.empty()) bad_setting = check_tolerance(settings.tolerance);
  if (!bad_setting.empty()) return refused(model_predict_status::invalid_input, "invalidInput", bad_setting);
  for (std::int64_t k = 0; k < nt * d; ++k) {
    if (!std::isfinite(Xnew[k])) {
      return refused(model_predict_status::invalid_input, "invalidInput",
                     printf_text("XNEW must be finite, but XNEW(%lld,%lld) is %s",
                          static_cast<long long>(settings.first_row + k % nt + 1), static_cast<long long>(k / nt + 1),
                          value_text(Xnew[k]).c_str()));
    }
  }
  if (settings.deviations) {
    const std::string bad_ridge = check_ridge(model, dims);
    if (!bad_ridge.empty()) return refused(model_predict_status::invalid_model, "invalidModel", bad_ridge);
    if (settings.cache) {
      const std::string bad_cache = check_deviation_cache(*settings.cache, n);
      if (!bad_cache.empty()) {
        return refused(model_predict_status::invalid_model, "invalidModel",
                       "MODEL.DeviationCache." + bad_cache);
      }
    }
  }

  // The new observations standardised as the fit did, d x nt: (x - mu) / sigma, which a
  // scale far below the spread of the rows can overflow.
  std::vector<double> Xs(static_cast<std::size_t>(nt) * d);
  for (std::int64_t i = 0; i < nt; ++i)
    for (int l = 0; l < d; ++l) {
      const double x = (Xnew[l * nt + i] - model.mu[l]) / model.sigma[l];
      if (!std::isfinite(x)) {
        return refused(model_predict_status::invalid_input, "invalidInput",
                       printf_text("XNEW(%lld,%d) standardised by MODEL.Mu and MODEL.Sigma is %s, not finite "
                            "(MODEL.Sigma(%d) = %g)",
                            static_cast<long long>(settings.first_row + i + 1), l + 1, value_text(x).c_str(), l + 1,
                            model.sigma[l]));
      }
      Xs[i * d + l] = x;
    }

  // The predictions: predict_outputs reads alpha and writes f row-major (one row per
  // sample, the c outputs side by side).
  std::vector<double> A(static_cast<std::size_t>(n) * c), F(static_cast<std::size_t>(nt) * c);
  for (int q = 0; q < c; ++q)
    for (std::int64_t j = 0; j < n; ++j) A[j * c + q] = model.alpha[q * n + j];
  kernel_kind kind = kernel_kind::gaussian;
  if (!model.kernel.empty()) kernel_from_name(model.kernel, kind);  // checked above
  const prediction_result p =
      predict_outputs(Xs.data(), nt, model.X.data(), n, d, model.weights.data(), A.data(), c,
                      F.data(), settings.threads, settings.interrupt_pending, settings.interrupt_state,
                      kind);
  if (!p.ok) {
    return refused(model_predict_status::out_of_memory, "outOfMemory",
                   printf_text("could not allocate %.0f bytes for the sample norms", p.failed_bytes));
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
  const deviation_method method =
      resolved_method(settings.method, n, settings.all_rows >= 0 ? settings.all_rows : nt);
  const bool exact = method == deviation_method::exact;
  const double memory =
      std::isnan(settings.memory_bytes) ? available_memory_bytes() : settings.memory_bytes;
  // The model's cache where it was built for this kernel (not owned: the caller's, valid
  // through the call); else one is built below.
  std::shared_ptr<const deviation_cache> cache;
  if (settings.cache && settings.cache->ridge == ridge && settings.cache->weights == model.weights) {
    cache = std::shared_ptr<const deviation_cache>(settings.cache, [](const deviation_cache*) {});
  }
  variance_settings vs;
  vs.relative_tol = RELATIVE_TOL;
  vs.max_passes = MAX_PASSES;
  vs.max_rank = static_cast<int>(exact && n <= FULL_RANK_EXACT ? n : std::min<std::int64_t>(settings.rank, n));
  // The factor's n x r may take at most CACHE_MEMORY of the memory.
  if (std::isfinite(memory)) {
    const double fits_rank = std::floor(CACHE_MEMORY * memory / (8.0 * static_cast<double>(n)));
    vs.max_rank = static_cast<int>(std::max(1.0, std::min(static_cast<double>(vs.max_rank), fits_rank)));
  }
  vs.rank_tol = RANK_TOL;
  // A batch of exact solves holds about five n x batch arrays: at most a quarter of the
  // memory, so that the kernel cache keeps the rest.
  const double fits = std::max(1.0, std::floor(0.25 * memory / (8.0 * 5.0 * n)));
  vs.batch = static_cast<int>(
      std::min({static_cast<double>(BATCH), fits, static_cast<double>(std::max<std::int64_t>(nt, 1))}));
  // The approximate deviations' check: CHECK_ROWS rows spread evenly, solved exactly.
  const bool checking = !exact && std::isfinite(settings.tolerance) && nt > 0;
  const int check_rows = static_cast<int>(std::min<std::int64_t>(nt, CHECK_ROWS));
  // What the variances hold at once: the factor while it is built, then the cache with
  // the exact solves' arrays (or the approximate rows' and the check's).
  const int r_most = cache ? cache->rank() : vs.max_rank;
  const double building = cache ? 0.0 : deviation_cache_bytes(n, d, r_most);
  double after = 16.0 * r_most * r_most;
  if (exact) after += exact_cached_variance_bytes(n, d, vs.batch, r_most);
  if (!exact) after += approximate_variance_bytes(n, d, r_most) - deviation_cache_bytes(n, d, r_most);
  if (checking) after += exact_cached_variance_bytes(n, d, check_rows, r_most);
  const double held = 8.0 * nt + std::max(building, after);
  operator_setup setup{model.X.data(), static_cast<int>(n), d, model.weights.data(), ridge,
                       static_cast<int>(std::min<std::int64_t>(BLOCK, n)),
                       std::numeric_limits<double>::infinity()};
  setup.memory_bytes = memory;
  setup.other_bytes = held;
  setup.other_what = "the variances' arrays, more than the memory available to this process";
  setup.threads = settings.threads;
  setup.interrupt_pending = settings.interrupt_pending;
  setup.interrupt_state = settings.interrupt_state;
  setup.kind = kind;
  kernel_operator op;
  allocation_failure failure;
  if (!op.prepare(setup, failure)) {
    return refused(model_predict_status::out_of_memory, "outOfMemory",
                   printf_text("could not allocate %.0f bytes for %s", failure.bytes, failure.what));
  }
  const double amplitude = model.weights[d];
  // A failed step's refusal, or an empty message.
  auto failed = [&](const variance_result& r, model_prediction& refusal) {
    if (r.status == solve_status::interrupted) {
      refusal = refused(model_predict_status::interrupted, "interrupted", "interrupted by the user");
    } else if (r.status == solve_status::out_of_memory) {
      refusal = refused(model_predict_status::out_of_memory, "outOfMemory",
                        printf_text("could not allocate %.0f bytes for the variances' arrays", r.failed_bytes));
    } else if (r.status == solve_status::breakdown) {
      refusal = refused(model_predict_status::breakdown, "breakdown",
                        printf_text("the deviations overflow double precision (amplitude %g, ridge %g): "
                                    "rescale Y and fit again", amplitude, ridge));
    } else {
      return false;
    }
    return true;
  };
  auto not_converged = [&](const variance_result& r, const char* which) {
    out.warnings.push_back(
        {"notConverged",
         printf_text("the exact solves %s did not reach their tolerance (status %d: %s), so %s may be "
                     "far off; K + Ridge * I is too ill-conditioned in double precision for them, and "
                     "a larger Ridge gives ones to trust",
                     which, static_cast<int>(r.status), describe_status(r.status),
                     exact ? "the deviations" : "the check")});
  };
  model_prediction refusal;
  double build_seconds = 0.0;
  if (!cache) {
    auto built = std::make_shared<deviation_cache>();
    const variance_result b = build_deviation_cache(op, vs, *built);
    if (failed(b, refusal)) return refusal;
    built->weights = model.weights;
    built->ridge = ridge;
    cache = built;
    out.cache_built = true;
    build_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  std::vector<double> v(static_cast<std::size_t>(nt));
  const variance_result r = exact ? exact_variances(op, *cache, Xs.data(), nt, vs, v.data())
                                  : cached_variances(op, *cache, Xs.data(), nt, v.data());
  if (failed(r, refusal)) return refusal;
  if (r.status != solve_status::converged) not_converged(r, "for the deviations");

  // Each deviation of the kind asked from its latent variance.
  const bool observation = settings.prediction == deviation_target::observation;
  auto deviation = [&](double var) { return std::sqrt(observation ? var + ridge : var); };
  if (checking) {
    // Rows (2j + 1) nt / (2 m), j = 0 ... m - 1, solved exactly with the cache's
    // preconditioner: the relative errors of their deviations, their 95th percentile by the
    // nearest rank and the largest.
    std::vector<double> Xc(static_cast<std::size_t>(check_rows) * d), vc(check_rows);
    std::vector<std::int64_t> rows(check_rows);
    for (int j = 0; j < check_rows; ++j) {
      rows[j] = (2 * static_cast<std::int64_t>(j) + 1) * nt / (2 * static_cast<std::int64_t>(check_rows));
      std::copy(Xs.begin() + rows[j] * d, Xs.begin() + (rows[j] + 1) * d, Xc.begin() + static_cast<std::int64_t>(j) * d);
    }
    variance_settings cs = vs;
    cs.batch = check_rows;
    cs.relative_tol = CHECK_TOL;
    const variance_result checked = exact_variances(op, *cache, Xc.data(), check_rows, cs, vc.data());
    if (failed(checked, refusal)) return refusal;
    if (checked.status != solve_status::converged) not_converged(checked, "that check the approximate deviations");
    std::vector<double> errors(check_rows);
    for (int j = 0; j < check_rows; ++j) {
      const double want = deviation(vc[j]);
      errors[j] = std::fabs(deviation(v[rows[j]]) - want) / want;
    }
    std::sort(errors.begin(), errors.end());
    out.checked_rows = check_rows;
    out.estimated_error = errors[static_cast<std::size_t>(std::ceil(0.95 * check_rows)) - 1];
    out.largest_checked_error = errors.back();
    out.passes = checked.passes;
    if (out.estimated_error > settings.tolerance) {
      out.warnings.push_back(
          {"approximate",
           printf_text("the approximate deviations (Prediction '%s') are off by about %.3g%% at the "
                       "95th percentile of %d rows checked against exact solves (the largest %.3g%%), "
                       "above DeviationTolerance %g; their factor has rank %d and leaves out up to "
                       "%.2g of the kernel's diagonal against a Ridge of %.2g: a larger Rank, or "
                       "Method 'exact', gives closer ones",
                       observation ? "observation" : "curve", 100.0 * out.estimated_error, check_rows,
                       100.0 * out.largest_checked_error, settings.tolerance, r.rank,
                       r.largest_residual, ridge)});
    }
  }

  // The deviations: those of the kernel the outputs share, times each output's scale
  // (its targets were fitted divided by it); and the intervals Ypred -/+ z sd.
  out.deviations.resize(out.predictions.size());
  for (std::int64_t i = 0; i < nt; ++i) {
    const double shared = deviation(v[i]);
    for (int q = 0; q < c; ++q)
      out.deviations[q * nt + i] = model.y_scale.empty() ? shared : model.y_scale[q] * shared;
  }
  // The two-sided normal quantile sqrt(2) erfcinv(alpha), from alpha itself: 1 - alpha
  // would round away alpha's digits below 2^-53 (and all of it below 2^-54).
  out.z = std::sqrt(2.0) * inverse_erfc(settings.alpha);
  out.lower.resize(out.predictions.size());
  out.upper.resize(out.predictions.size());
  for (int q = 0; q < c; ++q)
    for (std::int64_t i = 0; i < nt; ++i) {
      const double half = out.z * out.deviations[q * nt + i];
      out.lower[q * nt + i] = out.predictions[q * nt + i] - half;
      out.upper[q * nt + i] = out.predictions[q * nt + i] + half;
    }

  out.method = method;
  if (exact) out.passes = r.passes;
  out.rank = r.rank;
  out.cache = cache;
  out.largest_residual = r.largest_residual;
  out.threads = op.schedule().parts();
  out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const std::string factor_text =
      out.cache_built ? printf_text("built in %.1f s", build_seconds) : std::string("the model's");
  std::string how =
      exact ? printf_text("exactly, %.0f passes over K preconditioned by a factor of rank %d (%s)",
                          r.passes, r.rank, factor_text.c_str())
            : printf_text("approximately, a factor of rank %d (%s; its largest left-out diagonal "
                          "%.2g Ridge)", r.rank, factor_text.c_str(), r.largest_residual / ridge);
  if (out.checked_rows > 0) {
    how += printf_text(", relative error %.2g at the 95th percentile of %d rows checked exactly "
                       "(%.0f passes)", out.estimated_error, out.checked_rows, out.passes);
  }
  out.progress_line = printf_text("%s: deviations of %lld rows %s (n = %lld) in %.1f s",
                           settings.name.c_str(), static_cast<long long>(settings.all_rows >= 0 ? settings.all_rows : nt), how.c_str(),
                           static_cast<long long>(n), out.seconds);
  if (settings.verbose && settings.progress) settings.progress(out.progress_line);
  return out;
}

}  // namespace krr
