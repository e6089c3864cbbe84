#include "cli/mat_file.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>

#include "cli/data_files.h"

namespace cli {

namespace {

// Data types of the elements and classes of the arrays, as the format numbers them.
enum : std::uint32_t {
  miINT8 = 1, miUINT8 = 2, miINT16 = 3, miUINT16 = 4, miINT32 = 5, miUINT32 = 6, miSINGLE = 7,
  miDOUBLE = 9, miINT64 = 12, miUINT64 = 13, miMATRIX = 14, miCOMPRESSED = 15, miUTF8 = 16,
  miUTF16 = 17, miUTF32 = 18,
};
enum : std::uint32_t { mxSTRUCT = 2, mxCHAR = 4, mxDOUBLE = 6, mxUINT64 = 15 };
constexpr std::uint32_t COMPLEX_FLAG = 0x800, LOGICAL_FLAG = 0x200;
constexpr std::size_t HEADER_BYTES = 128;
constexpr std::size_t FIELD_NAME_BYTES = 32;  // the longest field name is 31 characters

const char* class_name(std::uint32_t c) {
  static const char* const names[] = {"unknown", "cell", "struct", "object", "char", "sparse",
                                      "double", "single", "int8", "uint8", "int16", "uint16",
                                      "int32", "uint32", "int64", "uint64", "function handle",
                                      "opaque"};
  return c < sizeof names / sizeof *names ? names[c] : "unknown";
}

// ---------------------------------------------------------------- writing

void put32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

void pad8(std::string& out) {
  while (out.size() % 8) out.push_back('\0');
}

void element(std::string& out, std::uint32_t type, const std::string& data) {
  put32(out, type);
  put32(out, static_cast<std::uint32_t>(data.size()));
  out += data;
  pad8(out);
}

std::string matrix_element(const std::string& name, const mat_value& v) {
  std::string body, word;
  const std::uint32_t cls = v.kind == mat_value::type::numbers ? mxDOUBLE
                            : v.kind == mat_value::type::text  ? mxCHAR
                                                               : mxSTRUCT;
  put32(word, cls);
  put32(word, 0);
  element(body, miUINT32, word);
  std::string dims;
  const std::int64_t rows = v.kind == mat_value::type::numbers ? v.rows
                            : v.kind == mat_value::type::text  ? 1
                                                               : 1;
  const std::int64_t cols = v.kind == mat_value::type::numbers ? v.cols
                            : v.kind == mat_value::type::text  ? static_cast<std::int64_t>(v.text.size())
                                                               : 1;
  put32(dims, static_cast<std::uint32_t>(rows));
  put32(dims, static_cast<std::uint32_t>(cols));
  element(body, miINT32, dims);
  element(body, miINT8, name);
  if (v.kind == mat_value::type::numbers) {
    std::string data(v.numbers.size() * 8, '\0');
    if (!v.numbers.empty()) std::memcpy(&data[0], v.numbers.data(), data.size());  // little-endian hosts
    element(body, miDOUBLE, data);
  } else if (v.kind == mat_value::type::text) {
    std::string data;
    for (unsigned char ch : v.text) {
      data.push_back(static_cast<char>(ch));
      data.push_back('\0');
    }
    element(body, miUINT16, data);
  } else {
    // The longest name's length in a small element (the tag's upper half holds its bytes).
    put32(body, (4u << 16) | miINT32);
    put32(body, FIELD_NAME_BYTES);
    std::string names;
    for (const auto& f : v.fields) {
      std::string padded = f.first.substr(0, FIELD_NAME_BYTES - 1);
      padded.resize(FIELD_NAME_BYTES, '\0');
      names += padded;
    }
    element(body, miINT8, names);
    for (const auto& f : v.fields) body += matrix_element("", f.second);
  }
  std::string out;
  element(out, miMATRIX, body);
  return out;
}

// ---------------------------------------------------------------- reading

struct tag {
  std::uint32_t type = 0;
  std::size_t data = 0, bytes = 0, next = 0;  // offsets in the buffer
};

// A buffer of the file, or of one of its decompressed elements, and how to name an offset
// in it.
struct reader {
  std::string path;
  const unsigned char* p = nullptr;
  std::size_t size = 0;
  std::size_t compressed_at = 0;  // where the compressed element starts in the file, if any
  bool compressed = false;

  [[noreturn]] void fail(std::size_t at, const std::string& what) const {
    if (compressed) {
      throw file_error(path + ": byte " + std::to_string(compressed_at) +
                       " (a compressed element), byte " + std::to_string(at) +
                       " of its decompressed data: " + what);
    }
    throw file_error(path + ": byte " + std::to_string(at) + ": " + what);
  }

