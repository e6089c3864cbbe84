// Host-specific signal handling (interrupt.h): Octave exposes its signal state and handler
// in quit.h; the other host offers utIsInterruptPending from libut. Where neither is
// available no interrupt is seen and the solver's work bound is what ends a long call.
#include "core/exact_arithmetic.h"

#include "modules/host/interrupt.h"

#include "mex.h"

#if defined(HAVE_OCTAVE)
#include <octave/quit.h>
#elif defined(MATLAB_MEX_FILE)
extern "C" bool utIsInterruptPending();
#endif

namespace host {

bool signal_pending(void* state) {
#if defined(HAVE_OCTAVE)
  // octave_signal_caught is set for any signal Octave records, octave_interrupt_state for
  // the user's interrupt; octave_quit answers the recorded ones.
  if (octave_signal_caught == 0 && octave_interrupt_state <= 0) return false;
  try {
    if (octave_signal_caught != 0) {
      octave_quit();
    } else {
      octave_handle_signal();
    }
  } catch (...) {
    static_cast<signal_watch*>(state)->raised = std::current_exception();
    return true;
  }
  return false;
#elif defined(MATLAB_MEX_FILE)
  (void)state;
  return utIsInterruptPending();
#else
  (void)state;
  return false;
#endif
}

void rethrow_host_signal(const signal_watch& watch) {
  if (watch.raised) std::rethrow_exception(watch.raised);
}

}  // namespace host
