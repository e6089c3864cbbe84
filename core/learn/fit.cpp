// The learner's entry (fit.h): the data and options checked, the features standardised and
// the targets centred, the memory check, the dense search with restarts, the moved start,
// the polish on all observations, the bounds warning and the model. The scalable stage,
// its check and the final solve are in fit_scalable.cpp.
//
// Coordinates: theta = log([w_1 ... w_d, amplitude, ridge]), w_l = 1 / (2 l_l^2) in
// standardised units, maximised by L-BFGS (lbfgs.h) within the bounds, the fixed entries
// held. A start where K + ridge I does not factorise moves to ridge = s / (1e8 - 1), s the
// largest row sum of K: the eigenvalues of K + ridge I lie in [ridge, s + ridge], so its
// condition number is then at most 1e8, by arithmetic on K alone.
#include "core/exact_arithmetic.h"

#include "core/learn/fit.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <limits>

#include "core/learn/dense_objective.h"
#include "core/learn/fit_stages.h"
#include "core/parallel/system_resources.h"

namespace krr {
namespace fitting {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

bool context::fail(fit_status st, const char* code, const std::string& message) {
  if (status == fit_status::done) {
    status = st;
    error = {code, message};
  }
  return false;
}

void context::say(const std::string& line) const {
  if (s.verbose && env.progress) env.progress(line);
}

double context::seconds() const {
  if (env.seconds) return env.seconds();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool context::stop_requested() {
  if (failed()) return true;
  if (env.interrupt_pending && env.interrupt_pending(env.interrupt_state)) {
    fail(fit_status::interrupted, "interrupted", "interrupted by the user");
    return true;
  }
  return false;
}

std::vector<int> context::free_entries() const {
  std::vector<int> f;
  for (int i = 0; i < d + 2; ++i)
    if (!p.fixed[i]) f.push_back(i);
  return f;
}

std::string context::stage_name(const std::string& label) const {
  const std::string prefix = env.name + " ";
  return label.compare(0, prefix.size(), prefix) == 0 ? label.substr(prefix.size()) : label;
}

bool poll_stop(void* ctx) { return static_cast<context*>(ctx)->stop_requested(); }

std::vector<double> fill_in(const std::vector<double>& theta, const std::vector<int>& free,
                            const double* t) {
  std::vector<double> full = theta;
  for (size_t k = 0; k < free.size(); ++k) full[free[k]] = t[k];
  return full;
}

dense_objective_result dense_value(context& ctx, const double* X, std::int64_t m,
                                   const double* Y, const std::vector<double>& theta,
                                   bool gradient) {
  dense_objective_settings settings;
  settings.gradient = gradient;
  settings.threads = ctx.env.threads;
  settings.interrupt_pending = &poll_stop;
  settings.interrupt_state = &ctx;
  settings.kind = ctx.kernel;
  dense_objective_result r = dense_objective(X, ctx.d, m, Y, ctx.c, theta.data(), settings);
  if (r.status == dense_objective_status::interrupted) {
    ctx.fail(fit_status::interrupted, "interrupted", "interrupted by the user");
  } else if (r.status == dense_objective_status::out_of_memory) {
    ctx.fail(fit_status::out_of_memory, "outOfMemory",
             printf_text("could not allocate %.0f bytes for %s", r.failure.bytes,
                  r.failure.what ? r.failure.what : "the dense objective's arrays"));
  }
  if (ctx.failed()) r.factorised = false;
  return r;
}

void take_rows(const context& ctx, const std::vector<std::int64_t>& rows, std::vector<double>& X,
               std::vector<double>& Y) {
  const std::int64_t m = static_cast<std::int64_t>(rows.size());
  X.resize(static_cast<size_t>(ctx.d) * m);
  Y.resize(static_cast<size_t>(m) * ctx.c);
  for (std::int64_t j = 0; j < m; ++j) {
    std::copy(ctx.Xs.begin() + rows[j] * ctx.d, ctx.Xs.begin() + (rows[j] + 1) * ctx.d,
              X.begin() + j * ctx.d);
    for (int q = 0; q < ctx.c; ++q) Y[q * m + j] = ctx.Yc[q * ctx.n + rows[j]];
  }
}

lbfgs_options stage_options(const context& ctx, const std::string& label) {
  lbfgs_options o;
  o.max_iterations = ctx.s.max_iterations;
  o.memory = 10;
  o.gradient_tolerance = 1e-5;
  o.value_tolerance = 1e-7;
  o.max_step = 2.0;
  o.label = label;
  return o;
}

lbfgs_result run_optimiser(context& ctx, const lbfgs_objective& fun, lbfgs_hooks hooks,
                           const lbfgs_options& o, const std::vector<double>& theta,
                           const std::vector<int>& free) {
  hooks.progress = [&](const lbfgs_row&, const std::string& line) { ctx.say(line); };
  hooks.seconds = [&] { return ctx.seconds(); };
  hooks.interrupt_pending = &poll_stop;
  hooks.interrupt_state = &ctx;
  std::vector<double> x0(free.size()), lo(free.size()), hi(free.size());
  for (size_t k = 0; k < free.size(); ++k) {
    x0[k] = theta[free[k]];
    lo[k] = ctx.p.lo[free[k]];
    hi[k] = ctx.p.hi[free[k]];
  }
  return maximise_lbfgs(fun, x0.data(), lo.data(), hi.data(), static_cast<int>(free.size()), o,
                        hooks, ctx.history);
}

namespace {

// A start where K + ridge I factorises: where it does not, the ridge raised to where the
// condition number is at most 1e8 (with a warning), stepping up by factors of 16 from there
// as a safeguard, at most to its upper bound (for a fixed ridge, RidgeBounds' upper end);
// notPositiveDefinite where even that does not factorise.
bool factorising_start(context& ctx, const double* X, std::int64_t m, const double* Y,
                       std::vector<double>& theta, const std::string& label) {
  const double kappa = 1e8;
  const dense_objective_result first = dense_value(ctx, X, m, Y, theta, false);
  if (ctx.failed()) return false;
  if (std::isfinite(first.value)) return true;
  const int r = ctx.d + 1;
  const double given = std::exp(theta[r]);
  const double limit = ctx.p.fixed[r] ? ctx.p.ridge_limit : ctx.p.hi[r];
  const double bounded = std::log(first.lambda_bound / (kappa - 1));
  double trial = std::max(bounded, theta[r] + std::log(2.0));
  while (true) {
    trial = std::min(trial, limit);
    theta[r] = trial;
    const dense_objective_result e = dense_value(ctx, X, m, Y, theta, false);
    if (ctx.failed()) return false;
    if (std::isfinite(e.value)) break;
    if (trial >= limit) {
      return ctx.fail(
          fit_status::not_positive_definite, "notPositiveDefinite",
          printf_text("K + Ridge*I is not positive definite in double precision at the start of stage "
               "%s, even with Ridge raised to %s, the upper end of RidgeBounds: raise "
               "RidgeBounds(2), lower the Amplitude, or remove duplicated observations",
               ctx.stage_name(label).c_str(), format_number("%g", std::exp(limit)).c_str()));
    }
    trial = trial + std::log(16.0);
  }
  const std::string note = !ctx.p.fixed[r]
                               ? "the search starts from there"
                               : "Ridge is fixed, so the model keeps this larger Ridge, not the "
                                 "one given";
  std::string why;
  if (theta[r] >= bounded) {
    why = printf_text("where its condition number is at most %g (the largest row sum of K over Ridge, "
               "plus 1), so that the coefficients are not rounding noise",
               kappa);
  } else {
    why = printf_text("the upper end of RidgeBounds, where it factorises but its condition number may "
               "reach %s: the coefficients may carry rounding error; a Ridge of %s (raise "
               "RidgeBounds(2)) would bound it by %g",
               format_number("%.3g", 1 + first.lambda_bound / std::exp(theta[r])).c_str(),
               format_number("%.3g", std::exp(bounded)).c_str(), kappa);
  }
  ctx.warn("startMoved",
           printf_text("K + Ridge*I is not positive definite in double precision at the start of stage "
                "%s (Ridge = %s); Ridge raised to %s, %s; %s",
                ctx.stage_name(label).c_str(), format_number("%g", given).c_str(),
                format_number("%g", std::exp(theta[r])).c_str(), why.c_str(), note.c_str()));
  return true;
}

// One exact stage from theta (already factorising): L-BFGS on the dense objective of the
// m observations X, Y over the free entries. Writes the point reached and its value. A
// stage that used up MaxIterations (at least one) with its largest projected gradient
// component still above the tolerance is recorded in ctx.capped under base_label (the
// search it belongs to); one that met the tolerance on its last iteration is not, since it
// would have stopped there at the next check.
bool exact_stage(context& ctx, const double* X, std::int64_t m, const double* Y,
                 std::vector<double>& theta, const std::string& label,
                 const std::string& base_label, double& f) {
  const std::vector<int> free = ctx.free_entries();
  const std::vector<double> base = theta;
  double evaluations = 0, value_error = 0;
  lbfgs_objective fun = [&](const double* t, double* g, double*) {
    const std::vector<double> full = fill_in(base, free, t);
    const dense_objective_result r = dense_value(ctx, X, m, Y, full, true);
    evaluations += 1;
    value_error = r.value_error;
    for (size_t k = 0; k < free.size(); ++k) g[k] = r.factorised ? r.gradient[free[k]] : NaN;
    return ctx.failed() ? NaN : r.value;
  };
  lbfgs_hooks hooks;
  hooks.profile = [&] { return std::array<double, 4>{evaluations, NaN, NaN, NaN}; };
  // The factorisation's rounding of each value: the line search stops where a step's
  // possible rise is within it, rather than halving on to no move.
  hooks.value_error = [&] { return value_error; };
  const lbfgs_result r = run_optimiser(ctx, fun, hooks, stage_options(ctx, label), theta, free);
  if (ctx.failed()) return false;
  if (r.status == lbfgs_status::not_finite_start) {
    return ctx.fail(fit_status::not_finite_start, "notFiniteStart",
                    "the objective or its gradient is not finite at the start of stage " +
                        ctx.stage_name(label));
  }
  if (r.status == lbfgs_status::invalid_arguments)
    return ctx.fail(fit_status::invalid_input, "invalidInput", r.message);
  const lbfgs_options used = stage_options(ctx, label);
  if (r.status == lbfgs_status::iteration_limit && used.max_iterations > 0 &&
      !ctx.history.empty() && ctx.history.back()[2] > used.gradient_tolerance) {
    ctx.capped.push_back({ctx.stage_name(label), ctx.stage_name(base_label), ctx.history.back()[2]});
  }
  theta = fill_in(base, free, r.x.data());
  f = r.f;
  return true;
}

// The weighted squared distance s beyond which the kernel's off-diagonal entry is below
// half an ulp of the amplitude: 53 log 2 for the Gaussian's exp(-s); for a Matern kernel the
// s where p(a) exp(-a) first falls to 2^-53, found by bisection on a.
double diagonal_distance(kernel_kind kind) {
  if (kind == kernel_kind::gaussian) return 53 * std::log(2.0);
  double lo = 0.0, hi = 100.0;  // p(100) exp(-100) is far below 2^-53 for every kind
  for (int i = 0; i < 200; ++i) {
    const double mid = lo / 2 + hi / 2;
    (matern_value(kind, mid, std::exp(-mid), 1.0) > 0x1p-53 ? lo : hi) = mid;
  }
  const double c = kind == kernel_kind::matern12 ? 1.0 : kind == kernel_kind::matern32 ? 3.0 : 5.0;
  return hi * hi / (2 * c);  // a = sqrt(c) r, s = r^2 / 2
}

// Whether K of the m observations X (d x m) at theta is numerically diagonal: for every
// pair, sum_l w_l (x_il - x_jl)^2 above diagonal_distance, so that each off-diagonal entry
// is below half an ulp of the amplitude on the diagonal. Each pair's sum stops once it
// passes the threshold, and the scan at the first pair within it, so a kernel that is not
// diagonal costs little.
bool numerically_diagonal(const context& ctx, const double* X, std::int64_t m,
                          const std::vector<double>& theta) {
  const double threshold = diagonal_distance(ctx.kernel);
  const int d = ctx.d;
  std::vector<double> w(d);
  for (int l = 0; l < d; ++l) w[l] = std::exp(theta[l]);
  for (std::int64_t i = 0; i < m; ++i)
    for (std::int64_t j = i + 1; j < m; ++j) {
      double r = 0.0;
      for (int l = 0; l < d && r <= threshold; ++l) {
        const double t = X[i * d + l] - X[j * d + l];
        r += w[l] * t * t;
      }
      if (r <= threshold) return false;
    }
  return true;
}

// A start whose length scales make K numerically diagonal (given LengthScales far below
// the spacing of the observations) has a likelihood with no slope in the length scales
// (each off-diagonal entry and its derivatives round to nothing), so the search cannot
// leave it and would end where it began, predicting the mean. A user who gave a start, not
// Fixed length scales, expects the maximum a usable start leads to, so the free length
// scales move to their default (sqrt(d) standardised units, within their bounds), with a
// warning, as a ridge that does not factorise is raised; the amplitude and ridge keep
// theirs. Where the default is diagonal too, nothing would be gained and the start stays.
void leave_diagonal_start(context& ctx, const double* X, std::int64_t m, const std::string& label) {
  std::vector<double>& theta = ctx.p.theta;
  bool any_free = false;
  for (int l = 0; l < ctx.d; ++l) any_free = any_free || !ctx.p.fixed[l];
  if (!any_free || m < 2 || !numerically_diagonal(ctx, X, m, theta)) return;
  std::vector<double> moved = theta;
  const double sd = std::sqrt(static_cast<double>(ctx.d));  // as check_data_options has it
  const double w_default = std::log(1.0 / (2.0 * sd * sd));
  for (int l = 0; l < ctx.d; ++l)
    if (!ctx.p.fixed[l]) moved[l] = std::min(std::max(w_default, ctx.p.lo[l]), ctx.p.hi[l]);
  if (numerically_diagonal(ctx, X, m, moved)) return;
  theta = moved;
  ctx.warn("startMoved",
           printf_text("K is numerically diagonal at the start of stage %s: at the LengthScales given, "
                "every pair of observations lies more than %s length scales apart, so every "
                "off-diagonal entry is below the rounding level of the Amplitude and the "
                "likelihood has no slope in the length scales to leave by; the free length "
                "scales start from their default (sqrt(d) standardised units) instead",
                ctx.stage_name(label).c_str(),
                format_number("%.3g", std::sqrt(2 * diagonal_distance(ctx.kernel))).c_str()));
}

// The exact search from theta0 and Restarts perturbed starts (theta0 plus spread times
// seeded normals: 1 per log w, 0.5 for the amplitude, 1 for the ridge, clipped to the
// bounds, the fixed entries kept): the best end is kept.
bool dense_search(context& ctx, const double* X, std::int64_t m, const double* Y,
                  const std::string& base_label, std::vector<double>& theta,
                  double* best_value = nullptr) {
  const int D = ctx.d + 2;
  leave_diagonal_start(ctx, X, m, base_label);
  const std::vector<double>& theta0 = ctx.p.theta;
  std::vector<std::vector<double>> starts = {theta0};
  if (ctx.s.restarts > 0) {
    const std::vector<double> z = seeded_normals(static_cast<std::int64_t>(D) * ctx.s.restarts, ctx.s.seed);
    for (int r = 0; r < ctx.s.restarts; ++r) {
      std::vector<double> start(D);
      for (int i = 0; i < D; ++i) {
        const double spread = i < ctx.d ? 1.0 : (i == ctx.d ? 0.5 : 1.0);
        start[i] = std::min(std::max(theta0[i] + spread * z[r * D + i], ctx.p.lo[i]), ctx.p.hi[i]);
        if (ctx.p.fixed[i]) start[i] = theta0[i];
      }
      starts.push_back(start);
    }
  }
  double best = -std::numeric_limits<double>::infinity();
  theta = theta0;
  for (size_t r = 0; r < starts.size(); ++r) {
    std::string label = base_label;
    if (starts.size() > 1)
      label = printf_text("%s, start %d of %d", base_label.c_str(), static_cast<int>(r + 1),
                   static_cast<int>(starts.size()));
    std::vector<double> start = starts[r];
    if (!factorising_start(ctx, X, m, Y, start, label)) return false;
    double f = 0.0;
    if (!exact_stage(ctx, X, m, Y, start, label, base_label, f)) return false;
    if (f > best) {
      best = f;
      theta = start;
    }
  }
  if (best_value) *best_value = best;
  return true;
}

// The first exact search (on all observations, or on the subset) with the kernel asked for;
// with 'auto', once per kernel from the same start, each stage labelled with its kernel, and
// the kernel of the highest log marginal likelihood kept (the first among equals) with its
// end: the others' objectives go to the model. Where a kernel's search fails (a start that
// does not factorise, an interrupt), the fit fails as with one kernel.
bool first_search(context& ctx, const double* X, std::int64_t m, const double* Y,
                  const std::string& base_label, std::vector<double>& theta,
                  std::vector<double>& objectives) {
  if (!ctx.s.kernel_auto) return dense_search(ctx, X, m, Y, base_label, theta);
  const kernel_kind kinds[] = {kernel_kind::gaussian, kernel_kind::matern12, kernel_kind::matern32,
                               kernel_kind::matern52};
  const std::vector<double> start = ctx.p.theta;
  double best = -std::numeric_limits<double>::infinity();
  kernel_kind chosen = kernel_kind::gaussian;
  std::string chosen_label;
  objectives.clear();
  for (kernel_kind kind : kinds) {
    ctx.kernel = kind;
    ctx.p.theta = start;
    // The label closes with the kernel: "krrfit (exact, 2000 of 9000, matern32)".
    const std::string label = base_label.substr(0, base_label.size() - 1) + ", " + kernel_name(kind) + ")";
    std::vector<double> end;
    double f = 0.0;
    if (!dense_search(ctx, X, m, Y, label, end, &f)) return false;
    objectives.push_back(f);
    if (f > best || objectives.size() == 1) {
      best = f;
      chosen = kind;
      chosen_label = ctx.stage_name(label);
      theta = end;
    }
  }
  ctx.kernel = chosen;
  ctx.p.theta = start;
  // Only the kept kernel's searches can leave the model short of its maximum: the others'
  // iteration limits are not warned of.
  std::vector<context::capped_stage> kept;
  for (const auto& c : ctx.capped)
    if (c.base == chosen_label) kept.push_back(c);
  ctx.capped = kept;
  ctx.say(printf_text("%s: kernel %s chosen (log marginal likelihood %s; squaredexponential %s, "
                      "matern12 %s, matern32 %s, matern52 %s)",
                      ctx.env.name.c_str(), kernel_name(chosen), format_number("%.6g", best).c_str(),
                      format_number("%.6g", objectives[0]).c_str(),
                      format_number("%.6g", objectives[1]).c_str(),
                      format_number("%.6g", objectives[2]).c_str(),
                      format_number("%.6g", objectives[3]).c_str()));
  return true;
}

// One warning naming every free parameter that ended within 0.1% of a bound, with what to
// change; a length scale at its long end is not named (an irrelevant feature).
void warn_at_bounds(context& ctx, const std::vector<double>& theta, const std::vector<double>& sigma) {
  const double margin = 1e-3;
  const int d = ctx.d;
  std::vector<std::string> items;
  auto at_low = [&](int i) { return !ctx.p.fixed[i] && theta[i] - ctx.p.lo[i] <= margin; };
  auto at_high = [&](int i) { return !ctx.p.fixed[i] && ctx.p.hi[i] - theta[i] <= margin; };
  for (int l = 0; l < d; ++l)
    if (at_high(l))
      items.push_back(printf_text("LengthScales(%d) at its lower bound %s: lower LengthScaleBounds(1) "
                           "if the feature varies that fast",
                           l + 1,
                           format_number("%g", std::sqrt(1 / (2 * std::exp(ctx.p.hi[l]))) * sigma[l]).c_str()));
  const char* names[2][3] = {{"Amplitude", "AmplitudeBounds", ""},
                             {"Ridge", "RidgeBounds", " (a ridge pushed up can also mean outliers in Y)"}};
  for (int i = 0; i < 2; ++i) {
    const int p = d + i;
    if (at_low(p))
      items.push_back(printf_text("%s at its lower bound %s: lower %s(1)", names[i][0],
                           format_number("%g", std::exp(ctx.p.lo[p])).c_str(), names[i][1]));
    else if (at_high(p))
      items.push_back(printf_text("%s at its upper bound %s: raise %s(2)%s", names[i][0],
                           format_number("%g", std::exp(ctx.p.hi[p])).c_str(), names[i][1],
                           names[i][2]));
  }
  if (items.empty()) return;
  std::string joined;
  for (size_t k = 0; k < items.size(); ++k) joined += (k ? "; " : "") + items[k];
  ctx.warn("atBound", "ended at a bound, where the likelihood may still rise beyond it: " + joined);
}

// One warning for the exact stages that ran out of MaxIterations short of the tolerance
// (ctx.capped), naming each (at most four, then a count) with the largest gradient
// component it left; and the note Method carries ("" where none did).
std::string warn_iteration_limit(context& ctx) {
  if (ctx.capped.empty()) return "";
  const double tolerance = stage_options(ctx, "").gradient_tolerance;
  std::string items;
  const size_t shown = std::min<size_t>(ctx.capped.size(), 4);
  for (size_t k = 0; k < shown; ++k)
    items += printf_text("%sin stage %s it was %s", k ? "; " : "", ctx.capped[k].stage.c_str(),
                  format_number("%.3g", ctx.capped[k].gradient).c_str());
  if (ctx.capped.size() > shown)
    items += printf_text("; and in %d more starts", static_cast<int>(ctx.capped.size() - shown));
  ctx.warn("iterationLimit",
           printf_text("stopped at MaxIterations = %d with the largest gradient component "
                "(in the log hyperparameters) still above %s, so the hyperparameters may be short "
                "of the maximum: %s; raise MaxIterations",
                ctx.s.max_iterations, format_number("%g", tolerance).c_str(), items.c_str()));
  std::vector<std::string> stages;
  for (const auto& c : ctx.capped)
    if (std::find(stages.begin(), stages.end(), c.base) == stages.end()) stages.push_back(c.base);
  std::string note = "; MaxIterations reached in stage";
  for (size_t k = 0; k < stages.size(); ++k) note += (k ? " and " : " ") + stages[k];
  return note;
}

bool check_memory(context& ctx, std::int64_t m) {
  const double needed = dense_stage_bytes(m);
  if (needed <= ctx.memory) return true;
  return ctx.fail(
      fit_status::out_of_memory, "outOfMemory",
      printf_text("the exact (dense) fit of %lld observations needs about %.0f bytes (%.3g GB: five "
           "%lld x %lld matrices of doubles), but this process may use %.0f bytes (%.3g GB); use "
           "'Method', 'scalable' with a smaller SubsetSize and PolishLimit, or raise "
           "KRR_MEMORY_LIMIT",
           static_cast<long long>(m), needed, needed / 1e9, static_cast<long long>(m),
           static_cast<long long>(m), ctx.memory, ctx.memory / 1e9));
}

// The mean and standard deviation (n - 1) of v[0 .. n), computed on v scaled by 2^-e with e
// the exponent of its largest magnitude (largest = f 2^e, f in [0.5, 1)), in a fixed order:
// the scaling is exact, so neither sum overflows nor underflows, and the results are those
// of the unscaled sums wherever those stayed in range. mean and sd are in the scaled units
// (times 2^e in v's); false, with nothing set, where every entry is 0.
bool scaled_moments(const double* v, std::int64_t n, int& e, double& mean, double& sd) {
  double largest = 0.0;
  for (std::int64_t i = 0; i < n; ++i) largest = std::max(largest, std::fabs(v[i]));
  if (largest == 0) return false;
  std::frexp(largest, &e);
  double sum = 0.0;
  for (std::int64_t i = 0; i < n; ++i) sum += std::ldexp(v[i], -e);
  mean = sum / static_cast<double>(n);
  double sq = 0.0;
  for (std::int64_t i = 0; i < n; ++i) {
    const double u = std::ldexp(v[i], -e) - mean;
    sq += u * u;
  }
  sd = std::sqrt(sq / static_cast<double>(n - 1));
  return true;
}

// The scales of several outputs, which share one kernel: column q of the centred Y is
// fitted divided by y_scale[q] = s_q / g, s_q its standard deviation and g the geometric
// mean of the s_q, so that a column in large units neither sets the shared amplitude and
// ridge alone nor drowns the others' length scales, while the scaled targets keep units
// like Y's. Each s_q is computed as the features' deviations are (on the column scaled by
// the power of two at its largest magnitude, in a fixed order: no overflow nor underflow),
// and the scales from logarithms, so that no product of deviations overflows. A constant
// column (s_q = 0) keeps the scale 1 and is left out of g. Since the logarithms of the
// scales sum to 0, the Jacobian of the scaling, prod_q y_scale[q]^-n, is 1: the log
// marginal likelihood of the scaled targets is that of Y under the model whose column q
// has y_scale[q]^2 times the kernel and the noise variance, with no term added. One output
// keeps the scale 1 exactly (the model of the unscaled column, bit for bit).
bool target_scales(context& ctx, const double* Y, std::vector<double>& y_scale) {
  const std::int64_t n = ctx.n;
  const int c = ctx.c;
  y_scale.assign(c, 1.0);
  if (c < 2) return true;
  std::vector<double> log_sd(c, 0.0);
  std::vector<bool> varies(c, false);
  double log_sum = 0.0;
  int varying = 0;
  for (int q = 0; q < c; ++q) {
    int e = 0;
    double m = 0.0, sd = 0.0;
    if (!scaled_moments(Y + static_cast<size_t>(q) * n, n, e, m, sd) || sd == 0) continue;
    log_sd[q] = std::log(sd) + e * std::log(2.0);
    varies[q] = true;
    log_sum += log_sd[q];
    ++varying;
  }
  if (varying == 0) return true;
  const double log_g = log_sum / varying;
  for (int q = 0; q < c; ++q) {
    if (!varies[q]) continue;
    y_scale[q] = std::exp(log_sd[q] - log_g);
    if (!std::isnormal(y_scale[q])) {
      return ctx.fail(
          fit_status::invalid_input, "invalidInput",
          printf_text("column %d of Y has a standard deviation e^%.6g times the geometric mean of "
               "the columns' deviations, outside the range of normal doubles (%g to %g), so "
               "it cannot be scaled to share their kernel: fit it on its own",
               q + 1, log_sd[q] - log_g, std::numeric_limits<double>::min(),
               std::numeric_limits<double>::max()));
    }
  }
  return true;
}

bool run(context& ctx, const double* X, const double* Y, fit_model& model) {
  const std::int64_t n = ctx.n;
  const int d = ctx.d, c = ctx.c;
  // Standardised features (one observation per column), centred targets (scaled where there
  // are several: target_scales). Each feature's mean and standard deviation are computed on
  // the feature scaled by 2^-e, 2^e the power of two at or above its largest magnitude:
  // every scaled value lies in [-1, 1], so the sums and squares neither overflow nor
  // underflow at any scale, and the scaling is exact but for values far below the largest
  // that it takes under the normal range (so the mean, the deviation and the standardised
  // values have the bits they had when computed unscaled, wherever that neither overflowed
  // nor underflowed). The standardised values are formed from the scaled ones, where x - mu
  // cannot overflow. A constant feature keeps sigma 1 (it adds nothing to any distance); a
  // feature whose deviation, scaled back, is not a normal double is refused: predictions
  // standardise with the model's Mu and Sigma, which could not hold it.
  std::vector<double> mu(d, 0.0), sigma(d, 1.0), y_mean(c, 0.0);
  std::vector<int> exponent(d, 0);   // e of each feature
  std::vector<double> mu_scaled(d, 0.0), sigma_scaled(d, 1.0);
  if (ctx.s.standardize) {
    for (int l = 0; l < d; ++l) {
      double m = 0.0, sd = 0.0;
      if (!scaled_moments(X + static_cast<size_t>(l) * n, n, exponent[l], m, sd)) continue;
      const int e = exponent[l];
      mu[l] = std::ldexp(m, e);
      if (sd == 0) {  // constant: x - mu, as unscaled
        exponent[l] = 0;
        mu_scaled[l] = mu[l];
        continue;
      }
      const double sigma_l = std::ldexp(sd, e);
      if (!std::isnormal(sigma_l)) {
        return ctx.fail(
            fit_status::invalid_input, "invalidInput",
            printf_text("feature %d of X has a standard deviation of %s times 2^%d, outside the range "
                 "of normal doubles (%g to %g), so its standardised values cannot be represented: "
                 "rescale it",
                 l + 1, format_number("%.6g", sd).c_str(), e,
                 std::numeric_limits<double>::min(), std::numeric_limits<double>::max()));
      }
      mu_scaled[l] = m;
      sigma_scaled[l] = sd;
      sigma[l] = sigma_l;
    }
  }
  if (ctx.s.center_targets) {
    for (int q = 0; q < c; ++q) {
      double sum = 0.0;
      for (std::int64_t i = 0; i < n; ++i) sum += Y[q * n + i];
      y_mean[q] = sum / static_cast<double>(n);
    }
  }
  ctx.Xs.resize(static_cast<size_t>(d) * n);
  for (std::int64_t j = 0; j < n; ++j)
    for (int l = 0; l < d; ++l)
      ctx.Xs[j * d + l] = (std::ldexp(X[l * n + j], -exponent[l]) - mu_scaled[l]) / sigma_scaled[l];
  std::vector<double> y_scale;
  if (!target_scales(ctx, Y, y_scale)) return false;
  ctx.Yc.resize(static_cast<size_t>(n) * c);
  double var_sum = 0.0;
  for (int q = 0; q < c; ++q) {
    double sum = 0.0;
    for (std::int64_t i = 0; i < n; ++i) {
      ctx.Yc[q * n + i] = (Y[q * n + i] - y_mean[q]) / y_scale[q];
      sum += ctx.Yc[q * n + i];
    }
    const double m = sum / static_cast<double>(n);
    double sq = 0.0;
    for (std::int64_t i = 0; i < n; ++i) sq += (ctx.Yc[q * n + i] - m) * (ctx.Yc[q * n + i] - m);
    var_sum += sq / static_cast<double>(n);
  }
  double y_var = var_sum / c;
  if (!std::isfinite(y_var) || y_var > 1e150 || (y_var > 0 && y_var < 1e-150)) {
    return ctx.fail(fit_status::invalid_input, "invalidInput",
                    printf_text("%s must have a variance from 1e-150 to 1e150 (the kernel's sums would "
                         "overflow or underflow), got %s: rescale Y",
                         c > 1 ? "Y, its columns scaled to the geometric mean of their deviations,"
                               : "Y",
                         format_number("%g", y_var).c_str()));
  }
  if (!(y_var > 0)) y_var = 1;
  std::string message;
  if (!check_data_options(ctx.s, d, sigma, y_var, ctx.p, message))
    return ctx.fail(fit_status::invalid_input, "invalidInput", message);

  fit_method method = ctx.s.method;
  if (method == fit_method::automatic)
    method = n <= ctx.s.dense_limit ? fit_method::dense : fit_method::scalable;
  const std::int64_t m = std::min(n, ctx.s.subset_size);
  const std::int64_t dense_n = method == fit_method::scalable && n > ctx.s.polish_limit ? m : n;
  if (!check_memory(ctx, dense_n)) return false;

  std::vector<double> theta, alpha, kernel_objectives;
  ctx.kernel = ctx.s.kernel;
  double f = 0.0, f_error = 0.0, threads = NaN;
  std::array<double, 2> final_passes = {NaN, NaN};
  std::string how;
  if (method == fit_method::dense) {
    if (!first_search(ctx, ctx.Xs.data(), n, ctx.Yc.data(), ctx.label("exact"), theta,
                      kernel_objectives))
      return false;
    const dense_objective_result r = dense_value(ctx, ctx.Xs.data(), n, ctx.Yc.data(), theta, false);
    if (ctx.failed()) return false;
    f = r.value;
    alpha = r.alpha;
    how = printf_text("exact, dense, n = %lld", static_cast<long long>(n));
  } else {
    // First exactly on a seeded subset; then exactly on all observations where a dense
    // factorisation still pays, otherwise the scalable stage.
    const std::vector<std::int64_t> subset = seeded_subset(n, m, ctx.s.seed);
    std::vector<double> Xm, Ym;
    take_rows(ctx, subset, Xm, Ym);
    if (!first_search(ctx, Xm.data(), m, Ym.data(),
                      ctx.label(printf_text("exact, %lld of %lld", static_cast<long long>(m),
                                     static_cast<long long>(n))),
                      theta, kernel_objectives))
      return false;
    std::vector<double>().swap(Xm);
    std::vector<double>().swap(Ym);
    if (n <= ctx.s.polish_limit) {
      const std::string label = ctx.label(printf_text("exact, all %lld", static_cast<long long>(n)));
      if (!factorising_start(ctx, ctx.Xs.data(), n, ctx.Yc.data(), theta, label)) return false;
      double ignored = 0.0;
      if (!exact_stage(ctx, ctx.Xs.data(), n, ctx.Yc.data(), theta, label, label, ignored)) return false;
      const dense_objective_result r = dense_value(ctx, ctx.Xs.data(), n, ctx.Yc.data(), theta, false);
      if (ctx.failed()) return false;
      f = r.value;
      alpha = r.alpha;
      how = printf_text("exact on %lld, then exact on all %lld", static_cast<long long>(m),
                 static_cast<long long>(n));
    } else {
      scalable_outcome out;
      if (!scalable_fit(ctx, theta, subset, out)) return false;
      theta = out.theta;
      f = out.f;
      f_error = out.f_error;
      alpha = std::move(out.alpha);
      threads = out.threads;
      final_passes = out.final_passes;
      how = out.how;
    }
  }
  // Before the bounds warning, which stays the last one raised where both are.
  how += warn_iteration_limit(ctx);
  warn_at_bounds(ctx, theta, sigma);

  // Alpha in Y's units: column q solves (K + ridge I) alpha = Yc_q / y_scale[q], so
  // y_scale[q] alpha solves it for Y's centred column itself, and predictions need no scale.
  for (int q = 0; q < c; ++q)
    for (std::int64_t i = 0; i < n; ++i) alpha[q * n + i] *= y_scale[q];
  model.format_version = ctx.kernel == kernel_kind::gaussian ? 3 : 4;
  model.kernel = kernel_name(ctx.kernel);
  model.kernel_objectives = kernel_objectives;
  std::vector<double> w(d);
  double w_max = -std::numeric_limits<double>::infinity();
  for (int l = 0; l < d; ++l) {
    w[l] = std::exp(theta[l]);
    w_max = std::max(w_max, w[l]);
  }
  model.length_scales.resize(d);
  model.relevance.resize(d);
  for (int l = 0; l < d; ++l) {
    model.length_scales[l] = std::sqrt(1 / (2 * w[l])) * sigma[l];
    model.relevance[l] = w[l] / w_max;
  }
  model.amplitude = std::exp(theta[d]);
  model.ridge = std::exp(theta[d + 1]);
  model.log_marginal_likelihood = f;
  model.log_marginal_likelihood_error = f_error;
  model.history = ctx.history;
  model.method = how;
  model.threads = threads;
  model.final_passes = final_passes;
  model.alpha = std::move(alpha);
  model.X = ctx.Xs;
  model.weights = w;
  model.weights.push_back(model.amplitude);
  model.mu = mu;
  model.sigma = sigma;
  model.y_mean = y_mean;
  model.y_scale = y_scale;
  model.seconds = ctx.seconds();
  const std::string error_text =
      f_error > 0 ? " (standard error " + format_number("%.3g", f_error) + ")" : "";
  ctx.say(printf_text("%s: done in %.1f s (%s): log marginal likelihood %s%s", ctx.env.name.c_str(),
               model.seconds, how.c_str(), format_number("%.6g", f).c_str(), error_text.c_str()));
  return true;
}

}  // namespace
}  // namespace fitting

fit_result fit(const double* X, std::int64_t n, int d, const double* Y, int c,
               const fit_option_set& options, const fit_environment& environment) {
  fit_result result;
  fit_settings settings;
  auto refuse = [&](const std::string& message) {
    result.status = fit_status::invalid_input;
    result.error = {"invalidInput", message};
    return result;
  };
  // The data first, as the learner has always checked them (the host checks classes and
  // shapes), then the options that need no data.
  if (n < 1 || d < 1)
    return refuse("X must be a real n x d matrix, one observation per row, got an empty one");
  if (c < 1) return refuse(printf_text("Y must be a real n x c matrix with one row per row of X (n = %lld), got [%lld 0]", static_cast<long long>(n), static_cast<long long>(n)));
  for (std::int64_t i = 0; i < n * d; ++i)
    if (!std::isfinite(X[i])) return refuse("X and Y must be finite");
  for (std::int64_t i = 0; i < n * c; ++i)
    if (!std::isfinite(Y[i])) return refuse("X and Y must be finite");
  if (n < 2) return refuse(printf_text("at least 2 observations are needed, got %lld", static_cast<long long>(n)));
  std::string message;
  if (!read_fit_options(options, settings, message)) return refuse(message);

  fitting::context ctx(settings, environment);
  ctx.n = n;
  ctx.d = d;
  ctx.c = c;
  ctx.memory = std::isnan(environment.memory_bytes) ? available_memory_bytes()
                                                    : environment.memory_bytes;
  fitting::run(ctx, X, Y, result.model);
  result.status = ctx.status;
  result.error = ctx.error;
  result.warnings = ctx.warnings;
  if (result.status != fit_status::done) result.model = fit_model();
  return result;
}

}  // namespace krr
