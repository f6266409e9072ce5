#include "input/log_reader.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "input/memory_stream.h"
#include "platform/platform.h"
#include "support/log.h"

namespace quillon {
namespace {

// What a sink can see of a frame, comparable in one EXPECT_EQ.
struct Seen {
  double time;
  uint32_t id;
  int extended, type_flag, dlc, channel, kind;
  std::vector<uint8_t> payload;
  bool operator==(const Seen&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Seen& s) {
  os << std::fixed << s.time << " id=" << std::hex << s.id << std::dec << " ext=" << s.extended
     << " tf=" << s.type_flag << " dlc=" << s.dlc << " ch=" << s.channel << " kind=" << s.kind
     << " [";
  for (uint8_t b : s.payload) os << int(b) << ' ';
  return os << ']';
}

Seen seen(const Frame& f) {
  return Seen{
      f.time,     f.id,      f.extended, f.type_flag,
      f.bits.dlc, f.channel, f.kind,     std::vector<uint8_t>(f.payload.begin(), f.payload.end())};
}

std::string header(const std::string& time = "20200101T120000", const std::string& format = "0") {
  return "# Logger type: Telvorn2000\n"
         "# HW rev: 0.01\n"
         "# FW rev: 01.02\n"
         "# Logger ID: 1A2B3C4D\n"
         "# Session No.: 5\n"
         "# Split No.: 1\n"
         "# Time: " +
         time +
         "\n"
         "# Value separator: \";\"\n"
         "# Time format: " +
         format + "\n";
}

const std::string kColumns = "Timestamp;Type;ID;Length;Data\n";

// buffer 0 reads the stream directly, a positive size through a buffer.
std::unique_ptr<ByteStream> make_stream(const std::string& log, int64_t buffer) {
  auto mem = std::make_unique<test::MemoryStream>(log);
  if (buffer <= 0) return mem;
  return BufferedReader::create(std::move(mem), buffer);
}

std::vector<Seen> read_all(const std::string& log, int64_t buffer = 0) {
  auto stream = make_stream(log, buffer);
  auto reader = LogReader::create(stream.get());
  EXPECT_TRUE(reader) << log;
  std::vector<Seen> out;
  if (!reader) return out;
  EXPECT_TRUE(reader->seek_to_data());
  Frame f;
  while (reader->next_frame(f)) out.push_back(seen(f));
  return out;
}

std::vector<double> times(const std::vector<Seen>& frames) {
  std::vector<double> t;
  for (const Seen& s : frames) t.push_back(s.time);
  return t;
}

TEST(LogReader, FullFrameLine) {
  auto frames =
      read_all(header() + kColumns + "20200101T120000123;1;18FEF100;8;0102030405060708\n");
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0], (Seen{1577880000.123, 0x18FEF100, 1, 0, 8, 1, 1, {1, 2, 3, 4, 5, 6, 7, 8}}));
}

TEST(LogReader, HeaderEntries) {
  std::string log =
      "# Logger type: Telvorn3000\n"
      "# HW rev: 00.07-long\n"  // cut to 4 characters
      "# FW rev: 1.2 rest\n"
      "# Logger ID: 0123456789ABCDEF0123456789\n"  // cut to 21
      "# Session No.: 010\n"                       // octal
      "# Split No.: 0x1F\n"
      "# Time: 20200101T120000\n"
      "# Value separator: \";\"\n"
      "# Time format: 0x103\n"  // low byte
      "# Bit-rate: 500000\n"
      "# Silent mode: true\n"
      "# Cyclic mode: maybe\n"
      "# Logger type\n"  // no ": ": unchanged
      "Timestamp\n";
  test::MemoryStream s(log);
  auto r = LogReader::create(&s);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->logger_type(), 2u);
  EXPECT_STREQ(r->hw_rev(), "00.0");
  EXPECT_STREQ(r->fw_rev(), "1.2");
  EXPECT_STREQ(r->logger_id(), "0123456789ABCDEF01234");
  EXPECT_EQ(r->session(), 8);
  EXPECT_EQ(r->split(), 31);
  EXPECT_STREQ(r->start_text(), "20200101T120000");
  EXPECT_EQ(r->start_time(), double(platform::local_seconds(2020, 1, 1, 12, 0, 0)));
  EXPECT_EQ(r->value_separator(), ';');
  EXPECT_EQ(r->time_format(), 3);
  EXPECT_EQ(r->bit_rate(), 500000);
  EXPECT_EQ(r->silent(), 1);
  EXPECT_EQ(r->cyclic(), 0);
  EXPECT_EQ(r->data_start(), static_cast<int64_t>(log.size()));
}

