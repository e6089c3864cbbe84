// Host-specific interrupt flags: Octave exposes them in quit.h; the other host offers
// utIsInterruptPending from libut. Where neither is available no interrupt is seen and
// the solver's work bound is what ends a long call.
#include "host/interrupt.h"

#include "mex.h"

#if defined(HAVE_OCTAVE)
#include <octave/quit.h>
#elif defined(MATLAB_MEX_FILE)
extern "C" bool utIsInterruptPending();
extern "C" bool utSetInterruptPending(bool);
#endif

namespace host {

bool interrupt_pending(void*) {
#if defined(HAVE_OCTAVE)
  return octave_signal_caught != 0 || octave_interrupt_state > 0;
#elif defined(MATLAB_MEX_FILE)
  return utIsInterruptPending();
#else
  return false;
#endif
}

void acknowledge_interrupt() {
#if defined(HAVE_OCTAVE)
  octave_signal_caught = 0;
  octave_interrupt_state = 0;
#elif defined(MATLAB_MEX_FILE)
  utSetInterruptPending(false);
#endif
}

}  // namespace host
