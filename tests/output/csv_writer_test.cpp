#include "output/csv_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "decompress.h"
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

TEST(CsvWriter, CompressedFramesDecompressToWhatThePlainWriterWrites) {
  // Three writers one after the other on one file, as three logs appending
  // to one output: the first writes the header; rows that fill the buffer
  // many times, a row longer than the buffer (straight to the file) and,
  // last, a short buffer. Each buffer that reaches the file is one frame,
  // so cutting the file back to where a writer began leaves a whole stream.
  test::TempDir dir;
  const std::string label(20000, 'x');
  const std::string* long_label[] = {&label, nullptr};
  for (const char* kind : {"zstd:1", "zstd", "zstd:19", "zstd:-5", "gzip:1", "gzip", "gzip:9"}) {
    Compression compression;
    ASSERT_TRUE(parse_compression(kind, compression));
    if (!codec_built(compression.codec)) continue;  // zstd on Windows
    std::unique_ptr<Compressor> compressor = Compressor::create(compression);
    ASSERT_TRUE(compressor);
    // Plain rows through 4 KiB buffers, compressed ones through 16 KiB.
    BufferPool pool, compressed_pool(BufferPool::kCompressedBufferBytes);
    std::vector<int64_t> lengths;
    for (int writer = 0; writer < 3; ++writer) {
      lengths.push_back(writer == 0 ? 0 : static_cast<int64_t>(dir.read("c").size()));
      for (bool compressed : {false, true}) {
        bool header_ok = false;
        std::unique_ptr<platform::File> file(
            platform::File::open(dir.root() + (compressed ? "c" : "p"),
                                 writer == 0 ? platform::File::kWrite : platform::File::kAppend));
        ASSERT_TRUE(file);
        auto w = CsvWriter::create(std::move(file), {"a", "b"}, writer != 0, header_ok,
                                   compressed ? &compressed_pool : &pool,
                                   compressed ? compressor.get() : nullptr);
        ASSERT_TRUE(w && header_ok);
        for (int row = 0; row < 700 * (writer + 1); ++row) {
          const double values[] = {row * 0.001 + writer, static_cast<double>(row % 7)};
          ASSERT_TRUE(w->write_row(1715904000.0 + row, values, 2));
          if (row == 300) {
            ASSERT_TRUE(w->write_row(1, values, long_label, 2));
          }
        }
        ASSERT_TRUE(w->close());
      }
    }
    const std::string plain = dir.read("p");
    ASSERT_EQ(plain.rfind("t,a,b\n", 0), 0u);
    EXPECT_EQ(plain.find("t,a,b", 1), std::string::npos);
    const std::string bytes = dir.read("c");
    std::string text;
    int frames = 0;
    ASSERT_TRUE(test::decompress(bytes, compression.codec, text, &frames)) << kind;
    EXPECT_EQ(text, plain) << kind;
    EXPECT_GT(frames, 3 * 2) << kind;
    EXPECT_LT(bytes.size() * 3, plain.size()) << kind;
    // The length before the third writer is a frame boundary.
    std::string first_two;
    ASSERT_TRUE(test::decompress(bytes.substr(0, lengths[2]), compression.codec, first_two));
    EXPECT_EQ(first_two, plain.substr(0, first_two.size()));
    EXPECT_EQ(text.substr(first_two.size()).find("t,a,b"), std::string::npos);
  }
}

TEST(CsvWriter, CompressionValuesAsTheLibrariesNumberTheirLevels) {
  Compression c;
  ASSERT_TRUE(parse_compression("zstd", c));
  EXPECT_TRUE(c.codec == Codec::kZstd && c.level == 3);
  ASSERT_TRUE(parse_compression("gzip", c));
  EXPECT_TRUE(c.codec == Codec::kGzip && c.level == 6);
  ASSERT_TRUE(parse_compression("zstd:22", c));
  EXPECT_EQ(c.level, 22);
  ASSERT_TRUE(parse_compression("gzip:0", c));
  EXPECT_EQ(c.level, 0);
  ASSERT_TRUE(parse_compression("none", c));
  EXPECT_TRUE(c.codec == Codec::kNone);
  for (const char* bad : {"", "zstd:", "zstd:23", "zstd:3x", "gzip:10", "gzip:-1", "gz", "ZSTD",
                          "none:1", "zstd:+3", "lz4", "zstd:1:2"}) {
    EXPECT_FALSE(parse_compression(bad, c)) << bad;
  }
  EXPECT_STREQ(output_extension(Codec::kZstd), ".csv.zst");
  EXPECT_STREQ(output_extension(Codec::kGzip), ".csv.gz");
  EXPECT_STREQ(output_extension(Codec::kNone), ".csv");
}

}  // namespace
}  // namespace quillon
