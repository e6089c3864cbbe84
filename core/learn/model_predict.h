// Prediction from a fitted model (core/learn/fit.h) without a host: the model's fields
// checked, the new observations standardised as the fit standardised its own, the
// predictions of every output (core/predict/predict.h) with the targets' means added back,
// and where asked the predictive standard deviations of the model's Gaussian process and
// the intervals they give (core/predict/variance.h), by the exact or the approximate
// method, each output's deviations scaled by its YScale. krrpredict's whole computation:
// the host converts its arguments (the model's fields with their dims, the options by
// name), raises the warnings and the error returned under its own name, and receives the
// progress line where Verbose is on.
//
// Host-free: no printing (a progress sink receives the line), no global state, no
// exceptions (a status). Deterministic: the same bits on any thread count.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "core/learn/fit.h"
#include "core/learn/fit_options.h"
#include "core/predict/variance.h"

namespace krr {

// Whose deviation: a new observation's (the latent function's plus the noise variance,
// the ridge) or the latent function's alone.
enum class deviation_target { observation, curve };

// How the latent variances are computed: exact (preconditioned conjugate gradients),
// approximate (a pivoted Cholesky factor of rank at most `rank`, kept as a deviation_cache),
// or automatic: exact unless n^2 * nt > 2e10 (n training samples, nt new observations),
// approximate above.
enum class deviation_method { automatic, exact, approximate };

struct model_predict_settings {
  bool deviations = false;  // also the deviations and the intervals
  deviation_target prediction = deviation_target::observation;
  deviation_method method = deviation_method::automatic;
  int rank = 4000;      // the factor's largest rank, 1 ... 1000000
  double alpha = 0.05;  // the intervals hold 100 (1 - alpha)%, alpha in (0, 1)
  // The approximate deviations are checked against exact solves of a sample of the rows
  // (CHECK_ROWS of them, spread evenly); where the 95th percentile of their relative errors
  // is above this, a warning (approximate) states it. Inf: no check. Positive.
  double tolerance = 0.02;
  // The model's cache (where it has one): the approximate method's factor, and the exact
  // method's preconditioner. One built for other weights or another ridge than the model's
  // is stale and built again; one that does not fit the model is refused (invalidModel).
  const deviation_cache* cache = nullptr;
  // Starts the progress line ("<name>: deviations of ...") and names the function in the
  // messages that speak of it.
  std::string name = "krrpredict";
  // Where the deviations are computed: the progress line, without a newline, goes to
  // `progress` (where set) if verbose is on. The result holds it either way.
  bool verbose = true;
  std::function<void(const std::string& line)> progress;
  // Threads of the prediction and the variances (0: one per processor this process may
  // use). The results do not depend on it.
  int threads = 0;
  // Bytes the variances may plan for (their batch, the kernel cache). NaN:
  // available_memory_bytes().
  double memory_bytes = std::numeric_limits<double>::quiet_NaN();
  // Polled on the calling thread inside the long loops; true stops the call with status
  // interrupted.
  bool (*interrupt_pending)(void*) = nullptr;
  void* interrupt_state = nullptr;
  // Where this call predicts a share of a larger set of new observations (a host's process
  // among several, each taking contiguous rows): its rows are [first_row, first_row + nt) of
  // all_rows. The messages name the rows by their place in the whole set, and the progress
  // line names all_rows; -1: the call's own nt.
  std::int64_t first_row = 0;
  std::int64_t all_rows = -1;
};

// The deviation method 'automatic' stands for with n training samples and nt new
// observations (the others stand for themselves).
deviation_method resolved_method(deviation_method method, std::int64_t n, std::int64_t nt);

// The options as a host gives them, by name: Alpha, Prediction, Method, Rank, Verbose and
// DeviationTolerance, in any case; the last value given for a name counts.
// read_predict_options checks them all in that order and sets them in a
// model_predict_settings, with the messages krrpredict gives (without its leading
// "krrpredict: "):
//   Alpha       a real numeric scalar in (0, 1)
//   Prediction  'observation' or 'curve', in any case
//   Method      'auto', 'exact' or 'approximate', in any case
//   Rank        a whole number from 1 to 1000000
//   Verbose     true or false (a logical or number 0 or 1, 'on' or 'off')
//   DeviationTolerance  a positive real scalar (Inf: no check)
// model_predict checks the typed Alpha, Rank and tolerance it is given by the same rules.
struct predict_option_set {
  std::vector<option_value> values;  // one per option, in the order above
  std::vector<bool> given;
  predict_option_set();
};

// Sets the option `name` (any case). False, with the message, for an unknown name.
bool set_predict_option(predict_option_set& set, const std::string& name,
                        const option_value& value, std::string& message);

// Checks every option given, in the order above, into settings (the others keep their
// values there). False, with the message of the first one refused.
bool read_predict_options(const predict_option_set& set, model_predict_settings& settings,
                          std::string& message);

// The dims (rows x cols) of each of a model's fields as a host holds them: the checks
// compare them and name them in their messages, as krrpredict always has. X d x n (d and
// n at least 1), Alpha n x c (c at least 1), Weights a vector of d + 1 entries (a row or a
// column), Mu and Sigma 1 x d, YMean 1 x c, Ridge 1 x 1. Each field's entries must be
// rows * cols.
struct field_dims {
  std::int64_t rows = 0, cols = 0;
};
struct model_dims {
  field_dims X, alpha, weights, mu, sigma, y_mean, y_scale, ridge;
};

// The dims of a model as fit writes it: X d x n with d the entries of mu (of the weights
// less one where mu is empty; one row where neither has any), Alpha n x c, the other
// fields rows, Ridge 1 x 1.
model_dims dims_as_written(const fit_model& model);

enum class model_predict_status {
  done = 0,
  invalid_model,  // invalidModel: a field missing its size, not finite, out of range
  invalid_input,  // invalidInput: the new observations or a setting refused
  breakdown,      // breakdown: the deviations overflowed double precision
  out_of_memory,  // outOfMemory: an allocation failed
  interrupted,    // interrupted: the host asked to stop
};

struct model_prediction {
  model_predict_status status = model_predict_status::done;
  fit_message error;                  // where status is not done ({code, message} as fit's)
  std::vector<double> predictions;    // nt x c, column-major, in the units of Y
  // Where deviations were asked (and status is done):
  std::vector<double> deviations;     // nt x c, column-major: each output's standard
                                      // deviation in Y's units, the shared kernel's times
                                      // the output's YScale
  std::vector<double> lower, upper;   // nt x c, column-major: predictions -/+ z deviations
  double z = 0.0;                     // the normal quantile sqrt(2) erfinv(1 - alpha)
  deviation_method method = deviation_method::automatic;  // exact or approximate, as used
  double passes = 0.0;                // passes over K, summed over the batches: the exact
                                      // solves', or those of the approximate method's check
  int rank = 0;                       // the factor's rank (the preconditioner's, if exact)
  double largest_residual = 0.0;      // the factor's largest left-out diagonal entry
  // Approximate, checked: the rows checked against exact solves, and the 95th percentile
  // (nearest rank) and the largest of their deviations' relative errors (NaN unchecked).
  int checked_rows = 0;
  double estimated_error = std::numeric_limits<double>::quiet_NaN();
  double largest_checked_error = std::numeric_limits<double>::quiet_NaN();
  // The factor used by either method, for the host to keep with the model: the model's
  // (not owned: valid while settings.cache is), or one built here (cache_built), stamped
  // with the model's weights and ridge.
  std::shared_ptr<const deviation_cache> cache;
  bool cache_built = false;
  int threads = 0;                    // threads of the variances' row loops
  double seconds = 0.0;               // wall-clock time of the variances
  std::string progress_line;          // the line above as text, no newline
  std::vector<fit_message> warnings;  // notConverged, approximate, in the order raised
};

// Rows of the approximate deviations checked against exact solves.
constexpr int CHECK_ROWS = 16;

// Predicts at the nt x d new observations Xnew (column-major, one per row, in the units of
// the X given to fit) from `model`, whose fields have the dims `dims`. The model is checked
// first (its d is X's rows, every other field is checked against X), then Xnew's d, the
// settings' Alpha and Rank, Xnew's entries (finite) and, for deviations, the ridge, then
// Xnew's entries standardised by mu and sigma (finite), so a refusal costs nothing.
model_prediction model_predict(const fit_model& model, const model_dims& dims, const double* Xnew,
                               std::int64_t nt, int d, const model_predict_settings& settings);

// The same for a model as fit writes it (dims_as_written).
model_prediction model_predict(const fit_model& model, const double* Xnew, std::int64_t nt, int d,
                               const model_predict_settings& settings);

// The refusal of a new-observation matrix of the wrong shape, for a model of d features:
// got is its size and class as messages show them ("2 x 50 double"); where its rows are the
// model's features (it looks transposed) the message says to pass its transpose.
std::string xnew_shape_message(int d, const std::string& got, bool rows_are_features);

// The inverse error function on [-1, 1] (+/-Inf at +/-1, NaN outside), to within a few
// units in the last place: a polynomial starting value in log(1 - y^2) refined by Newton
// steps on std::erf, or on log(std::erfc) where |y| > 0.5 so that the residual keeps
// its relative accuracy.
double inverse_erf(double y);
// The complementary one on [0, 2]: x with erfc(x) = q (+Inf at 0, -Inf at 2, NaN outside),
// q taken as given, so that the far tail (q below 2^-53, where 1 - q is 1) keeps its digits.
double inverse_erfc(double q);

}  // namespace krr
