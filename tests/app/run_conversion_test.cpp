// A folder walk through the run's conversion step, with a counting sink in
// place of the frame chain.
#include <gtest/gtest.h>

#include <string>

#include "app/converter_state.h"
#include "app/frame_chain.h"
#include "app/run.h"
#include "input/conversion_loop.h"
#include "test_util.h"

namespace quillon {
namespace {

class CountingSink : public FrameSink {
 public:
  int starts = 0, ends = 0, frames = 0;
  bool on_file_start(const FileRecord&, bool) override { return ++starts > 0; }
  bool on_frame(Frame&) override { return ++frames > 0; }
  bool on_file_end(const FileRecord&) override { return ++ends > 0; }
};

std::string log_with(int frames, const char* split) {
  std::string log = std::string("# Logger ID: ABC\n# Session No.: 3\n# Split No.: ") + split +
                    "\n# Value separator: \";\"\nTimestamp;ID;Data\n";
  for (int i = 0; i < frames; ++i) log += "20200101T1200" + std::to_string(10 + i) + "000;1;00\n";
  return log;
}

TEST(RunConversion, FolderWalkFillsTheReaderSummary) {
  test::TempDir dir;
  dir.write("logs/00000001.TXT", log_with(3, "1"));
  dir.write("logs/00000002.TXT", log_with(4, "2"));
  dir.write("logs/notes.md", "not a log");
  dir.write("logs/broken.txt", "garbage\n");

  ConverterState converter;
  converter.input_folder = RootedFolder::create(dir.root());
  ASSERT_TRUE(converter.input_folder);
  converter.input_paths = {"logs/", "absent/"};
  CountingSink sink;
  auto loop = make_conversion_loop(converter, &sink);
  ASSERT_TRUE(loop);
  EXPECT_EQ(loop->output_folder(), converter.input_folder.get());

  RunCounters counters;
  EXPECT_EQ(run_conversion(*loop, converter.input_paths, counters), 1 | 8);
  EXPECT_EQ(sink.starts, 2);
  EXPECT_EQ(sink.ends, 2);
  EXPECT_EQ(sink.frames, 7);
  std::string summary = format_summaries(counters);
  EXPECT_NE(summary.find("Reader summary\n- Files: 3\n- Messages: 7\n- Size: 0 MB\n"),
            std::string::npos)
      << summary;
  EXPECT_NE(summary.find("Execution time: 0 s\n"), std::string::npos) << summary;

  // No input folder: no loop, and the run would end with its status as it is.
  ConverterState empty;
  EXPECT_FALSE(make_conversion_loop(empty, &sink));
}

}  // namespace
}  // namespace quillon
