// Values as the host holds them, read for the core, and the core's messages made cells: the numbers of a numeric or logical
// array of any class, a char row as a string, an option's value as the core's option tables
// take it, and an array's dims as messages show them.
#pragma once

#include <string>
#include <vector>

#include "core/learn/fit.h"
#include "core/learn/fit_options.h"
#include "mex.h"

namespace host {

// The numbers of a full numeric or logical array, real parts as doubles in column-major
// order (the callers make sparse values full before the call).
std::vector<double> numbers_of(const mxArray* a);

// A char row as a string; false for anything else.
bool text_of(const mxArray* a, std::string& text);

// A value as the core's options tables take it: numbers (with their dims and class), a
// string, a list of strings (a cell array of char rows), or only described.
krr::option_value option_of(const mxArray* a);

// "R x C" or "R x C x P ...", every dimension.
std::string dims_text(const mxArray* a);

// The core's warnings or error as a k x 2 cell array of {code, message}, one row each in
// order, for the .m function to raise under its own name.
mxArray* message_cells(const std::vector<krr::fit_message>& list);

}  // namespace host
