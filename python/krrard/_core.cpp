// krrard._core: the Python host of the numerical core (core/). Thin, as the Octave modules
// are: it checks what the core does not (counts, shapes), converts NumPy arrays to the raw
// arrays the core reads, releases the GIL while the core runs, and hands results, warnings
// and refusals back as data ({code, message}, the message without the function's name), so
// that the package's Python layer raises them under the function's name with its own
// warning and exception classes. The same refusals and warnings as the Octave modules give,
// in the same words.
//
// Layouts: the core reads column-major arrays. A sample-per-row NumPy array in C order is a
// d x n column-major array, so train() and predict() (tarvel's and quorril's computations)
// read C-ordered float64 arrays in place; fit() and model_predict() (krrfit's and
// krrpredict's) read n x d column-major arrays, so Fortran-ordered float64 arrays in place.
// Any other layout or dtype is copied once, by NumPy, on the way in.
//
// Ctrl-C: the core polls on the calling thread; the poll takes the GIL back briefly (at
// most every few milliseconds) to let Python run its signal handlers. When one raises
// (KeyboardInterrupt for SIGINT), the core stops within its interrupt latency and the
// exception propagates once the call's storage is released.
#include "core/exact_arithmetic.h"

#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "core/learn/fit.h"
#include "core/learn/fit_options.h"
#include "core/learn/model_predict.h"
#include "core/parallel/system_resources.h"
#include "core/predict/predict.h"
#include "core/solve/descent.h"
#include "core/solve/random_source.h"
#include "core/solve/train.h"

namespace py = pybind11;

