// The learner's bounded limited-memory BFGS maximiser (lbfgs.h), written to follow the
// Octave optimiser it replaced operation by operation, so that given the same function
// values its iterates agree with that one's; every dot product here is summed in index
// order (the Octave one's x' * y was a BLAS dot product, summed in the library's order).
#include "core/exact_arithmetic.h"

#include "core/learn/lbfgs.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <deque>
#include <limits>
#include <utility>

namespace krr {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

// min and max that skip a NaN operand, as the host's do.
double min_skip_nan(double a, double b) {
  if (std::isnan(a)) return b;
  if (std::isnan(b)) return a;
  return b < a ? b : a;
}
double max_skip_nan(double a, double b) {
  if (std::isnan(a)) return b;
  if (std::isnan(b)) return a;
  return b > a ? b : a;
}

// min(max(v, lo), hi) skipping NaN: a NaN coordinate goes to lo.
double clip(double v, double lo, double hi) { return min_skip_nan(max_skip_nan(v, lo), hi); }

// norm(v, Inf): the largest magnitude, NaN where one is NaN, 0 for none.
double max_abs(const std::vector<double>& v) {
  double m = 0.0;
  for (double a : v) {
    if (std::isnan(a)) return NaN;
    m = std::max(m, std::fabs(a));
  }
  return m;
}

double dot(const std::vector<double>& a, const std::vector<double>& b) {
  double s = 0.0;
  for (size_t i = 0; i < a.size(); ++i) s += a[i] * b[i];
  return s;
}

// Dot products over the coordinates `on` alone (the .m's S(free, :)): of two full-length
// vectors, and of a full-length one with one compact over `on`.
double dot_on(const std::vector<int>& on, const std::vector<double>& a,
              const std::vector<double>& b) {
  double s = 0.0;
  for (int i : on) s += a[i] * b[i];
  return s;
}
double dot_compact(const std::vector<int>& on, const std::vector<double>& full,
                   const std::vector<double>& compact) {
  double s = 0.0;
  for (size_t k = 0; k < on.size(); ++k) s += full[on[k]] * compact[k];
  return s;
}

// A point as the search sees it: with errors, g is the shrunk gradient, raw the
// derivatives as given and err their errors.
struct point {
  std::vector<double> x, g, raw, err;
  double f = NaN;
  double f_error = 0.0;  // the rounding error of f (hooks.value_error), 0 where not given
};

bool usable(const point& p, bool slopes) {
  for (double v : p.g)
    if (!std::isfinite(v)) return false;
  return std::isfinite(p.f) || (slopes && std::isnan(p.f));
}

// The gradient with the components that push out of the box at a bound set to zero.
std::vector<double> projected(const std::vector<double>& x, const std::vector<double>& g,
                              const double* lo, const double* hi) {
  std::vector<double> pg = g;
  for (size_t i = 0; i < g.size(); ++i)
    if ((x[i] <= lo[i] && g[i] < 0) || (x[i] >= hi[i] && g[i] > 0)) pg[i] = 0.0;
  return pg;
}

// Whether every projected derivative (as given) is within twice its error.
bool within(const point& p, const double* lo, const double* hi) {
  const std::vector<double> pg = projected(p.x, p.raw, lo, hi);
  for (size_t i = 0; i < pg.size(); ++i)
    if (!(std::fabs(pg[i]) <= 2 * p.err[i])) return false;
  return true;
}

// Calls of the objective, each after a poll of the host's interrupt.
class evaluator {
 public:
  evaluator(const lbfgs_objective& fun, bool with_errors, const lbfgs_hooks& hooks)
      : fun_(fun), with_errors_(with_errors), hooks_(hooks) {}

