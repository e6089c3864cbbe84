// Coverage-guided fuzzing of the module boundary through the test host. Each input is
// decoded into one call: the input and output counts, each input's class, shape and
// values (NaN, +-Inf, huge and tiny numbers among them), the scalar arguments at and
// around every limit, the seed of the C library's generator, when the host reports an
// interrupt, and how much the host allocator will hand out. After the call:
//   - the host saw nothing wrong (no write around the slots, nothing left behind, inputs
//     untouched, no host call on another thread, no error swallowed);
//   - a call outside the documented contract was refused with nargin, nargout or
//     invalidInput, and one inside it was not;
//   - every error and warning carries the module's identifier and name;
//   - an interrupt the module saw ended the call with its interrupted error and was left
//     pending for the host;
//   - a returned call has outputs of the documented sizes (and tarvel's report lines), and
//     results that agree with the kernel built directly.
// Sanitizer reports and leaks end the run through libFuzzer. Built once per module: the
// compile definition FUZZ_MODULE names it (tarvel, quorril, krr_solve, krr_lml,
// krr_predict, krr_fit); every module's decoder is compiled into every fuzzer,
// so none goes stale unbuilt. krr_memory takes no arguments: the boundary tests cover its
// every call. The options of krr_solve, krr_lml and krr_fit come by name: decoded in any
// case and order, repeated, misspelt, without a value, and with values of every class.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cctype>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <sys/resource.h>

#include "test_host.h"

#if !defined(FUZZ_MODULE)
#error "FUZZ_MODULE must name the module to fuzz"
#endif

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FUZZ_ASAN 1
#endif
#endif

// The largest single request granted, by the sanitizer allocator and by the test host.
constexpr std::size_t MAX_REQUEST = std::size_t(256) << 20;

extern "C" const char* __asan_default_options() {
  // Allocation failures are outcomes to handle; no single request above 256 MiB is
  // granted, so budgets and block sizes too large for the machine fail at once.
  return "allocator_may_return_null=1:max_allocation_size_mb=256";
}

