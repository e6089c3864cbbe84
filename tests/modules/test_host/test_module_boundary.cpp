// Every module's mexFunction (tarvel and quorril, and the internal krr_solve, krr_lml,
// krr_memory, and krr_fit and krr_predict that krrfit and krrpredict call) driven through the test host
// (built with AddressSanitizer and UndefinedBehaviorSanitizer where the compiler has them):
// refusals with the module's identifier and nothing left behind, output slots of every
// count, the interrupt, the warnings, allocation failures of the host and of the module's
// own storage, and the test host's own checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "test_host.h"

#if defined(__SANITIZE_ADDRESS__)
#define BOUNDARY_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BOUNDARY_ASAN 1
#endif
#endif

#if defined(BOUNDARY_ASAN)
// A failed allocation is an outcome the modules must handle, not a crash; and any single
// request above 128 MiB fails, so the modules' own out-of-memory paths can be reached
// without the machine's memory.
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1:max_allocation_size_mb=128";
}
#endif

namespace {

using test_host::call_result;
using test_host::ending;

const double NaN = std::numeric_limits<double>::quiet_NaN();
const double Inf = std::numeric_limits<double>::infinity();

// An option of krr_solve or krr_lml by name: a real double scalar, or a word where word is set.
struct option {
  const char* name;
  double value;
  const char* word = nullptr;
};

// The name-value pairs of options, in their order.
std::vector<const mxArray*> pairs(const std::vector<option>& options) {
  std::vector<const mxArray*> in;
  for (const option& o : options) {
    in.push_back(mxCreateString(o.name));
    in.push_back(o.word ? mxCreateString(o.word) : test_host::make_scalar(o.value));
  }
  return in;
}

class ModuleBoundary : public ::testing::Test {
 protected:
  void TearDown() override {
    test_host::set_allocation_limit(0);
    test_host::destroy_all();
  }

  // X: d x n with entries from a fixed pattern; y and w to match.
  std::vector<const mxArray*> training_inputs(std::size_t d, std::size_t n, double ridge,
                                              double tol, double k, double cache) {
    std::vector<double> X(d * n), y(n), w(d + 1);
    for (std::size_t i = 0; i < X.size(); ++i) X[i] = std::fmod(0.37 * i, 1.0);
    for (std::size_t j = 0; j < n; ++j) y[j] = std::sin(1.3 * j);
    for (std::size_t l = 0; l <= d; ++l) w[l] = 0.5 + l;
    return {test_host::make_matrix(d, n, X), test_host::make_matrix(n, 1, y),
            test_host::make_matrix(1, d + 1, w), test_host::make_scalar(ridge),
            test_host::make_scalar(tol), test_host::make_scalar(k),
            test_host::make_scalar(cache)};
  }

  // krr_solve's and krr_lml's inputs: X d x n from the pattern above, n x c right-hand
  // sides, w, ridge, V0 (empty or n x v0_columns of 0.25), then the options by name.
  std::vector<const mxArray*> solver_inputs(std::size_t d, std::size_t n, std::size_t c,
                                            double ridge, const std::vector<option>& options,
                                            std::size_t v0_columns = 0) {
    std::vector<double> X(d * n), B(n * c), w(d + 1);
    for (std::size_t i = 0; i < X.size(); ++i) X[i] = std::fmod(0.37 * i, 1.0);
    for (std::size_t i = 0; i < B.size(); ++i) B[i] = std::sin(1.3 * i) + 0.1 * (i / n);
    for (std::size_t l = 0; l <= d; ++l) w[l] = 0.5 + l;
    std::vector<const mxArray*> in = {
        test_host::make_matrix(d, n, X), test_host::make_matrix(n, c, B),
        test_host::make_matrix(1, d + 1, w), test_host::make_scalar(ridge),
        test_host::make_matrix(v0_columns ? n : 0, v0_columns, std::vector<double>(n * v0_columns, 0.25))};
    const std::vector<const mxArray*> named = pairs(options);
    in.insert(in.end(), named.begin(), named.end());
    return in;
  }

  // krr_predict's inputs: a model struct as krrfit returns it (X d x n, the standardised
  // samples, from a fixed pattern; Alpha n x c; Weights 0.5, 1.5, ..., the amplitude last;
  // Mu, Sigma and YMean; Ridge; FormatVersion 2), then Xnew nt x d in the original units,
  // then the options. The model's fields are the inputs' first, for the checks to read.
  std::vector<const mxArray*> model_inputs(std::size_t d, std::size_t n, std::size_t nt, std::size_t c,
                                           double ridge, const std::vector<const mxArray*>& options = {}) {
    std::vector<double> X(d * n), A(n * c), w(d + 1), mu(d), sigma(d), y_mean(c), Xn(nt * d);
    for (std::size_t i = 0; i < X.size(); ++i) X[i] = std::fmod(0.37 * i, 1.0);
    for (std::size_t i = 0; i < A.size(); ++i) A[i] = std::cos(0.7 * i);
    for (std::size_t l = 0; l <= d; ++l) w[l] = 0.5 + l;
    for (std::size_t l = 0; l < d; ++l) {
      mu[l] = 0.25 * l;
      sigma[l] = 1.0 + 0.5 * l;
    }
    for (std::size_t q = 0; q < c; ++q) y_mean[q] = 1.0 + q;
    for (std::size_t i = 0; i < nt; ++i)
      for (std::size_t l = 0; l < d; ++l) Xn[l * nt + i] = mu[l] + sigma[l] * std::fmod(0.11 * (i * d + l), 1.0);
    const char* names[] = {"FormatVersion", "X", "Alpha", "Weights", "Mu", "Sigma", "YMean", "Ridge"};
    mxArray* model = mxCreateStructMatrix(1, 1, 8, names);
    mxSetField(model, 0, "FormatVersion", test_host::make_scalar(2));
    mxSetField(model, 0, "X", test_host::make_matrix(d, n, X));
    mxSetField(model, 0, "Alpha", test_host::make_matrix(n, c, A));
    mxSetField(model, 0, "Weights", test_host::make_matrix(1, d + 1, w));
    mxSetField(model, 0, "Mu", test_host::make_matrix(1, d, mu));
    mxSetField(model, 0, "Sigma", test_host::make_matrix(1, d, sigma));
    mxSetField(model, 0, "YMean", test_host::make_matrix(1, c, y_mean));
    mxSetField(model, 0, "Ridge", test_host::make_scalar(ridge));
    std::vector<const mxArray*> in = {model, test_host::make_matrix(nt, d, Xn)};
    in.insert(in.end(), options.begin(), options.end());
    return in;
  }

  std::vector<const mxArray*> prediction_inputs(std::size_t d, std::size_t n, std::size_t nt) {
    std::vector<double> Xt(d * nt), X(d * n), w(d + 1, 1.0), alpha(n, 0.5);
    for (std::size_t i = 0; i < Xt.size(); ++i) Xt[i] = std::fmod(0.11 * i, 1.0);
    for (std::size_t i = 0; i < X.size(); ++i) X[i] = std::fmod(0.29 * i, 1.0);
    return {test_host::make_matrix(d, nt, Xt), test_host::make_matrix(d, n, X),
            test_host::make_matrix(1, d + 1, w), test_host::make_matrix(n, 1, alpha)};
  }
};

call_result train(int nlhs, const std::vector<const mxArray*>& in) {
  return test_host::call("tarvel", tarvel_mex_function, nlhs, in);
}

call_result predict(int nlhs, const std::vector<const mxArray*>& in) {
  return test_host::call("quorril", quorril_mex_function, nlhs, in);
}

// Any module, by name.
call_result call_module(const std::string& module, int nlhs, const std::vector<const mxArray*>& in) {
  const struct {
    const char* name;
    test_host::entry_point entry;
  } entries[] = {{"tarvel", tarvel_mex_function},       {"quorril", quorril_mex_function},
                 {"krr_solve", krr_solve_mex_function}, {"krr_lml", krr_lml_mex_function},
                 {"krr_predict", krr_predict_mex_function}, {"krr_memory", krr_memory_mex_function},
                 {"krr_fit", krr_fit_mex_function}};
  for (const auto& e : entries) {
    if (module == e.name) return test_host::call(e.name, e.entry, nlhs, in);
  }
  throw std::invalid_argument("no module " + module);
}

// Every option of the solves, with block size k.
std::vector<option> solve_options(double k) {
  return {{"Tolerance", 1e-9}, {"BlockSize", k}, {"CacheBytes", Inf}, {"Seed", 7}, {"MaxPasses", 1000}};
}
std::vector<option> lml_options(double k) {
  return {{"Probes", 3},          {"Seed", 5},           {"Tolerance", 1e-8},
          {"BlockSize", k},       {"CacheBytes", Inf},   {"LogDet", 0, "with"},
          {"LanczosSteps", 30},   {"LanczosTolerance", 1e-6}, {"MaxPasses", 1000},
          {"Rank", 0},            {"LogDetRank", 0}};
}
// The options with one of them changed (or added, where none has its name).
std::vector<option> with_option(std::vector<option> options, const option& changed) {
  for (option& o : options) {
    if (std::string(o.name) == changed.name) {
      o = changed;
      return options;
    }
  }
  options.push_back(changed);
  return options;
}

// A result struct's field: its number, and the field's text for the status.
double field(const mxArray* s, const char* name) {
  const mxArray* value = mxGetField(s, 0, name);
  if (!value || !mxIsDouble(value) || mxGetNumberOfElements(value) != 1) {
    throw std::invalid_argument(std::string("no number in the field ") + name);
  }
  return *mxGetPr(value);
}
std::string text_field(const mxArray* s, const char* name) {
  const mxArray* value = mxGetField(s, 0, name);
  char* text = value ? mxArrayToString(value) : nullptr;
  if (!text) throw std::invalid_argument(std::string("no text in the field ") + name);
  const std::string out = text;
  mxFree(text);
  return out;
}
// The fields' names in order.
std::vector<std::string> field_names(const mxArray* s) {
  std::vector<std::string> names;
  for (int i = 0; i < mxGetNumberOfFields(s); ++i) names.push_back(mxGetFieldNameByNumber(s, i));
  return names;
}
const std::vector<std::string> SOLVE_INFO = {"Status", "BlockSteps", "Passes", "Checks", "Replacements",
                                             "CacheColumns", "MembersLeftOut", "Seconds", "Threads",
                                             "ColumnsComputed", "ColumnSeconds"};
const std::vector<std::string> LML_INFO = {"DataFit", "LogDet", "LogDetError", "Status", "BlockSteps",
                                           "Passes", "Checks", "CacheColumns", "Seconds", "SmallPivots",
                                           "Threads", "PassesOverK", "ColumnsComputed", "ColumnSeconds",
                                           "LanczosSteps"};
// What the host allocates for an info struct: the struct itself holds nothing, then each
// field in order, a number 8 bytes and the status 2 bytes a character ('converged').
std::vector<std::size_t> info_bytes(const std::vector<std::string>& fields) {
  std::vector<std::size_t> bytes;
  for (const std::string& f : fields) bytes.push_back(f == "Status" ? 2 * 9 : 8);
  return bytes;
}
// a - k' (K + ridge I)^-1 k at each test sample (Xt d x nt), with a = w(d+1), K and k built
// from the samples' differences and the system solved by a dense Cholesky factorisation.
std::vector<double> direct_variances(const double* Xt, std::size_t nt, const double* X, std::size_t n,
                                     std::size_t d, const double* w, double ridge) {
  auto kernel = [&](const double* a, const double* b) {
    double s = 0;
    for (std::size_t l = 0; l < d; ++l) s += w[l] * (a[l] - b[l]) * (a[l] - b[l]);
    return w[d] * std::exp(-s);
  };
  std::vector<double> L(n * n, 0.0);  // lower, row-major: L L' = K + ridge I
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j <= i; ++j) {
      double s = kernel(X + i * d, X + j * d) + (i == j ? ridge : 0.0);
      for (std::size_t t = 0; t < j; ++t) s -= L[i * n + t] * L[j * n + t];
      L[i * n + j] = i == j ? std::sqrt(s) : s / L[j * n + j];
    }
  }
  std::vector<double> v(nt), y(n);
  for (std::size_t q = 0; q < nt; ++q) {
    double quadratic = 0;  // |L^-1 k|^2 = k' (K + ridge I)^-1 k
    for (std::size_t i = 0; i < n; ++i) {
      double s = kernel(Xt + q * d, X + i * d);
      for (std::size_t t = 0; t < i; ++t) s -= L[i * n + t] * y[t];
      y[i] = s / L[i * n + i];
      quadratic += y[i] * y[i];
    }
    v[q] = w[d] - quadratic;
  }
  return v;
}