TEST(LogReader, OneLineFeedsEveryEntryWhoseLabelItHolds) {
  // The value is what follows the first ": ", whichever label matched.
  test::MemoryStream s("# Session No.: 7 Split No.: 9\n# Value separator: \";\"\nID\n");
  auto r = LogReader::create(&s);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->session(), 7);
  EXPECT_EQ(r->split(), 7);
}

TEST(LogReader, UnusableFilesCannotBeOpened) {
  const char* cases[] = {
      "",                                               // empty
      "Timestamp;ID\n# Value separator: \";\"\n",       // first line not "#"
      "# Value separator: \";\"\n# Session No.: 1\n",   // "#" lines only
      "# Value separator: \";\"\nStamp;Ident;Bytes\n",  // no known column
      "# Value separator: ;\nTimestamp;ID\n",           // separator without quotes
      "# Value separator: \";\"\ntimestamp;id\n",       // names are case-sensitive
      "# Value separator: \";\"\r\r\r\n\nTimestamp\n",  // an empty line is the column header
  };
  for (const char* c : cases) {
    test::MemoryStream s(c);
    EXPECT_FALSE(LogReader::create(&s)) << c;
  }
  EXPECT_FALSE(LogReader::create(nullptr));
}

TEST(LogReader, ColumnsAndValues) {
  struct Case {
    const char* columns;
    const char* line;
    Seen expected;
  } cases[] = {
      // The last of Length and Data decides the length code.
      {"Timestamp;Length;Data",
       "20200101T120000000;8;0A0B",
       {1577880000, 0, 0, 0, 2, 1, 1, {10, 11}}},
      {"Timestamp;Data;Length",
       "20200101T120000000;0A0B;8",
       {1577880000, 0, 0, 0, 8, 1, 1, {10, 11}}},
      // At most 8 bytes; an odd last digit is a byte of its own.
      {"Data",
       "00112233445566778899",
       {0, 0, 0, 0, 8, 1, 1, {0, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}}},
      {"Data", "ABC", {0, 0, 0, 0, 2, 1, 1, {0xAB, 0xC}}},
      // The payload ends at the first non-hexadecimal character.
      {"Data", "01G203", {0, 0, 0, 0, 1, 1, 1, {1}}},
      {"Data", "0102 03", {0, 0, 0, 0, 2, 1, 1, {1, 2}}},
      {"Data", "", {0, 0, 0, 0, 0, 1, 1, {}}},
      // Type: 1 and 9 are extended, 8 and 9 carry the type flag.
      {"Type;ID", "0;7FF", {0, 0x7FF, 0, 0, 0, 1, 1, {}}},
      {"Type;ID", "1;1FFFFFFF", {0, 0x1FFFFFFF, 1, 0, 0, 1, 1, {}}},
      {"Type;ID", "8;123", {0, 0x123, 0, 1, 0, 1, 1, {}}},
      {"Type;ID", "9;0x123", {0, 0x123, 1, 1, 0, 1, 1, {}}},
      {"Type;ID", "x;zz", {0, 0, 0, 0, 0, 1, 1, {}}},
      // An unknown column's values are skipped; Lost is known and ignored.
      {"Lost;Other;ID", "5;FFFF;1F", {0, 0x1F, 0, 0, 0, 1, 1, {}}},
      // Missing values leave their fields 0; values past the 7th are ignored.
      {"ID;Length;Data", "10", {0, 0x10, 0, 0, 0, 1, 1, {}}},
      {"Lost;Lost;Lost;Lost;Lost;Lost;ID;Data",
       "0;0;0;0;0;0;42;0102",
       {0, 0x42, 0, 0, 0, 1, 1, {}}},
      {"Length", "300", {0, 0, 0, 0, 44, 1, 1, {}}},  // low 8 bits
  };
  for (const Case& c : cases) {
    std::string log = std::string("# Value separator: \";\"\n") + c.columns + "\n" + c.line + "\n";
    auto frames = read_all(log);
    ASSERT_EQ(frames.size(), 1u) << c.columns << " / " << c.line;
    EXPECT_EQ(frames[0], c.expected) << c.columns << " / " << c.line;
  }
}

