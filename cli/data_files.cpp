#include "cli/data_files.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace cli {

const char BINARY_MAGIC[8] = {'K', 'R', 'R', 'D', 'A', 'T', 'A', '\0'};

namespace {

std::string describe(double x) {
  return std::isnan(x) ? "NaN" : (x > 0 ? "Inf" : "-Inf");
}

std::uint64_t load_le64(const unsigned char* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

std::uint32_t load_le32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void store_le64(std::uint64_t v, std::string& out) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

double double_of(std::uint64_t bits) {
  double x;
  std::memcpy(&x, &bits, sizeof x);
  return x;
}

std::string open_failure(const std::string& path) {
  return path + ": cannot be read (" + std::strerror(errno) + ")";
}

bool starts_with_magic(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) throw file_error(open_failure(path));
  char head[sizeof BINARY_MAGIC] = {};
  const std::size_t got = std::fread(head, 1, sizeof head, f);
  std::fclose(f);
  return got == sizeof head && std::memcmp(head, BINARY_MAGIC, sizeof head) == 0;
}

// ---------------------------------------------------------------- binary

struct binary_header {
  std::int64_t rows = 0, cols = 0;
};

binary_header read_binary_header(std::FILE* f, const std::string& path) {
  unsigned char h[BINARY_HEADER_BYTES];
  const std::size_t got = std::fread(h, 1, sizeof h, f);
  if (got < sizeof h) {
    throw file_error(path + ": byte " + std::to_string(got) + ": the file ends inside its " +
                     std::to_string(BINARY_HEADER_BYTES) + "-byte header");
  }
  const std::uint32_t version = load_le32(h + 8);
  if (version != BINARY_VERSION) {
    throw file_error(path + ": byte 8: format version " + std::to_string(version) +
                     " is not one this program reads (it reads version " +
                     std::to_string(BINARY_VERSION) + ")");
  }
  if (load_le32(h + 12) != 0) throw file_error(path + ": byte 12: the reserved field must be 0");
  const std::uint64_t rows = load_le64(h + 16), cols = load_le64(h + 24);
  // Every byte count below must fit a signed 64-bit offset.
  const std::uint64_t limit = (static_cast<std::uint64_t>(1) << 62) / 8;
  if (rows > limit || cols > limit || (cols && rows > limit / cols)) {
    throw file_error(path + ": byte 16: " + std::to_string(rows) + " rows of " +
                     std::to_string(cols) + " columns is more than a file can hold");
  }
  return {static_cast<std::int64_t>(rows), static_cast<std::int64_t>(cols)};
}

std::int64_t file_size(std::FILE* f) {
  if (std::fseek(f, 0, SEEK_END) != 0) return -1;
  const long size = std::ftell(f);
  return size;
}

table read_binary(const std::string& path, row_range range, bool values) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) throw file_error(open_failure(path));
  struct closer {
    std::FILE* f;
    ~closer() { std::fclose(f); }
  } close{f};
  const binary_header h = read_binary_header(f, path);
  const std::int64_t expected = BINARY_HEADER_BYTES + 8 * h.rows * h.cols;
  const std::int64_t size = file_size(f);
  if (size < expected) {
    throw file_error(path + ": byte " + std::to_string(size) + ": the file ends early: its header (" +
                     std::to_string(h.rows) + " rows of " + std::to_string(h.cols) +
                     " columns) needs " + std::to_string(expected) + " bytes (truncated?)");
  }
  if (size > expected) {
    throw file_error(path + ": byte " + std::to_string(expected) + ": " +
                     std::to_string(size - expected) + " bytes after the last row of " +
                     std::to_string(h.rows) + " rows of " + std::to_string(h.cols) + " columns");
  }
  table t;
  t.cols = h.cols;
  const std::int64_t count = range.count < 0 ? h.rows - range.first : range.count;
  if (range.first < 0 || count < 0 || range.first + count > h.rows) {
    throw file_error(path + ": rows " + std::to_string(range.first + 1) + " to " +
                     std::to_string(range.first + count) + " asked for, but the file has " +
                     std::to_string(h.rows));
  }
  t.rows = count;
  if (!values) return t;
  const std::int64_t start = BINARY_HEADER_BYTES + 8 * range.first * h.cols;
  std::vector<unsigned char> bytes(static_cast<std::size_t>(8 * count * h.cols));
  if (std::fseek(f, static_cast<long>(start), SEEK_SET) != 0 ||
      std::fread(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
    throw file_error(path + ": byte " + std::to_string(start) + ": cannot read " +
                     std::to_string(bytes.size()) + " bytes of rows");
  }
  t.values.resize(static_cast<std::size_t>(count * h.cols));
  for (std::size_t i = 0; i < t.values.size(); ++i) {
    const double x = double_of(load_le64(bytes.data() + 8 * i));
    if (!std::isfinite(x)) {
      const std::int64_t at = static_cast<std::int64_t>(i);
      throw file_error(path + ": byte " + std::to_string(start + 8 * at) + " (row " +
                       std::to_string(range.first + at / h.cols + 1) + ", column " +
                       std::to_string(at % h.cols + 1) + "): " + describe(x) +
                       "; every value must be finite");
    }
    t.values[i] = x;
  }
  return t;
}

