// Options that cross into a module by name, never by position: the name-value pairs that end
// a call, each name matched in any case. The learner's options go to its table in the core
// (core/learn/fit_options.h) as option_values, values as the host holds them; the internal
// modules' few numeric options and choices are checked here, against small tables of their
// own, with the same walk over the pairs and the same messages for the pairs themselves.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "core/learn/fit_options.h"
#include "modules/host/call_failure.h"
#include "mex.h"

namespace host {

// Walks the count arguments of name-value pairs that follow the argument `after` ("X and Y",
// "V0"): each name a string, handed with its value to set, which returns false with its
// message for a refused one. False, with the message, for an odd count, a name that is not a
// string, or the first pair set refuses.
bool read_pairs(const mxArray* const* args, int count, const char* after,
                const std::function<bool(const std::string& name, const mxArray* value,
                                         std::string& message)>& set,
                std::string& message);

// One option of an internal module: a real number from low to high (both included, whole
// where asked), or, where words is not null, one of those words (any case; value is its
// index). Numbers are read as the modules read any scalar argument (read_real_scalar: a real
// numeric scalar of any class). value holds the default until a pair sets it; given says a
// pair did.
struct named_option {
  const char* name;
  double low, high;
  bool whole;
  const char* const* words;  // null-terminated, or null for a number
  double value;
  bool given;
};

// Sets options (count entries) from the pairs args[0 .. pairs - 1] that follow `after`;
// a name given twice takes its last value. False, with an invalidInput failure of fn that
// names the option and what it must be, for the first refusal.
bool read_named_options(const mxArray* const* args, int pairs, const char* after,
                        named_option* options, std::size_t count, const char* fn,
                        call_failure& failure);

}  // namespace host
