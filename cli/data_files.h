// The program's data files: numbers in rows, one observation per row, read whole or as a
// range of rows, and written back.
//   CSV     numbers separated by commas, one row per line, an optional header line (a first
//           line with any field that is not a number); blank lines are skipped. Errors name
//           FILE:LINE:COLUMN.
//   binary  a 32-byte header, then the values as little-endian IEEE doubles, row after row:
//             bytes 0-7    the magic "KRRDATA\0"
//             bytes 8-11   the format version, 1 (uint32, little-endian)
//             bytes 12-15  zero (reserved)
//             bytes 16-23  rows (uint64, little-endian)
//             bytes 24-31  columns (uint64, little-endian)
//           Row r (0-based) starts at byte 32 + 8 * r * columns, so a reader of rows
//           [first, first + count) seeks there and reads 8 * count * columns bytes, and
//           nothing else. Errors name FILE and the byte offset.
// A file is read as binary where it starts with the magic, as CSV otherwise; it is written
// as CSV where its name ends in .csv, as binary where it ends in .bin. Every value read
// must be finite.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace cli {

// A refused or unreadable file: the message names the file and where (line and column, or
// byte offset).
struct file_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Rows x cols values, row after row (row-major).
struct table {
  std::int64_t rows = 0, cols = 0;
  std::vector<double> values;
  double at(std::int64_t r, std::int64_t c) const { return values[r * cols + c]; }
};

// The rows [first, first + count) of a file; count -1: every row from first on.
struct row_range {
  std::int64_t first = 0;
  std::int64_t count = -1;
};

constexpr std::uint32_t BINARY_VERSION = 1;
constexpr std::int64_t BINARY_HEADER_BYTES = 32;
extern const char BINARY_MAGIC[8];

// The shape of a file without reading its values (a CSV file is scanned whole).
struct table_shape {
  std::int64_t rows = 0, cols = 0;
  bool binary = false;
};
table_shape read_shape(const std::string& path);

// Reads the rows of range; throws file_error where the file cannot be read, is malformed,
// holds a value that is not finite, or has fewer rows than the range asks for.
table read_table(const std::string& path, row_range range = {});

// The file's format by its name: true for binary (.bin), false for CSV (.csv); throws
// std::invalid_argument for any other name.
bool binary_by_name(const std::string& path);

// The table as the file named path would hold it (format by name): the bytes to write.
std::string table_bytes(const table& t, bool binary);

}  // namespace cli
