// The team over MPI (mpi_team.h).
#include "core/exact_arithmetic.h"

#include "cli/mpi_team.h"

#include <mpi.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace cli {

namespace {

// The best of two {value, index} pairs, as row_team::best_of orders them: commutative and
// associative, so MPI may combine the ranks' pairs in any order.
struct value_index {
  double value;
  int index;
};

value_index better(const value_index& a, const value_index& b) {
  if (a.index < 0) return b;
  if (b.index < 0) return a;
  if (std::isnan(a.value)) return a;
  if (std::isnan(b.value)) return b;
  if (a.value != b.value) return a.value > b.value ? a : b;
  return a.index < b.index ? a : b;
}

void best_pairs(void* in, void* inout, int* len, MPI_Datatype*) {
  const auto* a = static_cast<const value_index*>(in);
  auto* b = static_cast<value_index*>(inout);
  for (int i = 0; i < *len; ++i) b[i] = better(a[i], b[i]);
}

// (lo, hi) pairs: in holds the lower ranks' (MPI keeps the ranks' order for an operation
// that does not commute), so of equal values theirs is kept.
void extreme_pairs(void* in, void* inout, int* len, MPI_Datatype*) {
  const auto* a = static_cast<const double*>(in);
  auto* b = static_cast<double*>(inout);
  for (int i = 0; i < *len; ++i) {
    const double lo = a[2 * i], hi = a[2 * i + 1];
    b[2 * i] = b[2 * i] < lo ? b[2 * i] : lo;
    b[2 * i + 1] = b[2 * i + 1] > hi ? b[2 * i + 1] : hi;
  }
}

// MPI counts are ints: longer transfers go in pieces.
constexpr std::int64_t PIECE = INT_MAX / 2;

}  // namespace

bool launched_by_mpi() {
  for (const char* name : {"OMPI_COMM_WORLD_SIZE", "PMI_SIZE", "PMIX_RANK", "PMI_RANK"}) {
    if (std::getenv(name) != nullptr) return true;
  }
  return false;
}

mpi_session::mpi_session(int* argc, char*** argv) {
  int provided = 0;
  MPI_Init_thread(argc, argv, MPI_THREAD_FUNNELED, &provided);
  MPI_Comm_rank(MPI_COMM_WORLD, &rank_);
  MPI_Comm_size(MPI_COMM_WORLD, &size_);
}

mpi_session::~mpi_session() { MPI_Finalize(); }

int mpi_session::agree(int code, bool& tells) {
  int mine = code != 0 ? rank_ : size_, lowest = size_;
  MPI_Allreduce(&mine, &lowest, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD);
  tells = lowest == rank_;
  if (lowest == size_) return 0;
  int agreed = code;
  MPI_Bcast(&agreed, 1, MPI_INT, lowest, MPI_COMM_WORLD);
  return agreed;
}

void mpi_session::abort(int code) {
  MPI_Abort(MPI_COMM_WORLD, code);
  std::_Exit(code);  // MPI_Abort does not return; this only satisfies [[noreturn]]
}

struct mpi_team::operations {
  MPI_Op best = MPI_OP_NULL, extremes = MPI_OP_NULL;
  MPI_Datatype pair = MPI_DATATYPE_NULL;
};

mpi_team::mpi_team(std::int64_t n, const mpi_session& session)
    : row_team(n, session.rank(), session.size()), ops_(new operations) {
  MPI_Op_create(&best_pairs, 1, &ops_->best);
  MPI_Op_create(&extreme_pairs, 0, &ops_->extremes);
  MPI_Type_contiguous(2, MPI_DOUBLE, &ops_->pair);
  MPI_Type_commit(&ops_->pair);
}

mpi_team::~mpi_team() {
  MPI_Op_free(&ops_->best);
  MPI_Op_free(&ops_->extremes);
  MPI_Type_free(&ops_->pair);
}

void mpi_team::broadcast(double* values, std::int64_t count, int root) {
  for (std::int64_t at = 0; at < count; at += PIECE) {
    const std::int64_t piece = count - at < PIECE ? count - at : PIECE;
    MPI_Bcast(values + at, static_cast<int>(piece), MPI_DOUBLE, root, MPI_COMM_WORLD);
    tally(rank() == root ? 8.0 * piece : 0.0);
  }
}

krr::max_abs_result mpi_team::best_of(krr::max_abs_result local) {
  value_index mine{local.value, local.index}, best{};
  MPI_Allreduce(&mine, &best, 1, MPI_DOUBLE_INT, ops_->best, MPI_COMM_WORLD);
  tally(sizeof(double) + sizeof(int));
  return {best.value, best.index};
}

void mpi_team::extremes(double* lo, double* hi, int count) {
  std::vector<double> mine(2 * static_cast<std::size_t>(count)), all(mine.size());
  for (int i = 0; i < count; ++i) {
    mine[2 * i] = lo ? lo[i] : 0.0;
    mine[2 * i + 1] = hi ? hi[i] : 0.0;
  }
  MPI_Allreduce(mine.data(), all.data(), count, ops_->pair, ops_->extremes, MPI_COMM_WORLD);
  tally(8.0 * mine.size());
  for (int i = 0; i < count; ++i) {
    if (lo) lo[i] = all[2 * i];
    if (hi) hi[i] = all[2 * i + 1];
  }
}

bool mpi_team::all(bool value) {
  int mine = value ? 1 : 0, every = 0;
  MPI_Allreduce(&mine, &every, 1, MPI_INT, MPI_LAND, MPI_COMM_WORLD);
  tally(sizeof(int));
  return every != 0;
}

double mpi_team::in_row_order(double start, const std::function<double(double)>& rows) {
  double running = start;
  if (rank() > 0) MPI_Recv(&running, 1, MPI_DOUBLE, rank() - 1, 0, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
  running = rows(running);
  if (rank() + 1 < size()) MPI_Send(&running, 1, MPI_DOUBLE, rank() + 1, 0, MPI_COMM_WORLD);
  tally(rank() + 1 < size() ? 8.0 : 0.0);
  MPI_Bcast(&running, 1, MPI_DOUBLE, size() - 1, MPI_COMM_WORLD);
  tally(rank() == size() - 1 ? 8.0 : 0.0);
  return running;
}

void mpi_team::gather_rows(const double* local, double* whole) {
  // n < 2^31 (the solver's sample indices are ints), so every offset fits MPI's int.
  std::vector<int> counts(size()), offsets(size());
  for (int p = 0; p < size(); ++p) {
    offsets[p] = static_cast<int>(first_of(p));
    counts[p] = static_cast<int>(first_of(p + 1) - first_of(p));
  }
  MPI_Gatherv(local, static_cast<int>(rows()), MPI_DOUBLE, whole, counts.data(), offsets.data(),
              MPI_DOUBLE, 0, MPI_COMM_WORLD);
  tally(rank() == 0 ? 0.0 : 8.0 * rows());
}

std::vector<mpi_team::traffic> mpi_team::all_sent() const {
  const double mine[2] = {sent_.messages, sent_.bytes};
  std::vector<double> all(rank() == 0 ? 2 * static_cast<std::size_t>(size()) : 0);
  MPI_Gather(mine, 2, MPI_DOUBLE, all.data(), 2, MPI_DOUBLE, 0, MPI_COMM_WORLD);
  std::vector<traffic> out(all.size() / 2);
  for (std::size_t p = 0; p < out.size(); ++p) out[p] = {all[2 * p], all[2 * p + 1]};
  return out;
}

}  // namespace cli