// Each row of (K + ridge I) v - b, with K built directly from the samples (d x n).
std::vector<double> residual(const double* X, std::size_t d, std::size_t n, const double* w,
                             double ridge, const double* v, const double* b) {
  std::vector<double> r(n);
  for (std::size_t i = 0; i < n; ++i) {
    double g = ridge * v[i] - b[i];
    for (std::size_t j = 0; j < n; ++j) {
      double s = 0;
      for (std::size_t l = 0; l < d; ++l) {
        const double diff = X[i * d + l] - X[j * d + l];
        s += w[l] * diff * diff;
      }
      g += w[d] * std::exp(-s) * v[j];
    }
    r[i] = g;
  }
  return r;
}

double largest_magnitude(const double* v, std::size_t count) {
  double m = 0;
  for (std::size_t i = 0; i < count; ++i) m = std::max(m, std::fabs(v[i]));
  return m;
}

bool same_bits(const mxArray* a, const mxArray* b) {
  return mxGetM(a) == mxGetM(b) && mxGetN(a) == mxGetN(b) &&
         std::memcmp(mxGetPr(a), mxGetPr(b), mxGetM(a) * mxGetN(a) * sizeof(double)) == 0;
}

// The call was refused by the module with this identifier, its message starts with the
// module's name and contains fragment, and the host saw nothing wrong.
void expect_refusal(const call_result& r, const std::string& module, const std::string& id,
                    const std::string& fragment) {
  EXPECT_TRUE(r.faults.empty()) << test_host::describe_faults(r);
  ASSERT_EQ(r.how, ending::module_error) << "expected " << id;
  EXPECT_EQ(r.error_id, module + ":" + id);
  EXPECT_EQ(r.error_message.rfind(module + ": ", 0), 0u) << r.error_message;
  EXPECT_NE(r.error_message.find(fragment), std::string::npos) << r.error_message;
  EXPECT_TRUE(r.printed.empty());
}

mxArray* typed_scalar(mxClassID cls, double v) {
  mxArray* a = test_host::make_array(cls, {1, 1});
  test_host::set_element(a, 0, v);
  return a;
}

mxArray* text_value(const char* s) { return mxCreateString(s); }

mxArray* flag_value(bool v) { return typed_scalar(mxLOGICAL_CLASS, v ? 1.0 : 0.0); }

// Element i of a cell array of strings, as text.
std::string cell_text(const mxArray* cell, std::size_t i) {
  char* s = mxArrayToString(mxGetCell(cell, i));
  std::string out = s ? s : "";
  mxFree(s);
  return out;
}

// The model's field `name` (of krr_predict's inputs) replaced by value.
void set_model_field(const std::vector<const mxArray*>& in, const char* name, mxArray* value) {
  mxSetField(const_cast<mxArray*>(in[0]), 0, name, value);
}

// The model of model_inputs with the field Kernel added, holding `kernel`.
void add_kernel_field(std::vector<const mxArray*>& in, mxArray* kernel) {
  const char* names[] = {"FormatVersion", "X", "Alpha", "Weights", "Mu", "Sigma", "YMean", "Ridge", "Kernel"};
  mxArray* model = mxCreateStructMatrix(1, 1, 9, names);
  for (int f = 0; f < 8; ++f) {
    const mxArray* v = mxGetField(in[0], 0, names[f]);
    const double* x = mxGetPr(v);
    mxSetField(model, 0, names[f],
               test_host::make_matrix(mxGetM(v), mxGetN(v), std::vector<double>(x, x + mxGetNumberOfElements(v))));
  }
  mxSetField(model, 0, "Kernel", kernel);
  in[0] = model;
}

TEST_F(ModuleBoundary, TrainingRefusalsCarryTheIdentifierAndLeaveNothingBehind) {
  struct bad_argument {
    std::size_t position;
    mxArray* array;
    const char* fragment;
  };
  const std::size_t d = 2, n = 6;
  const std::vector<bad_argument> cases = {
      {0, test_host::make_array(mxSINGLE_CLASS, {d, n}), "X must be a real, full double array, got single"},
      {0, test_host::make_array(mxDOUBLE_CLASS, {d, n}, true), "got complex double"},
      {0, test_host::make_array(mxDOUBLE_CLASS, {d, n}, false, true), "got sparse double"},
      {0, test_host::make_array(mxLOGICAL_CLASS, {d, n}, false, true), "got sparse logical"},
      {0, test_host::make_array(mxCHAR_CLASS, {1, 3}), "got char"},
      {0, test_host::make_array(mxCELL_CLASS, {1, 1}), "got cell"},
      {0, test_host::make_array(mxSTRUCT_CLASS, {1, 1}), "got struct"},
      {0, test_host::make_array(mxFUNCTION_CLASS, {1, 1}), "got function_handle"},
      {0, test_host::make_array(mxDOUBLE_CLASS, {d, n, 2}), "X must be a matrix, got a 3-dimensional array"},
      {0, test_host::make_array(mxDOUBLE_CLASS, {d, 0}), "X must have at least one column"},
      // Empty arrays with more columns than the solver indexes: refused on the count
      // alone, before anything is read or allocated.
      {0, test_host::make_array(mxDOUBLE_CLASS, {0, std::size_t(1) << 31}), "X has 2147483648 columns"},
      {0, test_host::make_array(mxDOUBLE_CLASS, {0, (std::size_t(1) << 31) - 1}),
       "y must have at least 2147483647 elements"},
      {0, test_host::make_array(mxDOUBLE_CLASS, {0, std::size_t(1) << 40, 0}), "X must be a matrix"},
      {1, test_host::make_array(mxDOUBLE_CLASS, {n - 1, 1}), "y must have at least 6 elements (one target per column of X), got 5"},
      {1, test_host::make_array(mxINT8_CLASS, {n, 1}), "y must be a real, full double array, got int8"},
      {2, test_host::make_array(mxDOUBLE_CLASS, {1, d}), "w must have at least 3 elements"},
      {2, test_host::make_array(mxDOUBLE_CLASS, {0, 0}), "w must have at least 3 elements"},
      {3, test_host::make_array(mxDOUBLE_CLASS, {0, 0}), "ridge must be a real numeric scalar, got 0 elements"},
      {3, test_host::make_array(mxDOUBLE_CLASS, {1, 2}), "ridge must be a real numeric scalar, got 2 elements"},
      {3, test_host::make_array(mxLOGICAL_CLASS, {1, 1}), "ridge must be a real numeric scalar, got logical"},
      {3, test_host::make_array(mxDOUBLE_CLASS, {1, 1}, true), "got complex double"},
      {3, test_host::make_array(mxDOUBLE_CLASS, {1, 1}, false, true), "got sparse double"},
      {3, test_host::make_scalar(NaN), "ridge must be finite and nonnegative, got NaN"},
      {3, test_host::make_scalar(-Inf), "ridge must be finite and nonnegative, got -Inf"},
      {4, test_host::make_scalar(0.0), "tol must be positive"},
      {4, test_host::make_scalar(-0.0), "tol must be positive"},
      {4, typed_scalar(mxINT8_CLASS, -3), "tol must be positive"},
      {5, test_host::make_scalar(0.999), "k must be a block size from 1 to n = 6"},
      {5, test_host::make_scalar(7.0), "k must be a block size from 1 to n = 6"},
      {5, typed_scalar(mxUINT64_CLASS, 1e19), "k must be a block size from 1 to n = 6"},
      {5, test_host::make_scalar(NaN), "got NaN"},
      {5, test_host::make_scalar(-Inf), "got -Inf"},
      {6, test_host::make_scalar(NaN), "cache_bytes must be a number of bytes, got NaN"},
      {6, test_host::make_array(mxCELL_CLASS, {1, 1}), "cache_bytes must be a real numeric scalar, got cell"},
  };
  for (const bad_argument& c : cases) {
    SCOPED_TRACE(c.fragment);
    std::vector<const mxArray*> in = training_inputs(d, n, 0.1, 1e-6, 2, 0);
    in[c.position] = c.array;
    for (int nlhs : {0, 5}) expect_refusal(train(nlhs, in), "tarvel", "invalidInput", c.fragment);
  }

  // Non-finite and negative values, found wherever they sit.
  std::vector<const mxArray*> in = training_inputs(d, n, 0.1, 1e-6, 2, 0);
  mxArray* X = test_host::make_matrix(d, n, std::vector<double>(d * n, 0.5));
  test_host::set_element(X, 7, Inf);
  in[0] = X;
  expect_refusal(train(1, in), "tarvel", "invalidInput", "X must be finite, but element 8 is Inf");
  in = training_inputs(d, n, 0.1, 1e-6, 2, 0);
  mxArray* w = test_host::make_matrix(1, 4, {1, 1, -0.5, NaN});  // w(4) is not used
  in[2] = w;
  expect_refusal(train(1, in), "tarvel", "invalidInput", "w must be nonnegative, but element 3 is -0.5");

  // Counts of inputs and outputs.
  in = training_inputs(d, n, 0.1, 1e-6, 2, 0);
  expect_refusal(train(6, in), "tarvel", "nargout", "at most 5 outputs, 6 requested");
  for (std::size_t count : {0, 1, 6}) {
    expect_refusal(train(1, {in.begin(), in.begin() + count}), "tarvel", "nargin",
                   "expected 7 inputs, got " + std::to_string(count));
  }
  in.push_back(in[0]);
  expect_refusal(train(1, in), "tarvel", "nargin", "expected 7 inputs, got 8");
}

TEST_F(ModuleBoundary, PredictionRefusalsCarryTheIdentifierAndLeaveNothingBehind) {
  // quorril's inputs with d = 3, n = 8, nt = 5.
  struct bad_argument {
    const char* module;
    std::size_t position;
    mxArray* array;
    const char* fragment;
  };
  const std::vector<bad_argument> cases = {
      {"quorril", 0, test_host::make_array(mxUINT16_CLASS, {3, 2}), "Xtest must be a real, full double array, got uint16"},
      {"quorril", 0, test_host::make_array(mxDOUBLE_CLASS, {3, 2, 2}), "Xtest must be a matrix"},
      {"quorril", 0, test_host::make_array(mxDOUBLE_CLASS, {2, 5}), "Xtest must have as many rows as X (3 features per sample), got 2"},
      {"quorril", 0, test_host::make_array(mxDOUBLE_CLASS, {0, std::size_t(1) << 40}), "Xtest must have as many rows as X"},
      {"quorril", 1, test_host::make_array(mxDOUBLE_CLASS, {3, 4}, false, true), "X must be a real, full double array, got sparse double"},
      {"quorril", 1, test_host::make_array(mxSTRUCT_CLASS, {2, 2}), "X must be a real, full double array, got struct"},
      {"quorril", 2, test_host::make_array(mxDOUBLE_CLASS, {3, 1}), "w must have at least 4 elements"},
      {"quorril", 2, test_host::make_array(mxSINGLE_CLASS, {4, 1}), "w must be a real, full double array, got single"},
      {"quorril", 3, test_host::make_array(mxDOUBLE_CLASS, {1, 7}), "alpha must have at least 8 elements (one coefficient per column of X), got 7"},
      {"quorril", 3, test_host::make_array(mxINT32_CLASS, {8, 1}), "alpha must be a real, full double array, got int32"},
      {"quorril", 3, test_host::make_array(mxDOUBLE_CLASS, {8, 1}, true), "got complex double"},
  };
  for (const bad_argument& c : cases) {
    SCOPED_TRACE(std::string(c.module) + ": " + c.fragment);
    std::vector<const mxArray*> in = prediction_inputs(3, 8, 5);
    in[c.position] = c.array;
    for (int nlhs : {0, 1}) expect_refusal(call_module(c.module, nlhs, in), c.module, "invalidInput", c.fragment);
  }
  std::vector<const mxArray*> in = prediction_inputs(3, 8, 5);
  expect_refusal(predict(2, in), "quorril", "nargout", "at most 1 output, 2 requested");
  expect_refusal(predict(1, {in.begin(), in.begin() + 3}), "quorril", "nargin", "expected 4 inputs, got 3");
  expect_refusal(predict(0, {}), "quorril", "nargin", "expected 4 inputs, got 0");
}

