// Options by name (named_options.h).
#include "core/exact_arithmetic.h"

#include "modules/host/named_options.h"

#include "modules/host/argument_checks.h"
#include "modules/host/value_reading.h"

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace host {

namespace {

std::string lower(std::string s) {
  for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return s;
}

// x as %g shows it, with more significant digits where those do not read back as x (Inf,
// -Inf, NaN spelt so): a value just beyond a limit never reads as the limit itself.
std::string exact_number(double x) {
  if (!std::isfinite(x)) return krr::format_number("%g", x);
  char text[40];
  for (int digits = 6; digits <= 17; ++digits) {
    std::snprintf(text, sizeof text, "%.*g", digits, x);
    if (std::strtod(text, nullptr) == x) break;
  }
  return text;
}

// A value that is not one of an option's words, as the refusal shows it.
std::string shown(const mxArray* a) {
  std::string text;
  if (text_of(a, text)) return "'" + text + "'";
  if (mxIsNumeric(a) && !mxIsComplex(a) && !mxIsSparse(a) && mxGetNumberOfElements(a) == 1) {
    return exact_number(mxGetScalar(a));
  }
  return std::string("a ") + (mxIsSparse(a) ? "sparse " : "") + (mxIsComplex(a) ? "complex " : "") +
         mxGetClassName(a) + " array";
}

// Checks a against the option's rule and keeps its value; false, with the call's failure,
// where it breaks the rule.
bool check_option(named_option& o, const mxArray* a, const char* fn, call_failure& failure) {
  if (o.words) {
    std::string given;
    if (text_of(a, given)) given = lower(given);
    std::string list;
    int count = 0;
    while (o.words[count]) ++count;
    for (int i = 0; i < count; ++i) {
      if (!given.empty() && given == o.words[i]) {
        o.value = i;
        return true;
      }
      list += std::string(i == 0 ? "" : i + 1 == count ? " or " : ", ") + "'" + o.words[i] + "'";
    }
    fail(failure, fn, "invalidInput", "%s must be %s, got %s", o.name, list.c_str(), shown(a).c_str());
    return false;
  }
  double x = 0;
  if (!read_real_scalar(a, fn, o.name, &x, failure)) return false;
  if (!(x >= o.low && x <= o.high && (!o.whole || x == std::floor(x)))) {
    fail(failure, fn, "invalidInput", "%s must be %s from %s to %s, got %s", o.name,
         o.whole ? "a whole number" : "a number", exact_number(o.low).c_str(),
         exact_number(o.high).c_str(), exact_number(x).c_str());
    return false;
  }
  o.value = x;
  return true;
}

}  // namespace


bool read_pairs(const mxArray* const* args, int count, const char* after,
                const std::function<bool(const std::string& name, const mxArray* value,
                                         std::string& message)>& set,
                std::string& message) {
  if (count % 2 != 0) {
    message = "options must be name-value pairs, got an odd number (" + std::to_string(count) +
              ") of arguments after " + after;
    return false;
  }
  for (int i = 0; i + 1 < count; i += 2) {
    std::string name;
    if (!text_of(args[i], name)) {
      message = std::string("option names must be strings, got a ") + mxGetClassName(args[i]) +
                " as argument " + std::to_string(i + 1) + " after " + after;
      return false;
    }
    if (!set(name, args[i + 1], message)) return false;
  }
  return true;
}

bool read_named_options(const mxArray* const* args, int pairs, const char* after,
                        named_option* options, std::size_t count, const char* fn,
                        call_failure& failure) {
  std::string message;
  const bool ok = read_pairs(
      args, pairs, after,
      [&](const std::string& name, const mxArray* value, std::string& refusal) {
        const std::string wanted = lower(name);
        for (std::size_t i = 0; i < count; ++i) {
          if (lower(options[i].name) != wanted) continue;
          // A refused value is the call's failure already.
          if (!check_option(options[i], value, fn, failure)) return false;
          options[i].given = true;
          return true;
        }
        std::string list;
        for (std::size_t i = 0; i < count; ++i) list += (i ? ", " : "") + std::string(options[i].name);
        refusal = "unknown option '" + name + "'; the options are " + list;
        return false;
      },
      message);
  if (!ok && !failure.failed) fail(failure, fn, "invalidInput", "%s", message.c_str());
  return ok;
}

}  // namespace host
