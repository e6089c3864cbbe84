// The command line's files: the data readers (CSV and binary, whole and by rows), their
// refusals naming the line and column or the byte offset, the MAT-file reader and writer of
// the model (as written, compressed, with the narrower storage and longer names other
// writers use), and staged outputs.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>
#include <dirent.h>
#include <unistd.h>

#include "cli/data_files.h"
#include "cli/mat_file.h"
#include "cli/model_file.h"
#include "cli/output_file.h"

namespace {

std::string scratch(const std::string& name) {
  return ::testing::TempDir() + "krrard_" + std::to_string(::getpid()) + "_" + name;
}

std::string write(const std::string& name, const std::string& bytes) {
  const std::string path = scratch(name);
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

// The message of the file_error that reading path throws.
template <class Read>
std::string refusal(Read read) {
  try {
    read();
  } catch (const cli::file_error& e) {
    return e.what();
  }
  return "(nothing refused)";
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(CliDataFiles, CsvReadsNumbersAfterAHeaderAndTakesARangeOfRows) {
  const std::string path = write("a.csv", "x, y ,z\r\n1,2.5,-3e-2\r\n\n 0.1 ,4,5\n6,7,8\n");
  const cli::table t = cli::read_table(path);
  ASSERT_EQ(t.rows, 3);
  ASSERT_EQ(t.cols, 3);
  EXPECT_EQ(t.at(0, 2), -3e-2);
  EXPECT_EQ(t.at(1, 0), 0.1);  // the correctly rounded double of the text
  const cli::table middle = cli::read_table(path, {1, 1});
  ASSERT_EQ(middle.rows, 1);
  EXPECT_EQ(middle.values, std::vector<double>({0.1, 4, 5}));
  EXPECT_EQ(cli::read_shape(path).rows, 3);
  // A first line of numbers is data, not a header.
  EXPECT_EQ(cli::read_table(write("b.csv", "1,2\n3,4\n")).rows, 2);
  EXPECT_NE(refusal([&] { cli::read_table(path, {2, 2}); }).find("rows 3 to 4 asked for, but the file has 3"),
            std::string::npos);
}

TEST(CliDataFiles, CsvRefusalsNameTheFileLineAndColumn) {
  const std::string bad = write("bad.csv", "a,b\n1,2\n3, x7\n");
  EXPECT_EQ(refusal([&] { cli::read_table(bad); }), bad + ":3:4: 'x7' is not a number");
  const std::string empty = write("empty.csv", "1,2\n3,\n");
  EXPECT_EQ(refusal([&] { cli::read_table(empty); }), empty + ":2:3: an empty field where a number belongs");
  const std::string ragged = write("ragged.csv", "1,2\n\n3,4,5\n");
  EXPECT_EQ(refusal([&] { cli::read_table(ragged); }), ragged + ":3:1: 3 values where line 1 has 2");
  // Values that are not finite are refused as the modules refuse them.
  const std::string nan = write("nan.csv", "h\n1,2\n3,NaN\n");
  EXPECT_EQ(refusal([&] { cli::read_table(nan); }), nan + ":3:3: NaN; every value must be finite");
  const std::string inf = write("inf.csv", "-inf,2\n");
  EXPECT_EQ(refusal([&] { cli::read_table(inf); }), inf + ":1:1: -Inf; every value must be finite");
  EXPECT_NE(refusal([] { cli::read_table("/nonexistent/x.csv"); }).find("/nonexistent/x.csv: cannot be read"),
            std::string::npos);
}

cli::table sample_table() {
  cli::table t;
  t.rows = 4;
  t.cols = 3;
  for (int i = 0; i < 12; ++i) t.values.push_back(std::ldexp(1.0 + i / 7.0, i - 6) * (i % 2 ? -1 : 1));
  return t;
}

TEST(CliDataFiles, BinaryRoundTripsEveryBitAndSeeksToARangeOfRows) {
  const cli::table t = sample_table();
  const std::string bytes = cli::table_bytes(t, true);
  ASSERT_EQ(bytes.size(), 32u + 8 * 12);
  const std::string path = write("t.bin", bytes);
  const cli::table whole = cli::read_table(path);
  EXPECT_EQ(whole.rows, 4);
  for (int i = 0; i < 12; ++i) EXPECT_TRUE(same_bits(whole.values[i], t.values[i]));
  const cli::table rows = cli::read_table(path, {1, 2});
  ASSERT_EQ(rows.rows, 2);
  EXPECT_EQ(rows.values, std::vector<double>(t.values.begin() + 3, t.values.begin() + 9));
  // CSV keeps every bit too (17 significant digits).
  const cli::table text = cli::read_table(write("t.csv", cli::table_bytes(t, false)));
  for (int i = 0; i < 12; ++i) EXPECT_TRUE(same_bits(text.values[i], t.values[i]));
  EXPECT_TRUE(cli::binary_by_name("out.bin"));
  EXPECT_FALSE(cli::binary_by_name("dir.bin/out.csv"));
  EXPECT_THROW(cli::binary_by_name("out.txt"), std::invalid_argument);
}

TEST(CliDataFiles, BinaryRefusalsNameTheByteOffset) {
  cli::table t = sample_table();
  const std::string bytes = cli::table_bytes(t, true);
  const std::string cut = write("cut.bin", bytes.substr(0, bytes.size() - 3));
  EXPECT_EQ(refusal([&] { cli::read_table(cut); }),
            cut + ": byte 125: the file ends early: its header (4 rows of 3 columns) needs 128 bytes (truncated?)");
  const std::string header = write("header.bin", bytes.substr(0, 20));
  EXPECT_EQ(refusal([&] { cli::read_table(header); }), header + ": byte 20: the file ends inside its 32-byte header");
  std::string v2 = bytes;
  v2[8] = 2;
  const std::string version = write("v2.bin", v2);
  EXPECT_NE(refusal([&] { cli::read_table(version); }).find(": byte 8: format version 2"), std::string::npos);
  const std::string longer = write("long.bin", bytes + "x");
  EXPECT_EQ(refusal([&] { cli::read_table(longer); }), longer + ": byte 128: 1 bytes after the last row of 4 rows of 3 columns");
  t.values[7] = std::numeric_limits<double>::quiet_NaN();
  const std::string nan = write("nan.bin", cli::table_bytes(t, true));
  EXPECT_EQ(refusal([&] { cli::read_table(nan); }), nan + ": byte 88 (row 3, column 2): NaN; every value must be finite");
  // A range that leaves the bad value out reads: only its rows are read.
  EXPECT_EQ(cli::read_table(nan, {0, 2}).rows, 2);
}

// ---------------------------------------------------------------- MAT-files

krr::fit_model sample_model() {
  krr::fit_model m;
  m.length_scales = {1.5, 2.5};
  m.relevance = {1.0, 0.36};
  m.amplitude = 0.7;
  m.ridge = 0.01;
  m.log_marginal_likelihood = -12.25;
  m.log_marginal_likelihood_error = std::numeric_limits<double>::quiet_NaN();
  m.history = {krr::lbfgs_row{0, -13, 2, 0.1, 1, 2, 3, 4, 5}, krr::lbfgs_row{1, -12.25, 0.5, 0.2, 2, 3, 4, 5, 6}};
  m.method = "exact (dense)";
  m.threads = std::numeric_limits<double>::quiet_NaN();
  m.final_passes = {std::numeric_limits<double>::quiet_NaN(), 3};
  m.alpha = {0.1, -0.2, 0.3};
  m.X = {1, 2, 3, 4, 5, 6};
  m.weights = {0.25, 0.5, 0.7};
  m.mu = {0.5, 1.5};
  m.sigma = {2, 3};
  m.y_mean = {4};
  m.y_scale = {1};
  m.format_version = 4;
  m.kernel = "matern52";
  m.kernel_objectives = {-14.5, -13.0, -12.5, -12.25};
  return m;
}

TEST(CliMatFile, TheModelWrittenReadsBackFieldByFieldInKrrfitsOrder) {
  const cli::mat_value s = cli::model_struct(sample_model(), 3, 2, 1);
  const std::string path = write("model.mat", cli::mat_file_bytes("model", s));
  const cli::mat_value r = cli::read_mat_variable(path, "model");
  ASSERT_EQ(r.fields.size(), 21u);
  for (std::size_t i = 0; i < r.fields.size(); ++i) {
    const cli::mat_value& a = s.fields[i].second;
    const cli::mat_value& b = r.fields[i].second;
    EXPECT_EQ(r.fields[i].first, s.fields[i].first);
    EXPECT_EQ(b.rows, a.rows) << r.fields[i].first;
    EXPECT_EQ(b.cols, a.cols) << r.fields[i].first;
    EXPECT_EQ(b.text, a.text);
    ASSERT_EQ(b.numbers.size(), a.numbers.size());
    for (std::size_t j = 0; j < a.numbers.size(); ++j) EXPECT_TRUE(same_bits(a.numbers[j], b.numbers[j]));
  }
  EXPECT_EQ(r.field("History")->rows, 2);
  EXPECT_EQ(r.field("History")->numbers[1], 1.0);  // column-major: the second row's iteration
  EXPECT_EQ(r.field("X")->rows, 2);
  krr::fit_model m;
  krr::model_dims dims;
  cli::model_of_struct(r, path, true, m, dims);
  EXPECT_EQ(m.format_version, 4);
  EXPECT_EQ(m.kernel, "matern52");
  EXPECT_EQ(dims.alpha.rows, 3);
  EXPECT_EQ(m.ridge, 0.01);
  EXPECT_NE(refusal([&] { cli::read_mat_variable(path, "fit"); }).find("no variable 'fit' in the file (it holds model)"),
            std::string::npos);
}

// Elements as other writers lay them out, for the reader's tests.
void put32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}
std::string element(std::uint32_t type, const std::string& data) {
  std::string out;
  put32(out, type);
  put32(out, static_cast<std::uint32_t>(data.size()));
  out += data;
  while (out.size() % 8) out.push_back('\0');
  return out;
}
std::string array(std::uint32_t flags, int rows, int cols, const std::string& name, const std::string& rest) {
  std::string f, d;
  put32(f, flags);
  put32(f, 0);
  put32(d, rows);
  put32(d, cols);
  return element(14, element(6, f) + element(5, d) + element(1, name) + rest);
}
std::string header() {
  std::string h(124, ' ');
  h += std::string("\x00\x01IM", 4);
  return h;
}
std::string compressed(const std::string& plain) {
  uLongf size = compressBound(plain.size());
  std::string out(size, '\0');
  compress(reinterpret_cast<Bytef*>(&out[0]), &size, reinterpret_cast<const Bytef*>(plain.data()), plain.size());
  out.resize(size);
  std::string e;
  put32(e, 15);
  put32(e, static_cast<std::uint32_t>(size));
  return e + out;
}

TEST(CliMatFile, ReadsCompressedElementsNarrowStorageUtf8TextAndLongFieldNames) {
  // A struct {Count: uint8-stored double 1 x 3, Name: UTF-8 char row} with 64-byte field
  // names, compressed, after another variable that is skipped.
  std::string names = std::string("Count") + std::string(59, '\0') + "Name" + std::string(60, '\0');
  std::string length;
  put32(length, (4u << 16) | 5);
  put32(length, 64);
  const std::string fields = array(6, 1, 3, "", element(2, std::string("\x01\x02\xff", 3))) +
                             array(4, 1, 5, "", element(16, "dense"));
  const std::string s = array(2, 1, 1, "model", length + element(1, names) + fields);
  const std::string other = array(6, 1, 1, "seed", element(9, std::string(8, '\0')));
  const std::string path = write("compressed.mat", header() + compressed(other) + compressed(s));
  const cli::mat_value v = cli::read_mat_variable(path, "model");
  ASSERT_EQ(v.fields.size(), 2u);
  EXPECT_EQ(v.field("Count")->numbers, std::vector<double>({1, 2, 255}));
  EXPECT_EQ(v.field("Name")->text, "dense");
}

TEST(CliMatFile, RefusesWhatAModelNeverHoldsNamingTheByteOffset) {
  const std::string cell = write("cell.mat", header() + array(1, 1, 1, "model", ""));
  EXPECT_EQ(refusal([&] { cli::read_mat_variable(cell, "model"); }),
            cell + ": byte 128: 'model' is of class cell; only numeric matrices, character rows and one struct are read");
  const std::string complex = write("complex.mat", header() + array(0x800 | 6, 1, 1, "model", element(9, std::string(8, '\0'))));
  EXPECT_NE(refusal([&] { cli::read_mat_variable(complex, "model"); }).find("byte 128: 'model' is a complex double"),
            std::string::npos);
  const std::string bytes = cli::mat_file_bytes("model", cli::model_struct(sample_model(), 3, 2, 1));
  const std::string cut = write("cut.mat", bytes.substr(0, 400));
  EXPECT_NE(refusal([&] { cli::read_mat_variable(cut, "model"); }).find(cut + ": byte 128: an element of"),
            std::string::npos);
  std::string damaged = compressed(bytes.substr(128));
  for (std::size_t i = 10; i < 40; ++i) damaged[i] = '\x55';  // the stream inside it damaged
  const std::string broken = write("broken.mat", header() + damaged);
  EXPECT_NE(refusal([&] { cli::read_mat_variable(broken, "model"); }).find(broken + ": byte 128: a compressed element does not decompress"),
            std::string::npos);
  std::string v73 = header();
  v73[124] = 0;
  v73[125] = 2;
  const std::string hdf5 = write("v73.mat", v73);
  EXPECT_NE(refusal([&] { cli::read_mat_variable(hdf5, "model"); }).find("version 7.3 (HDF5)"), std::string::npos);
  // A struct without the fields prediction needs.
  cli::mat_value s = cli::model_struct(sample_model(), 3, 2, 1);
  s.fields.erase(s.fields.begin() + 15);  // Mu
  krr::fit_model m;
  krr::model_dims dims;
  EXPECT_EQ(refusal([&] { cli::model_of_struct(s, "m.mat", false, m, dims); }), "m.mat: the model has no field Mu");
  // Fields of an integer class (as a writer may store whole numbers) are refused where
  // krrpredict refuses them; FormatVersion may be of any numeric class.
  s = cli::model_struct(sample_model(), 3, 2, 1);
  s.fields[0].second.class_name = "int64";
  s.fields[13].second.class_name = "int32";  // X
  EXPECT_EQ(refusal([&] { cli::model_of_struct(s, "m.mat", false, m, dims); }),
            "m.mat: model.X must be real floating point (double or single), got int32");
}

// Files of the scratch folder whose names start with prefix.
int files_starting(const std::string& prefix) {
  int count = 0;
  DIR* dir = opendir(::testing::TempDir().c_str());
  while (dirent* e = readdir(dir)) count += std::string(e->d_name).compare(0, prefix.size(), prefix) == 0;
  closedir(dir);
  return count;
}

TEST(CliOutputFile, NothingAppearsUnderTheNameUntilCommitted) {
  const std::string path = scratch("out.csv");
  std::remove(path.c_str());
  {
    cli::staged_file f(path, "1\n");
    EXPECT_FALSE(std::ifstream(path).good());
    EXPECT_EQ(files_starting(".krrard_" + std::to_string(::getpid()) + "_out.csv."), 1);
  }  // dropped: the temporary file is removed too
  EXPECT_FALSE(std::ifstream(path).good());
  EXPECT_EQ(files_starting(".krrard_" + std::to_string(::getpid()) + "_out.csv."), 0);
  cli::staged_file f(path, "2\n");
  f.commit();
  std::string line;
  std::getline(std::ifstream(path), line);
  EXPECT_EQ(line, "2");
  EXPECT_THROW(cli::staged_file("/nonexistent/dir/out.csv", "3\n"), std::runtime_error);
}

}  // namespace
