// krrard: the command line of exact kernel ridge regression for batch jobs, a host of the
// core like the Octave modules: it reads the data files, converts the options, runs the
// core's entries (krr::train, krr::fit, krr::model_predict) and writes their outputs.
//   krrard train    the solve of tarvel with fixed hyperparameters: the coefficients
//   krrard learn    the learner of krrfit: a model file
//   krrard predict  predictions from a model file, optionally deviations and intervals
// Under an MPI launcher `train` shares the rows among the ranks, and `predict` the new
// rows (mpi_team.h, the README's "Under MPI"). Progress, reports, warnings and errors go
// to standard error, every line starting with "krrard <command>: ". SIGINT and SIGTERM are
// answered through the core's interrupt poll; outputs are written through staged files
// (output_file.h), so an interrupted or failed run leaves none behind.
#include "core/exact_arithmetic.h"

#include <csignal>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli/data_files.h"
#include "cli/mat_file.h"
#include "cli/model_file.h"
#include "cli/output_file.h"
#include "core/learn/fit.h"
#include "core/learn/fit_options.h"
#include "core/learn/model_predict.h"
#include "core/parallel/system_resources.h"
#include "core/solve/random_source.h"
#include "core/solve/train.h"
#ifdef KRRARD_MPI
#include "cli/mpi_team.h"
#endif

#ifndef KRRARD_VERSION
#define KRRARD_VERSION "unknown"
#endif