namespace {

const double NaN = std::numeric_limits<double>::quiet_NaN();
const double Inf = std::numeric_limits<double>::infinity();

// Values at the edges of double arithmetic and of 32- and 53-bit counts.
const double EDGE_VALUES[] = {0.0, -0.0, 1.0, -1.0, 0.5, NaN, Inf, -Inf, DBL_MAX, -DBL_MAX,
                              DBL_MIN, std::numeric_limits<double>::denorm_min(), -DBL_MIN,
                              1e-300, 1e300, 2147483647.0, 2147483648.0, 4294967296.0,
                              9007199254740992.0, 9007199254740994.0, 1e-16, DBL_EPSILON,
                              -1e300, 1e-8, 100.0, -7.25};

template <std::size_t N>
double pick(FuzzedDataProvider& fdp, const double (&table)[N]) {
  return table[fdp.ConsumeIntegralInRange<std::size_t>(0, N - 1)];
}

// The decoded call, printed with every finding and, with FUZZ_SHOW_CALLS set, before
// every call (to see what a replayed input asks for).
std::string call_text;

void describe_call(int nlhs, const std::vector<const mxArray*>& in, long interrupt_after,
                   std::size_t limit, unsigned seed) {
  char line[256];
  std::snprintf(line, sizeof line, "nlhs %d, nrhs %zu, interrupt after %ld polls, allocation limit %zu, seed %u\n",
                nlhs, in.size(), interrupt_after, limit, seed);
  call_text = line;
  for (std::size_t i = 0; i < in.size(); ++i) {
    const mxArray* a = in[i];
    std::snprintf(line, sizeof line, "  input %zu: %s%s%s %zu x %zu (%zu dims)", i,
                  mxIsSparse(a) ? "sparse " : "", mxIsComplex(a) ? "complex " : "",
                  mxGetClassName(a), mxGetM(a), mxGetN(a), static_cast<std::size_t>(mxGetNumberOfDimensions(a)));
    call_text += line;
    if (test_host::stored_elements(a) > 0 && (mxIsNumeric(a) || mxIsDouble(a))) {
      std::snprintf(line, sizeof line, ", first %.17g", mxGetScalar(a));
      call_text += line;
    }
    std::string text;
    if (mxIsChar(a) && mxGetNumberOfDimensions(a) == 2 && mxGetM(a) <= 1) {
      char* s = mxArrayToString(a);
      if (s) text = s;
      mxFree(s);
      call_text += " '" + text + "'";
    }
    call_text += "\n";
    // Small real double arrays in full, column by column, to rebuild the call.
    if (mxIsDouble(a) && !mxIsSparse(a) && test_host::stored_elements(a) <= 64) {
      call_text += "   ";
      for (std::size_t e = 0; e < test_host::stored_elements(a); ++e) {
        std::snprintf(line, sizeof line, " %.17g", mxGetPr(a)[e]);
        call_text += line;
      }
      call_text += "\n";
    }
  }
  if (std::getenv("FUZZ_SHOW_CALLS")) std::fputs(call_text.c_str(), stderr);
}

// A model struct's fields (krr_predict's), small double ones in full, to rebuild the call.
void describe_model_fields(const mxArray* model) {
  if (mxGetClassID(model) != mxSTRUCT_CLASS || mxGetNumberOfElements(model) != 1) return;
  char line[256];
  for (const char* name : {"FormatVersion", "X", "Alpha", "Weights", "Mu", "Sigma", "YMean", "YScale", "Ridge"}) {
    const mxArray* f = mxGetFieldNumber(model, name) >= 0 ? mxGetField(model, 0, name) : nullptr;
    if (!f) continue;
    std::snprintf(line, sizeof line, "    .%s: %s%s %zu x %zu\n     ", name, mxIsComplex(f) ? "complex " : "",
                  mxGetClassName(f), mxGetM(f), mxGetN(f));
    call_text += line;
    if (mxIsDouble(f) && !mxIsSparse(f) && test_host::stored_elements(f) <= 64) {
      for (std::size_t e = 0; e < test_host::stored_elements(f); ++e) {
        std::snprintf(line, sizeof line, " %.17g", mxGetPr(f)[e]);
        call_text += line;
      }
    }
    call_text += "\n";
  }
  if (std::getenv("FUZZ_SHOW_CALLS")) std::fputs(call_text.c_str(), stderr);
}

[[noreturn]] void finding(const std::string& what, const test_host::call_result& r) {
  std::fprintf(stderr, "\n*** module boundary finding: %s\n%s", what.c_str(), call_text.c_str());
  std::fprintf(stderr, "ending %d, error id '%s', message '%s'\n", static_cast<int>(r.how),
               r.error_id.c_str(), r.error_message.c_str());
  for (const auto& w : r.warnings) {
    std::fprintf(stderr, "warning '%s': '%s'\n", w.id.c_str(), w.message.c_str());
  }
  for (std::size_t i = 0; i < r.outputs.size(); ++i) {
    const mxArray* out = r.outputs[i];
    if (out && mxIsCell(out)) {  // the texts of a cell of strings
      std::fprintf(stderr, "output %zu:", i);
      for (std::size_t e = 0; e < mxGetNumberOfElements(out); ++e) {
        char* text = mxGetCell(out, e) ? mxArrayToString(mxGetCell(out, e)) : nullptr;
        std::fprintf(stderr, " '%s'", text ? text : "");
        mxFree(text);
      }
      std::fprintf(stderr, "\n");
      continue;
    }
    if (!out || !mxIsDouble(out) || test_host::stored_elements(out) > 64) continue;
    std::fprintf(stderr, "output %zu:", i);
    for (std::size_t e = 0; e < test_host::stored_elements(out); ++e) {
      std::fprintf(stderr, " %.17g", mxGetPr(out)[e]);
    }
    std::fprintf(stderr, "\n");
  }
  std::fprintf(stderr, "printed:\n%s\nhost faults:\n%s", r.printed.c_str(),
               test_host::describe_faults(r).c_str());
  std::abort();
}

void require(bool ok, const std::string& what, const test_host::call_result& r) {
  if (!ok) finding(what, r);
}

bool starts_with(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

// Element values: most from a small grid that mutations move around in, some edge
// values; long arrays are completed from a generator seeded by the input.
class value_source {
 public:
  explicit value_source(FuzzedDataProvider& fdp) : fdp_(fdp), fill_(fdp.ConsumeIntegral<std::uint32_t>()) {}

  double next() {
    const std::uint8_t b = fdp_.ConsumeIntegral<std::uint8_t>();
    if (b < 224) return (static_cast<int>(b) - 112) / 32.0;
    return pick(fdp_, EDGE_VALUES);
  }

  void fill(mxArray* a, bool nonnegative) {
    const std::size_t count = test_host::stored_elements(a);
    std::uniform_real_distribution<double> uniform(nonnegative ? 0.0 : -2.0, 2.0);
    for (std::size_t i = 0; i < count; ++i) {
      double v = i < 64 ? next() : uniform(fill_);
      if (nonnegative && v < 0) v = -v;
      test_host::set_element(a, i, v);
    }
  }

 private:
  FuzzedDataProvider& fdp_;
  std::minstd_rand fill_;
};

const mxClassID CLASSES[] = {mxDOUBLE_CLASS, mxSINGLE_CLASS, mxINT8_CLASS,  mxUINT8_CLASS,
                             mxINT16_CLASS,  mxUINT16_CLASS, mxINT32_CLASS, mxUINT32_CLASS,
                             mxINT64_CLASS,  mxUINT64_CLASS, mxLOGICAL_CLASS, mxCHAR_CLASS,
                             mxCELL_CLASS,   mxSTRUCT_CLASS, mxFUNCTION_CLASS};

// Any array at all: any class, 2 to 4 dimensions, complex or sparse where the class
// allows, and huge extents where another extent is zero (no storage).
mxArray* any_array(FuzzedDataProvider& fdp, value_source& values) {
  const mxClassID cls = CLASSES[fdp.ConsumeIntegralInRange<std::size_t>(0, 14)];
  std::vector<std::size_t> dims(2 + fdp.ConsumeIntegralInRange<std::size_t>(0, 2));
  bool has_zero = false;
  for (std::size_t& d : dims) {
    d = fdp.ConsumeIntegralInRange<std::size_t>(0, 9);
    has_zero = has_zero || d == 0;
  }
  if (has_zero && fdp.ConsumeBool()) {
    const std::size_t huge[] = {std::size_t(1) << 31, (std::size_t(1) << 31) - 1,
                                (std::size_t(1) << 32) + 1, std::size_t(1) << 40};
    dims[fdp.ConsumeIntegralInRange<std::size_t>(0, dims.size() - 1)] =
        huge[fdp.ConsumeIntegralInRange<std::size_t>(0, 3)];
    bool still_zero = false;
    for (std::size_t d : dims) still_zero = still_zero || d == 0;
    if (!still_zero) dims[0] = 0;
  }
  const bool numeric = cls >= mxDOUBLE_CLASS && cls <= mxUINT64_CLASS;
  const bool complex = numeric && fdp.ConsumeIntegralInRange<int>(0, 3) == 0;
  const bool sparse = (cls == mxDOUBLE_CLASS || cls == mxLOGICAL_CLASS) && dims.size() == 2 &&
                      fdp.ConsumeIntegralInRange<int>(0, 3) == 0;
  mxArray* a = test_host::make_array(cls, dims, complex, sparse);
  values.fill(a, false);
  return a;
}

mxArray* double_matrix(std::size_t m, std::size_t n, value_source& values, bool nonnegative) {
  mxArray* a = test_host::make_array(mxDOUBLE_CLASS, {m, n});
  values.fill(a, nonnegative);
  return a;
}

// A scalar argument: usually a real double, sometimes another numeric class (converted
// as the host converts), sometimes not a scalar at all.
mxArray* scalar_argument(FuzzedDataProvider& fdp, value_source& values, double v) {
  const int form = fdp.ConsumeIntegralInRange<int>(0, 31);
  if (form < 24) return test_host::make_scalar(v);
  if (form < 28) {
    const mxClassID cls = CLASSES[fdp.ConsumeIntegralInRange<std::size_t>(0, 9)];
    mxArray* a = test_host::make_array(cls, {1, 1});
    test_host::set_element(a, 0, v);
    return a;
  }
  return any_array(fdp, values);
}

// One element count near `needed`: a few short, exact, a few over.
std::size_t count_near(FuzzedDataProvider& fdp, std::size_t needed) {
  const int delta = fdp.ConsumeIntegralInRange<int>(-1, 6);
  if (delta < 0) return needed ? needed - 1 : 0;
  if (delta <= 3) return needed;
  return needed + static_cast<std::size_t>(delta - 3);
}

// A vector of count doubles as a column, a row, or a matrix with as many elements.
mxArray* vector_argument(FuzzedDataProvider& fdp, value_source& values, std::size_t count,
                         bool nonnegative) {
  switch (fdp.ConsumeIntegralInRange<int>(0, 7)) {
    case 0: return double_matrix(1, count, values, nonnegative);
    case 1:
      if (count % 2 == 0) return double_matrix(2, count / 2, values, nonnegative);
      return double_matrix(count, 1, values, nonnegative);
    case 2: return any_array(fdp, values);
    default: return double_matrix(count, 1, values, nonnegative);
  }
}

// The counts of the call: mostly all the module's inputs (in) and an output count it
// accepts; sometimes from none to two more inputs (the extra ones of any kind), or up to
// three outputs too many. Trims or extends in and returns nlhs.
int decode_counts(FuzzedDataProvider& fdp, value_source& values, std::vector<const mxArray*>& in,
                  int most_outputs) {
  std::size_t nrhs = in.size();
  if (fdp.ConsumeIntegralInRange<int>(0, 15) == 0) {
    nrhs = fdp.ConsumeIntegralInRange<std::size_t>(0, in.size() + 2);
  }
  while (in.size() < nrhs) in.push_back(any_array(fdp, values));
  in.resize(nrhs);
  if (fdp.ConsumeIntegralInRange<int>(0, 15) == 0) {
    return fdp.ConsumeIntegralInRange<int>(most_outputs + 1, most_outputs + 3);
  }
  return fdp.ConsumeIntegralInRange<int>(0, most_outputs);
}

// How the module reads a scalar argument, or false where it must refuse it.
bool scalar_value(const mxArray* a, double* v) {
  if (!mxIsNumeric(a) || mxIsComplex(a) || mxIsSparse(a) || mxGetNumberOfElements(a) != 1) {
    return false;
  }
  *v = mxGetScalar(a);
  return true;
}

bool real_double_matrix(const mxArray* a) {
  return mxIsDouble(a) && !mxIsComplex(a) && !mxIsSparse(a) && mxGetNumberOfDimensions(a) == 2;
}

bool real_double_with(const mxArray* a, std::size_t count) {
  return mxIsDouble(a) && !mxIsComplex(a) && !mxIsSparse(a) && mxGetNumberOfElements(a) >= count;
}

bool all_finite(const double* v, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (!std::isfinite(v[i])) return false;
  }
  return true;
}

// Checks every error and warning of a call, whatever its ending; returns the suffix of
// the error identifier for a module error, "" otherwise.
std::string check_messages(const test_host::call_result& r, const std::string& module) {
  require(r.faults.empty(), "the host found faults", r);
  require(r.how != test_host::ending::aborted, "the host ended the call", r);
  // A call that returns has either not seen the interrupt or ignored it: its results
  // would be those of a computation cut short.
  require(!(r.how == test_host::ending::returned && r.interrupt_still_pending),
          "the call returned although the host reported an interrupt", r);
  for (const auto& w : r.warnings) {
    require(starts_with(w.id, module + ":"), "warning identifier without the module's name", r);
    require(starts_with(w.message, module + ": "), "warning text without the module's name", r);
  }
  if (r.how != test_host::ending::module_error) return "";
  require(starts_with(r.error_id, module + ":"), "error identifier without the module's name", r);
  require(starts_with(r.error_message, module + ": "), "error text without the module's name", r);
  return r.error_id.substr(module.size() + 1);
}

bool is_refusal(const std::string& id) {
  return id == "nargin" || id == "nargout" || id == "invalidInput";
}

// The messages as check_messages checks them; then a call outside the documented
// contract must have been refused, one within it not, and an out-of-memory error must
// give the bytes asked for. Returns the
// error identifier's suffix as check_messages.
std::string check_ending(const test_host::call_result& r, const std::string& module, bool valid) {
  const std::string id = check_messages(r, module);
  if (!valid) {
    require(r.how == test_host::ending::module_error && is_refusal(id),
            "a call outside the contract was not refused", r);
  } else {
    require(!is_refusal(id), "a call within the contract was refused", r);
  }
  if (id == "outOfMemory") {
    require(r.error_message.find(" bytes for ") != std::string::npos,
            "out of memory without the bytes asked for", r);
  }
  return id;
}

// The largest allocation limit the fuzzer sets: a few bytes around each output array.
std::size_t allocation_limit(FuzzedDataProvider& fdp, std::size_t n) {
  if (fdp.ConsumeIntegralInRange<int>(0, 15) != 0) return 0;
  const std::size_t limits[] = {1, 8, 8 * n - 1, 8 * n, 16 * n - 1, 16 * n + 7,
                                16 * n + 15, 16 * n + 23, 16 * n + 24};
  const std::size_t limit = limits[fdp.ConsumeIntegralInRange<std::size_t>(0, 8)];
  return limit ? limit : 1;
}

// The summed |terms| of a kernel sum and the bound on their rounding, for comparing a
// module's sum with the kernel built directly. The module forms the exponent as
// (|a|^2 + |b|^2) - 2 a.b in the weighted norm, whose rounding error grows with the
// norms; where that error could reach 1e-3 no comparison is made.
struct direct_sum {
  double value = 0.0;
  double magnitude = 0.0;
  double spread = 0.0;  // bound on the relative error of a term's exponential
  bool comparable = true;
};

direct_sum kernel_sum(const double* a, const double* X, std::size_t n, std::size_t d,
                      const double* w, const double* coef) {
  direct_sum s;
  for (std::size_t j = 0; j < n; ++j) {
    double exponent = 0.0, size = 0.0;
    for (std::size_t l = 0; l < d; ++l) {
      const double diff = a[l] - X[j * d + l];
      exponent += w[l] * diff * diff;
      size += std::fabs(w[l]) * (a[l] * a[l] + X[j * d + l] * X[j * d + l]);
    }
    const double error = 64.0 * (d + 2) * DBL_EPSILON * size;
    if (!(error < 1e-3) || !std::isfinite(exponent)) s.comparable = false;
    const double term = w[d] * std::exp(-exponent) * coef[j];
    s.value += term;
    s.magnitude += std::fabs(term);
    s.spread = std::fmax(s.spread, error);
  }
  if (!std::isfinite(s.value) || !std::isfinite(s.magnitude)) s.comparable = false;
  return s;
}

bool close_to(double got, const direct_sum& s, double rest, double relative) {
  const double bound = s.magnitude * (2.0 * s.spread + relative) + rest * relative + 1e-300;
  return std::fabs(got - s.value) <= bound;
}

// The training module's three report lines: a whole evaluation count, the objective with
// six decimals, the elapsed seconds with six decimals.
bool report_is_documented(const test_host::call_result& r) {
  const char* p = r.printed.c_str();
  const char* line1 = "Number of kernel evaluation is ";
  if (std::strncmp(p, line1, std::strlen(line1)) != 0) return false;
  p += std::strlen(line1);
  if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
  while (std::isdigit(static_cast<unsigned char>(*p))) ++p;
  const char* line2 = ".\nObjectve function is ";
  if (std::strncmp(p, line2, std::strlen(line2)) != 0) return false;
  p = std::strchr(p + std::strlen(line2), '\n');
  if (!p) return false;
  double seconds = -1;
  int used = 0;
  if (std::sscanf(p + 1, "Elapsed time is %lf seconds.%n", &seconds, &used) != 1 || used == 0) {
    return false;
  }
  return seconds >= 0 && std::strcmp(p + 1 + used, "\n") == 0;
}

std::string format_report(double evals, double objective) {
  char text[256];
  std::snprintf(text, sizeof text, "Number of kernel evaluation is %.0f.\nObjectve function is %f\n",
                evals, objective);
  return text;
}

// tarvel: X d x n, y, w, ridge, tol, k, cache_bytes.
void fuzz_tarvel(FuzzedDataProvider& fdp) {
  value_source values(fdp);
  const bool big = fdp.ConsumeIntegralInRange<int>(0, 15) == 0;
  std::size_t d, n;
  if (big) {
    const std::size_t sizes[] = {61, 100, 1000, 65536, 2147483647, 2147483648ULL, 4294967297ULL};
    n = sizes[fdp.ConsumeIntegralInRange<std::size_t>(0, 6)];
    d = n <= 1000 ? fdp.ConsumeIntegralInRange<std::size_t>(0, 2) : 0;
  } else {
    d = fdp.ConsumeIntegralInRange<std::size_t>(0, 5);
    n = fdp.ConsumeIntegralInRange<std::size_t>(0, 40);
  }
  const double dn = static_cast<double>(n);
  const double ridges[] = {0.0, 1e-15, 1e-3, 0.1, 1.0, -0.0, -1e-3, NaN, Inf, 1e300,
                           std::numeric_limits<double>::denorm_min()};
  const double tols[] = {1e-300, 1e-12, 1e-6, 1e-3, 1.0, 1e10, 9007199254740992.0,
                         1.8014398509481984e16, Inf, NaN, 0.0, -0.0, -1.0, -Inf,
                         std::numeric_limits<double>::denorm_min(), DBL_MAX};
  const double ks[] = {1, 2, 3, dn - 1, dn, dn + 1, dn + 0.5, dn - 0.5, 0.999, 0, -1, NaN, Inf,
                       -Inf, 2147483648.0, 2147483647.0, 4294967297.0, 1.5, -0.5};
  const double col = 8.0 * dn;
  const double caches[] = {0, -1, col - 1, col, 2 * col - 1, 2 * col, 2 * col + 1, 3 * col,
                           col * (dn - 1), col * dn, col * dn + 1, col * 2147483648.0,
                           col * 2147483647.0, Inf, -Inf, NaN, DBL_MAX, 1e18, -DBL_MAX};

  const std::size_t storage_cap = std::size_t(1) << 17;
  std::vector<const mxArray*> in;
  if (fdp.ConsumeIntegralInRange<int>(0, 15) == 0) {
    in.push_back(any_array(fdp, values));
  } else if (d * n <= storage_cap) {
    in.push_back(double_matrix(d, n, values, false));
  } else {  // n columns and no rows: no storage needed
    d = 0;
    in.push_back(test_host::make_array(mxDOUBLE_CLASS, {0, n}));
  }
  std::size_t y_count = count_near(fdp, n);
  if (y_count > storage_cap) y_count = storage_cap;
  in.push_back(vector_argument(fdp, values, y_count, false));
  in.push_back(vector_argument(fdp, values, count_near(fdp, d + 1), fdp.ConsumeIntegralInRange<int>(0, 7) != 0));
  in.push_back(scalar_argument(fdp, values, pick(fdp, ridges)));
  in.push_back(scalar_argument(fdp, values, pick(fdp, tols)));
  double k = pick(fdp, ks);
  if (fdp.ConsumeBool()) k = static_cast<double>(fdp.ConsumeIntegralInRange<std::size_t>(1, n ? n : 1));
  // Large blocks on large data are slow rather than interesting (k^3 work per step),
  // except where the block's columns cannot be allocated at all.
  const double whole = std::trunc(k);
  if (n > 64 && whole > 4 && whole <= dn && !(n >= 65536 && whole > dn / 2)) k = 4;
  in.push_back(scalar_argument(fdp, values, k));
  in.push_back(scalar_argument(fdp, values, pick(fdp, caches)));

  const int nlhs = decode_counts(fdp, values, in, 5);
  const int nrhs = static_cast<int>(in.size());

  // Polls before the host reports an interrupt; bounded so no call runs long.
  const long interrupts[] = {-1, 0, 1, 2, 5, 40};
  long interrupt_after = interrupts[fdp.ConsumeIntegralInRange<std::size_t>(0, 5)];
  if (n > 10 && (interrupt_after < 0 || interrupt_after > 40)) interrupt_after = 40;
  if (n > 64) interrupt_after = interrupt_after < 0 ? 1 : std::min(interrupt_after, 1L);
  const std::size_t limit = allocation_limit(fdp, n);
  const bool warnings_as_errors = fdp.ConsumeIntegralInRange<int>(0, 7) == 0;
  const unsigned seed = fdp.ConsumeIntegral<unsigned>();

  // What the documented contract says of this call.
  bool valid = nrhs == 7 && nlhs <= 5;
  double ridge = 0, tol = 0, kv = 0, cache = 0;
  if (valid) {
    const mxArray *X = in[0], *y = in[1], *w = in[2];
    valid = real_double_matrix(X) && mxGetN(X) >= 1 && mxGetN(X) <= 2147483647u &&
            mxGetM(X) < 2147483647u;
    valid = valid && real_double_with(y, mxGetN(X)) && real_double_with(w, mxGetM(X) + 1);
    valid = valid && all_finite(mxGetPr(X), mxGetNumberOfElements(X)) &&
            all_finite(mxGetPr(y), mxGetN(X)) && all_finite(mxGetPr(w), mxGetM(X) + 1);
    for (std::size_t l = 0; valid && l <= mxGetM(X); ++l) valid = mxGetPr(w)[l] >= 0;
    valid = valid && scalar_value(in[3], &ridge) && scalar_value(in[4], &tol) &&
            scalar_value(in[5], &kv) && scalar_value(in[6], &cache);
    valid = valid && std::isfinite(ridge) && ridge >= 0 && !(tol <= 0) &&
            std::trunc(kv) >= 1 && std::trunc(kv) <= static_cast<double>(mxGetN(X)) &&
            !std::isnan(cache);
  }

  describe_call(nlhs, in, interrupt_after, limit, seed);
  test_host::set_allocation_limit(limit ? limit : MAX_REQUEST);
  test_host::set_interrupt_after(interrupt_after);
  test_host::set_warnings_as_errors(warnings_as_errors);
  std::srand(seed);
  test_host::call_result r = test_host::call("tarvel", tarvel_mex_function, nlhs, in);
  test_host::set_allocation_limit(0);
  test_host::set_warnings_as_errors(false);

  const std::string id = check_ending(r, "tarvel", valid);
  if (r.how == test_host::ending::host_out_of_memory) {
    require(limit != 0, "the host ran out of memory without a limit", r);
  }
  if (id == "interrupted") {
    require(r.interrupt_still_pending, "the interrupt was not left to the host", r);
  }
  const bool raised_warning =
      warnings_as_errors && (id == "notConverged" || id == "breakdown" ||
                             id == "illConditioned" || id == "toleranceUnreachable");
  require(id == "" || is_refusal(id) || id == "outOfMemory" || id == "interrupted" || raised_warning,
          "an unexpected error identifier", r);
  if (r.how != test_host::ending::returned) return;

  // A returned call: every slot filled, sizes as documented.
  n = mxGetN(in[0]);
  d = mxGetM(in[0]);
  for (mxArray* out : r.outputs) require(out != nullptr, "an output slot was left empty", r);
  require(mxGetM(r.outputs[0]) == n && mxGetN(r.outputs[0]) == 1, "alpha is not n x 1", r);
  const std::size_t kw = static_cast<std::size_t>(std::trunc(kv));
  unsigned long long steps_seen = 0;
  require(report_is_documented(r), "the three report lines are not as documented", r);
  if (r.outputs.size() >= 5) {
    const std::string expected = format_report(*mxGetPr(r.outputs[3]), *mxGetPr(r.outputs[4]));
    require(r.printed.compare(0, expected.size(), expected) == 0,
            "the report lines do not match evals and objective", r);
  }
  if (r.outputs.size() >= 4) {
    const double e = *mxGetPr(r.outputs[3]);
    const double steps = e / (static_cast<double>(n) * kw);
    require(steps == std::floor(steps) && steps >= 0, "evals is not n*k*steps", r);
    steps_seen = static_cast<unsigned long long>(steps);
  }
  const double* y = mxGetPr(in[1]);
  const double* alpha = mxGetPr(r.outputs[0]);
  const bool no_step = !(tol + 1.0 > tol);
  if (no_step) {
    for (std::size_t i = 0; i < n; ++i) require(alpha[i] == 0.0, "no step asked, alpha not 0", r);
    require(steps_seen == 0, "no step asked, steps taken", r);
  }
  if (r.outputs.size() < 2) return;
  require(mxGetM(r.outputs[1]) == n && mxGetN(r.outputs[1]) == 1, "grad is not n x 1", r);
  const double* grad = mxGetPr(r.outputs[1]);
  if (!r.warnings.empty()) return;
  require(all_finite(alpha, n) && all_finite(grad, n), "non-finite results without a warning", r);
  if (no_step) {
    for (std::size_t i = 0; i < n; ++i) require(grad[i] == -y[i], "no step asked, grad not -y", r);
    return;
  }
  for (std::size_t i = 0; i < n; ++i) {
    require(std::fabs(grad[i]) <= tol, "converged without a warning above tol", r);
  }
  if (n > 40) return;
  const double* X = mxGetPr(in[0]);
  const double* w = mxGetPr(in[2]);
  for (std::size_t i = 0; i < n; ++i) {
    const direct_sum s = kernel_sum(X + i * d, X, n, d, w, alpha);
    if (!s.comparable) continue;
    const double rest = std::fabs(ridge * alpha[i]) + std::fabs(y[i]);
    require(close_to(grad[i] + y[i] - ridge * alpha[i], s, rest, 1e-7),
            "grad differs from (K + ridge I) alpha - y with K built directly", r);
  }
}

// quorril: Xtest d x nt, X d x n, w, alpha.
void fuzz_quorril(FuzzedDataProvider& fdp) {
  value_source values(fdp);
  std::size_t d = fdp.ConsumeIntegralInRange<std::size_t>(0, 5);
  std::size_t n = fdp.ConsumeIntegralInRange<std::size_t>(0, 30);
  std::size_t nt = fdp.ConsumeIntegralInRange<std::size_t>(0, 30);
  const int shape = fdp.ConsumeIntegralInRange<int>(0, 15);
  std::vector<const mxArray*> in;
  if (shape == 0) {
    // Counts far beyond the storage, with no features so the arrays need none.
    const std::size_t huge[] = {std::size_t(1) << 31, std::size_t(1) << 40, std::size_t(1) << 61};
    in.push_back(test_host::make_array(mxDOUBLE_CLASS, {0, fdp.ConsumeBool() ? nt : huge[fdp.ConsumeIntegralInRange<std::size_t>(0, 2)]}));
    in.push_back(test_host::make_array(mxDOUBLE_CLASS, {0, fdp.ConsumeBool() ? n : huge[fdp.ConsumeIntegralInRange<std::size_t>(0, 2)]}));
    d = 0;
  } else {
    const std::size_t dt = shape == 1 ? fdp.ConsumeIntegralInRange<std::size_t>(0, 5) : d;
    in.push_back(shape == 2 ? any_array(fdp, values) : double_matrix(dt, nt, values, false));
    in.push_back(shape == 3 ? any_array(fdp, values) : double_matrix(d, n, values, false));
  }
  in.push_back(vector_argument(fdp, values, count_near(fdp, d + 1), fdp.ConsumeIntegralInRange<int>(0, 3) != 0));
  in.push_back(vector_argument(fdp, values, count_near(fdp, mxGetN(in[1]) > 4096 ? 0 : n), false));

  const int nlhs = decode_counts(fdp, values, in, 1);
  const int nrhs = static_cast<int>(in.size());
  const std::size_t limit = allocation_limit(fdp, nt / 2);

  bool valid = nrhs == 4 && nlhs <= 1;
  if (valid) {
    const mxArray *Xt = in[0], *X = in[1], *w = in[2], *alpha = in[3];
    valid = real_double_matrix(Xt) && real_double_matrix(X) && mxGetM(Xt) == mxGetM(X) &&
            mxGetM(X) < 2147483647u &&
            real_double_with(w, mxGetM(X) + 1) && real_double_with(alpha, mxGetN(X));
    // Finite samples, weights and coefficients, weights >= 0, as tarvel requires.
    valid = valid && all_finite(mxGetPr(Xt), mxGetNumberOfElements(Xt)) &&
            all_finite(mxGetPr(X), mxGetNumberOfElements(X)) &&
            all_finite(mxGetPr(w), mxGetM(X) + 1) && all_finite(mxGetPr(alpha), mxGetN(X));
    for (std::size_t l = 0; valid && l <= mxGetM(X); ++l) valid = mxGetPr(w)[l] >= 0;
  }

  describe_call(nlhs, in, -1, limit, 0);
  test_host::set_allocation_limit(limit ? limit : MAX_REQUEST);
  test_host::call_result r = test_host::call("quorril", quorril_mex_function, nlhs, in);
  test_host::set_allocation_limit(0);

  const std::string id = check_ending(r, "quorril", valid);
  require(r.warnings.empty() && r.printed.empty(), "quorril printed or warned", r);
  if (r.how == test_host::ending::host_out_of_memory) {
    // An output beyond the largest single request is refused by the host allocator.
    require(limit != 0 || mxGetN(in[0]) > MAX_REQUEST / sizeof(double),
            "the host ran out of memory without a limit", r);
  }
  require(id == "" || is_refusal(id) || id == "outOfMemory", "an unexpected error identifier", r);
  if (r.how != test_host::ending::returned) return;

  nt = mxGetN(in[0]);
  n = mxGetN(in[1]);
  d = mxGetM(in[1]);
  const mxArray* f = r.outputs[0];
  require(f && mxGetM(f) == nt && mxGetN(f) == 1, "f is not nt x 1", r);
  if (n > 64 || nt > 64) return;
  const double* Xt = mxGetPr(in[0]);
  const double* X = mxGetPr(in[1]);
  const double* w = mxGetPr(in[2]);
  const double* alpha = mxGetPr(in[3]);
  for (std::size_t i = 0; i < nt; ++i) {
    const direct_sum s = kernel_sum(Xt + i * d, X, n, d, w, alpha);
    if (!s.comparable) continue;
    require(close_to(mxGetPr(f)[i], s, 0.0, 1e-12), "f differs from the kernel sum built directly", r);
  }
}

// ---- The internal modules: krr_solve and krr_lml (the learner's solves) ----

// A number's rule as the module documents it (an option of the solves): the range, both
// ends included, and whether it must be a whole number.
struct setting_rule {
  double low, high;
  bool whole;
};

// An option of the solves as their help documents it: a number under its rule, or one of
// words (any case); the default where it is left out.
struct option_rule {
  const char* name;
  setting_rule rule;
  const char* const* words;  // null-terminated, or null for a number
  double fallback;           // the default (the word's index); BlockSize's depends on the call
};

const double TOP = 9007199254740992.0;  // 2^53
const option_rule SOLVE_OPTIONS[] = {{"Tolerance", {1e-300, 1e300, false}, nullptr, 1e-6},
                                     {"BlockSize", {1, 2147483647.0, true}, nullptr, 0},
                                     {"CacheBytes", {0, Inf, false}, nullptr, Inf},
                                     {"Seed", {0, TOP, true}, nullptr, 0},
                                     {"MaxPasses", {0, 1e12, false}, nullptr, 1000}};
enum solve_option { S_TOLERANCE, S_BLOCK_SIZE, S_CACHE_BYTES, S_SEED, S_MAX_PASSES, S_COUNT };
const char* const LOG_DET_WORDS[] = {"none", "with", "only", nullptr};
const option_rule LML_OPTIONS[] = {{"Probes", {1, 4096, true}, nullptr, 16},
                                   {"Seed", {0, TOP, true}, nullptr, 0},
                                   {"Tolerance", {1e-300, 1e300, false}, nullptr, 1e-6},
                                   {"BlockSize", {1, 2147483647.0, true}, nullptr, 0},
                                   {"CacheBytes", {0, Inf, false}, nullptr, Inf},
                                   {"LogDet", {0, 2, true}, LOG_DET_WORDS, 1},
                                   {"LanczosSteps", {1, 100000, true}, nullptr, 60},
                                   {"LanczosTolerance", {0, 1, false}, nullptr, 1e-6},
                                   {"MaxPasses", {0, 1e12, false}, nullptr, 1000},
                                   {"Rank", {0, 1000000, true}, nullptr, 0},
                                   {"LogDetRank", {0, 1000000, true}, nullptr, 0}};
enum lml_option {
  L_PROBES, L_SEED, L_TOLERANCE, L_BLOCK_SIZE, L_CACHE_BYTES, L_LOG_DET, L_LANCZOS_STEPS,
  L_LANCZOS_TOLERANCE, L_MAX_PASSES, L_RANK, L_LOG_DET_RANK, L_COUNT
};

// Polls before the interrupt of a call on at most 64 samples that the decoder did not
// interrupt sooner: with max_passes and lanczos_steps at the top of their ranges a call
// would run for hours, and every block member and kernel column polls, so this bounds
// every call. The work between two polls grows with the columns solved at once (about
// 1.5 us each under the sanitizers), hence a bound on polls times columns too, for at most
// a second or two a call. Calls within the decoder's usual settings end well before it.
constexpr long POLL_BOUND = 10000;
constexpr double POLLED_COLUMNS_BOUND = 1e6;

// A settings entry: usually the decoder's value (chosen to keep the call short), sometimes
// an end of its rule or the next double beyond it, a fraction where a whole number is due,
// or an edge value of double arithmetic.
double setting_entry(FuzzedDataProvider& fdp, const setting_rule& rule, double usual) {
  switch (fdp.ConsumeIntegralInRange<int>(0, 23)) {
    case 0: return rule.low;
    case 1: return rule.high;
    case 2: return std::nextafter(rule.low, -Inf);
    case 3: return std::nextafter(rule.high, Inf);
    case 4: return rule.whole ? usual + 0.5 : -usual;
    case 5: return pick(fdp, EDGE_VALUES);
    default: return usual;
  }
}

// The settings argument: mostly a row of the entries, sometimes a column, a 3-D array or a
// matrix of as many elements, one entry short or over, or any array at all.
mxArray* settings_argument(FuzzedDataProvider& fdp, value_source& values,
                           const std::vector<double>& entries) {
  const std::size_t count = entries.size();
  std::vector<std::size_t> dims = {1, count};
  switch (fdp.ConsumeIntegralInRange<int>(0, 15)) {
    case 0: return any_array(fdp, values);
    case 1: dims = {count, 1}; break;
    case 2: dims = {1, 1, count}; break;
    case 3:
      if (count == 9) dims = {3, 3};
      break;
    case 4: dims = {1, count - 1}; break;
    case 5: dims = {1, count + 1}; break;
    default: break;
  }
  mxArray* a = test_host::make_array(mxDOUBLE_CLASS, dims);
  const std::size_t stored = test_host::stored_elements(a);
  for (std::size_t i = 0; i < stored; ++i) {
    test_host::set_element(a, i, i < count ? entries[i] : values.next());
  }
  return a;
}

// How the module reads a settings argument, or false where it must refuse it: a real
// double vector (a row or a column) of exactly the rules' count of entries, each within its
// rule.
bool settings_as_documented(const mxArray* a, const setting_rule* rules, std::size_t count,
                            double* out) {
  if (!mxIsDouble(a) || mxIsComplex(a) || mxIsSparse(a) || mxGetNumberOfElements(a) != count ||
      mxGetNumberOfDimensions(a) != 2 || (mxGetM(a) != 1 && mxGetN(a) != 1)) {
    return false;
  }
  const double* v = mxGetPr(a);
  for (std::size_t i = 0; i < count; ++i) {
    const setting_rule& rule = rules[i];
    if (!(v[i] >= rule.low && v[i] <= rule.high) || (rule.whole && v[i] != std::floor(v[i]))) {
      return false;
    }
    out[i] = v[i];
  }
  return true;
}

// A char row as the modules read a name or a word; false for anything else. Read from the
// test host's 16-bit code units themselves (ASCII kept, any other '?', up to a NUL, as the
// host's string conversion gives them), not through the conversion the modules call.
bool text_row(const mxArray* a, std::string& text) {
  if (!mxIsChar(a) || mxGetNumberOfDimensions(a) != 2 || mxGetM(a) > 1) return false;
  const auto* units = static_cast<const unsigned char*>(test_host::storage(const_cast<mxArray*>(a)));
  text.clear();
  for (std::size_t i = 0; i < mxGetNumberOfElements(a); ++i) {
    std::uint16_t unit;
    std::memcpy(&unit, units + 2 * i, 2);
    if (unit == 0) break;
    text += unit < 128 ? static_cast<char>(unit) : '?';
  }
  return true;
}

std::string lower_case(std::string s) {
  for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return s;
}

// The name in another case, or with a letter more or less.
std::string spelt(FuzzedDataProvider& fdp, const char* name) {
  std::string s = name;
  switch (fdp.ConsumeIntegralInRange<int>(0, 63)) {
    case 0: return lower_case(s);
    case 1:
      for (char& ch : s) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
      return s;
    case 2: return s.substr(0, s.size() - 1);
    case 3: return s + "s";
    default: return s;
  }
}

// A word option's value: mostly its word in some case, sometimes another text, a number, or
// any array.
mxArray* word_argument(FuzzedDataProvider& fdp, value_source& values, const char* const* words,
                       int usual) {
  const char* others[] = {"", "all", "none ", "value", "w"};
  switch (fdp.ConsumeIntegralInRange<int>(0, 15)) {
    case 0: return mxCreateString(others[fdp.ConsumeIntegralInRange<int>(0, 4)]);
    case 1: return scalar_argument(fdp, values, static_cast<double>(usual));
    case 2: return any_array(fdp, values);
    default: return mxCreateString(spelt(fdp, words[usual]).c_str());
  }
}

// The options the module reads from the pairs: each option's value (its default where it
// was left out) and whether a pair set it.
struct decoded_options {
  std::vector<double> value;
  std::vector<bool> given;
};

// How the module reads one pair, updating what it read; false where it must refuse it.
bool read_as_documented(const mxArray* name, const mxArray* value, const option_rule* rules,
                        std::size_t count, decoded_options& out) {
  std::string text;
  if (!text_row(name, text)) return false;
  for (std::size_t i = 0; i < count; ++i) {
    if (lower_case(rules[i].name) != lower_case(text)) continue;
    const option_rule& o = rules[i];
    if (o.words) {
      std::string word;
      if (!text_row(value, word)) return false;
      for (int w = 0; o.words[w]; ++w) {
        if (!word.empty() && lower_case(word) == o.words[w]) {
          out.value[i] = w;
          out.given[i] = true;
          return true;
        }
      }
      return false;
    }
    double v = 0;
    if (!scalar_value(value, &v) || !(v >= o.rule.low && v <= o.rule.high) ||
        (o.rule.whole && v != std::floor(v))) {
      return false;
    }
    out.value[i] = v;
    out.given[i] = true;
    return true;
  }
  return false;  // no such option
}

// How the module reads the arguments from `first` on as name-value pairs into out (the
// defaults where an option is left out); false where it must refuse them.
bool options_as_documented(const std::vector<const mxArray*>& in, std::size_t first,
                           const option_rule* rules, std::size_t count, decoded_options& out) {
  out.value.clear();
  for (std::size_t i = 0; i < count; ++i) out.value.push_back(rules[i].fallback);
  out.given.assign(count, false);
  if ((in.size() - first) % 2 != 0) return false;
  for (std::size_t a = first; a + 1 < in.size(); a += 2) {
    if (!read_as_documented(in[a], in[a + 1], rules, count, out)) return false;
  }
  return true;
}

// The options of a solve, as name-value pairs appended to in: each of the module's own from
// a decoded starting point on, usually given once by its name with the decoder's value
// (usual, a word's index for a word), sometimes left to its default (unless `needed`),
// spelt in another case or wrongly, given twice (the last counts), with a value at or beyond
// its rule's ends (setting_entry) or of another class or shape; sometimes also a name that
// is not a string, an unknown one, or a last name without its value.
void decode_options(FuzzedDataProvider& fdp, value_source& values, const option_rule* rules,
                    std::size_t count, const std::vector<double>& usual,
                    const std::vector<bool>& needed, std::vector<const mxArray*>& in) {
  auto value_of = [&](std::size_t i) -> mxArray* {
    const option_rule& o = rules[i];
    if (o.words) return word_argument(fdp, values, o.words, static_cast<int>(usual[i]));
    return scalar_argument(fdp, values, setting_entry(fdp, o.rule, usual[i]));
  };
  const std::size_t first = fdp.ConsumeIntegralInRange<std::size_t>(0, count - 1);
  for (std::size_t j = 0; j < count; ++j) {
    const std::size_t i = (first + j) % count;
    const int form = fdp.ConsumeIntegralInRange<int>(0, 15);
    if (form == 0 && !needed[i]) continue;
    if (form == 1) {  // given twice: the last counts
      in.push_back(mxCreateString(rules[i].name));
      in.push_back(value_of(i));
    }
    in.push_back(mxCreateString(spelt(fdp, rules[i].name).c_str()));
    in.push_back(value_of(i));
  }
  switch (fdp.ConsumeIntegralInRange<int>(0, 15)) {
    case 0:
      in.push_back(any_array(fdp, values));
      in.push_back(test_host::make_scalar(1));
      break;
    case 1:  // an option of krr_lml's only
      in.push_back(mxCreateString("Rank"));
      in.push_back(test_host::make_scalar(0));
      break;
    case 2:  // a name without its value
      in.push_back(mxCreateString(rules[0].name));
      break;
    default: break;
  }
}

// An m x n matrix argument: mostly that shape, sometimes a row or a column short or over,
// three dimensions, or any array at all.
mxArray* matrix_argument(FuzzedDataProvider& fdp, value_source& values, std::size_t m,
                         std::size_t n) {
  switch (fdp.ConsumeIntegralInRange<int>(0, 15)) {
    case 0: return any_array(fdp, values);
    case 1: return double_matrix(m ? m - 1 : 1, n, values, false);
    case 2: return double_matrix(m + 1, n, values, false);
    case 3: return double_matrix(m, n ? n - 1 : 1, values, false);
    case 4: return double_matrix(m, n + 1, values, false);
    case 5: {
      mxArray* a = test_host::make_array(mxDOUBLE_CLASS, {m, n, 2});
      values.fill(a, false);
      return a;
    }
    default: return double_matrix(m, n, values, false);
  }
}

// A real n x c matrix of finite values with c >= 1, as the modules require of B, Y and A.
bool finite_matrix(const mxArray* a, std::size_t n) {
  return real_double_matrix(a) && mxGetM(a) == n && mxGetN(a) >= 1 &&
         all_finite(mxGetPr(a), n * mxGetN(a));
}

// A warm start: empty (none), or a real n x columns matrix of finite values.
bool warm_start_as_documented(const mxArray* V0, std::size_t n, std::size_t columns) {
  if (mxGetNumberOfElements(V0) == 0) return true;
  return finite_matrix(V0, n) && mxGetN(V0) == columns;
}

// The warm start argument: mostly [] or an n x columns matrix, sometimes near that shape
// or any array.
mxArray* warm_start_argument(FuzzedDataProvider& fdp, value_source& values, std::size_t n,
                             std::size_t columns) {
  const int form = fdp.ConsumeIntegralInRange<int>(0, 15);
  if (form < 8) return test_host::make_array(mxDOUBLE_CLASS, {0, 0});
  if (form == 8) return any_array(fdp, values);
  if (form == 9) return matrix_argument(fdp, values, n, columns);
  return double_matrix(n, columns, values, false);
}

// The samples and weights as the training modules read them (check_samples_and_weights):
// X a real d x n matrix, 1 <= n within 32 bits, finite; w at least d + 1 finite weights >= 0.
bool samples_as_documented(const mxArray* X, const mxArray* w) {
  if (!real_double_matrix(X) || mxGetN(X) < 1 || mxGetN(X) > 2147483647u ||
      mxGetM(X) >= 2147483647u) {
    return false;
  }
  const std::size_t d = mxGetM(X);
  if (!all_finite(mxGetPr(X), mxGetNumberOfElements(X)) || !real_double_with(w, d + 1) ||
      !all_finite(mxGetPr(w), d + 1)) {
    return false;
  }
  for (std::size_t l = 0; l <= d; ++l) {
    if (!(mxGetPr(w)[l] >= 0)) return false;
  }
  return true;
}

// Limits of the host allocator around the outputs a module creates, in its order of
// creation (bytes of each): just short of each one, exactly enough for the ones before
// and it, or a single byte; none in most calls.
std::size_t limit_around_outputs(FuzzedDataProvider& fdp, const std::vector<std::size_t>& bytes) {
  if (fdp.ConsumeIntegralInRange<int>(0, 15) != 0) return 0;
  std::vector<std::size_t> limits = {1};
  std::size_t total = 0;
  for (std::size_t b : bytes) {
    if (total + b > 0) limits.push_back(total + b - 1);
    total += b;
    limits.push_back(total);
  }
  const std::size_t limit = limits[fdp.ConsumeIntegralInRange<std::size_t>(0, limits.size() - 1)];
  return limit ? limit : 1;
}

// Polls before the interrupt: none, soon, or later; bounded for every call (POLL_BOUND,
// POLLED_COLUMNS_BOUND for `columns` solved at once), and at the first or second poll on
// more than 64 samples, where work between polls is long.
long decode_interrupt(FuzzedDataProvider& fdp, std::size_t n, std::size_t columns) {
  const long interrupts[] = {-1, 0, 1, 2, 5, 40, 400};
  long after = interrupts[fdp.ConsumeIntegralInRange<std::size_t>(0, 6)];
  const long bound = std::max(64L, std::min(POLL_BOUND, static_cast<long>(
                                                            POLLED_COLUMNS_BOUND / std::max<std::size_t>(columns, 1))));
  if (after < 0 || after > bound) after = bound;
  if (n > 64) after = std::min(after, 1L);
  return after;
}

// The training modules' sample counts: mostly small; sometimes more than 64 (several
// threads' rows, blocks whose arrays cannot be allocated), or beyond 32 bits (no features,
// so X needs no storage).
void decode_training_sizes(FuzzedDataProvider& fdp, std::size_t& d, std::size_t& n) {
  if (fdp.ConsumeIntegralInRange<int>(0, 15) == 0) {
    const std::size_t sizes[] = {61, 100, 1000, 6000, 2147483648ULL, 4294967297ULL};
    n = sizes[fdp.ConsumeIntegralInRange<std::size_t>(0, 5)];
    d = n <= 1000 ? fdp.ConsumeIntegralInRange<std::size_t>(0, 2) : 0;
  } else {
    d = fdp.ConsumeIntegralInRange<std::size_t>(0, 5);
    n = fdp.ConsumeIntegralInRange<std::size_t>(0, 40);
  }
}

// The training samples X (d x n, or any array, or no features where d x n would need too
// much storage), then w. Returns the rows of the right-hand sides to build.
std::size_t training_samples(FuzzedDataProvider& fdp, value_source& values, std::size_t& d,
                             std::size_t n, std::vector<const mxArray*>& in) {
  const std::size_t storage_cap = std::size_t(1) << 17;
  if (fdp.ConsumeIntegralInRange<int>(0, 15) == 0) {
    in.push_back(any_array(fdp, values));
  } else if (d * n <= storage_cap) {
    in.push_back(double_matrix(d, n, values, false));
  } else {
    d = 0;
    in.push_back(test_host::make_array(mxDOUBLE_CLASS, {0, n}));
  }
  return std::min(n, storage_cap / 8);
}

// Columns of the right-hand sides: mostly 1 to 3, sometimes none, or more than a block
// of 64 outputs.
std::size_t decode_columns(FuzzedDataProvider& fdp, std::size_t n) {
  const std::size_t columns[] = {0, 1, 1, 1, 1, 2, 2, 3, 3, 4, 5, 8, 1, 2, 63, 65};
  std::size_t c = columns[fdp.ConsumeIntegralInRange<std::size_t>(0, 15)];
  if (n > 64 && c > 4) c = 4;
  return c;
}

// A block size, usually small on large data: large blocks there are slow rather than
// interesting (k^2 work per member), except where their arrays cannot be allocated at all
// (more than 4096 members: the k x k matrices exceed the largest request granted).
double decode_block_size(FuzzedDataProvider& fdp, std::size_t n) {
  const double dn = static_cast<double>(n);
  const double ks[] = {1, 2, 3, 4, dn - 1, dn, dn + 1, 4097, 5000, 1.5};
  double k = ks[fdp.ConsumeIntegralInRange<std::size_t>(0, 9)];
  if (fdp.ConsumeBool()) k = static_cast<double>(fdp.ConsumeIntegralInRange<std::size_t>(1, n ? n : 1));
  if (n > 64 && k > 4 && k <= dn && k <= 4096) k = 4;
  return k;
}

double decode_cache_bytes(FuzzedDataProvider& fdp, std::size_t n) {
  const double col = 8.0 * static_cast<double>(n);
  const double caches[] = {0, col - 1, col, 2 * col, 2 * col + 1, 3 * col, col * (n - 1.0),
                           col * n, Inf, 1e18};
  return caches[fdp.ConsumeIntegralInRange<std::size_t>(0, 9)];
}

// The kernel K(a, b) = w(d+1) exp(-sum_l w(l) (a(l) - b(l))^2) times coef(j), summed over the
// training samples, plus ridge * coef(i) for a training sample i: one row of
// (K + ridge I) coef, built directly.
direct_sum operator_row(const double* X, std::size_t n, std::size_t d, const double* w,
                        double ridge, const double* coef, std::size_t i) {
  direct_sum s = kernel_sum(X + i * d, X, n, d, w, coef);
  s.value += ridge * coef[i];
  s.magnitude += std::fabs(ridge * coef[i]);
  return s;
}

// Each row of (K + ridge I) v - b built directly is within tol of 0, up to the rounding of
// the module's own sums; false where a row is not.
bool solves_to_tolerance(const double* X, std::size_t n, std::size_t d, const double* w,
                         double ridge, const double* v, const double* b, double tol) {
  for (std::size_t i = 0; i < n; ++i) {
    const direct_sum s = operator_row(X, n, d, w, ridge, v, i);
    if (!s.comparable) continue;
    const double bound = tol + s.magnitude * (2.0 * s.spread + 1e-12) + std::fabs(b[i]) * 1e-15;
    if (!(std::fabs(s.value - b[i]) <= bound)) return false;
  }
  return true;
}

// A column's tolerance as the modules document it: relative_tol times the column's largest
// magnitude (1 for a zero column).
double column_tolerance(const double* b, std::size_t n, double relative_tol) {
  double largest = 0.0;
  for (std::size_t i = 0; i < n; ++i) largest = std::fmax(largest, std::fabs(b[i]));
  return relative_tol * (largest > 0.0 ? largest : 1.0);
}

bool whole_at_least(double v, double low) { return v >= low && v == std::floor(v) && std::isfinite(v); }

// What info reports, read by name: a real double scalar, or the status's word (its index
// among the documented ones); a missing or malformed field is a finding.
const char* const STATUSES[] = {"converged", "workBound", "roundingFloor", "overflow", "zeroOperator"};

double info_field(const mxArray* info, const char* name, const test_host::call_result& r) {
  const mxArray* v = mxGetField(info, 0, name);
  require(v && mxIsDouble(v) && !mxIsComplex(v) && mxGetNumberOfElements(v) == 1,
          std::string("info.") + name + " is not a real double scalar", r);
  return *mxGetPr(v);
}

int info_status(const mxArray* info, const test_host::call_result& r) {
  const mxArray* v = mxGetField(info, 0, "Status");
  std::string word;
  require(v && text_row(v, word), "info.Status is not text", r);
  for (int i = 0; i < 5; ++i) {
    if (word == STATUSES[i]) return i;
  }
  finding("info.Status '" + word + "' is not a documented status", r);
}

// info is a 1 x 1 struct with exactly these fields, in this order.
void require_fields(const mxArray* info, const std::vector<const char*>& fields,
                    const test_host::call_result& r) {
  require(std::strcmp(mxGetClassName(info), "struct") == 0 && mxGetM(info) == 1 && mxGetN(info) == 1,
          "info is not a 1 x 1 struct", r);
  require(mxGetNumberOfFields(info) == static_cast<int>(fields.size()), "info has other fields than documented", r);
  for (std::size_t i = 0; i < fields.size(); ++i) {
    require(std::strcmp(mxGetFieldNameByNumber(info, static_cast<int>(i)), fields[i]) == 0,
            std::string("info's field ") + std::to_string(i + 1) + " is not " + fields[i], r);
  }
}

// krr_solve: X d x n, B n x c, w, ridge, V0, then options by name.
void fuzz_krr_solve(FuzzedDataProvider& fdp) {
  value_source values(fdp);
  std::size_t d, n;
  decode_training_sizes(fdp, d, n);
  std::vector<const mxArray*> in;
  const std::size_t rows = training_samples(fdp, values, d, n, in);
  const std::size_t c = decode_columns(fdp, n);
  in.push_back(matrix_argument(fdp, values, rows, c));
  in.push_back(vector_argument(fdp, values, count_near(fdp, d + 1), fdp.ConsumeIntegralInRange<int>(0, 7) != 0));
  const double ridges[] = {0.0, 1e-15, 1e-3, 0.1, 1.0, -0.0, -1e-3, NaN, Inf, 1e300};
  in.push_back(scalar_argument(fdp, values, pick(fdp, ridges)));
  in.push_back(warm_start_argument(fdp, values, rows, c));
  const double tols[] = {1e-12, 1e-9, 1e-6, 1e-3, 0.1, 1.0, 1e300, 1e-300};
  const double passes[] = {0, 0.5, 1, 2, 10, 100};
  const std::vector<double> usual = {pick(fdp, tols), decode_block_size(fdp, n), decode_cache_bytes(fdp, n),
                                     static_cast<double>(fdp.ConsumeIntegral<std::uint32_t>()), pick(fdp, passes)};
  // Left out, the block size is up to 64 or 256, slow above 64 samples (as below).
  std::vector<bool> needed(S_COUNT, false);
  needed[S_BLOCK_SIZE] = n > 64;
  decode_options(fdp, values, SOLVE_OPTIONS, S_COUNT, usual, needed, in);
  // A valid block size far above 64 samples is slow rather than interesting, as above.
  for (std::size_t a = 6; a < in.size(); a += 2) {
    std::string name;
    double k = 0;
    if (n > 64 && text_row(in[a - 1], name) && lower_case(name) == "blocksize" && scalar_value(in[a], &k) &&
        k > 4 && k <= static_cast<double>(n) && k <= 4096) {
      in[a] = test_host::make_scalar(4);
    }
  }

  const int nlhs = decode_counts(fdp, values, in, 3);
  const int nrhs = static_cast<int>(in.size());
  const long interrupt_after = decode_interrupt(fdp, n, c);
  const std::size_t limit = limit_around_outputs(fdp, {8 * n * c, 8 * n * c, 2 * 9, 8 * 10});
  const bool warnings_as_errors = fdp.ConsumeIntegralInRange<int>(0, 7) == 0;

  // What the documented contract says of this call.
  bool valid = nrhs >= 5 && nlhs <= 3;
  double ridge = 0;
  decoded_options options;
  if (valid) {
    const mxArray *X = in[0], *B = in[1], *w = in[2];
    valid = samples_as_documented(X, w) && finite_matrix(B, mxGetN(X)) &&
            scalar_value(in[3], &ridge) && std::isfinite(ridge) && ridge >= 0 &&
            options_as_documented(in, 5, SOLVE_OPTIONS, S_COUNT, options) &&
            warm_start_as_documented(in[4], mxGetN(X), mxGetN(B));
    if (valid && !options.given[S_BLOCK_SIZE]) {
      options.value[S_BLOCK_SIZE] = std::min<double>(static_cast<double>(mxGetN(X)), mxGetN(B) > 1 ? 256 : 64);
    }
    valid = valid && options.value[S_BLOCK_SIZE] <= static_cast<double>(mxGetN(X));
  }
  // Left out, a block size beyond 64 samples is slow, as above: not run.
  if (valid && mxGetN(in[0]) > 64 && !options.given[S_BLOCK_SIZE]) return;

  describe_call(nlhs, in, interrupt_after, limit, 0);
  test_host::set_allocation_limit(limit ? limit : MAX_REQUEST);
  test_host::set_interrupt_after(interrupt_after);
  test_host::set_warnings_as_errors(warnings_as_errors);
  test_host::call_result r = test_host::call("krr_solve", krr_solve_mex_function, nlhs, in);
  test_host::set_allocation_limit(0);
  test_host::set_warnings_as_errors(false);

  const std::string id = check_ending(r, "krr_solve", valid);
  require(r.warnings.empty() && r.printed.empty(), "krr_solve printed or warned", r);
  if (r.how == test_host::ending::host_out_of_memory) {
    require(limit != 0, "the host ran out of memory without a limit", r);
  }
  if (id == "interrupted") {
    require(r.interrupt_still_pending, "the interrupt was not left to the host", r);
  }
  require(id == "" || is_refusal(id) || id == "outOfMemory" || id == "interrupted",
          "an unexpected error identifier", r);
  if (r.how != test_host::ending::returned) return;

  // A returned call: every slot filled, sizes as documented.
  n = mxGetN(in[0]);
  d = mxGetM(in[0]);
  const std::size_t cols = mxGetN(in[1]);
  for (mxArray* out : r.outputs) require(out != nullptr, "an output slot was left empty", r);
  const mxArray* V = r.outputs[0];
  require(mxGetM(V) == n && mxGetN(V) == cols, "V is not n x c", r);
  if (r.outputs.size() >= 2) {
    require(mxGetM(r.outputs[1]) == n && mxGetN(r.outputs[1]) == cols, "G is not n x c", r);
  }
  if (r.outputs.size() < 3) return;
  const mxArray* info = r.outputs[2];
  require_fields(info, {"Status", "BlockSteps", "Passes", "Checks", "Replacements", "CacheColumns",
                        "MembersLeftOut", "Seconds", "Threads", "ColumnsComputed", "ColumnSeconds"}, r);
  const int status = info_status(info, r);
  const double steps = info_field(info, "BlockSteps", r), passes_done = info_field(info, "Passes", r);
  const double checks = info_field(info, "Checks", r), replacements = info_field(info, "Replacements", r);
  const double cache_columns = info_field(info, "CacheColumns", r);
  const double k = options.value[S_BLOCK_SIZE], max_passes = options.value[S_MAX_PASSES];
  require(whole_at_least(steps, 0) && whole_at_least(checks, 0) && whole_at_least(replacements, 0) &&
              whole_at_least(cache_columns, 0) && whole_at_least(info_field(info, "MembersLeftOut", r), 0) &&
              whole_at_least(info_field(info, "Threads", r), 1) &&
              whole_at_least(info_field(info, "ColumnsComputed", r), 0),
          "a count in info is not a whole number in its range", r);
  const double column_seconds = info_field(info, "ColumnSeconds", r), seconds = info_field(info, "Seconds", r);
  require(column_seconds >= 0 && std::isfinite(column_seconds), "info.ColumnSeconds is not a time in seconds", r);
  require(passes_done == steps * k / static_cast<double>(n), "info.Passes is not block steps * k / n", r);
  require(replacements <= checks, "more replacements than checks", r);
  require(cache_columns <= std::max<double>(static_cast<double>(n), 2.0), "more cache columns than samples", r);
  require(seconds >= 0 && std::isfinite(seconds), "info.Seconds is not a time in seconds", r);
  // The work bound: steps of k members and replacements worth a pass each stop at
  // MaxPasses passes; the step that crossed it is the last one.
  const double work = steps * k + replacements * static_cast<double>(n);
  require(work <= max_passes * static_cast<double>(n) + k + static_cast<double>(n),
          "more work than MaxPasses allows", r);
  if (status == 1) {
    require(work >= max_passes * static_cast<double>(n), "workBound before the work bound", r);
  }
  const double* w = mxGetPr(in[2]);
  if (status == 4) require(w[d] + ridge == 0.0, "zeroOperator where K + ridge I is not zero", r);

  const double* v = mxGetPr(V);
  const double* G = mxGetPr(r.outputs[1]);
  const double* B = mxGetPr(in[1]);
  if (steps == 0 && status == 0) {
    // No step: V is the starting point, bit for bit.
    const bool warm = mxGetNumberOfElements(in[4]) != 0;
    for (std::size_t i = 0; i < n * cols; ++i) {
      const double start = warm ? mxGetPr(in[4])[i] : 0.0;
      require(std::memcmp(&v[i], &start, sizeof start) == 0, "no step taken, V is not V0", r);
    }
  }
  if (status != 0) return;
  require(all_finite(v, n * cols) && all_finite(G, n * cols), "converged with non-finite V or G", r);
  const double* X = mxGetPr(in[0]);
  for (std::size_t q = 0; q < cols; ++q) {
    const double* b = B + q * n;
    const double tol = column_tolerance(b, n, options.value[S_TOLERANCE]);
    for (std::size_t i = 0; i < n; ++i) {
      require(std::fabs(G[q * n + i]) <= tol, "converged with |G(:, q)| above its tolerance", r);
    }
    if (n > 40) continue;
    for (std::size_t i = 0; i < n; ++i) {
      const direct_sum s = operator_row(X, n, d, w, ridge, v + q * n, i);
      if (!s.comparable) continue;
      require(close_to(G[q * n + i] + b[i], s, std::fabs(b[i]), 1e-12),
              "G differs from (K + ridge I) V - B with K built directly", r);
    }
    require(solves_to_tolerance(X, n, d, w, ridge, v + q * n, b, tol),
            "converged, but (K + ridge I) V - B built directly is above the tolerance", r);
  }
}

// krr_lml's gradient built directly (core/learn/marginal_likelihood.h): with
// W(r, j) = sum_q alpha(r, q) alpha(j, q) - (c/p) sum_s u(r, s) z(j, s) and K without the
// ridge, the derivative in log w(l) is -1/2 w(l) sum_rj W K (x_rl - x_jl)^2, in log
// amplitude 1/2 sum_rj W K, in log ridge 1/2 ridge (sum alpha^2 - (c/p) sum u z). Each
// component comes with the sum of its terms' magnitudes, which needs only |z| = 1; its
// value needs the probes' signs Z (empty where they are not known). Terms where K is 0
// are 0 whatever the samples' distance.
struct direct_gradient {
  std::vector<double> value, size;
  double spread = 0.0;  // bound on the relative error of the module's kernel values
};

direct_gradient gradient_built_directly(const double* X, std::size_t n, std::size_t d,
                                        const double* w, double ridge, const double* V,
                                        std::size_t c, std::size_t p, const std::vector<double>& Z) {
  direct_gradient g;
  std::vector<double> sums(d + 1, 0.0), sizes(d + 1, 0.0);
  const bool signs = !Z.empty();
  const double share = static_cast<double>(c) / static_cast<double>(p);
  for (std::size_t r = 0; r < n; ++r) {
    for (std::size_t j = 0; j < n; ++j) {
      double W = 0.0, W_size = 0.0;
      for (std::size_t q = 0; q < c; ++q) {
        W += V[q * n + r] * V[q * n + j];
        W_size += std::fabs(V[q * n + r] * V[q * n + j]);
      }
      for (std::size_t s = 0; s < p; ++s) {
        if (signs) W -= share * V[(c + s) * n + r] * Z[s * n + j];
        W_size += std::fabs(share * V[(c + s) * n + r]);
      }
      double exponent = 0.0, size = 0.0;
      for (std::size_t l = 0; l < d; ++l) {
        const double diff = X[r * d + l] - X[j * d + l];
        exponent += w[l] * diff * diff;
        size += w[l] * (X[r * d + l] * X[r * d + l] + X[j * d + l] * X[j * d + l]);
      }
      g.spread = std::fmax(g.spread, 64.0 * (d + 2) * DBL_EPSILON * size);
      const double K = w[d] * std::exp(-exponent);
      if (K == 0.0) continue;
      sums[0] += W * K;
      sizes[0] += W_size * K;
      for (std::size_t l = 0; l < d; ++l) {
        const double diff = X[r * d + l] - X[j * d + l];
        sums[1 + l] += W * K * (diff * diff);
        sizes[1 + l] += W_size * K * (diff * diff);
      }
    }
  }
  double alpha_sq = 0.0, uz = 0.0, u_size = 0.0;
  for (std::size_t r = 0; r < n; ++r) {
    for (std::size_t q = 0; q < c; ++q) alpha_sq += V[q * n + r] * V[q * n + r];
    for (std::size_t s = 0; s < p; ++s) {
      if (signs) uz += V[(c + s) * n + r] * Z[s * n + r];
      u_size += std::fabs(V[(c + s) * n + r]);
    }
  }
  g.value.resize(d + 2);
  g.size.resize(d + 2);
  for (std::size_t l = 0; l < d; ++l) {
    g.value[l] = -0.5 * w[l] * sums[1 + l];
    g.size[l] = 0.5 * w[l] * sizes[1 + l];
  }
  g.value[d] = 0.5 * sums[0];
  g.size[d] = 0.5 * sizes[0];
  g.value[d + 1] = 0.5 * ridge * (alpha_sq - share * uz);
  g.size[d + 1] = 0.5 * ridge * (alpha_sq + share * u_size);
  return g;
}

// krr_lml: X d x n, Y n x c, w, ridge, V0 n x (c + Probes), then options by name.
void fuzz_krr_lml(FuzzedDataProvider& fdp) {
  value_source values(fdp);
  std::size_t d, n;
  decode_training_sizes(fdp, d, n);
  std::vector<const mxArray*> in;
  const std::size_t rows = training_samples(fdp, values, d, n, in);
  const std::size_t c = decode_columns(fdp, n);
  in.push_back(matrix_argument(fdp, values, rows, c));
  in.push_back(vector_argument(fdp, values, count_near(fdp, d + 1), fdp.ConsumeIntegralInRange<int>(0, 7) != 0));
  const double ridges[] = {1e-15, 1e-3, 0.1, 1.0, 0.0, -0.0, -1e-3, NaN, Inf, 1e300,
                           std::numeric_limits<double>::denorm_min()};
  in.push_back(scalar_argument(fdp, values, pick(fdp, ridges)));
  const double probes[] = {1, 2, 3, 8, 16};
  const double tols[] = {1e-12, 1e-9, 1e-6, 1e-3, 0.1, 1.0, 1e300, 1e-300};
  const double lanczos_steps[] = {1, 2, 5, 10, 30, 60};
  const double lanczos_tols[] = {0, 1e-12, 1e-6, 1e-2, 1};
  const double passes[] = {0, 0.5, 1, 2, 10, 100};
  const double ranks[] = {0, 0, 1, 3, 16, 1000};
  const std::vector<double> usual = {pick(fdp, probes),
                                     static_cast<double>(fdp.ConsumeIntegral<std::uint32_t>()),
                                     pick(fdp, tols),
                                     decode_block_size(fdp, n),
                                     decode_cache_bytes(fdp, n),
                                     static_cast<double>(fdp.ConsumeIntegralInRange<int>(0, 2)),
                                     pick(fdp, lanczos_steps),
                                     pick(fdp, lanczos_tols),
                                     pick(fdp, passes),
                                     pick(fdp, ranks),
                                     pick(fdp, ranks)};
  // The warm start for the usual probe count (left out: the default's 16).
  const bool probes_given = fdp.ConsumeIntegralInRange<int>(0, 15) != 0;
  in.push_back(warm_start_argument(fdp, values, rows, c + static_cast<std::size_t>(probes_given ? usual[L_PROBES] : 16)));
  // Left out, the block size is up to 256, slow above 64 samples (as for krr_solve).
  std::vector<bool> needed(L_COUNT, false);
  needed[L_BLOCK_SIZE] = n > 64;
  needed[L_PROBES] = probes_given;
  decode_options(fdp, values, LML_OPTIONS, L_COUNT, usual, needed, in);
  // As for krr_solve, no slow valid block size above 64 samples; the top of the probes'
  // range (each one a right-hand side of every block) only on a few samples; and at most
  // 100 Lanczos steps: a quadrature that does not settle takes every step, and a step took
  // tens of milliseconds on 5 samples (X with -DBL_MAX, ridge 1e-15, LogDetRank 1000).
  for (std::size_t a = 6; a < in.size(); a += 2) {
    std::string name;
    double v = 0;
    if (!text_row(in[a - 1], name) || !scalar_value(in[a], &v)) continue;
    name = lower_case(name);
    if (n > 64 && name == "blocksize" && v > 4 && v <= static_cast<double>(n) && v <= 4096) {
      in[a] = test_host::make_scalar(4);
    }
    if (n > 8 && name == "probes" && v > 16 && v <= 4096) in[a] = test_host::make_scalar(16);
    if (name == "lanczossteps" && v > 100 && v <= 100000) in[a] = test_host::make_scalar(100);
  }

  const int nlhs = decode_counts(fdp, values, in, 6);
  const int nrhs = static_cast<int>(in.size());
  bool valid = nrhs >= 5 && nlhs <= 6;
  double ridge = 0;
  decoded_options options;
  if (valid) {
    const mxArray *X = in[0], *Y = in[1], *w = in[2];
    valid = samples_as_documented(X, w) && finite_matrix(Y, mxGetN(X)) &&
            scalar_value(in[3], &ridge) && std::isfinite(ridge) && ridge > 0 &&
            options_as_documented(in, 5, LML_OPTIONS, L_COUNT, options) &&
            warm_start_as_documented(in[4], mxGetN(X), mxGetN(Y) + static_cast<std::size_t>(options.value[L_PROBES]));
    if (valid && !options.given[L_BLOCK_SIZE]) {
      options.value[L_BLOCK_SIZE] = std::min<double>(static_cast<double>(mxGetN(X)), 256);
    }
    valid = valid && options.value[L_BLOCK_SIZE] <= static_cast<double>(mxGetN(X));
  }
  // Left out, a block size beyond 64 samples is slow, as above: not run.
  if (valid && mxGetN(in[0]) > 64 && !options.given[L_BLOCK_SIZE]) return;
  const std::size_t p = valid ? static_cast<std::size_t>(options.value[L_PROBES])
                              : static_cast<std::size_t>(usual[L_PROBES]);
  const long interrupt_after = decode_interrupt(fdp, n, c + p);
  const std::size_t limit = limit_around_outputs(
      fdp, {8, 8 * (d + 2), 8 * n * (c + p), 8 * p, 8 * (d + 2) * p, 8 * 3, 2 * 9, 8 * 11});
  const bool warnings_as_errors = fdp.ConsumeIntegralInRange<int>(0, 7) == 0;

  describe_call(nlhs, in, interrupt_after, limit, 0);
  test_host::set_allocation_limit(limit ? limit : MAX_REQUEST);
  test_host::set_interrupt_after(interrupt_after);
  test_host::set_warnings_as_errors(warnings_as_errors);
  test_host::call_result r = test_host::call("krr_lml", krr_lml_mex_function, nlhs, in);
  test_host::set_allocation_limit(0);
  test_host::set_warnings_as_errors(false);

  const std::string id = check_ending(r, "krr_lml", valid);
  require(r.warnings.empty() && r.printed.empty(), "krr_lml printed or warned", r);
  if (r.how == test_host::ending::host_out_of_memory) {
    require(limit != 0, "the host ran out of memory without a limit", r);
  }
  if (id == "interrupted") {
    require(r.interrupt_still_pending, "the interrupt was not left to the host", r);
  }
  require(id == "" || is_refusal(id) || id == "outOfMemory" || id == "interrupted",
          "an unexpected error identifier", r);
  if (r.how != test_host::ending::returned) return;

  n = mxGetN(in[0]);
  d = mxGetM(in[0]);
  // The options as read, in the order of LML_OPTIONS (LogDet 0 'none', 1 'with', 2 'only').
  const double* settings = options.value.data();
  const std::size_t cols = mxGetN(in[1]), probe_count = static_cast<std::size_t>(settings[L_PROBES]);
  for (mxArray* out : r.outputs) require(out != nullptr, "an output slot was left empty", r);
  const double f = *mxGetPr(r.outputs[0]);
  require(mxGetM(r.outputs[0]) == 1 && mxGetN(r.outputs[0]) == 1, "f is not a scalar", r);
  if (settings[L_LOG_DET] == 0) require(std::isnan(f), "f is not NaN with LogDet 'none'", r);
  if (r.outputs.size() < 2) return;
  const mxArray* g = r.outputs[1];
  require(mxGetM(g) == d + 2 && mxGetN(g) == 1, "g is not (d + 2) x 1", r);
  if (r.outputs.size() < 3) return;
  const mxArray* V = r.outputs[2];
  require(mxGetM(V) == n && mxGetN(V) == cols + probe_count, "V is not n x (c + probes)", r);
  if (r.outputs.size() < 4) return;
  // info's fields by name, in their documented order (info[i] the i-th, the status as the
  // index of its word).
  const std::vector<const char*> fields = {"DataFit", "LogDet", "LogDetError", "Status", "BlockSteps",
                                           "Passes", "Checks", "CacheColumns", "Seconds", "SmallPivots",
                                           "Threads", "PassesOverK", "ColumnsComputed", "ColumnSeconds",
                                           "LanczosSteps"};
  require_fields(r.outputs[3], fields, r);
  double info[15];
  for (std::size_t i = 0; i < fields.size(); ++i) {
    info[i] = i == 3 ? info_status(r.outputs[3], r) : info_field(r.outputs[3], fields[i], r);
  }
  const double status = info[3];
  require(whole_at_least(info[4], 0) && whole_at_least(info[6], 0) && whole_at_least(info[7], 0) &&
              whole_at_least(info[9], 0) && whole_at_least(info[10], 1) && whole_at_least(info[12], 0),
          "a count in info is not a whole number in its range", r);
  // Passes over K: the solve's (block passes and checks; conjugate gradients count their
  // checks among their passes), then the gradient's pass (none for the value alone).
  const bool value_alone = settings[L_LOG_DET] == 2;
  const double solve_passes = settings[L_RANK] == 0 ? info[5] + info[6] : info[5];
  require(info[11] >= solve_passes + (value_alone ? 0 : 1),
          "info.PassesOverK counts fewer passes than the solve and gradient made", r);
  require(info[13] >= 0 && std::isfinite(info[13]), "info.ColumnSeconds is not a time in seconds", r);
  // Lanczos: none with LogDet 'none', else at most LanczosSteps products.
  require(whole_at_least(info[14], 0) && info[14] <= (settings[L_LOG_DET] == 0 ? 0 : settings[L_LANCZOS_STEPS]),
          "info.LanczosSteps is not a count of Lanczos steps within LanczosSteps", r);
  if (r.outputs.size() >= 5) {
    // Each probe's log det quadrature: NaN with LogDet 'none', else their mean is info.LogDet.
    const mxArray* q_array = r.outputs[4];
    require(mxGetM(q_array) == probe_count && mxGetN(q_array) == 1, "q is not probes x 1", r);
    const double* q = mxGetPr(q_array);
    double mean = 0.0, size = 0.0;
    for (std::size_t s = 0; s < probe_count; ++s) {
      mean += q[s];
      size += std::fabs(q[s]);
    }
    mean /= static_cast<double>(probe_count);
    if (settings[L_LOG_DET] == 0) {
      require(std::isnan(mean), "a probe's quadrature with LogDet 'none'", r);
    } else if (std::isfinite(size)) {
      require(std::fabs(mean - info[1]) <= 1e-12 * size, "the quadratures' mean is not info.LogDet", r);
    }
  }
  const double* traces = nullptr;
  if (r.outputs.size() >= 6) {
    require(mxGetM(r.outputs[5]) == d + 2 && mxGetN(r.outputs[5]) == probe_count,
            "t is not (d + 2) x probes", r);
    traces = mxGetPr(r.outputs[5]);
  }
  if (settings[L_RANK] == 0) {
    require(info[5] == info[4] * settings[L_BLOCK_SIZE] / static_cast<double>(n),
            "info.Passes is not block steps * k / n", r);
  }
  require(info[8] >= 0 && std::isfinite(info[8]), "info.Seconds is not a time in seconds", r);
  if (settings[L_LOG_DET] == 0) require(std::isnan(info[1]), "a log determinant with LogDet 'none'", r);
  const double* Y = mxGetPr(in[1]);
  const double* v = mxGetPr(V);
  // info.DataFit is the data fit, sum over the outputs of y' alpha.
  double fit = 0.0, fit_size = 0.0;
  for (std::size_t i = 0; i < n * cols; ++i) {
    fit += Y[i] * v[i];
    fit_size += std::fabs(Y[i] * v[i]);
  }
  if (std::isfinite(fit_size)) {
    require(std::fabs(info[0] - fit) <= 1e-12 * fit_size, "info.DataFit is not the data fit y' alpha", r);
  }
  const double two_pi = 6.283185307179586;
  if (settings[L_LOG_DET] >= 1 && std::isfinite(f)) {
    // f = -1/2 data fit - c/2 log det - c n/2 log(2 pi), from its parts.
    const double from_parts = -0.5 * info[0] - 0.5 * cols * info[1] - 0.5 * cols * n * std::log(two_pi);
    const double size = 0.5 * (std::fabs(info[0]) + cols * std::fabs(info[1]) + cols * n * std::log(two_pi));
    require(std::fabs(f - from_parts) <= 1e-12 * size, "f is not -1/2 fit - c/2 log det - c n/2 log(2 pi)", r);
  }
  if (value_alone) {
    // No gradient; the probes' columns of V are V0's (zeros without one).
    const double* gv = mxGetPr(g);
    for (std::size_t i = 0; i < d + 2; ++i) require(std::isnan(gv[i]), "a gradient from the value alone", r);
    const double* v0 = mxGetNumberOfElements(in[4]) != 0 ? mxGetPr(in[4]) : nullptr;
    for (std::size_t i = n * cols; i < n * (cols + probe_count); ++i) {
      const double expected = v0 ? v0[i] : 0.0;
      require(v[i] == expected || (std::isnan(v[i]) && std::isnan(expected)),
              "the value alone changed a probe's column of V", r);
    }
    if (traces != nullptr) {
      for (std::size_t i = 0; i < (d + 2) * probe_count; ++i) {
        require(std::isnan(traces[i]), "trace terms from the value alone", r);
      }
    }
  }
  if (status != 0) return;
  require(all_finite(v, n * (value_alone ? cols : cols + probe_count)), "status 0 with non-finite V", r);
  if (n > 40) return;
  const double* X = mxGetPr(in[0]);
  const double* w = mxGetPr(in[2]);
  for (std::size_t q = 0; q < cols; ++q) {
    const double* b = Y + q * n;
    require(solves_to_tolerance(X, n, d, w, ridge, v + q * n, b, column_tolerance(b, n, settings[L_TOLERANCE])),
            "status 0, but (K + ridge I) alpha - Y built directly is above the tolerance", r);
  }
  if (value_alone) return;
  // Each probe z is a vector of +-1, so (K + ridge I) u for its solution u is within the
  // probe's tolerance (relative_tol) of +-1 in every row; the signs give z back.
  std::vector<double> Z(n * probe_count);
  bool probes_known = settings[L_TOLERANCE] < 0.25;
  for (std::size_t s = 0; s < probe_count; ++s) {
    for (std::size_t i = 0; i < n; ++i) {
      const direct_sum row = operator_row(X, n, d, w, ridge, v + (cols + s) * n, i);
      if (!row.comparable) {
        probes_known = false;
        continue;
      }
      const double bound = settings[L_TOLERANCE] + row.magnitude * (2.0 * row.spread + 1e-12);
      require(std::fabs(std::fabs(row.value) - 1.0) <= bound,
              "status 0, but (K + ridge I) times a solved probe is not +-1 built directly", r);
      Z[s * n + i] = row.value > 0 ? 1.0 : -1.0;
    }
  }
  if (!probes_known) Z.clear();
  const direct_gradient direct = gradient_built_directly(X, n, d, w, ridge, v, cols, probe_count, Z);
  const double* gradient = mxGetPr(g);
  for (std::size_t i = 0; i < d + 2; ++i) {
    // A gradient component whose terms' magnitudes sum to a finite number is finite.
    if (direct.size[i] < DBL_MAX / 2) {
      require(std::isfinite(gradient[i]), "status 0 with a non-finite gradient", r);
    }
    if (!probes_known || !(direct.spread < 1e-3) || !std::isfinite(direct.value[i]) ||
        !std::isfinite(direct.size[i])) {
      continue;
    }
    require(std::fabs(gradient[i] - direct.value[i]) <= direct.size[i] * (2.0 * direct.spread + 1e-10) + 1e-300,
            "g differs from the gradient built directly from V and the probes", r);
  }
  // Each probe's trace terms: g is the data's part (the sums without the probes) less
  // their mean.
  if (traces == nullptr || !probes_known || !(direct.spread < 1e-3)) return;
  const direct_gradient data = gradient_built_directly(X, n, d, w, ridge, v, cols, probe_count, {});
  for (std::size_t i = 0; i < d + 2; ++i) {
    double mean = 0.0;
    for (std::size_t s = 0; s < probe_count; ++s) mean += traces[s * (d + 2) + i];
    mean /= static_cast<double>(probe_count);
    if (!std::isfinite(data.value[i]) || !std::isfinite(direct.size[i]) || !std::isfinite(mean)) continue;
    require(std::fabs(gradient[i] + mean - data.value[i]) <= direct.size[i] * (2.0 * direct.spread + 1e-10) + 1e-300,
            "the probes' trace terms do not account for g's probe part", r);
  }
}

// ---- krr_predict: prediction from a model, with deviations where asked ----

// The training side of the latent variance built directly: K + ridge I from the samples'
// differences, factorised by a dense Cholesky factorisation in long double. Not comparable
// where the module's kernel values may be far from these (the rounding of its weighted
// norms, `spread`, as for kernel_sum) or where K + ridge I is ill-conditioned: its
// condition number is at most (n a + ridge) / ridge, the largest row sum over the least
// eigenvalue's lower bound.
struct variance_reference {
  const double* X = nullptr;
  const double* w = nullptr;
  std::size_t n = 0, d = 0;
  double ridge = 0.0, condition = Inf, spread = 0.0;
  std::vector<long double> L;  // lower, row-major: L L' = K + ridge I
  bool comparable = false;
};

// The exponent sum_l w(l) (a(l) - b(l))^2 and the bound on the module's error in it.
long double exponent_of(const double* a, const double* b, std::size_t d, const double* w,
                        double* error) {
  long double e = 0.0L;
  double size = 0.0;
  for (std::size_t l = 0; l < d; ++l) {
    const long double diff = static_cast<long double>(a[l]) - b[l];
    e += w[l] * diff * diff;
    size += w[l] * (a[l] * a[l] + b[l] * b[l]);
  }
  *error = 64.0 * (d + 2) * DBL_EPSILON * size;
  return e;
}

variance_reference factor_directly(const double* X, std::size_t n, std::size_t d, const double* w,
                                   double ridge) {
  variance_reference ref;
  ref.X = X;
  ref.w = w;
  ref.n = n;
  ref.d = d;
  ref.ridge = ridge;
  const double a = w[d];
  ref.condition = (static_cast<double>(n) * a + ridge) / ridge;
  if (!(ref.condition <= 1e9)) return ref;
  ref.L.assign(n * n, 0.0L);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j <= i; ++j) {
      double error = 0.0;
      const long double e = exponent_of(X + i * d, X + j * d, d, w, &error);
      ref.spread = std::fmax(ref.spread, error);
      long double s = a * std::exp(-e) + (i == j ? ridge : 0.0);
      for (std::size_t t = 0; t < j; ++t) s -= ref.L[i * n + t] * ref.L[j * n + t];
      if (i == j && !(s > 0)) return ref;
      ref.L[i * n + j] = i == j ? std::sqrt(s) : s / ref.L[j * n + j];
    }
  }
  ref.comparable = ref.spread < 1e-6;
  return ref;
}

