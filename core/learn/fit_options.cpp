// The learner's options table (fit_options.h): one row per option, one checker per kind of
// value, and the messages the learner gives for each.
#include "core/exact_arithmetic.h"

#include "core/learn/fit_options.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace krr {
namespace {

enum class kind {
  whole,            // a whole number from low to high
  optional_whole,   // the same, or empty for a default resolved from the data
  real_unit,        // a real scalar in (0, 1)
  bytes,            // a real scalar, 0 or more (Inf allowed)
  flag,             // true or false, 1 or 0, 'on' or 'off'
  method,           // 'auto', 'dense' or 'scalable'
  auto_flag,        // 'auto' or a flag
  positives,        // positive and finite, 1 x d or scalar (d: 1 for a scalar option)
  positive,         // a positive finite scalar
  bounds,           // [low high], 0 < low <= high, both finite
  parameter_names,  // names of parameters, or d + 2 flags
  kernel,           // a kernel's name or alias (core/kernel/kernel_kind.h), or 'auto'
};

struct row {
  const char* name;
  kind k;
  double low, high;  // for whole numbers
  // The default, as documentation: a number, or how it is resolved from the data.
  const char* default_value;
  // The order of the check: data-independent ones (1 ...) by read_fit_options, in the
  // learner's order; data-dependent ones (101 ...) by check_data_options.
  int order;
};

constexpr double TWO31 = 2147483647.0;
const row TABLE[] = {
    {"LengthScales", kind::positives, 0, 0, "sqrt(d) standardised units", 101},
    {"Amplitude", kind::positive, 0, 0, "the variance of the centred Y", 102},
    {"Ridge", kind::positive, 0, 0, "a tenth of the variance of the centred Y", 103},
    {"Fixed", kind::parameter_names, 0, 0, "none", 107},
    {"LengthScaleBounds", kind::bounds, 0, 0, "sqrt(d) times [1e-3 1e3] standardised units", 104},
    {"AmplitudeBounds", kind::bounds, 0, 0, "[1e-4 1e4] times the variance of Y", 105},
    {"RidgeBounds", kind::bounds, 0, 0, "[1e-6 10] times the variance of Y", 106},
    {"MaxIterations", kind::whole, 0, 1e6, "100", 1},
    {"ScalableIterations", kind::whole, 0, 1e6, "10", 2},
    {"Restarts", kind::whole, 0, 1000, "0", 3},
    {"Seed", kind::whole, 0, 4294967295.0, "0", 4},
    {"Verbose", kind::flag, 0, 0, "true", 16},
    {"Method", kind::method, 0, 0, "auto", 19},
    {"DenseLimit", kind::whole, 0, TWO31, "3000", 5},
    {"SubsetSize", kind::whole, 2, TWO31, "2000", 6},
    {"PolishLimit", kind::whole, 0, TWO31, "6000", 7},
    {"ExactCheckLimit", kind::whole, 0, TWO31, "10000", 8},
    {"ScalableSubsetSize", kind::whole, 2, TWO31, "10000", 9},
    {"FinalObjective", kind::auto_flag, 0, 0, "auto", 20},
    {"Probes", kind::whole, 1, 4096, "8", 10},
    {"PreconditionRank", kind::whole, 0, 1e6, "0", 11},
    {"LogDetRank", kind::whole, 0, 1e6, "1000", 12},
    {"Standardize", kind::flag, 0, 0, "true", 17},
    {"CenterTargets", kind::flag, 0, 0, "true", 18},
    {"Tolerance", kind::real_unit, 0, 0, "1e-8", 14},
    {"BlockSize", kind::optional_whole, 1, TWO31,
     "256 where several columns are solved together, 64 for one; capped to n", 13},
    {"CacheBytes", kind::bytes, 0, 0, "Inf", 15},
    {"Kernel", kind::kernel, 0, 0, "squaredexponential", 21},
};
constexpr int ROWS = sizeof TABLE / sizeof TABLE[0];

std::string lower(std::string s) {
  for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return s;
}

bool is_numeric(const option_value& v) { return v.kind == option_value::type::numbers && !v.logical; }
bool is_scalar(const option_value& v) {
  return v.kind == option_value::type::numbers && v.numbers.size() == 1;
}


std::string whole_message(const row& r, const option_value& v) {
  return printf_text("%s must be a whole number from %.0f to %.0f, got %s", r.name, r.low,
                       r.high, describe_option_value(v).c_str());
}

bool check_whole(const row& r, const option_value& v, double& x, std::string& message) {
  double value = 0.0;
  if (!(option_real_scalar(v, value) && value == std::trunc(value) && value >= r.low &&
        value <= r.high)) {
    message = whole_message(r, v);
    return false;
  }
  x = value;
  return true;
}


std::string flag_message(const row& r, const option_value& v) {
  return printf_text("%s must be true or false (1 or 0, 'on' or 'off'), got %s", r.name,
                       describe_option_value(v).c_str());
}

// LengthScales (count d), Amplitude and Ridge (count 1): positive and finite, count entries
// or one; the result has count entries.
bool check_positive(const row& r, const option_value& v, int count, std::vector<double>& out,
                    std::string& message) {
  bool ok = is_numeric(v) && !v.complex &&
            (v.numbers.size() == static_cast<size_t>(count) || v.numbers.size() == 1);
  if (ok)
    for (double x : v.numbers) ok = ok && x > 0 && std::isfinite(x);
  if (!ok) {
    message = printf_text("%s must be positive and finite, 1 x %d or scalar", r.name, count);
    return false;
  }
  out.assign(count, v.numbers[0]);
  if (v.numbers.size() > 1) out = v.numbers;
  return true;
}

bool check_bounds(const row& r, const option_value& v, std::vector<double>& out,
                  std::string& message) {
  if (!(is_numeric(v) && !v.complex && v.numbers.size() == 2 && v.numbers[0] > 0 &&
        v.numbers[1] >= v.numbers[0] && std::isfinite(v.numbers[1]))) {
    message = printf_text("%s must be [low high] with 0 < low <= high, both finite", r.name);
    return false;
  }
  out = v.numbers;
  return true;
}

// Fixed: parameter names (a string or a list of them), or d + 2 flags; empty: none.
bool check_fixed(const option_value& v, int d, std::vector<bool>& fixed, std::string& message) {
  fixed.assign(d + 2, false);
  if (v.kind == option_value::type::numbers && v.numbers.empty()) return true;
  if (v.kind == option_value::type::numbers) {
    if (v.numbers.size() != static_cast<size_t>(d + 2)) {
      message = printf_text("Fixed as a vector must have d + 2 = %d entries", d + 2);
      return false;
    }
    for (size_t i = 0; i < v.numbers.size(); ++i) {
      if (v.complex || !(v.numbers[i] == 0.0 || v.numbers[i] == 1.0)) {
        message = "Fixed as a vector must hold true or false (1 or 0) entries";
        return false;
      }
      fixed[i] = v.numbers[i] == 1.0;
    }
    return true;
  }
  if (v.kind == option_value::type::text || v.kind == option_value::type::texts) {
    const std::vector<std::string> names =
        v.kind == option_value::type::text ? std::vector<std::string>{v.text} : v.texts;
    for (const std::string& name : names) {
      const std::string s = lower(name);
      if (s == "lengthscales") {
        for (int l = 0; l < d; ++l) fixed[l] = true;
      } else if (s == "amplitude") {
        fixed[d] = true;
      } else if (s == "ridge") {
        fixed[d + 1] = true;
      } else {
        message = "unknown parameter in Fixed: " + name;
        return false;
      }
    }
    return true;
  }
  message = "Fixed must be a cell array of the names 'LengthScales', 'Amplitude', 'Ridge' or a "
            "logical vector of d + 2 entries, got " +
            describe_option_value(v);
  return false;
}

int row_index(const char* name) {
  for (int i = 0; i < ROWS; ++i)
    if (std::string(TABLE[i].name) == name) return i;
  return -1;
}

// A 1 x count value of this kind and class (0 x 0 where count is 0).
option_value row_of(option_value::type kind, std::size_t count, const char* class_name) {
  option_value o;
  o.kind = kind;
  o.rows = count == 0 ? 0 : 1;
  o.cols = static_cast<std::int64_t>(count);
  o.class_name = class_name;
  return o;
}

}  // namespace

