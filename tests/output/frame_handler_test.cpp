#include "output/frame_handler.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "../dbc/log_capture.h"
#include "dbc/selection.h"
#include "decompress.h"
#include "platform/platform.h"
#include "test_util.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;

using testing_support::LogCapture;

Signal* add(SignalList& list, const char* name, uint16_t pos, uint8_t len, double min, double max,
            double factor = 1, double offset = 0) {
  SignalParams p;
  p.bit_position = pos;
  p.bit_length = len;
  p.factor = factor;
  p.offset = offset;
  p.minimum = min;
  p.maximum = max;
  return add_signal(&list, name, p, false);
}

const double kMay17 = static_cast<double>(platform::utc_seconds(2024, 5, 17, 0, 0, 0));

// The journal and lock of a run in a logger folder.
bool run_entry(const std::filesystem::path& path) {
  return path.filename().string().rfind(".quillon-", 0) == 0;
}

class FrameHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = RootedFolder::create(dir.root());
    // J1939: EEC1 (PDU2), TSC1 (PDU1) and a standard-identifier message.
    auto j = MessageDatabase::create(kBusJ1939);
    Message* eec1 = j->add_message("EEC1", j1939_key(0x0CF00400, true), 8, 0, "", false);
    add(eec1->signals, "Torque", 0, 8, 0, 100);
    add(eec1->signals, "Eng_Speed", 8, 16, 0, 0, 0.125);
    Message* tsc1 = j->add_message("TSC1", j1939_key(0x0C000000, true), 8, 0, "", false);
    add(tsc1->signals, "Req", 0, 8, 0, 0);
    Message* std11 = j->add_message("Plain", 0x321, 8, 0, "", false);
    add(std11->signals, "P", 0, 8, 0, 0);
    Message* temp = j->add_message("Temp", j1939_key(0x18FEEE00, true), 8, 0, "", false);
    add(temp->signals, "Coolant", 0, 8, -40, 210, 1, -40);
    add(temp->signals, "Raw", 8, 8, 0, 0)->ignored = true;
    can[1].push_back(std::move(j));
    auto c = MessageDatabase::create(kBusCan);
    Message* m = c->add_message("Body", can_key(0x0CF00400, true), 8, 0, "", false);
    add(m->signals, "B", 0, 8, 0, 0);
    can[1].push_back(std::move(c));
    auto l = MessageDatabase::create(kBusLin);
    add(l->add_message("Wiper", 0x11, 2, 0, "", false)->signals, "W", 0, 8, 0, 0);
    lin[2].push_back(std::move(l));
  }

  // Plans as loading makes them, for the messages built here by hand.
  std::unique_ptr<FrameHandler> create_handler(const RootedFolder* out,
                                               const FrameHandlerOptions& options) {
    for (ChannelMap* channels : {&can, &lin}) {
      for (auto& [channel, list] : *channels) {
        for (auto& db : list) {
          for (const auto& [key, m] : db->messages()) {
            if (!m->plan) m->plan.reset(DecodePlan::build(*m).release());
          }
        }
      }
    }
    return FrameHandler::create(out, &can, &lin, options);
  }
  void make(FrameHandlerOptions options = {}) {
    handler = create_handler(folder.get(), options);
    ASSERT_TRUE(handler);
  }
  bool start(uint32_t split = 1, bool continuation = false, const char* logger = "AB-12",
             bool durable = false) {
    FileRecord r;
    r.durable = durable;
    r.logger_id = logger;
    r.session = 7;
    r.split = split;
    return handler->on_file_start(r, continuation);
  }
  bool end(bool failed = false) {
    FileRecord r;
    r.failed = failed;
    return handler->on_file_end(r);
  }
  void send(uint32_t id, bool extended, std::vector<uint8_t> payload, double time,
            int32_t kind = kFrameCan, uint8_t channel = 1) {
    Frame f;
    f.id = id;
    f.extended = extended;
    f.payload = std::move(payload);
    f.time = time;
    f.kind = kind;
    f.channel = channel;
    EXPECT_TRUE(handler->on_frame(f));
  }
  // Every file below the output folder, relative, sorted.
  std::vector<std::string> files() {
    std::vector<std::string> out;
    for (auto& e : std::filesystem::recursive_directory_iterator(dir.path())) {
      if (run_entry(e.path())) continue;
      if (e.is_regular_file())
        out.push_back(std::filesystem::relative(e.path(), dir.path()).generic_string());
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  test::TempDir dir;
  std::unique_ptr<RootedFolder> folder;
  ChannelMap can, lin;
  std::unique_ptr<FrameHandler> handler;
};

using Files = std::vector<std::string>;

// Every file and folder below the output folder, with the content of files.
// The run's journal and lock are left out: they are there while a handler
// holds outputs in the logger folder (gone when it is done: see
// HandlersSharingTheTreeTakeBackWhatTheRunMadeOnceItIsEmpty).
std::map<std::string, std::string> tree(const std::filesystem::path& root) {
  std::map<std::string, std::string> out;
  for (auto& e : std::filesystem::recursive_directory_iterator(root)) {
    if (run_entry(e.path())) continue;
    std::string name = std::filesystem::relative(e.path(), root).generic_string();
    if (e.is_symlink()) {
      out[name] = "-> " + std::filesystem::read_symlink(e.path()).string();
    } else if (e.is_regular_file()) {
      std::ifstream in(e.path(), std::ios::binary);
      out[name] = std::string(std::istreambuf_iterator<char>(in), {});
    } else {
      out[name + "/"] = "";
    }
  }
  return out;
}

TEST_F(FrameHandlerTest, J1939AddressesMergesAndCanDatabaseOnOneChannel) {
  make();
  ASSERT_TRUE(start());
  send(0x0CF00400, true, {10, 0x40, 0x01}, kMay17 + 1);  // EEC1 from 0x00
  send(0x0CF00403, true, {20, 0x40, 0x01}, kMay17 + 2);  // EEC1 from 0x03
  send(0x0C00AB03, true, {5}, kMay17 + 3);               // TSC1 to 0xAB: merged
  send(0x321, false, {9}, kMay17 + 4);                   // standard id: CAN key, no addresses
  ASSERT_TRUE(end());
  handler.reset();
  EXPECT_EQ(files(), (Files{"AB12_out/CAN1_Body/2024/05/17/00000007_00000001.csv",
                            "AB12_out/CAN1_EEC1_S00/2024/05/17/00000007_00000001.csv",
                            "AB12_out/CAN1_EEC1_S03/2024/05/17/00000007_00000001.csv",
                            "AB12_out/CAN1_Plain/2024/05/17/00000007_00000001.csv",
                            "AB12_out/CAN1_TSC1_S03/2024/05/17/00000007_00000001.csv"}));
  EXPECT_EQ(dir.read("AB12_out/CAN1_EEC1_S03/2024/05/17/00000007_00000001.csv"),
            "t,Torque,Eng_Speed\n1715904002.000000,20.000000,40.000000\n");
  // The CAN database read the same frame id 0x0CF00400 as a 29-bit CAN id.
  EXPECT_EQ(dir.read("AB12_out/CAN1_Body/2024/05/17/00000007_00000001.csv"),
            "t,B\n1715904001.000000,10.000000\n");
}

TEST_F(FrameHandlerTest, SourceMergedDestinationKept) {
  make({.no_append_root = true, .concat = true, .pgn_src_merge = true, .pgn_dst_merge = false});
  ASSERT_TRUE(start());
  send(0x0CF00400, true, {10, 0, 0}, kMay17);
  send(0x0CF00403, true, {20, 0, 0}, kMay17);
  send(0x0C00AB03, true, {5}, kMay17);
  send(0x0C00AC03, true, {6}, kMay17);
  handler.reset();
  EXPECT_EQ(files(), (Files{"AB12/CAN1_Body/2024/05/17/00000007_00000001.csv",
                            "AB12/CAN1_EEC1/2024/05/17/00000007_00000001.csv",
                            "AB12/CAN1_TSC1_DAB/2024/05/17/00000007_00000001.csv",
                            "AB12/CAN1_TSC1_DAC/2024/05/17/00000007_00000001.csv"}));
  EXPECT_EQ(dir.read("AB12/CAN1_EEC1/2024/05/17/00000007_00000001.csv"),
            "t,Torque,Eng_Speed\n1715904000.000000,10.000000,0.000000\n"
            "1715904000.000000,20.000000,0.000000\n");
}

TEST_F(FrameHandlerTest, RangeCheckNaNAndCounters) {
  make();
  ASSERT_TRUE(start());
  send(0x0CF00400, true, {100, 0xFF, 0xFF}, kMay17);  // 100 is valid; no range passes all
  send(0x0CF00400, true, {101, 0x08, 0x00}, kMay17);  // Torque out of range
  send(0x0C00AB03, true, {5}, kMay17);                // TSC1: range 0..0
  handler.reset();
  EXPECT_EQ(dir.read("AB12_out/CAN1_EEC1_S00/2024/05/17/00000007_00000001.csv"),
            "t,Torque,Eng_Speed\n1715904000.000000,100.000000,8191.875000\n"
            "1715904000.000000,NaN,1.000000\n");
}

TEST_F(FrameHandlerTest, AllOutOfRangeMovesTheDayButWritesNothing) {
  make();
  ASSERT_TRUE(start());
  send(0x0CF00400, true, {1, 8, 0}, kMay17 - 1);  // 16 May, 23:59:59
  send(0x0CF00400, true, {2, 8, 0}, kMay17);      // 17 May, 00:00:00
  EXPECT_EQ(handler->files(), 2u + 2);            // and the CAN database's Body
  EXPECT_EQ(handler->messages(), 4u);
  EXPECT_EQ(handler->signals(), 6u);
  // Coolant 215 is out of range and Raw is ignored: no row, no count, but
  // the frame's day (18 May) closes every writer.
  send(0x18FEEE00, true, {255, 1}, kMay17 + 86400);
  EXPECT_EQ(handler->messages(), 4u);
  EXPECT_EQ(handler->signals(), 6u);
  // The 17 May file was closed: going back appends to it, without a header.
  send(0x0CF00400, true, {3, 8, 0}, kMay17 + 5);
  // A new file keeps the current date.
  ASSERT_TRUE(start(2));
  send(0x18FEEE00, true, {100, 1}, kMay17 + 6);
  ASSERT_TRUE(end());
  handler.reset();
  EXPECT_EQ(files(), (Files{"AB12_out/CAN1_Body/2024/05/16/00000007_00000001.csv",
                            "AB12_out/CAN1_Body/2024/05/17/00000007_00000001.csv",
                            "AB12_out/CAN1_EEC1_S00/2024/05/16/00000007_00000001.csv",
                            "AB12_out/CAN1_EEC1_S00/2024/05/17/00000007_00000001.csv",
                            "AB12_out/CAN1_Temp_S00/2024/05/17/00000007_00000002.csv"}));
  EXPECT_EQ(dir.read("AB12_out/CAN1_EEC1_S00/2024/05/17/00000007_00000001.csv"),
            "t,Torque,Eng_Speed\n1715904000.000000,2.000000,1.000000\n"
            "1715904005.000000,3.000000,1.000000\n");
  EXPECT_EQ(dir.read("AB12_out/CAN1_Temp_S00/2024/05/17/00000007_00000002.csv"),
            "t,Coolant\n1715904006.000000,60.000000\n");
}

TEST_F(FrameHandlerTest, ConcatKeepsTheFirstSplitsFilesNoConcatSplits) {
  for (bool concat : {true, false}) {
    make({.no_append_root = false, .concat = concat});
    ASSERT_TRUE(start(1));
    send(0x321, false, {1}, kMay17);
    ASSERT_TRUE(end());
    ASSERT_TRUE(start(2, true));
    send(0x321, false, {2}, kMay17 + 1);
    ASSERT_TRUE(end());
    handler.reset();
    const std::string first = "AB12_out/CAN1_Plain/2024/05/17/00000007_00000001.csv";
    if (concat) {
      EXPECT_EQ(files(), Files{first});
      EXPECT_EQ(dir.read(first), "t,P\n1715904000.000000,1.000000\n1715904001.000000,2.000000\n");
    } else {
      EXPECT_EQ(files(), (Files{first, "AB12_out/CAN1_Plain/2024/05/17/00000007_00000002.csv"}));
    }
    std::filesystem::remove_all(dir.path() / "AB12_out");
  }
}

TEST_F(FrameHandlerTest, ACompressedFileAppendedByThreeLogsIsOneStreamWithOneHeader) {
  // Two continuing splits append to the first split's file, the second
  // after frames that went on to the next day and came back; a fourth log
  // appends and fails. The same logs written plain, then with each codec,
  // side by side: decompressed, each file is the plain one, one stream with
  // one header, and the failed log left the compressed bytes as they were.
  const std::string day = "AB12_out/CAN1_Plain/2024/05/17/00000007_00000001";
  const std::string next = "AB12_out/CAN1_Plain/2024/05/18/00000007_00000001";
  for (const char* kind : {"none", "zstd", "gzip"}) {
    SCOPED_TRACE(kind);
    FrameHandlerOptions options;
    ASSERT_TRUE(parse_compression(kind, options.compression));
    if (!codec_built(options.compression.codec)) continue;  // zstd on Windows
    make(options);
    auto rows = [&](double from, int count) {
      for (int i = 0; i < count; ++i) {
        send(0x321, false, {static_cast<uint8_t>(i * 7)}, from + i * 0.001);
      }
    };
    ASSERT_TRUE(start(1));
    rows(kMay17, 3000);
    ASSERT_TRUE(end());
    ASSERT_TRUE(start(2, true));
    rows(kMay17 + 10, 2000);
    ASSERT_TRUE(end());
    ASSERT_TRUE(start(3, true));
    rows(kMay17 + 86400, 500);
    rows(kMay17 + 20, 1000);  // back to the first day: its file again
    ASSERT_TRUE(end());
    const std::string extension = output_extension(options.compression.codec);
    const auto before = tree(dir.path());
    ASSERT_TRUE(start(4, true));
    rows(kMay17 + 30, 2000);
    rows(kMay17 + 86500, 10);
    EXPECT_TRUE(end(/*failed=*/true));
    EXPECT_EQ(tree(dir.path()), before);
    handler.reset();
    if (options.compression.codec == Codec::kNone) continue;
    for (const std::string& path : {day, next}) {
      std::string text;
      int frames = 0;
      ASSERT_TRUE(
          test::decompress(dir.read(path + extension), options.compression.codec, text, &frames))
          << path;
      EXPECT_EQ(text, dir.read(path + ".csv")) << path;
      EXPECT_EQ(text.find("t,P\n"), 0u);
      EXPECT_EQ(text.find("t,P", 1), std::string::npos);
      if (path == day) {
        EXPECT_GE(frames, 3);
      }
    }
  }
}

TEST_F(FrameHandlerTest, SplitGivenAgainAppendsToItsClosedFile) {
  make();
  ASSERT_TRUE(start(1));
  send(0x321, false, {1}, kMay17);
  ASSERT_TRUE(start(2, true));
  ASSERT_TRUE(start(3, true));
  ASSERT_TRUE(start(1, false));  // neither repetition nor continuation
  send(0x321, false, {2}, kMay17 + 1);
  ASSERT_TRUE(end());
  handler.reset();
  EXPECT_EQ(dir.read("AB12_out/CAN1_Plain/2024/05/17/00000007_00000001.csv"),
            "t,P\n1715904000.000000,1.000000\n1715904001.000000,2.000000\n");
  EXPECT_EQ(files().size(), 1u);
}

TEST_F(FrameHandlerTest, FilesOfAnEarlierRunAreReplaced) {
  dir.write("AB12_out/CAN1_Plain/2024/05/17/00000007_00000001.csv", "old\n");
  make();
  ASSERT_TRUE(start());
  send(0x321, false, {1}, kMay17);
  handler.reset();
  EXPECT_EQ(dir.read("AB12_out/CAN1_Plain/2024/05/17/00000007_00000001.csv"),
            "t,P\n1715904000.000000,1.000000\n");
}

TEST_F(FrameHandlerTest, AFailedFilePutsBackTheEarlierRunsFilesItReplaced) {
  const std::string csv = "AB12_out/CAN1_Plain/2024/05/17/00000007_00000001.csv";
  const std::string day2 = "AB12_out/CAN1_Plain/2024/05/18/00000007_00000001.csv";
  dir.write(csv, "earlier run\n");
  dir.write(day2, "earlier run, next day\n");
  std::filesystem::create_hard_link(dir.path() / csv, dir.path() / "hard");
  const auto before = tree(dir.path());
  make();
  for (bool failed : {true, false}) {
    ASSERT_TRUE(start());
    send(0x321, false, {1}, kMay17);
    send(0x321, false, {2}, kMay17 + 86400);
    send(0x321, false, {3}, kMay17 + 1);  // back: appends to what it made
    if (failed) {
      EXPECT_TRUE(end(/*failed=*/true));
      EXPECT_EQ(tree(dir.path()), before);
      EXPECT_EQ(handler->files(), 0u);
    } else {
      EXPECT_TRUE(end());
    }
  }
  // Replaced without touching the earlier file's content (the hard link
  // still shows it), and nothing left beside the outputs.
  EXPECT_EQ(dir.read(csv), "t,P\n1715904000.000000,1.000000\n1715904001.000000,3.000000\n");
  EXPECT_EQ(dir.read(day2), "t,P\n1715990400.000000,2.000000\n");
  EXPECT_EQ(dir.read("hard"), "earlier run\n");
  EXPECT_EQ(files(), (Files{csv, day2, "hard"}));
  EXPECT_EQ(handler->files(), 2u);
}

TEST_F(FrameHandlerTest, TwoKeysOnOnePathGetASuffixAndKeepIt) {
  // A second CAN database with a message of the same name and key but other
  // signals.
  auto c = MessageDatabase::create(kBusCan);
  add(c->add_message("Body", can_key(0x0CF00400, true), 8, 0, "", false)->signals, "Other", 8, 8, 0,
      0);
  can[1].push_back(std::move(c));
  make();
  ASSERT_TRUE(start());
  LogCapture log(LOG_WARN);
  send(0x0CF00400, true, {1, 2}, kMay17);
  send(0x0CF00400, true, {3, 4}, kMay17 + 86400);  // next day: new files
  send(0x0CF00400, true, {5, 6}, kMay17 + 1);      // back: each reopens its own
  handler.reset();
  EXPECT_NE(log.text().find("is taken by another output; writing to"), std::string::npos);
  const std::string p = "AB12_out/CAN1_Body/2024/05/17/00000007_00000001";
  EXPECT_EQ(dir.read(p + ".csv"), "t,B\n1715904000.000000,1.000000\n1715904001.000000,5.000000\n");
  EXPECT_EQ(dir.read(p + "-2.csv"),
            "t,Other\n1715904000.000000,2.000000\n1715904001.000000,6.000000\n");
}

TEST_F(FrameHandlerTest, LoggersAlikeInTheirFirst15CharactersClashInsteadOfMerging) {
  make();
  LogCapture log(LOG_WARN);
  ASSERT_TRUE(start(1, false, "TRUCKFLEET00001A"));
  send(0x321, false, {1}, kMay17);
  ASSERT_TRUE(end());
  ASSERT_TRUE(start(1, false, "TRUCKFLEET00001B"));
  send(0x321, false, {2}, kMay17 + 1);
  ASSERT_TRUE(end());
  // The same logger again appends to its own file.
  ASSERT_TRUE(start(1, false, "TRUCKFLEET00001A"));
  send(0x321, false, {3}, kMay17 + 2);
  ASSERT_TRUE(end());
  handler.reset();
  EXPECT_NE(log.text().find("is taken by another output; writing to"), std::string::npos);
  const std::string p = "TRUCKFLEET00001_out/CAN1_Plain/2024/05/17/00000007_00000001";
  EXPECT_EQ(files(), (Files{p + "-2.csv", p + ".csv"}));
  EXPECT_EQ(dir.read(p + ".csv"), "t,P\n1715904000.000000,1.000000\n1715904002.000000,3.000000\n");
  EXPECT_EQ(dir.read(p + "-2.csv"), "t,P\n1715904001.000000,2.000000\n");
}

TEST_F(FrameHandlerTest, SameDatabaseTwiceWritesEachRowTwiceInOneFile) {
  auto j = MessageDatabase::create(kBusCan);
  add(j->add_message("Plain", 0x321, 8, 0, "", false)->signals, "P", 0, 8, 0, 0);
  auto k = MessageDatabase::create(kBusCan);
  add(k->add_message("Plain", 0x321, 8, 0, "", false)->signals, "P", 0, 8, 0, 0);
  can[3].push_back(std::move(j));
  can[3].push_back(std::move(k));
  make();
  ASSERT_TRUE(start());
  send(0x321, false, {1}, kMay17, kFrameCan, 3);
  handler.reset();
  EXPECT_EQ(dir.read("AB12_out/CAN3_Plain/2024/05/17/00000007_00000001.csv"),
            "t,P\n1715904000.000000,1.000000\n1715904000.000000,1.000000\n");
}

TEST_F(FrameHandlerTest, KindsChannelsAndLin) {
  make();
  ASSERT_TRUE(start());
  send(0x11, false, {1}, kMay17, kFrameLin, 1);      // channel 1 has CAN databases only
  send(0x321, false, {1}, kMay17, kFrameCanNoData);  // kinds 2 and 3 are ignored
  send(0x321, false, {1}, kMay17, kFrameEvent);
  send(0x321, false, {1}, kMay17, kFrameCan, 9);  // no databases on channel 9
  send(0x322, false, {1}, kMay17);                // no such message
  EXPECT_EQ(files(), Files{});
  send(0x51, false, {4}, kMay17, kFrameLin, 2);  // LIN key drops the high bits
  handler.reset();
  EXPECT_EQ(files(), Files{"AB12_out/LIN2_Wiper/2024/05/17/00000007_00000001.csv"});
}

TEST_F(FrameHandlerTest, UndatedTimesStayInsideTheOutputFolder) {
  make();
  ASSERT_TRUE(start(1, false, "--"));  // punctuation only: empty logger folder name
  send(0x321, false, {1}, -5.5);
  send(0x321, false, {2}, 1e300);
  send(0x321, false, {3}, std::numeric_limits<double>::quiet_NaN());
  handler.reset();
  EXPECT_EQ(files(), Files{"_out/CAN1_Plain/0000/00/00/00000007_00000001.csv"});
}

TEST_F(FrameHandlerTest, LostOutputFailsTheFileEnd) {
  dir.write("AB12_out", "a file where the folder should be");
  make();
  ASSERT_TRUE(start());
  {
    LogCapture log(LOG_ERROR);
    send(0x321, false, {1}, kMay17);
    EXPECT_NE(log.text().find("Could not create output writer"), std::string::npos);
  }
  EXPECT_EQ(handler->messages(), 1u);
  EXPECT_EQ(handler->files(), 0u);
  EXPECT_FALSE(end());
  // The next file starts clean; it fails only when it loses output itself.
  ASSERT_TRUE(start(1, false, "CD"));
  send(0x321, false, {1}, kMay17);
  EXPECT_TRUE(end());
}

TEST_F(FrameHandlerTest, AFailedFileLeavesTheTreeAsItWasBeforeIt) {
  dir.write("AB12_out/CAN1_Body/keep.txt", "not ours");
  for (bool concat : {true, false}) {
    make({.no_append_root = false, .concat = concat});
    ASSERT_TRUE(start(1));
    send(0x321, false, {1}, kMay17);
    send(0x0CF00400, true, {10, 0, 0}, kMay17 + 1);
    ASSERT_TRUE(end());
    const auto before = tree(dir.path());

    // The next split appends to the first split's files (with concat),
    // makes new ones, crosses midnight into new folders, then fails.
    ASSERT_TRUE(start(2, true));
    send(0x321, false, {2}, kMay17 + 2);
    send(0x0C00AB03, true, {5}, kMay17 + 3);  // TSC1: a new output
    send(0x0CF00400, true, {11, 0, 0}, kMay17 + 86400);
    send(0x321, false, {3}, kMay17 + 86401);
    send(0x321, false, {4}, kMay17 + 4);  // back: its file is opened again
    EXPECT_NE(tree(dir.path()), before);
    EXPECT_TRUE(end(/*failed=*/true));
    EXPECT_EQ(tree(dir.path()), before) << "concat " << concat;
    EXPECT_EQ(handler->files(), 3u);

    // The same split converted again gives what a clean run gives: the
    // undone outputs are made afresh, with their headers.
    ASSERT_TRUE(start(2, true));
    send(0x0C00AB03, true, {5}, kMay17 + 3);
    ASSERT_TRUE(end());
    handler.reset();
    const std::string split = concat ? "00000001" : "00000002";
    EXPECT_EQ(dir.read("AB12_out/CAN1_TSC1_S03/2024/05/17/00000007_" + split + ".csv"),
              "t,Req\n1715904003.000000,5.000000\n");
    std::filesystem::remove_all(dir.path() / "AB12_out/CAN1_TSC1_S03");
    EXPECT_EQ(tree(dir.path()), before);
    for (const char* gone : {"CAN1_EEC1_S00", "CAN1_Plain", "CAN1_Body/2024"}) {
      std::filesystem::remove_all(dir.path() / "AB12_out" / gone);
    }
  }
}

TEST_F(FrameHandlerTest, HandlersSharingTheTreeTakeBackWhatTheRunMadeOnceItIsEmpty) {
  // Two sessions on two threads meet in one day folder. The one that made
  // it fails first, while the other's file is still in it; when the other
  // fails too, the folder goes, as it would had they run one after the
  // other (each taking back what was empty when it failed).
  SharedOutputs shared;
  FrameHandlerOptions options;
  options.shared = &shared;
  std::unique_ptr<FrameHandler> first = create_handler(folder.get(), options);
  std::unique_ptr<FrameHandler> second = create_handler(folder.get(), options);
  ASSERT_TRUE(first && second);
  FileRecord r;
  r.logger_id = "AB-12";
  r.split = 1;
  Frame f;
  f.kind = kFrameCan;
  f.channel = 1;
  f.id = 0x0CF00400;
  f.extended = 1;
  f.payload = {10, 0, 0};
  f.time = kMay17;
  r.session = 7;
  ASSERT_TRUE(first->on_file_start(r, false));
  EXPECT_TRUE(first->on_frame(f));
  r.session = 8;
  ASSERT_TRUE(second->on_file_start(r, false));
  EXPECT_TRUE(second->on_frame(f));
  EXPECT_EQ(files(), (Files{"AB12_out/CAN1_Body/2024/05/17/00000007_00000001.csv",
                            "AB12_out/CAN1_Body/2024/05/17/00000008_00000001.csv",
                            "AB12_out/CAN1_EEC1_S00/2024/05/17/00000007_00000001.csv",
                            "AB12_out/CAN1_EEC1_S00/2024/05/17/00000008_00000001.csv"}));

  r.failed = true;
  r.session = 7;
  first->on_file_end(r);
  EXPECT_EQ(files(), (Files{"AB12_out/CAN1_Body/2024/05/17/00000008_00000001.csv",
                            "AB12_out/CAN1_EEC1_S00/2024/05/17/00000008_00000001.csv"}));
  r.session = 8;
  second->on_file_end(r);
  // The logger folder holds the run's journals and lock until both
  // handlers are done; then it goes too, and nothing of the run is left.
  EXPECT_EQ(tree(dir.path()), (std::map<std::string, std::string>{{"AB12_out/", ""}}));
  EXPECT_TRUE(first->close_all());
  EXPECT_TRUE(fs::exists(dir.path() / "AB12_out/.quillon-lock"));
  EXPECT_TRUE(second->close_all());
  EXPECT_FALSE(fs::exists(dir.path() / "AB12_out"));
}

TEST_F(FrameHandlerTest, AnOutputLostInTheFileUndoesItAll) {
  make();
  ASSERT_TRUE(start(1));
  send(0x321, false, {1}, kMay17);
  ASSERT_TRUE(end());
  const auto before = tree(dir.path());
  ASSERT_TRUE(start(2, true));
  send(0x321, false, {2}, kMay17 + 1);
  // A file where the next output's folder should be: that output is lost,
  // so the whole file fails and the row above goes too.
  dir.write("AB12_out/CAN1_EEC1_S00", "in the way");
  LogCapture log(LOG_ERROR);
  send(0x0CF00400, true, {10, 0, 0}, kMay17 + 2);
  send(0x0CF00400, true, {11, 0, 0}, kMay17 + 3);
  EXPECT_FALSE(end());
  std::filesystem::remove(dir.path() / "AB12_out/CAN1_EEC1_S00");
  EXPECT_EQ(tree(dir.path()), before);
  // Told once, with the path and the system's reason.
  const std::string text = log.text();
  const std::string line = " E Could not create output writer: " + dir.root() +
                           "AB12_out/CAN1_EEC1_S00/2024/05/17/00000007_00000001.csv (";
  EXPECT_NE(text.find(line), std::string::npos) << text;
  EXPECT_EQ(text.find(line), text.rfind(line)) << text;
  EXPECT_NE(text.find(" E Could not create output folder: " + dir.root() +
                      "AB12_out/CAN1_EEC1_S00 (Not a directory)\n"),
            std::string::npos)
      << text;
}

TEST_F(FrameHandlerTest, NothingIsWrittenThroughALinkBelowTheOutputFolder) {
#ifdef _WIN32
  GTEST_SKIP() << "making a symbolic link needs a privilege on Windows, and the run-time here "
                  "cannot make one";
#endif
  test::TempDir elsewhere;
  elsewhere.write("victim", "precious\n");
  const std::string csv = "AB12_out/CAN1_Plain/2024/05/17/00000007_00000001.csv";
  dir.mkdir("AB12_out/CAN1_Plain/2024/05/17");
  std::filesystem::create_symlink(elsewhere.path() / "victim", dir.path() / csv);
  // A logger folder that is a link to a folder elsewhere.
  std::filesystem::create_symlink(elsewhere.path(), dir.path() / "CD_out");
  make();
  for (const char* logger : {"AB12", "CD"}) {
    LogCapture log(LOG_ERROR);
    ASSERT_TRUE(start(1, false, logger));
    send(0x321, false, {1}, kMay17);
    send(0x321, false, {2}, kMay17 + 1);
    EXPECT_FALSE(end()) << logger;
    const std::string text = log.text();
    const std::string link =
        std::string(logger) == "AB12" ? dir.root() + csv : dir.root() + "CD_out";
    const std::string line = " E Output path is a symbolic link: " + link + "\n";
    EXPECT_NE(text.find(line), std::string::npos) << text;
    EXPECT_EQ(text.find(line), text.rfind(line)) << text;
  }
  EXPECT_EQ(elsewhere.read("victim"), "precious\n");
  EXPECT_EQ(tree(elsewhere.path()).size(), 1u);

  // The output folder itself may be reached through a link.
  test::TempDir links;
  std::filesystem::create_symlink(elsewhere.path(), links.path() / "out");
  auto linked = RootedFolder::create(links.root() + "out/");
  ASSERT_TRUE(linked);
  handler = create_handler(linked.get(), {});
  ASSERT_TRUE(start(1, false, "EF"));
  send(0x321, false, {1}, kMay17);
  EXPECT_TRUE(end());
  EXPECT_EQ(elsewhere.read("EF_out/CAN1_Plain/2024/05/17/00000007_00000001.csv"),
            "t,P\n1715904000.000000,1.000000\n");
}

TEST_F(FrameHandlerTest, AnOutputRemovedOrReplacedDuringTheFileIsLost) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows refuses to replace a file that is open or to remove the folder "
                  "holding it, so an output cannot be lost this way there";
#endif
  const std::string csv = "AB12_out/CAN1_Plain/2024/05/17/00000007_00000001.csv";
  for (bool replace : {false, true}) {
    make();
    ASSERT_TRUE(start(1, false, "AB-12", /*durable=*/true));
    send(0x321, false, {1}, kMay17);
    if (replace) {
      dir.write("other.csv", "someone else's\n");
      std::filesystem::rename(dir.path() / "other.csv", dir.path() / csv);
    } else {
      std::filesystem::remove_all(dir.path() / "AB12_out");  // the user cleans up mid-run
    }
    send(0x321, false, {2}, kMay17 + 1);
    LogCapture log(LOG_ERROR);
    EXPECT_FALSE(end()) << replace;
    EXPECT_NE(log.text().find(" E Output file was removed or replaced during conversion: " +
                              dir.root() + csv + "\n"),
              std::string::npos);
    // Undo leaves a file that is not ours alone.
    EXPECT_EQ(replace ? dir.read(csv) : "", replace ? "someone else's\n" : "");
    std::filesystem::remove_all(dir.path() / "AB12_out");
  }
}

