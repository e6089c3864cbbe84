// The whole descent: bit-for-bit agreement with the literal reference over many shapes, and
// with one process where a team of ranks (threads here) shares the rows; agreement with a
// dense direct solve (also far from the origin and on ill-conditioned systems), and the endings (tolerance checked, no step, work bound, rounding floor,
// singular system, interrupt, allocation failure).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <limits>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "tests/core/support/test_support.h"
#include "core/parallel/row_team.h"
#include "core/solve/train.h"

namespace {

using testing_support::problem_data;

struct run_result {
  std::vector<double> alpha, grad;
  krr::training_result r;
};

run_result run(const problem_data& p, double ridge, double tol, int k, double cache_bytes,
               reference::sequence& seq, double max_passes = 1000.0,
               bool (*interrupt)(void*) = nullptr, void* interrupt_state = nullptr,
               int threads = 1) {
  run_result out{std::vector<double>(p.n, -1.0), std::vector<double>(p.n, -1.0), {}};
  krr::training_problem problem{p.X.data(), p.y.data(), p.w.data(), ridge, p.n, p.d};
  krr::training_options options;
  options.tol = tol;
  options.k = k;
  options.cache_bytes = cache_bytes;
  options.rng = testing_support::source_of(seq);
  options.max_passes = max_passes;
  options.interrupt_pending = interrupt;
  options.interrupt_state = interrupt_state;
  options.threads = threads;
  options.min_rows_per_thread = 8;  // split even small problems across the threads
  out.r = krr::train(problem, options, out.alpha.data(), out.grad.data());
  return out;
}

void expect_same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::isnan(a[i]) && std::isnan(b[i])) continue;
    EXPECT_EQ(a[i], b[i]) << "entry " << i;
  }
}

// Every shape, cache size and thread count gives the literal algorithm's bits: n not a
// multiple of any vector width, d = 0, caches smaller than a block, blocks of every sample.
TEST(Train, MatchesTheLiteralReferenceBitForBit) {
  for (int n : {1, 2, 3, 7, 59, 60, 61, 130}) {
    for (int d : {0, 1, 3, 5, 17}) {
      for (int k : {1, 2, 5, 16, 130}) {
        if (k > n) continue;
        for (double budget : {0.0, 8.0 * n * 5, 8.0 * n * n}) {
          const problem_data p = testing_support::random_problem(n, d, n * 100 + d * 10 + k);
          const double tol = 1e-6;
          const int threads = 1 + (n + d + k) % 3;
          reference::sequence s1(n + d + k), s2(n + d + k);
          const run_result got = run(p, 0.1, tol, k, budget, s1, 1000.0, nullptr, nullptr, threads);
          const auto want = reference::solve(p.X, p.y, p.w, 0.1, n, d, tol, k, budget, s2, 1 << 30);
          SCOPED_TRACE(testing::Message() << "n " << n << " d " << d << " k " << k
                                          << " budget " << budget << " threads " << threads);
          EXPECT_EQ(got.r.status, krr::solve_status::converged);
          EXPECT_EQ(got.r.steps, want.steps);
          EXPECT_EQ(s1.drawn, 60LL * k * want.steps);
          expect_same_bits(got.alpha, want.alpha);
          expect_same_bits(got.grad, want.grad);
          EXPECT_EQ(got.r.evals, want.evals);
          EXPECT_EQ(got.r.objective, want.objective);
        }
      }
    }
  }
}

// Blocks of more than 128 members find pool samples by a binary search instead of a count.
TEST(Train, LargeBlocksMatchTheLiteralReferenceBitForBit) {
  const int n = 400, d = 2;
  const problem_data p = testing_support::random_problem(n, d, 41);
  for (int k : {129, 257}) {
    reference::sequence s1(k), s2(k);
    const run_result got = run(p, 0.1, 1e-6, k, 8.0 * n * 50, s1, 1000.0, nullptr, nullptr, 2);
    const auto want = reference::solve(p.X, p.y, p.w, 0.1, n, d, 1e-6, k, 8.0 * n * 50, s2, 1 << 30);
    SCOPED_TRACE(testing::Message() << "k " << k);
    EXPECT_EQ(got.r.steps, want.steps);
    expect_same_bits(got.alpha, want.alpha);
    expect_same_bits(got.grad, want.grad);
  }
}