option_value option_value::number(double v) {
  option_value o;
  o.numbers = {v};
  o.rows = o.cols = 1;
  return o;
}
option_value option_value::vector(const std::vector<double>& v) {
  option_value o = row_of(type::numbers, v.size(), "double");
  o.numbers = v;
  return o;
}
option_value option_value::flag(bool v) {
  option_value o = number(v ? 1.0 : 0.0);
  o.logical = true;
  o.class_name = "logical";
  return o;
}
option_value option_value::string(const std::string& s) {
  option_value o = row_of(type::text, s.size(), "char");
  o.text = s;
  return o;
}
option_value option_value::strings(const std::vector<std::string>& s) {
  option_value o = row_of(type::texts, s.size(), "cell");
  o.texts = s;
  return o;
}
bool option_value::empty() const {
  switch (kind) {
    case type::numbers: return numbers.empty();
    case type::text: return text.empty();
    case type::texts: return texts.empty();
    case type::other: return rows * cols == 0;
  }
  return false;
}

bool option_real_scalar(const option_value& v, double& x) {
  if (!(is_numeric(v) && !v.complex && is_scalar(v))) return false;
  x = v.numbers[0];
  return true;
}

bool option_flag(const option_value& v, bool& flag) {
  if (v.kind == option_value::type::text) {
    const std::string s = lower(v.text);
    if (s != "on" && s != "off") return false;
    flag = s == "on";
    return true;
  }
  if (v.kind == option_value::type::numbers && !v.complex && v.numbers.size() == 1 &&
      (v.numbers[0] == 0.0 || v.numbers[0] == 1.0)) {
    flag = v.numbers[0] == 1.0;
    return true;
  }
  return false;
}

