// The learner's options, as one table: each option's name, kind, range and default, each
// checked in one place (fit_options.cpp) with the message the learner has always given
// (without the leading "<function>: ", which the host adds). Options cross the boundary by
// name, never by position: a host converts each value it was given into an option_value
// (numbers with their dims and class name, a string, or a list of strings) and sets it by
// name, in any case; read_fit_options then checks every option that does not depend on the
// data, in the learner's order, and check_data_options the rest once d is known, both
// before any long work.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "core/kernel/kernel_kind.h"

namespace krr {

// A value as a host holds it, for checking and for the messages that show it.
struct option_value {
  enum class type {
    numbers,  // numeric or logical array (real parts in numbers, column-major)
    text,     // one character row
    texts,    // a list of strings (a cell array of char rows)
    other,    // anything else (a cell of numbers, a struct): only described
  };
  type kind = type::numbers;
  std::vector<double> numbers;
  std::int64_t rows = 0, cols = 0;  // the dims, for numbers and other
  bool logical = false;             // a logical array
  bool complex = false;             // a complex array (its imaginary parts dropped)
  std::string class_name = "double";  // as messages name it: "double", "int32", "cell"...
  std::string text;
  std::vector<std::string> texts;

  static option_value number(double v);
  static option_value vector(const std::vector<double>& v);  // 1 x numel
  static option_value flag(bool v);
  static option_value string(const std::string& s);
  static option_value strings(const std::vector<std::string>& s);
  bool empty() const;
};

// The options' names in the table's order (the order the unknown-option message lists).
const std::vector<std::string>& fit_option_names();

// The raw options, as set: a value per table row, empty where the default holds.
struct fit_option_set {
  std::vector<option_value> values;  // one per table row
  std::vector<bool> given;
  fit_option_set();
};

// Sets the option `name` (any case). False, with message, for an unknown name.
bool set_fit_option(fit_option_set& set, const std::string& name, const option_value& value,
                    std::string& message);

enum class fit_method { automatic, dense, scalable };
enum class final_objective_mode { automatic, yes, no };

// The options checked and converted; the data-dependent ones still raw until d is known.
struct fit_settings {
  // The options that need the data (LengthScales, Amplitude, Ridge, the bounds, Fixed), as
  // given, by name: check_data_options checks and resolves them once d is known.
  std::vector<std::pair<std::string, option_value>> data_options;
  int max_iterations = 100;
  int scalable_iterations = 10;
  int restarts = 0;
  std::uint64_t seed = 0;
  bool verbose = true;
  fit_method method = fit_method::automatic;
  std::int64_t dense_limit = 3000;
  std::int64_t subset_size = 2000;
  std::int64_t polish_limit = 6000;
  std::int64_t exact_check_limit = 10000;
  std::int64_t scalable_subset_size = 10000;
  final_objective_mode final_objective = final_objective_mode::automatic;
  int probes = 8;
  int precondition_rank = 0;
  int log_det_rank = 1000;
  bool standardize = true;
  bool center_targets = true;
  double tolerance = 1e-8;
  bool tolerance_given = false;  // Tolerance set by the user: the final solve must meet it
  std::int64_t block_size = 0;  // 0: 256 where several columns are solved together, 64 for one
  double cache_bytes = std::numeric_limits<double>::infinity();
  // Kernel: one kernel (core/kernel/kernel_kind.h), or 'auto' (kernel_auto): each kernel
  // fitted on the first exact stage, the one of the highest log marginal likelihood kept.
  kernel_kind kernel = kernel_kind::gaussian;
  bool kernel_auto = false;
};

// Checks every option that does not depend on the data, in the learner's order. False, with
// the message of the first one refused.
bool read_fit_options(const fit_option_set& set, fit_settings& settings, std::string& message);

// The parameters in the optimiser's coordinates, theta = log([w_1 .. w_d, amplitude, ridge])
// with w = 1 / (2 l^2) in standardised units, their bounds and the fixed entries.
struct fit_parameters {
  std::vector<double> theta, lo, hi;
  std::vector<bool> fixed;
  double ridge_limit = 0.0;  // the largest log ridge a start that does not factorise may take
};

// The options that need d (LengthScales' length, Fixed's d + 2 flags) checked, and the
// starting point and bounds resolved from sigma (the features' scales) and y_var (the
// centred targets' variance). False, with the message, where one is refused.
bool check_data_options(const fit_settings& settings, int d, const std::vector<double>& sigma,
                        double y_var, fit_parameters& parameters, std::string& message);

// The value of an option that takes one real number, where it is one (numeric, not logical,
// real, scalar).
bool option_real_scalar(const option_value& v, double& x);

// A flag: true or false given as a logical or real number 0 or 1, or 'on' or 'off' in any
// case. False where v is none of these.
bool option_flag(const option_value& v, bool& flag);

// A value as messages show it: a short string in quotes, a real scalar itself, else
// "a R x C class".
std::string describe_option_value(const option_value& v);

// printf into a string (at most 4095 characters; longer output is cut).
std::string printf_text(const char* fmt, ...);

// x as the learner's messages print it with the printf conversion format ("%g", "%.3g"...),
// Inf, -Inf and NaN spelt so.
std::string format_number(const char* format, double x);

}  // namespace krr