TEST_F(FrameHandlerTest, PerFrameLookupWritesWhatTheLongWayWrites) {
  // Many messages, a clash (the same name and key with other signals in a
  // second database), a multiplexed message, payloads cut short (fewer
  // values: another output), ignored and out-of-range values, addresses,
  // two loggers, continuing and new files, failed files, days forward and
  // back: any writer the per-frame lookup kept past its close or handed to
  // another output, or a row its short way made differently, shows as a
  // difference from the reference, which finds every frame's output by its
  // identity. A third handler keeps few files open, so that its outputs
  // close and reopen all the time: a reopened output must write where one
  // kept open writes, whatever switch values the reopening frame has.
  auto j = MessageDatabase::create(kBusJ1939);
  for (uint32_t m = 0; m < 300; ++m) {
    Message* msg = j->add_message("M" + std::to_string(m), j1939_key(0x18F00000 + (m << 8), true),
                                  8, 0, "", false);
    add(msg->signals, "A", 0, 8, 0, 200);
    add(msg->signals, "B", 8, 8, 0, 0, 0.5, -10);
    if (m % 3 == 0) {
      SignalParams p;
      p.bit_position = 16;
      p.bit_length = 8;
      add_signal(&msg->signals, "Ignored", p, true);
    }
    if (m % 2 == 0) add(msg->signals, "C", 24, 32, -5, 40000, 0.25, -5);
  }
  Message* pdu1 = j->add_message("Req", j1939_key(0x18EA0000, true), 8, 0, "", false);
  add(pdu1->signals, "R", 0, 8, 0, 0);
  Message* mux = j->add_message("Mx", j1939_key(0x18FF0000, true), 8, 0, "", false);
  Signal* sw = add(mux->signals, "Sw", 0, 8, 0, 0);
  add(add_group(sw->groups, 1, 1)->signals, "X", 8, 8, 0, 0);
  add(add_group(sw->groups, 2, 3)->signals, "Y", 16, 8, 0, 0);
  add(add_group(sw->groups, 2, 3)->signals, "Z", 24, 8, 0, 0);
  auto c = MessageDatabase::create(kBusCan);
  add(c->add_message("M5", can_key(0x18F00500, true), 8, 0, "", false)->signals, "Other", 16, 8, 0,
      0);
  can[4].push_back(std::move(j));
  can[4].push_back(std::move(c));

  std::vector<uint32_t> ids;
  for (uint32_t m = 0; m < 300; m += 23) ids.push_back(0x18F00000 + (m << 8));
  ids.insert(ids.end(), {0x18F00500, 0x18EA2100, 0x18EA2200, 0x18FF0000, 0x321});

  for (bool merge : {false, true}) {
    test::TempDir dirs[3];
    std::vector<std::string> results[3];
    for (int way = 0; way < 3; ++way) {
      auto out = RootedFolder::create(dirs[way].root());
      FrameHandlerOptions options;
      options.pgn_src_merge = merge;
      options.pgn_dst_merge = !merge;
      options.frame_lookup = way != 1;
      options.open_files = way == 2 ? 6 : 0;
      auto h = create_handler(out.get(), options);
      ASSERT_TRUE(h);
      std::mt19937 random(1234);
      std::vector<std::string>& r = results[way];
      double time = kMay17 + 3600;
      uint32_t split = 1;
      for (int file = 0; file < 30; ++file) {
        FileRecord record;
        record.logger_id = random() % 4 == 0 ? "B" : "A";
        record.session = 1;
        const bool continuation = file > 0 && random() % 2 == 0;
        split = continuation ? split + 1 : 1 + random() % 3;
        record.split = split;
        h->on_file_start(record, continuation);
        for (int n = 0; n < 100; ++n) {
          Frame f;
          f.kind = kFrameCan;
          f.channel = random() % 8 == 0 ? 1 : 4;
          f.id = ids[random() % ids.size()] | (random() % 3);
          f.extended = f.id != 0x321;
          f.payload.resize(random() % 6 == 0 ? random() % 8 : 8);
          // Now and then any byte: values past their range.
          const uint32_t spread = random() % 4 == 0 ? 256 : 4;
          for (uint8_t& b : f.payload) b = static_cast<uint8_t>(random() % spread);
          const uint32_t jump = random() % 400;
          time += jump == 0 ? 86400 : jump == 1 ? -86400 : 0.25;
          f.time = time;
          h->on_frame(f);
        }
        record.failed = random() % 6 == 0;
        r.push_back(std::to_string(h->on_file_end(record)));
      }
      r.push_back(std::to_string(h->files()) + " " + std::to_string(h->messages()) + " " +
                  std::to_string(h->signals()));
    }
    EXPECT_EQ(results[0], results[1]);
    EXPECT_EQ(results[2], results[1]);
    const auto got = tree(dirs[0].path()), want = tree(dirs[1].path());
    EXPECT_GT(want.size(), 60u);
    EXPECT_EQ(got, want) << "merge " << merge;
    EXPECT_EQ(tree(dirs[2].path()), want) << "few open files, merge " << merge;
  }
}