// krr_solve and krr_lml read the same five arguments (X, the right-hand sides B or Y, w,
// ridge, V0) with the same checks, then name-value pairs of options with rules of their
// own; and every internal module refuses wrong input and output counts.
TEST_F(ModuleBoundary, InternalModuleRefusalsCarryTheIdentifierAndLeaveNothingBehind) {
  struct solver {
    const char* module;
    const char* rhs;  // the right-hand sides' name
    std::size_t c;    // their columns
    std::size_t v0;   // V0's columns: c, then krr_lml's 3 probes
    std::vector<option> options;
    const char* v0_columns_are;
    const char* names;  // the options' names as the unknown-name refusal lists them
  };
  const std::size_t d = 2, n = 6;
  const solver solvers[] = {
      {"krr_solve", "B", 2, 2, solve_options(2), "as many as B",
       "Tolerance, BlockSize, CacheBytes, Seed, MaxPasses"},
      {"krr_lml", "Y", 1, 4, lml_options(2), "outputs, then probes",
       "Probes, Seed, Tolerance, BlockSize, CacheBytes, LogDet, LanczosSteps, LanczosTolerance, "
       "MaxPasses, Rank, LogDetRank"}};
  struct bad_argument {
    std::size_t position;
    mxArray* array;
    std::string fragment;
  };
  for (const solver& s : solvers) {
    SCOPED_TRACE(s.module);
    const std::string rhs = s.rhs;
    const std::string v0 = std::to_string(s.v0), shape = " x " + std::to_string(s.c);
    mxArray* X = test_host::make_matrix(d, n, std::vector<double>(d * n, 0.5));
    test_host::set_element(X, 7, Inf);
    mxArray* B = test_host::make_matrix(n, s.c, std::vector<double>(n * s.c, 0.5));
    test_host::set_element(B, 2, NaN);
    mxArray* V0 = test_host::make_matrix(n, s.v0, std::vector<double>(n * s.v0, 0.5));
    test_host::set_element(V0, n * s.v0 - 1, -Inf);
    std::vector<bad_argument> cases = {
        {0, test_host::make_array(mxSINGLE_CLASS, {d, n}), "X must be a real, full double array, got single"},
        {0, test_host::make_array(mxDOUBLE_CLASS, {d, n}, true), "X must be a real, full double array, got complex double"},
        {0, test_host::make_array(mxLOGICAL_CLASS, {d, n}, false, true), "got sparse logical"},
        {0, test_host::make_array(mxDOUBLE_CLASS, {d, n, 2}), "X must be a matrix, got a 3-dimensional array"},
        {0, test_host::make_array(mxDOUBLE_CLASS, {d, 0}), "X must have at least one column"},
        {0, test_host::make_array(mxDOUBLE_CLASS, {0, std::size_t(1) << 31}), "X has 2147483648 columns"},
        {0, X, "X must be finite, but element 8 is Inf"},
        {1, test_host::make_array(mxINT8_CLASS, {n, s.c}), rhs + " must be a real, full double array, got int8"},
        {1, test_host::make_array(mxDOUBLE_CLASS, {n, s.c}, false, true), rhs + " must be a real, full double array, got sparse double"},
        {1, test_host::make_array(mxDOUBLE_CLASS, {n - 1, s.c}), rhs + " must be 6 x c with c >= 1 (one row per column of X), got 5" + shape},
        {1, test_host::make_array(mxDOUBLE_CLASS, {n, 0}), rhs + " must be 6 x c with c >= 1 (one row per column of X), got 6 x 0"},
        {1, test_host::make_array(mxDOUBLE_CLASS, {n, s.c, 2}), rhs + " must be a matrix, got a 3-dimensional array"},
        {1, B, rhs + " must be finite, but element 3 is NaN"},
        {2, test_host::make_array(mxDOUBLE_CLASS, {1, d}), "w must have at least 3 elements (one weight per row of X, then the amplitude), got 2"},
        {2, test_host::make_matrix(1, 3, {1, -0.5, 1}), "w must be nonnegative, but element 2 is -0.5"},
        {2, test_host::make_matrix(1, 3, {1, 1, NaN}), "w must be finite, but element 3 is NaN"},
        {2, test_host::make_array(mxCELL_CLASS, {1, 3}), "w must be a real, full double array, got cell"},
        {3, test_host::make_array(mxDOUBLE_CLASS, {0, 0}), "ridge must be a real numeric scalar, got 0 elements"},
        {3, test_host::make_array(mxCHAR_CLASS, {1, 1}), "ridge must be a real numeric scalar, got char"},
        {3, test_host::make_array(mxSINGLE_CLASS, {1, 1}, true), "ridge must be a real numeric scalar, got complex single"},
        {3, test_host::make_scalar(NaN), "ridge must be finite and"},
        {3, test_host::make_scalar(Inf), "ridge must be finite and"},
        {3, test_host::make_scalar(-1e-3), ", got -0.001"},
        {4, test_host::make_array(mxSINGLE_CLASS, {n, s.v0}), "V0 must be a real, full double array, got single"},
        {4, test_host::make_array(mxDOUBLE_CLASS, {n - 1, s.v0}), "V0 must be 6 x c with c >= 1 (one row per column of X), got 5 x " + v0},
        {4, test_host::make_array(mxDOUBLE_CLASS, {n, s.v0 + 1}), "V0 must have " + v0 + " columns (" + s.v0_columns_are + "), got " + std::to_string(s.v0 + 1)},
        {4, test_host::make_array(mxDOUBLE_CLASS, {n, s.v0 - 1}), "V0 must have " + v0 + " columns (" + s.v0_columns_are + "), got " + std::to_string(s.v0 - 1)},
        {4, test_host::make_array(mxDOUBLE_CLASS, {n, s.v0, 2}), "V0 must be a matrix, got a 3-dimensional array"},
        {4, V0, "V0 must be finite, but element " + std::to_string(n * s.v0) + " is -Inf"},
        // The pairs' names: strings, each one of the module's own.
        {5, test_host::make_scalar(3), "option names must be strings, got a double as argument 1 after V0"},
        {5, mxCreateString("Tol"), "unknown option 'Tol'; the options are " + std::string(s.names)},
        {7, mxCreateCellMatrix(1, 1), "option names must be strings, got a cell as argument 3 after V0"},
    };
    // The ridge: krr_solve solves with any ridge >= 0; krr_lml's likelihood needs noise > 0.
    const bool positive = std::string(s.module) == "krr_lml";
    cases.push_back({3, test_host::make_scalar(positive ? 0.0 : -0.5),
                     positive ? "ridge must be finite and positive, got 0"
                              : "ridge must be finite and nonnegative, got -0.5"});
    // A value as the scalar arguments are read: a real numeric scalar of any class. The
    // block size is at most n, after its rule. The pairs come as pairs.
    auto seed = [](const mxArray* value) { return std::vector<const mxArray*>{mxCreateString("Seed"), value}; };
    std::vector<const mxArray*> options = seed(test_host::make_scalar(1));
    const std::vector<std::pair<std::vector<const mxArray*>, std::string>> pair_cases = {
        {seed(test_host::make_array(mxDOUBLE_CLASS, {1, 2})), "Seed must be a real numeric scalar, got 2 elements"},
        {seed(test_host::make_array(mxLOGICAL_CLASS, {1, 1})), "Seed must be a real numeric scalar, got logical"},
        {seed(test_host::make_array(mxDOUBLE_CLASS, {1, 1}, true)), "Seed must be a real numeric scalar, got complex double"},
        {seed(test_host::make_array(mxDOUBLE_CLASS, {1, 1}, false, true)), "Seed must be a real numeric scalar, got sparse double"},
        {seed(mxCreateString("7")), "Seed must be a real numeric scalar, got char"},
        {seed(typed_scalar(mxINT32_CLASS, -1)), "Seed must be a whole number from 0 to 9007199254740992, got -1"},
        {pairs({{"BlockSize", n + 1.0}}), "BlockSize must be at most n = 6 (the columns of X), got 7"},
        {{mxCreateString("Seed")}, "options must be name-value pairs, got an odd number (" +
                                       std::to_string(2 * s.options.size() + 1) + ") of arguments after V0"},
        {{options[0], options[1], mxCreateString("MaxPasses")},
         "options must be name-value pairs, got an odd number (" + std::to_string(2 * s.options.size() + 3) +
             ") of arguments after V0"}};
    for (const bad_argument& c : cases) {
      SCOPED_TRACE(c.fragment);
      std::vector<const mxArray*> in = solver_inputs(d, n, s.c, 0.1, s.options);
      in[c.position] = c.array;
      for (int nlhs : {0, 3}) expect_refusal(call_module(s.module, nlhs, in), s.module, "invalidInput", c.fragment);
    }
    for (const auto& c : pair_cases) {
      SCOPED_TRACE(c.second);
      std::vector<const mxArray*> in = solver_inputs(d, n, s.c, 0.1, s.options);
      in.insert(in.end(), c.first.begin(), c.first.end());
      expect_refusal(call_module(s.module, 1, in), s.module, "invalidInput", c.second);
    }
  }
  // LogDet is one of three words, in any case.
  const std::vector<const mxArray*> not_words = {typed_scalar(mxDOUBLE_CLASS, 1), mxCreateString("all"),
                                                 mxCreateString(""), test_host::make_array(mxCHAR_CLASS, {2, 4})};
  for (const mxArray* value : not_words) {
    std::vector<const mxArray*> in = solver_inputs(d, n, 1, 0.1, lml_options(2));
    in.push_back(mxCreateString("logdet"));
    in.push_back(value);
    const std::string got = mxGetNumberOfElements(value) == 0 ? "got ''" : "got ";
    expect_refusal(call_module("krr_lml", 4, in), "krr_lml", "invalidInput",
                   "LogDet must be 'none', 'with' or 'only', " + got);
  }

  // Each option of the solves just outside its rule (below, above, a fraction where a whole
  // number is due, NaN) is refused with its name and range, and each end of the range is
  // accepted.
  struct rule {
    const char* name;
    double low, high;
    bool whole;
    double below, above;
  };
  const double top = 9007199254740992.0;
  const std::vector<rule> solve_rules = {{"Tolerance", 1e-300, 1e300, false, 0, 1e301},
                                         {"BlockSize", 1, 2147483647, true, 0, 2147483648.0},
                                         {"CacheBytes", 0, Inf, false, -1, NaN},
                                         {"Seed", 0, top, true, -1, top + 2},
                                         {"MaxPasses", 0, 1e12, false, -1e-300, 2e12}};
  const std::vector<rule> lml_rules = {{"Probes", 1, 4096, true, 0, 4097},
                                       {"Seed", 0, top, true, -1, 2 * top},
                                       {"Tolerance", 1e-300, 1e300, false, 1e-301, Inf},
                                       {"BlockSize", 1, 2147483647, true, -3, 4294967296.0},
                                       {"CacheBytes", 0, Inf, false, -Inf, NaN},
                                       {"LanczosSteps", 1, 100000, true, 0, 100001},
                                       {"LanczosTolerance", 0, 1, false, -1e-9, 1.5},
                                       {"MaxPasses", 0, 1e12, false, -1, Inf},
                                       {"Rank", 0, 1000000, true, -1, 1000001},
                                       {"LogDetRank", 0, 1000000, true, -1, 1000001}};
  // A number as the refusals show it: as %g does, with more digits where those do not
  // read back as the number.
  auto exact = [](double v) -> std::string {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "Inf" : "-Inf";
    char text[40];
    for (int digits = 6; digits <= 17; ++digits) {
      std::snprintf(text, sizeof text, "%.*g", digits, v);
      if (std::strtod(text, nullptr) == v) break;
    }
    return text;
  };
  struct named_module {
    const char* module;
    const std::vector<rule>& rules;
    std::vector<option> options;
    int nlhs;
    std::size_t c;
  };
  for (const named_module& m : {named_module{"krr_solve", solve_rules, solve_options(2), 3, 2},
                                named_module{"krr_lml", lml_rules, lml_options(2), 4, 1}}) {
    for (const rule& r : m.rules) {
      SCOPED_TRACE(std::string(m.module) + " option " + r.name);
      const std::string range = std::string(r.name) + " must be " + (r.whole ? "a whole number" : "a number") +
                                " from " + exact(r.low) + " to " + exact(r.high) + ", got ";
      std::vector<double> bad = {r.below, NaN};
      if (!std::isnan(r.above)) bad.push_back(r.above);  // NaN: nothing above an infinite end
      if (r.whole) bad.push_back(r.low + 0.5);
      for (double v : bad) {
        std::vector<const mxArray*> in = solver_inputs(d, n, m.c, 0.1, with_option(m.options, {r.name, v}));
        expect_refusal(call_module(m.module, 1, in), m.module, "invalidInput", range + exact(v));
      }
      // The ends; the block size's top is beyond n (refused above as such).
      for (double v : {r.low, r.high}) {
        if (std::string(r.name) == "BlockSize" && v == r.high) continue;
        std::vector<const mxArray*> in = solver_inputs(d, n, m.c, 0.1, with_option(m.options, {r.name, v}));
        call_result result = call_module(m.module, m.nlhs, in);
        EXPECT_EQ(result.how, ending::returned) << v << ": " << result.error_message;
        EXPECT_TRUE(result.faults.empty()) << test_host::describe_faults(result);
        test_host::release_outputs(result);
      }
    }
  }

  // Input and output counts: the solves take their five arguments, then pairs (an input
  // more is an odd one, refused above).
  for (const char* module : {"krr_solve", "krr_lml"}) {
    SCOPED_TRACE(module);
    const bool solve = std::string(module) == "krr_solve";
    const std::vector<const mxArray*> in = solve ? solver_inputs(d, n, 2, 0.1, solve_options(2))
                                                 : solver_inputs(d, n, 1, 0.1, lml_options(2));
    const int most = solve ? 3 : 6;
    expect_refusal(call_module(module, most + 1, in), module, "nargout",
                   "at most " + std::to_string(most) + " outputs, " + std::to_string(most + 1) + " requested");
    for (std::size_t count : {4, 0}) {
      expect_refusal(call_module(module, 1, {in.begin(), in.begin() + count}), module, "nargin",
                     std::string("expected X, ") + (solve ? "B" : "Y") +
                         ", w, ridge, V0 and name-value options, got " + std::to_string(count) + " inputs");
    }
  }
  struct counts {
    const char* module;
    int inputs, most_outputs;
  };
  for (const counts& c : {counts{"krr_memory", 0, 1}}) {
    SCOPED_TRACE(c.module);
    std::vector<const mxArray*> in;
    const std::string module = c.module;
    const std::string plural = c.most_outputs == 1 ? " output, " : " outputs, ";
    expect_refusal(call_module(module, c.most_outputs + 1, in), module, "nargout",
                   "at most " + std::to_string(c.most_outputs) + plural +
                       std::to_string(c.most_outputs + 1) + " requested");
    std::vector<const mxArray*> more = in;
    more.push_back(test_host::make_scalar(1));
    std::vector<std::vector<const mxArray*>> wrong = {more};
    if (c.inputs > 0) wrong.push_back({in.begin(), in.end() - 1});
    if (c.inputs > 1) wrong.push_back({});
    for (const auto& w : wrong) {
      expect_refusal(call_module(module, 1, w), module, "nargin",
                     "expected " + std::to_string(c.inputs) + " inputs, got " + std::to_string(w.size()));
    }
  }
}