TEST(Train, ThreadCountNeverChangesABit) {
  const int n = 3001, d = 8, k = 24;
  const problem_data p = testing_support::random_problem(n, d, 77);
  for (double budget : {8.0 * n * 40, 8.0 * n * n}) {
    reference::sequence ref_seq(9);
    const auto want = reference::solve(p.X, p.y, p.w, 0.1, n, d, 1e-5, k, budget, ref_seq, 1 << 30);
    for (int threads : {1, 2, 4}) {
      reference::sequence seq(9);
      const run_result got = run(p, 0.1, 1e-5, k, budget, seq, 1000.0, nullptr, nullptr, threads);
      SCOPED_TRACE(testing::Message() << "threads " << threads << " budget " << budget);
      EXPECT_EQ(got.r.steps, want.steps);
      expect_same_bits(got.alpha, want.alpha);
      expect_same_bits(got.grad, want.grad);
      EXPECT_EQ(got.r.objective, want.objective);
    }
  }
}

// Ranks as threads of one process, for the rows shared by a team (core/parallel/row_team.h):
// each collective is a write to the hub, a barrier, the read every rank makes alike, and a
// barrier before the hub is written again.
struct team_hub {
  int size;
  std::mutex mutex;
  std::condition_variable turn;
  int waiting = 0;
  std::uint64_t generation = 0;
  std::vector<const double*> arrays;
  std::vector<krr::max_abs_result> pairs;
  std::vector<int> flags;
  double running = 0.0;
  explicit team_hub(int p) : size(p), arrays(p), pairs(p), flags(p) {}
  void barrier() {
    std::unique_lock<std::mutex> lock(mutex);
    const std::uint64_t mine = generation;
    if (++waiting == size) {
      waiting = 0;
      ++generation;
      turn.notify_all();
    } else {
      turn.wait(lock, [&] { return generation != mine; });
    }
  }
};

class thread_team final : public krr::row_team {
 public:
  thread_team(std::int64_t n, int rank, team_hub& hub) : row_team(n, rank, hub.size), hub_(hub) {}
  void broadcast(double* values, std::int64_t count, int root) override {
    if (rank() == root) hub_.arrays[0] = values;
    hub_.barrier();
    if (rank() != root) std::copy(hub_.arrays[0], hub_.arrays[0] + count, values);
    hub_.barrier();
  }
  krr::max_abs_result best_of(krr::max_abs_result local) override {
    hub_.pairs[rank()] = local;
    hub_.barrier();
    krr::max_abs_result best{-1.0, -1};
    for (const krr::max_abs_result& x : hub_.pairs) {
      if (x.index < 0 || (best.index >= 0 && std::isnan(best.value))) continue;
      if (best.index < 0 || std::isnan(x.value) || x.value > best.value ||
          (x.value == best.value && x.index < best.index)) {
        best = x;
      }
    }
    hub_.barrier();
    return best;
  }
  void extremes(double* lo, double* hi, int count) override {
    hub_.arrays[rank()] = lo;
    hub_.barrier();
    std::vector<double> least(lo ? count : 0);
    for (int i = 0; lo && i < count; ++i) {
      least[i] = hub_.arrays[0][i];
      for (int p = 1; p < size(); ++p) least[i] = hub_.arrays[p][i] < least[i] ? hub_.arrays[p][i] : least[i];
    }
    hub_.barrier();
    hub_.arrays[rank()] = hi;
    hub_.barrier();
    std::vector<double> greatest(hi ? count : 0);
    for (int i = 0; hi && i < count; ++i) {
      greatest[i] = hub_.arrays[0][i];
      for (int p = 1; p < size(); ++p) greatest[i] = hub_.arrays[p][i] > greatest[i] ? hub_.arrays[p][i] : greatest[i];
    }
    hub_.barrier();
    std::copy(least.begin(), least.end(), lo);
    std::copy(greatest.begin(), greatest.end(), hi);
  }
  bool all(bool value) override {
    hub_.flags[rank()] = value;
    hub_.barrier();
    bool every = true;
    for (int f : hub_.flags) every = every && f;
    hub_.barrier();
    return every;
  }
  double in_row_order(double start, const std::function<double(double)>& rows) override {
    for (int p = 0; p < size(); ++p) {
      if (p == rank()) hub_.running = rows(p == 0 ? start : hub_.running);
      hub_.barrier();
    }
    const double result = hub_.running;
    hub_.barrier();
    return result;
  }

 private:
  team_hub& hub_;
};