// What --messages, --signals and --value-labels write, held against the
// run without them: its files with the columns not chosen taken out, rows
// left without a valid value dropped, files left without rows dropped, and
// each labelled number replaced by its label. Multiplexed messages, ignored
// signals, a switch that is not chosen, J1939 addresses, days going back
// and failed files; the reference never applies a selection, so a frame
// written, left out or labelled differently shows as a difference.
TEST_F(FrameHandlerTest, ChoosingAndLabelsWriteWhatTheFullRunWritesCut) {
  can.clear();
  lin.clear();
  auto j = MessageDatabase::create(kBusJ1939);
  auto labels = [](Signal* s, std::map<int64_t, std::string> table) {
    s->labels = std::make_unique<ValueLabels>();
    s->labels->labels.insert(table.begin(), table.end());
  };
  for (uint32_t m = 0; m < 40; ++m) {
    Message* msg = j->add_message("M" + std::to_string(m), j1939_key(0x18F00000 + (m << 8), true),
                                  8, 0, "", false);
    add(msg->signals, "A", 0, 8, 0, 200);
    if (m % 4 == 0) {
      Signal* sw = add(msg->signals, "Sw", 8, 2, 0, 0);
      add(add_group(sw->groups, 1, 1)->signals, "X", 16, 8, 0, 0);
      add(add_group(sw->groups, 2, 3)->signals, "Y", 24, 8, 0, 3);
    } else {
      add(msg->signals, "B", 8, 8, 0, 0, 0.5, -10);
    }
    if (m % 3 == 0) {
      SignalParams p;
      p.bit_position = 32;
      p.bit_length = 8;
      add_signal(&msg->signals, "Ignored", p, true);
    }
    labels(add(msg->signals, "L", 40, 8, 0, 0), {{0, "zero"}, {1, "one, more"}});
    SignalParams p;
    p.bit_position = 48;
    p.bit_length = 4;
    p.value_type = kValueSigned;
    p.factor = 0.5;
    p.offset = 1;
    labels(add_signal(&msg->signals, "S", p, false), {{-1, "neg"}});
  }
  can[4].push_back(std::move(j));
  MessageDatabase& db = *can[4].front();

  // One run of the same frames, with or without the selection.
  auto run = [&](const Selection* selection) {
    for (const auto& [key, m] : db.messages()) m->plan.reset();
    test::TempDir out_dir;
    auto out = RootedFolder::create(out_dir.root());
    auto h = create_handler(out.get(), FrameHandlerOptions{});
    if (selection) {
      std::vector<bool> mh(selection->messages.size()), sh(selection->signals.size());
      apply_selection(db, *selection, mh, sh);
    }
    std::mt19937 random(99);
    double time = kMay17 + 3600;
    for (int file = 0; file < 12; ++file) {
      FileRecord record;
      record.logger_id = "A";
      record.session = 1;
      record.split = 1 + file;
      h->on_file_start(record, false);
      for (int n = 0; n < 150; ++n) {
        Frame f;
        f.kind = kFrameCan;
        f.channel = 4;
        f.id = 0x18F00000 + ((random() % 40) << 8) + random() % 2;
        f.extended = true;
        f.payload.resize(8);
        const uint32_t spread = random() % 3 == 0 ? 256 : 4;
        for (uint8_t& b : f.payload) b = static_cast<uint8_t>(random() % spread);
        const uint32_t jump = random() % 300;
        time += jump == 0 ? 86400 : jump == 1 ? -86400 : 0.25;
        f.time = time;
        h->on_frame(f);
      }
      record.failed = random() % 5 == 0;
      h->on_file_end(record);
    }
    std::map<std::string, std::string> files;
    for (const auto& [name, content] : tree(out_dir.path())) {
      if (name.back() != '/') files[name] = content;
    }
    return files;
  };

  // The full run's file cut down to the selection.
  auto cut = [](const std::string& path, const std::string& content, const Selection& sel) {
    const size_t at = path.find("CAN4_") + 5;
    const std::string message = path.substr(at, path.find_first_of("_/", at) - at);
    bool message_chosen = sel.messages.empty();
    for (const std::string& p : sel.messages) message_chosen |= glob_match(p, message);
    std::vector<std::vector<std::string>> rows;
    size_t start = 0;
    while (start < content.size()) {
      size_t end = content.find('\n', start);
      std::vector<std::string> fields;
      std::string line = content.substr(start, end - start), field;
      for (size_t i = 0; i <= line.size(); ++i) {
        if (i == line.size() || line[i] == ',') {
          fields.push_back(field);
          field.clear();
        } else {
          field += line[i];
        }
      }
      rows.push_back(fields);
      start = end + 1;
    }
    std::vector<size_t> keep;
    for (size_t c = 1; c < rows[0].size(); ++c) {
      bool chosen = sel.signals.empty();
      for (const std::string& p : sel.signals) {
        chosen |= signal_pattern_matches(p, message, rows[0][c]);
      }
      if (message_chosen && chosen) keep.push_back(c);
    }
    const std::map<std::string, std::string> named = {
        {"L=0.000000", "zero"}, {"L=1.000000", "\"one, more\""}, {"S=0.500000", "neg"}};
    std::string out;
    for (size_t r = 0; r < rows.size(); ++r) {
      std::string line = rows[r][0];
      bool valid = r == 0;
      for (size_t c : keep) {
        std::string v = rows[r][c];
        if (r > 0) {
          valid |= v != "NaN";
          auto label = named.find(rows[0][c] + "=" + v);
          if (sel.value_labels && label != named.end()) v = label->second;
        }
        line += "," + v;
      }
      if (valid) out += line + "\n";
    }
    return keep.empty() || out.find('\n') == out.size() - 1 ? std::string() : out;
  };

  const auto full = run(nullptr);
  ASSERT_GT(full.size(), 60u);
  std::vector<Selection> selections(5);
  selections[0].value_labels = true;
  selections[1].messages = {"M1?", "M3"};
  selections[2].signals = {"A", "M?.X", "L"};  // Sw not chosen: still names the outputs
  selections[3].messages = {"M*2", "M8"};
  selections[3].signals = {"Y", "S", "Sw"};
  selections[3].value_labels = true;
  selections[4].signals = {"Ignored"};  // ignored stays ignored: nothing at all
  for (const Selection& sel : selections) {
    std::map<std::string, std::string> want;
    for (const auto& [path, content] : full) {
      std::string c = cut(path, content, sel);
      if (!c.empty()) want[path] = c;
    }
    EXPECT_EQ(run(&sel), want) << "selection " << (&sel - selections.data());
  }
}