TEST_F(ModuleBoundary, EveryOutputCountFillsExactlyItsSlots) {
  const std::size_t d = 3, n = 40;
  const double ridge = 0.1;
  for (int nlhs = 0; nlhs <= 5; ++nlhs) {
    SCOPED_TRACE(nlhs);
    std::vector<const mxArray*> in = training_inputs(d, n, ridge, 1e-9, 4, 8.0 * n * 5);
    call_result r = train(nlhs, in);
    ASSERT_EQ(r.how, ending::returned) << r.error_message;
    EXPECT_TRUE(r.faults.empty()) << test_host::describe_faults(r);
    ASSERT_EQ(r.outputs.size(), static_cast<std::size_t>(std::max(nlhs, 1)));
    const std::size_t rows[] = {n, n, 1, 1, 1};
    for (std::size_t i = 0; i < r.outputs.size(); ++i) {
      ASSERT_NE(r.outputs[i], nullptr);
      EXPECT_EQ(mxGetM(r.outputs[i]), rows[i]);
      EXPECT_EQ(mxGetN(r.outputs[i]), 1u);
    }
    EXPECT_EQ(std::count(r.printed.begin(), r.printed.end(), '\n'), 3);
    if (nlhs >= 2) {
      // grad = (K + ridge I) alpha - y, with K built directly from the samples.
      const double* X = mxGetPr(in[0]);
      const double* y = mxGetPr(in[1]);
      const double* w = mxGetPr(in[2]);
      const double* alpha = mxGetPr(r.outputs[0]);
      const double* grad = mxGetPr(r.outputs[1]);
      for (std::size_t i = 0; i < n; ++i) {
        double g = ridge * alpha[i] - y[i];
        for (std::size_t j = 0; j < n; ++j) {
          double s = 0;
          for (std::size_t l = 0; l < d; ++l) {
            const double diff = X[i * d + l] - X[j * d + l];
            s += w[l] * diff * diff;
          }
          g += w[d] * std::exp(-s) * alpha[j];
        }
        EXPECT_NEAR(grad[i], g, 1e-12);
        EXPECT_LE(std::fabs(grad[i]), 1e-9);
      }
    }
    test_host::release_outputs(r);
  }
  for (int nlhs : {0, 1}) {
    call_result r = predict(nlhs, prediction_inputs(3, 8, 5));
    ASSERT_EQ(r.how, ending::returned) << r.error_message;
    EXPECT_TRUE(r.faults.empty()) << test_host::describe_faults(r);
    ASSERT_EQ(r.outputs.size(), 1u);
    EXPECT_EQ(mxGetM(r.outputs[0]), 5u);
    test_host::release_outputs(r);
  }

  // The internal modules: arrays of the documented sizes, the same bits whatever the count
  // (the same inputs and seed), and results that solve what they document with the kernel
  // built directly.
  const std::size_t c = 2, probes = 3;
  struct module_outputs {
    const char* module;
    std::vector<const mxArray*> in;
    std::vector<std::pair<std::size_t, std::size_t>> sizes;  // of each output
  };
  const std::vector<module_outputs> modules = {
      {"krr_solve", solver_inputs(d, n, c, ridge, solve_options(4)), {{n, c}, {n, c}, {1, 1}}},
      {"krr_lml", solver_inputs(d, n, c, ridge, lml_options(4), c + probes),
       {{1, 1}, {d + 2, 1}, {n, c + probes}, {1, 1}, {probes, 1}}},
      {"krr_memory", {}, {{1, 1}}},
  };
  for (const module_outputs& m : modules) {
    const std::string module = m.module;
    const int most = static_cast<int>(m.sizes.size());
    std::vector<mxArray*> first;  // the first output of the call with the most outputs
    for (int nlhs = most; nlhs >= 0; --nlhs) {
      SCOPED_TRACE(module + " with " + std::to_string(nlhs) + " outputs");
      call_result r = call_module(module, nlhs, m.in);
      ASSERT_EQ(r.how, ending::returned) << r.error_message;
      EXPECT_TRUE(r.faults.empty()) << test_host::describe_faults(r);
      EXPECT_TRUE(r.warnings.empty() && r.printed.empty());
      ASSERT_EQ(r.outputs.size(), static_cast<std::size_t>(std::max(nlhs, 1)));
      for (std::size_t i = 0; i < r.outputs.size(); ++i) {
        ASSERT_NE(r.outputs[i], nullptr);
        EXPECT_EQ(mxGetM(r.outputs[i]), m.sizes[i].first);
        EXPECT_EQ(mxGetN(r.outputs[i]), m.sizes[i].second);
      }
      if (nlhs == most) {
        first = r.outputs;
        r.outputs.clear();  // kept for the checks below, released at the end
      } else {
        if (module != "krr_memory") {
          EXPECT_TRUE(same_bits(r.outputs[0], first[0]));
        }
        test_host::release_outputs(r);
      }
    }
    const bool memory = module == "krr_memory";
    const double* X = memory ? nullptr : mxGetPr(m.in[0]);
    const double* w = memory ? nullptr : mxGetPr(m.in[2]);
    if (module == "krr_solve") {
      // Converged: G = (K + ridge I) V - B, each column within 1e-9 of its largest target;
      // info's fields by name, in order, its passes the block steps' members over n.
      const double* V = mxGetPr(first[0]);
      const double* G = mxGetPr(first[1]);
      const double* B = mxGetPr(m.in[1]);
      const mxArray* info = first[2];
      EXPECT_EQ(field_names(info), SOLVE_INFO);
      EXPECT_EQ(text_field(info, "Status"), "converged");
      EXPECT_GT(field(info, "BlockSteps"), 0.0);
      EXPECT_EQ(field(info, "Passes"), field(info, "BlockSteps") * 4 / n);
      EXPECT_GE(field(info, "Checks"), 1.0);
      EXPECT_EQ(field(info, "Threads"), 1.0);
      EXPECT_EQ(field(info, "CacheColumns"), static_cast<double>(n));
      for (std::size_t q = 0; q < c; ++q) {
        const std::vector<double> g = residual(X, d, n, w, ridge, V + q * n, B + q * n);
        const double tol = 1e-9 * largest_magnitude(B + q * n, n);
        for (std::size_t i = 0; i < n; ++i) {
          EXPECT_NEAR(G[q * n + i], g[i], 1e-12);
          EXPECT_LE(std::fabs(G[q * n + i]), tol);
        }
      }
    } else if (module == "krr_lml") {
      // Converged: alpha = V(:, 1:c) solves the targets to 1e-8, each probe's solution u
      // gives +-1 back; f, g finite; DataFit = sum of y' alpha; info's fields by name, in
      // order.
      const double* V = mxGetPr(first[2]);
      const double* Y = mxGetPr(m.in[1]);
      const mxArray* info = first[3];
      EXPECT_EQ(field_names(info), LML_INFO);
      EXPECT_EQ(text_field(info, "Status"), "converged");
      EXPECT_EQ(field(info, "Threads"), 1.0);
      EXPECT_GT(field(info, "LanczosSteps"), 0.0);
      EXPECT_LE(field(info, "LanczosSteps"), 30.0);
      EXPECT_GE(field(info, "PassesOverK"), field(info, "Passes") + field(info, "Checks") + 1);
      EXPECT_TRUE(std::isfinite(*mxGetPr(first[0])));
      for (std::size_t i = 0; i < d + 2; ++i) EXPECT_TRUE(std::isfinite(mxGetPr(first[1])[i]));
      double fit = 0;
      for (std::size_t q = 0; q < c; ++q) {
        const std::vector<double> g = residual(X, d, n, w, ridge, V + q * n, Y + q * n);
        EXPECT_LE(largest_magnitude(g.data(), n), 1e-8 * largest_magnitude(Y + q * n, n) + 1e-12);
        for (std::size_t i = 0; i < n; ++i) fit += Y[q * n + i] * V[q * n + i];
      }
      EXPECT_NEAR(field(info, "DataFit"), fit, 1e-10 * std::fabs(fit));
      // The log det is the mean of the probes' quadratures.
      const double* q = mxGetPr(first[4]);
      double mean = 0.0;
      for (std::size_t s = 0; s < probes; ++s) mean += q[s];
      EXPECT_NEAR(mean / probes, field(info, "LogDet"), 1e-12 * (1.0 + std::fabs(field(info, "LogDet"))));
      const std::vector<double> zero(n, 0.0);
      for (std::size_t s = 0; s < probes; ++s) {
        const std::vector<double> z = residual(X, d, n, w, ridge, V + (c + s) * n, zero.data());
        for (double v : z) EXPECT_NEAR(std::fabs(v), 1.0, 1e-8 + 1e-12);
      }
    } else {
      EXPECT_GT(*mxGetPr(first[0]), 0.0);  // bytes, +Inf where nothing is known
    }
    for (mxArray* a : first) test_host::destroy(a);
  }

  // krr_predict: with at most three outputs the predictions alone, with four or five the
  // deviations and intervals too; the same predictions whatever the count. Each against the
  // kernel built directly from the rows standardised by the model's Mu and Sigma: the
  // predictions, the observation's variance Ysd^2 - Ridge (the exact method's, to its solves'
  // tolerance), every output's Ysd the same, and the intervals Ypred -/+ z Ysd with z the
  // normal's 0.975 quantile.
  const std::size_t nt = 5, outputs = 3;
  const std::vector<const mxArray*> in =
      model_inputs(d, n, nt, outputs, ridge, {text_value("Verbose"), flag_value(false), text_value("method"), text_value("Exact")});
  std::vector<mxArray*> all;
  for (int nlhs = 5; nlhs >= 0; --nlhs) {
    SCOPED_TRACE("krr_predict with " + std::to_string(nlhs) + " outputs");
    call_result r = call_module("krr_predict", nlhs, in);
    ASSERT_EQ(r.how, ending::returned) << r.error_message;
    EXPECT_TRUE(r.faults.empty()) << test_host::describe_faults(r);
    EXPECT_TRUE(r.warnings.empty() && r.printed.empty());
    ASSERT_EQ(r.outputs.size(), static_cast<std::size_t>(std::max(nlhs, 1)));
    const std::vector<std::vector<std::size_t>> dims = {{nt, outputs}, {0, 2}, {0, 0}, {nt, outputs}, {nt, 2, outputs}};
    for (std::size_t i = 0; i < r.outputs.size(); ++i) {
      ASSERT_NE(r.outputs[i], nullptr);
      const std::vector<std::size_t> got(mxGetDimensions(r.outputs[i]),
                                         mxGetDimensions(r.outputs[i]) + mxGetNumberOfDimensions(r.outputs[i]));
      EXPECT_EQ(got, dims[i]) << "output " << i;
    }
    if (nlhs == 5) {
      all = r.outputs;
      r.outputs.clear();  // kept for the checks below, released at the end
    } else {
      EXPECT_TRUE(same_bits(r.outputs[0], all[0]));
      test_host::release_outputs(r);
    }
  }
  const mxArray* model = in[0];
  const double* X = mxGetPr(mxGetField(model, 0, "X"));
  const double* A = mxGetPr(mxGetField(model, 0, "Alpha"));
  const double* w = mxGetPr(mxGetField(model, 0, "Weights"));
  const double* mu = mxGetPr(mxGetField(model, 0, "Mu"));
  const double* sigma = mxGetPr(mxGetField(model, 0, "Sigma"));
  const double* y_mean = mxGetPr(mxGetField(model, 0, "YMean"));
  std::vector<double> Xs(d * nt);  // d x nt
  for (std::size_t i = 0; i < nt; ++i)
    for (std::size_t l = 0; l < d; ++l) Xs[i * d + l] = (mxGetPr(in[1])[l * nt + i] - mu[l]) / sigma[l];
  const std::vector<double> v = direct_variances(Xs.data(), nt, X, n, d, w, ridge);
  const double* Ypred = mxGetPr(all[0]);
  const double* Ysd = mxGetPr(all[3]);
  const double* Yint = mxGetPr(all[4]);
  for (std::size_t q = 0; q < outputs; ++q) {
    for (std::size_t i = 0; i < nt; ++i) {
      double f = y_mean[q];
      for (std::size_t j = 0; j < n; ++j) {
        double sum = 0;
        for (std::size_t l = 0; l < d; ++l) sum += w[l] * (Xs[i * d + l] - X[j * d + l]) * (Xs[i * d + l] - X[j * d + l]);
        f += w[d] * std::exp(-sum) * A[q * n + j];
      }
      const double y = Ypred[q * nt + i], sd = Ysd[q * nt + i];
      EXPECT_NEAR(y, f, 1e-12) << q << " " << i;
      EXPECT_EQ(sd, Ysd[i]);
      EXPECT_NEAR(sd * sd - ridge, v[i], 1e-12 * w[d]) << i;
      EXPECT_NEAR(y - Yint[2 * q * nt + i], 1.959963984540054 * sd, 1e-14 * sd) << q << " " << i;
      EXPECT_NEAR(Yint[(2 * q + 1) * nt + i] - y, 1.959963984540054 * sd, 1e-14 * sd) << q << " " << i;
    }
  }
  for (mxArray* a : all) test_host::destroy(a);

  // One output gives quorril's result on the standardised rows bit for bit (its mean added).
  const std::vector<const mxArray*> one = model_inputs(d, n, nt, 1, ridge);
  call_result single = call_module("krr_predict", 1, one);
  call_result reference = predict(1, {test_host::make_matrix(d, nt, Xs), mxGetField(one[0], 0, "X"),
                                      mxGetField(one[0], 0, "Weights"), mxGetField(one[0], 0, "Alpha")});
  ASSERT_EQ(single.how, ending::returned) << single.error_message;
  ASSERT_EQ(reference.how, ending::returned) << reference.error_message;
  for (std::size_t i = 0; i < nt; ++i) EXPECT_EQ(mxGetPr(single.outputs[0])[i], mxGetPr(reference.outputs[0])[i] + 1.0);
  test_host::release_outputs(single);
  test_host::release_outputs(reference);

  // No rows and more outputs than one pass holds: empty results, and no offset taken from
  // their (null) storage, which the sanitizer would report.
  call_result empty = call_module("krr_predict", 5, model_inputs(3, 8, 0, 65, ridge, {text_value("Verbose"), flag_value(false)}));
  ASSERT_EQ(empty.how, ending::returned) << empty.error_message;
  EXPECT_TRUE(empty.faults.empty()) << test_host::describe_faults(empty);
  EXPECT_EQ(mxGetM(empty.outputs[0]), 0u);
  EXPECT_EQ(mxGetN(empty.outputs[0]), 65u);
  EXPECT_EQ(mxGetNumberOfElements(empty.outputs[4]), 0u);
  test_host::release_outputs(empty);

  // Verbose on: the deviations' progress line, once; none for the predictions alone.
  const std::vector<const mxArray*> told = model_inputs(d, n, nt, 1, ridge);
  for (int nlhs : {3, 4}) {
    call_result r = call_module("krr_predict", nlhs, told);
    ASSERT_EQ(r.how, ending::returned) << r.error_message;
    if (nlhs == 3) {
      EXPECT_TRUE(r.printed.empty()) << r.printed;
    } else {
      EXPECT_EQ(r.printed.rfind("krrpredict: deviations of 5 rows exactly, ", 0), 0u) << r.printed;
      EXPECT_EQ(std::count(r.printed.begin(), r.printed.end(), '\n'), 1);
    }
    test_host::release_outputs(r);
  }
}