std::string printf_text(const char* fmt, ...) {
  char buffer[4096];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(buffer, sizeof buffer, fmt, args);
  va_end(args);
  return buffer;
}

std::string format_number(const char* format, double x) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x > 0 ? "Inf" : "-Inf";
  return printf_text(format, x);
}

std::string describe_option_value(const option_value& v) {
  if (v.kind == option_value::type::text && !v.text.empty() && v.text.size() <= 40)
    return "'" + v.text + "'";
  if (v.kind == option_value::type::numbers && v.numbers.size() == 1 && !v.complex)
    return format_number("%.10g", v.numbers[0]);
  std::int64_t rows = v.rows, cols = v.cols;
  if (v.kind == option_value::type::numbers && rows * cols != static_cast<std::int64_t>(v.numbers.size())) {
    rows = v.numbers.empty() ? 0 : 1;
    cols = static_cast<std::int64_t>(v.numbers.size());
  }
  std::string what = v.class_name;
  if (v.kind == option_value::type::numbers && v.complex) what = "complex " + what;
  return printf_text("a %lld x %lld %s", static_cast<long long>(rows),
                       static_cast<long long>(cols), what.c_str());
}

const std::vector<std::string>& fit_option_names() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> n;
    for (const row& r : TABLE) n.push_back(r.name);
    return n;
  }();
  return names;
}

fit_option_set::fit_option_set() : values(ROWS), given(ROWS, false) {}

bool set_fit_option(fit_option_set& set, const std::string& name, const option_value& value,
                    std::string& message) {
  const std::string wanted = lower(name);
  for (int i = 0; i < ROWS; ++i) {
    if (lower(TABLE[i].name) == wanted) {
      set.values[i] = value;
      set.given[i] = true;
      return true;
    }
  }
  std::string list;
  for (int i = 0; i < ROWS; ++i) list += (i ? ", " : "") + std::string(TABLE[i].name);
  message = "unknown option '" + name + "'; the options are " + list;
  return false;
}