// The latent variance a - k' (K + ridge I)^-1 k at the test sample x, and the bound on how
// far the exact method's value may lie from it after solves to relative_tol: the quadratic
// form's error is at most |r|^2 / ridge for the solve's residual r, whose rows are within
// the tolerance plus the rounding of the fresh residual; then the rounding of the module's
// sums and of its floor, its kernel values' error, and the reference's own rounding.
struct direct_variance {
  double value = 0.0, bound = 0.0;
  bool comparable = false;
};

direct_variance variance_directly(const variance_reference& ref, const double* x, double relative_tol) {
  direct_variance v;
  if (!ref.comparable) return v;
  const std::size_t n = ref.n, d = ref.d;
  const double a = ref.w[d];
  std::vector<long double> k(n), y(n), u(n);
  double spread = ref.spread, k_max = 0.0;
  for (std::size_t j = 0; j < n; ++j) {
    double error = 0.0;
    k[j] = a * std::exp(-exponent_of(x, ref.X + j * d, d, ref.w, &error));
    spread = std::fmax(spread, error);
    k_max = std::fmax(k_max, static_cast<double>(k[j]));
  }
  if (!(spread < 1e-6)) return v;
  long double quadratic = 0.0L;
  for (std::size_t i = 0; i < n; ++i) {
    long double s = k[i];
    for (std::size_t t = 0; t < i; ++t) s -= ref.L[i * n + t] * y[t];
    y[i] = s / ref.L[i * n + i];
    quadratic += y[i] * y[i];
  }
  for (std::size_t i = n; i-- > 0;) {
    long double s = y[i];
    for (std::size_t t = i + 1; t < n; ++t) s -= ref.L[t * n + i] * u[t];
    u[i] = s / ref.L[i * n + i];
  }
  double u_sum = 0.0, u_max = 0.0, size = 0.0;
  for (std::size_t j = 0; j < n; ++j) {
    u_sum += std::fabs(static_cast<double>(u[j]));
    u_max = std::fmax(u_max, std::fabs(static_cast<double>(u[j])));
    size += std::fabs(static_cast<double>(k[j] * u[j]));
  }
  const double dn = static_cast<double>(n), eps = DBL_EPSILON;
  const double tol = relative_tol * (k_max > 0.0 ? k_max : 1.0);
  const double residual_rounding = 2.0 * (dn + 2.0) * eps * (a * u_sum + ref.ridge * u_max + k_max) +
                                   2.0 * spread * a * u_sum;
  const double residual = tol + residual_rounding;
  v.value = static_cast<double>(a - quadratic);
  v.bound = dn * residual * residual / ref.ridge + 8.0 * (dn + 2.0) * eps * (a + 2.0 * size) +
            2.0 * spread * a * (2.0 * u_sum + u_sum * u_sum) + 1e-16 * ref.condition * (a + size);
  v.comparable = std::isfinite(v.value) && std::isfinite(v.bound);
  return v;
}

