// The model file: a MAT-file holding one struct variable `model` with the learner's model
// fields (FormatVersion 3), in the order and with the dims krrfit gives them, so that
// Octave's load and krrpredict read it as one of krrfit's, and a model saved by them reads
// here.
#pragma once

#include <cstdint>
#include <string>

#include "cli/mat_file.h"
#include "core/learn/fit.h"
#include "core/learn/model_predict.h"

namespace cli {

// The struct of a fitted model of n observations, d features and c outputs.
mat_value model_struct(const krr::fit_model& m, std::int64_t n, int d, int c);

// A model struct's fields as prediction reads them, with their dims; refusals (not a
// struct, fields missing) throw file_error naming the file. Ridge is needed only for
// deviations. A FormatVersion this program does not read leaves format_version 0, for
// model_predict to refuse. For deviations, where `cache` is given and the model keeps a
// nonempty DeviationCache (krrpredict's: Pivots, Factor, Chol, LeftOut, Weights, Ridge),
// it is read there and *has_cache set; model_predict checks what it holds.
void model_of_struct(const mat_value& s, const std::string& path, bool deviations,
                     krr::fit_model& m, krr::model_dims& dims,
                     krr::deviation_cache* cache = nullptr, bool* has_cache = nullptr);

}  // namespace cli
