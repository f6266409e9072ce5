// The run: command line, frame chain, conversion loop, summaries.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillon {

class ConversionLoop;

// Takes the argument count and vector; gives the exit status.
int run(int argc, char** argv);

struct RunCounters {
  uint64_t reader_files = 0, reader_frames = 0, reader_bytes = 0;
  uint64_t tp_successful = 0, tp_failed = 0, tp_unfinished = 0;
  uint64_t writer_files = 0, writer_messages = 0, writer_signals = 0;
  int64_t elapsed_ms = 0;
};

// The loop over the input paths between two clock reads: fills the reader
// counters and the elapsed time, gives the loop's result.
int run_conversion(ConversionLoop& loop, const std::vector<std::string>& input_paths,
                   RunCounters& counters);

// The four summary blocks between 79-dash separators.
std::string format_summaries(const RunCounters& counters);

}  // namespace quillon
