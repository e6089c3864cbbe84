// The log marginal likelihood and its gradient at scale (marginal_likelihood.h).
#include "core/exact_arithmetic.h"

#include "core/learn/marginal_likelihood.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <utility>

#include "core/kernel/vector_clones.h"
#include "core/parallel/allocation.h"
#include "core/solve/gradient_update.h"
#include "core/solve/pivoted_cholesky.h"
#include "core/solve/preconditioned_cg.h"
#include "core/solve/random_source.h"

namespace krr {

namespace {

constexpr int LANES = 8;        // fixed partial sums of every row-wise reduction
constexpr int ROW_TILE = 512;   // rows handled at a time per column
constexpr int COLUMNS_PER_CLAIM = 8;

// Adds t[0 ... len-1] into the LANES partial sums, row r into lane r mod LANES counted from
// the tile's start (tiles start at multiples of LANES), each lane in row order.
inline void add_lanes(double* lanes, const double* t, int len) {
  int r = 0;
  for (; r + LANES <= len; r += LANES) {
    for (int q = 0; q < LANES; ++q) lanes[q] += t[r + q];
  }
  for (int q = 0; r + q < len; ++q) lanes[q] += t[r + q];
}

// Adds a[r] * b[r], r = 0 ... len-1, into the LANES partial sums as add_lanes does.
KRR_CLONE_BODY void add_product_lanes(double* KRR_RESTRICT lanes, const double* KRR_RESTRICT a,
                                      const double* KRR_RESTRICT b, int len) {
  int r = 0;
  for (; r + LANES <= len; r += LANES) {
    for (int q = 0; q < LANES; ++q) lanes[q] += a[r + q] * b[r + q];
  }
  for (int q = 0; r + q < len; ++q) lanes[q] += a[r + q] * b[r + q];
}

double sum_lanes(const double* lanes) {
  double s = 0.0;
  for (int q = 0; q < LANES; ++q) s += lanes[q];
  return s;
}

// What the gradient pass reads: the frame's samples feature-major, the solutions and the
// probes, column-major, so that row loops run over contiguous memory.
struct gradient_inputs {
  const training_data* data;
  const double* V;  // n x (c + p): alpha(., q) at q*n, then (A^-1 z_s) at (c + s)*n
  const double* Z;  // n x p
  int c, p;
};

// Where asked, each probe's own sums in the same pass over the column (sharing its reads
// of the solutions and the samples): uk, p x ROW_TILE scratch; lanes, p (d + 1) LANES;
// out[s (d + 1)] = z_s(j) sum_r u_s(r) K(r, j), out[s (d + 1) + 1 + l] = z_s(j) sum_r
// u_s(r) K(r, j) (x_rl - x_jl)^2.
struct probe_sums {
  double* uk;
  double* lanes;
  double* out;
};

// h[r] = h(a) of rows r0 ... r0 + len - 1 against sample xj for a Matern kernel: a from the
// weighted squared distance summed from differences as its kernel column sums it.
template <kernel_kind K>
KRR_CLONE_BODY void matern_factors(const training_data& data, const double* xj, std::int64_t r0,
                                   int len, double* h) {
  const std::int64_t n = data.n;
  for (int r = 0; r < len; ++r) h[r] = 0.0;
  for (int l = 0; l < data.d; ++l) {
    const double wl = data.w[l];
    if (!(wl > 0.0)) continue;
    const double* x = data.Xt + l * n + r0;
    const double xl = xj[l];
    for (int r = 0; r < len; ++r) {
      const double t = x[r] - xl;
      h[r] += (t * wl) * t;
    }
  }
  for (int r = 0; r < len; ++r) h[r] = matern_slope_factor<K>(matern_argument<K>(h[r]));
}

KRR_CLONE_BODY void matern_factors(const training_data& data, const double* xj, std::int64_t r0,
                                   int len, double* h) {
  switch (data.kind) {
    case kernel_kind::matern12: matern_factors<kernel_kind::matern12>(data, xj, r0, len, h); break;
    case kernel_kind::matern32: matern_factors<kernel_kind::matern32>(data, xj, r0, len, h); break;
    default: matern_factors<kernel_kind::matern52>(data, xj, r0, len, h); break;
  }
}

// Column j's share of the gradient sums: out[0] = sum_r W(r, j) K(r, j) and
// out[1 + l] = sum_r W(r, j) K(r, j) (x_rl - x_jl)^2, with K without the ridge; and, where
// probes is not null, each probe's sums. The gradient's sums are the same bits either way.
// For a Matern kernel each K(r, j) in the sums over l carries its factor h(a)
// (core/kernel/kernel_kind.h), a from the weighted squared distance summed as the column's
// own: dA/dlog w_l = -w_l K o h o D_l there.
KRR_VECTOR_CLONES
void column_sums(const gradient_inputs& in, int j, const double* column, double* lanes,
                 double* out, const probe_sums* probes) {
  const training_data& data = *in.data;
  const std::int64_t n = data.n;
  const int d = data.d, c = in.c, p = in.p;
  const double amplitude = data.w[d];
  const double* xj = data.X + static_cast<std::int64_t>(j) * d;
  const double probe_weight = -static_cast<double>(c) / p;
  double w[ROW_TILE], t[ROW_TILE], diff[ROW_TILE], ee[ROW_TILE], h[ROW_TILE];
  const bool matern = data.kind != kernel_kind::gaussian;
  for (int i = 0; i < (d + 1) * LANES; ++i) lanes[i] = 0.0;
  double* own_lanes = probes ? probes->lanes : nullptr;
  if (probes) {
    for (std::int64_t i = 0; i < static_cast<std::int64_t>(p) * (d + 1) * LANES; ++i) own_lanes[i] = 0.0;
  }
  for (std::int64_t r0 = 0; r0 < n; r0 += ROW_TILE) {
    const int len = static_cast<int>(n - r0 < ROW_TILE ? n - r0 : ROW_TILE);
    const bool diagonal = j >= r0 && j < r0 + len;
    for (int r = 0; r < len; ++r) w[r] = 0.0;
    for (int q = 0; q < c; ++q) {
      const double* a = in.V + q * n + r0;
      const double ajq = in.V[q * n + j];
      for (int r = 0; r < len; ++r) w[r] += a[r] * ajq;
    }
    for (int s = 0; s < p; ++s) {
      const double* u = in.V + (c + s) * n + r0;
      const double zjs = probe_weight * in.Z[s * n + j];
      for (int r = 0; r < len; ++r) w[r] += u[r] * zjs;
      if (probes) {
        double* k = probes->uk + s * ROW_TILE;
        for (int r = 0; r < len; ++r) k[r] = u[r] * column[r0 + r];
        if (diagonal) k[j - r0] = u[j - r0] * amplitude;  // K(j, j), no ridge
        add_lanes(own_lanes + s * (d + 1) * LANES, k, len);
      }
    }
    // A kernel value of 0 makes its term 0 even where W's product overflowed (not 0 * Inf);
    // any other term is W's times K's, the same bits.
    for (int r = 0; r < len; ++r) t[r] = column[r0 + r] == 0.0 ? 0.0 : w[r] * column[r0 + r];
    if (diagonal) t[j - r0] = amplitude == 0.0 ? 0.0 : w[j - r0] * amplitude;  // K(j, j), no ridge
    add_lanes(lanes, t, len);
    if (matern) matern_factors(data, xj, r0, len, h);
    if (matern && diagonal) h[j - r0] = 0.0;  // its differences are all 0
    for (int l = 0; l < d; ++l) {
      const double* x = data.Xt + l * n + r0;
      const double xjl = xj[l];
      // A pair whose squared difference overflows has a kernel value of 0 (it decays
      // faster): its term is 0, not 0 * Inf.
      for (int r = 0; r < len; ++r) {
        const double e = x[r] - xjl;
        ee[r] = e * e;
      }
      if (matern) {
        for (int r = 0; r < len; ++r) ee[r] = ee[r] * h[r];
      }
      for (int r = 0; r < len; ++r) diff[r] = t[r] == 0.0 ? 0.0 : t[r] * ee[r];
      add_lanes(lanes + (1 + l) * LANES, diff, len);
      if (probes) {
        for (int r = 0; r < len; ++r) ee[r] = column[r0 + r] == 0.0 ? 0.0 : ee[r];
        for (int s = 0; s < p; ++s) {
          add_product_lanes(own_lanes + (s * (d + 1) + 1 + l) * LANES, probes->uk + s * ROW_TILE,
                            ee, len);
        }
      }
    }
  }
  for (int i = 0; i <= d; ++i) out[i] = sum_lanes(lanes + i * LANES);
  if (probes) {
    for (int s = 0; s < p; ++s) {
      const double zjs = in.Z[s * n + j];
      for (int i = 0; i <= d; ++i) {
        probes->out[s * (d + 1) + i] = zjs * sum_lanes(own_lanes + (s * (d + 1) + i) * LANES);
      }
    }
  }
}

constexpr int PROBE_CLAIMS = 64;   // column ranges of the probes' sums (their storage)

// Each part's tile of the probes' products and its lanes, and each claim's sums.
double probe_trace_bytes(int d, int p, int parts) {
  const double terms = static_cast<double>(p) * (d + 1);
  return 8.0 * (parts * (p * static_cast<double>(ROW_TILE) + terms * LANES) +
                PROBE_CLAIMS * terms);
}

struct multiply_context {
  kernel_operator* A;
  int p;
  int products = 0;  // passes over K so far
};

bool multiply_by(void* context, const double* in, double* out) {
  auto& m = *static_cast<multiply_context*>(context);
  m.A->accumulate(in, m.p, out);
  m.products += 1;
  return !m.A->stop().stopped();
}

// The solves by preconditioned conjugate gradients, warm-started from V where it holds
// anything; false, with result's status set, where the factor cannot be had.
bool solve_preconditioned(kernel_operator& A, const double* B, int cols,
                          const std::vector<double>& tol, const lml_settings& settings, double* V,
                          double* G, lml_estimate& result) {
  const std::int64_t n = A.n();
  low_rank_factor factor;
  low_rank_preconditioner P;
  allocation_failure failure;
  const solve_status status = factor_preconditioner(
      A, settings.precondition_rank, settings.precondition_stop * A.data().ridge, factor, P, failure);
  if (status != solve_status::converged) {
    result.status = status;
    result.failed_bytes = failure.bytes;
    return false;
  }
  cg_options options;
  options.tol = tol.data();
  options.max_iterations = static_cast<int>(std::min(settings.max_passes, 1e9));
  options.warm_start = std::any_of(V, V + n * cols, [](double v) { return v != 0.0; });
  result.solve = solve_cg(A, P, B, cols, options, V, G);
  // The factor's columns count as the share of a pass they are.
  result.passes_over_k = result.solve.passes + static_cast<double>(factor.rank) / n;
  return true;
}

// Whether the solves ended the estimate (interrupted, out of memory), result's status then set.
bool solve_ended(lml_estimate& result) {
  if (result.solve.status != solve_status::interrupted &&
      result.solve.status != solve_status::out_of_memory) {
    return false;
  }
  result.status = result.solve.status;
  result.failed_bytes = result.solve.failed_bytes;
  return true;
}

struct precondition_context {
  kernel_operator* A;
  const low_rank_preconditioner* P;
  int p;
  double* work;  // 2 r p doubles
};

bool precondition_by(void* context, const double* in, double* out) {
  auto& c = *static_cast<precondition_context*>(context);
  c.P->apply(c.A->schedule(), in, c.p, out, c.work);
  return !c.A->stop().stopped();
}

// The other stream of a seed: the preconditioned log determinant's own Rademacher draws.
constexpr std::uint64_t LOG_DET_STREAM = 0x9e3779b97f4a7c15ULL;

// log det A preconditioned (lml_settings::log_det_rank): each probe's estimate of
// log det P + u0' log(P^-1/2 A P^-1/2) u0 into quadratures; false, with result's status
// set, where the factor's storage cannot be had or a stop came.
bool preconditioned_log_det(kernel_operator& A, const std::vector<double>& Z, int p,
                            const lml_settings& settings, multiply_context& multiply,
                            std::vector<double>& quadratures, lml_estimate& result) {
  const std::int64_t n = A.n();
  const double ridge = A.data().ridge;
  low_rank_factor factor;
  low_rank_preconditioner P;
  allocation_failure failure;
  solve_status status = factor_preconditioner(A, settings.log_det_rank,
                                              settings.precondition_stop * ridge, factor, P, failure);
  const int r = factor.rank;
  auto start = try_allocate<double>(static_cast<std::uint64_t>(n) * p, false,
                                    "the log determinant's probes", failure);
  auto work = try_allocate<double>(2 * static_cast<std::uint64_t>(r > 0 ? r : 1) * p, false,
                                   "the log determinant's probes", failure);
  if (status == solve_status::converged && failure.failed) status = solve_status::out_of_memory;
  result.passes_over_k += static_cast<double>(r) / n;  // the factor's columns
  if (status != solve_status::converged) {
    result.status = status;
    result.failed_bytes = failure.bytes;
    return false;
  }
  // log det P = (n - r) log ridge + log det (ridge I + L'L), the latter from its factor C.
  double log_det_p = static_cast<double>(n - r) * std::log(ridge);
  for (int i = 0; i < r; ++i) log_det_p += 2.0 * std::log(P.chol()[static_cast<std::int64_t>(i) * r + i]);
  // The probes L e_s + sqrt(ridge) z_s, rows split across the threads, each row's sum over
  // L's columns in order.
  const std::vector<double> E = rademacher_probes(r, p, settings.seed ^ LOG_DET_STREAM);
  std::vector<const double*> columns(r > 0 ? r : 1);
  for (int t = 0; t < r; ++t) columns[t] = factor.L.get() + static_cast<std::int64_t>(t) * n;
  const double root = std::sqrt(ridge);
  block_schedule& schedule = A.schedule();
  double* S = start.get();
  auto part_rows = [&](int part) {
    schedule.for_rows(n, part, schedule.parts(), [&](std::int64_t r0, std::int64_t r1) {
      for (int s = 0; s < p; ++s) {
        for (std::int64_t row = r0; row < r1; ++row) S[s * n + row] = root * Z[s * n + row];
      }
      accumulate_columns(columns.data(), E.data(), r, r, p, S, n, r0, r1);
    });
  };
  schedule.pool().run_parts(part_rows);
  precondition_context pc{&A, &P, p, work.get()};
  quadratures = lanczos_log_quadratures(S, n, p, settings.lanczos, &multiply_by, &multiply,
                                        &precondition_by, &pc);
  for (double& q : quadratures) q += log_det_p;
  return true;
}

// Everything the estimate holds besides V, allocated before any work: the right sides (the
// targets, then the probes) and their gradient, each column's gradient sums, each thread's
// scratch, so that no thread allocates, and where asked the probes' own trace terms (each
// part's products and lanes, each claim's sums, each part's column terms).
struct estimate_arrays {
  std::unique_ptr<double[]> B, G, partial, scratch, lanes;
  std::unique_ptr<double[]> probe_tiles, probe_lanes, claim_sums, column_terms;