// The solve of p as a team of `ranks`, each rank a thread with its own rows, draws and
// memory: the coefficients and gradient put together in row order, and every rank's result.
struct team_run {
  std::vector<double> alpha, grad;
  std::vector<krr::training_result> r;
};
team_run run_as_team(const problem_data& p, int ranks, double tol, int k, double budget, unsigned seed,
                     double short_memory_rank = -1) {
  team_hub hub(ranks);
  team_run out{std::vector<double>(p.n), std::vector<double>(p.n), std::vector<krr::training_result>(ranks)};
  std::vector<std::thread> threads;
  for (int rank = 0; rank < ranks; ++rank) {
    threads.emplace_back([&, rank] {
      thread_team team(p.n, rank, hub);
      const std::int64_t first = team.first();
      reference::sequence seq(seed);
      krr::training_problem problem{p.X.data() + first * p.d, p.y.data() + first, p.w.data(), 0.1, p.n, p.d};
      krr::training_options options;
      options.tol = tol;
      options.k = k;
      options.cache_bytes = budget;
      options.rng = testing_support::source_of(seq);
      options.threads = 1 + rank % 2;
      options.min_rows_per_thread = 8;
      options.team = &team;
      if (rank == short_memory_rank) options.memory_bytes = 1000.0;
      out.r[rank] = krr::train(problem, options, out.alpha.data() + first, out.grad.data() + first);
    });
  }
  for (std::thread& t : threads) t.join();
  return out;
}

// Ranks that hold no row (n < P), one row, or many, the plain and the centred kernel frame,
// caches of 2 columns to every column: one process's bits (the literal algorithm's, above)
// on every rank, and the same result record.
TEST(Train, RowsSharedByATeamGiveOneProcesssBitsAtAnyRankCount) {
  for (int n : {1, 2, 7, 61, 130}) {
    for (int d : {0, 3}) {
      for (int k : {1, 5, 16}) {
        if (k > n) continue;
        for (double budget : {0.0, 8.0 * n * n}) {
          problem_data p = testing_support::random_problem(n, d, n * 10 + d + k);
          if (n == 61) {
            for (double& x : p.X) x += 1e6;  // the centred frame, from every rank's ranges
          }
          reference::sequence seq(n + k);
          const run_result want = run(p, 0.1, 1e-7, k, budget, seq);
          for (int ranks : {2, 3, 5}) {
            SCOPED_TRACE(testing::Message() << "n " << n << " d " << d << " k " << k << " budget " << budget
                                            << " ranks " << ranks);
            const team_run got = run_as_team(p, ranks, 1e-7, k, budget, n + k);
            expect_same_bits(got.alpha, want.alpha);
            expect_same_bits(got.grad, want.grad);
            for (const krr::training_result& r : got.r) {
              EXPECT_EQ(r.status, krr::solve_status::converged);
              EXPECT_EQ(r.steps, want.r.steps);
              EXPECT_EQ(r.evals, want.r.evals);
              EXPECT_EQ(r.objective, want.r.objective);
              EXPECT_EQ(r.gradient_checks, want.r.gradient_checks);
            }
          }
        }
      }
    }
  }
}

// One rank that cannot have its arrays: every rank says out of memory, none waits for it.
TEST(Train, ARankWithoutMemoryEndsEveryRankOutOfMemory) {
  const problem_data p = testing_support::random_problem(300, 2, 5);
  const team_run got = run_as_team(p, 3, 1e-6, 8, 8.0 * 300 * 300, 3, 1);
  for (int rank = 0; rank < 3; ++rank) {
    EXPECT_EQ(got.r[rank].status, krr::solve_status::out_of_memory) << "rank " << rank;
    EXPECT_NE(got.r[rank].failed_what, nullptr);
  }
}

TEST(Train, AgreesWithTheDenseDirectSolve) {
  for (int n : {4, 33, 120}) {
    const problem_data p = testing_support::random_problem(n, 4, n);
    const double ridge = 0.2, tol = 1e-10;
    reference::sequence seq(n);
    const run_result got = run(p, ridge, tol, 8 < n ? 8 : n, 1e9, seq);
    const auto A = reference::dense_system(p.X, p.w, ridge, n, p.d);
    const auto x = reference::dense_solve(A, p.y, n);
    double f = 0.0;
    for (int i = 0; i < n; ++i) {
      double Ax = 0.0;
      for (int j = 0; j < n; ++j) Ax += A[static_cast<size_t>(i) * n + j] * got.alpha[j];
      EXPECT_NEAR(Ax - p.y[i], got.grad[i], 1e-12);
      EXPECT_LE(std::fabs(got.grad[i]), tol);
      EXPECT_NEAR(got.alpha[i], x[i], 1e-8);
      f += 0.5 * got.alpha[i] * Ax - p.y[i] * got.alpha[i];
    }
    EXPECT_NEAR(got.r.objective, f, 1e-12);
    EXPECT_EQ(got.r.evals, static_cast<double>(n) * (8 < n ? 8 : n) * got.r.steps);
  }
}