namespace {

// The exit codes, as --help lists them.
enum exit_code : int {
  EXIT_OK = 0,
  EXIT_FAILED = 1,       // the computation failed, or did not converge
  EXIT_USAGE = 2,        // the command line: an unknown or refused option, a missing argument
  EXIT_INPUT = 3,        // an input file unreadable, malformed or refused
  EXIT_OUTPUT = 4,       // an output file could not be written
  EXIT_INTERRUPTED = 130,  // SIGINT or SIGTERM
};

const char* const EXIT_CODES_HELP =
    "Exit codes:\n"
    "  0    success\n"
    "  1    the computation failed or did not converge (train writes the coefficients\n"
    "       reached and says so; learn and predict write nothing)\n"
    "  2    usage: an unknown or refused option, a missing argument\n"
    "  3    an input file cannot be read, is malformed, or holds a value refused\n"
    "  4    an output file cannot be written\n"
    "  130  interrupted by SIGINT or SIGTERM: nothing is written\n";

// ---------------------------------------------------------------- signals

volatile std::sig_atomic_t stop_requested = 0;

// The first signal asks the run to stop at the core's next poll; a second one, where that
// is not soon enough, ends the process as the signal would (outputs are only renamed into
// place at the very end, so none is left half written).
extern "C" void on_stop_signal(int sig) {
  if (stop_requested) {
    std::signal(sig, SIG_DFL);
    std::raise(sig);
  }
  stop_requested = 1;
}

bool stop_pending(void*) { return stop_requested != 0; }

// ---------------------------------------------------------------- the job's processes

// Under an MPI launcher with several ranks, `train` and `predict` share the rows among
// them (see mpi_team.h); this process's rank and the job's size, 0 and 1 otherwise. Only
// rank 0 prints the report, progress and errors that every rank meets alike.
int job_rank = 0, job_size = 1;
#ifdef KRRARD_MPI
cli::mpi_session* job = nullptr;
const char* job_command = "";  // the command the job runs, for stop_job's message

// The core's interrupt poll in a job of several ranks: a signal ends the whole job at once,
// from whichever rank it reached, since the others cannot stop at the same step on their own.
bool stop_job(void*) {
  if (stop_requested) {
    std::fprintf(stderr, "krrard %s: rank %d of %d: interrupted by a signal; ending the job, nothing written\n",
                 job_command, job_rank, job_size);
    job->abort(130);
  }
  return false;
}
#endif

void watch_stop_signals() {
  struct sigaction action {};
  action.sa_handler = &on_stop_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

// ---------------------------------------------------------------- errors

// Ends the command with a code and a message (already naming the command). In a job of
// several ranks rank 0 prints it, or the rank it is `told` to (empty elsewhere).
struct command_end {
  int code;
  std::string message;
  bool told = false;
};

[[noreturn]] void end(int code, const std::string& command, const std::string& message) {
  throw command_end{code, "krrard " + command + ": " + message};
}

// ---------------------------------------------------------------- arguments

struct option_entry {
  std::string name;      // without the dashes
  std::string value;     // the value's placeholder in the help; empty for a switch
  std::string help;
};

struct arguments {
  std::vector<std::string> positional;
  std::map<std::string, std::string> values;  // by option name; a switch holds ""
  bool has(const std::string& name) const { return values.count(name) != 0; }
  std::string get(const std::string& name, const std::string& otherwise = "") const {
    const auto it = values.find(name);
    return it == values.end() ? otherwise : it->second;
  }
};

arguments parse_arguments(const std::string& command, int argc, char** argv,
                          const std::vector<option_entry>& entries) {
  arguments a;
  for (int i = 0; i < argc; ++i) {
    std::string word = argv[i];
    if (word == "-o") word = "--output";
    if (word == "-q") word = "--quiet";
    if (word == "-h") word = "--help";
    if (word.size() < 3 || word.compare(0, 2, "--") != 0) {
      a.positional.push_back(word);
      continue;
    }
    std::string name = word.substr(2), value;
    const std::size_t eq = name.find('=');
    const bool inline_value = eq != std::string::npos;
    if (inline_value) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
    }
    const option_entry* entry = nullptr;
    for (const option_entry& s : entries) {
      if (s.name == name) entry = &s;
    }
    if (!entry) end(EXIT_USAGE, command, "unknown option --" + name + " (see krrard " + command + " --help)");
    if (entry->value.empty()) {
      if (inline_value) end(EXIT_USAGE, command, "--" + name + " takes no value");
    } else if (!inline_value) {
      if (i + 1 >= argc) end(EXIT_USAGE, command, "--" + name + " needs a value (" + entry->value + ")");
      value = argv[++i];
    }
    a.values[name] = value;
  }
  return a;
}

std::string help_text(const std::string& usage, const std::string& about,
                      const std::vector<option_entry>& entries) {
  std::string text = "Usage: " + usage + "\n\n" + about + "\nOptions:\n";
  for (const option_entry& s : entries) {
    std::string left = "  --" + s.name + (s.value.empty() ? "" : " " + s.value);
    if (left.size() < 30) left.resize(30, ' ');
    else left += "\n" + std::string(30, ' ');
    std::string help = s.help;
    for (std::size_t p = 0; (p = help.find('\n', p)) != std::string::npos; p += 31) {
      help.insert(p + 1, std::string(30, ' '));
    }
    text += left + help + "\n";
  }
  return text + "\n" + EXIT_CODES_HELP;
}

// A number given on the command line: the whole text must be one.
double number_of(const std::string& command, const std::string& option, const std::string& text) {
  char* stop = nullptr;
  const double x = std::strtod(text.c_str(), &stop);
  if (text.empty() || *stop != '\0') {
    end(EXIT_USAGE, command, "--" + option + " must be a number, got '" + text + "'");
  }
  return x;
}

// Numbers separated by commas; false where any part is not one.
bool numbers_of(const std::string& text, std::vector<double>& out) {
  out.clear();
  std::size_t start = 0;
  while (true) {
    const std::size_t comma = text.find(',', start);
    const std::string part = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    char* stop = nullptr;
    const double x = std::strtod(part.c_str(), &stop);
    if (part.empty() || *stop != '\0') return false;
    out.push_back(x);
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

int whole_of(const std::string& command, const std::string& option, const std::string& text,
             int low, int high) {
  const double x = number_of(command, option, text);
  if (!(x >= low && x <= high && x == std::trunc(x))) {
    end(EXIT_USAGE, command, "--" + option + " must be a whole number from " + std::to_string(low) +
                                 " to " + std::to_string(high) + ", got '" + text + "'");
  }
  return static_cast<int>(x);
}

// ---------------------------------------------------------------- resources

// Threads: --threads, else KRR_NUM_THREADS (1 ... 1024), else 0 (one per processor).
int threads_of(const std::string& command, const arguments& a) {
  if (a.has("threads")) return whole_of(command, "threads", a.get("threads"), 0, 1024);
  const krr::environment_setting s = krr::thread_setting();
  if (!s.set) return 0;
  if (s.valid) return static_cast<int>(s.value);
  std::fprintf(stderr, "krrard %s: warning: KRR_NUM_THREADS = '%.40s' is not a whole number from 1 to 1024; one thread per processor\n",
               command.c_str(), s.text.c_str());
  return 0;
}

// Memory: what the system says this process can have, and no more than KRR_MEMORY_LIMIT.
double memory_of(const std::string& command) {
  const double bytes = krr::available_memory_bytes();
  const krr::environment_setting s = krr::memory_limit_setting();
  if (!s.set) return bytes;
  if (s.valid) return std::fmin(bytes, s.value);
  std::fprintf(stderr, "krrard %s: warning: KRR_MEMORY_LIMIT = '%.40s' is not a positive number of bytes; it is ignored\n",
               command.c_str(), s.text.c_str());
  return bytes;
}

// ---------------------------------------------------------------- files

cli::table read_data(const std::string& command, const std::string& path) {
  try {
    return cli::read_table(path);
  } catch (const cli::file_error& e) {
    end(EXIT_INPUT, command, e.what());
  }
}

// Rows [first, first + count) of a data file.
cli::table read_data_rows(const std::string& command, const std::string& path, std::int64_t first,
                          std::int64_t count) {
  try {
    return cli::read_table(path, {first, count});
  } catch (const cli::file_error& e) {
    end(EXIT_INPUT, command, e.what());
  }
}

// Refuses a command that does not share its work among the ranks of a job yet.
void one_process_only(const std::string& command) {
  if (job_size > 1) {
    end(EXIT_USAGE, command, "runs as one process for now, not under mpirun with " + std::to_string(job_size) +
                                 " ranks: start it without mpirun (or with -np 1); train and predict share their rows among ranks");
  }
}

// The output's format by its name, checked before any work.
bool output_format(const std::string& command, const std::string& option, const std::string& path) {
  try {
    return cli::binary_by_name(path);
  } catch (const std::invalid_argument& e) {
    end(EXIT_USAGE, command, "--" + option + " " + e.what());
  }
}

// Every output staged, then all renamed: none appears unless all could be written.
struct output_set {
  std::string command;
  std::vector<std::unique_ptr<cli::staged_file>> staged;
  void add(const std::string& path, const std::string& bytes) {
    try {
      staged.push_back(std::make_unique<cli::staged_file>(path, bytes));
    } catch (const std::runtime_error& e) {
      end(EXIT_OUTPUT, command, e.what());
    }
  }
  void commit() {
    if (stop_requested) end(EXIT_INTERRUPTED, command, "interrupted; nothing written");
    try {
      for (auto& s : staged) s->commit();
    } catch (const std::runtime_error& e) {
      end(EXIT_OUTPUT, command, e.what());
    }
  }
};

// The columns [first, first + count) of a table, as an n x count column-major matrix.
std::vector<double> columns_of(const cli::table& t, std::int64_t first, std::int64_t count) {
  std::vector<double> m(static_cast<std::size_t>(t.rows * count));
  for (std::int64_t j = 0; j < count; ++j)
    for (std::int64_t i = 0; i < t.rows; ++i) m[j * t.rows + i] = t.at(i, first + j);
  return m;
}

// An n x c column-major matrix as a table of n rows.
cli::table table_of(const std::vector<double>& m, std::int64_t rows, std::int64_t cols) {
  cli::table t;
  t.rows = rows;
  t.cols = cols;
  t.values.resize(static_cast<std::size_t>(rows * cols));
  for (std::int64_t i = 0; i < rows; ++i)
    for (std::int64_t j = 0; j < cols; ++j) t.values[i * cols + j] = m[j * rows + i];
  return t;
}

// The targets' columns: the last --outputs columns of the data file.
std::int64_t output_count(const std::string& command, const arguments& a, int otherwise) {
  return a.has("outputs") ? whole_of(command, "outputs", a.get("outputs"), otherwise == 0 ? 0 : 1, 1 << 30)
                          : otherwise;
}

void check_layout(const std::string& command, const std::string& path, const cli::table_shape& t,
                  std::int64_t outputs, std::int64_t least_features) {
  if (t.rows < 1) end(EXIT_INPUT, command, path + ": no rows of data");
  if (t.cols < outputs + least_features) {
    end(EXIT_INPUT, command, path + ": " + std::to_string(t.cols) + " columns, but " +
                                 std::to_string(least_features) + " feature column(s) and " +
                                 std::to_string(outputs) + " target column(s) (--outputs) are needed");
  }
  if (t.rows > INT32_MAX || t.cols > INT32_MAX) end(EXIT_INPUT, command, path + ": more rows or columns than 2^31 - 1");
}

void check_layout(const std::string& command, const std::string& path, const cli::table& t,
                  std::int64_t outputs, std::int64_t least_features) {
  check_layout(command, path, cli::table_shape{t.rows, t.cols, false}, outputs, least_features);
}

void print_line(const std::string& command, const std::string& line) {
  if (job_rank == 0) std::fprintf(stderr, "krrard %s: %s\n", command.c_str(), line.c_str());
}

// In a job of several ranks, where the ranks may meet different failures (each reads its own
// rows): the code of the lowest rank that failed becomes every rank's, and that rank prints
// its message. Elsewhere the failure ends the command as it is.
void agree_on(int code, const std::string& message) {
#ifdef KRRARD_MPI
  if (job_size > 1) {
    bool tells = false;
    const int agreed = job->agree(code, tells);
    if (agreed != 0) throw command_end{agreed, tells ? message : "", tells};
    return;
  }
#endif
  if (code != 0) throw command_end{code, message};
}

// ---------------------------------------------------------------- train

const std::vector<option_entry> TRAIN_OPTIONS = {
    {"output", "FILE", "where the coefficients go (-o; .csv or .bin), n values"},
    {"weights", "W1,...,Wd,A", "the kernel's feature weights w = 1 / (2 l^2), one per\nfeature column, then the amplitude A (required)"},
    {"ridge", "R", "the ridge, finite and >= 0 (required)"},
    {"tol", "T", "the gradient tolerance, > 0 (default 1e-8)"},
    {"block-size", "K", "the block size k, 1 to n (default 64, at most n)"},
    {"cache-bytes", "B", "the kernel column cache in bytes (default Inf: as much\nas fits)"},
    {"seed", "S", "seeds the C library's rand, which draws the block\ncandidates (default 1, the unseeded sequence)"},
    {"gradient", "FILE", "also write the final gradient (K + ridge I) alpha - y"},
    {"outputs", "1", "the target is the file's last column (only 1 is taken)"},
    {"threads", "N", "threads (default KRR_NUM_THREADS, else one per\nprocessor); results do not depend on it"},
    {"quiet", "", "no report on standard error (-q)"},
    {"verbose", "", "under mpirun, also the messages and bytes each rank sent,\nper pass over the data"},
    {"help", "", "this help (-h)"},
};

int run_train(int argc, char** argv) {
  const std::string command = "train";
  const arguments a = parse_arguments(command, argc, argv, TRAIN_OPTIONS);
  if (a.has("help")) {
    std::fputs(help_text("krrard train DATA --weights W1,...,Wd,A --ridge R -o ALPHA [options]",
                         "Solves (K + ridge I) alpha = y by exact block coordinate descent with fixed\n"
                         "hyperparameters, as tarvel does, and writes alpha. DATA holds one sample per\n"
                         "row, its features, then the target in the last column. The report (kernel\n"
                         "evaluations, objective, time) and any warning go to standard error.\n",
                         TRAIN_OPTIONS).c_str(), stdout);
    return EXIT_OK;
  }
  if (a.positional.size() != 1) end(EXIT_USAGE, command, "expected one DATA file (see krrard train --help)");
  if (!a.has("output")) end(EXIT_USAGE, command, "-o FILE is required: where the coefficients go");
  if (!a.has("weights") || !a.has("ridge")) end(EXIT_USAGE, command, "--weights and --ridge are required");
  if (a.has("outputs") && a.get("outputs") != "1") end(EXIT_USAGE, command, "--outputs must be 1: train solves for one target");
  const bool alpha_binary = output_format(command, "output", a.get("output"));
  const bool grad_binary = a.has("gradient") && output_format(command, "gradient", a.get("gradient"));
  std::vector<double> w;
  if (!numbers_of(a.get("weights"), w)) {
    end(EXIT_USAGE, command, "--weights must be numbers separated by commas, got '" + a.get("weights") + "'");
  }
  const double ridge = number_of(command, "ridge", a.get("ridge"));
  const double tol = a.has("tol") ? number_of(command, "tol", a.get("tol")) : 1e-8;
  const double cache_bytes = a.has("cache-bytes") ? number_of(command, "cache-bytes", a.get("cache-bytes"))
                                                  : HUGE_VAL;
  const double seed = a.has("seed") ? number_of(command, "seed", a.get("seed")) : 1.0;
  if (!(std::isfinite(ridge) && ridge >= 0.0)) end(EXIT_USAGE, command, "--ridge must be finite and nonnegative, got " + a.get("ridge"));
  if (!(tol > 0.0)) end(EXIT_USAGE, command, "--tol must be positive (a tolerance <= 0 can never be met), got " + a.get("tol"));
  if (std::isnan(cache_bytes)) end(EXIT_USAGE, command, "--cache-bytes must be a number of bytes, got NaN");
  if (!(seed >= 0 && seed <= 4294967295.0 && seed == std::trunc(seed))) {
    end(EXIT_USAGE, command, "--seed must be a whole number from 0 to 2^32 - 1, got " + a.get("seed"));
  }
  for (double x : w) {
    if (!(std::isfinite(x) && x >= 0.0)) end(EXIT_USAGE, command, "--weights must be finite and nonnegative, got " + a.get("weights"));
  }
  const int threads = threads_of(command, a);

  const std::string path = a.positional[0];
  // Each rank reads only its own rows: the shape from the header, then its range. A single
  // process reads the file in one go.
  cli::table data;
  cli::table_shape shape;
  std::unique_ptr<krr::row_team> team;
  int code = 0;
  std::string message;
  try {
    if (job_size == 1) {
      data = read_data(command, path);
      shape = {data.rows, data.cols, false};
      check_layout(command, path, shape, 1, 0);
    } else {
      try {
        shape = cli::read_shape(path);
      } catch (const cli::file_error& e) {
        end(EXIT_INPUT, command, e.what());
      }
      check_layout(command, path, shape, 1, 0);
      const std::int64_t first = shape.rows * job_rank / job_size;
      const std::int64_t count = shape.rows * (job_rank + 1) / job_size - first;
      data = read_data_rows(command, path, first, count);
    }
  } catch (const command_end& e) {
    code = e.code;
    message = e.message;
  }
  agree_on(code, message);
  const int n = static_cast<int>(shape.rows), d = static_cast<int>(shape.cols - 1);
  const int rows = static_cast<int>(data.rows);
  if (static_cast<int>(w.size()) != d + 1) {
    end(EXIT_USAGE, command, "--weights must have d + 1 = " + std::to_string(d + 1) + " entries (one per feature column of " +
                                 path + ", then the amplitude), got " + std::to_string(w.size()));
  }
  int k = 64 < n ? 64 : n;
  if (a.has("block-size")) k = whole_of(command, "block-size", a.get("block-size"), 1, n);

  // The solver takes one sample per column.
  std::vector<double> X(static_cast<std::size_t>(rows) * d), y(rows);
  for (int i = 0; i < rows; ++i) {
    for (int l = 0; l < d; ++l) X[static_cast<std::size_t>(i) * d + l] = data.at(i, l);
    y[i] = data.at(i, d);
  }
  data = cli::table();
  const krr::training_problem problem{X.data(), y.data(), w.data(), ridge, n, d};
  krr::training_options options{};
  options.tol = tol;
  options.k = k;
  options.cache_bytes = cache_bytes;
  std::srand(static_cast<unsigned>(seed));
  options.rng = krr::c_library_random();
  options.interrupt_pending = &stop_pending;
  options.threads = threads;
  options.memory_bytes = memory_of(command);
#ifdef KRRARD_MPI
  if (job_size > 1) {
    team.reset(new cli::mpi_team(n, *job));
    options.team = team.get();
    job_command = "train";
    options.interrupt_pending = &stop_job;
  }
#endif
  std::vector<double> alpha(rows), grad(rows);
  const krr::training_result result = krr::train(problem, options, alpha.data(), grad.data());

  using krr::solve_status;
  if (result.status == solve_status::interrupted) {
    end(EXIT_INTERRUPTED, command, "interrupted after " + std::to_string(result.steps) + " block steps; nothing written");
  }
  if (result.status == solve_status::out_of_memory) {
    end(EXIT_FAILED, command, krr::printf_text("could not allocate %.0f bytes for %s (n = %d, k = %d, %d cache columns); lower --cache-bytes or --block-size",
                                               result.failed_bytes, result.failed_what, n, k, result.cache_columns));
  }
  if (!a.has("quiet")) {
    print_line(command, krr::printf_text("Number of kernel evaluation is %.0f.", result.evals));
    print_line(command, krr::printf_text("Objectve function is %f", result.objective));
    print_line(command, krr::printf_text("Elapsed time is %f seconds.", result.seconds));
  }
  if (result.cache_columns < result.requested_cache_columns) {
    print_line(command, krr::printf_text("warning: --cache-bytes asks for %d columns, more than this process can have: the cache was capped at %d of n = %d columns",
                                         result.requested_cache_columns, result.cache_columns, n));
  }
  const krr::block_solution_stats& block = result.block;
  if (result.status == solve_status::singular) {
    print_line(command, "warning: K + ridge*I is zero (the amplitude and the ridge are both 0), so no step can reduce the gradient; pass a positive --ridge");
  } else if (block.unsafe_pivots > 0 || block.dropped_members > 0 || block.failed_checks > 0) {
    print_line(command, krr::printf_text("warning: K + ridge*I is ill-conditioned: %lld block pivots were small, %lld block members were left out as dependent on the others; a larger --ridge makes the system better conditioned",
                                         static_cast<long long>(block.unsafe_pivots), static_cast<long long>(block.dropped_members)));
  }
  code = EXIT_OK;
  switch (result.status) {
    case solve_status::not_converged:
      print_line(command, krr::printf_text("not converged: stopped by the work bound after %.0f block steps (%.0f passes over the data) with max|grad| = %g above tol = %g; the coefficients written are the iterate reached",
                                           static_cast<double>(result.steps), result.passes, result.max_abs_grad, tol));
      code = EXIT_FAILED;
      break;
    case solve_status::tolerance_unreachable:
      print_line(command, krr::printf_text("not converged: tol = %g is below what double precision can reach for this problem (about %g; max|grad| is %g); ask for --tol %.2g or more",
                                           tol, result.reachable_tol, result.max_abs_grad, result.reachable_tol));
      code = EXIT_FAILED;
      break;
    case solve_status::breakdown:
      print_line(command, "failed: the solution overflows double precision (alpha or the gradient holds Inf or NaN); scale y down or raise --ridge");
      code = EXIT_FAILED;
      break;
    default:
      break;
  }
  // The rows gathered to rank 0, which writes the files (n doubles each, no more than the
  // data it read); the exit code is every rank's.
#ifdef KRRARD_MPI
  if (job_size > 1) {
    // The solve's traffic (the gathers below are the output's, not the solve's).
    const std::vector<cli::mpi_team::traffic> sent = static_cast<cli::mpi_team&>(*team).all_sent();
    if (a.has("verbose") && !a.has("quiet")) {
      const double passes = result.passes > 0 ? result.passes : 1.0;
      std::string line = krr::printf_text("%d ranks, %.2f passes over the data; messages per pass", job_size,
                                          result.passes);
      for (const auto& t : sent) line += krr::printf_text(" %.1f", t.messages / passes);
      line += "; bytes per pass";
      for (const auto& t : sent) line += krr::printf_text(" %.0f", t.bytes / passes);
      line += " (rank 0 first)";
      print_line(command, line);
    }
    std::vector<double> whole(job_rank == 0 ? n : 0);
    static_cast<cli::mpi_team&>(*team).gather_rows(alpha.data(), whole.data());
    alpha.swap(whole);
    whole.assign(job_rank == 0 ? n : 0, 0.0);
    if (a.has("gradient")) static_cast<cli::mpi_team&>(*team).gather_rows(grad.data(), whole.data());
    grad.swap(whole);
  }
#endif
  int written = 0;
  message.clear();
  try {
    if (job_rank == 0) {
      output_set out{command, {}};
      out.add(a.get("output"), cli::table_bytes(table_of(alpha, n, 1), alpha_binary));
      if (a.has("gradient")) out.add(a.get("gradient"), cli::table_bytes(table_of(grad, n, 1), grad_binary));
      out.commit();
    } else if (stop_requested) {
      end(EXIT_INTERRUPTED, command, "interrupted; nothing written");
    }
  } catch (const command_end& e) {
    written = e.code;
    message = e.message;
  }
  agree_on(written, message);
  return code;
}

// ---------------------------------------------------------------- learn

// An option's command-line name: LengthScales -> length-scales.
std::string dashed(const std::string& name) {
  std::string s;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char ch = name[i];
    if (ch >= 'A' && ch <= 'Z') {
      if (i) s += '-';
      s += static_cast<char>(ch - 'A' + 'a');
    } else {
      s += ch;
    }
  }
  return s;
}

// A message of the core's option checks names the option as krrfit does ("MaxIterations must
// be ..."): here it names the command line's (--max-iterations). True where it names one.
bool names_option(std::string& message, const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    if (message.compare(0, name.size() + 1, name + " ") == 0) {
      message = "--" + dashed(name) + message.substr(name.size());
      return true;
    }
  }
  return false;
}

// A value as the learner's options take it: numbers (one, or a row separated by commas),
// true or false, a list of names separated by commas, or one word.
krr::option_value option_of_text(const std::string& text) {
  std::vector<double> numbers;
  if (numbers_of(text, numbers)) {
    return numbers.size() == 1 ? krr::option_value::number(numbers[0]) : krr::option_value::vector(numbers);
  }
  if (text == "true" || text == "false") return krr::option_value::flag(text == "true");
  if (text.find(',') != std::string::npos) {
    std::vector<std::string> names;
    std::size_t start = 0;
    while (true) {
      const std::size_t comma = text.find(',', start);
      names.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    return krr::option_value::strings(names);
  }
  return krr::option_value::string(text);
}

std::vector<option_entry> learn_options() {
  std::vector<option_entry> entries = {
      {"output", "FILE", "where the model goes (-o): a MAT-file holding the struct\n'model', as krrfit returns it"},
      {"outputs", "C", "the last C columns of DATA are the targets (default 1)"},
  };
  for (const std::string& name : krr::fit_option_names()) {
    entries.push_back({dashed(name), "VALUE", "krrfit's " + name + " (its default)"});
  }
  entries.push_back({"threads", "N", "threads (default KRR_NUM_THREADS, else one per\nprocessor); the model does not depend on it"});
  entries.push_back({"quiet", "", "no progress on standard error (-q; as --verbose false)"});
  entries.push_back({"help", "", "this help (-h)"});
  return entries;
}

int run_learn(int argc, char** argv) {
  const std::string command = "learn";
  const std::vector<option_entry> entries = learn_options();
  const arguments a = parse_arguments(command, argc, argv, entries);
  if (a.has("help")) {
    std::fputs(help_text("krrard learn DATA -o MODEL [options]",
                         "Learns the ARD kernel's (Gaussian, or Matern by --kernel) length scales,\namplitude and ridge by the "
                         "log marginal likelihood and fits the coefficients, as krrfit does, with the\n"
                         "same options and defaults (see krrfit's help): a value is a number, numbers\n"
                         "separated by commas (--length-scales 1,2,3), true or false, a word\n"
                         "(--method dense) or names separated by commas (--fixed Amplitude,Ridge).\n"
                         "DATA holds one observation per row, its features, then C target columns.\n"
                         "The model equals krrfit's on the same data and options, bit for bit (but\n"
                         "for Seconds and the history's times); Octave's load and krrpredict read it.\n",
                         entries).c_str(), stdout);
    return EXIT_OK;
  }
  one_process_only(command);
  if (a.positional.size() != 1) end(EXIT_USAGE, command, "expected one DATA file (see krrard learn --help)");
  if (!a.has("output")) end(EXIT_USAGE, command, "-o FILE is required: where the model goes");
  const std::int64_t c = output_count(command, a, 1);

  // The learner's options by name, all checked before the data are read.
  krr::fit_option_set options;
  std::string message;
  for (const std::string& name : krr::fit_option_names()) {
    const std::string flag = dashed(name);
    if (!a.has(flag)) continue;
    if (!krr::set_fit_option(options, name, option_of_text(a.get(flag)), message)) end(EXIT_USAGE, command, message);
  }
  if (a.has("quiet")) krr::set_fit_option(options, "Verbose", krr::option_value::flag(false), message);
  krr::fit_settings settings;
  if (!krr::read_fit_options(options, settings, message)) {
    names_option(message, krr::fit_option_names());
    end(EXIT_USAGE, command, message);
  }
  const int threads = threads_of(command, a);

  const std::string path = a.positional[0];
  const cli::table data = read_data(command, path);
  check_layout(command, path, data, c, 1);
  const std::int64_t n = data.rows;
  const int d = static_cast<int>(data.cols - c);
  const std::vector<double> X = columns_of(data, 0, d), Y = columns_of(data, d, c);

  krr::fit_environment env;
  env.name = "krrard learn";
  env.threads = threads;
  env.memory_bytes = memory_of(command);
  env.memory_limited = krr::memory_limit_setting().valid;  // the caches may fill a set limit
  env.interrupt_pending = &stop_pending;
  env.progress = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
  const krr::fit_result result = krr::fit(X.data(), n, d, Y.data(), static_cast<int>(c), options, env);
  for (const krr::fit_message& w : result.warnings) {
    print_line(command, "warning: " + w.message + " [" + w.code + "]");
  }
  switch (result.status) {
    case krr::fit_status::done: break;
    case krr::fit_status::interrupted: end(EXIT_INTERRUPTED, command, "interrupted; no model written");
    case krr::fit_status::invalid_input:
      // An option checked against the data (LengthScales' length, Fixed's flags) is the
      // command line's fault; anything else the data's.
      message = result.error.message;
      if (names_option(message, krr::fit_option_names())) end(EXIT_USAGE, command, message);
      end(EXIT_INPUT, command, path + ": " + result.error.message + " [" + result.error.code + "]");
    default:
      end(EXIT_FAILED, command, result.error.message + " [" + result.error.code + "]; no model written");
  }
  output_set out{command, {}};
  out.add(a.get("output"), cli::mat_file_bytes("model", cli::model_struct(result.model, n, d, static_cast<int>(c))));
  out.commit();
  return EXIT_OK;
}

// ---------------------------------------------------------------- predict

const std::vector<option_entry> PREDICT_OPTIONS = {
    {"output", "FILE", "where the predictions go (-o; .csv or .bin), m x c"},
    {"deviations", "FILE", "also the predictive standard deviations, m x c"},
    {"intervals", "FILE", "also the intervals: m rows, for each output its lower\nthen its upper bound (2c columns)"},
    {"alpha", "A", "the intervals hold 100 (1 - A)%, A in (0, 1) (default 0.05)"},
    {"prediction", "WHAT", "observation (a new observation's deviation, with the\nnoise) or curve (the latent function's) (default\nobservation)"},
    {"method", "M", "auto, exact or approximate deviations (default auto)"},
    {"rank", "R", "the factor's largest rank, the approximate method's and\nthe exact method's preconditioner's where n > 3,000\n(default 4000); a factor the model file keeps serves instead"},
    {"deviation-tolerance", "T", "warn where the approximate deviations' relative error,\nchecked by exact solves of 16 rows, is above T at the\n95th percentile (default 0.02; inf: no check)"},
    {"outputs", "C", "ignore the last C columns of DATA (its targets) (default 0)"},
    {"threads", "N", "threads (default KRR_NUM_THREADS, else one per\nprocessor); results do not depend on it"},
    {"quiet", "", "no progress on standard error (-q)"},
    {"help", "", "this help (-h)"},
};

int run_predict(int argc, char** argv) {
  const std::string command = "predict";
  const arguments a = parse_arguments(command, argc, argv, PREDICT_OPTIONS);
  if (a.has("help")) {
    std::fputs(help_text("krrard predict MODEL DATA -o PREDICTIONS [options]",
                         "Predicts at the rows of DATA (one observation per row, the model's d feature\n"
                         "columns) from MODEL, a MAT-file holding the struct 'model' of krrfit or\n"
                         "krrard learn (saved by Octave with -v7 or -v6 too), as krrpredict does.\n"
                         "Under mpirun each rank predicts its share of the rows (deviations are\n"
                         "left to rank 0), with the single process's results bit for bit.\n",
                         PREDICT_OPTIONS).c_str(), stdout);
    return EXIT_OK;
  }
  if (a.positional.size() != 2) end(EXIT_USAGE, command, "expected MODEL and DATA files (see krrard predict --help)");
  if (!a.has("output")) end(EXIT_USAGE, command, "-o FILE is required: where the predictions go");
  const bool pred_binary = output_format(command, "output", a.get("output"));
  const bool sd_binary = a.has("deviations") && output_format(command, "deviations", a.get("deviations"));
  const bool int_binary = a.has("intervals") && output_format(command, "intervals", a.get("intervals"));
  const bool deviations = a.has("deviations") || a.has("intervals");
  const std::int64_t skipped = output_count(command, a, 0);

  krr::predict_option_set set;
  std::string message;
  const char* const names[][2] = {{"alpha", "Alpha"}, {"prediction", "Prediction"}, {"method", "Method"},
                                  {"rank", "Rank"}, {"deviation-tolerance", "DeviationTolerance"}};
  for (const auto& name : names) {
    if (a.has(name[0]) && !krr::set_predict_option(set, name[1], option_of_text(a.get(name[0])), message)) {
      end(EXIT_USAGE, command, message);
    }
  }
  krr::model_predict_settings settings;
  if (!krr::read_predict_options(set, settings, message)) {
    names_option(message, {"Alpha", "Prediction", "Method", "Rank"});
    end(EXIT_USAGE, command, message);
  }
  const int threads = threads_of(command, a);

  const std::string model_path = a.positional[0], path = a.positional[1];
  // Every rank reads the model whole, and the shape of DATA and its own rows: a single
  // process the whole file in one go.
  krr::fit_model model;
  krr::model_dims dims;
  krr::deviation_cache cache;
  bool has_cache = false;
  cli::table_shape shape;
  int code = 0;
  message.clear();
  try {
    try {
      cli::model_of_struct(cli::read_mat_variable(model_path, "model"), model_path, deviations, model, dims,
                           &cache, &has_cache);
      if (job_size > 1) shape = cli::read_shape(path);
    } catch (const cli::file_error& e) {
      end(EXIT_INPUT, command, e.what());
    }
    if (job_size > 1) check_layout(command, path, shape, skipped, 1);
  } catch (const command_end& e) {
    code = e.code;
    message = e.message;
  }
  agree_on(code, message);
  // Under several ranks each predicts the rows [first, first + count) of DATA's m, but where
  // deviations are asked: the exact ones' solves take the rows batch by batch, each batch's
  // iterations set by its slowest row, and the approximate ones are checked by exact solves
  // of rows spread over all m, so rank 0 takes them all, as one process would.
  std::int64_t first = 0, count = shape.rows;
  bool shared = false;
  if (job_size > 1) {
    shared = !deviations;
    first = shared ? shape.rows * job_rank / job_size : 0;
    count = shared ? shape.rows * (job_rank + 1) / job_size - first : (job_rank == 0 ? shape.rows : 0);
  }
  cli::table data;
  try {
    if (job_size == 1) {
      data = read_data(command, path);
      shape = {data.rows, data.cols, false};
      check_layout(command, path, shape, skipped, 1);
      count = data.rows;
    } else if (count > 0) {
      data = read_data_rows(command, path, first, count);
    } else {
      data.cols = shape.cols;
    }
  } catch (const command_end& e) {
    code = e.code;
    message = e.message;
  }
  agree_on(code, message);
  const std::int64_t m = shape.rows;
  const int d = static_cast<int>(shape.cols - skipped);
  const std::int64_t model_d = dims.X.rows;
  if (model.format_version != 0 && model_d > 0 && d != model_d) {
    std::string hint;
    if (d > model_d) hint = "; --outputs " + std::to_string(d - model_d + skipped) + " ignores the last columns, the targets";
    end(EXIT_INPUT, command, path + ": " + std::to_string(d) + " feature columns, but the model was fitted on " +
                                 std::to_string(model_d) + hint);
  }
  const std::vector<double> Xnew = columns_of(data, 0, d);
  data = cli::table();

  settings.name = "krrard predict";
  settings.deviations = deviations;
  if (has_cache) settings.cache = &cache;
  settings.verbose = !a.has("quiet") && job_rank == 0;
  settings.threads = threads;
  if (deviations) settings.memory_bytes = memory_of(command);
  settings.interrupt_pending = &stop_pending;
#ifdef KRRARD_MPI
  if (job_size > 1) {
    job_command = "predict";
    settings.interrupt_pending = &stop_job;
  }
#endif
  settings.first_row = first;
  settings.all_rows = m;
  settings.progress = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
  krr::model_prediction result;
  // A rank without rows under exact deviations has nothing to do; one without rows of a
  // shared prediction (m < P) runs the checks and the deviations' factor, as the others.
  if (shared || count > 0 || job_size == 1) {
    result = krr::model_predict(model, dims, Xnew.data(), count, d, settings);
  }
  try {
    for (const krr::fit_message& w : result.warnings) print_line(command, "warning: " + w.message + " [" + w.code + "]");
    switch (result.status) {
      case krr::model_predict_status::done: break;
      case krr::model_predict_status::interrupted: end(EXIT_INTERRUPTED, command, "interrupted; nothing written");
      case krr::model_predict_status::invalid_model:
        end(EXIT_INPUT, command, model_path + ": " + result.error.message + " [" + result.error.code + "]");
      case krr::model_predict_status::invalid_input:
        end(EXIT_INPUT, command, path + ": " + result.error.message + " [" + result.error.code + "]");
      default:
        end(EXIT_FAILED, command, result.error.message + " [" + result.error.code + "]; nothing written");
    }
  } catch (const command_end& e) {
    code = e.code;
    message = e.message;
  }
  agree_on(code, message);
  // c from the model (a rank may hold no rows).
  const std::int64_t c = dims.alpha.cols;
  std::vector<double> predictions = std::move(result.predictions), sd = std::move(result.deviations),
                      lower = std::move(result.lower), upper = std::move(result.upper);
#ifdef KRRARD_MPI
  // Each output's column of each result gathered to rank 0, which writes the files.
  if (shared) {
    cli::mpi_team team(m, *job);
    auto gather = [&](std::vector<double>& local) {
      std::vector<double> whole(job_rank == 0 ? static_cast<std::size_t>(m * c) : 0);
      for (std::int64_t q = 0; q < c; ++q) {
        team.gather_rows(local.data() + q * count, job_rank == 0 ? whole.data() + q * m : nullptr);
      }
      local.swap(whole);
    };
    gather(predictions);
    if (deviations) {
      gather(sd);
      gather(lower);
      gather(upper);
    }
  }
#endif
  int written = 0;
  message.clear();
  try {
    if (job_rank == 0) {
      output_set out{command, {}};
      out.add(a.get("output"), cli::table_bytes(table_of(predictions, m, c), pred_binary));
      if (a.has("deviations")) out.add(a.get("deviations"), cli::table_bytes(table_of(sd, m, c), sd_binary));
      if (a.has("intervals")) {
        std::vector<double> bounds(static_cast<std::size_t>(2 * m * c));
        for (std::int64_t q = 0; q < c; ++q) {
          std::copy(lower.begin() + q * m, lower.begin() + (q + 1) * m, bounds.begin() + 2 * q * m);
          std::copy(upper.begin() + q * m, upper.begin() + (q + 1) * m, bounds.begin() + (2 * q + 1) * m);
        }
        out.add(a.get("intervals"), cli::table_bytes(table_of(bounds, m, 2 * c), int_binary));
      }
      out.commit();
    } else if (stop_requested) {
      end(EXIT_INTERRUPTED, command, "interrupted; nothing written");
    }
  } catch (const command_end& e) {
    written = e.code;
    message = e.message;
  }
  agree_on(written, message);
  return EXIT_OK;
}

const char* const PROGRAM_HELP =
    "Usage: krrard COMMAND [options]\n"
    "\n"
    "Exact kernel ridge regression with the ARD Gaussian kernel, for batch jobs.\n"
    "\n"
    "Commands:\n"
    "  train    solve with fixed hyperparameters (as tarvel): the coefficients\n"
    "  learn    learn the hyperparameters and fit (as krrfit): a model file\n"
    "  predict  predict from a model file (as krrpredict), with deviations and intervals\n"
    "\n"
    "krrard COMMAND --help describes each. Data files are CSV (numbers, an optional header\n"
    "line) or the binary format (a 32-byte header, then little-endian doubles row after\n"
    "row), one observation per row; outputs are CSV where the name ends in .csv, binary\n"
    "where it ends in .bin. Progress and errors go to standard error. SIGINT and SIGTERM\n"
    "stop a run cleanly: no output is left behind. Started by mpirun (where built with\n"
    "MPI), train and predict share the rows among the ranks, each reading only its\n"
    "own, with the single process's results bit for bit; learn runs as one process.\n"
    "\n"
    "  --help     this help\n"
    "  --version  the version\n"
    "\n";

}  // namespace

namespace {

int run(int argc, char** argv) {
  const std::string first = argc > 1 ? argv[1] : "";
  try {
    if (first == "--help" || first == "-h") {
      std::fputs(PROGRAM_HELP, stdout);
      std::fputs(EXIT_CODES_HELP, stdout);
      return EXIT_OK;
    }
    if (first == "--version") {
      std::printf("krrard %s\n", KRRARD_VERSION);
      return EXIT_OK;
    }
    if (first == "train") return run_train(argc - 2, argv + 2);
    if (first == "learn") return run_learn(argc - 2, argv + 2);
    if (first == "predict") return run_predict(argc - 2, argv + 2);
    std::fprintf(stderr, "krrard: %s (see krrard --help)\n",
                 first.empty() ? "expected a command: train, learn or predict"
                               : ("unknown command '" + first + "'; the commands are train, learn and predict").c_str());
    return EXIT_USAGE;
  } catch (const command_end& e) {
    if (!e.message.empty() && (job_rank == 0 || e.told)) std::fprintf(stderr, "%s\n", e.message.c_str());
    return e.code;
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "krrard %s: out of memory\n", first.c_str());
#ifdef KRRARD_MPI
    if (job_size > 1) job->abort(EXIT_FAILED);  // the other ranks would wait for this one
#endif
    return EXIT_FAILED;
  }
}

}  // namespace

int main(int argc, char** argv) {
  watch_stop_signals();
#ifdef KRRARD_MPI
  if (cli::launched_by_mpi()) {
    cli::mpi_session session(&argc, &argv);
    job = &session;
    job_rank = session.rank();
    job_size = session.size();
    const int code = run(argc, argv);
    job = nullptr;
    return code;
  }
#endif
  return run(argc, argv);
}
