// The block system's solution (block_solution.h): the bordered inverse update while its
// pivots are safe, a Cholesky factorisation grown member by member after, and the check
// that the solution lowers the objective.
#include "core/exact_arithmetic.h"

#include "core/solve/block_solution.h"

#include <cmath>

#include "core/solve/block_inverse.h"

namespace krr {

namespace {

constexpr double SAFE_PIVOT = 0x1p-20;       // of the diagonal entry, for the bordered update
constexpr double DEPENDENT_PIVOT = 0x1p-40;  // of the diagonal entry, for the factorisation
constexpr double UNIT_ROUNDOFF = 0x1p-53;

}  // namespace

void factor_row(const factored_block& b, int a, block_solution_stats& stats) {
  const double* row = b.matrix + static_cast<std::ptrdiff_t>(a) * b.k;
  double* La = b.factor + static_cast<std::ptrdiff_t>(a) * b.k;
  double pivot = row[a];
  for (int c = 0; c < a; ++c) {
    if (!b.active[c]) {
      La[c] = 0.0;
      continue;
    }
    const double* Lc = b.factor + static_cast<std::ptrdiff_t>(c) * b.k;
    double v = row[c];
    for (int e = 0; e < c; ++e) v -= La[e] * Lc[e];
    La[c] = v / Lc[c];
    pivot -= La[c] * La[c];
  }
  double* za = b.forward + static_cast<std::ptrdiff_t>(a) * b.c;
  if (!(pivot > DEPENDENT_PIVOT * row[a] && std::isfinite(pivot))) {
    b.active[a] = 0;
    La[a] = 0.0;
    for (int q = 0; q < b.c; ++q) za[q] = 0.0;
    stats.dropped_members += 1;
    return;
  }
  b.active[a] = 1;
  La[a] = std::sqrt(pivot);
  for (int q = 0; q < b.c; ++q) {
    double z = b.rhs[static_cast<std::ptrdiff_t>(a) * b.c + q];
    for (int c = 0; c < a; ++c) {
      if (b.active[c]) z -= La[c] * b.forward[static_cast<std::ptrdiff_t>(c) * b.c + q];
    }
    za[q] = z / La[a];
  }
}

void solve_factored(const factored_block& b, int count) {
  for (int a = count - 1; a >= 0; --a) {
    double* da = b.delta + static_cast<std::ptrdiff_t>(a) * b.c;
    if (!b.active[a]) {
      for (int q = 0; q < b.c; ++q) da[q] = 0.0;
      continue;
    }
    const double La = b.factor[static_cast<std::ptrdiff_t>(a) * b.k + a];
    for (int q = 0; q < b.c; ++q) {
      double v = b.forward[static_cast<std::ptrdiff_t>(a) * b.c + q];
      for (int c = a + 1; c < count; ++c) {
        if (b.active[c]) {
          v -= b.factor[static_cast<std::ptrdiff_t>(c) * b.k + a] *
               b.delta[static_cast<std::ptrdiff_t>(c) * b.c + q];
        }
      }
      da[q] = v / La;
    }
  }
}

namespace {

factored_block factored_view(const block_system& b) {
  return {b.matrix, b.inverse, b.active, b.rhs, b.forward, b.delta, b.k, b.c};
}

// Solves members 0 ... last by the factorisation from here on.
void switch_to_factorisation(const block_system& b, int last, block_solution_stats& stats) {
  *b.factored = true;
  for (int a = 0; a <= last; ++a) factor_row(factored_view(b), a, stats);
  solve_factored(factored_view(b), last + 1);
}

// Whether the block solution lowers f over the block for right-hand side q: the change
// sum_j delta_j * ((A delta)_j / 2 - rhs_j) is at most its own rounding error. delta and
// rhs are scaled by a power of 2 first (exactly), so that huge targets cannot overflow the
// change and make a sound solution look like a failed one.
bool lowers_objective(const block_system& b, int count, int q) {
  const int k = b.k, c = b.c;
  auto delta = [&](int j) { return b.delta[static_cast<std::ptrdiff_t>(j) * c + q]; };
  auto rhs = [&](int j) { return b.rhs[static_cast<std::ptrdiff_t>(j) * c + q]; };
  double largest = 0.0;
  for (int j = 0; j < count; ++j) {
    if (!std::isfinite(delta(j))) return false;
    largest = std::fmax(largest, std::fmax(std::fabs(delta(j)), std::fabs(rhs(j))));
  }
  if (largest == 0.0) return true;
  const double scale = std::ldexp(1.0, -std::ilogb(largest));
  double change = 0.0, size = 0.0;
  for (int j = 0; j < count; ++j) {
    const double dj = delta(j) * scale;
    double ad = 0.0, magnitude = 0.0;
    for (int i = 0; i < count; ++i) {
      // The block matrix is symmetric and stored by rows up to the diagonal.
      const double a = i <= j ? b.matrix[static_cast<std::ptrdiff_t>(j) * k + i]
                              : b.matrix[static_cast<std::ptrdiff_t>(i) * k + j];
      const double term = a * (delta(i) * scale);
      ad += term;
      magnitude += std::fabs(term);
    }
    const double rj = rhs(j) * scale;
    change += dj * (0.5 * ad - rj);
    size += std::fabs(dj) * (0.5 * magnitude + std::fabs(rj));
  }
  return std::isfinite(change) && change <= 4.0 * (count + 2) * UNIT_ROUNDOFF * size;
}

bool lowers_every_objective(const block_system& b, int count) {
  for (int q = 0; q < b.c; ++q) {
    if (!lowers_objective(b, count, q)) return false;
  }
  return true;
}

}  // namespace

block_system single_system(block_workspace& ws, int k) {
  return {ws.block_matrix, ws.block_inverse, ws.block_rhs, ws.forward, ws.block_delta,
          ws.active, ws.inverse_scratch, ws.new_row, &ws.factored, k, 1};
}

void add_block_member(const block_system& b, int i, block_solution_stats& stats) {
  const int k = b.k, c = b.c;
  double* row = b.matrix + static_cast<std::ptrdiff_t>(i) * k;
  for (int j = 0; j <= i; ++j) row[j] = b.new_row[j];
  const double gamma = b.new_row[i];
  if (i == 0) {
    *b.factored = false;
    if (gamma > 0.0 && std::isfinite(gamma)) {
      b.inverse[0] = 1.0 / gamma;
      for (int q = 0; q < c; ++q) b.delta[q] = b.inverse[0] * b.rhs[q];
      return;
    }
    stats.unsafe_pivots += 1;
    if (!(gamma > 0.0)) stats.zero_diagonal = true;
    switch_to_factorisation(b, 0, stats);
    return;
  }
  if (!*b.factored) {
    const double pivot = bordered_pivot(b.inverse, b.new_row, i, k, b.u);
    if (pivot > SAFE_PIVOT * gamma && std::isfinite(pivot)) {
      const double q = 1.0 / pivot;
      update_bordered_inverse(b.inverse, i, k, b.u, q);
      for (int col = 0; col < c; ++col) update_bordered_solution(b.delta + col, b.rhs + col, c, i, b.u, q);
      return;
    }
    stats.unsafe_pivots += 1;
    switch_to_factorisation(b, i, stats);
    return;
  }
  factor_row(factored_view(b), i, stats);
  solve_factored(factored_view(b), i + 1);
}

void finish_block(const block_system& b, int count, block_solution_stats& stats) {
  if (lowers_every_objective(b, count)) return;
  stats.failed_checks += 1;
  if (!*b.factored) {
    switch_to_factorisation(b, count - 1, stats);
    if (lowers_every_objective(b, count)) return;
  }
  // The exact step along the first member alone: -rhs_0^2 / (2 A_00) <= 0.
  const double a00 = b.matrix[0];
  for (std::ptrdiff_t j = 0; j < static_cast<std::ptrdiff_t>(count) * b.c; ++j) b.delta[j] = 0.0;
  if (a00 > 0.0 && std::isfinite(a00)) {
    for (int q = 0; q < b.c; ++q) b.delta[q] = b.rhs[q] / a00;
  }
}

}  // namespace krr