TEST(Train, InfiniteToleranceRunsNoStepAndZeroTargetsOne) {
  problem_data p = testing_support::random_problem(20, 2, 1);
  reference::sequence seq(1);
  for (double tol : {std::numeric_limits<double>::infinity(), std::nan(""), 1e17}) {
    const run_result none = run(p, 0.1, tol, 3, 0.0, seq);
    EXPECT_EQ(none.r.steps, 0);
    EXPECT_EQ(none.r.evals, 0.0);
    EXPECT_EQ(none.r.objective, 0.0);
    for (int i = 0; i < p.n; ++i) {
      EXPECT_EQ(none.alpha[i], 0.0);
      EXPECT_EQ(none.grad[i], -p.y[i]);
    }
  }
  EXPECT_EQ(seq.drawn, 0);

  std::fill(p.y.begin(), p.y.end(), 0.0);
  const run_result one = run(p, 0.1, 1e-3, 3, 0.0, seq);
  EXPECT_EQ(one.r.status, krr::solve_status::converged);
  EXPECT_EQ(one.r.steps, 1);
  EXPECT_EQ(one.r.evals, 60.0);
  EXPECT_EQ(one.r.objective, 0.0);
  for (int i = 0; i < p.n; ++i) EXPECT_EQ(one.alpha[i], 0.0);
}

TEST(Train, WorkBoundEndsAnUnreachableToleranceUnconverged) {
  const problem_data p = testing_support::random_problem(50, 3, 2);
  reference::sequence seq(2);
  const run_result got = run(p, 1e-9, 1e-300, 4, 1e9, seq, 3.0);
  EXPECT_EQ(got.r.status, krr::solve_status::not_converged);
  EXPECT_EQ(got.r.steps, 38);  // first steps*4 >= 3*50
  EXPECT_GT(got.r.max_abs_grad, 1e-300);
  // What it returns is still a consistent iterate: grad = (K + ridge I) alpha - y.
  const auto A = reference::dense_system(p.X, p.w, 1e-9, p.n, p.d);
  for (int i = 0; i < p.n; ++i) {
    double Ax = 0.0;
    for (int j = 0; j < p.n; ++j) Ax += A[static_cast<size_t>(i) * p.n + j] * got.alpha[j];
    EXPECT_NEAR(Ax - p.y[i], got.grad[i], 1e-6);
  }
}

bool all_finite(const std::vector<double>& v) {
  for (double x : v) {
    if (!std::isfinite(x)) return false;
  }
  return true;
}

double largest_abs(const std::vector<double>& v) {
  double m = 0.0;
  for (double x : v) m = std::fmax(m, std::fabs(x));
  return m;
}

TEST(Train, SingularSystemsEndWithFiniteOutputsAndSayWhy) {
  // Two identical samples with different targets and ridge 0: no solution. The second is
  // left out of every block that holds both, and the work bound ends the descent.
  problem_data p{2, 1, {0.5, 0.5}, {1.0, -1.0}, {1.0, 1.0}};
  reference::sequence seq(3);
  const run_result got = run(p, 0.0, 1e-8, 2, 0.0, seq);
  EXPECT_EQ(got.r.status, krr::solve_status::not_converged);
  EXPECT_GT(got.r.block.dropped_members, 0);
  EXPECT_TRUE(all_finite(got.alpha) && all_finite(got.grad));

  // Zero amplitude with ridge 0: K + ridge I = 0, which one step shows.
  problem_data z = testing_support::random_problem(10, 2, 4);
  z.w[2] = 0.0;
  const run_result zero = run(z, 0.0, 1e-8, 1, 0.0, seq);
  EXPECT_EQ(zero.r.status, krr::solve_status::singular);
  EXPECT_EQ(zero.r.steps, 1);
  for (int i = 0; i < z.n; ++i) {
    EXPECT_EQ(zero.alpha[i], 0.0);
    EXPECT_EQ(zero.grad[i], -z.y[i]);
  }
}

