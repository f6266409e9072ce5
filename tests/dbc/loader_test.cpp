#include "dbc/loader.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "dbc/json_dump.h"
#include "log_capture.h"
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

TEST(Loader, LoadsOneFileAndSaysWhyNot) {
  WorkingFolder wf;
  wf.write("a.dbc", kDbc);
  wf.write("empty.dbc", "");
  LogCapture log;
  std::unique_ptr<MessageDatabase> db = load_database("a.dbc");
  ASSERT_TRUE(db);
  EXPECT_EQ(load_database("missing.dbc"), nullptr);
  EXPECT_EQ(load_database("empty.dbc"), nullptr);
  const std::string text = log.text();
  EXPECT_NE(text.find("I Successfully loaded DBC file: a.dbc"), std::string::npos);
  EXPECT_NE(text.find("E Failed to open DBC file: missing.dbc"), std::string::npos);
  EXPECT_NE(text.find("E Failed to load DBC file: empty.dbc"), std::string::npos);
}

TEST(Loader, DumpNames) {
  WorkingFolder wf;
  auto db = MessageDatabase::create(kBusLin);
  LogCapture log;
  dump_database(*db, "a/b/x.DBC");
  dump_database(*db, "a/.dbc");
  dump_database(*db, "no-such-folder/");
  dump_database(*db, "x.dbc");
  fs::create_directories("y.json");
  dump_database(*db, "y.dbc");
  std::string text = log.text();
  EXPECT_NE(text.find("E Could not dump a/b/x.DBC"), std::string::npos);
  EXPECT_NE(text.find("E Could not dump a/.dbc"), std::string::npos);
  EXPECT_NE(text.find("E Could not open y.json for output of DBC dump"), std::string::npos);
  EXPECT_EQ(wf.read("x.json"), "{\"bus\":\"LIN\",\"messages\":[]}");
}

}  // namespace
}  // namespace quillon
