// Output files that appear whole or not at all: the bytes go to a temporary file in the
// target's directory (".NAME.XXXXXX"), flushed to disk, and only commit() renames it to the
// target's name. A staged file never committed (a failure, an interrupt) is removed, so no
// partial output is ever left under the target's name.
#pragma once

#include <string>

namespace cli {

class staged_file {
 public:
  // Writes bytes to the temporary file; throws std::runtime_error naming path where the
  // directory cannot take it.
  staged_file(const std::string& path, const std::string& bytes);
  ~staged_file();
  staged_file(const staged_file&) = delete;
  staged_file& operator=(const staged_file&) = delete;

  // Renames the temporary file to path; throws std::runtime_error where that fails.
  void commit();

 private:
  std::string path_, temporary_;
  bool committed_ = false;
};

}  // namespace cli