  std::uint32_t u32(std::size_t at) const {
    return static_cast<std::uint32_t>(p[at]) | static_cast<std::uint32_t>(p[at + 1]) << 8 |
           static_cast<std::uint32_t>(p[at + 2]) << 16 | static_cast<std::uint32_t>(p[at + 3]) << 24;
  }

  // The tag at `at`, whose element must end by `end`.
  tag read_tag(std::size_t at, std::size_t end) const {
    if (at + 8 > end) fail(at, "the data end inside an element's tag (truncated?)");
    tag t;
    const std::uint32_t first = u32(at);
    if (first >> 16) {  // a small element: its bytes in the tag's upper half, data beside it
      t.type = first & 0xffff;
      t.bytes = first >> 16;
      t.data = at + 4;
      t.next = at + 8;
      if (t.bytes > 4) fail(at, "a small element of more than 4 bytes");
      return t;
    }
    t.type = first;
    t.bytes = u32(at + 4);
    t.data = at + 8;
    if (t.bytes > end - t.data) {
      fail(at, "an element of " + std::to_string(t.bytes) + " bytes, but only " +
                   std::to_string(end - t.data) + " are left (truncated?)");
    }
    // Compressed elements are not padded; every other is, to 8 bytes.
    const std::size_t padded = t.type == miCOMPRESSED ? t.bytes : (t.bytes + 7) / 8 * 8;
    t.next = std::min(t.data + padded, end);
    return t;
  }

  static std::size_t width(std::uint32_t type) {
    switch (type) {
      case miINT8: case miUINT8: case miUTF8: return 1;
      case miINT16: case miUINT16: case miUTF16: return 2;
      case miINT32: case miUINT32: case miSINGLE: case miUTF32: return 4;
      case miDOUBLE: case miINT64: case miUINT64: return 8;
      default: return 0;
    }
  }

  // The values of a numeric element as doubles: the writer may store integer values in a
  // narrower type.
  std::vector<double> numbers(const tag& t, std::size_t at) const {
    const std::size_t w = width(t.type);
    if (w == 0 || t.type == miUTF8 || t.type == miUTF16 || t.type == miUTF32) {
      fail(at, "numeric data of element type " + std::to_string(t.type) + ", which is not a number type");
    }
    if (t.bytes % w) fail(at, "numeric data of " + std::to_string(t.bytes) + " bytes, not whole values");
    std::vector<double> v(t.bytes / w);
    const unsigned char* q = p + t.data;
    for (std::size_t i = 0; i < v.size(); ++i, q += w) {
      std::uint64_t bits = 0;
      for (std::size_t b = w; b-- > 0;) bits = (bits << 8) | q[b];
      switch (t.type) {
        case miINT8: v[i] = static_cast<std::int8_t>(bits); break;
        case miUINT8: case miUINT16: case miUINT32: v[i] = static_cast<double>(bits); break;
        case miINT16: v[i] = static_cast<std::int16_t>(bits); break;
        case miINT32: v[i] = static_cast<std::int32_t>(bits); break;
        case miINT64: v[i] = static_cast<double>(static_cast<std::int64_t>(bits)); break;
        case miUINT64: v[i] = static_cast<double>(bits); break;
        case miSINGLE: {
          float f;
          const std::uint32_t b32 = static_cast<std::uint32_t>(bits);
          std::memcpy(&f, &b32, 4);
          v[i] = f;
          break;
        }
        default: std::memcpy(&v[i], &bits, 8); break;
      }
    }
    return v;
  }

  // The text of a character element as UTF-8.
  std::string text(const tag& t, std::size_t at) const {
    std::string s;
    const std::size_t w = width(t.type);
    if (t.type == miUTF8 || t.type == miINT8 || t.type == miUINT8) return std::string(reinterpret_cast<const char*>(p + t.data), t.bytes);
    if (w != 2 && t.type != miUTF32 && t.type != miUINT32 && t.type != miINT32) fail(at, "character data of element type " + std::to_string(t.type));
    const std::size_t cw = w == 2 ? 2 : 4;
    for (std::size_t i = 0; i + cw <= t.bytes; i += cw) {
      std::uint32_t c = p[t.data + i] | p[t.data + i + 1] << 8;
      if (cw == 4) c |= static_cast<std::uint32_t>(p[t.data + i + 2]) << 16 | static_cast<std::uint32_t>(p[t.data + i + 3]) << 24;
      if (c < 0x80) {
        s.push_back(static_cast<char>(c));
      } else if (c < 0x800) {
        s.push_back(static_cast<char>(0xc0 | c >> 6));
        s.push_back(static_cast<char>(0x80 | (c & 0x3f)));
      } else {
        s.push_back(static_cast<char>(0xe0 | ((c >> 12) & 0x0f)));
        s.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
        s.push_back(static_cast<char>(0x80 | (c & 0x3f)));
      }
    }
    return s;
  }