bool read_fit_options(const fit_option_set& set, fit_settings& s, std::string& message) {
  s = fit_settings();
  std::vector<int> order;
  for (int i = 0; i < ROWS; ++i)
    if (TABLE[i].order < 100) order.push_back(i);
  std::sort(order.begin(), order.end(),
            [](int a, int b) { return TABLE[a].order < TABLE[b].order; });
  for (int i : order) {
    const row& r = TABLE[i];
    if (!set.given[i]) continue;  // the default, already in s
    const option_value& v = set.values[i];
    const std::string name = r.name;
    double x = 0.0;
    bool flag = false;
    switch (r.k) {
      case kind::whole:
      case kind::optional_whole:
        if (r.k == kind::optional_whole && v.empty()) break;
        if (!check_whole(r, v, x, message)) return false;
        if (name == "MaxIterations") s.max_iterations = static_cast<int>(x);
        else if (name == "ScalableIterations") s.scalable_iterations = static_cast<int>(x);
        else if (name == "Restarts") s.restarts = static_cast<int>(x);
        else if (name == "Seed") s.seed = static_cast<std::uint64_t>(x);
        else if (name == "DenseLimit") s.dense_limit = static_cast<std::int64_t>(x);
        else if (name == "SubsetSize") s.subset_size = static_cast<std::int64_t>(x);
        else if (name == "PolishLimit") s.polish_limit = static_cast<std::int64_t>(x);
        else if (name == "ExactCheckLimit") s.exact_check_limit = static_cast<std::int64_t>(x);
        else if (name == "ScalableSubsetSize") s.scalable_subset_size = static_cast<std::int64_t>(x);
        else if (name == "Probes") s.probes = static_cast<int>(x);
        else if (name == "PreconditionRank") s.precondition_rank = static_cast<int>(x);
        else if (name == "LogDetRank") s.log_det_rank = static_cast<int>(x);
        else if (name == "BlockSize") s.block_size = static_cast<std::int64_t>(x);
        break;
      case kind::real_unit:
        if (!option_real_scalar(v, x)) {
          message = name + " must be a real numeric scalar, got " + describe_option_value(v);
          return false;
        }
        if (!(x > 0 && x < 1)) {
          message = name + " must be a real scalar in (0, 1), got " + format_number("%g", x);
          return false;
        }
        s.tolerance = x;
        s.tolerance_given = true;
        break;
      case kind::bytes:
        if (!option_real_scalar(v, x)) {
          message = name + " must be a real numeric scalar, got " + describe_option_value(v);
          return false;
        }
        if (!(x >= 0)) {
          message = name + " must be a number of bytes, 0 or more (Inf for as much as fits), got " +
                    format_number("%g", x);
          return false;
        }
        s.cache_bytes = x;
        break;
      case kind::flag:
        if (!option_flag(v, flag)) {
          message = flag_message(r, v);
          return false;
        }
        if (name == "Verbose") s.verbose = flag;
        else if (name == "Standardize") s.standardize = flag;
        else s.center_targets = flag;
        break;
      case kind::method: {
        const std::string m = v.kind == option_value::type::text ? lower(v.text) : "";
        if (m == "auto") s.method = fit_method::automatic;
        else if (m == "dense") s.method = fit_method::dense;
        else if (m == "scalable") s.method = fit_method::scalable;
        else {
          message = name + " must be 'auto', 'dense', 'scalable', got " + describe_option_value(v);
          return false;
        }
        break;
      }
      case kind::auto_flag:
        if (v.kind == option_value::type::text && lower(v.text) == "auto") {
          s.final_objective = final_objective_mode::automatic;
        } else if (option_flag(v, flag)) {
          s.final_objective = flag ? final_objective_mode::yes : final_objective_mode::no;
        } else {
          message = name + " must be 'auto', true or false (1 or 0, 'on' or 'off'), got " +
                    describe_option_value(v);
          return false;
        }
        break;
      case kind::kernel: {
        const std::string k = v.kind == option_value::type::text ? lower(v.text) : "";
        s.kernel_auto = k == "auto";
        if (!s.kernel_auto && !kernel_from_name(k, s.kernel)) {
          message = name + " must be 'squaredexponential' ('gaussian', 'se', 'rbf'), 'matern12' "
                    "('exponential'), 'matern32', 'matern52' or 'auto', got " +
                    describe_option_value(v);
          return false;
        }
        break;
      }
      default:
        break;
    }
  }
  // The data-dependent options are kept as given, checked by check_data_options.
  for (int i = 0; i < ROWS; ++i)
    if (TABLE[i].order > 100 && set.given[i] && !set.values[i].empty())
      s.data_options.push_back({TABLE[i].name, set.values[i]});
  return true;
}