namespace {

using c_array = py::array_t<double, py::array::c_style | py::array::forcecast>;
using f_array = py::array_t<double, py::array::f_style | py::array::forcecast>;

// What one call shares with the core's callbacks, which run with the GIL released.
struct call_state {
  std::chrono::steady_clock::time_point last_poll = std::chrono::steady_clock::now();
  py::object progress;  // a callable taking one line, or None
  // The first Python exception raised while the core ran (a signal handler's, a progress
  // callback's): raised again once the core has returned.
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  bool raised() const { return type != nullptr; }
  void keep_error() {  // with the GIL held and an error set
    if (raised()) {
      PyErr_Clear();
      return;
    }
    PyErr_Fetch(&type, &value, &traceback);
  }
  // With the GIL held, after the core returned: the kept exception, if any, raised.
  void raise_kept() {
    if (!raised()) return;
    PyErr_Restore(type, value, traceback);
    type = value = traceback = nullptr;
    throw py::error_already_set();
  }
};

// The core's interrupt poll. Python's handlers run only with the GIL held, on the main
// thread: taking it at every poll would cost the core time, so at most every 5 ms.
bool poll_signals(void* state) {
  auto* s = static_cast<call_state*>(state);
  if (s->raised()) return true;
  const auto now = std::chrono::steady_clock::now();
  if (now - s->last_poll < std::chrono::milliseconds(5)) return false;
  s->last_poll = now;
  py::gil_scoped_acquire gil;
  if (PyErr_CheckSignals() != 0) {
    s->keep_error();
    return true;
  }
  return false;
}

// A progress line to the Python callable, with the GIL taken for it.
std::function<void(const std::string&)> progress_sink(call_state& s) {
  if (s.progress.is_none()) return nullptr;
  return [&s](const std::string& line) {
    py::gil_scoped_acquire gil;
    try {
      s.progress(line);
    } catch (py::error_already_set& e) {
      e.restore();
      s.keep_error();
    }
  };
}

// The core's callbacks of one call (the fit's environment, the prediction's settings):
// the interrupt poll and the progress lines, both through the call's state.
template <class Callbacks>
void connect(Callbacks& c, call_state& state) {
  c.interrupt_pending = &poll_signals;
  c.interrupt_state = &state;
  c.progress = progress_sink(state);
}

// Runs work with the GIL released; an allocation failure becomes the failure
// ("outOfMemory", "out of memory while <activity>"), any other exception "internalError".
template <typename Work>
void run_released(const char* activity, krr::fit_message& failure, Work&& work) {
  py::gil_scoped_release release;
  try {
    work();
  } catch (const std::bad_alloc&) {
    failure = {"outOfMemory", std::string("out of memory while ") + activity};
  } catch (const std::exception& e) {
    failure = {"internalError", std::string("unexpected failure: ") + e.what()};
  } catch (...) {
    failure = {"internalError", "unexpected failure"};
  }
}

using krr::printf_text;

// A number as the modules' messages show it: %g, and Inf, -Inf, NaN.
std::string show(double v) { return krr::format_number("%g", v); }

// The result dict every entry returns: "error" None or (code, message), "warnings" a list
// of (code, message).
py::dict result_dict(const krr::fit_message* error, const std::vector<krr::fit_message>& warnings) {
  py::dict out;
  out["error"] = error ? py::object(py::make_tuple(error->code, error->message)) : py::object(py::none());
  py::list w;
  for (const auto& m : warnings) w.append(py::make_tuple(m.code, m.message));
  out["warnings"] = w;
  return out;
}

py::dict refusal(const std::string& code, const std::string& message) {
  const krr::fit_message m{code, message};
  return result_dict(&m, {});
}

// The first entry that is not finite, or nonnegative, as the modules name it (1-based).
bool first_bad(const double* v, std::size_t count, bool nonnegative, const char* name,
               std::string& message) {
  for (std::size_t i = 0; i < count; ++i) {
    const bool bad = nonnegative ? !(v[i] >= 0.0) : !std::isfinite(v[i]);
    if (bad) {
      message = printf_text("%s must be %s, but element %zu is %s", name,
                            nonnegative ? "nonnegative" : "finite", i + 1, show(v[i]).c_str());
      return true;
    }
  }
  return false;
}

// ---- tarvel's computation -------------------------------------------------------------

// The warnings of a training solve that returned, in tarvel's words and order.
std::vector<krr::fit_message> training_warnings(const krr::training_result& r, double ridge,
                                                double tol, double memory, int n) {
  using krr::solve_status;
  std::vector<krr::fit_message> out;
  const krr::block_solution_stats& block = r.block;
  if (r.cache_columns < r.requested_cache_columns) {
    out.push_back({"cacheCapped",
                   printf_text("cache_bytes asks for %d columns (%.3g bytes), more than this "
                               "process can have (about %.3g bytes available to it): the cache "
                               "was capped at %d of n = %d columns (%.3g bytes). Columns that do "
                               "not fit are computed again; a smaller cache_bytes avoids this "
                               "warning",
                               r.requested_cache_columns, 8.0 * n * r.requested_cache_columns,
                               memory, r.cache_columns, n, 8.0 * n * r.cache_columns)});
  }
  if (r.status == solve_status::singular) {
    out.push_back({"illConditioned",
                   "K + ridge*I is zero (the amplitude w(d+1) and ridge are both 0), so no step "
                   "can reduce the gradient; pass a positive ridge"});
  } else if (block.unsafe_pivots > 0 || block.dropped_members > 0 || block.failed_checks > 0) {
    out.push_back({"illConditioned",
                   printf_text("K + ridge*I is ill-conditioned: %lld block pivots were below "
                               "2^-20 of their diagonal entry, so those blocks were solved by a "
                               "Cholesky factorisation, and %lld block members were left out as "
                               "dependent on the others (samples that coincide, or nearly, under "
                               "the weights w); alpha is sensitive to the data, and a ridge "
                               "larger than %g makes the system better conditioned",
                               static_cast<long long>(block.unsafe_pivots),
                               static_cast<long long>(block.dropped_members), ridge)});
  }
  if (r.status == solve_status::not_converged) {
    out.push_back({"notConverged",
                   printf_text("stopped by the work bound after %.0f block steps (%.0f passes "
                               "over the data) with max|grad| = %g above tol = %g; alpha is the "
                               "iterate reached. A larger tol, or a larger ridge, ends the "
                               "descent sooner",
                               static_cast<double>(r.steps), r.passes, r.max_abs_grad, tol)});
  } else if (r.status == solve_status::tolerance_unreachable) {
    out.push_back({"toleranceUnreachable",
                   printf_text("tol = %g is below what double precision can reach for this "
                               "problem: (K + ridge*I)*alpha - y is computed only to about %g "
                               "here, and its checked max|grad| is %g; grad is that checked "
                               "gradient. Ask for tol >= %.2g",
                               tol, r.reachable_tol, r.max_abs_grad, r.reachable_tol)});
  } else if (r.status == solve_status::breakdown) {
    out.push_back({"breakdown",
                   "the solution overflows double precision: alpha or grad holds Inf or NaN. "
                   "Scale y down or raise the ridge"});
  }
  return out;
}

// X n x d (C order: tarvel's d x n), y n, w d + 1. seed: srand(seed) before the solve, as
// c_srand does in Octave; None leaves the C library's generator where it is, as tarvel does.
py::dict train(c_array X, c_array y, c_array w, double ridge, double tol, double k,
               double cache_bytes, py::object seed, int threads, double memory_bytes) {
  if (X.ndim() != 2) return refusal("invalidInput", "X must be a matrix, one sample per row");
  const std::size_t n = X.shape(0), d = X.shape(1);
  if (n < 1) return refusal("invalidInput", "X must have at least one sample");
  if (n > INT32_MAX || d > INT32_MAX) {
    return refusal("invalidInput", printf_text("X has %zu samples and %zu features; at most %d of "
                                               "each are supported", n, d, INT32_MAX));
  }
  if (static_cast<std::size_t>(y.size()) < n) {
    return refusal("invalidInput", printf_text("y must have at least %zu elements (one target "
                                               "per sample of X), got %zu", n,
                                               static_cast<std::size_t>(y.size())));
  }
  if (static_cast<std::size_t>(w.size()) < d + 1) {
    return refusal("invalidInput", printf_text("w must have at least %zu elements (one weight "
                                               "per feature of X, then the amplitude), got %zu",
                                               d + 1, static_cast<std::size_t>(w.size())));
  }
  std::string message;
  if (first_bad(X.data(), n * d, false, "X", message) || first_bad(y.data(), n, false, "y", message) ||
      first_bad(w.data(), d + 1, false, "w", message) || first_bad(w.data(), d + 1, true, "w", message)) {
    return refusal("invalidInput", message);
  }
  if (!(std::isfinite(ridge) && ridge >= 0.0)) {
    return refusal("invalidInput", "ridge must be finite and nonnegative, got " + show(ridge));
  }
  if (tol <= 0.0) {
    return refusal("invalidInput",
                   "tol must be positive (a tolerance <= 0 can never be met), got " + show(tol));
  }
  const double k_whole = std::trunc(k);
  if (!(k_whole >= 1.0 && k_whole <= static_cast<double>(n))) {
    return refusal("invalidInput",
                   printf_text("k must be a block size from 1 to n = %zu after truncation toward "
                               "zero, got %s", n, show(k).c_str()));
  }
  if (std::isnan(cache_bytes)) {
    return refusal("invalidInput", "cache_bytes must be a number of bytes, got NaN");
  }

  call_state state;
  krr::training_problem problem{X.data(), y.data(), w.data(), ridge, static_cast<int>(n),
                                static_cast<int>(d)};
  krr::training_options options{};
  options.tol = tol;
  options.k = static_cast<int>(k_whole);
  options.cache_bytes = cache_bytes;
  options.rng = krr::c_library_random();
  options.interrupt_pending = &poll_signals;
  options.interrupt_state = &state;
  options.threads = threads;
  options.memory_bytes = memory_bytes;
  const bool seeded = !seed.is_none();
  const unsigned seed_value = seeded ? seed.cast<unsigned>() : 0u;

  py::array_t<double> alpha(n), grad(n);
  double* alpha_data = alpha.mutable_data();
  double* grad_data = grad.mutable_data();
  krr::training_result result;
  krr::fit_message failure;
  run_released("training", failure, [&] {
    if (seeded) std::srand(seed_value);
    result = krr::train(problem, options, alpha_data, grad_data);
  });
  state.raise_kept();
  if (failure.code.empty() && result.status == krr::solve_status::out_of_memory) {
    failure = {"outOfMemory",
               printf_text("could not allocate %.0f bytes for %s (n = %d, k = %d, %d cache "
                           "columns); lower cache_bytes or k",
                           result.failed_bytes, result.failed_what, problem.n, options.k,
                           result.cache_columns)};
  }
  if (failure.code.empty() && result.status == krr::solve_status::interrupted) {
    failure = {"interrupted", printf_text("interrupted by the user after %lld block steps",
                                          static_cast<long long>(result.steps))};
  }
  if (!failure.code.empty()) return result_dict(&failure, {});
  py::dict out = result_dict(nullptr, training_warnings(result, ridge, tol, memory_bytes, problem.n));
  out["alpha"] = alpha;
  out["grad"] = grad;
  out["seconds"] = result.seconds;
  out["evals"] = result.evals;
  out["objective"] = result.objective;
  out["steps"] = result.steps;
  // tarvel's report lines, in its words.
  out["report"] = std::vector<std::string>{
      printf_text("Number of kernel evaluation is %.0f.", result.evals),
      printf_text("Objectve function is %f", result.objective),
      printf_text("Elapsed time is %f seconds.", result.seconds)};
  return out;
}

// ---- quorril's computation ------------------------------------------------------------

// Xtest nt x d, X n x d (C order), w d + 1, alpha n x c (C order: row-major, as
// predict_outputs reads it). f nt x c; with c = 1 the bits of quorril.
py::dict predict(c_array Xtest, c_array X, c_array w, c_array alpha, int threads) {
  if (X.ndim() != 2 || Xtest.ndim() != 2 || alpha.ndim() != 2) {
    return refusal("invalidInput", "Xtest, X and alpha must be matrices, one sample per row");
  }
  const std::size_t n = X.shape(0), d = X.shape(1), nt = Xtest.shape(0);
  const std::size_t c = alpha.shape(1);
  if (static_cast<std::size_t>(Xtest.shape(1)) != d) {
    return refusal("invalidInput",
                   printf_text("Xtest must have as many features as X (%zu features per sample), "
                               "got %zu", d, static_cast<std::size_t>(Xtest.shape(1))));
  }
  if (d > INT32_MAX) return refusal("invalidInput", "X has too many features");
  if (static_cast<std::size_t>(w.size()) < d + 1) {
    return refusal("invalidInput", printf_text("w must have at least %zu elements (one weight "
                                               "per feature of X, then the amplitude), got %zu",
                                               d + 1, static_cast<std::size_t>(w.size())));
  }
  if (static_cast<std::size_t>(alpha.shape(0)) != n || c < 1) {
    return refusal("invalidInput", printf_text("alpha must be %zu x c with c >= 1 (one row per "
                                               "sample of X), got %zu x %zu", n,
                                               static_cast<std::size_t>(alpha.shape(0)), c));
  }
  std::string message;
  if (first_bad(Xtest.data(), d * nt, false, "Xtest", message) ||
      first_bad(X.data(), d * n, false, "X", message) ||
      first_bad(w.data(), d + 1, false, "w", message) ||
      first_bad(w.data(), d + 1, true, "w", message) ||
      first_bad(alpha.data(), n * c, false, "alpha", message)) {
    return refusal("invalidInput", message);
  }
  call_state state;
  py::array_t<double> f({nt, c});
  double* f_data = f.mutable_data();
  krr::prediction_result result;
  krr::fit_message failure;
  run_released("predicting", failure, [&] {
    if (c == 1) {
      result = krr::predict(Xtest.data(), static_cast<std::int64_t>(nt), X.data(),
                            static_cast<std::int64_t>(n), static_cast<int>(d), w.data(),
                            alpha.data(), f_data, threads, &poll_signals, &state);
    } else {
      result = krr::predict_outputs(Xtest.data(), static_cast<std::int64_t>(nt), X.data(),
                                    static_cast<std::int64_t>(n), static_cast<int>(d), w.data(),
                                    alpha.data(), static_cast<int>(c), f_data, threads,
                                    &poll_signals, &state);
    }
  });
  state.raise_kept();
  if (failure.code.empty() && !result.ok) {
    failure = {"outOfMemory", printf_text("could not allocate %.0f bytes for the sample norms",
                                          result.failed_bytes)};
  }
  if (failure.code.empty() && result.interrupted) failure = {"interrupted", "interrupted by the user"};
  if (!failure.code.empty()) return result_dict(&failure, {});
  py::dict out = result_dict(nullptr, {});
  out["f"] = f;
  return out;
}

// ---- options by name ------------------------------------------------------------------

// A Python value as the core's options hold a host's: bools as logicals, numbers and
// arrays of them with their dims (a 1-D array a row), strings, lists of strings; anything
// else only described (its type's name).
krr::option_value option_of(const py::handle& v) {
  if (py::isinstance<py::bool_>(v) || py::isinstance(v, py::module_::import("numpy").attr("bool_"))) {
    return krr::option_value::flag(v.cast<bool>());
  }
  if (py::isinstance<py::str>(v)) return krr::option_value::string(v.cast<std::string>());
  if ((py::isinstance<py::list>(v) || py::isinstance<py::tuple>(v)) && py::len(v) > 0) {
    bool all_text = true;
    for (auto item : v) all_text = all_text && py::isinstance<py::str>(item);
    if (all_text) return krr::option_value::strings(v.cast<std::vector<std::string>>());
  }
  krr::option_value o;
  try {
    py::array a = py::module_::import("numpy").attr("asarray")(v);
    const char kind = a.dtype().kind();
    if (kind == 'b' || kind == 'i' || kind == 'u' || kind == 'f') {
      f_array numbers = f_array::ensure(a);
      if (numbers && numbers.ndim() <= 2) {
        o.kind = krr::option_value::type::numbers;
        o.rows = numbers.ndim() == 2 ? numbers.shape(0) : 1;
        o.cols = numbers.ndim() == 2 ? numbers.shape(1) : (numbers.ndim() == 1 ? numbers.shape(0) : 1);
        o.numbers.assign(numbers.data(), numbers.data() + numbers.size());
        o.logical = kind == 'b';
        o.class_name = kind == 'b' ? "logical" : "double";
        return o;
      }
    }
  } catch (py::error_already_set&) {
  }
  o.kind = krr::option_value::type::other;
  o.rows = o.cols = 1;
  o.class_name = py::str(py::type::of(v).attr("__name__")).cast<std::string>();
  return o;
}

// ---- krrfit's computation -------------------------------------------------------------

py::array_t<double> column_major(const std::vector<double>& v, std::size_t rows, std::size_t cols) {
  py::array_t<double, py::array::f_style> a({rows, cols});
  if (rows * cols > 0) std::memcpy(a.mutable_data(), v.data(), rows * cols * sizeof(double));
  return a;
}

py::array_t<double> row(const std::vector<double>& v) { return column_major(v, 1, v.size()); }

// krrfit's model struct as a dict, each field in its dims there (rows 1 x k, Alpha n x c,
// X d x n, History rows x 9), scalars as floats.
py::dict model_dict(const krr::fit_model& m, std::size_t n, std::size_t d, std::size_t c) {
  py::dict s;
  std::vector<double> history;
  const std::size_t rows = m.history.size(), cols = krr::lbfgs_row().size();
  history.resize(rows * cols);
  for (std::size_t i = 0; i < rows; ++i)
    for (std::size_t j = 0; j < cols; ++j) history[j * rows + i] = m.history[i][j];
  s["FormatVersion"] = static_cast<double>(m.format_version);
  s["LengthScales"] = row(m.length_scales);
  s["Relevance"] = row(m.relevance);
  s["Amplitude"] = m.amplitude;
  s["Ridge"] = m.ridge;
  s["LogMarginalLikelihood"] = m.log_marginal_likelihood;
  s["LogMarginalLikelihoodError"] = m.log_marginal_likelihood_error;
  s["History"] = column_major(history, rows, cols);
  s["Seconds"] = m.seconds;
  s["Method"] = m.method;
  s["Threads"] = m.threads;
  s["FinalPasses"] = row(std::vector<double>(m.final_passes.begin(), m.final_passes.end()));
  s["Alpha"] = column_major(m.alpha, n, c);
  s["X"] = column_major(m.X, d, n);
  s["Weights"] = row(m.weights);
  s["Mu"] = row(m.mu);
  s["Sigma"] = row(m.sigma);
  s["YMean"] = row(m.y_mean);
  s["YScale"] = row(m.y_scale);
  s["Kernel"] = m.kernel;
  s["KernelObjectives"] = row(m.kernel_objectives);
  return s;
}

// X n x d, Y n x c (Fortran order read in place); options a dict of krrfit's option names
// to values, passed by name.
py::dict fit(f_array X, f_array Y, py::dict options, int threads, double memory_bytes,
             py::object progress) {
  if (X.ndim() != 2 || Y.ndim() != 2) return refusal("invalidInput", "X and Y must be matrices");
  const std::size_t n = X.shape(0), d = X.shape(1), c = Y.shape(1);
  if (static_cast<std::size_t>(Y.shape(0)) != n) {
    return refusal("invalidInput", printf_text("Y must have as many rows as X (%zu), got %zu", n,
                                               static_cast<std::size_t>(Y.shape(0))));
  }
  if (n > INT32_MAX || d > INT32_MAX || c > INT32_MAX) {
    return refusal("invalidInput", printf_text("X has %zu rows and %zu columns; at most %d of each "
                                               "are supported", n, d, INT32_MAX));
  }
  krr::fit_option_set set;
  std::string message;
  for (auto item : options) {
    if (!krr::set_fit_option(set, item.first.cast<std::string>(), option_of(item.second), message)) {
      return refusal("invalidInput", message);
    }
  }
  call_state state;
  state.progress = progress;
  krr::fit_environment env;
  env.name = "krrfit";
  env.threads = threads;
  env.memory_bytes = memory_bytes;
  env.memory_limited = krr::memory_limit_setting().valid;  // the caches may fill a set limit
  connect(env, state);
  krr::fit_result result;
  krr::fit_message failure;
  run_released("fitting", failure, [&] {
    result = krr::fit(X.data(), static_cast<std::int64_t>(n), static_cast<int>(d), Y.data(),
                      static_cast<int>(c), set, env);
  });
  state.raise_kept();
  if (failure.code.empty() && result.status == krr::fit_status::interrupted) {
    failure = {"interrupted", "interrupted by the user"};
  }
  if (failure.code.empty() && result.status != krr::fit_status::done) failure = result.error;
  py::dict out = result_dict(failure.code.empty() ? nullptr : &failure, result.warnings);
  if (failure.code.empty()) out["model"] = model_dict(result.model, n, d, c);
  return out;
}

// ---- krrpredict's computation ---------------------------------------------------------

// A model field as the core reads it: real floating point, a matrix (a scalar 1 x 1, a
// 1-D array a row), with its dims. False, with the message, where it is not.
bool read_field(const py::dict& model, const char* name, std::vector<double>& values,
                krr::field_dims& dims, std::string& message) {
  values.clear();
  dims = {0, 0};
  if (!model.contains(name)) return true;
  py::array a = py::module_::import("numpy").attr("asarray")(model[name]);
  const char kind = a.dtype().kind();
  if (kind != 'f') {
    message = std::string("MODEL.") + name + " must be real floating point (double or single), got " +
              (kind == 'c' ? "complex " : "") + py::str(a.dtype()).cast<std::string>();
    return false;
  }
  if (a.ndim() > 2) {
    message = std::string("MODEL.") + name + " must be a matrix, got a " + std::to_string(a.ndim()) +
              "-dimensional array";
    return false;
  }
  f_array v = f_array::ensure(a);
  values.assign(v.data(), v.data() + v.size());
  dims.rows = a.ndim() == 2 ? a.shape(0) : 1;
  dims.cols = a.ndim() == 2 ? a.shape(1) : (a.ndim() == 1 ? a.shape(0) : 1);
  return true;
}

// model["DeviationCache"], where the model has one that is not None or empty: a dict of
// Pivots (1-based), Factor and Chol (r x r upper triangular: their Fortran-order entries are
// the core's row-major lower triangles), LeftOut, Weights and Ridge, as krrpredict keeps it.
// False, with the message, where it is not such a dict; `has` says whether there was one.
const char* const CACHE_FIELDS[] = {"Pivots", "Factor", "Chol", "LeftOut", "Weights", "Ridge"};

bool read_cache(const py::dict& model, krr::deviation_cache& cache, bool& has, std::string& message) {
  has = false;
  if (!model.contains("DeviationCache") || model["DeviationCache"].is_none()) return true;
  py::object c = model["DeviationCache"];
  if (!py::isinstance<py::dict>(c)) {
    if (py::hasattr(c, "__len__") && py::len(c) == 0) return true;  // [] as a MAT file holds it
    message = "MODEL.DeviationCache must be empty or one struct as krrpredict returns it (fields "
              "Pivots, Factor, Chol, LeftOut, Weights, Ridge)";
    return false;
  }
  py::dict fields = c.cast<py::dict>();
  std::vector<double> values[6];
  krr::field_dims dims[6];
  for (int i = 0; i < 6; ++i) {
    if (!fields.contains(CACHE_FIELDS[i])) {
      message = std::string("MODEL.DeviationCache must be empty or one struct as krrpredict returns "
                            "it; it has no field ") + CACHE_FIELDS[i];
      return false;
    }
    if (!read_field(fields, CACHE_FIELDS[i], values[i], dims[i], message)) {
      message = "MODEL.DeviationCache" + message.substr(5);  // "MODEL.<field> ..." of the cache
      return false;
    }
  }
  const std::size_t rank = values[0].size();
  for (int i : {1, 2}) {
    if (dims[i].rows != static_cast<std::int64_t>(rank) || dims[i].cols != static_cast<std::int64_t>(rank)) {
      message = std::string("MODEL.DeviationCache.") + CACHE_FIELDS[i] + " must be r x r, r = " +
                std::to_string(rank) + " (the entries of Pivots), got " + std::to_string(dims[i].rows) +
                " x " + std::to_string(dims[i].cols);
      return false;
    }
  }
  if (values[3].size() != 1 || values[5].size() != 1) {
    message = "MODEL.DeviationCache.LeftOut and .Ridge must be scalars";
    return false;
  }
  cache = krr::deviation_cache_of_fields(values);
  has = true;
  return true;
}

// The cache as krrpredict keeps it: Pivots r x 1 (1-based), Factor and Chol r x r (upper
// triangular), LeftOut and Ridge numbers, Weights 1 x (d + 1).
py::dict cache_dict(const krr::deviation_cache& cache) {
  const py::ssize_t r = cache.rank();
  py::array_t<double, py::array::f_style> pivots({r, py::ssize_t{1}});
  for (py::ssize_t i = 0; i < r; ++i) pivots.mutable_data()[i] = cache.pivots[i] + 1.0;
  py::dict out;
  out["Pivots"] = pivots;
  const std::vector<double>* triangles[] = {&cache.factor, &cache.chol};
  for (int t = 0; t < 2; ++t) {
    py::array_t<double, py::array::f_style> m({r, r});
    std::copy(triangles[t]->begin(), triangles[t]->end(), m.mutable_data());
    out[t == 0 ? "Factor" : "Chol"] = m;
  }
  out["LeftOut"] = cache.largest_residual;
  py::array_t<double, py::array::f_style> w({py::ssize_t{1}, static_cast<py::ssize_t>(cache.weights.size())});
  std::copy(cache.weights.begin(), cache.weights.end(), w.mutable_data());
  out["Weights"] = w;
  out["Ridge"] = cache.ridge;
  return out;
}

// model: a dict of krrfit's fields (as model_dict writes them, or as a MAT file held them);
// Xnew nt x d (Fortran order read in place); options krrpredict's by name; deviations: also
// the deviations and the intervals.
py::dict model_predict(py::dict model, f_array Xnew, py::dict options, bool deviations,
                       int threads, double memory_bytes, py::object progress) {
  krr::fit_model m;
  krr::model_dims dims;
  std::string message;
  m.format_version = 1;  // a model of the first release has no FormatVersion
  if (model.contains("FormatVersion")) {
    py::array v = py::module_::import("numpy").attr("asarray")(model["FormatVersion"]);
    const char kind = v.dtype().kind();
    const bool number = (kind == 'f' || kind == 'i' || kind == 'u') && v.size() == 1;
    const double version = number ? py::float_(v.attr("item")()).cast<double>() : 0.0;
    m.format_version = version == 1.0 ? 1 : version == 2.0 ? 2 : version == 3.0 ? 3 : version == 4.0 ? 4 : 0;
  }
  const bool version_known = m.format_version != 0;
  krr::deviation_cache cache;
  bool has_cache = false;
  if (version_known) {
    // YScale from version 3 on, Kernel from version 4 on (before, a model without it is the
    // Gaussian).
    const char* const names[] = {"X", "Alpha", "Weights", "Mu", "Sigma", "YMean", "YScale", "Kernel"};
    std::string missing;
    for (const char* name : names) {
      const bool needed = std::strcmp(name, "YScale") == 0   ? m.format_version >= 3
                          : std::strcmp(name, "Kernel") == 0 ? m.format_version >= 4
                                                             : true;
      if (needed && !model.contains(name)) missing += (missing.empty() ? "" : ", ") + std::string(name);
    }
    if (!missing.empty()) {
      return refusal("invalidModel", "MODEL must be a struct returned by krrfit; it has no field " + missing);
    }
    if (!read_field(model, "X", m.X, dims.X, message) ||
        !read_field(model, "Alpha", m.alpha, dims.alpha, message) ||
        !read_field(model, "Weights", m.weights, dims.weights, message) ||
        !read_field(model, "Mu", m.mu, dims.mu, message) ||
        !read_field(model, "Sigma", m.sigma, dims.sigma, message) ||
        !read_field(model, "YMean", m.y_mean, dims.y_mean, message) ||
        !read_field(model, "YScale", m.y_scale, dims.y_scale, message)) {
      return refusal("invalidModel", message);
    }
    if (model.contains("Kernel")) {
      // A str, or a MAT-file's character row as numpy holds it (one string).
      py::object k = model["Kernel"];
      if (!py::isinstance<py::str>(k)) {
        py::array a = py::module_::import("numpy").attr("asarray")(k);
        const char kind = a.dtype().kind();
        if ((kind == 'U' || kind == 'S') && a.size() == 1) k = py::str(a.attr("item")());
      }
      if (!py::isinstance<py::str>(k)) {
        return refusal("invalidModel", "MODEL.Kernel must be a kernel's name (a str), got a " +
                                           py::str(py::type::of(model["Kernel"]).attr("__name__")).cast<std::string>());
      }
      m.kernel = k.cast<std::string>();
    }
    if (deviations) {
      if (!model.contains("Ridge")) return refusal("invalidModel", "MODEL must have the field Ridge for YSD and YINT");
      std::vector<double> ridge;
      if (!read_field(model, "Ridge", ridge, dims.ridge, message)) return refusal("invalidModel", message);
      if (ridge.size() == 1) m.ridge = ridge[0];
      if (!read_cache(model, cache, has_cache, message)) return refusal("invalidModel", message);
    }
    if (Xnew.ndim() != 2 || Xnew.shape(1) != dims.X.rows) {
      std::string shape;
      for (py::ssize_t i = 0; i < Xnew.ndim(); ++i) shape += (i ? " x " : "") + std::to_string(Xnew.shape(i));
      const bool transposed = Xnew.ndim() == 2 && Xnew.shape(0) == dims.X.rows;
      return refusal("invalidInput", krr::xnew_shape_message(static_cast<int>(dims.X.rows),
                                                             shape + " double", transposed));
    }
  }
  krr::model_predict_settings settings;
  if (version_known) {
    krr::predict_option_set set;
    for (auto item : options) {
      if (!krr::set_predict_option(set, item.first.cast<std::string>(), option_of(item.second), message)) {
        return refusal("invalidInput", message);
      }
    }
    if (!krr::read_predict_options(set, settings, message)) return refusal("invalidInput", message);
  }
  const std::int64_t nt = Xnew.ndim() == 2 ? Xnew.shape(0) : 0;
  call_state state;
  state.progress = progress;
  settings.name = "krrpredict";
  settings.deviations = deviations;
  if (has_cache) settings.cache = &cache;
  settings.threads = threads;
  if (deviations) settings.memory_bytes = memory_bytes;
  connect(settings, state);
  krr::model_prediction result;
  krr::fit_message failure;
  run_released("predicting", failure, [&] {
    result = krr::model_predict(m, dims, nt ? Xnew.data() : nullptr, nt,
                                version_known ? static_cast<int>(dims.X.rows) : 0, settings);
  });
  state.raise_kept();
  if (failure.code.empty() && result.status == krr::model_predict_status::interrupted) {
    failure = {"interrupted", "interrupted by the user"};
  }
  if (failure.code.empty() && result.status != krr::model_predict_status::done) failure = result.error;
  py::dict out = result_dict(failure.code.empty() ? nullptr : &failure, result.warnings);
  if (!failure.code.empty()) return out;
  const std::size_t rows = static_cast<std::size_t>(nt);
  const std::size_t c = rows ? result.predictions.size() / rows : static_cast<std::size_t>(dims.alpha.cols);
  out["predictions"] = column_major(result.predictions, rows, c);
  if (deviations) {
    out["deviations"] = column_major(result.deviations, rows, c);
    out["lower"] = column_major(result.lower, rows, c);
    out["upper"] = column_major(result.upper, rows, c);
    out["z"] = result.z;
    // The factor built in this call, for the model to keep; None where the model's served.
    out["cache"] = result.cache_built ? py::object(cache_dict(*result.cache)) : py::object(py::none());
  }
  return out;
}

}  // namespace

