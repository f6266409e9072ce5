#include "input/log_reader.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "dbc/log_capture.h"
#include "input/conversion_loop.h"
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

// after_frame, when given, runs on the reader after each frame.
std::vector<Seen> read_all(const std::string& log, int64_t buffer = 0,
                           const std::function<void(LogReader&)>& after_frame = {}) {
  auto stream = make_stream(log, buffer);
  auto reader = LogReader::create(stream.get());
  EXPECT_TRUE(reader) << log;
  std::vector<Seen> out;
  if (!reader) return out;
  EXPECT_TRUE(reader->seek_to_data());
  Frame f;
  while (reader->next_frame(f)) {
    out.push_back(seen(f));
    if (after_frame) after_frame(*reader);
  }
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

TEST(LogReader, UnusableFilesCannotBeOpenedAndSayWhy) {
  const std::string long_line = "# Comment: " + std::string(188, 'x') + "\n";  // 200 bytes
  const std::string longest = "# Comment: " + std::string(187, 'x') + "\n";    // 199 bytes
  const struct {
    std::string log;
    const char* what;
    int line;
  } cases[] = {
      {"", "the log is empty", 1},
      {"Timestamp;ID\n# Value separator: \";\"\n", "the first line is no header line", 1},
      {"\n# Value separator: \";\"\nTimestamp\n", "the first line is no header line", 1},
      {"# Value separator: \";\"\n# Session No.: 1\n", "the log ends before its column", 3},
      {"# Value separator: \";\"\nStamp;Ident;Bytes\n", "no known column name", 2},
      {"# Value separator: ;\nTimestamp;ID\n", "no known column name", 2},  // no quotes
      {"# Value separator: \";\"\ntimestamp;id\n", "no known column name", 2},
      // An empty line is the column header.
      {"# Value separator: \";\"\r\r\r\n\nTimestamp\n", "no known column name", 2},
      // Its rest would read as the column header, or as a header line.
      {"# Value separator: \";\"\n" + long_line + "Timestamp;ID\n", "longer than 199 bytes", 2},
      {"# Value separator: \";\"\n" + long_line.substr(0, 199) + "#" + long_line.substr(199) +
           "Timestamp;ID\n",
       "longer than 199 bytes", 2},
      {long_line + "# Value separator: \";\"\nTimestamp;ID\n", "longer than 199 bytes", 1},
  };
  for (int64_t buffer : {0, 64, 4096}) {
    for (const auto& c : cases) {
      auto s = make_stream(c.log, buffer);
      HeaderFault fault;
      EXPECT_FALSE(LogReader::create(s.get(), &fault)) << c.log;
      ASSERT_NE(fault.what, nullptr) << c.log;
      EXPECT_NE(std::string(fault.what).find(c.what), std::string::npos) << fault.what;
      EXPECT_EQ(fault.line, c.line) << c.log << " " << buffer;
    }
    // The longest header line that fits, carriage returns counted.
    auto s = make_stream("# Value separator: \";\"\n" + longest + "Timestamp;ID\n", buffer);
    EXPECT_TRUE(LogReader::create(s.get()));
    std::string with_cr = longest;
    with_cr.insert(5, "\r");
    s = make_stream("# Value separator: \";\"\n" + with_cr + "Timestamp;ID\n", buffer);
    HeaderFault fault;
    EXPECT_FALSE(LogReader::create(s.get(), &fault));
    EXPECT_EQ(fault.line, 2);
  }
  HeaderFault fault;
  EXPECT_FALSE(LogReader::create(nullptr, &fault));
  EXPECT_EQ(fault.what, nullptr);
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
      // Values with a character that is neither digit nor separator
      // ("1230a5000") used to be read up to it; such a frame is now dropped
      // as malformed (MalformedTimestampsAreDropped).
      {"", 1577880000.0},  // no digits: the header's time
  };
  for (const Case& c : cases) {
    auto t = times(read_all(h + "Timestamp\n" + c.value + "\n"));
    ASSERT_EQ(t.size(), 1u) << c.value;
    EXPECT_DOUBLE_EQ(t[0], c.expected) << c.value;
  }
}

