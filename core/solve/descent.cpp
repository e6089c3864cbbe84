// The outer loop of the descent (descent.h).
#include "core/exact_arithmetic.h"

#include "core/solve/descent.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <limits>

#include "core/parallel/allocation.h"
#include "core/solve/gradient_check.h"

namespace krr {

namespace {

bool all_finite(const double* v, std::int64_t count) {
  for (std::int64_t i = 0; i < count; ++i) {
    if (!std::isfinite(v[i])) return false;
  }
  return true;
}

// Whether every |G(r, q)| <= tol[q], the n rows of each of the c columns.
bool within_tolerances(const descent_problem& problem, std::int64_t n) {
  for (int q = 0; q < problem.c; ++q) {
    for (std::int64_t r = 0; r < n; ++r) {
      if (!(std::fabs(problem.G[q * n + r]) <= problem.tol[q])) return false;
    }
  }
  return true;
}

// The least score above a limit: one that keeps the descent going.
double above(double limit) { return std::nextafter(limit, std::numeric_limits<double>::infinity()); }

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

max_abs_result block_step_method::step(int first, std::int64_t t, block_solution_stats& stats) {
  const max_abs_result best = run(first, t, stats);
  if (A_.stop().stopped()) return best;
  // Each member's change goes to the rank holding its row.
  row_team& team = A_.team();
  const std::int64_t rows = A_.rows();
  for (int j = 0; j < A_.k(); ++j) {
    if (!team.holds(members_[j])) continue;
    const std::int64_t r = members_[j] - team.first();
    const double* d = delta_ + static_cast<std::ptrdiff_t>(j) * c_;
    for (int q = 0; q < c_; ++q) V_[q * rows + r] += d[q];
  }
  return best;
}

bool block_step_method::step_finite() const {
  const std::int64_t count = static_cast<std::int64_t>(A_.k()) * c_;
  for (std::int64_t i = 0; i < count; ++i) {
    if (!std::isfinite(delta_[i])) return false;
  }
  return true;
}

double descent_bytes(std::int64_t n, int c) { return 2.0 * 8.0 * static_cast<double>(n) * c; }

check_outcome after_check(const gradient_check& check, interruption& stop, descent_result& result) {
  if (stop.stopped()) {
    result.status = solve_status::interrupted;
    return check_outcome::ended;
  }
  if (check.met) return check_outcome::met;
  if (!check.finite) {
    result.status = solve_status::breakdown;
    return check_outcome::ended;
  }
  if (check.at_floor) {
    result.status = solve_status::tolerance_unreachable;
    result.reachable = check.reachable;
    return check_outcome::unreachable;
  }
  return check_outcome::replace;
}

descent_result descend(kernel_operator& A, block_method& method, const descent_problem& problem,
                       const descent_settings& settings) {
  descent_result result;
  // G and V hold this rank's rows of the team's n.
  row_team& team = A.team();
  const std::int64_t n = A.n(), rows = A.rows(), count = rows * problem.c;
  const int k = A.k();
  allocation_failure failure;
  auto checked = try_allocate<double>(2 * static_cast<std::uint64_t>(count), false,
                                      "the gradient check", failure);
  if (!team.all(!failure.failed)) {
    result.status = solve_status::out_of_memory;
    result.failed_bytes = failure.bytes;
    return result;
  }
  interruption& stop = A.stop();

  // The best row serves both the test and the next step's first member.
  max_abs_result best = method.best();
  double score = settings.at_least_one_step ? settings.score_limit + 1.0 : best.value;
  const double work_limit = settings.max_passes * n;
  // A gradient that is not finite before any step (a warm start so large that A V
  // overflows) is a breakdown too: no step could be chosen on it.
  bool broke_down = !team.all(all_finite(problem.G, count));
  // A score within its limit from the start (a warm start) ends the descent at once, but
  // only where every |G(r, q)| <= tol[q] itself: a score is a rounded ratio, and may pass
  // where the gradient exceeds its tolerance by an ulp.
  if (!broke_down && !settings.at_least_one_step && !(score > settings.score_limit) &&
      !team.all(within_tolerances(problem, rows))) {
    score = above(settings.score_limit);
  }
  while (!broke_down && score > settings.score_limit) {
    best = method.step(best.index, result.steps, result.block);
    if (stop.stopped()) {  // the step was cut short; nothing of it counts
      result.status = solve_status::interrupted;
      break;
    }
    result.steps += 1;
    score = best.value;
    // A non-finite block solution (only overflow makes one) has spread into every
    // gradient entry; no later step can recover from it.
    if (!method.step_finite()) {
      broke_down = true;
      break;
    }
    if (!(score > settings.score_limit)) {
      // The running gradient says every tolerance is met: check it afresh. When it holds,
      // the outputs stand; otherwise the descent goes on from the checked gradient, unless
      // that is already at its rounding floor.
      const auto check_start = std::chrono::steady_clock::now();
      const gradient_check check = check_gradient(A, problem.B, problem.c, problem.V,
                                                  problem.tol, checked.get(), checked.get() + count);
      result.checks += 1;
      result.check_seconds += seconds_since(check_start);
      const check_outcome outcome = after_check(check, stop, result);
      if (outcome == check_outcome::met) {
        if (!settings.keep_running_gradient) {
          std::copy(checked.get(), checked.get() + count, problem.G);
          score = method.best().value;
        }
        break;
      }
      if (outcome == check_outcome::ended) break;
      // G becomes the checked gradient, also where it is at its floor (the outputs' bits).
      std::copy(checked.get(), checked.get() + count, problem.G);
      best = method.best();
      // The check found a gradient above its tolerance: the descent goes on, whatever the
      // rounded score says.
      score = best.value > settings.score_limit ? best.value : above(settings.score_limit);
      if (outcome == check_outcome::unreachable) break;
      result.replacements += 1;
    }
    if (result.block.zero_diagonal) {
      result.status = solve_status::singular;
      break;
    }
    const double work = static_cast<double>(result.steps) * k +
                        static_cast<double>(result.replacements) * n;
    if (work >= work_limit) {
      result.status = solve_status::not_converged;
      break;
    }
    if (stop.requested()) {
      result.status = solve_status::interrupted;
      break;
    }
  }
  result.score = score;
  result.passes = static_cast<double>(result.steps) * k / n;
  if (result.status != solve_status::interrupted &&
      (broke_down || !team.all(all_finite(problem.G, count) && all_finite(problem.V, count)))) {
    result.status = solve_status::breakdown;
  }
  return result;
}

}  // namespace krr
