// The C library's exp as the kernel loops call it. glibc's exp is a thin wrapper: it calls
// the library's own entry __exp_finite, returns that value unchanged, and only inspects it
// to set errno on overflow and underflow. In loops of hundreds of millions of calls that
// never read errno the inspection costs about a third of each call, so where the library
// that provides exp also exports that entry, and the entry agrees with exp bit for bit on
// every checked argument, the loops call it directly; everywhere else they call exp.
#pragma once

namespace krr {

using exp_function = double (*)(double);

// The entry to use, chosen once per process (the first call decides; thread-safe).
exp_function library_exp();

// The choice itself, for tests: `candidate` is accepted only if it agrees with exp bit for
// bit on the checked arguments (the kernel's range, both overflow and underflow edges,
// zeros, infinities and NaN); otherwise exp itself is returned.
exp_function checked_exp_entry(exp_function candidate);

// exp itself, as a function pointer.
double plain_exp(double x);

}  // namespace krr