// Runs f with warnings captured; gives what was logged.
template <typename F>
std::string warnings_of(F f) {
  int32_t saved = log_threshold;
  log_set_threshold(LOG_WARN);
  testing::internal::CaptureStderr();
  f();
  std::string err = testing::internal::GetCapturedStderr();
  log_set_threshold(saved);
  return err;
}

TEST(LogReader, HeaderTimeIsTheWholeValue) {
  // A space between date and time: the compact values hold minutes, seconds
  // and milliseconds and take the hour from the header.
  const std::string h =
      "# Logger ID: SPACE 1\n# Session No.: 1\n# Split No.: 1\n"
      "# Time: 2020/01/01 11.59.05\r\n"  // the carriage return is dropped
      "# Value separator: \";\"\n# Time format: 2\n# Time separator: \".\"\n"
      "# Time separator ms: \":\"\n# Date separator: \"/\"\n"
      "# Time and date separator: \" \"\n";
  test::MemoryStream s(h + "Timestamp\n");
  auto r = LogReader::create(&s);
  ASSERT_TRUE(r);
  EXPECT_STREQ(r->start_text(), "2020/01/01 11.59.05");
  EXPECT_STREQ(r->logger_id(), "SPACE");  // "%s" entries still take one token
  EXPECT_EQ(r->start_time(), 0.0);        // not "%4u%2u%2uT%2u%2u%2u"

  // 11:59:06.340, then across the hour (time format 2) to 12:00:00.100.
  const double t0 = 1577836800.0 + 11 * 3600 + 59 * 60;
  auto t = times(read_all(h + "Timestamp\n59.06:340\n59.59:950\n00.00:100\n"));
  ASSERT_EQ(t.size(), 3u);
  EXPECT_DOUBLE_EQ(t[0], t0 + 6.34);
  EXPECT_DOUBLE_EQ(t[1], t0 + 59.95);
  EXPECT_DOUBLE_EQ(t[2], t0 + 60.1);
  // Time format 0: no roll-over, the hour stays the header's; an empty line
  // takes the header's whole time, 11:59:05.
  std::string h0 = h;
  h0.replace(h0.find("format: 2"), 9, "format: 0");
  t = times(read_all(h0 + "Timestamp\n\n59.06:340\n"));
  ASSERT_EQ(t.size(), 2u);
  EXPECT_DOUBLE_EQ(t[0], t0 + 5);
  EXPECT_DOUBLE_EQ(t[1], t0 + 6.34);

  // At most 19 characters are kept.
  test::MemoryStream longer("# Time: 2020-01-01 12:00:00.123456\n# Value separator: \";\"\nID\n");
  r = LogReader::create(&longer);
  ASSERT_TRUE(r);
  EXPECT_STREQ(r->start_text(), "2020-01-01 12:00:00");
}

TEST(LogReader, WholeValueEntriesMatchOnlyTheWholeValue) {
  // "Logger type:" and the true/false entries compare the whole value; "%i"
  // entries skip leading blanks; "Time:" still reads the usual form.
  test::MemoryStream s(
      "# Logger type: Telvorn3000 rev B\n# Silent mode: true \n# Cyclic mode: true\n"
      "# Session No.:   12\n# Time: 20200101T120000\n# Value separator: \";\"\nID\n");
  auto r = LogReader::create(&s);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->logger_type(), 0u);
  EXPECT_EQ(r->silent(), 0);
  EXPECT_EQ(r->cyclic(), 1);
  EXPECT_EQ(r->session(), 12);
  EXPECT_EQ(r->start_time(), double(platform::local_seconds(2020, 1, 1, 12, 0, 0)));
}