// A model field's value: mostly a double array of the documented shape, sometimes single,
// the other orientation, an extent one short or over, or any array at all.
mxArray* field_argument(FuzzedDataProvider& fdp, value_source& values, std::size_t rows, std::size_t cols,
                        bool nonnegative) {
  const int form = fdp.ConsumeIntegralInRange<int>(0, 31);
  mxClassID cls = mxDOUBLE_CLASS;
  if (form == 24 || form == 25) cls = mxSINGLE_CLASS;
  if (form == 26) std::swap(rows, cols);
  if (form == 27) rows = rows ? rows - 1 : 1;
  if (form == 28) cols += 1;
  if (form == 29) return any_array(fdp, values);
  mxArray* a = test_host::make_array(cls, {rows, cols});
  values.fill(a, nonnegative);
  return a;
}

// Element i of a numeric, logical or char array with storage, as a double.
double element_of(const mxArray* a, std::size_t i) {
  const unsigned char* p = static_cast<const unsigned char*>(test_host::storage(const_cast<mxArray*>(a)));
  switch (mxGetClassID(a)) {
    case mxDOUBLE_CLASS: { double v; std::memcpy(&v, p + 8 * i, 8); return v; }
    case mxSINGLE_CLASS: { float v; std::memcpy(&v, p + 4 * i, 4); return v; }
    case mxINT8_CLASS: { std::int8_t v; std::memcpy(&v, p + i, 1); return v; }
    case mxUINT8_CLASS: { std::uint8_t v; std::memcpy(&v, p + i, 1); return v; }
    case mxINT16_CLASS: { std::int16_t v; std::memcpy(&v, p + 2 * i, 2); return v; }
    case mxUINT16_CLASS: case mxCHAR_CLASS: { std::uint16_t v; std::memcpy(&v, p + 2 * i, 2); return v; }
    case mxINT32_CLASS: { std::int32_t v; std::memcpy(&v, p + 4 * i, 4); return v; }
    case mxUINT32_CLASS: { std::uint32_t v; std::memcpy(&v, p + 4 * i, 4); return v; }
    case mxINT64_CLASS: { std::int64_t v; std::memcpy(&v, p + 8 * i, 8); return static_cast<double>(v); }
    case mxUINT64_CLASS: { std::uint64_t v; std::memcpy(&v, p + 8 * i, 8); return static_cast<double>(v); }
    case mxLOGICAL_CLASS: return p[i] ? 1.0 : 0.0;
    default: return 0.0;
  }
}

