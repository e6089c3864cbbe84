// Stochastic Lanczos quadrature (lanczos.h).
#include "core/exact_arithmetic.h"

#include "core/learn/lanczos.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace krr {

bool tridiagonal_eigen(std::vector<double> d, std::vector<double> b, std::vector<double>& values,
                       std::vector<double>& first) {
  const int m = static_cast<int>(d.size());
  std::vector<double> e(m, 0.0);  // e[i] joins i and i + 1; e[m - 1] = 0
  for (int i = 0; i + 1 < m; ++i) e[i] = b[i];
  first.assign(m, 0.0);
  if (m > 0) first[0] = 1.0;
  const double eps = std::numeric_limits<double>::epsilon();
  for (int l = 0; l < m; ++l) {
    for (int iteration = 0;; ++iteration) {
      // The first negligible off-diagonal entry from l on splits the matrix there.
      int split = l;
      while (split + 1 < m && std::fabs(e[split]) > eps * (std::fabs(d[split]) + std::fabs(d[split + 1]))) {
        ++split;
      }
      if (split == l) break;
      if (iteration == 60) return false;
      // Implicit shift from the trailing 2 x 2 block at l (Wilkinson).
      double g = (d[l + 1] - d[l]) / (2.0 * e[l]);
      double r = std::hypot(g, 1.0);
      g = d[split] - d[l] + e[l] / (g + std::copysign(r, g));
      double s = 1.0, c = 1.0, p = 0.0;
      int i = split - 1;
      for (; i >= l; --i) {
        const double f = s * e[i];
        const double h = c * e[i];
        r = std::hypot(f, g);
        e[i + 1] = r;
        if (r == 0.0) {  // the rotation underflowed: deflate and start over
          d[i + 1] -= p;
          e[split] = 0.0;
          break;
        }
        s = f / r;
        c = g / r;
        g = d[i + 1] - p;
        r = (d[i] - g) * s + 2.0 * c * h;
        p = s * r;
        d[i + 1] = g + p;
        g = c * r - h;
        // The same rotation on the first row of the eigenvector matrix.
        const double z = first[i + 1];
        first[i + 1] = s * first[i] + c * z;
        first[i] = c * first[i] - s * z;
      }
      if (r == 0.0 && i >= l) continue;
      d[l] -= p;
      e[l] = g;
      e[split] = 0.0;
    }
  }
  values = d;
  return true;
}

double log_quadrature(const std::vector<double>& a, const std::vector<double>& b) {
  std::vector<double> values, first;
  if (a.empty() || !tridiagonal_eigen(a, b, values, first)) return std::nan("");
  double sum = 0.0;
  for (std::size_t k = 0; k < values.size(); ++k) {
    if (!(values[k] > 0.0)) return std::nan("");
    sum += first[k] * first[k] * std::log(values[k]);
  }
  return sum;
}

std::vector<double> lanczos_log_quadratures(const double* probes, std::int64_t n, int p,
                                            const lanczos_settings& settings,
                                            bool (*multiply)(void*, const double*, double*),
                                            void* context,
                                            bool (*precondition)(void*, const double*, double*),
                                            void* precondition_context) {
  const std::int64_t size = n * p;
  const bool preconditioned = precondition != nullptr;
  // current and next hold r (the vectors themselves without a preconditioner); with one,
  // current_q and next_q hold P^-1 r, which A multiplies and the inner products use.
  std::vector<double> previous(size, 0.0), current(size), next(size);
  std::vector<double> current_q(preconditioned ? size : 0), next_q(preconditioned ? size : 0);
  double* q_now = preconditioned ? current_q.data() : current.data();
  const double* q_next = preconditioned ? next_q.data() : next.data();
  std::vector<double> norms(p, 0.0), beta(p, 0.0), estimate(p, std::nan("")), a_step(p, 0.0);
  std::vector<std::vector<double>> alphas(p), betas(p);
  std::vector<char> done(p, 0), active(p, 0);
  if (preconditioned && !precondition(precondition_context, probes, current_q.data())) {
    return estimate;
  }
  const double* q_start = preconditioned ? current_q.data() : probes;
  for (int s = 0; s < p; ++s) {
    double sq = 0.0;
    for (std::int64_t r = 0; r < n; ++r) sq += probes[s * n + r] * q_start[s * n + r];
    norms[s] = std::sqrt(sq);
    for (std::int64_t r = 0; r < n; ++r) current[s * n + r] = probes[s * n + r] / norms[s];
    if (preconditioned) {
      for (std::int64_t r = 0; r < n; ++r) current_q[s * n + r] = current_q[s * n + r] / norms[s];
    }
  }
  auto settle = [&](int s) {
    const double q = log_quadrature(alphas[s], betas[s]);
    const double value = norms[s] * norms[s] * q;
    const bool settled = std::fabs(value - estimate[s]) <= settings.tolerance * std::fabs(value);
    estimate[s] = value;
    return settled;
  };
  for (int step = 0; step < settings.steps; ++step) {
    std::fill(next.begin(), next.end(), 0.0);
    if (!multiply(context, q_now, next.data())) break;
    for (int s = 0; s < p; ++s) {
      active[s] = !done[s];
      if (done[s]) continue;
      double a = 0.0;
      for (std::int64_t r = 0; r < n; ++r) {
        next[s * n + r] -= beta[s] * previous[s * n + r];
        a += q_now[s * n + r] * next[s * n + r];
      }
      for (std::int64_t r = 0; r < n; ++r) next[s * n + r] -= a * current[s * n + r];
      a_step[s] = a;
    }
    if (preconditioned && !precondition(precondition_context, next.data(), next_q.data())) break;
    int remaining = 0;
    for (int s = 0; s < p; ++s) {
      if (!active[s]) continue;
      const double a = a_step[s];
      double sq = 0.0;
      for (std::int64_t r = 0; r < n; ++r) sq += next[s * n + r] * q_next[s * n + r];
      alphas[s].push_back(a);
      const double b = std::sqrt(sq);
      // Breakdown: the Krylov space is exhausted, and the quadrature is exact.
      if (!(b > 1e-12 * std::fabs(a)) || step + 1 == settings.steps) {
        settle(s);
        done[s] = 1;
        continue;
      }
      if ((step + 1) % settings.check_every == 0 && settle(s)) {
        done[s] = 1;
        continue;
      }
      betas[s].push_back(b);
      beta[s] = b;
      for (std::int64_t r = 0; r < n; ++r) {
        previous[s * n + r] = current[s * n + r];
        current[s * n + r] = next[s * n + r] / b;
      }
      if (preconditioned) {
        for (std::int64_t r = 0; r < n; ++r) current_q[s * n + r] = next_q[s * n + r] / b;
      }
      remaining += 1;
    }
    if (remaining == 0) break;
  }
  for (int s = 0; s < p; ++s) {
    if (!done[s] && !alphas[s].empty()) {  // stopped: what has been built
      betas[s].resize(alphas[s].size() - 1);
      settle(s);
    }
  }
  return estimate;
}

}  // namespace krr
