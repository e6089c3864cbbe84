#include "cli/output_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace cli {

namespace {

std::runtime_error failure(const std::string& path, const char* what) {
  return std::runtime_error(path + ": cannot be written (" + what + ": " + std::strerror(errno) + ")");
}

}  // namespace

staged_file::staged_file(const std::string& path, const std::string& bytes) : path_(path) {
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string pattern = dir + "." + base + ".XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = mkstemp(name.data());
  if (fd < 0) throw failure(path, "creating a temporary file beside it");
  temporary_ = name.data();
  // The permissions a file created under the target's name would have had.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int saved = errno;
      ::close(fd);
      errno = saved;
      throw failure(path, "writing");
    }
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) throw failure(path, "flushing");
}

staged_file::~staged_file() {
  if (!committed_ && !temporary_.empty()) std::remove(temporary_.c_str());
}

void staged_file::commit() {
  if (std::rename(temporary_.c_str(), path_.c_str()) != 0) throw failure(path_, "renaming");
  committed_ = true;
}

}  // namespace cli