std::vector<double> elements_of(const mxArray* a) {
  std::vector<double> v(mxGetNumberOfElements(a));
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = element_of(a, i);
  return v;
}

// A char row (at most one row, two dimensions) as text; false for anything else.
bool text_value(const mxArray* a, std::string& text) {
  if (mxGetClassID(a) != mxCHAR_CLASS || mxGetNumberOfDimensions(a) != 2 || mxGetM(a) > 1) return false;
  text.clear();
  for (double c : elements_of(a)) text += static_cast<char>(std::tolower(static_cast<int>(c)));
  return true;
}

mxArray* text_array(const char* s) {
  const std::size_t length = std::strlen(s);
  mxArray* a = test_host::make_array(mxCHAR_CLASS, {1, length});
  for (std::size_t i = 0; i < length; ++i) test_host::set_element(a, i, static_cast<unsigned char>(s[i]));
  return a;
}

// A real numeric (not logical), full scalar: its value.
bool real_number(const mxArray* a, double& x) {
  if (!mxIsNumeric(a) || mxIsComplex(a) || mxIsSparse(a) || mxGetNumberOfElements(a) != 1) return false;
  x = element_of(a, 0);
  return true;
}

// A field of the class the documented contract reads: real floating point (double or
// single), full, two dimensions.
bool floating_field(const mxArray* a) {
  const mxClassID cls = mxGetClassID(a);
  return (cls == mxDOUBLE_CLASS || cls == mxSINGLE_CLASS) && !mxIsComplex(a) && !mxIsSparse(a) &&
         mxGetNumberOfDimensions(a) == 2;
}

