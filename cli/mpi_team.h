// The command line's team of processes over MPI (core/parallel/row_team.h): the ranks of
// MPI_COMM_WORLD, each holding its contiguous share of the rows. Only the calling thread of
// each process calls MPI (MPI_THREAD_FUNNELED): the core's threads never do.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/parallel/row_team.h"

namespace cli {

// Whether this process was started by an MPI launcher (mpirun, mpiexec, srun): then, and
// only then, the program joins an MPI job; run by hand it is one process, as without MPI.
bool launched_by_mpi();

// MPI's lifetime: MPI_Init_thread on construction, MPI_Finalize on destruction.
class mpi_session {
 public:
  mpi_session(int* argc, char*** argv);
  ~mpi_session();
  mpi_session(const mpi_session&) = delete;
  mpi_session& operator=(const mpi_session&) = delete;
  int rank() const { return rank_; }
  int size() const { return size_; }

  // Every rank says its exit code (0: fine). Returns the code of the lowest rank that failed,
  // 0 where none did, on every rank, and whether this rank is the one whose message tells it.
  int agree(int code, bool& tells);
  // Ends the whole job at once from any rank, with code as every rank's exit code.
  [[noreturn]] void abort(int code);

 private:
  int rank_ = 0, size_ = 1;
};

class mpi_team final : public krr::row_team {
 public:
  mpi_team(std::int64_t n, const mpi_session& session);
  ~mpi_team() override;

  void broadcast(double* values, std::int64_t count, int root) override;
  krr::max_abs_result best_of(krr::max_abs_result local) override;
  void extremes(double* lo, double* hi, int count) override;
  bool all(bool value) override;
  double in_row_order(double start, const std::function<double(double)>& rows) override;

  // Every rank's rows of a vector of n, gathered in order into whole (n values) on rank 0;
  // whole is not read elsewhere.
  void gather_rows(const double* local, double* whole);

  // What this rank has sent through the operations above: messages counts each MPI call
  // (one per collective operation, a relay of in_row_order's running value as one more, a
  // transfer longer than an int's count once per piece), bytes the payload this rank puts
  // in: a broadcast's values at its root only, a reduction's operand on every rank, a
  // gather's rows on every rank but the root, a relay's value on every rank but the last.
  struct traffic {
    double messages = 0.0, bytes = 0.0;
  };
  const traffic& sent() const { return sent_; }
  // Every rank's traffic, in rank order, on rank 0 (empty elsewhere); itself not counted.
  std::vector<traffic> all_sent() const;

 private:
  struct operations;  // the reductions' MPI handles, so that mpi.h stays in mpi_team.cpp
  std::unique_ptr<operations> ops_;
  traffic sent_;
  void tally(double bytes) {
    sent_.messages += 1.0;
    sent_.bytes += bytes;
  }
};

}  // namespace cli