// ---------------------------------------------------------------- CSV

struct field {
  std::size_t begin, end;  // trimmed, within the line
};

std::vector<field> split(const std::string& line) {
  std::vector<field> fields;
  std::size_t start = 0;
  while (true) {
    std::size_t stop = line.find(',', start);
    if (stop == std::string::npos) stop = line.size();
    std::size_t b = start, e = stop;
    while (b < e && (line[b] == ' ' || line[b] == '\t')) ++b;
    while (e > b && (line[e - 1] == ' ' || line[e - 1] == '\t')) --e;
    fields.push_back({b, e});
    if (stop == line.size()) break;
    start = stop + 1;
  }
  return fields;
}

bool parse_number(const std::string& line, const field& f, double& x) {
  if (f.begin == f.end) return false;
  const std::string text = line.substr(f.begin, f.end - f.begin);
  char* end = nullptr;
  x = std::strtod(text.c_str(), &end);
  return end == text.c_str() + text.size();
}

bool blank(const std::string& line) {
  return line.find_first_not_of(" \t") == std::string::npos;
}

table read_csv(const std::string& path, row_range range, bool values) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw file_error(open_failure(path));
  table t;
  std::string line;
  std::int64_t line_number = 0, row = 0, width_line = 0;
  bool first = true;
  const std::int64_t last = range.count < 0 ? -1 : range.first + range.count;
  while (std::getline(in, line)) {
    ++line_number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (blank(line)) continue;
    const std::vector<field> fields = split(line);
    double x = 0.0;
    if (first) {
      first = false;
      bool numbers = true;
      for (const field& f : fields) numbers = numbers && parse_number(line, f, x);
      if (!numbers) continue;  // the header line
    }
    const std::int64_t width = static_cast<std::int64_t>(fields.size());
    if (t.cols == 0) {
      t.cols = width;
      width_line = line_number;
    } else if (width != t.cols) {
      throw file_error(path + ":" + std::to_string(line_number) + ":1: " + std::to_string(width) +
                       " values where line " + std::to_string(width_line) + " has " +
                       std::to_string(t.cols));
    }
    const bool wanted = row >= range.first && (last < 0 || row < last);
    ++row;
    if (!wanted || !values) continue;
    for (const field& f : fields) {
      const std::string where =
          path + ":" + std::to_string(line_number) + ":" + std::to_string(f.begin + 1) + ": ";
      if (!parse_number(line, f, x)) {
        throw file_error(where + (f.begin == f.end
                                      ? std::string("an empty field where a number belongs")
                                      : "'" + line.substr(f.begin, std::min<std::size_t>(f.end - f.begin, 40)) +
                                            "' is not a number"));
      }
      if (!std::isfinite(x)) throw file_error(where + describe(x) + "; every value must be finite");
      t.values.push_back(x);
    }
  }
  if (in.bad()) throw file_error(open_failure(path));
  const std::int64_t count = range.count < 0 ? row - range.first : range.count;
  if (range.first < 0 || count < 0 || range.first + count > row) {
    throw file_error(path + ": rows " + std::to_string(range.first + 1) + " to " +
                     std::to_string(range.first + count) + " asked for, but the file has " +
                     std::to_string(row));
  }
  t.rows = count;
  return t;
}

}  // namespace

table_shape read_shape(const std::string& path) {
  const bool binary = starts_with_magic(path);
  const table t = binary ? read_binary(path, {}, false) : read_csv(path, {}, false);
  return {t.rows, t.cols, binary};
}

table read_table(const std::string& path, row_range range) {
  return starts_with_magic(path) ? read_binary(path, range, true) : read_csv(path, range, true);
}

bool binary_by_name(const std::string& path) {
  auto ends = [&](const char* suffix) {
    const std::size_t n = std::strlen(suffix);
    return path.size() > n && path.compare(path.size() - n, n, suffix) == 0;
  };
  if (ends(".bin")) return true;
  if (ends(".csv")) return false;
  throw std::invalid_argument(path + ": the name must end in .csv (text) or .bin (binary)");
}

std::string table_bytes(const table& t, bool binary) {
  std::string out;
  if (binary) {
    out.append(BINARY_MAGIC, sizeof BINARY_MAGIC);
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((BINARY_VERSION >> (8 * i)) & 0xff));
    out.append(4, '\0');
    store_le64(static_cast<std::uint64_t>(t.rows), out);
    store_le64(static_cast<std::uint64_t>(t.cols), out);
    for (double x : t.values) {
      std::uint64_t bits;
      std::memcpy(&bits, &x, sizeof bits);
      store_le64(bits, out);
    }
    return out;
  }
  // 17 significant digits: every double read back is the one written.
  char text[32];
  for (std::int64_t r = 0; r < t.rows; ++r) {
    for (std::int64_t c = 0; c < t.cols; ++c) {
      std::snprintf(text, sizeof text, c ? ",%.17g" : "%.17g", t.at(r, c));
      out += text;
    }
    out += '\n';
  }
  return out;
}

}  // namespace cli