TEST_F(FrameHandlerTest, HintsChangeNothingWrittenOrCounted) {
  // Frames of enough identifiers for the handler to use hints (most of them
  // in no database: they grow the frame table without making files),
  // hinted two frames ahead as the conversion loop does, or wrongly now and
  // then (another identifier, another channel or kind, a hint for a frame
  // that never comes), across growing frame tables, closed writers and
  // failed files: the tree and the counts are those of a handler given no
  // hints.
  auto j = MessageDatabase::create(kBusJ1939);
  for (uint32_t m = 0; m < 40; ++m) {
    Message* msg = j->add_message("M" + std::to_string(m), j1939_key(0x18F00000 + (m << 8), true),
                                  8, 0, "", false);
    add(msg->signals, "A", 0, 8, 0, 200);
    add(msg->signals, "B", 8, 8, 0, 0, 0.5, -10);
  }
  Message* mux = j->add_message("Mx", j1939_key(0x18FF0000, true), 8, 0, "", false);
  Signal* sw = add(mux->signals, "Sw", 0, 8, 0, 0);
  add(add_group(sw->groups, 1, 1)->signals, "X", 8, 8, 0, 0);
  can[4].push_back(std::move(j));

  std::mt19937 random(99);
  std::vector<Frame> frames(6000);
  for (Frame& f : frames) {
    f.kind = kFrameCan;
    f.channel = random() % 10 == 0 ? 1 : 4;
    const unsigned pick = random() % 50;
    f.id = pick == 0   ? 0x18FF0000
           : pick < 25 ? 0x18F00000 + ((random() % 42) << 8) + (random() % 10 == 0)
                       : 0x18E00000 + ((random() % 2000) << 8);
    f.extended = 1;
    f.payload.resize(random() % 8 == 0 ? 1 : 8);
    for (uint8_t& b : f.payload) b = static_cast<uint8_t>(random() % 4);
  }
  std::string results[2];
  test::TempDir dirs[2];
  for (int way = 0; way < 2; ++way) {
    auto out = RootedFolder::create(dirs[way].root());
    auto h = create_handler(out.get(), FrameHandlerOptions());
    ASSERT_TRUE(h);
    std::mt19937 noise(5);
    double time = kMay17 + 7200;
    size_t next = 0;
    bool asked = false;
    for (int file = 0; file < 6; ++file) {
      FileRecord record;
      record.logger_id = "A";
      record.session = 1;
      record.split = static_cast<uint32_t>(file + 1);
      h->on_file_start(record, file % 3 != 0);
      for (int n = 0; n < 1000; ++n, ++next) {
        Frame& frame = frames[next];
        frame.hint_count = 0;
        frame.hints_wanted = true;
        if (way == 0 && next + 2 < frames.size()) {
          FrameHint& hint = frame.hints[0];
          const Frame& ahead = frames[next + 2];
          hint.id = ahead.id;
          hint.kind = ahead.kind;
          hint.channel = ahead.channel;
          hint.extended = ahead.extended;
          const unsigned odd = noise() % 10;
          if (odd == 0) hint.id ^= noise();
          if (odd == 1) hint.kind = kFrameLin;
          if (odd == 2) hint.channel = static_cast<uint8_t>(noise());
          frame.hint_count = 1;
          // One hint too many: the steps slip.
          if (odd == 3) frame.hints[frame.hint_count++] = hint;
        }
        time += 0.001;
        frame.time = time;
        h->on_frame(frame);
        if (frame.hint_count != 0) asked = frame.hints_wanted || asked;
      }
      record.failed = file == 4;
      results[way] += std::to_string(h->on_file_end(record));
    }
    results[way] += " " + std::to_string(h->files()) + " " + std::to_string(h->messages()) + " " +
                    std::to_string(h->signals());
    // The hints were used, not just ignored.
    if (way == 0) {
      EXPECT_TRUE(asked);
    }
  }
  EXPECT_EQ(results[0], results[1]);
  const auto got = tree(dirs[0].path()), want = tree(dirs[1].path());
  EXPECT_GT(want.size(), 40u);
  EXPECT_EQ(got, want);
}

}  // namespace
}  // namespace quillon
