// The numeric settings vector of the package's internal modules (krr_solve, krr_lml,
// krr_variance): a real double row or column whose entries are read by position, each checked
// against its rule, so that the modules take no struct and the .m functions that call them
// own the names.
#pragma once

#include <cstddef>

#include "modules/host/call_failure.h"
#include "mex.h"

namespace host {

struct setting_rule {
  const char* name;
  double low, high;   // allowed range, both included
  bool whole;         // must be a whole number
};

// Reads count settings from a into values; false, with a failure naming the setting, where
// a is not a real double vector of count entries or an entry breaks its rule.
bool read_settings(const mxArray* a, const setting_rule* rules, std::size_t count,
                   const char* fn, double* values, call_failure& failure);

}  // namespace host
