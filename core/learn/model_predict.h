// Prediction from a fitted model (core/learn/fit.h) without a host: the model's fields
// checked, the new observations standardised as the fit standardised its own, the
// predictions of every output (core/predict/predict.h) with the targets' means added back,
// and where asked the predictive standard deviations of the model's Gaussian process and
// the intervals they give (core/predict/variance.h), by the exact or the approximate
// method, each output's deviations scaled by its YScale. What the host's predict function
// did, with the same choices and texts: the host converts its arguments, raises the
// warnings and the error returned under its own name and prints the progress line where
// it wants one.
//
// Host-free: no printing, no global state, no exceptions (a status). Deterministic: the
// same bits on any thread count.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "core/learn/fit.h"

namespace krr {

// Whose deviation: a new observation's (the latent function's plus the noise variance,
// the ridge) or the latent function's alone.
enum class deviation_target { observation, curve };

// How the latent variances are computed: exact (preconditioned conjugate gradients),
// approximate (a pivoted Cholesky factor of rank at most `rank`), or automatic: exact
// unless n^2 * nt > 2e10 (n training samples, nt new observations), approximate above.
enum class deviation_method { automatic, exact, approximate };

struct model_predict_settings {
  bool deviations = false;  // also the deviations and the intervals
  deviation_target prediction = deviation_target::observation;
  deviation_method method = deviation_method::automatic;
  int rank = 1000;      // the approximate factor's largest rank, 1 ... 1000000
  double alpha = 0.05;  // the intervals hold 100 (1 - alpha)%, alpha in (0, 1)
  // Starts the progress line ("<name>: deviations of ...").
  std::string name = "krrpredict";
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
};

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
  double passes = 0.0;                // exact: passes over K, summed over the batches
  int rank = 0;                       // the factor's rank (the preconditioner's, if exact)
  double largest_residual = 0.0;      // the factor's largest left-out diagonal entry
  int threads = 0;                    // threads of the variances' row loops
  double seconds = 0.0;               // wall-clock time of the variances
  std::string progress_line;          // the line above as text, no newline
  std::vector<fit_message> warnings;  // notConverged, approximate, in the order raised
};

// Predicts at the nt x d new observations Xnew (column-major, one per row, in the units of
// the X given to fit) from `model`. The model is checked first, then Xnew's d (the
// model's), the settings, Xnew's entries (finite) and, for deviations, the ridge, so a
// refusal costs nothing. The model's d
// is the length of its mu, every other field is checked against it.
model_prediction model_predict(const fit_model& model, const double* Xnew, std::int64_t nt, int d,
                               const model_predict_settings& settings);

// The inverse error function on [-1, 1] (+/-Inf at +/-1, NaN outside), to within a few
// units in the last place: a polynomial starting value in log(1 - y^2) refined by Newton
// steps on std::erf, or on log(std::erfc) where |y| > 0.5 so that the residual keeps
// its relative accuracy.
double inverse_erf(double y);

}  // namespace krr
