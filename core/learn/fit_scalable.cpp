// The learner's scalable stage (fit_stages.h): L-BFGS following estimated slopes on the
// stage's observations, the check of its end against its start, the final solve on all n
// and the final estimate of the objective.
//
//   slopes   g_i = 1/2 alpha' dA_i alpha - (c/2p) sum_s u_s' dA_i z_s,  A [alpha, U] = [Y, Z]
//            (Hutchinson with p Rademacher probes, marginal_likelihood.h), each with its
//            standard error e_i = std_s(t_is) / sqrt(p) from the probes' own trace terms t;
//   check    the end theta1 is kept only where f(theta1) >= f(theta0) + margin: f exact on
//            all n (margin 0), exact on rows held out of the stage (margin 0), or both
//            estimated with the same probes, margin = 2 (c/2) std(q1 - q0) / sqrt(p) from
//            the probes' paired log determinants q;
//   final    (K + ridge I) alpha = Y - mean(Y) by block coordinate descent to the fit's
//            tolerance (multi_solver.h).
// A solve that ends at its pass bound is continued once with four times the passes
// (solve_with_retry), so that a stage's time stays bounded but a slow solve still ends.
#include "core/exact_arithmetic.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

#include "core/learn/fit_stages.h"
#include "core/learn/marginal_likelihood.h"
#include "core/parallel/thread_pool.h"
#include "core/solve/kernel_operator.h"
#include "core/solve/multi_solver.h"
#include "core/solve/preconditioned_cg.h"