  // p.x set; fills the rest. False where the host asked to stop (nothing evaluated).
  bool evaluate(point& p) {
    const size_t n = p.x.size();
    if (stopped_ ||
        (hooks_.interrupt_pending && hooks_.interrupt_pending(hooks_.interrupt_state))) {
      stopped_ = true;
      return false;
    }
    ++evaluations_;
    p.g.assign(n, 0.0);
    if (!with_errors_) {
      p.f = fun_(p.x.data(), p.g.data(), nullptr);
      read_value_error(p);
      return true;
    }
    p.raw.assign(n, 0.0);
    p.err.assign(n, 0.0);
    p.f = fun_(p.x.data(), p.raw.data(), p.err.data());
    read_value_error(p);
    // Each derivative less 1.5 times its error, towards 0; as given where either is not
    // finite.
    for (size_t i = 0; i < n; ++i) {
      const double r = p.raw[i], e = p.err[i];
      if (std::isfinite(r) && std::isfinite(e)) {
        const double sign = r > 0 ? 1.0 : (r < 0 ? -1.0 : 0.0);
        p.g[i] = sign * max_skip_nan(std::fabs(r) - 1.5 * e, 0.0);
      } else {
        p.g[i] = r;
      }
    }
    return true;
  }

  bool stopped() const { return stopped_; }
  int evaluations() const { return evaluations_; }

 private:
  void read_value_error(point& p) const {
    p.f_error = hooks_.value_error ? hooks_.value_error() : 0.0;
    if (!(p.f_error > 0)) p.f_error = 0.0;
  }

