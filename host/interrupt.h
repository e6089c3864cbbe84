// Polling of the host's pending user interrupt (Ctrl-C), so a long training call can
// stop between block steps and return control to the host.
#pragma once

namespace host {

// True when the user has asked the host to interrupt the running command. The state
// argument is unused; it lets the function serve as the solver's polling callback.
bool interrupt_pending(void* state);

// Takes the pending interrupt as handled, so that the module's own error reports it
// and the host's next command is not interrupted by it again.
void acknowledge_interrupt();

}  // namespace host