namespace krr {
namespace fitting {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

double max_skip_nan(double a, double b) {
  if (std::isnan(a)) return b;
  if (std::isnan(b)) return a;
  return std::max(a, b);
}

bool all_finite(const std::vector<double>& v) {
  for (double x : v)
    if (!std::isfinite(x)) return false;
  return true;
}

// The block size of a solve: BlockSize where given, else 256 where several columns share
// each kernel column, 64 for one; at most n.
int block_size(const context& ctx, std::int64_t n, int columns) {
  std::int64_t k = ctx.s.block_size > 0 ? ctx.s.block_size : (columns > 1 ? 256 : 64);
  return static_cast<int>(std::min(k, n));
}

// The estimator's settings both the stage and the final estimate use: the fit's probes,
// seed and preconditioner, Lanczos to 1e-6 in at most `steps`, the solves to relative_tol;
// the log determinant and the gradient on, the log determinant without its own factor.
lml_settings estimator_settings(const context& ctx, double relative_tol, int steps) {
  lml_settings s;
  s.probes = ctx.s.probes;
  s.seed = ctx.s.seed;
  s.relative_tol = relative_tol;
  s.log_det = true;
  s.gradient = true;
  s.lanczos.steps = steps;
  s.lanczos.tolerance = 1e-6;
  s.precondition_rank = ctx.s.precondition_rank;
  s.log_det_rank = 0;
  return s;
}

// The final solve's conjugate gradients: the preconditioner's largest rank, and the passes
// they may take before block descent goes on from their iterate.
constexpr std::int64_t FINAL_RANK = 1000;
constexpr double FINAL_CG_PASSES = 100.0;

// Status codes as the learner's messages name them (-1: converged, estimate not finite).
int status_code(solve_status s) { return static_cast<int>(s); }
std::string status_name(int status) {
  switch (status) {
    case -1: return "estimate not finite";
    case 1: return "pass limit reached";
    case 2: return "tolerance below the rounding floor";
    case 3: return "overflow";
    case 4: return "K + Ridge*I zero";
  }
  return printf_text("status %d", status);
}

// The std of v (n - 1 normalisation; 0 for one entry).
double spread(const std::vector<double>& v) {
  const size_t p = v.size();
  if (p < 2) return 0.0;
  double sum = 0.0;
  for (double x : v) sum += x;
  const double mean = sum / static_cast<double>(p);
  double sq = 0.0;
  for (double x : v) sq += (x - mean) * (x - mean);
  return std::sqrt(sq / static_cast<double>(p - 1));
}

// Runs attempt(max_passes); where it ended at the pass bound (with any_failure, also where it
// overflowed or found K + ridge I zero) runs it once more with four times the passes, from
// where it ended, or from zero where that is not finite. The scalable stage's slopes retry
// only a finite solve stopped by the pass bound (a failure there is rejected and costs
// nothing more); the final estimate and solve retry every failure.
template <class Attempt>
solve_status solve_with_retry(double max_passes, bool any_failure, std::vector<double>& V,
                              Attempt attempt) {
  const solve_status first = attempt(max_passes);
  if (first == solve_status::interrupted || first == solve_status::out_of_memory) return first;
  const bool finite = all_finite(V);
  const bool again = any_failure ? (first != solve_status::converged &&
                                    first != solve_status::tolerance_unreachable)
                                 : (first == solve_status::not_converged && finite);
  if (!again) return first;
  if (!finite) std::fill(V.begin(), V.end(), 0.0);
  return attempt(4 * max_passes);
}

// Hands a finished solve to the environment's after_solve seam, where one is set, and takes
// back the status it gives; an overflow it marks makes the solutions (and the slopes) NaN.
void after_solve(context& ctx, fit_solve_kind kind, double max_passes, solve_status& status,
                 std::vector<double>& solutions, std::vector<double>* slopes = nullptr) {
  if (!ctx.env.after_solve) return;
  fit_solve_report report;
  report.kind = kind;
  report.call = ++ctx.solves_seen[static_cast<int>(kind)];
  report.max_passes = max_passes;
  report.status = status;
  ctx.env.after_solve(report);
  status = report.status;
  if (report.overflow) {
    std::fill(solutions.begin(), solutions.end(), NaN);
    if (slopes) std::fill(slopes->begin(), slopes->end(), NaN);
  }
}

// The kernel's weights at theta: w_1 ... w_d, then the amplitude.
std::vector<double> weights_at(const context& ctx, const std::vector<double>& theta) {
  std::vector<double> w(ctx.d + 1);
  for (int l = 0; l <= ctx.d; ++l) w[l] = std::exp(theta[l]);
  return w;
}

// The share of the memory available at the start that the solves' caches take by default:
// where K is not held whole the learner would otherwise fill 90% of the machine (21 GB of
// 23 at n = 100,000) and starve everything else on it. 60% keeps K whole at n = 40,000 on a
// 24 GiB machine (12.8 GB of 13.8), so the results there are as before, keeps the peak at
// n = 100,000 under 16 GiB, and costs some percent per pass where K is not held (README).
constexpr double DEFAULT_CACHE_SHARE = 0.6;

// The solves' cache budget: CacheBytes where given; else all the memory where the user
// limited it (KRR_MEMORY_LIMIT); else DEFAULT_CACHE_SHARE of it.
double cache_budget(const context& ctx) {
  if (std::isfinite(ctx.s.cache_bytes) || ctx.env.memory_limited) return ctx.s.cache_bytes;
  return DEFAULT_CACHE_SHARE * ctx.memory;
}

// The operator of one call on the d x m observations X with the weights w (which the
// operator keeps pointing to: they must outlive it) and theta's ridge, its memory plan
// counting `other` bytes besides; false with the error recorded where it cannot be had.
bool prepare(context& ctx, kernel_operator& A, const double* X, std::int64_t m,
             const std::vector<double>& w, const std::vector<double>& theta, int k, double other,
             const char* what) {
  operator_setup setup{X, static_cast<int>(m), ctx.d, w.data(), std::exp(theta[ctx.d + 1]), k,
                       cache_budget(ctx)};
  setup.memory_bytes = ctx.memory;
  setup.other_bytes = other;
  setup.other_what = what;
  setup.threads = ctx.env.threads;
  setup.interrupt_pending = &poll_stop;
  setup.interrupt_state = &ctx;
  setup.kind = ctx.kernel;
  allocation_failure failure;
  if (A.prepare(setup, failure)) return true;
  return ctx.fail(fit_status::out_of_memory, "outOfMemory",
                  printf_text("could not allocate %.0f bytes for %s", failure.bytes, failure.what));
}

struct estimate_call {
  lml_estimate e;
  double threads = NaN;
  double seconds = 0.0;
};

// One estimate on the d x m observations X, Y at theta, V (m x (c + p)) the start and the
// solutions; false with the error recorded on an interrupt or a failed allocation.
bool estimate(context& ctx, const double* X, std::int64_t m, const double* Y,
              const std::vector<double>& theta, const lml_settings& s, int k,
              std::vector<double>& V, estimate_call& out) {
  const auto start = std::chrono::steady_clock::now();
  const int c = ctx.c, p = s.probes;
  const int parts = effective_threads(ctx.env.threads, m, 2048);
  const double held =
      8.0 * m * (c + c + p) +
      estimate_bytes(m, ctx.d, c, p, k, parts,
                     static_cast<int>(std::min<std::int64_t>(s.precondition_rank, m)),
                     s.probe_traces,
                     s.log_det ? static_cast<int>(std::min<std::int64_t>(s.log_det_rank, m)) : 0);
  const std::vector<double> w = weights_at(ctx, theta);
  kernel_operator A;
  if (!prepare(ctx, A, X, m, w, theta, k, held,
               "the estimate's arrays, more than the memory available to this process"))
    return false;
  out.e = estimate_marginal_likelihood(A, Y, c, s, V.data());
  out.threads = A.schedule().parts();
  out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (out.e.status == solve_status::interrupted) {
    return ctx.fail(fit_status::interrupted, "interrupted", "interrupted by the user");
  } else if (out.e.status == solve_status::out_of_memory) {
    return ctx.fail(fit_status::out_of_memory, "outOfMemory",
                    printf_text("could not allocate %.0f bytes for the estimate's arrays",
                         out.e.failed_bytes));
  }
  return true;
}

// The objective estimated at theta on all n (the value alone: the targets solved, the
// probes only for the log determinant), from warm (n x (c + p), or empty: zeros).
struct final_estimate_result {
  double f = NaN;
  std::vector<double> V, q;
  double passes = 0.0, threads = NaN;
  bool settled = true;
};
bool final_estimate(context& ctx, const std::vector<double>& theta, std::vector<double> warm,
                    final_estimate_result& out) {
  const std::int64_t n = ctx.n;
  const int c = ctx.c, p = ctx.s.probes;
  lml_settings s = estimator_settings(ctx, 1e-4, 100);
  s.gradient = false;
  s.log_det_rank = ctx.s.log_det_rank;
  const int k = block_size(ctx, n, p + c);
  out.V = warm.empty() ? std::vector<double>(static_cast<size_t>(n) * (c + p), 0.0) : std::move(warm);
  estimate_call call;
  bool ok = true;
  const solve_status st = solve_with_retry(1000.0, true, out.V, [&](double passes) {
    s.max_passes = passes;
    if (!estimate(ctx, ctx.Xs.data(), n, ctx.Yc.data(), theta, s, k, out.V, call)) {
      ok = false;
      return solve_status::interrupted;
    }
    out.passes += call.e.passes_over_k;
    after_solve(ctx, fit_solve_kind::final_estimate, passes, call.e.solve.status, out.V,
                &call.e.gradient);
    return call.e.solve.status;
  });
  if (!ok) return false;
  out.f = call.e.value;
  out.q = call.e.quadratures;
  out.settled = call.e.lanczos_steps < s.lanczos.steps;
  out.threads = call.threads;
  if (st != solve_status::converged || !std::isfinite(out.f)) {
    const int status = st == solve_status::converged ? -1 : status_code(st);
    ctx.warn("notConverged",
             printf_text("the solves of the final estimate ended with %s; LogMarginalLikelihood (%s) is "
                  "less exact than its stated error",
                  status_name(status).c_str(), format_number("%g", out.f).c_str()));
  }
  return true;
}

// The standard error of an estimated objective from its probes' log determinants (the data
// fit is exact): 0 where exact (q empty), NaN for one probe.
double objective_error(const std::vector<double>& q, int c) {
  if (q.empty()) return 0.0;
  if (q.size() < 2) return NaN;
  return 0.5 * c * spread(q) / std::sqrt(static_cast<double>(q.size()));
}

// The free parameters at a bound at theta1 but not at theta0 (within 0.1%), named; a length
// scale at its long end is not.
std::string ran_to_bound(const context& ctx, const std::vector<double>& theta0,
                         const std::vector<double>& theta1) {
  const double margin = 1e-3;
  std::string items;
  auto add = [&](const std::string& s) { items += (items.empty() ? "" : ", ") + s; };
  for (int i = 0; i < ctx.d + 2; ++i) {
    if (ctx.p.fixed[i]) continue;
    const bool high = ctx.p.hi[i] - theta1[i] <= margin && !(ctx.p.hi[i] - theta0[i] <= margin);
    const bool low = i >= ctx.d && theta1[i] - ctx.p.lo[i] <= margin &&
                     !(theta0[i] - ctx.p.lo[i] <= margin);
    const std::string name = i < ctx.d ? printf_text("LengthScales(%d)", i + 1)
                                       : (i == ctx.d ? "Amplitude" : "Ridge");
    if (high) add(name + (i < ctx.d ? " (shortest)" : " (upper)"));
    else if (low) add(name + " (lower)");
  }
  return items;
}

// The rows of the scalable stage: all n, or a seeded superset of the subset (the same
// draws, continued) of ScalableSubsetSize rows.
std::vector<std::int64_t> stage_observations(const context& ctx, std::int64_t m, std::string& what) {
  const std::int64_t n = ctx.n;
  const std::int64_t s = std::min(n, std::max(m, ctx.s.scalable_subset_size));
  if (s < n) {
    what = printf_text("%lld of %lld", static_cast<long long>(s), static_cast<long long>(n));
    return seeded_subset(n, s, ctx.s.seed);
  }
  what = printf_text("all %lld", static_cast<long long>(n));
  std::vector<std::int64_t> all(n);
  for (std::int64_t i = 0; i < n; ++i) all[i] = i;
  return all;
}

// Rows outside the subset's m whose exact objective checks the stage: up to limit, as many
// as a dense stage's memory allows.
std::int64_t held_out_size(const context& ctx, std::int64_t m) {
  std::int64_t h = std::min(ctx.s.exact_check_limit, ctx.n - m);
  if (dense_stage_bytes(h) > ctx.memory)
    h = static_cast<std::int64_t>(std::floor(std::sqrt(ctx.memory / dense_stage_bytes(1))));
  return std::max<std::int64_t>(h, 0);
}

// Whether to estimate the objective on all n after a held-out check: FinalObjective, or
// under 'auto' where K fits in the memory the solves may cache.
bool estimate_objective(const context& ctx) {
  if (ctx.s.final_objective != final_objective_mode::automatic)
    return ctx.s.final_objective == final_objective_mode::yes;
  const double n = static_cast<double>(ctx.n);
  return 8 * n * n <= std::min(cache_budget(ctx), ctx.memory);
}

struct check_result {
  std::vector<double> theta;
  double f = NaN, f_error = NaN;
  std::vector<double> V;  // a start for the final solve (its first c columns), or empty
  std::string verdict;
  double threads = NaN, passes = NaN;
  bool later = false;
};

// The stage's end theta1 against its start theta0: kept only where its objective is at least
// as high (exact on all n, exact on held-out rows, or paired estimates with a margin).
bool check_stage(context& ctx, const std::vector<double>& theta0, const std::vector<double>& theta1,
                 const std::vector<std::int64_t>& subset, const std::vector<std::int64_t>& stage_set,
                 std::vector<double> warm, check_result& out) {
  const std::int64_t n = ctx.n;
  const int c = ctx.c;
  const std::string moved = ran_to_bound(ctx, theta0, theta1);
  const bool same = theta0 == theta1;
  const bool exact_all = n <= ctx.s.exact_check_limit && dense_stage_bytes(n) <= ctx.memory;
  const std::int64_t held = exact_all ? 0 : held_out_size(ctx, static_cast<std::int64_t>(subset.size()));
  double f0 = NaN, f1 = NaN, margin = 0.0;
  std::vector<double> V0, V1, q0, q1;
  std::string how;
  if (exact_all) {
    how = "exact";
    dense_objective_result r1 = dense_value(ctx, ctx.Xs.data(), n, ctx.Yc.data(), theta1, false);
    if (ctx.failed()) return false;
    f1 = f0 = r1.value;
    V1 = V0 = r1.alpha;
    if (!same) {
      dense_objective_result r0 = dense_value(ctx, ctx.Xs.data(), n, ctx.Yc.data(), theta0, false);
      if (ctx.failed()) return false;
      f0 = r0.value;
      V0 = r0.alpha;
    }
  } else if (held > 0) {
    const std::vector<std::int64_t>& excluded =
        n - static_cast<std::int64_t>(stage_set.size()) >= held ? stage_set : subset;
    std::vector<bool> out_of(n, false);
    for (std::int64_t i : excluded) out_of[i] = true;
    std::vector<std::int64_t> rest;
    for (std::int64_t i = 0; i < n; ++i)
      if (!out_of[i]) rest.push_back(i);
    std::vector<std::int64_t> picked;
    for (std::int64_t j : seeded_subset(static_cast<std::int64_t>(rest.size()), held, ctx.s.seed))
      picked.push_back(rest[j]);
    how = printf_text(excluded.size() > subset.size()
                   ? "exact on %lld observations held out from the stage's"
                   : "exact on %lld observations held out from the subset",
               static_cast<long long>(held));
    if (held < std::min(ctx.s.exact_check_limit, n - static_cast<std::int64_t>(subset.size())))
      how += ", as many as the memory allows for their dense objective";
    std::vector<double> Xh, Yh;
    take_rows(ctx, picked, Xh, Yh);
    f1 = f0 = dense_value(ctx, Xh.data(), held, Yh.data(), theta1, false).value;
    if (ctx.failed()) return false;
    if (!same) {
      f0 = dense_value(ctx, Xh.data(), held, Yh.data(), theta0, false).value;
      if (ctx.failed()) return false;
    }
  } else {
    how = "estimated with the same probes";
    final_estimate_result e1, e0;
    if (!final_estimate(ctx, theta1, {}, e1)) return false;
    f1 = f0 = e1.f;
    V1 = V0 = e1.V;
    q1 = q0 = e1.q;
    out.passes = e1.passes;
    out.threads = e1.threads;
    bool settled = e1.settled;
    if (!same) {
      if (!final_estimate(ctx, theta0, {}, e0)) return false;
      f0 = e0.f;
      V0 = e0.V;
      q0 = e0.q;
      out.passes += e0.passes;
      out.threads = max_skip_nan(out.threads, e0.threads);
      settled = settled && e0.settled;
    }
    // Lanczos quadrature of log that has not settled overstates the log determinant, the
    // more so the worse A is conditioned: the comparison then leans to the larger ridge.
    if (!settled) how += ", whose log determinants had not settled in the Lanczos steps";
    std::vector<double> diff(q1.size());
    for (size_t i = 0; i < q1.size(); ++i) diff[i] = q1[i] - q0[i];
    margin = 2 * 0.5 * c * spread(diff) / std::sqrt(static_cast<double>(q1.size()));
  }
  const bool keep_end = std::isfinite(f1) && (!std::isfinite(f0) || f1 - f0 >= margin);
  out.theta = keep_end ? theta1 : theta0;
  std::string verdict = keep_end ? "the stage's end kept" : "the stage's end rejected, its start kept";
  if (same) verdict = "the stage did not move";
  verdict = verdict + " (objective " + how + ")";
  if (!moved.empty()) verdict += "; in the stage " + moved + " ran to its bound";
  if (!same)
    ctx.say(printf_text("%s (check): objective at the stage's end %s, at its start %s (%s; margin %s): "
                 "%s  %8.1f s",
                 ctx.env.name.c_str(), format_number("%.6g", f1).c_str(),
                 format_number("%.6g", f0).c_str(), how.c_str(),
                 format_number("%.3g", margin).c_str(), verdict.c_str(), ctx.seconds()));
  out.later = false;
  if (held > 0) {
    out.f = NaN;
    out.f_error = NaN;
    out.V = std::move(warm);
    out.later = estimate_objective(ctx);
    const double k_bytes = 8.0 * static_cast<double>(n) * static_cast<double>(n);
    if (!out.later && ctx.s.final_objective == final_objective_mode::automatic)
      verdict += printf_text("; the objective on all observations not estimated: K (%s GB) exceeds the "
                             "solves' cache (%s GB), so each of the estimate's 10 to 20 passes would "
                             "compute its columns again (FinalObjective true asks for it)",
                             format_number("%.3g", k_bytes / 1e9).c_str(),
                             format_number("%.3g", std::min(cache_budget(ctx), ctx.memory) / 1e9).c_str());
    else if (!out.later)
      verdict += "; the objective on all observations not estimated (FinalObjective)";
  } else if (keep_end) {
    out.f = f1;
    out.f_error = objective_error(q1, c);
    out.V = std::move(V1);
  } else {
    out.f = f0;
    out.f_error = objective_error(q0, c);
    out.V = std::move(V0);
  }
  out.verdict = verdict;
  return true;
}

// The coefficients to the fit's tolerance from V's first c columns (zeros where V is empty
// or not finite). An error where they are not finite, a warning where not converged.
//
// Conjugate gradients preconditioned with a pivoted Cholesky factor of rank up to
// FINAL_RANK run first; where they stop short (below), block descent goes on from their
// iterate as follows. A fresh check of the residual that fails with every entry within its
// rounding floor ends either solve at once (tolerance_unreachable). That floor is an estimate, sqrt(terms) u
// sum |A||V|, which on these kernels lies some 50 to 100 times above the rounding the sums
// really carry, so a check that fails by a hair (the running gradient just within the
// tolerance, the fresh one a few percent above) ends there too, though a further round from
// the iterate may well meet it. The fresh residual exceeds the running one, which the
// descent had brought within the tolerance, by the rounding the iterate carries; where it
// is within twice the tolerance that rounding is below the tolerance, and the solve goes on
// from its iterate, within the same bound on passes, while each round lowers the checked
// residual (its largest entry against its tolerance, below 2); the iterate of the lowest
// is kept. Beyond twice, or where a round does not lower it, the tolerance cannot be met
// in double precision: the default Tolerance then gives way to the floor (the residual
// reached is as exact as the arithmetic can check; note says so, for Method, and no
// warning), while a Tolerance the user gave is reported, with what to ask for instead.
bool final_solve(context& ctx, const std::vector<double>& theta, const std::vector<double>& V,
                 std::vector<double>& alpha, double& threads, double& passes, std::string& note) {
  const std::int64_t n = ctx.n;
  const int c = ctx.c;
  const int k = block_size(ctx, n, c);
  alpha.assign(static_cast<size_t>(n) * c, 0.0);
  if (!V.empty()) {
    std::copy(V.begin(), V.begin() + static_cast<std::ptrdiff_t>(n) * c, alpha.begin());
    if (!all_finite(alpha)) std::fill(alpha.begin(), alpha.end(), 0.0);
  }
  const std::vector<double> tol = column_tolerances(ctx.Yc.data(), n, c, ctx.s.tolerance);
  std::vector<double> G(static_cast<size_t>(n) * c), best;
  double column_seconds = 0.0, seconds = 0.0;
  // At the floor: the checked residual and the floor's estimate, each the largest over the
  // columns relative to the column's scale (its tolerance over Tolerance).
  double floor_residual = NaN, floor_estimate = NaN;
  passes = 0.0;
  bool ok = true;
  const solve_status st = solve_with_retry(1000.0, true, alpha, [&](double max_passes) {
    const auto start = std::chrono::steady_clock::now();
    const std::vector<double> w = weights_at(ctx, theta);
    kernel_operator A;
    const int rank = static_cast<int>(std::min<std::int64_t>(FINAL_RANK, n));
    if (!prepare(ctx, A, ctx.Xs.data(), n, w, theta, k,
                 8.0 * n * c * 4 + multi_solver_bytes(n, k, c, ctx.d) + 8.0 * n * rank + cg_bytes(n, c, rank),
                 "the solver's arrays, more than the memory available to this process")) {
      ok = false;
      return solve_status::out_of_memory;
    }
    descent_result r;
    double used = 0.0;
    // Conjugate gradients preconditioned with a pivoted Cholesky factor first: a third or
    // less of block descent's passes on the benchmarks, and 1.4 to 2.9 times faster (bench/
    // README, "The final solve"). Their result stands where they meet the tolerance, or stop
    // at the check's rounding floor (every entry within it: block descent from there only
    // spends passes at the same floor). Where they use FINAL_CG_PASSES without meeting it,
    // stop lowering the residual short of that floor, or the factor cannot be had, block
    // descent goes on from their iterate, with the floor's handling below.
    bool by_cg = false;
    {
      low_rank_factor factor;
      low_rank_preconditioner P;
      allocation_failure failure;
      const solve_status fs = factor_preconditioner(A, rank, 1e-2 * A.data().ridge, factor, P, failure);
      if (fs == solve_status::interrupted) {
        r.status = fs;
        by_cg = true;
      } else if (fs == solve_status::converged) {
        cg_options o;
        o.tol = tol.data();
        o.max_iterations = static_cast<int>(std::min(max_passes, FINAL_CG_PASSES));
        o.warm_start = std::any_of(alpha.begin(), alpha.end(), [](double v) { return v != 0.0; });
        const descent_result cg = solve_cg(A, P, ctx.Yc.data(), c, o, alpha.data(), G.data());
        used += cg.passes + static_cast<double>(factor.rank) / static_cast<double>(n);
        if (cg.status == solve_status::converged || cg.status == solve_status::interrupted ||
            cg.status == solve_status::out_of_memory ||
            (cg.status == solve_status::tolerance_unreachable && !cg.stagnated)) {
          r = cg;
          by_cg = true;
        } else if (!all_finite(alpha)) {
          std::fill(alpha.begin(), alpha.end(), 0.0);
        }
      }
    }
    multi_options options;
    options.tol = tol.data();
    options.seed = ctx.s.seed;
    options.max_passes = max_passes - used;
    if (!by_cg) {
      r = solve_multi(A, ctx.Yc.data(), c, options, alpha.data(), G.data());
      used += r.passes + static_cast<double>(r.checks);
    }
    auto measure = [&](const descent_result& at) {
      floor_residual = floor_estimate = 0.0;
      for (int q = 0; q < c; ++q) {
        double largest = 0.0;
        for (std::int64_t i = 0; i < n; ++i) largest = std::max(largest, std::fabs(G[q * n + i]));
        const double scale = ctx.s.tolerance / tol[q];
        floor_residual = std::max(floor_residual, largest * scale);
        if (static_cast<size_t>(q) < at.reachable.size())
          floor_estimate = std::max(floor_estimate, at.reachable[q] * scale);
      }
    };
    if (r.status == solve_status::tolerance_unreachable) measure(r);
    while (!by_cg && r.status == solve_status::tolerance_unreachable && r.score < 2 && used < max_passes) {
      best = alpha;
      const double best_score = r.score;
      const double best_residual = floor_residual, best_estimate = floor_estimate;
      options.max_passes = max_passes - used;
      const descent_result next = solve_multi(A, ctx.Yc.data(), c, options, alpha.data(), G.data());
      used += next.passes + static_cast<double>(next.checks);
      if (next.status == solve_status::interrupted || next.status == solve_status::out_of_memory ||
          next.status == solve_status::converged ||
          (next.status == solve_status::tolerance_unreachable && next.score < best_score)) {
        r = next;
        if (r.status == solve_status::tolerance_unreachable) measure(r);
        continue;
      }
      alpha = best;  // no lower: the best round's iterate, still at its floor
      floor_residual = best_residual;
      floor_estimate = best_estimate;
      break;
    }
    if (r.status == solve_status::interrupted) {
      ok = ctx.fail(fit_status::interrupted, "interrupted", "interrupted by the user");
    } else if (r.status == solve_status::out_of_memory) {
      ok = ctx.fail(fit_status::out_of_memory, "outOfMemory",
                    printf_text("could not allocate %.0f bytes for the solver's arrays", r.failed_bytes));
    }
    passes += used;
    column_seconds += A.schedule().column_seconds();
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    threads = A.schedule().parts();
    solve_status status = r.status;
    if (ok) after_solve(ctx, fit_solve_kind::final_solve, max_passes, status, alpha);
    return status;
  });
  if (!ok) return false;
  ctx.say(printf_text("%s (final): coefficients in %.1f passes over K; kernel columns %.1f s of %.1f s  "
               "%8.1f s",
               ctx.env.name.c_str(), passes, column_seconds, seconds, ctx.seconds()));
  if (!all_finite(alpha)) {
    return ctx.fail(fit_status::not_converged, "notConverged",
                    printf_text("the final solve failed (%s), so no finite Alpha exists at the "
                         "hyperparameters found: raise RidgeBounds(1)",
                         status_name(status_code(st)).c_str()));
  }
  if (st == solve_status::tolerance_unreachable && !ctx.s.tolerance_given) {
    note = printf_text("; the final solve's residual at its rounding floor, %s relative, above the "
                "default Tolerance %s",
                format_number("%.3g", floor_residual).c_str(),
                format_number("%g", ctx.s.tolerance).c_str());
  } else if (st == solve_status::tolerance_unreachable) {
    ctx.warn("notConverged",
             printf_text("the final solve's residual stopped at its rounding floor, %s relative, above "
                  "Tolerance = %s; Alpha is the iterate reached: raise Tolerance above that "
                  "(to %s, the floor's estimate, to be sure to meet it), or raise RidgeBounds(1)",
                  format_number("%.3g", floor_residual).c_str(),
                  format_number("%g", ctx.s.tolerance).c_str(),
                  format_number("%.2g", floor_estimate).c_str()));
  } else if (st != solve_status::converged) {
    ctx.warn("notConverged", printf_text("the final solve ended before its tolerance (%s); Alpha is the "
                                  "iterate reached",
                                  status_name(status_code(st)).c_str()));
  }
  return true;
}

// How the scalable stage ended, from its history's last ratio column.
std::string settling(const context& ctx, bool settled) {
  const std::vector<lbfgs_row>& h = ctx.history;
  const double last = h.back()[8];
  if (std::isnan(last)) return "not started (its solves failed at the subset's optimum)";
  if (settled) {
    std::int64_t last_nan = 0;  // 1-based row of the last NaN ratio
    for (size_t i = 0; i < h.size(); ++i)
      if (std::isnan(h[i][8])) last_nan = static_cast<std::int64_t>(i + 1);
    return printf_text("settled after %lld iterations (every slope within twice its error)",
                static_cast<long long>(h.size()) - last_nan - 1);
  }
  if (std::isinf(last))
    return printf_text("not settled in its %d iterations (one probe gives the slopes no errors)",
                ctx.s.scalable_iterations);
  return printf_text("not settled in its %d iterations (largest slope %s times its error)",
              ctx.s.scalable_iterations, format_number("%.3g", last).c_str());
}

}  // namespace

bool scalable_fit(context& ctx, const std::vector<double>& theta_subset,
                  const std::vector<std::int64_t>& subset, scalable_outcome& out) {
  const std::int64_t n = ctx.n, m = static_cast<std::int64_t>(subset.size());
  const int c = ctx.c, p = ctx.s.probes, d = ctx.d;
  std::string fitted;
  const std::vector<std::int64_t> stage_set = stage_observations(ctx, m, fitted);
  const std::int64_t r = static_cast<std::int64_t>(stage_set.size());
  std::vector<double> Xr, Yr;
  take_rows(ctx, stage_set, Xr, Yr);
  const std::vector<int> free = ctx.free_entries();

  // The slopes need the solves only roughly (their error is far below the probes'); at
  // most 50 passes per evaluation, and once 200 where those do not reach the tolerance.
  lml_settings s = estimator_settings(ctx, 1e-2, 60);
  s.log_det = false;
  s.probe_traces = true;
  const int k = block_size(ctx, r, p + c);

  // The stage's state: each evaluation warm-starts from the last accepted one's solutions.
  std::vector<double> warm;
  std::vector<int> failures;
  double evaluations = 0, passes = 0, column_seconds = 0, module_seconds = 0, threads = NaN;
  lbfgs_objective fun = [&](const double* t, double* g, double* e) {
    const std::vector<double> theta = fill_in(theta_subset, free, t);
    std::vector<double> V = warm.empty() ? std::vector<double>(static_cast<size_t>(r) * (c + p), 0.0) : warm;
    estimate_call call;
    bool ok = true;
    const solve_status st = solve_with_retry(50.0, false, V, [&](double max_passes) {
      s.max_passes = max_passes;
      if (!estimate(ctx, Xr.data(), r, Yr.data(), theta, s, k, V, call)) {
        ok = false;
        return solve_status::interrupted;
      }
      passes += call.e.passes_over_k;
      column_seconds += call.e.column_seconds;
      module_seconds += call.seconds;
      after_solve(ctx, fit_solve_kind::stage_evaluation, max_passes, call.e.solve.status, V,
                  &call.e.gradient);
      return call.e.solve.status;
    });
    for (size_t q = 0; q < free.size(); ++q) g[q] = e[q] = NaN;
    if (!ok) return NaN;
    evaluations += 1;
    threads = max_skip_nan(threads, call.threads);
    bool finite = true;
    for (double x : call.e.gradient) finite = finite && std::isfinite(x);
    if (st == solve_status::converged && finite) {
      warm = std::move(V);
      for (size_t q = 0; q < free.size(); ++q) {
        const int i = free[q];
        std::vector<double> traces(p);
        for (int j = 0; j < p; ++j) traces[j] = call.e.probe_traces[static_cast<size_t>(j) * (d + 2) + i];
        g[q] = call.e.gradient[i];
        e[q] = spread(traces) / std::sqrt(static_cast<double>(p));
      }
    } else {
      failures.push_back(st == solve_status::converged ? -1 : status_code(st));
    }
    return call.e.value;
  };
  lbfgs_options o = stage_options(ctx, ctx.label(fitted));
  o.max_iterations = ctx.s.scalable_iterations;
  o.slopes = true;
  o.errors = true;
  lbfgs_hooks hooks;
  hooks.profile = [&] {
    return std::array<double, 4>{evaluations, passes, column_seconds, module_seconds};
  };
  const lbfgs_result lr = run_optimiser(ctx, fun, hooks, o, theta_subset, free);
  if (ctx.failed()) return false;
  std::vector<double> theta = theta_subset;
  bool settled = false;
  if (lr.status == lbfgs_status::invalid_arguments)
    return ctx.fail(fit_status::invalid_input, "invalidInput", lr.message);
  if (lr.status != lbfgs_status::not_finite_start) {
    // (Where the solves failed at the subset's optimum itself, the stage keeps that point.)
    theta = fill_in(theta_subset, free, lr.x.data());
    settled = lr.settled;
  }
  if (!failures.empty()) {
    std::map<int, int> counts;
    for (int f : failures) ++counts[f];
    std::string parts;
    for (const auto& entry : counts)
      parts += (parts.empty() ? "" : ", ") + printf_text("%s: %d", status_name(entry.first).c_str(), entry.second);
    ctx.warn("notConverged",
             printf_text("the scalable stage's solves failed at %d of its %d evaluations (%s); those "
                  "points were rejected, and the stage kept the last point whose solves converged",
                  static_cast<int>(failures.size()), static_cast<int>(evaluations), parts.c_str()));
  }
  std::vector<double>().swap(Xr);
  std::vector<double>().swap(Yr);
  // The stage's last solutions start the estimate on all n only where they are of all n.
  if (r != n) std::vector<double>().swap(warm);
  check_result check;
  if (!check_stage(ctx, theta_subset, theta, subset, stage_set, std::move(warm), check)) return false;
  double final_threads = NaN, solve_passes = NaN;
  std::string solve_note;
  if (!final_solve(ctx, check.theta, check.V, out.alpha, final_threads, solve_passes, solve_note))
    return false;
  out.threads = max_skip_nan(max_skip_nan(threads, check.threads), final_threads);
  out.f = check.f;
  out.f_error = check.f_error;
  double estimate_passes = check.passes;
  if (check.later) {
    // The objective on all n at the final coefficients: their data fit, and the log
    // determinant estimated (the probes need no solves for it).
    std::vector<double> start(static_cast<size_t>(n) * (c + p), 0.0);
    std::copy(out.alpha.begin(), out.alpha.end(), start.begin());
    final_estimate_result e;
    if (!final_estimate(ctx, check.theta, std::move(start), e)) return false;
    out.f = e.f;
    out.f_error = objective_error(e.q, c);
    estimate_passes = e.passes;
    out.threads = max_skip_nan(out.threads, e.threads);
  }
  out.theta = check.theta;
  out.final_passes = {estimate_passes, solve_passes};
  out.how = printf_text("exact on %lld, then estimated on %s, %s; %s", static_cast<long long>(m),
                 fitted.c_str(), settling(ctx, settled).c_str(), check.verdict.c_str()) +
            solve_note;
  return true;
}

}  // namespace fitting
}  // namespace krr