  bool allocate(std::int64_t n, int d, int p, int solved, int parts, bool gradient, bool traces,
                allocation_failure& failure) {
    const std::uint64_t un = static_cast<std::uint64_t>(n);
    const std::uint64_t terms = static_cast<std::uint64_t>(p) * (d + 1);
    B = try_allocate<double>(un * solved, false, "the right-hand sides", failure);
    G = try_allocate<double>(un * solved, false, "the right-hand sides", failure);
    partial = try_allocate<double>(gradient ? un * (d + 1) : 0, false, "the gradient sums", failure);
    scratch = try_allocate<double>(gradient ? un * parts : 0, false, "the gradient sums", failure);
    lanes = try_allocate<double>(gradient ? static_cast<std::uint64_t>(parts) * (d + 1) * LANES : 0,
                                 false, "the gradient sums", failure);
    probe_tiles = try_allocate<double>(traces ? static_cast<std::uint64_t>(parts) * p * ROW_TILE : 0,
                                       false, "the probes' trace terms", failure);
    probe_lanes = try_allocate<double>(traces ? parts * terms * LANES : 0, false,
                                       "the probes' trace terms", failure);
    claim_sums = try_allocate<double>(traces ? PROBE_CLAIMS * terms : 0, false,
                                      "the probes' trace terms", failure);
    column_terms = try_allocate<double>(traces ? parts * terms : 0, false,
                                        "the probes' trace terms", failure);
    return !failure.failed;
  }
};

// The kernel columns the schedule computed since the estimate began, and their seconds.
struct column_profile {
  const block_schedule& schedule;
  std::int64_t columns_before;
  double seconds_before;