  const lbfgs_objective& fun_;
  bool with_errors_;
  const lbfgs_hooks& hooks_;
  bool stopped_ = false;
  int evaluations_ = 0;
};

// H q by the two-loop recursion over the stored pairs (s, y) of -f, on the coordinates
// `on` alone (q compact over them): an ascent step of f.
void two_loop(const std::vector<int>& on, std::vector<double>& q,
              const std::deque<std::vector<double>>& S, const std::deque<std::vector<double>>& Y) {
  const int m = static_cast<int>(S.size());
  std::vector<double> a(m), rho(m);
  for (int i = 0; i < m; ++i) rho[i] = 1.0 / dot_on(on, S[i], Y[i]);
  for (int i = m - 1; i >= 0; --i) {
    a[i] = rho[i] * dot_compact(on, S[i], q);
    for (size_t k = 0; k < on.size(); ++k) q[k] = q[k] - a[i] * Y[i][on[k]];
  }
  if (m > 0) {
    const double scale = dot_on(on, S[m - 1], Y[m - 1]) / dot_on(on, Y[m - 1], Y[m - 1]);
    for (double& v : q) v = v * scale;
  }
  for (int i = 0; i < m; ++i) {
    const double b = rho[i] * dot_compact(on, Y[i], q);
    for (size_t k = 0; k < on.size(); ++k) q[k] = q[k] + (a[i] - b) * S[i][on[k]];
  }
}

void place(const point& from, const std::vector<double>& d, double step, const double* lo,
           const double* hi, point& to) {
  to.x.resize(from.x.size());
  for (size_t i = 0; i < d.size(); ++i) to.x[i] = clip(from.x[i] + step * d[i], lo[i], hi[i]);
}

// Backtracking on the value (sufficient increase), the step clipped to the box; where no
// step increases f, the point stays (and the caller, seeing no move, stops). A trial point
// that is not usable is a failed step like one that does not increase f. After a failed
// trial, no further one is made once step d'g, the most the step can raise f where f is
// concave along d (as it is near a maximum), is within twice the rounding error of f at x0:
// a rise that small cannot be told from the errors of the two values compared, so halving
// on only spends evaluations (each a factorisation in the learner's exact stages). no_rise
// then says why it stopped. The first trial is always made, so that a search whose first
// step is accepted runs as it always has.
point value_search(evaluator& ev, const point& x0, const std::vector<double>& d, double step,
                   double slope0, const double* lo, const double* hi, int tries, bool& no_rise) {
  point trial;
  no_rise = false;
  for (int attempt = 1; attempt <= tries; ++attempt) {
    if (attempt > 1 && x0.f_error > 0 && step * slope0 <= 2 * x0.f_error) {
      no_rise = true;
      return x0;
    }
    place(x0, d, step, lo, hi, trial);
    if (!ev.evaluate(trial)) return x0;
    if (usable(trial, false) && trial.f >= x0.f + 1e-4 * step * slope0) return trial;
    step = step / 2;
  }
  return x0;
}

// On the slope along d: accept once |slope| <= 0.9 slope0; bisect where the step overshot
// (negative slope) or the trial point is not usable, double where it is still steep and
// nothing overshot yet, but never beyond max_step in any coordinate: far steps lead to
// hyperparameters whose solves cost many times a usual one, and a slope estimated from
// probes does not justify them. Where nothing is accepted, the point with the least
// nonnegative slope, or else the last usable trial, or else the start (no move).
point slope_search(evaluator& ev, const point& x0, const std::vector<double>& d, double step,
                   double slope0, const double* lo, const double* hi, double max_step) {
  double below = 0.0, above = INF;
  point best, last, trial;
  bool have_best = false, have_last = false;
  double best_slope = 0.0;
  const double longest = max_step / max_abs(d);
  for (int attempt = 1; attempt <= 6; ++attempt) {
    place(x0, d, step, lo, hi, trial);
    if (!ev.evaluate(trial)) return x0;
    if (!usable(trial, true)) {
      above = step;
      step = (below + above) / 2;
      continue;
    }
    last = trial;
    have_last = true;
    const double slope = dot(d, trial.g);
    if (slope >= 0 && (!have_best || slope < best_slope)) {
      best = trial;
      best_slope = slope;
      have_best = true;
    }
    if (std::fabs(slope) <= 0.9 * slope0 || (slope > 0 && step >= longest)) return trial;
    if (slope < 0)
      above = step;
    else
      below = step;
    if (std::isinf(above))
      step = min_skip_nan(2 * step, longest);
    else
      step = (below + above) / 2;
  }
  if (have_best) return best;
  if (have_last) return last;
  return x0;
}

// One number with a conversion such as "%14.6g" or "%3d", as the progress lines have always
// been written: NaN and Inf spelt so and padded to the width, and a %d of a value that is
// not a whole number written as %g with the same flags and width.
std::string format_number(const char* format, double v) {
  std::string s(format);
  const char conv = s.back();
  size_t digits = 1;
  while (digits < s.size() && std::string("-+ 0#").find(s[digits]) != std::string::npos) ++digits;
  const bool left = s.find('-') != std::string::npos && s.find('-') < digits;
  int width = 0;
  for (size_t i = digits; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i)
    width = 10 * width + (s[i] - '0');
  char buffer[64];
  if (!std::isfinite(v)) {
    std::string text = std::isnan(v) ? "NaN" : (v > 0 ? "Inf" : "-Inf");
    if (static_cast<int>(text.size()) < width) {
      const std::string pad(width - text.size(), ' ');
      text = left ? text + pad : pad + text;
    }
    return text;
  }
  if (conv == 'd') {
    const std::string head = s.substr(0, s.find('.') == std::string::npos ? s.size() - 1 : s.find('.'));
    if (v == std::floor(v) && std::fabs(v) < 9.0e18) {
      std::snprintf(buffer, sizeof buffer, (head + "lld").c_str(), static_cast<long long>(v));
    } else {
      std::snprintf(buffer, sizeof buffer, (head + "g").c_str(), v);
    }
    return buffer;
  }
  std::snprintf(buffer, sizeof buffer, format, v);
  return buffer;
}

}  // namespace