TEST(LogReader, MalformedTimestampsAreDropped) {
  // A corrupt character just before midnight must not count as a roll-over:
  // the frames after it stay on their day.
  const char tail[] =
      "235908000;1\n"
      "2X5909000;2\n"  // malformed: dropped, warned about
      "235910000;3\n"
      "1\0\0909000;4\n"  // NUL bytes from a failing card: dropped, not warned again
      "235911000;5\n"
      "000001000;6\n";  // a real roll-over still counts
  const std::string log =
      header("20200101T235900", "3") + "Timestamp;ID\n" + std::string(tail, sizeof tail - 1);
  std::vector<Seen> frames;
  std::string err = warnings_of([&] { frames = read_all(log); });
  const double t = 1577923140.0;  // 2020-01-01 23:59:00
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(times(frames), (std::vector<double>{t + 8, t + 10, t + 11, t + 61}));
  EXPECT_EQ(frames[3].id, 6u);
  const std::string warning = " W Skipping frame with malformed timestamp: 2X5909000\n";
  const size_t at = err.find(warning);
  ASSERT_NE(at, std::string::npos) << err;
  EXPECT_EQ(err.find(" W ", at + 1), std::string::npos) << err;  // once per file

  // The reader counts lines and frames, so that a log of damaged lines only
  // can be told from an empty one.
  auto stream = make_stream(header() + "Timestamp\n1x\n2y\n", 0);
  auto r = LogReader::create(stream.get());
  ASSERT_TRUE(r);
  Frame f;
  warnings_of([&] { EXPECT_FALSE(r->next_frame(f)); });
  EXPECT_EQ(r->frame_lines(), 2u);
  EXPECT_EQ(r->frames_returned(), 0u);
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

// How a generated log writes its timestamps.
struct Conventions {
  char value = ';', time = 0, ms = 0, date = 0, date_time = 'T';
  int format = 0;
  std::string start = "20200101T120000";
};

// A plain reading of frame lines: byte by byte, values split one by one, the
// template read with the C library's scanner, against which the reader's
// in-place splitting and its reuse of the previous timestamp are checked;
// then the rules for times: the roll-over, frames that go back, and a frame
// far ahead of those around it (read on as if it were not there).
std::vector<Seen> reference_frames(const std::string& data, const Conventions& c) {
  auto dropped = [&](char ch) {
    return ch == c.value || ch == 'T' ||
           (ch != 0 && (ch == c.time || ch == c.ms || ch == c.date || ch == c.date_time));
  };
  std::string header_digits;
  for (char ch : c.start) {
    if (!dropped(ch)) header_digits += ch;
  }
  // Every line: its values, and the time before any roll-over (none when
  // the timestamp is malformed).
  struct Line {
    std::vector<std::string> values;
    bool timed = false;
    double time = 0;
  };
  std::vector<Line> lines;
  size_t at = 0;
  while (at < data.size()) {
    std::string line;
    for (int consumed = 0; at < data.size() && consumed < LogReader::kMaxLine;) {
      const char ch = data[at++];
      ++consumed;
      if (ch == '\n') break;
      if (ch != '\r') line += ch;
    }
    Line& l = lines.emplace_back();
    size_t start = 0;
    for (int v = 0; v < LogReader::kMaxColumns; ++v) {
      const size_t stop = line.find(c.value, start);
      l.values.push_back(line.substr(start, stop == std::string::npos ? stop : stop - start));
      if (stop == std::string::npos) break;
      start = stop + 1;
    }
    // Columns: Timestamp;ID;Data.
    std::string digits;
    bool malformed = false;
    for (char ch : l.values[0]) {
      if (ch >= '0' && ch <= '9') {
        digits += ch;
      } else if (!dropped(ch)) {
        malformed = true;
      }
    }
    if (malformed) continue;
    digits = digits.substr(0, 17);
    std::string tmpl = "19700101000000000";
    tmpl.replace(0, std::min<size_t>(header_digits.size(), 17), header_digits.substr(0, 17));
    tmpl.replace(17 - digits.size(), digits.size(), digits);
    unsigned f[7] = {};
    std::sscanf(tmpl.c_str(), "%4u%2u%2u%2u%2u%2u%3u", &f[0], &f[1], &f[2], &f[3], &f[4], &f[5],
                &f[6]);
    l.timed = true;
    l.time = static_cast<double>(platform::utc_seconds(int(f[0]), int(f[1]), int(f[2]), int(f[3]),
                                                       int(f[4]), int(f[5]))) +
             f[6] * 0.001;
  }
  struct Clock {
    double last = 0;
    uint32_t rollover = 0;
  };
  const uint32_t periods[] = {0, 60, 3600, 86400};
  auto time_of = [&](const Line& l, Clock& clock) {
    double time = l.time + clock.rollover;
    if (time < clock.last && periods[c.format] != 0 && clock.last - time > 1.0) {
      clock.rollover += periods[c.format];
      time += periods[c.format];
    }
    clock.last = time;
    return time;
  };
  std::vector<Seen> out;
  double last_accepted = 0;
  Clock clock;
  for (size_t i = 0; i < lines.size(); ++i) {
    const Line& l = lines[i];
    if (!l.timed) continue;
    const Clock before = clock;
    const double time = time_of(l, clock);
    if (time < last_accepted) continue;
    if (time - last_accepted > LogReader::kJump) {
      Clock ahead = out.empty() ? clock : before;
      const double back = std::min(LogReader::kJump, (time - last_accepted) / 2);
      int returning = 0, going_on = 0;
      for (size_t j = i + 1; j < lines.size() && returning + going_on < LogReader::kConfirm; ++j) {
        if (lines[j].timed) (time_of(lines[j], ahead) < time - back ? returning : going_on) += 1;
      }
      if (returning > going_on) {
        clock = before;
        continue;
      }
    }
    last_accepted = time;
    Seen s{time, 0, 0, 0, 0, 1, 1, {}};
    const std::vector<std::string>& values = l.values;
    if (values.size() > 1)
      s.id = static_cast<uint32_t>(std::strtoul(values[1].c_str(), nullptr, 16));
    if (values.size() > 2) {
      for (size_t k = 0; k + 1 < values[2].size() + 1 && s.payload.size() < 8; k += 2) {
        s.payload.push_back(
            static_cast<uint8_t>(std::strtoul(values[2].substr(k, 2).c_str(), nullptr, 16)));
      }
      s.dlc = static_cast<int>(s.payload.size());
    }
    out.push_back(s);
  }
  return out;
}

// A log in the given conventions: mostly increasing millisecond stamps, now
// and then a new second, a step back, a wrap of the time format's period, a
// damaged character, a carriage return, an empty or an over-long line.
std::string generated_data(const Conventions& c, std::mt19937& rng, int lines) {
  std::string out;
  int64_t ms = 12 * 3600000;  // from the header's 12:00
  for (int i = 0; i < lines; ++i) {
    const unsigned pick = rng() % 100;
    if (pick < 80) {
      ms += rng() % 3;
    } else if (pick < 90) {
      ms += rng() % 5000;
    } else if (pick < 93) {
      ms -= rng() % 900;  // jitter: dropped
    } else if (pick < 95) {
      ms += 600000 * (1 + rng() % 3);  // on past the next hour now and then
    }
    ms = std::max<int64_t>(ms, 0);
    const int64_t day = ms / 86400000, in_day = ms % 86400000;
    char full[64];
    std::snprintf(full, sizeof full, "2020%s01%s%02d%s%02d%s%02d%s%02d%s%03d",
                  std::string(c.date ? 1 : 0, c.date).c_str(),
                  std::string(c.date ? 1 : 0, c.date).c_str(), int(1 + day % 28),
                  std::string(c.date_time ? 1 : 0, c.date_time).c_str(), int(in_day / 3600000),
                  std::string(c.time ? 1 : 0, c.time).c_str(), int(in_day / 60000 % 60),
                  std::string(c.time ? 1 : 0, c.time).c_str(), int(in_day / 1000 % 60),
                  std::string(c.ms ? 1 : 0, c.ms).c_str(), int(in_day % 1000));
    // Format 0 and 3 write the time of day or the whole stamp, 1 seconds
    // and milliseconds, 2 minutes to milliseconds.
    std::string stamp = full;
    const size_t keep[] = {stamp.size(), 5u + (c.ms != 0), 7u + (c.ms != 0) + (c.time != 0),
                           stamp.size()};
    if (c.format != 0 && c.format != 3) stamp = stamp.substr(stamp.size() - keep[c.format]);
    char rest[64];
    std::snprintf(rest, sizeof rest, "%c%X%c%016llX", c.value, static_cast<unsigned>(rng()),
                  c.value, static_cast<unsigned long long>(rng()) << 32 | rng());
    std::string line = stamp + rest;
    const unsigned odd = rng() % 200;
    if (odd == 0) line[rng() % stamp.size()] = "X\0"[rng() % 2];
    // One character by iterator: the pointer overload trips a false
    // -Wrestrict warning in the mingw-w64 build.
    if (odd == 1)
      line.insert(line.begin() + static_cast<std::ptrdiff_t>(rng() % (line.size() + 1)), '\r');
    if (odd == 2) line.clear();
    if (odd == 3) line += std::string(150 + rng() % 200, 'Z');  // read on as a line of its own
    out += line + (odd == 4 ? "\r\n" : "\n");
  }
  return out;
}

// The header and column line of a log written with conventions c.
std::string conventions_header(const Conventions& c) {
  std::string h = std::string("# Session No.: 1\n# Split No.: 1\n# Time: ") + c.start +
                  "\n# Value separator: \"" + c.value +
                  "\"\n# Time format: " + std::to_string(c.format) + "\n";
  const char* names[] = {"Time separator", "Time separator ms", "Date separator",
                         "Time and date separator"};
  const char seps[] = {c.time, c.ms, c.date, c.date_time};
  for (int k = 0; k < 4; ++k) {
    if (seps[k] != 0) h += std::string("# ") + names[k] + ": \"" + seps[k] + "\"\n";
  }
  return h + "Timestamp" + c.value + "ID" + c.value + "Data\n";
}

TEST(LogReader, MatchesAPlainReadingInEveryMode) {
  std::mt19937 rng(20260512);
  const Conventions conventions[] = {
      {';', 0, 0, 0, 'T', 3, "20200101T120000"},
      {';', ':', '.', '-', ' ', 0, "2020-01-01 12:00:00"},
      {',', '.', ':', '/', ' ', 2, "2020/01/01 12.00.00"},
      {'\t', ':', '.', 0, 'T', 1, "20200101T12:00:00"},
  };
  for (const Conventions& c : conventions) {
    const std::string h = conventions_header(c);
    const std::string data = generated_data(c, rng, 3000);
    const std::vector<Seen> expected = reference_frames(data, c);
    ASSERT_GT(expected.size(), 1000u) << c.start;
    for (int64_t size :
         {int64_t(0), int64_t(8), int64_t(200), int64_t(4096), ConversionOptions::kDefaultBuffer,
          static_cast<int64_t>(h.size() + data.size())}) {
      std::vector<Seen> got;
      warnings_of([&] { got = read_all(h + data, size); });
      ASSERT_EQ(got.size(), expected.size()) << c.start << " buffer " << size;
      for (size_t i = 0; i < got.size(); ++i) {
        ASSERT_EQ(got[i], expected[i]) << c.start << " buffer " << size << " frame " << i;
      }
    }
  }
}

// Reads like read_all, asking for hints after every frame with a lead drawn
// from rng (0 to 6, past the reader's limit too); hints collects them.
std::vector<Seen> read_peeking(const std::string& log, int64_t buffer, std::mt19937& rng,
                               std::vector<FrameHint>& hints, int fixed_lead = -1) {
  return read_all(log, buffer, [&](LogReader& reader) {
    FrameHint got[8];
    const int lead = fixed_lead >= 0 ? fixed_lead : static_cast<int>(rng() % 7);
    const int n = reader.peek(got, lead);
    EXPECT_LE(n, std::min(lead, 4));
    hints.insert(hints.end(), got, got + n);
  });
}

TEST(LogReader, PeekingAheadChangesNoFrameOrWarning) {
  // The lines peek scans are read from its records afterwards: any slip
  // (a line taken twice or skipped, cuts or identifier of the wrong line,
  // a record used across a window's refill) changes the frames or the
  // warnings against a reading without hints.
  std::mt19937 rng(20261208);
  const Conventions conventions[] = {
      {';', 0, 0, 0, 'T', 3, "20200101T120000"},
      {',', '.', ':', '/', ' ', 2, "2020/01/01 12.00.00"},
  };
  for (const Conventions& c : conventions) {
    const std::string h = conventions_header(c);
    const std::string log = h + generated_data(c, rng, 3000);
    for (int64_t size :
         {int64_t(0), int64_t(8), int64_t(200), int64_t(4096), static_cast<int64_t>(log.size())}) {
      std::vector<Seen> plain, peeking;
      std::vector<FrameHint> hints;
      const std::string plain_warnings =
          testing_support::log_messages(warnings_of([&] { plain = read_all(log, size); }));
      const std::string warnings = testing_support::log_messages(
          warnings_of([&] { peeking = read_peeking(log, size, rng, hints); }));
      EXPECT_NE(plain_warnings, "");
      ASSERT_GT(plain.size(), 1000u);
      EXPECT_EQ(warnings, plain_warnings) << c.start << " buffer " << size;
      ASSERT_EQ(peeking.size(), plain.size()) << c.start << " buffer " << size;
      for (size_t i = 0; i < plain.size(); ++i) {
        ASSERT_EQ(peeking[i], plain[i]) << c.start << " buffer " << size << " frame " << i;
      }
      // Unbuffered there is nothing to scan ahead in.
      if (size == 0) {
        EXPECT_TRUE(hints.empty());
      } else if (size >= 4096) {
        EXPECT_GT(hints.size(), 1000u) << c.start << " buffer " << size;
      }
    }
  }
}

TEST(LogReader, HintsNameTheFramesToCome) {
  // A clean log read whole: with a lead of 2 every line after the first is
  // hinted once, in order, with the identifier and type its frame gets.
  std::mt19937 rng(7);
  std::string log = header("20200101T120000", "3") + kColumns;
  for (int i = 0; i < 400; ++i) {
    char line[96];
    const unsigned type = rng() % 4 == 0 ? 0 : rng() % 2 == 0 ? 1 : 9;
    std::snprintf(line, sizeof line, "%09u;%u;%X;8;0102030405060708%s\n", 120000000 + i, type,
                  static_cast<unsigned>(rng()) >> (rng() % 20), i % 5 == 0 ? ";x" : "");
    log += line;
  }
  for (int64_t size : {int64_t(64), static_cast<int64_t>(log.size())}) {
    std::vector<FrameHint> hints;
    const std::vector<Seen> frames = read_peeking(log, size, rng, hints, 2);
    ASSERT_EQ(frames.size(), 400u);
    if (size == 64) {
      // A window of 64 bytes holds at most one line ahead, now and then.
      EXPECT_LT(hints.size(), frames.size());
      continue;
    }
    ASSERT_EQ(hints.size(), frames.size() - 1);
    for (size_t i = 0; i < hints.size(); ++i) {
      EXPECT_EQ(hints[i].id, frames[i + 1].id) << i;
      EXPECT_EQ(hints[i].extended, frames[i + 1].extended) << i;
      EXPECT_EQ(hints[i].channel, frames[i + 1].channel) << i;
      EXPECT_EQ(hints[i].kind, frames[i + 1].kind) << i;
    }
  }
}

TEST(LogReader, LinesAcrossTheWindowsEdge) {
  // Every byte of a line with carriage returns, and of a line longer than
  // 199 bytes, in turn at the first byte past a window: the same frames as
  // reading byte by byte. All positions with a small window, a few with the
  // default one.
  const std::string h = header("20200101T120000", "3") + kColumns;
  const std::string filler = "120000000;1;1;8;00\n";
  const std::string lines[] = {
      "\r120000500;1;18FEF100;8;01020304050607\r08\r\n120000600;1;2;8;0A\r",
      "120000700;1;3;8;" + std::string(250, 'A') + "\n120000800;1;4;1;0B\n",
  };
  for (const int64_t edge : {int64_t(4096), ConversionOptions::kDefaultBuffer}) {
    const bool every = edge == 4096;
    for (const std::string& line : lines) {
      const int last = static_cast<int>(line.size());
      for (int k = 0; k <= last; k += every ? 1 : last / 4) {
        // Filler lines, the last two stretched, up to edge - k; then the line.
        std::string log = h;
        log.reserve(static_cast<size_t>(edge) + 512);
        while (static_cast<int64_t>(log.size()) < edge - k - 200) log += filler;
        const int64_t gap = edge - k - static_cast<int64_t>(log.size());
        for (int64_t part : {gap / 2, gap - gap / 2}) {
          std::string stretched = "120000000;1;1;8;00;";
          stretched.resize(static_cast<size_t>(part), 'x');  // a sixth value, ignored
          stretched.back() = '\n';
          log += stretched;
        }
        ASSERT_EQ(static_cast<int64_t>(log.size()), edge - k);
        log += line;
        const std::vector<Seen> expected = read_all(log, 0);
        ASSERT_GT(expected.size(), 10u);
        ASSERT_EQ(read_all(log, edge), expected)
            << "line " << line.size() << " at " << edge << " - " << k;
      }
    }
  }
}

}  // namespace
}  // namespace quillon