  void record(lml_estimate& result) const {
    result.columns_computed = schedule.columns_computed() - columns_before;
    result.column_seconds = schedule.column_seconds() - seconds_before;
  }
};

// The solves of A V = B for `solved` columns, each to its tolerance; false, with result's
// status set, where they were interrupted or out of memory.
bool solve_right_sides(kernel_operator& A, const double* B, int solved,
                       const std::vector<double>& tol, const lml_settings& settings, double* V,
                       double* G, const column_profile& profile, lml_estimate& result) {
  if (settings.precondition_rank > 0) {
    // Where the factor cannot be had or the solves ended, the profile is left as it was.
    if (!solve_preconditioned(A, B, solved, tol, settings, V, G, result) || solve_ended(result)) {
      return false;
    }
  } else {
    multi_options options;
    options.tol = tol.data();
    options.seed = settings.seed;
    options.max_passes = settings.max_passes;
    result.solve = solve_multi(A, B, solved, options, V, G);
    result.passes_over_k = result.solve.passes + static_cast<double>(result.solve.checks);
  }
  profile.record(result);
  return !solve_ended(result);
}

// The data fit y'alpha, alpha'alpha for the ridge's derivative and u'z over the first
// `probes` probes (each probe's own too where `traces`), summed sequentially row by row.
struct fit_sums {
  double fit = 0.0, alpha_sq = 0.0, uz = 0.0;
  std::vector<double> own_uz;
};

fit_sums data_fit(const double* Y, const double* V, const double* Z, std::int64_t n, int c,
                  int probes, bool traces) {
  fit_sums f;
  f.own_uz.assign(traces ? probes : 0, 0.0);
  for (std::int64_t r = 0; r < n; ++r) {
    for (int q = 0; q < c; ++q) {
      f.fit += Y[q * n + r] * V[q * n + r];
      f.alpha_sq += V[q * n + r] * V[q * n + r];
    }
    for (int s = 0; s < probes; ++s) {
      const double product = V[(c + s) * n + r] * Z[s * n + r];
      f.uz += product;
      if (traces) f.own_uz[s] += product;
    }
  }
  return f;
}

// One pass over the columns for the other derivatives: each column's sums on their own
// into arrays.partial, so that adding them in column order afterwards no thread count
// changes a bit; where `traces`, the probes' sums too, into arrays.claim_sums. Cached
// columns are read in place, the others computed and counted in the schedule's profile.
void gradient_pass(kernel_operator& A, const gradient_inputs& inputs, estimate_arrays& arrays,
                   bool traces) {
  const training_data& data = A.data();
  const std::int64_t n = data.n;
  const int d = data.d, p = inputs.p;
  const std::uint64_t terms = static_cast<std::uint64_t>(p) * (d + 1);
  block_schedule& schedule = A.schedule();
  const int parts = schedule.parts();
  std::atomic<std::int64_t> next{0};
  // Columns each part computed, and its seconds on them (the profile only).
  std::vector<std::int64_t> part_computed(parts, 0);
  std::vector<double> part_seconds(parts, 0.0);
  // With the probes' trace terms, a claim is one of PROBE_CLAIMS fixed column ranges
  // (multiples of COLUMNS_PER_CLAIM), whose sums its part adds in column order: the same
  // bits whichever part takes it, in storage that does not grow with n.
  std::int64_t claim = COLUMNS_PER_CLAIM;
  if (traces) {
    const std::int64_t ranges = (n + PROBE_CLAIMS - 1) / PROBE_CLAIMS;
    claim = (ranges + COLUMNS_PER_CLAIM - 1) / COLUMNS_PER_CLAIM * COLUMNS_PER_CLAIM;
    std::fill(arrays.claim_sums.get(), arrays.claim_sums.get() + PROBE_CLAIMS * terms, 0.0);
  }
  std::vector<probe_sums> part_probes;
  for (int part = 0; traces && part < parts; ++part) {
    part_probes.push_back({arrays.probe_tiles.get() + static_cast<std::uint64_t>(part) * p * ROW_TILE,
                           arrays.probe_lanes.get() + part * terms * LANES,
                           arrays.column_terms.get() + part * terms});
  }
  auto part_columns = [&](int part) {
    double* own = arrays.scratch.get() + static_cast<std::int64_t>(part) * n;
    double* own_lanes = arrays.lanes.get() + static_cast<std::int64_t>(part) * (d + 1) * LANES;
    for (;;) {
      if (schedule.stop_requested()) return;
      const std::int64_t j0 = next.fetch_add(claim);
      if (j0 >= n) return;
      const std::int64_t j1 = j0 + claim < n ? j0 + claim : n;
      for (std::int64_t j = j0; j < j1; ++j) {
        if (traces && schedule.stop_requested()) return;  // a claim may be n / 64 columns
        const int slot = A.cache().slot_of(static_cast<int>(j));
        const double* column = own;
        if (slot != 0) {
          column = A.cache().slot_column(slot - 1);
        } else {
          const auto start = std::chrono::steady_clock::now();
          kernel_column_rows(data, static_cast<int>(j), 0, n, own);
          part_seconds[part] +=
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
          part_computed[part] += 1;
        }
        column_sums(inputs, static_cast<int>(j), column, own_lanes, arrays.partial.get() + j * (d + 1),
                    traces ? &part_probes[part] : nullptr);
        if (traces) {
          const double* out = part_probes[part].out;
          double* sums = arrays.claim_sums.get() + (j0 / claim) * terms;
          for (std::uint64_t i = 0; i < terms; ++i) sums[i] += out[i];
        }
      }
    }
  };
  schedule.pool().run_parts(part_columns);
  // The parts compute their columns side by side: the wall time is their mean.
  std::int64_t computed = 0;
  double seconds = 0.0;
  for (int part = 0; part < parts; ++part) {
    computed += part_computed[part];
    seconds += part_seconds[part];
  }
  schedule.count_columns(computed, seconds / parts);
}

// The gradient from the columns' sums, added in column order, and the fit's sums.
void gradient_from_sums(const training_data& data, const double* partial, const fit_sums& f,
                        int c, int p, std::vector<double>& gradient) {
  const std::int64_t n = data.n;
  const int d = data.d;
  std::vector<double> sums(d + 1, 0.0);
  for (std::int64_t j = 0; j < n; ++j) {
    for (int i = 0; i <= d; ++i) sums[i] += partial[j * (d + 1) + i];
  }
  // A feature of weight 0 leaves the kernel alone: its derivative in log w is exactly 0.
  for (int l = 0; l < d; ++l) {
    gradient[l] = data.w[l] == 0.0 ? 0.0 : -0.5 * data.w[l] * sums[1 + l];
  }
  gradient[d] = 0.5 * sums[0];
  gradient[d + 1] = 0.5 * data.ridge * (f.alpha_sq - static_cast<double>(c) / p * f.uz);
}

// Each probe's (c / 2) z_s' dA/dtheta_i A^-1 z_s: the claims' sums in column order, then the
// derivatives' factors (dA/dlog w_l = -w_l K o D_l, dA/dlog amplitude = K, dA/dlog ridge =
// ridge I); (d + 2) x p into traces.
void probe_traces_from_claims(const training_data& data, const double* claim_sums,
                              const fit_sums& f, int c, int p, std::vector<double>& traces) {
  const int d = data.d;
  const std::uint64_t terms = static_cast<std::uint64_t>(p) * (d + 1);
  std::vector<double> total(terms, 0.0);
  for (int range = 0; range < PROBE_CLAIMS; ++range) {
    for (std::uint64_t i = 0; i < terms; ++i) total[i] += claim_sums[range * terms + i];
  }
  traces.assign(static_cast<std::size_t>(d + 2) * p, 0.0);
  const double half_c = 0.5 * c;
  for (int t = 0; t < p; ++t) {
    double* out = traces.data() + static_cast<std::size_t>(t) * (d + 2);
    const double* sums_t = total.data() + static_cast<std::size_t>(t) * (d + 1);
    for (int l = 0; l < d; ++l) out[l] = data.w[l] == 0.0 ? 0.0 : -half_c * data.w[l] * sums_t[1 + l];
    out[d] = half_c * sums_t[0];
    out[d + 1] = half_c * data.ridge * f.own_uz[t];
  }
}

// log det A by Lanczos with the probes Z (preconditioned where asked), its error over the
// probes, and the value from it and the data fit; result's status set where a stop or a
// failure ended it.
void estimate_log_det(kernel_operator& A, const std::vector<double>& Z, int c, double fit,
                      const lml_settings& settings, const column_profile& profile,
                      lml_estimate& result) {
  const std::int64_t n = A.n();
  const int p = settings.probes;
  multiply_context context{&A, p};
  std::vector<double> quadratures;
  if (settings.log_det_rank > 0) {
    if (!preconditioned_log_det(A, Z, p, settings, context, quadratures, result)) {
      profile.record(result);
      return;
    }
  } else {
    quadratures = lanczos_log_quadratures(Z.data(), n, p, settings.lanczos, &multiply_by, &context);
  }
  result.passes_over_k += context.products;
  result.lanczos_steps = context.products;
  profile.record(result);
  if (A.stop().stopped()) {
    result.status = solve_status::interrupted;
    return;
  }
  double mean = 0.0;
  for (double q : quadratures) mean += q;
  mean /= p;
  double var = 0.0;
  for (double q : quadratures) var += (q - mean) * (q - mean);
  result.log_det = mean;
  result.quadratures = quadratures;
  result.log_det_error = p > 1 ? std::sqrt(var / (p - 1) / p) : std::numeric_limits<double>::quiet_NaN();
  const double two_pi = 6.283185307179586;
  result.value = -0.5 * fit - 0.5 * c * mean - 0.5 * static_cast<double>(c) * n * std::log(two_pi);
}

}  // namespace

std::vector<double> rademacher_probes(std::int64_t n, int p, std::uint64_t seed) {
  std::vector<double> Z(static_cast<std::size_t>(n) * p);
  std::uint64_t state = seed ^ 0x5851f42d4c957f2dULL;
  for (std::size_t i = 0; i < Z.size(); i += 64) {
    const std::uint64_t bits = splitmix64(state);
    for (std::size_t b = 0; b < 64 && i + b < Z.size(); ++b) Z[i + b] = (bits >> b) & 1 ? 1.0 : -1.0;
  }
  return Z;
}

double estimate_bytes(std::int64_t n, int d, int c, int p, int k, int parts, int rank,
                      bool probe_traces, int log_det_rank) {
  const double column = 8.0 * static_cast<double>(n);
  const int cols = c + p;
  // The right sides and the gradient (2 cols), the probes (p), each column's gradient sums
  // (d + 1), one column of scratch a thread, Lanczos's three blocks of probes (3 p).
  const double solver =
      rank > 0 ? cg_bytes(n, cols, rank) + pivoted_cholesky_bytes(n, rank) + 8.0 * rank * rank
               : multi_solver_bytes(n, k, cols, d);
  // The preconditioned log determinant: its factor and C, its probes, Lanczos's two blocks
  // of P^-1 r and the preconditioner's work.
  const double log_det =
      log_det_rank > 0 ? pivoted_cholesky_bytes(n, log_det_rank) + 8.0 * log_det_rank * log_det_rank +
                             column * 3.0 * p + 16.0 * log_det_rank * p
                       : 0.0;
  return column * (2.0 * cols + p + (d + 1) + parts + 3.0 * p) +
         8.0 * parts * (d + 1) * LANES + solver + (probe_traces ? probe_trace_bytes(d, p, parts) : 0.0) +
         log_det;
}

lml_estimate estimate_marginal_likelihood(kernel_operator& A, const double* Y, int c,
                                          const lml_settings& settings, double* V) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const training_data& data = A.data();
  const std::int64_t n = data.n;
  const int d = data.d, p = settings.probes, cols = c + p;
  // Without the gradient only the targets are solved: the probes serve the log determinant.
  const bool gradient = settings.gradient;
  const int solved = gradient ? cols : c;
  const bool traces = settings.probe_traces && gradient;
  block_schedule& schedule = A.schedule();
  lml_estimate result{nan, std::vector<double>(d + 2, nan), 0.0, nan, nan, {}, {}, {}};