std::string check_lbfgs_options(const lbfgs_options& o) {
  if (o.max_iterations < 0) return "lbfgs_options.max_iterations must be at least 0";
  if (o.memory < 0) return "lbfgs_options.memory must be at least 0";
  if (!(o.gradient_tolerance >= 0))
    return "lbfgs_options.gradient_tolerance must be at least 0 (not NaN)";
  if (!(o.value_tolerance >= 0)) return "lbfgs_options.value_tolerance must be at least 0 (not NaN)";
  if (!(o.max_step > 0)) return "lbfgs_options.max_step must be above 0 (Inf: no limit)";
  if (o.value_backtracks < 1) return "lbfgs_options.value_backtracks must be at least 1";
  return "";
}

std::string lbfgs_progress_line(const std::string& label, const lbfgs_row& row,
                                const lbfgs_row* previous) {
  std::string line = label + ": iteration " + format_number("%3d", row[0]) + "  objective " +
                     format_number("%14.6g", row[1]) + "  |gradient| " +
                     format_number("%10.3g", row[2]) + "  " + format_number("%8.1f", row[3]) +
                     " s";
  if (!std::isnan(row[5])) {
    double step[4];
    for (int k = 0; k < 4; ++k) step[k] = row[4 + k] - (previous ? (*previous)[4 + k] : 0.0);
    line += "  (" + format_number("%d", step[0]) + " evaluations, " +
            format_number("%.1f", step[1] / max_skip_nan(step[0], 1.0)) +
            " passes over K each, kernel columns " + format_number("%.1f", step[2]) + " s of " +
            format_number("%.1f", step[3]) + " s)";
  }
  if (!std::isnan(row[8]))
    line += "; largest slope " + format_number("%.3g", row[8]) + " times its error";
  return line;
}

