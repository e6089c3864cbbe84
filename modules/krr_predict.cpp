// Host entry of prediction from a fitted model (core/learn/model_predict.h), which
// krrpredict calls:
//   [Ypred, warnings, failure, Ysd, Yint, cache] = krr_predict (model, Xnew, name, value, ...)
//   model     krrfit's model struct: its fields read as the host holds them (double or
//             single, full), with their dims
//   Xnew      m x d, real, full, of any numeric class
//   name, value   krrpredict's options, by name in any case, each value as the caller gave it
//   Ypred     m x c predictions ([] where the call failed)
//   warnings  k x 2 cell array of the warnings in the order raised: the code (krrpredict's
//             identifier without "krrpredict:") and the message (without "krrpredict: ")
//   failure   {} where the call succeeded, else 1 x 2 {code, message} alike
//   Ysd, Yint the deviations (m x c, every column the same) and the intervals' bounds
//             (m x 2 x c; m x 2 for one output), computed only where asked for: a call with
//             at most three outputs computes the predictions alone, and needs no Ridge.
//   cache     the deviations' cache built in this call, as the struct krrpredict keeps in
//             MODEL.DeviationCache (fields Pivots r x 1, 1-based; Factor and Chol r x r
//             upper triangular, Factor' * Factor = K(Z, Z) and Chol' * Chol = Ridge *
//             K(Z, Z) + K(Z, X) * K(X, Z) for the pivots Z; LeftOut; the Weights and Ridge
//             it was built for); [] where the model's own served or the call failed. The
//             model's, where it has a nonempty one, is read and checked first: one built for
//             other Weights or another Ridge is built again; one that cannot serve the
//             model is refused (invalidModel).
// Every refusal of the model, of Xnew and of the options, and every failure of the
// computation, comes back as data, so that krrpredict raises it under its own name: the host
// would start an error raised here with this module's name. Only a call that krrpredict
// would never make (argument and output counts) is refused here, with krr_predict:nargin or
// krr_predict:nargout; Ctrl-C ends the call as in the other modules. The progress line of
// the deviations is printed where Verbose is on.
#include "core/exact_arithmetic.h"

#include <algorithm>
#include <cstring>
#include <cstddef>
#include <string>
#include <vector>

#include "core/learn/model_predict.h"
#include "mex.h"
#include "modules/host/argument_checks.h"
#include "modules/host/interrupt.h"
#include "modules/host/module_call.h"
#include "modules/host/named_options.h"
#include "modules/host/operator_setting.h"
#include "modules/host/thread_setting.h"
#include "modules/host/value_reading.h"

