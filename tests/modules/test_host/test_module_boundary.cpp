// Both modules' mexFunction driven through the test host (built with AddressSanitizer
// and UndefinedBehaviorSanitizer where the compiler has them): refusals with the
// module's identifier and nothing left behind, output slots of every count, the
// interrupt, the warnings, allocation failures of the host and of the module's own
// storage, and the test host's own checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
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
  struct bad_argument {
    std::size_t position;
    mxArray* array;
    const char* fragment;
  };
  const std::vector<bad_argument> cases = {
      {0, test_host::make_array(mxUINT16_CLASS, {3, 2}), "Xtest must be a real, full double array, got uint16"},
      {0, test_host::make_array(mxDOUBLE_CLASS, {3, 2, 2}), "Xtest must be a matrix"},
      {0, test_host::make_array(mxDOUBLE_CLASS, {2, 5}), "Xtest must have as many rows as X (3 features per sample), got 2"},
      {0, test_host::make_array(mxDOUBLE_CLASS, {0, std::size_t(1) << 40}), "Xtest must have as many rows as X"},
      {1, test_host::make_array(mxDOUBLE_CLASS, {3, 4}, false, true), "X must be a real, full double array, got sparse double"},
      {1, test_host::make_array(mxSTRUCT_CLASS, {2, 2}), "X must be a real, full double array, got struct"},
      {2, test_host::make_array(mxDOUBLE_CLASS, {3, 1}), "w must have at least 4 elements"},
      {2, test_host::make_array(mxSINGLE_CLASS, {4, 1}), "w must be a real, full double array, got single"},
      {3, test_host::make_array(mxDOUBLE_CLASS, {1, 7}), "alpha must have at least 8 elements (one coefficient per column of X), got 7"},
      {3, test_host::make_array(mxINT32_CLASS, {8, 1}), "alpha must be a real, full double array, got int32"},
      {3, test_host::make_array(mxDOUBLE_CLASS, {8, 1}, true), "got complex double"},
  };
  for (const bad_argument& c : cases) {
    SCOPED_TRACE(c.fragment);
    std::vector<const mxArray*> in = prediction_inputs(3, 8, 5);
    in[c.position] = c.array;
    expect_refusal(predict(1, in), "quorril", "invalidInput", c.fragment);
  }
  std::vector<const mxArray*> in = prediction_inputs(3, 8, 5);
  expect_refusal(predict(2, in), "quorril", "nargout", "at most 1 output, 2 requested");
  expect_refusal(predict(1, {in.begin(), in.begin() + 3}), "quorril", "nargin", "expected 4 inputs, got 3");
  expect_refusal(predict(0, {}), "quorril", "nargin", "expected 4 inputs, got 0");
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
  call_result lml = test_host::call(
      "krr_lml", krr_lml_mex_function, 4,
      {test_host::make_matrix(2, n_lml, X), test_host::make_matrix(n_lml, 1, Y),
       test_host::make_matrix(1, 3, {1, 1, 1}), test_host::make_scalar(0.1),
       test_host::make_matrix(1, 9, {64, 0, 1e-2, 64, Inf, 0, 10, 1e-6, 10}),
       test_host::make_array(mxDOUBLE_CLASS, {0, 0})});
  if (old) {
    setenv("KRR_MEMORY_LIMIT", saved.c_str(), 1);
  } else {
    unsetenv("KRR_MEMORY_LIMIT");
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
