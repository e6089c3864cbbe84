// The block system's solution (block_solution.h): the bordered inverse update while its
// pivots are safe, a Cholesky factorisation grown member by member after, and the check
// that the solution lowers the objective.
#include "common/exact_arithmetic.h"

#include "training/block_solution.h"

#include <cmath>

#include "training/block_inverse.h"

namespace krr {

namespace {

constexpr double SAFE_PIVOT = 0x1p-20;       // of the diagonal entry, for the bordered update
constexpr double DEPENDENT_PIVOT = 0x1p-40;  // of the diagonal entry, for the factorisation
constexpr double UNIT_ROUNDOFF = 0x1p-53;

// Row a of the Cholesky factor L (kept in ws.block_inverse, entry (a, c) at a*k + c) from
// row a of the block matrix and the rows before it. Rows of members left out are zero, so
// they drop out of every later sum. Also the forward solution z = L^-1 rhs at a.
void factor_member(block_workspace& ws, int a, int k, block_solution_stats& stats) {
  const double* row = ws.block_matrix + static_cast<std::ptrdiff_t>(a) * k;
  double* La = ws.block_inverse + static_cast<std::ptrdiff_t>(a) * k;
  double pivot = row[a];
  double z = ws.block_rhs[a];
  for (int c = 0; c < a; ++c) {
    if (!ws.active[c]) {
      La[c] = 0.0;
      continue;
    }
    const double* Lc = ws.block_inverse + static_cast<std::ptrdiff_t>(c) * k;
    double v = row[c];
    for (int e = 0; e < c; ++e) v -= La[e] * Lc[e];
    La[c] = v / Lc[c];
    pivot -= La[c] * La[c];
    z -= La[c] * ws.forward[c];
  }
  if (pivot > DEPENDENT_PIVOT * row[a] && std::isfinite(pivot)) {
    ws.active[a] = 1;
    La[a] = std::sqrt(pivot);
    ws.forward[a] = z / La[a];
  } else {
    ws.active[a] = 0;
    La[a] = 0.0;
    ws.forward[a] = 0.0;
    stats.dropped_members += 1;
  }
}

// block_delta[0 ... count-1] = L^-T z, 0 for the members left out.
void solve_factored(block_workspace& ws, int count, int k) {
  for (int a = count - 1; a >= 0; --a) {
    if (!ws.active[a]) {
      ws.block_delta[a] = 0.0;
      continue;
    }
    double v = ws.forward[a];
    for (int c = a + 1; c < count; ++c) {
      if (ws.active[c]) v -= ws.block_inverse[static_cast<std::ptrdiff_t>(c) * k + a] * ws.block_delta[c];
    }
    ws.block_delta[a] = v / ws.block_inverse[static_cast<std::ptrdiff_t>(a) * k + a];
  }
}

// Solves members 0 ... last by the factorisation from here on.
void switch_to_factorisation(block_workspace& ws, int last, int k, block_solution_stats& stats) {
  ws.factored = true;
  for (int a = 0; a <= last; ++a) factor_member(ws, a, k, stats);
  solve_factored(ws, last + 1, k);
}

// Whether the block solution lowers f over the block: the change
// sum_j delta_j * ((A delta)_j / 2 - rhs_j) is at most its own rounding error. delta and
// rhs are scaled by a power of 2 first (exactly), so that huge targets cannot overflow the
// change and make a sound solution look like a failed one.
bool lowers_objective(const block_workspace& ws, int count, int k) {
  double largest = 0.0;
  for (int j = 0; j < count; ++j) {
    if (!std::isfinite(ws.block_delta[j])) return false;
    largest = std::fmax(largest, std::fmax(std::fabs(ws.block_delta[j]), std::fabs(ws.block_rhs[j])));
  }
  if (largest == 0.0) return true;
  const double scale = std::ldexp(1.0, -std::ilogb(largest));
  double change = 0.0, size = 0.0;
  for (int j = 0; j < count; ++j) {
    const double dj = ws.block_delta[j] * scale;
    double ad = 0.0, magnitude = 0.0;
    for (int c = 0; c < count; ++c) {
      // The block matrix is symmetric and stored by rows up to the diagonal.
      const double a = c <= j ? ws.block_matrix[static_cast<std::ptrdiff_t>(j) * k + c]
                              : ws.block_matrix[static_cast<std::ptrdiff_t>(c) * k + j];
      const double term = a * (ws.block_delta[c] * scale);
      ad += term;
      magnitude += std::fabs(term);
    }
    const double rj = ws.block_rhs[j] * scale;
    change += dj * (0.5 * ad - rj);
    size += std::fabs(dj) * (0.5 * magnitude + std::fabs(rj));
  }
  return std::isfinite(change) && change <= 4.0 * (count + 2) * UNIT_ROUNDOFF * size;
}

}  // namespace

void add_block_member(block_workspace& ws, int i, int k, block_solution_stats& stats) {
  double* row = ws.block_matrix + static_cast<std::ptrdiff_t>(i) * k;
  for (int j = 0; j <= i; ++j) row[j] = ws.new_row[j];
  const double gamma = ws.new_row[i];
  if (i == 0) {
    ws.factored = false;
    if (gamma > 0.0 && std::isfinite(gamma)) {
      ws.block_inverse[0] = 1.0 / gamma;
      ws.block_delta[0] = ws.block_inverse[0] * ws.block_rhs[0];
      return;
    }
    stats.unsafe_pivots += 1;
    if (!(gamma > 0.0)) stats.zero_diagonal = true;
    switch_to_factorisation(ws, 0, k, stats);
    return;
  }
  if (!ws.factored) {
    const double pivot = bordered_pivot(ws.block_inverse, ws.new_row, i, k, ws.inverse_scratch);
    if (pivot > SAFE_PIVOT * gamma && std::isfinite(pivot)) {
      apply_bordered_update(ws.block_inverse, ws.block_delta, ws.block_rhs, i, k,
                            ws.inverse_scratch, 1.0 / pivot);
      return;
    }
    stats.unsafe_pivots += 1;
    switch_to_factorisation(ws, i, k, stats);
    return;
  }
  factor_member(ws, i, k, stats);
  solve_factored(ws, i + 1, k);
}

void finish_block(block_workspace& ws, int count, int k, block_solution_stats& stats) {
  if (lowers_objective(ws, count, k)) return;
  stats.failed_checks += 1;
  if (!ws.factored) {
    switch_to_factorisation(ws, count - 1, k, stats);
    if (lowers_objective(ws, count, k)) return;
  }
  // The exact step along the first member alone: -rhs_0^2 / (2 A_00) <= 0.
  const double a00 = ws.block_matrix[0];
  for (int j = 0; j < count; ++j) ws.block_delta[j] = 0.0;
  if (a00 > 0.0 && std::isfinite(a00)) ws.block_delta[0] = ws.block_rhs[0] / a00;
}

}  // namespace krr
