// Results that leave a module by name: a scalar struct whose fields are numbers or text, and
// the solves' endings as words, the same in every module that reports one.
#pragma once

#include <cstddef>

#include "core/solve/descent.h"
#include "mex.h"

namespace host {

// A field of a result struct: a number, or text where text is not null.
struct named_value {
  const char* name;
  double number;
  const char* text;
};

constexpr std::size_t MOST_FIELDS = 32;

// A 1 x 1 struct with the fields in this order (at most MOST_FIELDS). Created after the core has run, while
// nothing of the call is held but plain values: a failed host allocation ends the call.
mxArray* named_struct(const named_value* fields, std::size_t count);

// A finished solve's status as a word: 'converged', 'workBound' (stopped by the work bound
// with a tolerance unmet), 'roundingFloor' (a tolerance below the rounding floor of the
// checked residual), 'overflow' (values overflowed) or 'zeroOperator' (K + ridge I is zero).
const char* status_name(krr::solve_status status);

}  // namespace host
