// Argument validators shared by both modules.
#include "core/exact_arithmetic.h"

#include "modules/host/argument_checks.h"

#include <cmath>
#include <cstdint>
#include <cstdio>

namespace host {

namespace {

// "complex double", "sparse double", "int32", "cell", ... for messages.
void describe(const mxArray* a, char* out, std::size_t size) {
  const char* sparse = mxIsSparse(a) ? "sparse " : "";
  const char* complex = mxIsComplex(a) ? "complex " : "";
  std::snprintf(out, size, "%s%s%s", sparse, complex, mxGetClassName(a));
}

}  // namespace

const char* show(double v, char (&buffer)[32]) {
  if (std::isnan(v)) {
    std::snprintf(buffer, sizeof buffer, "NaN");
  } else if (std::isinf(v)) {
    std::snprintf(buffer, sizeof buffer, v > 0 ? "Inf" : "-Inf");
  } else {
    std::snprintf(buffer, sizeof buffer, "%g", v);
  }
  return buffer;
}

bool check_input_count(int nrhs, int expected, const char* fn, call_failure& failure) {
  if (nrhs == expected) return true;
  fail(failure, fn, "nargin", "expected %d inputs, got %d", expected, nrhs);
  return false;
}

bool check_output_count(int nlhs, int most, const char* fn, call_failure& failure) {
  if (nlhs <= most) return true;
  fail(failure, fn, "nargout", "at most %d output%s, %d requested", most, most == 1 ? "" : "s",
       nlhs);
  return false;
}

bool check_real_double_array(const mxArray* a, const char* fn, const char* name,
                             call_failure& failure) {
  if (mxIsDouble(a) && !mxIsComplex(a) && !mxIsSparse(a)) return true;
  char got[96];
  describe(a, got, sizeof got);
  fail(failure, fn, "invalidInput", "%s must be a real, full double array, got %s", name, got);
  return false;
}

bool check_two_dimensional(const mxArray* a, const char* fn, const char* name,
                           call_failure& failure) {
  const std::size_t dims = mxGetNumberOfDimensions(a);
  if (dims <= 2) return true;
  fail(failure, fn, "invalidInput", "%s must be a matrix, got a %zu-dimensional array", name,
       dims);
  return false;
}

bool check_min_elements(const mxArray* a, std::size_t needed, const char* reason,
                        const char* fn, const char* name, call_failure& failure) {
  const std::size_t have = mxGetNumberOfElements(a);
  if (have >= needed) return true;
  fail(failure, fn, "invalidInput", "%s must have at least %zu elements (%s), got %zu", name,
       needed, reason, have);
  return false;
}

bool check_weight_count(const mxArray* w, std::size_t d, std::size_t n, const char* fn,
                        call_failure& failure) {
  const std::size_t have = mxGetNumberOfElements(w);
  if (have >= d + 1) return true;
  if (have == n + 1) {
    fail(failure, fn, "invalidInput",
         "w must have at least %zu elements (one weight per row of X, then the amplitude), got "
         "%zu: one per column of X. X has %zu rows and %zu columns; if its rows are the "
         "samples, pass X' (one sample per column)",
         d + 1, have, d, n);
    return false;
  }
  return check_min_elements(w, d + 1, "one weight per row of X, then the amplitude", fn, "w",
                            failure);
}

bool check_count_fits_int32(std::size_t count, const char* what, const char* fn,
                            const char* name, call_failure& failure) {
  if (count <= static_cast<std::size_t>(INT32_MAX)) return true;
  fail(failure, fn, "invalidInput", "%s has %zu %s; at most %d are supported", name, count,
       what, INT32_MAX);
  return false;
}

bool check_all_finite(const double* v, std::size_t count, const char* fn, const char* name,
                      call_failure& failure) {
  for (std::size_t i = 0; i < count; ++i) {
    if (!std::isfinite(v[i])) {
      char shown[32];
      fail(failure, fn, "invalidInput", "%s must be finite, but element %zu is %s", name,
           i + 1, show(v[i], shown));
      return false;
    }
  }
  return true;
}

bool check_all_nonnegative(const double* v, std::size_t count, const char* fn,
                           const char* name, call_failure& failure) {
  for (std::size_t i = 0; i < count; ++i) {
    if (!(v[i] >= 0.0)) {
      char shown[32];
      fail(failure, fn, "invalidInput", "%s must be nonnegative, but element %zu is %s",
           name, i + 1, show(v[i], shown));
      return false;
    }
  }
  return true;
}

bool check_samples_and_weights(const mxArray* X, const mxArray* w, const char* fn,
                               std::size_t& d, std::size_t& n, call_failure& failure) {
  if (!check_real_double_array(X, fn, "X", failure) || !check_two_dimensional(X, fn, "X", failure)) {
    return false;
  }
  d = mxGetM(X);
  n = mxGetN(X);
  if (n < 1) {
    fail(failure, fn, "invalidInput", "X must have at least one column (one sample per column)");
    return false;
  }
  return check_count_fits_int32(n, "columns", fn, "X", failure) &&
         check_count_fits_int32(d, "rows", fn, "X", failure) &&
         check_all_finite(mxGetPr(X), d * n, fn, "X", failure) &&
         check_real_double_array(w, fn, "w", failure) &&
         check_weight_count(w, d, n, fn, failure) &&
         check_all_finite(mxGetPr(w), d + 1, fn, "w", failure) &&
         check_all_nonnegative(mxGetPr(w), d + 1, fn, "w", failure);
}

bool check_finite_matrix(const mxArray* a, std::size_t n, const char* rows, const char* fn,
                         const char* name, call_failure& failure) {
  if (!check_real_double_array(a, fn, name, failure) || !check_two_dimensional(a, fn, name, failure)) {
    return false;
  }
  if (mxGetM(a) != n || mxGetN(a) < 1) {
    fail(failure, fn, "invalidInput", "%s must be %zu x c with c >= 1 (one row per %s), got %zu x %zu",
         name, n, rows, static_cast<std::size_t>(mxGetM(a)), static_cast<std::size_t>(mxGetN(a)));
    return false;
  }
  return check_all_finite(mxGetPr(a), n * mxGetN(a), fn, name, failure);
}

bool read_real_scalar(const mxArray* a, const char* fn, const char* name, double* value,
                      call_failure& failure) {
  if (mxIsNumeric(a) && !mxIsComplex(a) && !mxIsSparse(a) && mxGetNumberOfElements(a) == 1) {
    *value = mxGetScalar(a);
    return true;
  }
  char got[96];
  if (mxIsNumeric(a) && !mxIsComplex(a) && !mxIsSparse(a)) {
    std::snprintf(got, sizeof got, "%zu elements",
                  static_cast<std::size_t>(mxGetNumberOfElements(a)));
  } else {
    describe(a, got, sizeof got);
  }
  fail(failure, fn, "invalidInput", "%s must be a real numeric scalar, got %s", name, got);
  return false;
}

bool check_warm_start(const mxArray* V0, std::size_t n, std::size_t columns,
                      const char* columns_are, const char* fn, call_failure& failure) {
  if (mxGetNumberOfElements(V0) == 0) return true;
  if (!check_finite_matrix(V0, n, "column of X", fn, "V0", failure)) return false;
  if (mxGetN(V0) == columns) return true;
  fail(failure, fn, "invalidInput", "V0 must have %zu columns (%s), got %zu", columns,
       columns_are, static_cast<std::size_t>(mxGetN(V0)));
  return false;
}

bool check_block_size(double k, const char* name, std::size_t n, const char* fn,
                      call_failure& failure) {
  if (k <= static_cast<double>(n)) return true;
  fail(failure, fn, "invalidInput", "%s must be at most n = %zu (the columns of X), got %.0f", name, n, k);
  return false;
}

bool check_ridge(double ridge, bool positive, const char* fn, call_failure& failure) {
  if (std::isfinite(ridge) && (positive ? ridge > 0.0 : ridge >= 0.0)) return true;
  char shown[32];
  fail(failure, fn, "invalidInput", "ridge must be finite and %s, got %s",
       positive ? "positive" : "nonnegative", show(ridge, shown));
  return false;
}

}  // namespace host