namespace {

constexpr const char* FN = "krr_predict";
constexpr int OUTPUTS = 6;
// The cache's fields, in order.
const char* const CACHE_FIELDS[] = {"Pivots", "Factor", "Chol", "LeftOut", "Weights", "Ridge"};
// Outputs beyond this many ask for the deviations.
constexpr int PREDICTIONS_ONLY = 3;

// A refusal of the call's arguments, in krrpredict's words.
struct refusal {
  krr::model_predict_status status = krr::model_predict_status::done;
  krr::fit_message message;
  bool refused() const { return status != krr::model_predict_status::done; }
  void set(krr::model_predict_status s, const char* code, const std::string& text) {
    if (refused()) return;
    status = s;
    message = {code, text};
  }
};

void refuse_model(refusal& r, const std::string& text) {
  r.set(krr::model_predict_status::invalid_model, "invalidModel", "MODEL" + text);
}

// The class as messages name it: "complex " before a complex one's.
std::string class_text(const mxArray* a) {
  return std::string(mxIsComplex(a) ? "complex " : "") + (mxIsSparse(a) ? "sparse " : "") +
         mxGetClassName(a);
}

// A model's field as the core reads it: real floating point (double or single), full, a
// matrix; its values as doubles and its dims. False, with the refusal, where it is not. A
// field without a value is an empty double.
bool read_field(const mxArray* model, const char* name, std::vector<double>& values,
                krr::field_dims& dims, refusal& r) {
  const mxArray* v = mxGetField(model, 0, name);
  values.clear();
  dims = {0, 0};
  if (!v) return true;
  const bool floating = mxGetClassID(v) == mxDOUBLE_CLASS || mxGetClassID(v) == mxSINGLE_CLASS;
  if (!floating || mxIsComplex(v) || mxIsSparse(v)) {
    refuse_model(r, std::string(".") + name + " must be real floating point (double or single), got " +
                        class_text(v));
    return false;
  }
  if (mxGetNumberOfDimensions(v) != 2) {
    refuse_model(r, std::string(".") + name + " must be a matrix, got a " + host::dims_text(v) + " " +
                        class_text(v));
    return false;
  }
  values = host::numbers_of(v);
  dims = {static_cast<std::int64_t>(mxGetM(v)), static_cast<std::int64_t>(mxGetN(v))};
  return true;
}

// The model struct's checks that only the host can make (a struct, one, its FormatVersion,
// the fields present, each real floating point), then its fields read; the core checks their
// dims and values. A model of a version this function does not read goes to the core
// unread, whose first check refuses it before any field is looked at.
void read_model(const mxArray* a, bool deviations, krr::fit_model& m, krr::model_dims& dims,
                refusal& r) {
  if (mxGetClassID(a) != mxSTRUCT_CLASS) {
    refuse_model(r, std::string(" must be a struct returned by krrfit, got a ") + mxGetClassName(a));
    return;
  }
  if (mxGetNumberOfElements(a) != 1) {
    refuse_model(r, " must be one struct returned by krrfit, got a " + host::dims_text(a) + " struct array");
    return;
  }
  m.format_version = 1;  // a model of the first release has no FormatVersion
  if (mxGetFieldNumber(a, "FormatVersion") >= 0) {
    const mxArray* v = mxGetField(a, 0, "FormatVersion");
    const bool number = v && mxIsNumeric(v) && !mxIsComplex(v) && !mxIsSparse(v) &&
                        mxGetNumberOfElements(v) == 1;
    const double version = number ? host::numbers_of(v)[0] : 0.0;
    m.format_version = version == 1.0 ? 1 : version == 2.0 ? 2 : version == 3.0 ? 3 : version == 4.0 ? 4 : 0;
    if (m.format_version == 0) return;
  }
  // Version 3 adds each output's scale; earlier versions have none (every scale 1). Version
  // 4 names its kernel; an earlier model may, and without the name is the Gaussian.
  const char* const names[] = {"X", "Alpha", "Weights", "Mu", "Sigma", "YMean", "YScale", "Kernel"};
  std::string missing;
  for (const char* name : names) {
    const bool needed = std::strcmp(name, "YScale") == 0   ? m.format_version >= 3
                        : std::strcmp(name, "Kernel") == 0 ? m.format_version >= 4
                                                           : true;
    if (needed && mxGetFieldNumber(a, name) < 0) missing += (missing.empty() ? "" : ", ") + std::string(name);
  }
  if (!missing.empty()) {
    refuse_model(r, " must be a struct returned by krrfit; it has no field " + missing);
    return;
  }
  if (!read_field(a, "X", m.X, dims.X, r) || !read_field(a, "Alpha", m.alpha, dims.alpha, r) ||
      !read_field(a, "Weights", m.weights, dims.weights, r) || !read_field(a, "Mu", m.mu, dims.mu, r) ||
      !read_field(a, "Sigma", m.sigma, dims.sigma, r) || !read_field(a, "YMean", m.y_mean, dims.y_mean, r) ||
      (mxGetFieldNumber(a, "YScale") >= 0 && !read_field(a, "YScale", m.y_scale, dims.y_scale, r))) {
    return;
  }
  if (mxGetFieldNumber(a, "Kernel") >= 0) {
    const mxArray* k = mxGetField(a, 0, "Kernel");
    if (k && !host::text_of(k, m.kernel)) {
      refuse_model(r, ".Kernel must be a kernel's name (a character row), got a " + host::dims_text(k) +
                          " " + class_text(k));
      return;
    }
  }
  if (!deviations) return;
  if (mxGetFieldNumber(a, "Ridge") < 0) {
    refuse_model(r, " must have the field Ridge for YSD and YINT");
    return;
  }
  std::vector<double> ridge;
  if (read_field(a, "Ridge", ridge, dims.ridge, r) && ridge.size() == 1) m.ridge = ridge[0];
}

// MODEL.DeviationCache where the model has a nonempty one: a struct of CACHE_FIELDS, each
// real floating point, read into `cache` (the triangles' column-major storage of upper
// triangles is the core's row-major lower one); the core checks what they hold. False where
// the model has none.
bool read_cache(const mxArray* a, krr::deviation_cache& cache, refusal& r) {
  if (mxGetFieldNumber(a, "DeviationCache") < 0) return false;
  const mxArray* c = mxGetField(a, 0, "DeviationCache");
  if (!c || mxGetNumberOfElements(c) == 0) return false;
  std::string missing;
  if (mxGetClassID(c) == mxSTRUCT_CLASS && mxGetNumberOfElements(c) == 1) {
    for (const char* name : CACHE_FIELDS)
      if (mxGetFieldNumber(c, name) < 0) missing += (missing.empty() ? "" : ", ") + std::string(name);
  }
  if (mxGetClassID(c) != mxSTRUCT_CLASS || mxGetNumberOfElements(c) != 1 || !missing.empty()) {
    refuse_model(r, ".DeviationCache must be empty or one struct as krrpredict returns it (fields "
                    "Pivots, Factor, Chol, LeftOut, Weights, Ridge)" +
                        (missing.empty() ? std::string() : "; it has no field " + missing));
    return false;
  }
  std::vector<double> values[6];
  krr::field_dims dims[6];
  for (int i = 0; i < 6; ++i) {
    const mxArray* v = mxGetField(c, 0, CACHE_FIELDS[i]);
    const bool floating = v && (mxGetClassID(v) == mxDOUBLE_CLASS || mxGetClassID(v) == mxSINGLE_CLASS);
    if (!floating || mxIsComplex(v) || mxIsSparse(v) || mxGetNumberOfDimensions(v) != 2) {
      refuse_model(r, std::string(".DeviationCache.") + CACHE_FIELDS[i] +
                          " must be a real floating point matrix, got " + (v ? class_text(v) : "nothing"));
      return false;
    }
    values[i] = host::numbers_of(v);
    dims[i] = {static_cast<std::int64_t>(mxGetM(v)), static_cast<std::int64_t>(mxGetN(v))};
  }
  const std::size_t rank = values[0].size();
  for (int i : {1, 2}) {
    if (dims[i].rows != static_cast<std::int64_t>(rank) || dims[i].cols != static_cast<std::int64_t>(rank)) {
      refuse_model(r, std::string(".DeviationCache.") + CACHE_FIELDS[i] + " must be r x r, r = " +
                          std::to_string(rank) + " (the entries of Pivots), got " +
                          std::to_string(dims[i].rows) + " x " + std::to_string(dims[i].cols));
      return false;
    }
  }
  if (values[3].size() != 1 || values[5].size() != 1) {
    refuse_model(r, ".DeviationCache.LeftOut and .Ridge must be scalars");
    return false;
  }
  cache = krr::deviation_cache_of_fields(values);
  return true;
}

// The cache as krrpredict keeps it (CACHE_FIELDS).
mxArray* cache_struct(const krr::deviation_cache& cache) {
  mxArray* s = mxCreateStructMatrix(1, 1, 6, const_cast<const char**>(CACHE_FIELDS));
  const mwSize r = static_cast<mwSize>(cache.rank());
  mxArray* pivots = mxCreateDoubleMatrix(r, 1, mxREAL);
  for (mwSize i = 0; i < r; ++i) mxGetPr(pivots)[i] = cache.pivots[i] + 1.0;
  mxSetField(s, 0, "Pivots", pivots);
  const std::vector<double>* triangles[] = {&cache.factor, &cache.chol};
  for (int t = 0; t < 2; ++t) {
    mxArray* m = mxCreateDoubleMatrix(r, r, mxREAL);
    if (r > 0) std::copy(triangles[t]->begin(), triangles[t]->end(), mxGetPr(m));
    mxSetField(s, 0, t == 0 ? "Factor" : "Chol", m);
  }
  mxSetField(s, 0, "LeftOut", mxCreateDoubleScalar(cache.largest_residual));
  mxArray* w = mxCreateDoubleMatrix(1, cache.weights.size(), mxREAL);
  if (!cache.weights.empty()) std::copy(cache.weights.begin(), cache.weights.end(), mxGetPr(w));
  mxSetField(s, 0, "Weights", w);
  mxSetField(s, 0, "Ridge", mxCreateDoubleScalar(cache.ridge));
  return s;
}

// Xnew: real numbers of any class in a matrix with the model's d columns (d the rows of its
// X), read as doubles (a double one in place).
const double* read_rows(const mxArray* a, std::int64_t d, std::vector<double>& converted, refusal& r) {
  if (!mxIsNumeric(a) || mxIsComplex(a) || mxIsSparse(a) || mxGetNumberOfDimensions(a) != 2 ||
      static_cast<std::int64_t>(mxGetN(a)) != d) {
    const bool transposed = mxGetNumberOfDimensions(a) == 2 && static_cast<std::int64_t>(mxGetM(a)) == d;
    r.set(krr::model_predict_status::invalid_input, "invalidInput",
          krr::xnew_shape_message(static_cast<int>(d), host::dims_text(a) + " " + class_text(a),
                                  transposed));
    return nullptr;
  }
  if (mxIsDouble(a)) return mxGetNumberOfElements(a) ? mxGetPr(a) : nullptr;
  converted = host::numbers_of(a);
  return converted.data();
}

// The options after MODEL and XNEW: pairs of a name and a value, read into the settings by
// the core's checker, in krrpredict's words.
void read_options(int pairs, const mxArray* const options[], krr::model_predict_settings& settings,
                  refusal& r) {
  krr::predict_option_set set;
  std::string message;
  const bool read = host::read_pairs(
      options, pairs, "MODEL and XNEW",
      [&](const std::string& name, const mxArray* value, std::string& refused) {
        return krr::set_predict_option(set, name, host::option_of(value), refused);
      },
      message);
  if (!read || !krr::read_predict_options(set, settings, message)) {
    r.set(krr::model_predict_status::invalid_input, "invalidInput", message);
  }
}

void run(host::module_call& call, int nlhs, int nrhs, const mxArray* prhs[]) {
  using namespace host;
  call_failure& f = call.failure;
  if (nrhs < 2) {
    fail(f, FN, "nargin", "expected MODEL, XNEW and name-value options, got %d inputs", nrhs);
    return;
  }
  if (!check_output_count(nlhs, OUTPUTS, FN, f)) return;
  const bool deviations = nlhs > PREDICTIONS_ONLY;

  refusal r;
  krr::fit_model model;
  krr::model_dims dims;
  read_model(prhs[0], deviations, model, dims, r);
  std::vector<double> converted;
  const double* Xnew = nullptr;
  // A model the core refuses unread (its FormatVersion) goes there before anything else is
  // read: its refusal comes first.
  const bool version_known = model.format_version != 0;
  krr::deviation_cache cache;
  const bool has_cache = deviations && !r.refused() && version_known && read_cache(prhs[0], cache, r);
  if (!r.refused() && version_known) Xnew = read_rows(prhs[1], dims.X.rows, converted, r);
  const std::int64_t nt = static_cast<std::int64_t>(mxGetM(prhs[1]));
  krr::model_predict_settings settings;
  if (!r.refused() && version_known) read_options(nrhs - 2, prhs + 2, settings, r);

  krr::model_prediction result;
  if (r.refused()) {
    result.status = r.status;
    result.error = r.message;
  } else {
    // What the environment allows, read before any output exists (reading may warn); the
    // memory only where the variances plan for it.
    call_resources resources{requested_threads("krrpredict"), 0.0};
    if (deviations) resources = read_resources("krrpredict");
    run_core(call, "predicting", [&] {
      settings.name = "krrpredict";
      settings.deviations = deviations;
      if (has_cache) settings.cache = &cache;
      settings.threads = resources.threads;
      if (deviations) settings.memory_bytes = resources.memory;
      settings.interrupt_pending = &signal_pending;
      settings.interrupt_state = &call.watch;
      settings.progress = [](const std::string& line) { mexPrintf("%s\n", line.c_str()); };
      result = krr::model_predict(model, dims, Xnew, nt, version_known ? static_cast<int>(dims.X.rows) : 0,
                                  settings);
    });
    if (f.failed) return;
  }
  if (result.status == krr::model_predict_status::interrupted) {
    fail(f, FN, "interrupted", "interrupted by the user");
    return;
  }

  const bool done = result.status == krr::model_predict_status::done;
  const std::size_t rows = done ? static_cast<std::size_t>(nt) : 0;
  const std::size_t c = done && rows ? result.predictions.size() / rows
                                     : (done ? static_cast<std::size_t>(dims.alpha.cols) : 0);
  // Every copy below only where the outputs hold entries: an empty output has no storage.
  const bool filled = rows > 0 && c > 0;
  call.set_output(0, mxCreateDoubleMatrix(rows, c, mxREAL));
  if (filled) std::copy(result.predictions.begin(), result.predictions.end(), call.output_data(0));
  call.set_output(1, host::message_cells(result.warnings));
  call.set_output(2, done ? mxCreateCellMatrix(0, 0) : host::message_cells(std::vector<krr::fit_message>{result.error}));
  if (!deviations) return;
  call.set_output(3, mxCreateDoubleMatrix(rows, c, mxREAL));
  if (filled) {
    std::copy(result.deviations.begin(), result.deviations.end(), call.output_data(3));
  }
  // The bounds side by side for each output: Yint(:, 1, q) the lower, Yint(:, 2, q) the upper.
  const mwSize bounds[] = {static_cast<mwSize>(rows), 2, static_cast<mwSize>(c)};
  call.set_output(4, c == 1 || !done ? mxCreateDoubleMatrix(rows, done ? 2 : 0, mxREAL)
                                     : mxCreateNumericArray(3, bounds, mxDOUBLE_CLASS, mxREAL));
  if (nlhs > OUTPUTS - 1) {
    call.set_output(5, done && result.cache_built ? cache_struct(*result.cache) : mxCreateDoubleMatrix(0, 0, mxREAL));
  }
  if (!filled) return;
  double* yint = call.output_data(4);
  for (std::size_t q = 0; q < c; ++q) {
    std::copy(result.lower.begin() + q * rows, result.lower.begin() + (q + 1) * rows, yint + 2 * q * rows);
    std::copy(result.upper.begin() + q * rows, result.upper.begin() + (q + 1) * rows, yint + (2 * q + 1) * rows);
  }
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  host::module_call call(FN, nlhs, plhs);
  run(call, nlhs, nrhs, prhs);
  call.finish();
}