// krr_predict, which krrpredict calls: every refusal of the model, of Xnew and of the options
// comes back as data ({code, message} in krrpredict's words, the predictions empty) for
// krrpredict to raise under its own name, the warnings likewise with the results; the
// module's own errors are only for calls krrpredict never makes. The Ridge is read only
// where the deviations are asked for.
TEST_F(ModuleBoundary, PredictionReturnsItsRefusalsAsDataAndLeavesNothingBehind) {
  const std::size_t d = 2, n = 6, nt = 4;
  auto fresh = [&](std::vector<const mxArray*> options = {}) { return model_inputs(d, n, nt, 2, 0.1, options); };
  auto cell_of = [](const char* s) {
    mxArray* cell = mxCreateCellMatrix(1, 1);
    mxSetCell(cell, 0, mxCreateString(s));
    return cell;
  };
  auto fields = [](std::vector<const char*> names) {
    mxArray* m = mxCreateStructMatrix(1, 1, static_cast<int>(names.size()), names.data());
    for (const char* name : names) mxSetField(m, 0, name, test_host::make_scalar(1));
    return m;
  };
  struct refusal {
    std::function<void(std::vector<const mxArray*>&)> change;
    int nlhs;
    const char* code;
    std::string message;
  };
  mxArray* nan_rows = test_host::make_matrix(nt, d, std::vector<double>(nt * d, 0.5));
  test_host::set_element(nan_rows, nt + 2, NaN);
  const std::vector<refusal> refusals = {
      {[](auto& in) { in[0] = test_host::make_scalar(1); }, 3, "invalidModel", "MODEL must be a struct returned by krrfit, got a double"},
      {[](auto& in) { const char* f[] = {"X"}; in[0] = mxCreateStructMatrix(2, 1, 1, f); }, 3, "invalidModel",
       "MODEL must be one struct returned by krrfit, got a 2 x 1 struct array"},
      {[](auto& in) { set_model_field(in, "FormatVersion", test_host::make_scalar(5)); }, 3, "invalidModel",
       "MODEL.FormatVersion must be 1, 2, 3 or 4, the versions this krrpredict reads (a newer package wrote this model?)"},
      // A newer version is refused before its fields are looked at.
      {[&](auto& in) { in[0] = fields({"FormatVersion", "Coefficients"}); set_model_field(in, "FormatVersion", test_host::make_scalar(5)); },
       3, "invalidModel", "MODEL.FormatVersion must be 1, 2, 3 or 4"},
      {[](auto& in) { set_model_field(in, "FormatVersion", flag_value(true)); }, 3, "invalidModel", "MODEL.FormatVersion must be 1, 2, 3 or 4"},
      // Version 4 names its kernel: a field that must be there, a name it must be.
      {[](auto& in) { set_model_field(in, "FormatVersion", test_host::make_scalar(4)); }, 3, "invalidModel",
       "MODEL must be a struct returned by krrfit; it has no field"},
      {[](auto& in) { add_kernel_field(in, test_host::make_scalar(52)); }, 3, "invalidModel",
       "MODEL.Kernel must be a kernel's name (a character row), got a 1 x 1 double"},
      {[](auto& in) { add_kernel_field(in, text_value("Matern")); }, 3, "invalidModel",
       "MODEL.Kernel must be 'squaredexponential', 'matern12', 'matern32' or 'matern52', got 'Matern'"},
      // ... and before the rows and the options are.
      {[](auto& in) { set_model_field(in, "FormatVersion", test_host::make_scalar(NaN));
                      in[1] = test_host::make_array(mxCELL_CLASS, {1, 1});
                      in.push_back(text_value("Level")); in.push_back(test_host::make_scalar(1)); },
       3, "invalidModel", "MODEL.FormatVersion must be 1, 2, 3 or 4"},
      {[&](auto& in) { in[0] = fields({"X", "Alpha", "Weights", "Sigma"}); }, 3, "invalidModel",
       "MODEL must be a struct returned by krrfit; it has no field Mu, YMean"},
      {[](auto& in) { set_model_field(in, "X", test_host::make_array(mxINT32_CLASS, {2, 6})); }, 3, "invalidModel",
       "MODEL.X must be real floating point (double or single), got int32"},
      {[](auto& in) { set_model_field(in, "Alpha", test_host::make_array(mxDOUBLE_CLASS, {6, 2}, true)); }, 3, "invalidModel",
       "MODEL.Alpha must be real floating point (double or single), got complex double"},
      {[](auto& in) { set_model_field(in, "Mu", test_host::make_array(mxDOUBLE_CLASS, {1, 2}, false, true)); }, 3, "invalidModel",
       "MODEL.Mu must be real floating point (double or single), got sparse double"},
      {[](auto& in) { set_model_field(in, "X", test_host::make_array(mxDOUBLE_CLASS, {2, 6, 2})); }, 3, "invalidModel",
       "MODEL.X must be a matrix, got a 2 x 6 x 2 double"},
      {[](auto& in) { set_model_field(in, "Mu", test_host::make_array(mxDOUBLE_CLASS, {2, 1})); }, 3, "invalidModel",
       "MODEL.Mu must be a 1 x 2 row vector, got 2 x 1"},
      {[](auto& in) { set_model_field(in, "Weights", test_host::make_matrix(1, 3, {1, -1, 1})); }, 3, "invalidModel",
       "MODEL.Weights must be nonnegative"},
      {[](auto& in) { set_model_field(in, "Alpha", test_host::make_array(mxDOUBLE_CLASS, {6, 0}));
                      set_model_field(in, "YMean", test_host::make_array(mxDOUBLE_CLASS, {1, 0})); },
       3, "invalidModel", "MODEL.Alpha must be an n x c matrix, n = 6 (the columns of X), got 6 x 0"},
      {[](auto& in) { in[1] = test_host::make_array(mxLOGICAL_CLASS, {4, 2}); }, 3, "invalidInput",
       "XNEW must be a real matrix with 2 columns (the model's features), one observation per row, got a 4 x 2 logical"},
      {[](auto& in) { in[1] = test_host::make_array(mxINT16_CLASS, {4, 3}); }, 3, "invalidInput", "got a 4 x 3 int16"},
      {[](auto& in) { in[1] = test_host::make_array(mxDOUBLE_CLASS, {4, 2}, true); }, 3, "invalidInput", "got a 4 x 2 complex double"},
      {[](auto& in) { in[1] = test_host::make_array(mxDOUBLE_CLASS, {4, 2, 2}); }, 3, "invalidInput", "got a 4 x 2 x 2 double"},
      {[&](auto& in) { in[1] = nan_rows; }, 3, "invalidInput", "XNEW must be finite, but XNEW(3,2) is NaN"},
      {[](auto& in) { in.push_back(text_value("Alpha")); }, 3, "invalidInput",
       "options must be name-value pairs, got an odd number (1) of arguments after MODEL and XNEW"},
      {[](auto& in) { in.push_back(test_host::make_scalar(3)); in.push_back(test_host::make_scalar(4)); }, 3, "invalidInput",
       "option names must be strings, got a double as argument 1 after MODEL and XNEW"},
      {[](auto& in) { in.push_back(text_value("Level")); in.push_back(test_host::make_scalar(0.1)); }, 3, "invalidInput",
       "unknown option 'Level'; the options are Alpha, Prediction, Method, Rank, Verbose"},
      {[](auto& in) { in.push_back(text_value("rank")); in.push_back(typed_scalar(mxINT32_CLASS, 0)); }, 3, "invalidInput",
       "Rank must be a whole number from 1 to 1000000, got 0"},
      {[&](auto& in) { in.push_back(text_value("Prediction")); in.push_back(cell_of("curve")); }, 3, "invalidInput",
       "Prediction must be 'observation', 'curve', got a 1 x 1 cell"},
      {[](auto& in) { set_model_field(in, "Ridge", text_value("none")); }, 4, "invalidModel",
       "MODEL.Ridge must be real floating point (double or single), got char"},
      {[&](auto& in) { in[0] = fields({"X", "Alpha", "Weights", "Mu", "Sigma", "YMean"});
                       set_model_field(in, "X", test_host::make_matrix(2, 1, {0, 1}));
                       set_model_field(in, "Weights", test_host::make_matrix(1, 3, {1, 1, 1}));
                       set_model_field(in, "Mu", test_host::make_matrix(1, 2, {0, 0}));
                       set_model_field(in, "Sigma", test_host::make_matrix(1, 2, {1, 1})); },
       5, "invalidModel", "MODEL must have the field Ridge for YSD and YINT"},
      {[](auto& in) { set_model_field(in, "Ridge", test_host::make_scalar(0)); }, 5, "invalidModel",
       "MODEL.Ridge must be a positive scalar, got 0"},
  };
  for (const refusal& f : refusals) {
    SCOPED_TRACE(f.message);
    for (int nlhs : {f.nlhs, 5}) {
      std::vector<const mxArray*> in = fresh();
      f.change(in);
      call_result r = call_module("krr_predict", nlhs, in);
      ASSERT_EQ(r.how, ending::returned) << r.error_message;
      EXPECT_TRUE(r.faults.empty()) << test_host::describe_faults(r);
      EXPECT_TRUE(r.printed.empty() && r.warnings.empty());
      EXPECT_EQ(mxGetNumberOfElements(r.outputs[0]), 0u);
      EXPECT_EQ(mxGetNumberOfElements(r.outputs[1]), 0u);
      ASSERT_EQ(mxGetNumberOfElements(r.outputs[2]), 2u);
      EXPECT_EQ(cell_text(r.outputs[2], 0), f.code);
      EXPECT_NE(cell_text(r.outputs[2], 1).find(f.message), std::string::npos) << cell_text(r.outputs[2], 1);
      if (nlhs == 5) {
        EXPECT_EQ(mxGetNumberOfElements(r.outputs[3]) + mxGetNumberOfElements(r.outputs[4]), 0u);
      }
      test_host::release_outputs(r);
    }
    // The Ridge's refusals need the deviations: the predictions alone are made.
    if (f.message.find("Ridge") != std::string::npos) {
      std::vector<const mxArray*> in = fresh();
      f.change(in);
      call_result r = call_module("krr_predict", 3, in);
      ASSERT_EQ(r.how, ending::returned) << r.error_message;
      EXPECT_EQ(mxGetNumberOfElements(r.outputs[2]), 0u) << cell_text(r.outputs[2], 1);
      test_host::release_outputs(r);
    }
  }

  // What is read as given: a FormatVersion of another class, single-precision fields, a
  // column of weights, rows of another class, options by name in any case with values of
  // other classes; the same predictions (as the values are the same).
  const std::vector<const mxArray*> plain = fresh({text_value("Verbose"), flag_value(false)});
  call_result base = call_module("krr_predict", 5, plain);
  ASSERT_EQ(base.how, ending::returned);
  ASSERT_EQ(mxGetNumberOfElements(base.outputs[2]), 0u) << cell_text(base.outputs[2], 1);
  std::vector<std::function<void(std::vector<const mxArray*>&)>> accepted = {
      [](auto& in) { set_model_field(in, "FormatVersion", typed_scalar(mxINT8_CLASS, 1)); },
      [](auto& in) {
        mxArray* w = test_host::make_array(mxSINGLE_CLASS, {3, 1});
        for (std::size_t l = 0; l < 3; ++l) test_host::set_element(w, l, 0.5 + l);
        set_model_field(in, "Weights", w);
      },
      [&](auto& in) {
        mxArray* rows = test_host::make_array(mxINT32_CLASS, {nt, d});
        for (std::size_t i = 0; i < nt * d; ++i) test_host::set_element(rows, i, 3.0 * i - 4.0);
        in[1] = rows;
      },
      [](auto& in) {
        in.push_back(text_value("ALPHA"));
        in.push_back(typed_scalar(mxSINGLE_CLASS, 0.5));
        in.push_back(text_value("alpha"));
        in.push_back(test_host::make_scalar(0.05));
        in.push_back(text_value("method"));
        in.push_back(text_value("EXACT"));
        in.push_back(text_value("rank"));
        in.push_back(typed_scalar(mxUINT16_CLASS, 1000));
      },
  };
  for (std::size_t k = 0; k < accepted.size(); ++k) {
    SCOPED_TRACE(k);
    std::vector<const mxArray*> in = plain;
    accepted[k](in);
    call_result r = call_module("krr_predict", 5, in);
    ASSERT_EQ(r.how, ending::returned) << r.error_message;
    EXPECT_TRUE(r.faults.empty()) << test_host::describe_faults(r);
    ASSERT_EQ(mxGetNumberOfElements(r.outputs[2]), 0u) << cell_text(r.outputs[2], 1);
    call_result expected = base;
    if (k == 2) {  // the int32 rows as doubles
      std::vector<const mxArray*> doubles = plain;
      std::vector<double> rows(nt * d);
      for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = 3.0 * i - 4.0;
      doubles[1] = test_host::make_matrix(nt, d, rows);
      expected = call_module("krr_predict", 5, doubles);
    }
    for (int i : {0, 3, 4}) EXPECT_TRUE(same_bits(r.outputs[i], expected.outputs[i])) << "output " << i;
    if (k == 2) test_host::release_outputs(expected);
    test_host::release_outputs(r);
  }
  test_host::release_outputs(base);

  // A warning comes back as data with the results: a factor of rank 1 leaves out most of K,
  // which the check against exact solves finds; the factor comes back as the cache.
  call_result warned = call_module("krr_predict", 6, model_inputs(d, 40, nt, 1, 0.1,
      {text_value("Method"), text_value("approximate"), text_value("Rank"), test_host::make_scalar(1),
       text_value("Verbose"), test_host::make_scalar(0)}));
  ASSERT_EQ(warned.how, ending::returned) << warned.error_message;
  EXPECT_TRUE(warned.warnings.empty() && warned.printed.empty());
  ASSERT_EQ(mxGetNumberOfElements(warned.outputs[1]), 2u);
  EXPECT_EQ(cell_text(warned.outputs[1], 0), "approximate");
  EXPECT_EQ(cell_text(warned.outputs[1], 1).rfind("the approximate deviations (Prediction 'observation') are off by about ", 0), 0u)
      << cell_text(warned.outputs[1], 1);
  EXPECT_EQ(mxGetNumberOfElements(warned.outputs[2]), 0u);
  EXPECT_EQ(mxGetM(warned.outputs[3]), nt);
  const mxArray* cache = warned.outputs[5];
  ASSERT_TRUE(mxGetClassID(cache) == mxSTRUCT_CLASS);
  for (const char* field : {"Pivots", "Factor", "Chol", "LeftOut", "Weights", "Ridge"}) {
    ASSERT_NE(mxGetField(cache, 0, field), nullptr) << field;
  }
  EXPECT_EQ(mxGetNumberOfElements(mxGetField(cache, 0, "Pivots")), 1u);
  EXPECT_EQ(*mxGetPr(mxGetField(cache, 0, "Ridge")), 0.1);
  test_host::release_outputs(warned);

  // The module's own refusals, of calls krrpredict never makes.
  expect_refusal(call_module("krr_predict", 3, {fresh()[0]}), "krr_predict", "nargin",
                 "expected MODEL, XNEW and name-value options, got 1 inputs");
  expect_refusal(call_module("krr_predict", 7, fresh()), "krr_predict", "nargout", "at most 6 outputs, 7 requested");
}