bool check_data_options(const fit_settings& s, int d, const std::vector<double>& sigma,
                        double y_var, fit_parameters& p, std::string& message) {
  auto given = [&](const char* name) -> const option_value* {
    for (const auto& entry : s.data_options)
      if (entry.first == name) return &entry.second;
    return nullptr;
  };
  const double sd = std::sqrt(static_cast<double>(d));
  auto to_w = [](double l) { return std::log(1.0 / (2.0 * l * l)); };
  std::vector<double> l0(d, sd), value;
  if (const option_value* v = given("LengthScales")) {
    if (!check_positive(TABLE[row_index("LengthScales")], *v, d, value, message)) return false;
    for (int l = 0; l < d; ++l) l0[l] = value[l] / sigma[l];
  }
  double amp0 = y_var, ridge0 = y_var / 10.0;
  if (const option_value* v = given("Amplitude")) {
    if (!check_positive(TABLE[row_index("Amplitude")], *v, 1, value, message)) return false;
    amp0 = value[0];
  }
  if (const option_value* v = given("Ridge")) {
    if (!check_positive(TABLE[row_index("Ridge")], *v, 1, value, message)) return false;
    ridge0 = value[0];
  }
  std::vector<double> l_low(d, sd * 1e-3), l_high(d, sd * 1e3);
  if (const option_value* v = given("LengthScaleBounds")) {
    if (!check_bounds(TABLE[row_index("LengthScaleBounds")], *v, value, message)) return false;
    for (int l = 0; l < d; ++l) {
      l_low[l] = value[0] / sigma[l];
      l_high[l] = value[1] / sigma[l];
    }
  }
  std::vector<double> a_bounds = {1e-4 * y_var, 1e4 * y_var};
  if (const option_value* v = given("AmplitudeBounds"))
    if (!check_bounds(TABLE[row_index("AmplitudeBounds")], *v, a_bounds, message)) return false;
  std::vector<double> r_bounds = {1e-6 * y_var, 10 * y_var};
  if (const option_value* v = given("RidgeBounds"))
    if (!check_bounds(TABLE[row_index("RidgeBounds")], *v, r_bounds, message)) return false;
  std::vector<bool> fixed;
  const option_value none;
  const option_value* f = given("Fixed");
  if (!check_fixed(f ? *f : none, d, fixed, message)) return false;

  p.theta.assign(d + 2, 0.0);
  p.lo.assign(d + 2, 0.0);
  p.hi.assign(d + 2, 0.0);
  for (int l = 0; l < d; ++l) {
    p.theta[l] = to_w(l0[l]);
    p.lo[l] = to_w(l_high[l]);
    p.hi[l] = to_w(l_low[l]);
  }
  p.theta[d] = std::log(amp0);
  p.theta[d + 1] = std::log(ridge0);
  p.lo[d] = std::log(a_bounds[0]);
  p.hi[d] = std::log(a_bounds[1]);
  p.lo[d + 1] = std::log(r_bounds[0]);
  p.hi[d + 1] = std::log(r_bounds[1]);
  p.fixed = fixed;
  p.ridge_limit = std::max(std::log(r_bounds[1]), p.theta[d + 1]);
  // A fixed parameter stays where it starts, even outside the default bounds.
  for (int i = 0; i < d + 2; ++i) {
    if (fixed[i]) p.lo[i] = p.hi[i] = p.theta[i];
    p.theta[i] = std::min(std::max(p.theta[i], p.lo[i]), p.hi[i]);
  }
  return true;
}

}  // namespace krr