lbfgs_result maximise_lbfgs(const lbfgs_objective& fun, const double* x0, const double* lo,
                            const double* hi, int n, const lbfgs_options& options,
                            const lbfgs_hooks& hooks, std::vector<lbfgs_row>& history) {
  lbfgs_result result;
  result.message = check_lbfgs_options(options);
  if (result.message.empty() && (n < 0 || !fun || (n > 0 && (!x0 || !lo || !hi))))
    result.message = "maximise_lbfgs: n must be at least 0, with x0, lo, hi and the objective given";
  for (int i = 0; result.message.empty() && i < n; ++i)
    if (std::isnan(lo[i]) || std::isnan(hi[i]) || lo[i] > hi[i])
      result.message = "maximise_lbfgs: bound " + std::to_string(i + 1) +
                       " is NaN or has lo above hi";
  if (!result.message.empty()) return result;

  const auto began = std::chrono::steady_clock::now();
  auto seconds = [&]() {
    if (hooks.seconds) return hooks.seconds();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  };
  const bool with_errors = options.errors;
  evaluator ev(fun, with_errors, hooks);
  const size_t first = history.size();  // this run's first row
  std::vector<double> values;           // f of this run's rows

  auto record = [&](const point& p, const std::string& ending = "") {
    std::array<double, 4> totals = {NaN, NaN, NaN, NaN};
    if (hooks.profile) totals = hooks.profile();
    // The derivatives as given, and the largest ratio of one to its error (those at a
    // bound, projected to 0, not counted; NaN without errors).
    double ratio = NaN;
    std::vector<double> pg;
    if (with_errors) {
      pg = projected(p.x, p.raw, lo, hi);
      ratio = 0.0;
      for (size_t i = 0; i < pg.size(); ++i)
        if (pg[i] != 0) ratio = max_skip_nan(ratio, std::fabs(pg[i]) / p.err[i]);
    } else {
      pg = projected(p.x, p.g, lo, hi);
    }
    const lbfgs_row row = {static_cast<double>(history.size()), p.f, max_abs(pg), seconds(),
                           totals[0], totals[1], totals[2], totals[3], ratio};
    history.push_back(row);
    values.push_back(p.f);
    if (hooks.progress) {
      const lbfgs_row* previous = history.size() > first + 1 ? &history[history.size() - 2] : nullptr;
      hooks.progress(row, lbfgs_progress_line(options.label, row, previous) + ending);
    }
  };

  point x;
  x.x.resize(n);
  for (int i = 0; i < n; ++i) x.x[i] = clip(x0[i], lo[i], hi[i]);
  bool usable_start = false;  // x holds an evaluated, usable point
  auto finish = [&](lbfgs_status status) {
    result.status = status;
    result.x = x.x;
    result.f = x.f;
    result.gradient = x.g;
    result.raw_gradient = x.raw;
    result.errors = x.err;
    result.evaluations = ev.evaluations();
    result.settled = with_errors && usable_start && within(x, lo, hi);
    return result;
  };
  if (!ev.evaluate(x)) return finish(lbfgs_status::interrupted);
  if (!usable(x, options.slopes)) return finish(lbfgs_status::not_finite_start);
  usable_start = true;

  std::deque<std::vector<double>> S, Y;
  std::vector<double> pg = projected(x.x, x.g, lo, hi);
  record(x);
  lbfgs_status status = lbfgs_status::iteration_limit;
  for (int iteration = 1; iteration <= options.max_iterations; ++iteration) {
    if (max_abs(pg) <= options.gradient_tolerance) {
      status = lbfgs_status::gradient_small;
      break;
    }
    if (with_errors && within(x, lo, hi)) {
      status = lbfgs_status::within_errors;
      break;
    }
    std::vector<int> free;
    for (int i = 0; i < n; ++i)
      if (pg[i] != 0) free.push_back(i);
    std::vector<double> q(free.size());
    for (size_t k = 0; k < free.size(); ++k) q[k] = pg[free[k]];
    two_loop(free, q, S, Y);
    std::vector<double> d(n, 0.0);
    for (size_t k = 0; k < free.size(); ++k) d[free[k]] = q[k];
    if (!(dot(d, pg) > 0)) {
      S.clear();
      Y.clear();
      d = pg;
    }
    double step = min_skip_nan(1.0, options.max_step / max_abs(d));
    if (S.empty()) step = min_skip_nan(step, 1.0 / max_abs(d));
    const double slope0 = dot(d, x.g);
    bool no_rise = false;
    point next = options.slopes
                     ? slope_search(ev, x, d, step, slope0, lo, hi, options.max_step)
                     : value_search(ev, x, d, step, slope0, lo, hi, options.value_backtracks,
                                    no_rise);
    if (ev.stopped()) {
      status = lbfgs_status::interrupted;
      break;
    }
    result.iterations = iteration;
    std::vector<double> s(n), y(n);
    for (int i = 0; i < n; ++i) s[i] = next.x[i] - x.x[i];
    // The change of the gradient of -f: with errors, of the derivatives as given, which
    // change smoothly with x (the shrunk ones do not where one crosses its threshold).
    for (int i = 0; i < n; ++i) y[i] = with_errors ? x.raw[i] - next.raw[i] : x.g[i] - next.g[i];
    if (dot(s, y) > 1e-12 * dot(s, s)) {
      S.push_back(s);
      Y.push_back(y);
      if (static_cast<int>(S.size()) > options.memory) {
        S.pop_front();
        Y.pop_front();
      }
    }
    x = std::move(next);
    pg = projected(x.x, x.g, lo, hi);
    if (no_rise) {
      // The row of this iteration (no move) says why the run ends.
      record(x, "; stopped: no step can raise the objective beyond its rounding error " +
                    format_number("%.3g", x.f_error));
      status = lbfgs_status::no_rise;
      break;
    }
    record(x);
    if (max_abs(s) == 0) {
      status = lbfgs_status::no_move;
      break;
    }
    // Settled: three iterations together gained less than the tolerance. One small step
    // alone is not enough, since a poor direction can follow a good one.
    if (!options.slopes && iteration >= 3) {
      const double before = values[values.size() - 4];
      if (x.f - before <= options.value_tolerance * (1 + std::fabs(before))) {
        status = lbfgs_status::value_settled;
        break;
      }
    }
  }
  return finish(status);
}

}  // namespace krr