// The solves' options by name: in any case and order, the last of a name given twice
// counting, in any numeric class; left out, each takes the default its help states.
TEST_F(ModuleBoundary, InternalModulesReadOptionsByNameWithTheirDocumentedDefaults) {
  const std::size_t d = 2, n = 300;
  auto outputs_agree = [](const call_result& a, const call_result& b, std::size_t count) {
    bool same = a.how == ending::returned && b.how == ending::returned;
    for (std::size_t i = 0; same && i < count; ++i) {
      if (mxIsDouble(a.outputs[i])) same = same_bits(a.outputs[i], b.outputs[i]);  // not info
    }
    return same;
  };
  for (std::size_t c : {1, 2}) {
    SCOPED_TRACE("krr_solve with " + std::to_string(c) + " columns");
    const std::vector<option> documented = {{"Tolerance", 1e-6}, {"BlockSize", c > 1 ? 256.0 : 64.0},
                                            {"CacheBytes", Inf}, {"Seed", 0}, {"MaxPasses", 1000}};
    call_result defaults = call_module("krr_solve", 2, solver_inputs(d, n, c, 0.1, {}));
    call_result given = call_module("krr_solve", 2, solver_inputs(d, n, c, 0.1, documented));
    std::vector<const mxArray*> in = solver_inputs(d, n, c, 0.1, {{"seed", 1}, {"TOLERANCE", 1e-6}, {"Seed", 0}});
    in.push_back(mxCreateString("blocksize"));
    in.push_back(typed_scalar(mxINT16_CLASS, c > 1 ? 256 : 64));
    call_result mixed = call_module("krr_solve", 2, in);
    call_result other_seed = call_module("krr_solve", 2, solver_inputs(d, n, c, 0.1, {{"Seed", 1}}));
    EXPECT_TRUE(outputs_agree(defaults, given, 2));
    EXPECT_TRUE(outputs_agree(defaults, mixed, 2));
    EXPECT_FALSE(outputs_agree(defaults, other_seed, 2));  // the seed read is the one used
    for (call_result* r : {&defaults, &given, &mixed, &other_seed}) {
      EXPECT_TRUE(r->faults.empty()) << test_host::describe_faults(*r);
      test_host::release_outputs(*r);
    }
  }
  const std::vector<option> documented = {
      {"Probes", 16},        {"Seed", 0},        {"Tolerance", 1e-6},         {"BlockSize", 256},
      {"CacheBytes", Inf},   {"LogDet", 0, "with"}, {"LanczosSteps", 60},     {"LanczosTolerance", 1e-6},
      {"MaxPasses", 1000},   {"Rank", 0},        {"LogDetRank", 0}};
  call_result defaults = call_module("krr_lml", 5, solver_inputs(d, n, 1, 0.1, {}));
  call_result given = call_module("krr_lml", 5, solver_inputs(d, n, 1, 0.1, documented));
  call_result with = call_module("krr_lml", 5, solver_inputs(d, n, 1, 0.1, {{"logdet", 0, "With"}, {"PROBES", 16}}));
  EXPECT_TRUE(outputs_agree(defaults, given, 5));
  EXPECT_TRUE(outputs_agree(defaults, with, 5));
  ASSERT_EQ(defaults.how, ending::returned) << defaults.error_message;
  EXPECT_EQ(mxGetN(defaults.outputs[2]), 17u);  // the targets, then 16 probes
  // The other words: the gradient alone (no value), the value alone (no gradient).
  call_result none = call_module("krr_lml", 2, solver_inputs(d, n, 1, 0.1, {{"LogDet", 0, "NONE"}}));
  call_result only = call_module("krr_lml", 2, solver_inputs(d, n, 1, 0.1, {{"LogDet", 0, "Only"}}));
  ASSERT_EQ(none.how, ending::returned) << none.error_message;
  ASSERT_EQ(only.how, ending::returned) << only.error_message;
  EXPECT_TRUE(std::isnan(*mxGetPr(none.outputs[0])));
  EXPECT_TRUE(same_bits(none.outputs[1], defaults.outputs[1]));
  // The value alone solves the targets without the probes, to the same tolerance (1e-6).
  EXPECT_NEAR(*mxGetPr(only.outputs[0]), *mxGetPr(defaults.outputs[0]), 1e-6 * std::fabs(*mxGetPr(defaults.outputs[0])));
  EXPECT_TRUE(std::isnan(mxGetPr(only.outputs[1])[0]));
  for (call_result* r : {&defaults, &given, &with, &none, &only}) {
    EXPECT_TRUE(r->faults.empty()) << test_host::describe_faults(*r);
    test_host::release_outputs(*r);
  }
}

// This host's interrupt flag (libut) ends a call at the next poll, inside a block step
// too, and is left set for the host, which ends the command once the module has raised
// its error. Everything of the call is released.
TEST_F(ModuleBoundary, InterruptEndsTheCallAndIsLeftToTheHost) {
  // Tolerance below rounding: without the interrupt this runs to the work bound.
  std::vector<const mxArray*> in = training_inputs(2, 30, 1e-12, 1e-300, 1, 0);
  test_host::set_interrupt_after(3);
  call_result r = train(5, in);
  expect_refusal(r, "tarvel", "interrupted", "tarvel: interrupted by the user after");
  EXPECT_EQ(r.interrupt_polls, 4);
  EXPECT_TRUE(r.interrupt_still_pending);

  // One block of all 30 samples: the first polls fall inside the step.
  in = training_inputs(2, 30, 1e-12, 1e-300, 30, 0);
  test_host::set_interrupt_after(0);
  r = train(1, in);
  expect_refusal(r, "tarvel", "interrupted", "tarvel: interrupted by the user after 0 block steps");
  EXPECT_EQ(r.interrupt_polls, 1);

  // The next call, with the flag cleared by the host, runs to its end.
  in = training_inputs(2, 30, 0.1, 1e-8, 5, 0);
  r = train(1, in);
  EXPECT_EQ(r.how, ending::returned);
  EXPECT_TRUE(r.faults.empty()) << test_host::describe_faults(r);
  EXPECT_GT(r.interrupt_polls, 0);
  test_host::release_outputs(r);
}

TEST_F(ModuleBoundary, InterruptEndsAPredictionAndIsLeftToTheHost) {
  // Enough test samples for several tiles between polls.
  std::vector<const mxArray*> in = prediction_inputs(2, 40, 5000);
  test_host::set_interrupt_after(1);
  call_result r = predict(1, in);
  expect_refusal(r, "quorril", "interrupted", "quorril: interrupted by the user");
  EXPECT_EQ(r.interrupt_polls, 2);
  EXPECT_TRUE(r.interrupt_still_pending);
}

