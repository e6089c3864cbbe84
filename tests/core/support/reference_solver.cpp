// Literal reference of the training algorithm and a dense direct solver, for tests.
#include "tests/core/support/reference_solver.h"

#include <cmath>
#include <utility>

namespace reference {

namespace {

double wdot(const std::vector<double>& P, int a, const std::vector<double>& Q, int b, int d,
            const std::vector<double>& w) {
  double s = 0.0;
  for (int l = 0; l < d; ++l) s += (P[a * d + l] * Q[b * d + l]) * w[l];
  return s;
}

std::pair<double, int> max_abs(const double* v, int count) {
  double best = std::fabs(v[0]);
  int at = 0;
  for (int i = 1; i < count; ++i) {
    if (std::fabs(v[i]) > best) {
      best = std::fabs(v[i]);
      at = i;
    }
  }
  return {best, at};
}

}  // namespace

void grow(std::vector<double>& inv, std::vector<double>& delta, const std::vector<double>& row,
          const std::vector<double>& rhs, int a, int k) {
  std::vector<double> u(a, 0.0);
  for (int r = 0; r < a; ++r) {
    u[r] = 0.0;
    for (int c = 0; c < a; ++c) u[r] += inv[r * k + c] * row[c];
  }
  double s = 0.0;
  for (int c = 0; c < a; ++c) s += row[c] * u[c];
  double q = 1.0 / (row[a] - s);
  for (int r = 0; r < a; ++r)
    for (int c = 0; c < a; ++c) inv[r * k + c] += (u[c] * u[r]) * q;
  for (int r = 0; r < a; ++r) inv[r * k + a] = -(u[r] * q);
  for (int c = 0; c < a; ++c) inv[a * k + c] = -(u[c] * q);
  inv[a * k + a] = q;
  double t = 0.0;
  for (int c = 0; c < a; ++c) t += rhs[c] * u[c];
  double e = (t - rhs[a]) * q;
  for (int c = 0; c < a; ++c) delta[c] += u[c] * e;
  delta[a] = -e;
}

outcome solve(const std::vector<double>& X, const std::vector<double>& y,
              const std::vector<double>& w, double ridge, int n, int d, double tol, int k,
              double cache_bytes, sequence& rng, std::int64_t max_steps) {
  const double amp = w[d];
  long long mm = static_cast<long long>(std::floor((cache_bytes / n) * 0.125));
  if (!(std::floor((cache_bytes / n) * 0.125) < 2147483648.0)) mm = n;
  if (mm > n) mm = n;
  if (mm < 2) mm = 2;
  const int m = static_cast<int>(mm);

  std::vector<double> cache(static_cast<size_t>(m) * n), norms(n), resid(n), delta(k);
  std::vector<int> slot_of(n, 0), sample_of(m, 0), index(k);
  outcome out;
  out.alpha.assign(n, 0.0);
  out.grad.assign(n, 0.0);
  std::vector<double>& grad = out.grad;
  for (int i = 0; i < n; ++i) {
    norms[i] = wdot(X, i, X, i, d, w);
    resid[i] = y[i];
    grad[i] = -y[i];
  }
  std::vector<double> separate_scores(60);
  double largest = tol + 1.0;
  std::int64_t t = 0;
  while (largest > tol && t < max_steps) {
    std::vector<double> cols(static_cast<size_t>(n) * k, 0.0), inv(k * k, 0.0), rhs(k, 0.0),
        row(k, 0.0);
    std::vector<int> pool(n), cand(60);
    double* score = n >= 60 ? grad.data() : separate_scores.data();
    for (int j = 0; j < n; ++j) pool[j] = j;
    int P = n;
    int s = max_abs(grad.data(), n).second;
    int pos = s;
    for (int i = 0; i < k; ++i) {
      double* col = &cols[static_cast<size_t>(i) * n];
      if (slot_of[s] != 0) {
        for (int r = 0; r < n; ++r) col[r] = cache[static_cast<size_t>(slot_of[s] - 1) * n + r];
      } else {
        int u = static_cast<int>(std::fmod(static_cast<double>(static_cast<std::int64_t>(k) * t + i), m));
        for (int r = 0; r < n; ++r) {
          double v = std::exp(-((norms[s] + norms[r]) - (wdot(X, r, X, s, d, w) + wdot(X, r, X, s, d, w)))) * amp;
          col[r] = v;
          cache[static_cast<size_t>(u) * n + r] = v;
        }
        col[s] += ridge;
        cache[static_cast<size_t>(u) * n + s] = col[s];
        if (sample_of[u] != 0) slot_of[sample_of[u] - 1] = 0;
        sample_of[u] = s + 1;
        slot_of[s] = u + 1;
      }
      index[i] = s;
      rhs[i] = resid[s];
      if (i == 0) {
        inv[0] = 1.0 / col[s];
        delta[0] = inv[0] * rhs[0];
      } else {
        for (int j = 0; j <= i; ++j) row[j] = col[index[j]];
        grow(inv, delta, row, rhs, i, k);
      }
      P -= 1;
      if (pos < P) {
        for (int q = pos; q < P; ++q) pool[q] = pool[q + 1];
      }
      for (int c = 0; c < 60; ++c) {
        double U = rng.next() * (1.0 / 32768.0);
        rng.drawn += 1;
        cand[c] = static_cast<int>(std::floor(U * P));
      }
      for (int c = 0; c < 60; ++c) score[c] = -resid[pool[cand[c]]];
      for (int j = 0; j <= i; ++j)
        for (int c = 0; c < 60; ++c) score[c] += cols[static_cast<size_t>(j) * n + pool[cand[c]]] * delta[j];
      int best = max_abs(score, 60).second;
      pos = cand[best];
      s = pool[pos];
    }
    for (int r = 0; r < n; ++r) grad[r] = -resid[r];
    for (int j = 0; j < k; ++j)
      for (int r = 0; r < n; ++r) grad[r] += cols[static_cast<size_t>(j) * n + r] * delta[j];
    for (int j = 0; j < k; ++j) out.alpha[index[j]] += delta[j];
    for (int i = 0; i < n; ++i) resid[i] = -grad[i];
    t += 1;
    largest = max_abs(grad.data(), n).first;
  }
  out.steps = t;
  out.evals = static_cast<double>(static_cast<std::int64_t>(n) * k) * static_cast<double>(t);
  double obj = 0.0;
  for (int j = 0; j < n; ++j) obj += (grad[j] - y[j]) * (0.5 * out.alpha[j]);
  out.objective = obj;
  return out;
}

std::vector<double> dense_system(const std::vector<double>& X, const std::vector<double>& w,
                                 double ridge, int n, int d) {
  std::vector<double> A(static_cast<size_t>(n) * n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      double sq = 0.0;
      for (int l = 0; l < d; ++l) {
        const double diff = X[i * d + l] - X[j * d + l];
        sq += w[l] * diff * diff;
      }
      A[static_cast<size_t>(i) * n + j] = w[d] * std::exp(-sq) + (i == j ? ridge : 0.0);
    }
  return A;
}

std::vector<double> dense_residual(const std::vector<double>& X, const std::vector<double>& y,
                                   const std::vector<double>& w, double ridge, int n, int d,
                                   const std::vector<double>& alpha) {
  const std::vector<double> A = dense_system(X, w, ridge, n, d);
  std::vector<double> g(n);
  for (int i = 0; i < n; ++i) {
    long double sum = -static_cast<long double>(y[i]);
    for (int j = 0; j < n; ++j) sum += static_cast<long double>(A[static_cast<size_t>(i) * n + j]) * alpha[j];
    g[i] = static_cast<double>(sum);
  }
  return g;
}

long double dense_objective(const std::vector<double>& A, const std::vector<double>& y,
                            const std::vector<double>& alpha, int n) {
  long double f = 0.0L;
  for (int i = 0; i < n; ++i) {
    long double Ai = 0.0L;
    for (int j = 0; j < n; ++j) Ai += static_cast<long double>(A[static_cast<size_t>(i) * n + j]) * alpha[j];
    f += 0.5L * alpha[i] * Ai - static_cast<long double>(y[i]) * alpha[i];
  }
  return f;
}

std::vector<double> dense_solve(std::vector<double> A, std::vector<double> b, int n) {
  for (int c = 0; c < n; ++c) {
    int p = c;
    for (int r = c + 1; r < n; ++r)
      if (std::fabs(A[r * n + c]) > std::fabs(A[p * n + c])) p = r;
    for (int j = 0; j < n; ++j) std::swap(A[c * n + j], A[p * n + j]);
    std::swap(b[c], b[p]);
    for (int r = c + 1; r < n; ++r) {
      const double f = A[r * n + c] / A[c * n + c];
      for (int j = c; j < n; ++j) A[r * n + j] -= f * A[c * n + j];
      b[r] -= f * b[c];
    }
  }
  std::vector<double> x(n);
  for (int r = n - 1; r >= 0; --r) {
    double s = b[r];
    for (int j = r + 1; j < n; ++j) s -= A[r * n + j] * x[j];
    x[r] = s / A[r * n + r];
  }
  return x;
}

}  // namespace reference
