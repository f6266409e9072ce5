// The run: command line, frame chain, conversion loop, summaries.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "output/frame_handler.h"

namespace quillon {

class ConversionLoop;
class FrameSink;
struct Converter;

// Takes the argument count and vector; gives the exit status.
int run(int argc, char** argv);

struct RunCounters {
  uint64_t reader_files = 0, reader_frames = 0, reader_bytes = 0;
  uint64_t tp_successful = 0, tp_failed = 0, tp_unfinished = 0;
  uint64_t writer_files = 0, writer_messages = 0, writer_signals = 0;
  int64_t elapsed_ms = 0;
};

// The frame handler writing into the converter's output folder, with the
// decoder's channel maps and flags; the no-append-root flag comes from the
// converter. Null when it cannot be created.
std::unique_ptr<FrameHandler> make_frame_handler(const Converter& converter,
                                                 const ChannelMap* can_channels,
                                                 const ChannelMap* lin_channels,
                                                 FrameHandlerOptions options);

// The conversion loop over the converter's folders with its options, feeding
// first_sink. Null when it cannot be created.
std::unique_ptr<ConversionLoop> make_conversion_loop(const Converter& converter,
                                                     FrameSink* first_sink);

// The loop over the input paths between two clock reads: fills the reader
// counters and the elapsed time, gives the loop's result.
int run_conversion(ConversionLoop& loop, const std::vector<std::string>& input_paths,
                   RunCounters& counters);

// The four summary blocks between 79-dash separators.
std::string format_summaries(const RunCounters& counters);

}  // namespace quillon