// Ridges from small to none, blocks from small to large: every ending is either a success
// that the kernel built from differences confirms, or one of the endings that say why.
TEST(Train, IllConditionedSystemsConvergeOrSayWhyWithFiniteOutputs) {
  const problem_data p = testing_support::line_problem(300);
  for (double ridge : {1e-4, 1e-8, 1e-12, 0.0}) {
    for (int k : {8, 32, 128}) {
      SCOPED_TRACE(testing::Message() << "ridge " << ridge << " k " << k);
      reference::sequence seq(k);
      const run_result got = run(p, ridge, 1e-6, k, 1e9, seq);
      ASSERT_TRUE(all_finite(got.alpha) && all_finite(got.grad));
      const auto g = reference::dense_residual(p.X, p.y, p.w, ridge, p.n, p.d, got.alpha);
      if (got.r.status == krr::solve_status::converged) {
        EXPECT_LE(largest_abs(g), 1e-6 * (1 + 1e-6));
      } else {
        EXPECT_TRUE(got.r.status == krr::solve_status::not_converged ||
                    got.r.status == krr::solve_status::tolerance_unreachable);
      }
      // The bordered update alone breaks down here; the factorisation must have taken over.
      if (ridge <= 1e-8) {
        EXPECT_GT(got.r.block.unsafe_pivots, 0);
      }
    }
  }
}

// The running gradient drifts from (K + ridge I) alpha - y by rounding; success must be
// true of the latter, and a tol below its rounding floor must be said to be unreachable.
TEST(Train, SuccessIsReportedOnlyWhenTheCheckedGradientMeetsTol) {
  problem_data p = testing_support::random_problem(200, 2, 8);
  p.w = {1.0, 1.0, 1.0};
  for (double scale : {1.0, 1e10}) {
    problem_data q = p;
    for (double& v : q.y) v *= scale;
    for (double tol : {1e-20, 1e-8, 1e-6 * scale}) {
      SCOPED_TRACE(testing::Message() << "scale " << scale << " tol " << tol);
      reference::sequence seq(5);
      const run_result got = run(q, 1e-2, tol, 32, 1e9, seq);
      const auto g = reference::dense_residual(q.X, q.y, q.w, 1e-2, q.n, q.d, got.alpha);
      if (got.r.status == krr::solve_status::converged) {
        EXPECT_LE(largest_abs(g), tol * (1 + 1e-6));
        EXPECT_GE(got.r.gradient_checks, 1);
        continue;
      }
      ASSERT_EQ(got.r.status, krr::solve_status::tolerance_unreachable);
      EXPECT_GT(got.r.reachable_tol, tol);
      // What is returned is the checked gradient, true to within its rounding floor.
      for (int i = 0; i < q.n; ++i) EXPECT_NEAR(got.grad[i], g[i], got.r.reachable_tol);
      EXPECT_LE(largest_abs(g), 2 * got.r.reachable_tol);
    }
  }
}

// Data far from the origin (offsets, timestamps) and data whose norms overflow: alpha must
// solve the system of the kernel built from differences.
TEST(Train, FarFromTheOriginMatchesTheKernelFromDifferences) {
  std::vector<std::pair<problem_data, krr::kernel_form>> cases;
  for (double offset : {1e6, 1e8}) {
    problem_data p = testing_support::random_problem(150, 2, 11);
    for (double& x : p.X) x += offset;
    cases.push_back({p, krr::kernel_form::centred});
  }
  {
    // Hourly timestamps of a year, with a length scale of an hour.
    problem_data p{120, 1, std::vector<double>(120), std::vector<double>(120),
                   {1.0 / (2 * 3600.0 * 3600.0), 1.0}};
    for (int i = 0; i < p.n; ++i) {
      p.X[i] = 1.7e9 + 3600.0 * i + 600.0 * std::sin(i * 1.3);
      p.y[i] = std::sin(i / 7.0);
    }
    cases.push_back({p, krr::kernel_form::centred});
  }
  {
    // A second feature of weight 0 whose squares overflow: it must not count.
    problem_data p = testing_support::random_problem(100, 2, 12);
    for (int i = 0; i < p.n; ++i) p.X[i * 2 + 1] = 1e200 * (1 + i);
    p.w[1] = 0.0;
    cases.push_back({p, krr::kernel_form::centred});
  }
  {
    // Samples 1e185 apart around 1e200: even the centred squares overflow, K = amplitude I.
    problem_data p{50, 1, std::vector<double>(50), std::vector<double>(50), {1.0, 2.0}};
    for (int i = 0; i < p.n; ++i) {
      p.X[i] = 1e200 + 1e185 * i;
      p.y[i] = std::cos(i);
    }
    cases.push_back({p, krr::kernel_form::differences});
  }
  for (const auto& [p, form] : cases) {
    SCOPED_TRACE(testing::Message() << "first sample " << p.X[0] << " n " << p.n);
    reference::sequence seq(2);
    const run_result got = run(p, 0.1, 1e-9, 16, 1e9, seq);
    EXPECT_EQ(got.r.status, krr::solve_status::converged);
    EXPECT_EQ(got.r.form, form);
    const auto x = reference::dense_solve(reference::dense_system(p.X, p.w, 0.1, p.n, p.d), p.y, p.n);
    for (int i = 0; i < p.n; ++i) EXPECT_NEAR(got.alpha[i], x[i], 1e-7 * (1 + std::fabs(x[i])));
  }
}