bool all_entries_finite(const mxArray* a) {
  for (double v : elements_of(a))
    if (!std::isfinite(v)) return false;
  return true;
}

bool has_shape(const mxArray* a, std::size_t rows, std::size_t cols) {
  return mxGetM(a) == rows && mxGetN(a) == cols;
}

// What the options ask for, as the contract reads them (the defaults where not given).
struct predict_options {
  double alpha = 0.05;
  bool curve = false;
  std::string method = "auto";
  double rank = 1000;
  bool verbose = true;
};

// The options after MODEL and XNEW as documented: pairs of a known name (any case) and a
// value of its kind; false where any is refused. The last value of a name counts.
bool options_as_documented(const std::vector<const mxArray*>& in, predict_options& o) {
  const std::size_t count = in.size() - 2;
  if (count % 2 != 0) return false;
  const char* const known[] = {"alpha", "prediction", "method", "rank", "verbose"};
  const mxArray* last[5] = {};
  for (std::size_t i = 2; i < in.size(); i += 2) {
    std::string name;
    if (!text_value(in[i], name)) return false;
    std::size_t k = 0;
    while (k < 5 && name != known[k]) ++k;
    if (k == 5) return false;
    last[k] = in[i + 1];
  }
  for (std::size_t k = 0; k < 5; ++k) {
    if (!last[k]) continue;
    const std::string name = known[k];
    const mxArray* v = last[k];
    std::string text;
    double x = 0.0;
    if (name == "alpha") {
      if (!real_number(v, x) || !(x > 0 && x < 1)) return false;
      o.alpha = x;
    } else if (name == "prediction") {
      if (!text_value(v, text) || (text != "observation" && text != "curve")) return false;
      o.curve = text == "curve";
    } else if (name == "method") {
      if (!text_value(v, text) || (text != "auto" && text != "exact" && text != "approximate")) return false;
      o.method = text;
    } else if (name == "rank") {
      if (!real_number(v, x) || x != std::floor(x) || x < 1 || x > 1e6) return false;
      o.rank = x;
    } else if (name == "verbose") {
      if (text_value(v, text)) {
        if (text != "on" && text != "off") return false;
        o.verbose = text == "on";
      } else {
        const bool number = (mxIsNumeric(v) || mxIsLogical(v)) && !mxIsComplex(v) && !mxIsSparse(v) &&
                            mxGetNumberOfElements(v) == 1;
        if (!number || (element_of(v, 0) != 0.0 && element_of(v, 0) != 1.0)) return false;
        o.verbose = element_of(v, 0) == 1.0;
      }
    }
  }
  return true;
}

const char* const MODEL_FIELDS[] = {"X", "Alpha", "Weights", "Mu", "Sigma", "YMean", "Ridge"};

// The model as far as the module reads it before Xnew: one struct of krrfit's layout
// (FormatVersion absent, 1, 2 or 3) with its fields (Ridge for the deviations; YScale for
// version 3) present, each real floating point in two dimensions; a YScale of an earlier
// version is read too where present.
bool model_readable(const mxArray* m, bool deviations) {
  if (mxGetClassID(m) != mxSTRUCT_CLASS || mxGetNumberOfElements(m) != 1) return false;
  double v = 1.0;
  if (mxGetFieldNumber(m, "FormatVersion") >= 0) {
    const mxArray* version = mxGetField(m, 0, "FormatVersion");
    if (!version || !real_number(version, v) || (v != 1.0 && v != 2.0 && v != 3.0)) return false;
  }
  for (int i = 0; i < (deviations ? 7 : 6); ++i) {
    const mxArray* f = mxGetField(m, 0, MODEL_FIELDS[i]);
    if (!f || !floating_field(f)) return false;
  }
  const mxArray* scale = mxGetFieldNumber(m, "YScale") >= 0 ? mxGetField(m, 0, "YScale") : nullptr;
  if (v == 3.0 && !scale) return false;
  return !scale || floating_field(scale);
}

// The outputs' scales: YScale's entries where the model has them, else c ones (an empty
// YScale of a version 1 or 2 model is as none).
std::vector<double> output_scales(const mxArray* m, std::size_t c) {
  std::vector<double> scales;
  if (mxGetFieldNumber(m, "YScale") >= 0) scales = elements_of(mxGetField(m, 0, "YScale"));
  return scales.empty() ? std::vector<double>(c, 1.0) : scales;
}

// The model as documented: readable as above, X d x n (d, n >= 1), Alpha n x c (c >= 1),
// Weights d + 1 entries >= 0 as a row or a column, Mu and Sigma 1 x d (Sigma > 0), YMean
// 1 x c, all finite; and for the deviations Ridge, a positive finite scalar. Sets d, n and c.
bool model_as_documented(const mxArray* m, bool deviations, std::size_t& d, std::size_t& n, std::size_t& c) {
  if (!model_readable(m, deviations)) return false;
  const mxArray* f[7] = {};
  for (int i = 0; i < (deviations ? 7 : 6); ++i) {
    f[i] = mxGetField(m, 0, MODEL_FIELDS[i]);
    if (!all_entries_finite(f[i])) return false;
  }
  d = mxGetM(f[0]);
  n = mxGetN(f[0]);
  c = mxGetN(f[1]);
  if (d < 1 || n < 1 || mxGetM(f[1]) != n || c < 1) return false;
  if (!has_shape(f[2], 1, d + 1) && !has_shape(f[2], d + 1, 1)) return false;
  for (double w : elements_of(f[2]))
    if (!(w >= 0)) return false;
  if (!has_shape(f[3], 1, d) || !has_shape(f[4], 1, d) || !has_shape(f[5], 1, c)) return false;
  for (double s : elements_of(f[4]))
    if (!(s > 0)) return false;
  double version = 1.0;
  if (mxGetFieldNumber(m, "FormatVersion") >= 0) real_number(mxGetField(m, 0, "FormatVersion"), version);
  const mxArray* scale = mxGetFieldNumber(m, "YScale") >= 0 ? mxGetField(m, 0, "YScale") : nullptr;
  if (scale && (version == 3.0 || mxGetNumberOfElements(scale) != 0)) {
    if (!has_shape(scale, 1, c)) return false;
    for (double s : elements_of(scale))
      if (!(s > 0 && std::isfinite(s))) return false;
  }
  return !deviations || (has_shape(f[6], 1, 1) && element_of(f[6], 0) > 0);
}

// Xnew as documented: real numbers of any class in a full matrix with d columns, finite.
bool rows_as_documented(const mxArray* a, std::size_t d) {
  if (!mxIsNumeric(a) || mxIsComplex(a) || mxIsSparse(a) || mxGetNumberOfDimensions(a) != 2 || mxGetN(a) != d) {
    return false;
  }
  for (double v : elements_of(a))
    if (!std::isfinite(v)) return false;
  return true;
}

// Xnew's rows standardised by the model's Mu and Sigma, d x nt; false where one is not
// finite (a scale far below the rows' spread).
bool standardised_rows(const mxArray* model, const mxArray* a, std::vector<double>& Xs) {
  const std::vector<double> rows = elements_of(a);
  const std::vector<double> mu = elements_of(mxGetField(model, 0, "Mu"));
  const std::vector<double> sigma = elements_of(mxGetField(model, 0, "Sigma"));
  const std::size_t nt = mxGetM(a), d = mxGetN(a);
  Xs.assign(d * nt, 0.0);
  for (std::size_t i = 0; i < nt; ++i)
    for (std::size_t l = 0; l < d; ++l) {
      Xs[i * d + l] = (rows[l * nt + i] - mu[l]) / sigma[l];
      if (!std::isfinite(Xs[i * d + l])) return false;
    }
  return true;
}

