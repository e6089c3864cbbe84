// The MAT-file (Level 5) subset a model needs: one struct variable of one element whose
// fields are real numeric matrices (written as doubles) and character rows. Written uncompressed; read from the
// files Octave writes (save -v7, its elements zlib-compressed, integer-valued doubles
// stored in narrower integer types) and those of other writers of the format (character
// data in UTF-8 or UTF-16, longer field names). Any other class (cell, sparse, complex,
// logical, a struct array, more than two dimensions) is refused with the byte
// offset of the element that holds it. Numeric arrays of any real class read as doubles,
// their class kept, for the model's checks to name.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace cli {

struct mat_value {
  enum class type { numbers, text, structure };
  type kind = type::numbers;
  std::int64_t rows = 0, cols = 0;
  std::vector<double> numbers;  // numbers: rows x cols, column-major
  std::string class_name = "double";  // numbers: the array's class ("double", "single", "int32"...)
  std::string text;             // text: a character row
  std::vector<std::pair<std::string, mat_value>> fields;  // structure: 1 x 1, in order

  static mat_value matrix(std::int64_t rows, std::int64_t cols, std::vector<double> values);
  static mat_value scalar(double x);
  static mat_value row(const std::vector<double>& values);
  static mat_value string(const std::string& s);
  const mat_value* field(const std::string& name) const;
};

// The file's bytes: the 128-byte header, then the struct s as the variable `name`.
std::string mat_file_bytes(const std::string& name, const mat_value& s);

// The variable `name` of the file at path; throws file_error (data_files.h), naming the file
// and the byte offset, where the file is not a Level 5 MAT-file, has no such variable, or
// that variable holds what this reader refuses.
mat_value read_mat_variable(const std::string& path, const std::string& name);

}  // namespace cli