TEST(LogReader, LinesAreCutAt199BytesAndCarriageReturnsCount) {
  std::string data(300, 'A');
  std::string log = "# Value separator: \";\"\r\nData\r\n" + data + "\n";
  auto frames = read_all(log);
  ASSERT_EQ(frames.size(), 2u);  // the rest of the long line is a line of its own
  EXPECT_EQ(frames[1].payload.size(), 8u);
  // 197 carriage returns and "0A" fill the 199 bytes; "0B" is the next line.
  log = "# Value separator: \";\"\nData\n" + std::string(197, '\r') + "0A0B\n";
  frames = read_all(log);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].payload, std::vector<uint8_t>{0x0A});
  EXPECT_EQ(frames[1].payload, std::vector<uint8_t>{0x0B});
}

TEST(LogReader, LastLineWithoutLineFeedAndNulBytes) {
  std::string log = "# Value separator: \";\"\nID;Data\n1;01\n2;02";
  auto frames = read_all(log);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1].id, 2u);
  EXPECT_EQ(frames[1].payload, std::vector<uint8_t>{2});
  // A NUL byte is just a character that is no digit.
  const char nul[] = "# Value separator: \";\"\nID;Data\n1\0;0\0\n";
  frames = read_all(std::string(nul, sizeof nul - 1));
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].id, 1u);
  EXPECT_EQ(frames[0].payload, std::vector<uint8_t>{0});
}

TEST(LogReader, CompactTimestampsTakeTheHeaderDateAndRollOver) {
  // Format 3: the value holds hour to milliseconds; after midnight a day is added.
  auto t = times(read_all(header("20200101T120000", "3") + kColumns +
                          "120000123;1;1;8;00\n"
                          "20200101T120000123;1;1;8;00\n"
                          "000000500;1;1;8;00\n"
                          "000001000;1;1;8;00\n"));
  EXPECT_EQ(t, (std::vector<double>{1577880000.123, 1577880000.123, 1577923200.5, 1577923201.0}));

  struct Case {
    const char* time;
    const char* format;
    const char* first;
    const char* second;
    double expected;  // time of the second frame
  } cases[] = {
      {"20200101T120000", "1", "59500", "00100", 1577880060.1},                  // minute
      {"20200101T120000", "2", "5959000", "0000250", 1577883600.25},             // hour
      {"20200131T000000", "4", "31235959000", "01000000000", 1580515200.0},      // January: 31 days
      {"20200229T000000", "4", "29235959000", "01000000000", 1583020800.0},      // leap February
      {"20201231T000000", "5", "1231235959000", "0101000000000", 1609459200.0},  // leap year
  };
  for (const Case& c : cases) {
    std::string log = header(c.time, c.format) + "Timestamp\n" + c.first + "\n" + c.second + "\n";
    auto frames = times(read_all(log));
    ASSERT_EQ(frames.size(), 2u) << c.format;
    EXPECT_DOUBLE_EQ(frames[1], c.expected) << c.format;
  }
  // Less than a second back is jitter, not a roll-over: the frame is dropped.
  EXPECT_EQ(times(read_all(header("20200101T120000", "3") + "Timestamp\n120000900\n120000100\n")),
            std::vector<double>{1577880000.9});
}