// krr_predict: model, Xnew, then name-value options.
void fuzz_krr_predict(FuzzedDataProvider& fdp) {
  value_source values(fdp);
  std::size_t d = fdp.ConsumeIntegralInRange<std::size_t>(0, 4);
  std::size_t n = fdp.ConsumeIntegralInRange<std::size_t>(0, 40);
  std::size_t nt = fdp.ConsumeIntegralInRange<std::size_t>(0, 30);
  // More rows than a batch of solves, and rows and samples for more than one thread.
  if (fdp.ConsumeIntegralInRange<int>(0, 7) == 0) nt = fdp.ConsumeBool() ? 100 : 300;
  if (fdp.ConsumeIntegralInRange<int>(0, 15) == 0) n = fdp.ConsumeBool() ? 100 : 300;
  const std::size_t c = decode_columns(fdp, n);

  // The model: usually one struct of the documented fields, each sometimes off its shape
  // or class, sometimes left out; sometimes a struct array or no struct at all.
  const int form = fdp.ConsumeIntegralInRange<int>(0, 31);
  mxArray* model = nullptr;
  if (form == 0) {
    model = any_array(fdp, values);
  } else if (form == 1) {
    const char* name[] = {"X"};
    model = mxCreateStructMatrix(2, 1, 1, name);
  } else {
    std::vector<const char*> names;
    std::vector<mxArray*> fields;
    auto add = [&](const char* name, mxArray* value) {
      if (fdp.ConsumeIntegralInRange<int>(0, 63) == 0) {
        test_host::destroy(value);  // left out
        return;
      }
      names.push_back(name);
      fields.push_back(value);
    };
    const double versions[] = {2, 2, 2, 1, 3, 3, 3, 0, NaN};
    const int version = fdp.ConsumeIntegralInRange<int>(0, 15);
    double version_value = NaN;
    if (version < 14) {
      if (version < 12) version_value = pick(fdp, versions);
      mxArray* v = version < 12 ? test_host::make_scalar(version_value)
                                : test_host::make_array(version == 12 ? mxINT8_CLASS : mxLOGICAL_CLASS, {1, 1});
      if (version >= 12) test_host::set_element(v, 0, version == 12 ? 2 : 1);
      add("FormatVersion", v);
    }
    add("X", field_argument(fdp, values, d, n, false));
    add("Alpha", field_argument(fdp, values, n, c, false));
    add("Weights", field_argument(fdp, values, 1, d + 1, fdp.ConsumeIntegralInRange<int>(0, 7) != 0));
    add("Mu", field_argument(fdp, values, 1, d, false));
    mxArray* sigma = field_argument(fdp, values, 1, d, true);
    // Scales mostly positive: a zero one is a refusal, tested less often.
    if (mxGetClassID(sigma) == mxDOUBLE_CLASS && fdp.ConsumeIntegralInRange<int>(0, 3) != 0) {
      for (std::size_t l = 0; l < test_host::stored_elements(sigma); ++l) {
        test_host::set_element(sigma, l, std::fabs(mxGetPr(sigma)[l]) + 0.25);
      }
    }
    add("Sigma", sigma);
    add("YMean", field_argument(fdp, values, 1, c, false));
    // The outputs' scales: a version-3 model's (mostly positive; 1 for one output, as
    // krrfit writes it, or any), sometimes an earlier version's.
    if (version_value == 3 || fdp.ConsumeIntegralInRange<int>(0, 31) == 0) {
      mxArray* scale = field_argument(fdp, values, 1, c, true);
      if (mxGetClassID(scale) == mxDOUBLE_CLASS && fdp.ConsumeIntegralInRange<int>(0, 3) != 0) {
        for (std::size_t q = 0; q < test_host::stored_elements(scale); ++q)
          test_host::set_element(scale, q, c == 1 && fdp.ConsumeBool() ? 1.0 : std::fabs(mxGetPr(scale)[q]) + 0.125);
      }
      add("YScale", scale);
    }
    const double ridges[] = {1e-3, 0.1, 1.0, 1e-15, 0.0, -1e-3, NaN, Inf, 1e300, 1e-300};
    add("Ridge", scalar_argument(fdp, values, pick(fdp, ridges)));
    model = mxCreateStructMatrix(1, 1, static_cast<int>(names.size()), names.data());
    for (std::size_t i = 0; i < names.size(); ++i) mxSetField(model, 0, names[i], fields[i]);
  }
  std::vector<const mxArray*> in = {model};

  // Xnew: nt x d in the units of the model's X (Mu + Sigma times the standardised grid),
  // sometimes of another numeric class, another width, or any array.
  const int rows_form = fdp.ConsumeIntegralInRange<int>(0, 15);
  if (rows_form == 0) {
    in.push_back(any_array(fdp, values));
  } else if (rows_form == 1) {
    in.push_back(double_matrix(nt, d + 1, values, false));
  } else if (rows_form == 2) {
    mxArray* a = test_host::make_array(CLASSES[fdp.ConsumeIntegralInRange<std::size_t>(0, 9)], {nt, d});
    values.fill(a, false);
    in.push_back(a);
  } else {
    in.push_back(double_matrix(nt, d, values, false));
  }

  // The options: a few pairs of names (known ones in any case, an unknown one, a name that
  // is no text) and values of their kind or not; sometimes one argument short.
  const int pairs = fdp.ConsumeIntegralInRange<int>(0, 4);
  for (int i = 0; i < pairs; ++i) {
    const char* names[] = {"Alpha", "alpha", "Prediction", "PREDICTION", "Method", "method", "Rank", "RANK",
                           "Verbose", "verbose", "Level", ""};
    const int which = fdp.ConsumeIntegralInRange<int>(0, 12);
    in.push_back(which == 12 ? any_array(fdp, values) : text_array(names[which]));
    const int kind = fdp.ConsumeIntegralInRange<int>(0, 15);
    if (kind == 0) {
      in.push_back(any_array(fdp, values));
      continue;
    }
    switch (which / 2) {
      case 0: {
        const double alphas[] = {0.05, 0.1, 0.5, 1e-3, 0.999, 1e-300, 0, 1, -0.5, NaN, Inf};
        in.push_back(scalar_argument(fdp, values, pick(fdp, alphas)));
        break;
      }
      case 1: {
        const char* targets[] = {"observation", "curve", "CURVE", "Observation", "new", ""};
        in.push_back(text_array(targets[fdp.ConsumeIntegralInRange<int>(0, 5)]));
        break;
      }
      case 2: {
        const char* methods[] = {"auto", "exact", "approximate", "EXACT", "Approximate", "fast"};
        in.push_back(text_array(methods[fdp.ConsumeIntegralInRange<int>(0, 5)]));
        break;
      }
      case 3: {
        const double ranks[] = {1, 2, 3, 5, 30, 1000, 1e6, 0, 1.5, 1e6 + 1, -1, NaN};
        in.push_back(scalar_argument(fdp, values, pick(fdp, ranks)));
        break;
      }
      case 4: {
        const char* flags[] = {"on", "off", "OFF", "no"};
        const int flag = fdp.ConsumeIntegralInRange<int>(0, 7);
        if (flag < 4) {
          in.push_back(text_array(flags[flag]));
        } else {
          const double numbers[] = {0, 1, 2, NaN};
          in.push_back(scalar_argument(fdp, values, numbers[flag - 4]));
        }
        break;
      }
      default:
        in.push_back(test_host::make_scalar(0.1));
        break;
    }
  }
  if (pairs > 0 && fdp.ConsumeIntegralInRange<int>(0, 15) == 0) in.pop_back();
  if (fdp.ConsumeIntegralInRange<int>(0, 31) == 0) in.resize(fdp.ConsumeIntegralInRange<std::size_t>(0, 1));

  int nlhs = fdp.ConsumeIntegralInRange<int>(0, 5);
  if (fdp.ConsumeIntegralInRange<int>(0, 15) == 0) nlhs = fdp.ConsumeIntegralInRange<int>(6, 8);
  const int nrhs = static_cast<int>(in.size());
  const long interrupt_after = decode_interrupt(fdp, n, std::min<std::size_t>(nt, 256));
  const std::size_t limit = limit_around_outputs(fdp, {8 * nt * c, 8 * nt * c, 16 * nt * c});

  // What the documented contract says of this call. Xnew's width is judged against the
  // model's X once the model could be read.
  const bool deviations = nlhs > 3;
  std::size_t md = 0, mn = 0, mc = 0;
  predict_options options;
  const bool readable = nrhs >= 2 && model_readable(in[0], deviations);
  const bool model_valid = readable && model_as_documented(in[0], deviations, md, mn, mc);
  std::vector<double> Xs;
  const bool input_valid = readable && options_as_documented(in, options) &&
                           rows_as_documented(in[1], mxGetM(mxGetField(in[0], 0, "X"))) &&
                           (!model_valid || standardised_rows(in[0], in[1], Xs));

  describe_call(nlhs, in, interrupt_after, limit, 0);
  if (!in.empty()) describe_model_fields(in[0]);
  test_host::set_allocation_limit(limit ? limit : MAX_REQUEST);
  test_host::set_interrupt_after(interrupt_after);
  test_host::call_result r = test_host::call("krr_predict", krr_predict_mex_function, nlhs, in);
  test_host::set_allocation_limit(0);

  // The module's own errors: only for calls krrpredict never makes, an interrupt, or memory.
  const std::string id = check_messages(r, "krr_predict");
  require(r.warnings.empty(), "krr_predict raised a warning itself", r);
  if (nrhs < 2 || nlhs > 6) {
    require(r.how == test_host::ending::module_error && id == (nrhs < 2 ? "nargin" : "nargout"),
            "a call with the wrong counts was not refused", r);
    return;
  }
  if (r.how == test_host::ending::host_out_of_memory) {
    require(limit != 0, "the host ran out of memory without a limit", r);
    return;
  }
  if (id == "interrupted") {
    require(r.interrupt_still_pending, "the interrupt was not left to the host", r);
    require(model_valid && input_valid, "a call to refuse was interrupted instead", r);
    return;
  }
  require(r.how == test_host::ending::returned, "the call ended with an error of its own", r);

  // Every refusal comes back as data: the refused call's code, the valid call's none (a
  // failure of memory, or deviations beyond double precision, apart).
  for (mxArray* out : r.outputs) require(out != nullptr, "an output slot was left empty", r);
  const mxArray* failure = r.outputs.size() > 2 ? r.outputs[2] : nullptr;
  if (!failure) {
    if (!model_valid || !input_valid) {
      require(mxGetNumberOfElements(r.outputs[0]) == 0, "a refused call returned predictions", r);
    }
    return;
  }
  std::string code;
  if (mxGetNumberOfElements(failure) != 0) {
    require(mxGetM(failure) == 1 && mxGetN(failure) == 2, "failure is not {code, message}", r);
    char* text = mxArrayToString(mxGetCell(failure, 0));
    code = text ? text : "";
    mxFree(text);
  }
  if (!model_valid || !input_valid) {
    // A model that cannot be read is refused first; else the refusal names what is wrong.
    const bool expected = readable ? (code == "invalidModel" && !model_valid) || (code == "invalidInput" && !input_valid)
                                   : code == "invalidModel";
    require(expected, "a call outside the contract was not refused with its code", r);
    require(mxGetNumberOfElements(r.outputs[0]) == 0, "a refused call returned predictions", r);
    return;
  }
  require(code == "" || code == "outOfMemory" || (code == "breakdown" && deviations),
          "a call within the contract was refused", r);
  if (code != "") return;

  // A returned call: the outputs of the documented sizes, warnings only of the deviations.
  const mxArray* model_in = in[0];
  const mxArray* Xn = in[1];
  nt = mxGetM(Xn);
  const mxArray* Y = r.outputs[0];
  require(mxGetM(Y) == nt && mxGetN(Y) == mc, "Ypred is not m x c", r);
  const mxArray* warnings = r.outputs[1];
  require(mxGetN(warnings) == 2 || mxGetNumberOfElements(warnings) == 0, "warnings is not k x 2", r);
  const bool approximate =
      options.method == "approximate" ||
      (options.method == "auto" && static_cast<double>(mn) * mn * static_cast<double>(nt) > 2e10);
  bool converged = true;
  for (std::size_t k = 0; k < mxGetM(warnings); ++k) {
    require(deviations, "a warning without the deviations", r);
    char* text = mxArrayToString(mxGetCell(warnings, k));
    const std::string warning = text ? text : "";
    mxFree(text);
    require(warning == "notConverged" || (warning == "approximate" && approximate), "an undocumented warning", r);
    converged = converged && warning != "notConverged";
  }
  const bool printed = !r.printed.empty();
  require(printed == (deviations && options.verbose), "the progress line printed where Verbose is off, or not where on", r);
  if (printed) {
    const std::string start = "krrpredict: deviations of " + std::to_string(nt) + " rows ";
    require(starts_with(r.printed, start) && std::count(r.printed.begin(), r.printed.end(), '\n') == 1 &&
                r.printed.back() == '\n',
            "the progress line is not as documented", r);
  }

  // The predictions against the kernel sums built directly on the rows standardised by Mu
  // and Sigma (Xs), the targets' means added.
  const std::vector<double> X = elements_of(mxGetField(model_in, 0, "X"));
  const std::vector<double> A = elements_of(mxGetField(model_in, 0, "Alpha"));
  const std::vector<double> w = elements_of(mxGetField(model_in, 0, "Weights"));
  const std::vector<double> y_mean = elements_of(mxGetField(model_in, 0, "YMean"));
  const double* F = mxGetPr(Y);
  if (mn <= 64 && nt <= 256) {
    for (std::size_t q = 0; q < mc; ++q) {
      for (std::size_t i = 0; i < nt; ++i) {
        const direct_sum s = kernel_sum(Xs.data() + i * md, X.data(), mn, md, w.data(), A.data() + q * mn);
        if (!s.comparable) continue;
        const double got = F[q * nt + i];
        require(close_to(got - y_mean[q], s, std::fabs(got) + std::fabs(y_mean[q]), 1e-12),
                "Ypred differs from the kernel sum built directly", r);
      }
    }
  }
  if (!deviations) return;

  // The deviations: finite, every output's the same; the latent variance within [0, a] up
  // to rounding, and the observation's the noise variance above it; where the exact method
  // met its tolerance, each against a - k' (K + ridge I)^-1 k from a dense solve.
  const double ridge = element_of(mxGetField(model_in, 0, "Ridge"), 0);
  const double a = w[md];
  const mxArray* Ysd = r.outputs[3];
  require(mxGetM(Ysd) == nt && mxGetN(Ysd) == mc, "Ysd is not m x c", r);
  const double* sd = mxGetPr(Ysd);
  const double samples = static_cast<double>(mn);
  const double terms = approximate ? 3.0 * a : a + 2.0 * samples * a * (a / ridge);
  const double above = 16.0 * (samples + 2.0) * DBL_EPSILON * terms;
  // The variance itself overflows only where the amplitude (and the noise variance, for
  // an observation) reach the top of double precision: its square root is then Inf.
  const bool may_overflow = !(a + above + (options.curve ? 0.0 : ridge) < DBL_MAX);
  // Each output's deviation is its YScale times the one they share (the variances below
  // are the shared one's, the first output's over its scale).
  const std::vector<double> scales = output_scales(model_in, mc);
  std::vector<double> latent(nt);
  for (std::size_t i = 0; i < nt; ++i) {
    const double shared = sd[i] / scales[0];
    for (std::size_t q = 1; q < mc; ++q) {
      const double expected = scales[q] * shared;  // Inf where the scaled one overflows
      require(std::isinf(expected) ? !(sd[q * nt + i] < 0x1p1023)
                                   : std::fabs(sd[q * nt + i] - expected) <= 4.0 * DBL_EPSILON * sd[q * nt + i],
              "an output's Ysd is not its YScale times the shared one", r);
    }
    if (std::isinf(sd[i]) && may_overflow) {
      latent[i] = NaN;
      continue;
    }
    require(std::isfinite(sd[i]) && sd[i] >= 0, "a deviation is not finite", r);
    // Above 0 where the amplitude's rounding floor does not underflow, or the noise is in it.
    if (!options.curve || a >= 0x1p-1000) require(sd[i] > 0, "a deviation is not above 0", r);
    const double v = shared * shared;
    latent[i] = options.curve ? v : v - ridge;
    const double rounding = 4.0 * DBL_EPSILON * v;
    require(latent[i] >= -rounding, "a variance is negative", r);
    require(latent[i] <= a + above + rounding, "a variance is above the amplitude", r);
  }
  if (!approximate && converged && mn <= 40 && nt <= 64) {
    const variance_reference ref = factor_directly(X.data(), mn, md, w.data(), ridge);
    for (std::size_t i = 0; i < nt; ++i) {
      const direct_variance direct = variance_directly(ref, Xs.data() + i * md, 1e-10);
      if (!direct.comparable || std::isnan(latent[i])) continue;
      require(std::fabs(latent[i] - direct.value) <= direct.bound + 8.0 * DBL_EPSILON * (latent[i] + ridge) + 1e-300,
              "a variance differs from a - k' (K + ridge I)^-1 k built directly", r);
    }
  }
  // The factor built in the call, where asked for (the model has none): a struct of Pivots
  // (r x 1, distinct training samples), Factor and Chol (r x r, upper triangular, positive
  // diagonals), LeftOut, the model's Weights and Ridge; [] only where none was built.
  if (r.outputs.size() > 5) {
    const mxArray* cache = r.outputs[5];
    require(mxGetClassID(cache) == mxSTRUCT_CLASS && mxGetNumberOfElements(cache) == 1,
            "the sixth output is not the cache struct", r);
    const mxArray* pivots = mxGetField(cache, 0, "Pivots");
    const mxArray* factor = mxGetField(cache, 0, "Factor");
    const mxArray* chol = mxGetField(cache, 0, "Chol");
    require(pivots && factor && chol && mxGetField(cache, 0, "LeftOut") && mxGetField(cache, 0, "Weights") &&
                mxGetField(cache, 0, "Ridge"),
            "the cache lacks a field", r);
    const std::size_t rank = mxGetNumberOfElements(pivots);
    require(rank <= mn && mxGetM(factor) == rank && mxGetN(factor) == rank && mxGetM(chol) == rank &&
                mxGetN(chol) == rank,
            "the cache's triangles are not r x r", r);
    std::vector<bool> seen(mn, false);
    for (std::size_t t = 0; t < rank; ++t) {
      const double p = mxGetPr(pivots)[t];
      require(p >= 1 && p <= static_cast<double>(mn) && p == std::floor(p) && !seen[static_cast<std::size_t>(p) - 1],
              "a pivot is not a distinct training sample", r);
      seen[static_cast<std::size_t>(p) - 1] = true;
      require(mxGetPr(factor)[t * rank + t] > 0 && mxGetPr(chol)[t * rank + t] > 0,
              "a cache triangle's diagonal is not positive", r);
      for (std::size_t u = t + 1; u < rank; ++u) {
        require(mxGetPr(factor)[t * rank + u] == 0 && mxGetPr(chol)[t * rank + u] == 0,
                "a cache triangle is not upper triangular", r);
      }
    }
    require(element_of(mxGetField(cache, 0, "Ridge"), 0) == ridge &&
                elements_of(mxGetField(cache, 0, "Weights")) == w,
            "the cache is not stamped with the model's Weights and Ridge", r);
  }
  if (r.outputs.size() < 5) return;

  // The intervals: Ypred -/+ z Ysd, z the same for every row, erf(z / sqrt(2)) = 1 - Alpha.
  const mxArray* Yint = r.outputs[4];
  require(mxGetM(Yint) == nt && mxGetNumberOfElements(Yint) == 2 * nt * mc &&
              (mc == 1 ? mxGetNumberOfDimensions(Yint) == 2 : mxGetNumberOfDimensions(Yint) == 3),
          "Yint is not m x 2 x c", r);
  const double* bounds = mxGetPr(Yint);
  // z as each row shows it, (upper - Ypred) / Ysd, to within the rounding of the bounds
  // (relative to Ypred and the half-width); the best-resolved row's is compared with Alpha.
  double best_z = NaN, best_error = Inf;
  for (std::size_t q = 0; q < mc; ++q) {
    for (std::size_t i = 0; i < nt; ++i) {
      const double y = F[q * nt + i], lower = bounds[2 * q * nt + i], upper = bounds[(2 * q + 1) * nt + i];
      const double sd_q = sd[q * nt + i];
      if (std::isnan(latent[i])) continue;  // an infinite deviation
      const double half = upper - y;
      if (!std::isfinite(half) || !std::isfinite(lower)) {
        // z is finite for every Alpha in (0, 1) (at most 38.5): only bounds that overflow
        // past Ypred are infinite.
        require(!(std::fabs(y) + 40.0 * sd_q < DBL_MAX), "an interval is infinite for an Alpha it is not", r);
        continue;
      }
      require(std::fabs((y - lower) - half) <= 4.0 * DBL_EPSILON * (std::fabs(y) + half), "an interval is not symmetric", r);
      if (sd_q == 0) {
        require(half == 0 && lower == y, "an interval of a zero deviation is not a point", r);
        continue;
      }
      const double z = half / sd_q, error = 4.0 * DBL_EPSILON * (std::fabs(y) + half) / sd_q;
      if (!std::isnan(best_z)) {
        require(std::fabs(z - best_z) <= error + best_error + 1e-14 * z, "the intervals' z differs between rows", r);
      }
      if (error < best_error) {
        best_z = z;
        best_error = error;
      }
    }
  }
  if (!std::isnan(best_z) && best_z < 30) {
    // erfc(z / sqrt(2)) = Alpha, to within z's error times erfc's slope and erfc's rounding.
    const double slope = 0.7978845608028654 /* sqrt(2 / pi) */ * std::exp(-best_z * best_z / 2.0);
    require(std::fabs(std::erfc(best_z / std::sqrt(2.0)) - options.alpha) <=
                2.0 * slope * (best_error + 1e-14 * best_z) + 1e-13 * options.alpha + 1e-300,
            "the intervals do not hold 1 - Alpha", r);
  }
}

