#include "cli/model_file.h"

#include "cli/data_files.h"

namespace cli {

mat_value model_struct(const krr::fit_model& m, std::int64_t n, int d, int c) {
  mat_value s;
  s.kind = mat_value::type::structure;
  s.rows = s.cols = 1;
  const std::size_t rows = m.history.size(), width = krr::lbfgs_row().size();
  std::vector<double> history(rows * width);
  for (std::size_t i = 0; i < rows; ++i)
    for (std::size_t j = 0; j < width; ++j) history[j * rows + i] = m.history[i][j];
  auto add = [&](const char* name, mat_value v) { s.fields.emplace_back(name, std::move(v)); };
  add("FormatVersion", mat_value::scalar(m.format_version));
  add("LengthScales", mat_value::row(m.length_scales));
  add("Relevance", mat_value::row(m.relevance));
  add("Amplitude", mat_value::scalar(m.amplitude));
  add("Ridge", mat_value::scalar(m.ridge));
  add("LogMarginalLikelihood", mat_value::scalar(m.log_marginal_likelihood));
  add("LogMarginalLikelihoodError", mat_value::scalar(m.log_marginal_likelihood_error));
  add("History", mat_value::matrix(static_cast<std::int64_t>(rows), static_cast<std::int64_t>(width),
                                   std::move(history)));
  add("Seconds", mat_value::scalar(m.seconds));
  add("Method", mat_value::string(m.method));
  add("Threads", mat_value::scalar(m.threads));
  add("FinalPasses", mat_value::row({m.final_passes[0], m.final_passes[1]}));
  add("Alpha", mat_value::matrix(n, c, std::vector<double>(m.alpha.begin(), m.alpha.begin() + n * c)));
  add("X", mat_value::matrix(d, n, std::vector<double>(m.X.begin(), m.X.begin() + n * d)));
  add("Weights", mat_value::row(m.weights));
  add("Mu", mat_value::row(m.mu));
  add("Sigma", mat_value::row(m.sigma));
  add("YMean", mat_value::row(m.y_mean));
  add("YScale", mat_value::row(m.y_scale));
  add("Kernel", mat_value::string(m.kernel));
  add("KernelObjectives", mat_value::row(m.kernel_objectives));
  return s;
}

namespace {

void read_field(const mat_value& s, const std::string& path, const char* name,
                std::vector<double>& values, krr::field_dims& dims) {
  const mat_value* v = s.field(name);
  // Real floating point, as krrpredict reads the fields.
  if (v->kind != mat_value::type::numbers || (v->class_name != "double" && v->class_name != "single")) {
    throw file_error(path + ": model." + name + " must be real floating point (double or single), got " +
                     (v->kind == mat_value::type::text        ? std::string("text")
                      : v->kind == mat_value::type::structure ? std::string("a struct")
                                                              : v->class_name));
  }
  values = v->numbers;
  dims = {v->rows, v->cols};
}

}  // namespace

void model_of_struct(const mat_value& s, const std::string& path, bool deviations,
                     krr::fit_model& m, krr::model_dims& dims, krr::deviation_cache* cache,
                     bool* has_cache) {
  if (s.kind != mat_value::type::structure) {
    throw file_error(path + ": the variable 'model' must be a struct written by krrfit or krrard learn");
  }
  m.format_version = 1;  // a model of the first release has no FormatVersion
  if (const mat_value* v = s.field("FormatVersion")) {
    const double version =
        v->kind == mat_value::type::numbers && v->numbers.size() == 1 ? v->numbers[0] : 0.0;
    m.format_version = version == 1.0 ? 1 : version == 2.0 ? 2 : version == 3.0 ? 3 : version == 4.0 ? 4 : 0;
    if (m.format_version == 0) return;
  }
  // YScale from version 3 on, Kernel from version 4 on (before, a model without it is the
  // Gaussian).
  const char* const names[] = {"X", "Alpha", "Weights", "Mu", "Sigma", "YMean", "YScale", "Kernel"};
  std::string missing;
  for (const char* name : names) {
    const std::string field = name;
    const bool needed = field == "YScale" ? m.format_version >= 3 : field == "Kernel" ? m.format_version >= 4 : true;
    if (needed && !s.field(name)) missing += (missing.empty() ? "" : ", ") + field;
  }
  if (!missing.empty()) throw file_error(path + ": the model has no field " + missing);
  read_field(s, path, "X", m.X, dims.X);
  read_field(s, path, "Alpha", m.alpha, dims.alpha);
  read_field(s, path, "Weights", m.weights, dims.weights);
  read_field(s, path, "Mu", m.mu, dims.mu);
  read_field(s, path, "Sigma", m.sigma, dims.sigma);
  read_field(s, path, "YMean", m.y_mean, dims.y_mean);
  if (s.field("YScale")) read_field(s, path, "YScale", m.y_scale, dims.y_scale);
  if (const mat_value* k = s.field("Kernel")) {
    if (k->kind != mat_value::type::text) {
      throw file_error(path + ": model.Kernel must be a kernel's name (text), got " +
                       (k->kind == mat_value::type::structure ? std::string("a struct") : k->class_name));
    }
    m.kernel = k->text;
  }
  if (!deviations) return;
  if (!s.field("Ridge")) throw file_error(path + ": the model has no field Ridge, which deviations need");
  std::vector<double> ridge;
  read_field(s, path, "Ridge", ridge, dims.ridge);
  if (ridge.size() == 1) m.ridge = ridge[0];
  const mat_value* c = s.field("DeviationCache");
  if (!cache || !c || (c->kind != mat_value::type::structure && c->rows * c->cols == 0)) return;
  const char* const fields[] = {"Pivots", "Factor", "Chol", "LeftOut", "Weights", "Ridge"};
  if (c->kind != mat_value::type::structure || c->rows * c->cols != 1) {
    throw file_error(path + ": model.DeviationCache must be empty or one struct as krrpredict returns it");
  }
  std::vector<double> values[6];
  krr::field_dims field_dims[6];
  for (int i = 0; i < 6; ++i) {
    if (!c->field(fields[i])) {
      throw file_error(path + ": model.DeviationCache has no field " + fields[i]);
    }
    read_field(*c, path, fields[i], values[i], field_dims[i]);
  }
  const std::int64_t r = static_cast<std::int64_t>(values[0].size());
  for (int i : {1, 2}) {
    if (field_dims[i].rows != r || field_dims[i].cols != r) {
      throw file_error(path + ": model.DeviationCache." + fields[i] + " must be r x r, r = " +
                       std::to_string(r) + " (the entries of Pivots)");
    }
  }
  if (values[3].size() != 1 || values[5].size() != 1) {
    throw file_error(path + ": model.DeviationCache.LeftOut and .Ridge must be scalars");
  }
  *cache = krr::deviation_cache_of_fields(values);
  if (has_cache) *has_cache = true;
}

}  // namespace cli
