// The host's pending signals, seen from a running call. The solver polls on the calling
// thread, between pieces of its work, so that a long call answers them within milliseconds.
//   Octave: any signal the host has recorded is answered the host's own way, there and then
//   (octave_quit, as Octave's built-in functions do): a child process that ended is dealt
//   with and the call goes on; the user's interrupt (Ctrl-C) or a request to terminate makes
//   the host throw, which is kept and ends the call, to be thrown again once every
//   resource is released, so that the host ends the command line (or the process) as for
//   its own functions.
//   The other host: its interrupt flag (libut) ends the call and is left set, so that the
//   host ends the command itself once the module has raised its interrupted error.
#pragma once

#include <exception>

namespace host {

struct signal_watch {
  std::exception_ptr raised;  // what the host threw while answering a signal
};

// The solver's polling callback; state is a signal_watch.
bool signal_pending(void* watch);

// After the call's resources are released: throws again what the host threw, if anything.
void rethrow_host_signal(const signal_watch& watch);

}  // namespace host
