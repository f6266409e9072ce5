// Which DBC file goes to which channel: the arguments, the working folder's
// files, and the dump on request (moved here from the loader's tests with
// the code).
#include <gtest/gtest.h>

#include <filesystem>

#include "app/decoder_plugin.h"
#include "dbc/json_dump.h"
#include "dbc/log_capture.h"
#include "test_util.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using testing_support::LogCapture;

using test::WorkingFolder;

const char kDbc[] =
    "BA_DEF_  \"BusType\" STRING ;\n"
    "BA_DEF_DEF_  \"BusType\" \"CAN\";\n"
    "BO_ 256 M: 8 ECU\n"
    " SG_ S : 0|8@1+ (1,0) [0|255] \"\" X\n";

TEST(DbcArguments, AssignsFromTheWorkingFolder) {
  WorkingFolder wf;
  for (const char* name : {"can1-engine.dbc", "LIN2-body.DBC", "vehicle.dbc", "j1939-trucks.dbc",
                           "can2-notes.txt", "lin1-b.dbc"}) {
    wf.write(name, kDbc);
  }
  fs::create_directories("can3-folder.dbc");
  DecoderPart part;
  LogCapture log;
  EXPECT_TRUE(load_databases(part));
  std::string text = log.text();
  const std::string root = wf.root();
  EXPECT_EQ(part.dbc_arguments,
            (std::vector<std::string>{
                "dbc-LIN2=" + root + "LIN2-body.DBC", "dbc-can1=" + root + "can1-engine.dbc",
                "dbc-j1939=" + root + "j1939-trucks.dbc", "dbc-lin1=" + root + "lin1-b.dbc"}));
  EXPECT_NE(text.find("E Invalid argument: dbc-LIN2=" + root + "LIN2-body.DBC"), std::string::npos);
  EXPECT_NE(text.find("E Invalid argument: dbc-j1939="), std::string::npos);
  EXPECT_NE(text.find("I Successfully loaded DBC file: " + root + "can1-engine.dbc"),
            std::string::npos);
  ASSERT_EQ(part.can_channels.size(), 1u);
  EXPECT_EQ(part.can_channels[1].size(), 1u);
  ASSERT_EQ(part.lin_channels.size(), 1u);
  EXPECT_EQ(part.lin_channels[1].size(), 1u);
  EXPECT_FALSE(fs::exists("can1-engine.json"));  // no dump unless asked
}

TEST(DbcArguments, GivenArgumentsWinAndChannelsAreChecked) {
  WorkingFolder wf;
  wf.write("can9-ignored.dbc", kDbc);
  wf.write("dir/engine.dbc", kDbc);
  wf.write("empty.dbc", "");
  DecoderPart part;
  part.dbdump = true;
  part.dbc_arguments = {
      "dbc-can0=dir/engine.dbc", "dbc-can256=dir/engine.dbc", "dbc-can1=dir/engine.dbc",
      "dbc-can1=dir/engine.dbc", "dbc-can255=dir/engine.dbc", "dbc-can2=missing.dbc",
      "dbc-can3=empty.dbc",      "dbc-can4=dir/engine.txt",   "dbc-can99999999999=dir/engine.dbc"};
  LogCapture log;
  EXPECT_TRUE(load_databases(part));
  std::string text = log.text();
  EXPECT_NE(text.find("E Invalid argument: dbc-can0=dir/engine.dbc"), std::string::npos);
  EXPECT_NE(text.find("E Invalid argument: dbc-can256=dir/engine.dbc"), std::string::npos);
  EXPECT_NE(text.find("E Invalid argument: dbc-can4=dir/engine.txt"), std::string::npos);
  EXPECT_NE(text.find("E Invalid argument: dbc-can99999999999="), std::string::npos);
  EXPECT_NE(text.find("E Failed to open DBC file: missing.dbc"), std::string::npos);
  EXPECT_NE(text.find("E Failed to load DBC file: empty.dbc"), std::string::npos);
  EXPECT_NE(text.find("I Dumping DB dir/engine.dbc to engine.json"), std::string::npos);
  ASSERT_EQ(part.can_channels.size(), 2u);
  EXPECT_EQ(part.can_channels[1].size(), 2u);  // the same file twice: two databases
  EXPECT_EQ(part.can_channels[255].size(), 1u);
  EXPECT_TRUE(part.lin_channels.empty());
  // The dump goes to the working folder, not beside the file.
  EXPECT_EQ(wf.read("engine.json"), database_json(*part.can_channels[1][0]));
  EXPECT_FALSE(fs::exists("dir/engine.json"));
}

TEST(DbcArguments, NothingLoadedFails) {
  WorkingFolder wf;
  wf.write("can1-bad.dbc", "BO_ 1 A: 8 X\nBO_ 1 B: 8 X\n");  // collision
  DecoderPart part;
  LogCapture log;
  EXPECT_FALSE(load_databases(part));
  std::string text = log.text();
  EXPECT_NE(text.find("E Failed to load DBC file: "), std::string::npos);
  EXPECT_NE(text.find("E No DBC files found"), std::string::npos);
}

}  // namespace
}  // namespace quillon