PYBIND11_MODULE(_core, m) {
  m.doc() = "The compiled core of krrard: exact kernel ridge regression with the ARD Gaussian "
            "kernel. Each function returns a dict with 'error' (None or (code, message)) and "
            "'warnings' (a list of (code, message)); the package raises them. The GIL is "
            "released while the core runs; Ctrl-C raises KeyboardInterrupt.";
  m.def("train", &train, py::arg("X"), py::arg("y"), py::arg("w"), py::arg("ridge"), py::arg("tol"),
        py::arg("k"), py::arg("cache_bytes"), py::arg("seed") = py::none(), py::arg("threads") = 0,
        py::arg("memory_bytes") = std::numeric_limits<double>::infinity(),
        "tarvel's solve of (K + ridge I) alpha = y by block coordinate descent. X is n x d, one "
        "sample per row: a C-ordered float64 array is read in place, any other is copied. w holds "
        "d weights (1 / (2 l^2)) and the amplitude. seed: srand(seed) first (None: the C "
        "library's generator as it stands, as tarvel). Returns alpha, grad, seconds, evals, "
        "objective, steps and tarvel's report lines.");
  m.def("predict", &predict, py::arg("Xtest"), py::arg("X"), py::arg("w"), py::arg("alpha"),
        py::arg("threads") = 0,
        "quorril's evaluation f = K(Xtest, X) alpha. Xtest and X one sample per row and alpha n x c, "
        "all read in place when C-ordered float64 (copied otherwise). With one column, quorril's "
        "bits.");
  m.def("fit", &fit, py::arg("X"), py::arg("Y"), py::arg("options"), py::arg("threads") = 0,
        py::arg("memory_bytes") = std::numeric_limits<double>::quiet_NaN(),
        py::arg("progress") = py::none(),
        "krrfit's learner. X n x d and Y n x c, read in place when Fortran-ordered float64 "
        "(copied otherwise); options krrfit's, by name. progress(line) receives each progress "
        "line where Verbose is on. Returns 'model', krrfit's fields.");
  m.def("model_predict", &model_predict, py::arg("model"), py::arg("Xnew"), py::arg("options"),
        py::arg("deviations") = false, py::arg("threads") = 0,
        py::arg("memory_bytes") = std::numeric_limits<double>::quiet_NaN(),
        py::arg("progress") = py::none(),
        "krrpredict's prediction from krrfit's fields. Xnew m x d, read in place when "
        "Fortran-ordered float64 (copied otherwise). Returns predictions and, with deviations, "
        "the deviations, the intervals' lower and upper bounds, z and cache (the deviations' "
        "factor built in the call, for model['DeviationCache'], or None where the model's served).");
  m.def("available_cpus", &krr::available_cpus, "Processors this process may use.");
  m.def("available_memory_bytes", &krr::available_memory_bytes,
        "Memory this process may have, in bytes (inf where unknown).");
  auto setting = [](const krr::environment_setting& s) {
    return py::make_tuple(s.set, s.valid, s.value, s.text);
  };
  m.def("thread_setting", [setting] { return setting(krr::thread_setting()); },
        "KRR_NUM_THREADS as every host reads it: (set, valid, value, text).");
  m.def("memory_limit_setting", [setting] { return setting(krr::memory_limit_setting()); },
        "KRR_MEMORY_LIMIT as every host reads it: (set, valid, value, text).");
}