// The host is asked often enough that a stop ends even one long block step, only from the
// calling thread, and once it says stop the other threads end their parts too.
TEST(Train, InterruptEndsTheRunWithinABlockStepFromTheCallingThreadOnly) {
  const problem_data p = testing_support::random_problem(3000, 3, 5);
  struct polls_seen {
    int count = 0;
    std::thread::id caller = std::this_thread::get_id();
    bool elsewhere = false;
  };
  auto interrupt = [](void* s) {
    auto& seen = *static_cast<polls_seen*>(s);
    if (std::this_thread::get_id() != seen.caller) seen.elsewhere = true;
    return ++seen.count >= 40;
  };
  for (int threads : {1, 2}) {
    polls_seen seen;
    reference::sequence seq(5);
    // One block of every sample: without the interrupt a single step takes long.
    const run_result got = run(p, 1e-6, 1e-300, 3000, 1e9, seq, 1000.0, interrupt, &seen, threads);
    EXPECT_EQ(got.r.status, krr::solve_status::interrupted);
    EXPECT_EQ(got.r.steps, 0);
    EXPECT_EQ(seen.count, 40);
    EXPECT_FALSE(seen.elsewhere);
  }
}

// A budget beyond the memory the process can have caps the cache to what fits, with the
// same results; working arrays beyond it are refused before anything is allocated.
TEST(Train, MemoryBeyondWhatTheProcessCanHaveCapsTheCacheOrIsRefused) {
  const problem_data p = testing_support::random_problem(500, 3, 21);
  reference::sequence s1(4), s2(4);
  const run_result whole = run(p, 0.1, 1e-8, 8, 1e12, s1);
  krr::training_problem problem{p.X.data(), p.y.data(), p.w.data(), 0.1, p.n, p.d};
  krr::training_options options;
  options.tol = 1e-8;
  options.k = 8;
  options.cache_bytes = 1e12;
  options.rng = testing_support::source_of(s2);
  options.memory_bytes = 1e6;
  std::vector<double> alpha(p.n), grad(p.n);
  const krr::training_result capped = krr::train(problem, options, alpha.data(), grad.data());
  EXPECT_EQ(capped.requested_cache_columns, p.n);
  EXPECT_LT(capped.cache_columns, p.n / 2);
  EXPECT_GE(capped.cache_columns, 2);
  expect_same_bits(alpha, whole.alpha);
  expect_same_bits(grad, whole.grad);

  options.k = 400;  // 400 columns of the block alone need 1.6 MB
  const krr::training_result refused = krr::train(problem, options, alpha.data(), grad.data());
  EXPECT_EQ(refused.status, krr::solve_status::out_of_memory);
  EXPECT_GT(refused.failed_bytes, 1e6);
}

TEST(Train, UnallocatableCacheIsReportedWithItsSize) {
  // n columns of n doubles for n near 2^31 exceeds any address space; the solver must
  // refuse before it reads a single sample.
  const int n = 2000000000;
  krr::training_problem problem{nullptr, nullptr, nullptr, 0.1, n, 1};
  krr::training_options options;
  options.tol = 1.0;
  options.k = 1;
  options.cache_bytes = std::numeric_limits<double>::infinity();
  reference::sequence seq(1);
  options.rng = testing_support::source_of(seq);
  const auto r = krr::train(problem, options, nullptr, nullptr);
  EXPECT_EQ(r.status, krr::solve_status::out_of_memory);
  EXPECT_EQ(r.failed_bytes, 8.0 * n * static_cast<double>(n));
  EXPECT_STREQ(r.failed_what, "the kernel column cache");
}

}  // namespace
