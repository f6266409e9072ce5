#include "output/csv_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "test_util.h"

namespace quillon {
namespace {

TEST(CsvWriter, HeaderRowsNaNInfAndRefusedCount) {
  test::TempDir dir;
  bool header_ok = false;
  auto w = CsvWriter::create(dir.root() + "m", {"A", "B_x", "C"}, false, header_ok);
  ASSERT_TRUE(w);
  EXPECT_TRUE(header_ok);
  double nan = std::numeric_limits<double>::quiet_NaN();
  double row1[] = {1, nan, 3.5};
  EXPECT_TRUE(w->write_row(12.5, row1, 3));
  // The widest value: 309 digits and a sign.
  double row2[] = {-0.25, std::numeric_limits<double>::infinity(),
                   -std::numeric_limits<double>::max()};
  EXPECT_TRUE(w->write_row(1715904000.001, row2, 3));
  EXPECT_FALSE(w->write_row(1, row1, 2));
  EXPECT_TRUE(w->close());
  std::string text = dir.read("m.csv");
  const std::string start =
      "t,A,B_x,C\n12.500000,1.000000,NaN,3.500000\n1715904000.001000,-0.250000,Inf,-17976931";
  EXPECT_EQ(text.substr(0, start.size()), start);
  EXPECT_EQ(text.size(), start.size() - 9 + 1 + 309 + 8);  // sign, digits, ".000000\n"
  EXPECT_EQ(text.substr(text.size() - 8), ".000000\n");

  // Appending adds rows after the content, without a second header.
  w = CsvWriter::create(dir.root() + "m", {"A", "B_x", "C"}, true, header_ok);
  ASSERT_TRUE(w);
  EXPECT_TRUE(w->write_row(13, row1, 3));
  w.reset();
  EXPECT_EQ(dir.read("m.csv"), text + "13.000000,1.000000,NaN,3.500000\n");

  EXPECT_FALSE(CsvWriter::create(dir.root() + "missing/m", {"A"}, false, header_ok));
}

TEST(CsvWriter, WideRowsKeepEveryValueInOrder) {
  test::TempDir dir;
  bool header_ok = false;
  std::vector<std::string_view> names(19, "v");
  auto w = CsvWriter::create(dir.root() + "w", names, false, header_ok);
  ASSERT_TRUE(w);
  std::vector<double> values;
  std::string expected = "0.500000";
  for (int i = 0; i < 19; ++i) {
    values.push_back(i - 0.25);
    expected += ',';
    expected += std::to_string(i - 0.25);
  }
  EXPECT_TRUE(w->write_row(0.5, values.data(), values.size()));
  w.reset();
  std::string text = dir.read("w.csv");
  EXPECT_EQ(text.substr(text.find('\n') + 1), expected + "\n");
}

// Splits one CSV line into fields the way RFC 4180 reads them.
std::vector<std::string> read_fields(const std::string& line) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (quoted) {
      if (c != '"') {
        fields.back() += c;
      } else if (i + 1 < line.size() && line[i + 1] == '"') {
        fields.back() += '"';
        ++i;
      } else {
        quoted = false;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

TEST(CsvWriter, HeaderNamesWithSeparatorsOrQuotesStayOneField) {
  test::TempDir dir;
  bool header_ok = false;
  std::vector<std::string_view> names = {"Plain_1", "a,b", "say \"hi\"", "\"", ",", "x\"y,z"};
  auto w = CsvWriter::create(dir.root() + "q", names, false, header_ok);
  ASSERT_TRUE(w);
  double values[] = {1, 2, 3, 4, 5, 6};
  EXPECT_TRUE(w->write_row(0, values, 6));
  w.reset();
  std::string text = dir.read("q.csv");
  std::string header = text.substr(0, text.find('\n'));
  std::string row = text.substr(header.size() + 1);
  row.pop_back();
  // Names without "," or '"' are written as they are.
  EXPECT_EQ(header.substr(0, 10), "t,Plain_1,");
  std::vector<std::string> expected = {"t"};
  expected.insert(expected.end(), names.begin(), names.end());
  EXPECT_EQ(read_fields(header), expected) << header;
  EXPECT_EQ(read_fields(row).size(), expected.size()) << row;
}

TEST(CsvWriter, PooledBuffersWriteWhatHeapBuffersWrite) {
  // Writers from one pool, more than a slab holds, each with rows enough to
  // fill its buffer several times; half of them closed and their buffers
  // taken again by new writers. A buffer handed out twice, or reaching into
  // a neighbour, mixes rows of two files.
  platform::raise_open_file_limit(4096);  // as the frame handler does
  test::TempDir dir;
  BufferPool pool;
  std::vector<std::unique_ptr<CsvWriter>> writers;
  std::vector<std::string> expected;
  const size_t count = platform::kSlabBytes / BufferPool::kBufferBytes + 40;
  auto open = [&](size_t i) {
    bool header_ok = false;
    writers[i] =
        CsvWriter::create(dir.root() + "w" + std::to_string(i), {"v"}, false, header_ok, &pool);
    ASSERT_TRUE(writers[i]);
    expected[i] = "t,v\n";
  };
  writers.resize(count);
  expected.resize(count);
  for (size_t i = 0; i < count; ++i) open(i);
  for (int round = 0; round < 3; ++round) {
    for (int row = 0; row < 100; ++row) {
      for (size_t i = 0; i < count; ++i) {
        const double value = static_cast<double>(i) + row / 8.0;
        ASSERT_TRUE(writers[i]->write_row(row, &value, 1));
        char line[64];
        std::snprintf(line, sizeof line, "%d.000000,%.6f\n", row, value);
        expected[i] += line;
      }
    }
    if (round == 0) {
      for (size_t i = 0; i < count; i += 2) {
        ASSERT_TRUE(writers[i]->close());
        writers[i].reset();
        EXPECT_EQ(dir.read("w" + std::to_string(i) + ".csv"), expected[i]);
        open(i);
      }
    }
  }
  EXPECT_EQ(pool.slabs(), 2u);  // the buffers given back were taken again
  for (size_t i = 0; i < count; ++i) {
    writers[i].reset();
    ASSERT_EQ(dir.read("w" + std::to_string(i) + ".csv"), expected[i]) << i;
  }
}

}  // namespace
}  // namespace quillon