TEST(LogReader, TimestampSeparatorsAndOddValues) {
  std::string h = header("2020-01-01T12:00:00", "0") +
                  "# Time separator: \":\"\n# Time separator ms: \".\"\n"
                  "# Date separator: \"-\"\n# Time and date separator: \" \"\n";
  struct Case {
    const char* value;
    double expected;
  } cases[] = {
      {"2020-01-01 12:00:00.123", 1577880000.123},
      {"12:00:01.500", 1577880001.5},
      // More than 17 digits: the first 17 count.
      {"2020010112000012345", 1577880000.123},
      // Reading stops at the first character that is not a digit: a field
      // keeps the digits before it, the fields after it are 0.
      {"1230a5000", 1577881800.0},
      {"12305a000", 1577881805.0},
      {"", 1577880000.0},  // no digits: the header's time
  };
  for (const Case& c : cases) {
    auto t = times(read_all(h + "Timestamp\n" + c.value + "\n"));
    ASSERT_EQ(t.size(), 1u) << c.value;
    EXPECT_DOUBLE_EQ(t[0], c.expected) << c.value;
  }
}

TEST(LogReader, BackwardsFramesAreDroppedWithOneWarningPerCall) {
  std::string log = header() +
                    "Timestamp;ID\n"
                    "20200101T120010000;1\n"
                    "20200101T120009500;2\n"  // 0.5 s back: dropped
                    "\n"                      // the header's time: dropped
                    "20200101T120010000;3\n"  // equal: kept
                    "20200101T120011000;4\n";
  int32_t saved = log_threshold;
  log_set_threshold(LOG_WARN);
  testing::internal::CaptureStderr();
  auto frames = read_all(log);
  std::string err = testing::internal::GetCapturedStderr();
  log_set_threshold(saved);
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[1].id, 3u);
  EXPECT_EQ(frames[2].id, 4u);
  const std::string warning = " W Skipping non-increasing timestamp: 1577880010.000000\n";
  size_t at = err.find(warning);
  ASSERT_NE(at, std::string::npos) << err;
  EXPECT_EQ(err.find(warning, at + 1), std::string::npos) << err;

  // The first frame is dropped only when its time is negative, without a
  // warning (nothing was accepted before).
  log_set_threshold(LOG_WARN);
  testing::internal::CaptureStderr();
  frames = read_all(header() + "Timestamp;ID\n19690101T000000000;1\n20200101T120000000;2\n");
  err = testing::internal::GetCapturedStderr();
  log_set_threshold(saved);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].id, 2u);
  EXPECT_EQ(err, "");
}

TEST(LogReader, BufferSizesGiveTheSameFrames) {
  std::mt19937 rng(1234);
  std::string log = header("20200101T120000", "3") + kColumns;
  for (int i = 0; i < 500; ++i) {
    char line[128];
    unsigned ms = 1000 * (i / 3) + rng() % 1000;
    std::snprintf(line, sizeof line, "%09u;%u;%X;8;%016llX%s\n", 120000000 + ms,
                  static_cast<unsigned>(rng() % 2), static_cast<unsigned>(rng()),
                  static_cast<unsigned long long>(rng()) << 32 | rng(), i % 7 == 0 ? "\r" : "");
    log += line;
  }
  auto direct = read_all(log, 0);
  ASSERT_GT(direct.size(), 100u);
  for (int64_t size :
       {int64_t(1), int64_t(8), int64_t(24), int64_t(200), static_cast<int64_t>(log.size())}) {
    EXPECT_EQ(read_all(log, size), direct) << "buffer " << size;
  }
}

TEST(CivilToSeconds, MatchesTheCalendarLibraryAlsoOutOfRange) {
  std::mt19937 rng(42);
  for (int i = 0; i < 20000; ++i) {
    int y = 1900 + static_cast<int>(rng() % 300), mo = static_cast<int>(rng() % 100),
        d = static_cast<int>(rng() % 100), h = static_cast<int>(rng() % 100),
        mi = static_cast<int>(rng() % 100), s = static_cast<int>(rng() % 100);
    ASSERT_EQ(civil_to_seconds(y, mo, d, h, mi, s), platform::utc_seconds(y, mo, d, h, mi, s))
        << y << '-' << mo << '-' << d << ' ' << h << ':' << mi << ':' << s << " seed 42";
  }
}

}  // namespace
}  // namespace quillon