// The internal modules poll the interrupt flag in every phase of their work (krr_lml: the
// solve, the gradient pass, Lanczos). An interrupt at the first poll, at one half way and
// at the last poll of a whole call ends it there with the module's interrupted error and
// leaves it pending to the host; the same call then runs to its end.
TEST_F(ModuleBoundary, InterruptEndsAnInternalModuleCallAtAnyPoll) {
  // One thread: the polls come in the same order in every run.
  const char* old = std::getenv("KRR_NUM_THREADS");
  const std::string saved = old ? old : "";
  setenv("KRR_NUM_THREADS", "1", 1);
  struct long_call {
    const char* module;
    int nlhs;
    std::vector<const mxArray*> in;
  };
  const std::vector<option> lml = {{"Probes", 4},        {"Seed", 3},          {"Tolerance", 1e-8},
                                   {"BlockSize", 20},    {"LanczosSteps", 20}, {"LanczosTolerance", 1e-9}};
  const std::vector<long_call> calls = {
      {"krr_solve", 3, solver_inputs(2, 200, 2, 1e-3, {{"Tolerance", 1e-10}, {"BlockSize", 20}, {"Seed", 3}})},
      {"krr_lml", 4, solver_inputs(2, 200, 1, 1e-3, lml)},
      // with each probe's trace terms, and no log determinant: their pass is the last phase
      {"krr_lml", 6, solver_inputs(2, 200, 1, 1e-3, with_option(lml, {"LogDet", 0, "none"}))},
      // and with the solves by preconditioned conjugate gradients: the factor, then the solves
      {"krr_lml", 4, solver_inputs(2, 200, 1, 1e-3, with_option(lml, {"Rank", 30}))},
      // and with the log determinant preconditioned: its factor, then Lanczos
      {"krr_lml", 4, solver_inputs(2, 200, 1, 1e-3, with_option(lml, {"LogDetRank", 30}))},
      // krr_predict: the predictions alone; with the deviations, the predictions, the factor,
      // then the exact method's two batches of solves (256 rows, then 44), or the approximate
      // method's rows.
      {"krr_predict", 1, model_inputs(2, 40, 2000, 3, 1e-3)},
      {"krr_predict", 5, model_inputs(2, 200, 300, 1, 1e-3, {text_value("Method"), text_value("exact"),
                                                           text_value("Rank"), test_host::make_scalar(20),
                                                           text_value("Verbose"), flag_value(false)})},
      {"krr_predict", 5, model_inputs(2, 200, 500, 1, 1e-3, {text_value("Method"), text_value("approximate"),
                                                           text_value("Rank"), test_host::make_scalar(30),
                                                           text_value("Verbose"), flag_value(false)})},
  };
  for (const long_call& c : calls) {
    SCOPED_TRACE(c.module);
    call_result whole = call_module(c.module, c.nlhs, c.in);
    ASSERT_EQ(whole.how, ending::returned) << whole.error_message;
    EXPECT_FALSE(whole.interrupt_still_pending);
    test_host::release_outputs(whole);
    const long polls = whole.interrupt_polls;
    ASSERT_GT(polls, 4);
    for (long after : {0L, polls / 2, polls - 1}) {
      SCOPED_TRACE(after);
      test_host::set_interrupt_after(after);
      call_result r = call_module(c.module, c.nlhs, c.in);
      expect_refusal(r, c.module, "interrupted", std::string(c.module) + ": interrupted by the user");
      EXPECT_EQ(r.interrupt_polls, after + 1);
      EXPECT_TRUE(r.interrupt_still_pending);
    }
    call_result again = call_module(c.module, c.nlhs, c.in);
    EXPECT_EQ(again.how, ending::returned) << again.error_message;
    EXPECT_EQ(again.interrupt_polls, polls);
    test_host::release_outputs(again);
  }
  if (old) {
    setenv("KRR_NUM_THREADS", saved.c_str(), 1);
  } else {
    unsetenv("KRR_NUM_THREADS");
  }
}

TEST_F(ModuleBoundary, WarningsCarryTheIdentifierAndTheResultsAreReturned) {
  // Near-duplicate samples with opposite targets, tiny ridge and tol: the work bound.
  std::vector<const mxArray*> in = {
      test_host::make_matrix(1, 4, {0, 1e-9, 1, 1 + 1e-9}), test_host::make_matrix(4, 1, {1, -1, 2, -2}),
      test_host::make_matrix(1, 2, {1, 1}), test_host::make_scalar(1e-15),
      test_host::make_scalar(1e-14), test_host::make_scalar(1), test_host::make_scalar(0)};
  call_result r = train(4, in);
  ASSERT_EQ(r.how, ending::returned);
  EXPECT_TRUE(r.faults.empty()) << test_host::describe_faults(r);
  ASSERT_EQ(r.warnings.size(), 1u);
  EXPECT_EQ(r.warnings[0].id, "tarvel:notConverged");
  EXPECT_EQ(r.warnings[0].message.rfind("tarvel: stopped by the work bound after 4000 block steps", 0), 0u)
      << r.warnings[0].message;
  EXPECT_EQ(*mxGetPr(r.outputs[3]), 4.0 * 4000);
  test_host::release_outputs(r);

  // Where the user made warnings errors, the host ends the call at the warning; the
  // outputs already stored are the host's to discard and nothing else is left.
  test_host::set_warnings_as_errors(true);
  r = train(4, in);
  test_host::set_warnings_as_errors(false);
  EXPECT_TRUE(r.faults.empty()) << test_host::describe_faults(r);
  EXPECT_EQ(r.how, ending::module_error);
  EXPECT_EQ(r.error_id, "tarvel:notConverged");
  EXPECT_EQ(r.printed.substr(0, 31), "Number of kernel evaluation is ");

  // Identical samples with different targets, ridge 0: a singular system with no
  // solution. The cause, then the ending, and finite outputs.
  in = {test_host::make_matrix(1, 2, {0.5, 0.5}), test_host::make_matrix(2, 1, {1, -1}),
        test_host::make_matrix(1, 2, {1, 1}), test_host::make_scalar(0),
        test_host::make_scalar(1e-8), test_host::make_scalar(2), test_host::make_scalar(0)};
  r = train(2, in);
  ASSERT_EQ(r.how, ending::returned);
  EXPECT_TRUE(r.faults.empty()) << test_host::describe_faults(r);
  ASSERT_EQ(r.warnings.size(), 2u);
  EXPECT_EQ(r.warnings[0].id, "tarvel:illConditioned");
  EXPECT_EQ(r.warnings[1].id, "tarvel:notConverged");
  for (const auto& w : r.warnings) EXPECT_EQ(w.message.rfind("tarvel: ", 0), 0u);
  for (int i = 0; i < 2; ++i) {
    EXPECT_TRUE(std::isfinite(mxGetPr(r.outputs[0])[i]) && std::isfinite(mxGetPr(r.outputs[1])[i]));
  }
  test_host::release_outputs(r);
}

TEST_F(ModuleBoundary, HostAllocationFailureAtEveryOutputEndsTheCallCleanly) {
  // tarvel creates alpha and grad (8n bytes each), then three scalars; a limit just
  // short of each creation makes the host end the call there.
  const std::size_t n = 20;
  for (std::size_t limit : {8 * n - 1, 16 * n - 1, 16 * n + 7, 16 * n + 15, 16 * n + 23}) {
    SCOPED_TRACE(limit);
    test_host::set_allocation_limit(limit);
    call_result r = train(5, training_inputs(2, n, 0.1, 1e-6, 2, 0));
    EXPECT_TRUE(r.faults.empty()) << test_host::describe_faults(r);
    EXPECT_EQ(r.how, ending::host_out_of_memory);
    EXPECT_EQ(r.error_message.rfind("tarvel: failed to allocate", 0), 0u) << r.error_message;
  }
  test_host::set_allocation_limit(16 * n + 24);
  call_result r = train(5, training_inputs(2, n, 0.1, 1e-6, 2, 0));
  EXPECT_EQ(r.how, ending::returned) << r.error_message;
  test_host::release_outputs(r);

  test_host::set_allocation_limit(8 * 5 - 1);
  r = predict(1, prediction_inputs(3, 8, 5));
  EXPECT_EQ(r.how, ending::host_out_of_memory);
  EXPECT_TRUE(r.faults.empty()) << test_host::describe_faults(r);

  // The internal modules: a limit one byte short of each output in the order they are
  // created ends the call there; one that holds them all lets it return. The solves make
  // their info struct last, once the core is done, field by field.
  std::vector<std::size_t> solve_bytes = {8 * n * 2, 8 * n * 2}, lml_bytes = {8, 8 * 4, 8 * n * 4, 8 * 3, 8 * 4 * 3};
  for (std::size_t b : info_bytes(SOLVE_INFO)) solve_bytes.push_back(b);
  for (std::size_t b : info_bytes(LML_INFO)) lml_bytes.push_back(b);
  struct outputs {
    const char* module;
    int nlhs;
    std::vector<const mxArray*> in;
    std::vector<std::size_t> bytes;
  };
  const std::vector<outputs> modules = {
      {"krr_solve", 3, solver_inputs(2, n, 2, 0.1, solve_options(2)), solve_bytes},
      {"krr_lml", 6, solver_inputs(2, n, 1, 0.1, lml_options(2)), lml_bytes},
      {"krr_memory", 1, {}, {8}},
      // krr_predict: Ypred, then (the cells of warnings and failure hold nothing) Ysd and Yint.
      {"krr_predict", 1, model_inputs(3, 8, 5, 2, 0.1), {8 * 5 * 2}},
      {"krr_predict", 5, model_inputs(3, 8, 5, 2, 0.1, {text_value("Verbose"), flag_value(false)}),
       {8 * 5 * 2, 8 * 5 * 2, 8 * 5 * 2 * 2}},
  };
  for (const outputs& m : modules) {
    std::size_t total = 0;
    for (std::size_t b : m.bytes) {
      total += b;
      SCOPED_TRACE(std::string(m.module) + ", limit " + std::to_string(total - 1));
      test_host::set_allocation_limit(total - 1);
      r = call_module(m.module, m.nlhs, m.in);
      EXPECT_TRUE(r.faults.empty()) << test_host::describe_faults(r);
      EXPECT_EQ(r.how, ending::host_out_of_memory);
      EXPECT_EQ(r.error_message.rfind(std::string(m.module) + ": failed to allocate", 0), 0u) << r.error_message;
    }
    test_host::set_allocation_limit(total);
    r = call_module(m.module, m.nlhs, m.in);
    EXPECT_EQ(r.how, ending::returned) << m.module << ": " << r.error_message;
    test_host::release_outputs(r);
  }
}