// ---- The learner's module: krr_fit ----

// krrfit's options, each with the kinds of value the learner takes for it (fit_options.cpp):
// the decoder gives mostly values of that kind, in and around their ranges.
enum class fit_kind { whole, unit, bytes, flag, method, auto_flag, positives, positive, bounds, names, block };
struct fit_option {
  const char* name;
  fit_kind kind;
  double low, high;  // whole numbers' range
};
const fit_option FIT_OPTIONS[] = {
    {"LengthScales", fit_kind::positives, 0, 0},   {"Amplitude", fit_kind::positive, 0, 0},
    {"Ridge", fit_kind::positive, 0, 0},           {"Fixed", fit_kind::names, 0, 0},
    {"LengthScaleBounds", fit_kind::bounds, 0, 0}, {"AmplitudeBounds", fit_kind::bounds, 0, 0},
    {"RidgeBounds", fit_kind::bounds, 0, 0},       {"MaxIterations", fit_kind::whole, 0, 1e6},
    {"ScalableIterations", fit_kind::whole, 0, 1e6}, {"Restarts", fit_kind::whole, 0, 1000},
    {"Seed", fit_kind::whole, 0, 4294967295.0},    {"Verbose", fit_kind::flag, 0, 0},
    {"Method", fit_kind::method, 0, 0},            {"DenseLimit", fit_kind::whole, 0, 2147483647.0},
    {"SubsetSize", fit_kind::whole, 2, 2147483647.0}, {"PolishLimit", fit_kind::whole, 0, 2147483647.0},
    {"ExactCheckLimit", fit_kind::whole, 0, 2147483647.0},
    {"ScalableSubsetSize", fit_kind::whole, 2, 2147483647.0},
    {"FinalObjective", fit_kind::auto_flag, 0, 0}, {"Probes", fit_kind::whole, 1, 4096},
    {"PreconditionRank", fit_kind::whole, 0, 1e6}, {"LogDetRank", fit_kind::whole, 0, 1e6},
    {"Standardize", fit_kind::flag, 0, 0},         {"CenterTargets", fit_kind::flag, 0, 0},
    {"Tolerance", fit_kind::unit, 0, 0},           {"BlockSize", fit_kind::block, 1, 2147483647.0},
    {"CacheBytes", fit_kind::bytes, 0, 0}};
constexpr std::size_t FIT_OPTION_COUNT = sizeof FIT_OPTIONS / sizeof FIT_OPTIONS[0];

mxArray* logical_array(std::size_t count, FuzzedDataProvider& fdp) {
  mxArray* a = test_host::make_array(mxLOGICAL_CLASS, {1, count});
  for (std::size_t i = 0; i < count; ++i) test_host::set_element(a, i, fdp.ConsumeBool() ? 1.0 : 0.0);
  return a;
}

mxArray* cell_of_words(const std::vector<const char*>& words) {
  mxArray* cell = mxCreateCellMatrix(1, words.size());
  for (std::size_t i = 0; i < words.size(); ++i) mxSetCell(cell, i, mxCreateString(words[i]));
  return cell;
}

// A value for option o on d features: mostly of its kind, usually small so that the fit
// stays short (few iterations, restarts and probes), sometimes at or beyond its range's
// ends, a word, or any array.
mxArray* fit_option_value(FuzzedDataProvider& fdp, value_source& values, const fit_option& o, std::size_t d) {
  const int form = fdp.ConsumeIntegralInRange<int>(0, 15);
  if (form == 0) return any_array(fdp, values);
  if (form == 1) return scalar_argument(fdp, values, pick(fdp, EDGE_VALUES));
  const char* words[] = {"auto", "dense", "scalable", "on", "off", "LengthScales", "Amplitude", "Ridge", "Noise", ""};
  if (form == 2) return mxCreateString(words[fdp.ConsumeIntegralInRange<int>(0, 9)]);
  const bool edge = form == 3;
  switch (o.kind) {
    case fit_kind::whole:
    case fit_kind::block: {
      if (o.kind == fit_kind::block && fdp.ConsumeIntegralInRange<int>(0, 3) == 0) {
        return test_host::make_array(mxDOUBLE_CLASS, {0, 0});  // the default
      }
      const double small[] = {0, 1, 2, 3, 5, 8};
      double v = std::max(o.low, pick(fdp, small));
      if (edge) v = setting_entry(fdp, {o.low, o.high, true}, v);
      return scalar_argument(fdp, values, v);
    }
    case fit_kind::unit: {
      const double tols[] = {1e-8, 1e-4, 1e-2, 0.5, 0.0, 1.0, -1e-3};
      return scalar_argument(fdp, values, pick(fdp, tols));
    }
    case fit_kind::bytes: {
      const double bytes[] = {Inf, 0, 1e3, 1e6, -1, NaN};
      return scalar_argument(fdp, values, pick(fdp, bytes));
    }
    case fit_kind::flag:
    case fit_kind::auto_flag: {
      const int f = fdp.ConsumeIntegralInRange<int>(0, 5);
      if (f == 0) return mxCreateString(fdp.ConsumeBool() ? "on" : "OFF");
      if (f == 1 && o.kind == fit_kind::auto_flag) return mxCreateString("auto");
      if (f == 2) return test_host::make_scalar(fdp.ConsumeIntegralInRange<int>(0, 2));
      return logical_array(1, fdp);
    }
    case fit_kind::method: {
      const char* methods[] = {"auto", "dense", "Scalable", "DENSE", "exact"};
      return mxCreateString(methods[fdp.ConsumeIntegralInRange<int>(0, 4)]);
    }
    case fit_kind::positives:
    case fit_kind::positive: {
      const std::size_t count = o.kind == fit_kind::positives && fdp.ConsumeBool() ? count_near(fdp, d) : 1;
      mxArray* a = test_host::make_array(mxDOUBLE_CLASS, {1, count});
      const double scales[] = {0.3, 1, 3, 0.01, 100, 1e-3};
      for (std::size_t i = 0; i < count; ++i) {
        test_host::set_element(a, i, edge ? values.next() : pick(fdp, scales));
      }
      return a;
    }
    case fit_kind::bounds: {
      const double ends[][2] = {{1e-3, 1e3}, {0.5, 2}, {1, 1}, {2, 1}, {0, 1}, {1e-2, Inf}};
      const auto& e = ends[fdp.ConsumeIntegralInRange<int>(0, 5)];
      return test_host::make_matrix(1, 2, {e[0], e[1]});
    }
    case fit_kind::names: {
      const int f = fdp.ConsumeIntegralInRange<int>(0, 3);
      if (f == 0) return logical_array(count_near(fdp, d + 2), fdp);
      if (f == 1) return mxCreateString(words[5 + fdp.ConsumeIntegralInRange<int>(0, 3)]);
      std::vector<const char*> names;
      const std::size_t count = fdp.ConsumeIntegralInRange<std::size_t>(0, 3);
      for (std::size_t i = 0; i < count; ++i) names.push_back(words[5 + fdp.ConsumeIntegralInRange<int>(0, 3)]);
      return cell_of_words(names);
    }
  }
  return test_host::make_scalar(0);
}

// A text output: a char row.
bool is_text(const mxArray* a) {
  std::string s;
  return a && text_row(a, s);
}

bool one_of(const mxArray* a, const std::vector<std::string>& words) {
  std::string s;
  if (!a || !text_row(a, s)) return false;
  return std::find(words.begin(), words.end(), s) != words.end();
}

// krr_fit: X n x d, Y n x c, then krrfit's options by name; the learner's refusals and
// failures come back as data, never as the module's errors.
void fuzz_krr_fit(FuzzedDataProvider& fdp) {
  value_source values(fdp);
  const std::size_t n = fdp.ConsumeIntegralInRange<std::size_t>(0, 40);
  const std::size_t d = fdp.ConsumeIntegralInRange<std::size_t>(0, 4);
  const std::size_t c = fdp.ConsumeIntegralInRange<int>(0, 7) == 0 ? decode_columns(fdp, n) : 1;
  std::vector<const mxArray*> in;
  in.push_back(fdp.ConsumeIntegralInRange<int>(0, 15) == 0 ? any_array(fdp, values) : matrix_argument(fdp, values, n, d));
  in.push_back(matrix_argument(fdp, values, n, c));
  // Verbose off at first, unless the decoder turns it on again below; then the options.
  const bool quiet = fdp.ConsumeIntegralInRange<int>(0, 7) != 0;
  if (quiet) {
    in.push_back(mxCreateString("Verbose"));
    in.push_back(test_host::make_array(mxLOGICAL_CLASS, {1, 1}));  // false
  }
  const std::size_t count = fdp.ConsumeIntegralInRange<std::size_t>(0, 6);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t which = fdp.ConsumeIntegralInRange<std::size_t>(0, FIT_OPTION_COUNT);
    if (which == FIT_OPTION_COUNT) {  // an unknown name, or one that is not a string
      in.push_back(fdp.ConsumeBool() ? mxCreateString("Probe") : any_array(fdp, values));
      in.push_back(test_host::make_scalar(1));
      continue;
    }
    in.push_back(mxCreateString(spelt(fdp, FIT_OPTIONS[which].name).c_str()));
    in.push_back(fit_option_value(fdp, values, FIT_OPTIONS[which], d));
  }
  if (fdp.ConsumeIntegralInRange<int>(0, 15) == 0) in.push_back(mxCreateString("Seed"));  // no value

  const int nlhs = decode_counts(fdp, values, in, 3);
  const int nrhs = static_cast<int>(in.size());
  const long interrupt_after = decode_interrupt(fdp, n, 1);
  const std::size_t limit = limit_around_outputs(fdp, {8 * n * c, 8 * n * d, 8 * (d + 1), 8 * n, 8 * n});

  // The module refuses only calls krrfit never makes: counts, and X and Y as arrays.
  bool valid = nrhs >= 2 && nlhs <= 3;
  if (valid) {
    valid = real_double_matrix(in[0]) && real_double_matrix(in[1]) && mxGetM(in[1]) == mxGetM(in[0]) &&
            mxGetM(in[0]) <= 2147483647u && mxGetN(in[0]) <= 2147483647u;
  }
  // Printing: none where the last pair naming Verbose sets it off as given above.
  bool silent = false;
  for (std::size_t a = 2; a + 1 < in.size(); a += 2) {
    std::string name;
    if (text_row(in[a], name) && lower_case(name) == "verbose") silent = a == 2 && quiet;
  }

  describe_call(nlhs, in, interrupt_after, limit, 0);
  test_host::set_allocation_limit(limit ? limit : MAX_REQUEST);
  test_host::set_interrupt_after(interrupt_after);
  test_host::call_result r = test_host::call("krr_fit", krr_fit_mex_function, nlhs, in);
  test_host::set_allocation_limit(0);

  const std::string id = check_ending(r, "krr_fit", valid);
  require(r.warnings.empty(), "krr_fit warned through the host", r);
  if (r.how == test_host::ending::host_out_of_memory) {
    require(limit != 0, "the host ran out of memory without a limit", r);
  }
  if (id == "interrupted") {
    require(r.interrupt_still_pending, "the interrupt was not left to the host", r);
  }
  require(id == "" || is_refusal(id) || id == "outOfMemory" || id == "interrupted",
          "an unexpected error identifier", r);
  if (silent) require(r.printed.empty(), "printed with Verbose off", r);
  if (r.how != test_host::ending::returned) return;

  // A returned call: the model or nothing, the warnings and the failure as documented.
  for (mxArray* out : r.outputs) require(out != nullptr, "an output slot was left empty", r);
  const mxArray* model = r.outputs[0];
  const bool fitted = mxGetNumberOfElements(model) != 0;
  if (r.outputs.size() >= 2) {
    const mxArray* w = r.outputs[1];
    require(mxIsCell(w) && mxGetNumberOfDimensions(w) == 2 && mxGetN(w) == 2,
            "warnings is not a k x 2 cell", r);
    for (std::size_t i = 0; i < mxGetM(w); ++i) {
      require(one_of(mxGetCell(w, i), {"atBound", "iterationLimit", "startMoved", "notConverged"}),
              "a warning's code is not one of krrfit's", r);
      require(is_text(mxGetCell(w, mxGetM(w) + i)), "a warning's message is not text", r);
    }
  }
  if (r.outputs.size() >= 3) {
    const mxArray* failure = r.outputs[2];
    require(mxIsCell(failure), "failure is not a cell", r);
    if (fitted) {
      require(mxGetNumberOfElements(failure) == 0, "a model and a failure", r);
    } else {
      require(mxGetM(failure) == 1 && mxGetN(failure) == 2, "no model and no 1 x 2 failure", r);
      require(one_of(mxGetCell(failure, 0), {"invalidInput", "outOfMemory", "notPositiveDefinite",
                                             "notConverged", "notFiniteStart"}),
              "the failure's code is not one of krrfit's", r);
      require(is_text(mxGetCell(failure, 1)), "the failure's message is not text", r);
    }
  }
  if (!fitted) {
    require(mxIsDouble(model) && mxGetM(model) == 0 && mxGetN(model) == 0, "no model, and not []", r);
    return;
  }
  // The model struct: its fields in the documented order, of the data's sizes.
  const std::vector<const char*> fields = {"FormatVersion", "LengthScales", "Relevance", "Amplitude", "Ridge",
                                           "LogMarginalLikelihood", "LogMarginalLikelihoodError", "History",
                                           "Seconds", "Method", "Threads", "FinalPasses", "Alpha", "X",
                                           "Weights", "Mu", "Sigma", "YMean", "YScale", "Kernel",
                                           "KernelObjectives"};
  require_fields(model, fields, r);
  // The decoder never names a kernel: the Gaussian, named, no candidates' objectives.
  const mxArray* kernel = mxGetField(model, 0, "Kernel");
  require(kernel && mxIsChar(kernel), "model.Kernel is not text", r);
  char* kernel_name = mxArrayToString(kernel);
  require(kernel_name && std::strcmp(kernel_name, "squaredexponential") == 0,
          "model.Kernel is not 'squaredexponential'", r);
  mxFree(kernel_name);
  require(mxGetNumberOfElements(mxGetField(model, 0, "KernelObjectives")) == 0,
          "model.KernelObjectives is not empty", r);
  const std::size_t rows = mxGetM(in[0]), features = mxGetN(in[0]), outputs = mxGetN(in[1]);
  auto shaped = [&](const char* name, std::size_t m, std::size_t k) {
    const mxArray* v = mxGetField(model, 0, name);
    require(v && mxIsDouble(v) && mxGetM(v) == m && mxGetN(v) == k, std::string("model.") + name + " is not of its size", r);
    return mxGetPr(v);
  };
  const double* alpha = shaped("Alpha", rows, outputs);
  shaped("X", features, rows);
  const double* weights = shaped("Weights", 1, features + 1);
  shaped("LengthScales", 1, features);
  const double* relevance = shaped("Relevance", 1, features);
  shaped("Mu", 1, features);
  shaped("Sigma", 1, features);
  shaped("YMean", 1, outputs);
  const double* y_scale = shaped("YScale", 1, outputs);
  for (std::size_t q = 0; q < outputs; ++q) {
    require(y_scale[q] > 0 && std::isfinite(y_scale[q]) && (outputs > 1 || y_scale[q] == 1.0),
            "a YScale is not positive and finite, or not 1 for one output", r);
  }
  require(is_text(mxGetField(model, 0, "Method")), "model.Method is not text", r);
  const double amplitude = info_field(model, "Amplitude", r), ridge = info_field(model, "Ridge", r);
  require(amplitude > 0 && std::isfinite(amplitude) && ridge > 0 && std::isfinite(ridge),
          "the amplitude or the ridge is not positive and finite", r);
  require(weights[features] == amplitude, "the last weight is not the amplitude", r);
  double most = 0.0;
  for (std::size_t l = 0; l < features; ++l) {
    require(relevance[l] >= 0 && relevance[l] <= 1, "a relevance outside [0, 1]", r);
    most = std::max(most, relevance[l]);
  }
  if (features > 0) require(most == 1.0, "the largest relevance is not 1", r);
  require(all_finite(alpha, rows * outputs), "a fitted model with non-finite Alpha", r);
}

// Every fuzzed module by name; FUZZ_MODULE picks the one a fuzzer drives.
struct fuzz_target {
  const char* module;
  void (*fuzz_one)(FuzzedDataProvider&);
};

const fuzz_target TARGETS[] = {{"tarvel", fuzz_tarvel},       {"quorril", fuzz_quorril},
                               {"krr_solve", fuzz_krr_solve}, {"krr_lml", fuzz_krr_lml},
                               {"krr_predict", fuzz_krr_predict}, {"krr_fit", fuzz_krr_fit}};

#define FUZZ_NAME_TEXT(name) #name
#define FUZZ_NAME(name) FUZZ_NAME_TEXT(name)

const fuzz_target* selected_target() {
  for (const fuzz_target& t : TARGETS) {
    if (std::strcmp(t.module, FUZZ_NAME(FUZZ_MODULE)) == 0) return &t;
  }
  return nullptr;
}

}  // namespace

namespace {
const fuzz_target* target = nullptr;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  target = selected_target();
  if (!target) {
    std::fprintf(stderr, "no fuzz target for the module %s\n", FUZZ_NAME(FUZZ_MODULE));
    std::exit(2);
  }
#if !defined(FUZZ_ASAN)
  // Without the sanitizer allocator's request limit (the coverage build), a limit on the
  // address space makes requests for many GiB fail as they fail under the sanitizer,
  // rather than succeed lazily and run for hours.
  const rlim_t bytes = rlim_t(8) << 30;
  const struct rlimit limit = {bytes, bytes};
  setrlimit(RLIMIT_AS, &limit);
#endif
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider fdp(data, size);
  target->fuzz_one(fdp);
  // Outputs of the call and every input: nothing else may be live.
  test_host::destroy_all();
  return 0;
}
