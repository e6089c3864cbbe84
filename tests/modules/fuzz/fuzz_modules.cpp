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
//   - a returned call has outputs of the documented sizes, the report lines, and
//     results that agree with the kernel built directly.
// Sanitizer reports and leaks end the run through libFuzzer. Built twice: FUZZ_TARVEL
// selects the training module, otherwise the prediction module.
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
// give the bytes asked for. Returns the error identifier's suffix as check_messages.
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

#if defined(FUZZ_TARVEL)

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
void fuzz_one(FuzzedDataProvider& fdp) {
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

#else

// quorril: Xtest d x nt, X d x n, w, alpha.
void fuzz_one(FuzzedDataProvider& fdp) {
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

#endif

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
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
  fuzz_one(fdp);
  // Outputs of the call and every input: nothing else may be live.
  test_host::destroy_all();
  return 0;
}