// Memory the process cannot have: a cache budget beyond it is capped, with a warning
// naming the cap; working arrays beyond it are refused with their size.
TEST_F(ModuleBoundary, MemoryBeyondWhatTheProcessCanHaveIsCappedOrRefused) {
  auto inputs = [&](std::size_t n, double k, double cache) {
    return std::vector<const mxArray*>{
        test_host::make_array(mxDOUBLE_CLASS, {0, n}), test_host::make_array(mxDOUBLE_CLASS, {n, 1}),
        test_host::make_scalar(1), test_host::make_scalar(0.1), test_host::make_scalar(1e-6),
        test_host::make_scalar(k), test_host::make_scalar(cache)};
  };
  const char* old = std::getenv("KRR_MEMORY_LIMIT");
  const std::string saved = old ? old : "";
  setenv("KRR_MEMORY_LIMIT", "1e7", 1);
  call_result r = train(2, inputs(20000, 1, Inf));
  // The estimate of the marginal likelihood counts every array it allocates, its threads'
  // included: at n = 2000 with 64 probes they need more than the 1e7 bytes, though the
  // operator alone would fit; refused before any work, with their size.
  const std::size_t n_lml = 2000;
  std::vector<double> X(2 * n_lml), Y(n_lml);
  for (std::size_t i = 0; i < X.size(); ++i) X[i] = std::fmod(0.37 * i, 1.0);
  for (std::size_t j = 0; j < n_lml; ++j) Y[j] = std::sin(1.3 * j);
  std::vector<const mxArray*> lml_in = {test_host::make_matrix(2, n_lml, X), test_host::make_matrix(n_lml, 1, Y),
                                        test_host::make_matrix(1, 3, {1, 1, 1}), test_host::make_scalar(0.1),
                                        test_host::make_array(mxDOUBLE_CLASS, {0, 0})};
  for (const mxArray* a : pairs({{"Probes", 64}, {"Tolerance", 1e-2}, {"BlockSize", 64}, {"LogDet", 0, "none"},
                                 {"LanczosSteps", 10}, {"MaxPasses", 10}})) {
    lml_in.push_back(a);
  }
  call_result lml = test_host::call("krr_lml", krr_lml_mex_function, 4, lml_in);
  // krr_memory reports what the calls may plan for: no more than the limit.
  call_result memory = call_module("krr_memory", 1, {});
  // A block of all 3000 samples: its k x k matrices alone are 144 MB.
  std::vector<const mxArray*> block = {
      test_host::make_array(mxDOUBLE_CLASS, {0, 3000}), test_host::make_array(mxDOUBLE_CLASS, {3000, 1}),
      test_host::make_scalar(1), test_host::make_scalar(0.1), test_host::make_array(mxDOUBLE_CLASS, {0, 0})};
  for (const mxArray* a : pairs({{"Tolerance", 1e-6}, {"BlockSize", 3000}, {"CacheBytes", 0}, {"MaxPasses", 10}})) {
    block.push_back(a);
  }
  call_result solve = call_module("krr_solve", 3, block);
  // The deviations' factor of rank 1000 on 3000 samples is 24 MB by itself: refused before
  // any work, with its size, by either method; krr_predict returns the refusal as data.
  std::vector<call_result> variance;
  for (const char* method : {"exact", "approximate"}) {
    variance.push_back(call_module("krr_predict", 5,
                                   model_inputs(1, 3000, 10, 1, 0.1, {text_value("Method"), text_value(method)})));
  }
  if (old) {
    setenv("KRR_MEMORY_LIMIT", saved.c_str(), 1);
  } else {
    unsetenv("KRR_MEMORY_LIMIT");
  }
  ASSERT_EQ(memory.how, ending::returned);
  EXPECT_GT(*mxGetPr(memory.outputs[0]), 0.0);
  EXPECT_LE(*mxGetPr(memory.outputs[0]), 1e7);
  test_host::release_outputs(memory);
  expect_refusal(solve, "krr_solve", "outOfMemory",
                 "bytes for the solver's arrays, more than the memory available to this process");
  for (const call_result& v : variance) {
    ASSERT_EQ(v.how, ending::returned) << v.error_message;
    EXPECT_TRUE(v.faults.empty()) << test_host::describe_faults(v);
    ASSERT_EQ(mxGetNumberOfElements(v.outputs[2]), 2u);
    EXPECT_EQ(cell_text(v.outputs[2], 0), "outOfMemory");
    EXPECT_NE(cell_text(v.outputs[2], 1).find("bytes for the variances' arrays, more than the memory available to this process"),
              std::string::npos) << cell_text(v.outputs[2], 1);
  }
  ASSERT_EQ(r.how, ending::returned);
  EXPECT_TRUE(r.faults.empty()) << test_host::describe_faults(r);
  ASSERT_EQ(r.warnings.size(), 1u);
  EXPECT_EQ(r.warnings[0].id, "tarvel:cacheCapped");
  EXPECT_NE(r.warnings[0].message.find("about 1e+07 bytes available to it): the cache was capped at"),
            std::string::npos) << r.warnings[0].message;
  test_host::release_outputs(r);

  expect_refusal(lml, "krr_lml", "outOfMemory", "bytes for the estimate's arrays, more than the memory");
  test_host::destroy_all();

  // A block as large as the data: n * k doubles of block columns, 2e14 bytes, more than any
  // machine has.
  const double n = 5000000;
  r = train(2, inputs(static_cast<std::size_t>(n), n, 0));
  expect_refusal(r, "tarvel", "outOfMemory", "bytes for the working arrays, more than the memory "
                                            "available to this process (n = 5000000, k = 5000000");
  test_host::destroy_all();

  // The host goes on.
  r = train(1, training_inputs(2, 10, 0.1, 1e-6, 2, 0));
  EXPECT_EQ(r.how, ending::returned);
  test_host::release_outputs(r);
}

TEST_F(ModuleBoundary, PredictionStorageThatCannotBeHadIsRefusedWithItsSize) {
#if !defined(BOUNDARY_ASAN)
  GTEST_SKIP() << "needs the sanitizer allocator's request limit";
#else
  // The output (80 MB) is within the 128 MiB request limit, the norms of both sample
  // sets (160 MB) are not. No features, so X and Xtest need no storage.
  const std::size_t n = 10000000, nt = 10000000;
  call_result r = predict(1, {test_host::make_array(mxDOUBLE_CLASS, {0, nt}),
                              test_host::make_array(mxDOUBLE_CLASS, {0, n}), test_host::make_scalar(1),
                              test_host::make_array(mxDOUBLE_CLASS, {n, 1})});
  expect_refusal(r, "quorril", "outOfMemory", "could not allocate 160000000 bytes for the sample norms");

  // The deviations' factor of 60000 samples by 291 columns (Rank 300 cut to the 40% of the
  // memory the factor may take, 0.4 * 3.5e8 / (8 * 60000) columns): 139.68 MB in one request, within
  // the memory the call may plan for (which leaves the kernel cache, and the block's 256
  // kernel columns, less than the request limit) but beyond the request limit. The core's allocation fails and krr_predict returns
  // the failure, with its size, as data, by either method.
  const char* old = std::getenv("KRR_MEMORY_LIMIT");
  const std::string saved = old ? old : "";
  setenv("KRR_MEMORY_LIMIT", "3.5e8", 1);
  for (const char* method : {"exact", "approximate"}) {
    SCOPED_TRACE(method);
    r = call_module("krr_predict", 5, model_inputs(1, 60000, 3, 1, 0.1, {text_value("Method"), text_value(method),
                                                                          text_value("Rank"), test_host::make_scalar(300)}));
    ASSERT_EQ(r.how, ending::returned) << r.error_message;
    EXPECT_TRUE(r.faults.empty()) << test_host::describe_faults(r);
    ASSERT_EQ(mxGetNumberOfElements(r.outputs[2]), 2u);
    EXPECT_EQ(cell_text(r.outputs[2], 0), "outOfMemory");
    EXPECT_EQ(cell_text(r.outputs[2], 1), "could not allocate 139680000 bytes for the variances' arrays");
    test_host::release_outputs(r);
  }
  if (old) {
    setenv("KRR_MEMORY_LIMIT", saved.c_str(), 1);
  } else {
    unsetenv("KRR_MEMORY_LIMIT");
  }
#endif
}

// Deliberately faulty entries: the host's checks must catch each of them.
void leaves_an_array(int, mxArray*[], int, const mxArray*[]) { mxCreateDoubleMatrix(2, 3, mxREAL); }
void swallows_the_error(int, mxArray*[], int, const mxArray*[]) {
  try {
    mexErrMsgIdAndTxt("bad:error", "bad: refused");
  } catch (...) {
  }
}
void writes_its_input(int, mxArray*[], int, const mxArray* prhs[]) { mxGetPr(prhs[0])[0] = 2.0; }
void returns_its_input(int, mxArray* plhs[], int, const mxArray* prhs[]) {
  plhs[0] = const_cast<mxArray*>(prhs[0]);
}
void reads_char_as_double(int, mxArray*[], int, const mxArray* prhs[]) { mxGetPr(prhs[0]); }
void releases_twice(int, mxArray* plhs[], int, const mxArray*[]) {
  mxArray* a = mxCreateDoubleMatrix(1, 1, mxREAL);
  mxDestroyArray(a);
  plhs[0] = a;
}

// Every other test here passes a module only because the test host reported no fault: a
// host whose checks had stopped working would pass faulty modules unseen. So each check
// is shown to fire on a module with that fault.
// The learner's module: its options arrive by name in the classes a user gives them (a
// logical, an int32, a string, a cell of strings); the learner's refusals come back as data
// for krrfit to raise under its own name, the module's own as its errors; an interrupt or a
// failed host allocation ends the call with nothing left behind.
TEST_F(ModuleBoundary, LearnerReturnsItsRefusalsAsDataAndLeavesNothingBehind) {
  const std::size_t n = 30, d = 2;
  std::vector<double> X(n * d), y(n);
  for (std::size_t i = 0; i < X.size(); ++i) X[i] = std::fmod(0.37 * i, 1.0);
  for (std::size_t j = 0; j < n; ++j) y[j] = std::sin(3.0 * X[j]) + X[n + j];
  auto text = [](const char* s) { return static_cast<const mxArray*>(mxCreateString(s)); };
  auto names = [](const char* s) {
    mxArray* cell = mxCreateCellMatrix(1, 1);
    mxSetCell(cell, 0, mxCreateString(s));
    return static_cast<const mxArray*>(cell);
  };
  auto read = [](const mxArray* cell, std::size_t i) {
    char* s = mxArrayToString(mxGetCell(cell, i));
    std::string out = s ? s : "";
    mxFree(s);
    return out;
  };
  const std::vector<const mxArray*> data = {test_host::make_matrix(n, d, X), test_host::make_matrix(n, 1, y)};
  auto with = [&](std::vector<const mxArray*> options) {
    std::vector<const mxArray*> in = data;
    in.insert(in.end(), options.begin(), options.end());
    return in;
  };
  mxArray* off = test_host::make_array(mxLOGICAL_CLASS, {1, 1});
  const std::vector<const mxArray*> fit = with({text("verbose"), off, text("MaxIterations"),
                                                typed_scalar(mxINT32_CLASS, 5), text("Fixed"),
                                                names("Amplitude"), text("Method"), text("dense")});
  call_result r = call_module("krr_fit", 3, fit);
  ASSERT_EQ(r.how, ending::returned) << r.error_message;
  EXPECT_TRUE(r.faults.empty()) << test_host::describe_faults(r);
  EXPECT_TRUE(r.printed.empty()) << r.printed;
  EXPECT_STREQ(mxGetClassName(r.outputs[0]), "struct");
  // The int32 MaxIterations was read: five iterations leave the search short of its end,
  // which the one warning says (the default 100 end at the ridge's bound instead).
  ASSERT_EQ(mxGetNumberOfElements(r.outputs[1]), 2u);
  EXPECT_EQ(read(r.outputs[1], 0), "iterationLimit") << read(r.outputs[1], 1);
  EXPECT_EQ(mxGetNumberOfElements(r.outputs[2]), 0u);
  test_host::release_outputs(r);

  // The learner's refusals: data, in krrfit's words.
  struct refusal {
    std::vector<const mxArray*> options;
    const char* message;
  };
  const std::vector<refusal> refusals = {
      {{text("MaxIterations"), test_host::make_scalar(1.5)},
       "MaxIterations must be a whole number from 0 to 1000000, got 1.5"},
      {{text("Verbose")}, "options must be name-value pairs, got an odd number (1) of arguments after X and Y"},
      {{test_host::make_scalar(3), test_host::make_scalar(4)},
       "option names must be strings, got a double as argument 1 after X and Y"},
      {{text("Fixed"), names("Noise")}, "unknown parameter in Fixed: Noise"},
  };
  for (const refusal& f : refusals) {
    SCOPED_TRACE(f.message);
    r = call_module("krr_fit", 3, with(f.options));
    ASSERT_EQ(r.how, ending::returned) << r.error_message;
    EXPECT_TRUE(r.faults.empty()) << test_host::describe_faults(r);
    EXPECT_EQ(mxGetNumberOfElements(r.outputs[0]), 0u);
    ASSERT_EQ(mxGetNumberOfElements(r.outputs[2]), 2u);
    EXPECT_EQ(read(r.outputs[2], 0), "invalidInput");
    EXPECT_EQ(read(r.outputs[2], 1).rfind(f.message, 0), 0u) << read(r.outputs[2], 1);
    test_host::release_outputs(r);
  }

  // The module's own refusals, of calls krrfit never makes.
  expect_refusal(call_module("krr_fit", 1, {data[0]}), "krr_fit", "nargin", "expected X, Y");
  expect_refusal(call_module("krr_fit", 4, data), "krr_fit", "nargout", "");
  expect_refusal(call_module("krr_fit", 1, {typed_scalar(mxINT32_CLASS, 1), data[1]}), "krr_fit",
                 "invalidInput", "X");

  // An interrupt at the first poll and at a later one; a host allocation that fails.
  for (long after : {0L, 7L}) {
    test_host::set_interrupt_after(after);
    r = call_module("krr_fit", 3, fit);
    expect_refusal(r, "krr_fit", "interrupted", "interrupted by the user");
    EXPECT_TRUE(r.interrupt_still_pending);
  }
  test_host::set_allocation_limit(8 * n);
  r = call_module("krr_fit", 3, fit);
  EXPECT_TRUE(r.faults.empty()) << test_host::describe_faults(r);
  EXPECT_EQ(r.how, ending::host_out_of_memory);
}

TEST_F(ModuleBoundary, TheHostCatchesFaultyModules) {
  struct faulty {
    test_host::entry_point entry;
    const char* fault;
  };
  const faulty cases[] = {
      {leaves_an_array, "left behind"},
      {swallows_the_error, "swallowed"},
      {writes_its_input, "input 0 was modified"},
      {returns_its_input, "did not create"},
      {reads_char_as_double, "mxGetPr on a char array"},
      {releases_twice, "not live"},
  };
  for (const faulty& c : cases) {
    SCOPED_TRACE(c.fault);
    mxArray* in = c.entry == reads_char_as_double ? test_host::make_array(mxCHAR_CLASS, {1, 2})
                                                  : test_host::make_scalar(1);
    call_result r = test_host::call("bad", c.entry, 1, {in});
    ASSERT_FALSE(r.faults.empty());
    EXPECT_NE(test_host::describe_faults(r).find(c.fault), std::string::npos)
        << test_host::describe_faults(r);
  }
}

}  // namespace
