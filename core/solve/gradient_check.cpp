// The gradient checked afresh (gradient_check.h).
#include "core/exact_arithmetic.h"

#include "core/solve/gradient_check.h"

#include <cmath>
#include <limits>
#include <vector>

namespace krr {

namespace {

// Each column's largest magnitude over the team's rows; a NaN stays once met.
void largest_per_column(const double* G, std::int64_t n, int c, gradient_check& check,
                        row_team& team) {
  check.largest.assign(c, 0.0);
  // Per column the largest, then whether a NaN was met (1) or not (0): both exact maxima.
  std::vector<double> greatest(2 * static_cast<std::size_t>(c), 0.0);
  for (int q = 0; q < c; ++q) {
    double& largest = check.largest[q];
    for (std::int64_t r = 0; r < n; ++r) {
      const double g = std::fabs(G[q * n + r]);
      if (g > largest || std::isnan(g)) largest = g;
      if (!std::isfinite(g)) check.finite = false;
    }
    if (std::isnan(largest)) {
      greatest[c + q] = 1.0;
    } else {
      greatest[q] = largest;
    }
  }
  team.extremes(nullptr, greatest.data(), 2 * c);
  for (int q = 0; q < c; ++q) {
    check.largest[q] = greatest[c + q] != 0.0 ? std::numeric_limits<double>::quiet_NaN() : greatest[q];
  }
  check.finite = team.all(check.finite);
}

}  // namespace

gradient_check check_gradient(kernel_operator& A, const double* B, int c, const double* V,
                              const double* tol, double* G, double* size) {
  row_team& team = A.team();
  const std::int64_t n = A.rows(), count = n * c;
  gradient_check check;
  for (std::int64_t i = 0; i < count; ++i) G[i] = -B[i];
  A.accumulate(V, c, G);
  largest_per_column(G, n, c, check, team);
  check.met = true;
  for (int q = 0; q < c; ++q) check.met = check.met && check.largest[q] <= tol[q];
  if (check.met || !check.finite) return check;

  // Failed: the same sums again (the same bits) with the sizes that give each row's floor.
  for (std::int64_t i = 0; i < count; ++i) {
    G[i] = -B[i];
    size[i] = std::fabs(B[i]);
  }
  const std::int64_t terms = A.accumulate(V, c, G, size) + 1;
  const double floor_factor = std::sqrt(static_cast<double>(terms)) * 0x1p-53;
  check.at_floor = true;
  check.reachable.assign(c, 0.0);
  for (int q = 0; q < c; ++q) {
    for (std::int64_t r = 0; r < n; ++r) {
      const double g = std::fabs(G[q * n + r]);
      const double floor = floor_factor * size[q * n + r];
      if (floor > check.reachable[q]) check.reachable[q] = floor;
      if (!(g <= tol[q] || g <= floor)) check.at_floor = false;
    }
  }
  team.extremes(nullptr, check.reachable.data(), c);
  check.at_floor = team.all(check.at_floor);
  return check;
}

}  // namespace krr