  estimate_arrays arrays;
  allocation_failure failure;
  if (!arrays.allocate(n, d, p, solved, schedule.parts(), gradient, traces, failure)) {
    result.status = solve_status::out_of_memory;
    result.failed_bytes = failure.bytes;
    return result;
  }
  const std::vector<double> Z = rademacher_probes(n, p, settings.seed);
  std::copy(Y, Y + n * c, arrays.B.get());
  if (gradient) std::copy(Z.begin(), Z.end(), arrays.B.get() + n * c);
  const std::vector<double> tol = column_tolerances(arrays.B.get(), n, solved, settings.relative_tol);
  const column_profile profile{schedule, schedule.columns_computed(), schedule.column_seconds()};
  if (!solve_right_sides(A, arrays.B.get(), solved, tol, settings, V, arrays.G.get(), profile, result)) {
    return result;
  }

  const fit_sums fit = data_fit(Y, V, Z.data(), n, c, gradient ? p : 0, traces);
  result.data_fit = fit.fit;
  if (gradient) {
    gradient_pass(A, gradient_inputs{&data, V, Z.data(), c, p}, arrays, traces);
    result.passes_over_k += 1.0;
    profile.record(result);
    if (A.stop().stopped()) {
      result.status = solve_status::interrupted;
      return result;
    }
    gradient_from_sums(data, arrays.partial.get(), fit, c, p, result.gradient);
    if (traces) probe_traces_from_claims(data, arrays.claim_sums.get(), fit, c, p, result.probe_traces);
  }
  if (settings.log_det) estimate_log_det(A, Z, c, fit.fit, settings, profile, result);
  return result;
}

}  // namespace krr