  // The array of the miMATRIX element t. Where `wanted` is set (a top-level variable), an
  // array of another name is skipped: false.
  bool array(const tag& t, std::size_t at, const std::string* wanted, mat_value& out,
             std::string* name_out = nullptr) const {
    const std::size_t end = t.data + t.bytes;
    if (t.bytes == 0) fail(at, "an empty array element");
    const tag flags = read_tag(t.data, end);
    if (flags.type != miUINT32 || flags.bytes != 8) fail(t.data, "an array without its flags");
    const std::uint32_t word = u32(flags.data);
    const std::uint32_t cls = word & 0xff;
    const tag dims = read_tag(flags.next, end);
    if (dims.type != miINT32 || dims.bytes % 4 || dims.bytes < 8) fail(flags.next, "an array without its dimensions");
    const tag name = read_tag(dims.next, end);
    if (name.type != miINT8 && name.type != miUTF8) fail(dims.next, "an array without its name");
    const std::string array_name(reinterpret_cast<const char*>(p + name.data), name.bytes);
    if (name_out) *name_out = array_name;
    if (wanted && array_name != *wanted) return false;
    const std::string what = array_name.empty() ? "the field" : "'" + array_name + "'";
    if (dims.bytes != 8) {
      fail(dims.data, what + " has " + std::to_string(dims.bytes / 4) + " dimensions; only matrices are read");
    }
    const std::int64_t rows = static_cast<std::int32_t>(u32(dims.data));
    const std::int64_t cols = static_cast<std::int32_t>(u32(dims.data + 4));
    if (rows < 0 || cols < 0) fail(dims.data, what + " has negative dimensions");
    if (word & COMPLEX_FLAG) fail(at, what + " is a complex " + class_name(cls) + "; only real numbers are read");
    if (word & LOGICAL_FLAG) fail(at, what + " is logical; only real numbers are read");
    out = mat_value();
    out.rows = rows;
    out.cols = cols;
    if (cls >= mxDOUBLE && cls <= mxUINT64) {
      out.kind = mat_value::type::numbers;
      out.class_name = class_name(cls);
      const tag real = read_tag(name.next, end);
      out.numbers = numbers(real, name.next);
      if (static_cast<std::int64_t>(out.numbers.size()) != rows * cols) {
        fail(name.next, what + " is " + std::to_string(rows) + " x " + std::to_string(cols) + " but holds " +
                            std::to_string(out.numbers.size()) + " values");
      }
      return true;
    }
    if (cls == mxCHAR) {
      out.kind = mat_value::type::text;
      if (rows * cols == 0) return true;
      if (rows != 1) fail(at, what + " is " + std::to_string(rows) + " rows of text; only a character row is read");
      out.text = text(read_tag(name.next, end), name.next);
      return true;
    }
    if (cls == mxSTRUCT) {
      out.kind = mat_value::type::structure;
      if (rows != 1 || cols != 1) {
        fail(at, what + " is a " + std::to_string(rows) + " x " + std::to_string(cols) +
                     " struct array; only one struct (1 x 1) is read");
      }
      const tag length = read_tag(name.next, end);
      if (length.type != miINT32 || length.bytes != 4) fail(name.next, what + " lacks its field name length");
      const std::size_t len = u32(length.data);
      const tag names = read_tag(length.next, end);
      if (names.type != miINT8 || len == 0 || names.bytes % len) fail(length.next, what + " lacks its field names");
      std::size_t pos = names.next;
      for (std::size_t i = 0; i < names.bytes / len; ++i) {
        const char* s = reinterpret_cast<const char*>(p + names.data + i * len);
        const std::string field(s, strnlen(s, len));
        const tag element = read_tag(pos, end);
        if (element.type != miMATRIX) fail(pos, "field " + field + " is not an array element");
        mat_value v;
        array(element, pos, nullptr, v);
        out.fields.emplace_back(field, std::move(v));
        pos = element.next;
      }
      return true;
    }
    fail(at, what + " is of class " + class_name(cls) + "; only numeric matrices, character rows and one struct are read");
  }
};

std::vector<unsigned char> inflate_element(const reader& r, const tag& t, std::size_t at) {
  std::vector<unsigned char> out(std::max<std::size_t>(4 * t.bytes, 1024));
  z_stream z{};
  if (inflateInit(&z) != Z_OK) r.fail(at, "zlib could not start");
  z.next_in = const_cast<unsigned char*>(r.p + t.data);
  z.avail_in = static_cast<uInt>(t.bytes);
  int status = Z_OK;
  while (status == Z_OK) {
    if (z.total_out == out.size()) out.resize(2 * out.size());
    z.next_out = out.data() + z.total_out;
    z.avail_out = static_cast<uInt>(out.size() - z.total_out);
    status = inflate(&z, Z_NO_FLUSH);
    if (status == Z_BUF_ERROR && z.avail_in == 0) break;
    if (status == Z_BUF_ERROR) status = Z_OK;
  }
  const std::string message = z.msg ? z.msg : "the data end early";
  out.resize(z.total_out);
  inflateEnd(&z);
  if (status != Z_STREAM_END) r.fail(at, "a compressed element does not decompress (zlib: " + message + ")");
  return out;
}

}  // namespace

mat_value mat_value::matrix(std::int64_t rows, std::int64_t cols, std::vector<double> values) {
  mat_value v;
  v.rows = rows;
  v.cols = cols;
  v.numbers = std::move(values);
  return v;
}
mat_value mat_value::scalar(double x) { return matrix(1, 1, {x}); }
mat_value mat_value::row(const std::vector<double>& values) {
  return matrix(1, static_cast<std::int64_t>(values.size()), values);
}
mat_value mat_value::string(const std::string& s) {
  mat_value v;
  v.kind = type::text;
  v.rows = 1;
  v.cols = static_cast<std::int64_t>(s.size());
  v.text = s;
  return v;
}
const mat_value* mat_value::field(const std::string& name) const {
  for (const auto& f : fields) if (f.first == name) return &f.second;
  return nullptr;
}

std::string mat_file_bytes(const std::string& name, const mat_value& s) {
  std::string out = "MATLAB 5.0 MAT-file, written by krrard";
  out.resize(116, ' ');
  out.append(8, '\0');         // no subsystem data
  out.push_back('\0');         // version 0x0100
  out.push_back('\x01');
  out += "IM";                 // written little-endian
  out += matrix_element(name, s);
  return out;
}

mat_value read_mat_variable(const std::string& path, const std::string& name) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw file_error(path + ": cannot be read (" + std::strerror(errno) + ")");
  const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  reader r;
  r.path = path;
  r.p = bytes.data();
  r.size = bytes.size();
  if (bytes.size() < HEADER_BYTES) r.fail(bytes.size(), "the file ends inside the 128-byte header of a MAT-file");
  if (bytes[126] == 'M' && bytes[127] == 'I') r.fail(126, "a MAT-file written big-endian, which this reader does not read");
  if (bytes[126] != 'I' || bytes[127] != 'M') r.fail(126, "not a MAT-file (no endian indicator 'IM' in its header)");
  const std::uint32_t version = bytes[124] | bytes[125] << 8;
  if (version == 0x0200) r.fail(124, "a MAT-file of version 7.3 (HDF5), which this reader does not read; save with -v7");
  if (version != 0x0100) r.fail(124, "not a Level 5 MAT-file (version field " + std::to_string(version) + ")");
  std::vector<std::string> others;
  for (std::size_t pos = HEADER_BYTES; pos < r.size;) {
    const tag t = r.read_tag(pos, r.size);
    mat_value v;
    std::string found;
    if (t.type == miCOMPRESSED) {
      const std::vector<unsigned char> plain = inflate_element(r, t, pos);
      reader inner = r;
      inner.p = plain.data();
      inner.size = plain.size();
      inner.compressed = true;
      inner.compressed_at = pos;
      const tag m = inner.read_tag(0, inner.size);
      if (m.type != miMATRIX) inner.fail(0, "a compressed element that holds no array");
      if (inner.array(m, 0, &name, v, &found)) return v;
    } else if (t.type == miMATRIX) {
      if (r.array(t, pos, &name, v, &found)) return v;
    } else {
      r.fail(pos, "an element of type " + std::to_string(t.type) + " where a variable belongs");
    }
    others.push_back(found);
    pos = t.next;
  }
  std::string list;
  for (const std::string& o : others) list += (list.empty() ? "" : ", ") + o;
  throw file_error(path + ": no variable '" + name + "' in the file" +
                   (list.empty() ? std::string(" (it holds none)") : " (it holds " + list + ")"));
}

}  // namespace cli
