#include "app/run.h"

#include <cstdio>
#include <memory>
#include <new>

#include "app/command_line.h"
#include "app/converter.h"
#include "app/decoder_plugin.h"
#include "platform/platform.h"

namespace quillon {

namespace {

const char kSeparator[] =
    "-------------------------------------------------------------------------------\n";
static_assert(sizeof kSeparator == 79 + 2, "separator is 79 dashes and a newline");

void append_format(std::string& out, const char* format, unsigned long long a, unsigned long long b,
                   unsigned long long c) {
  char buffer[256];
  int n = std::snprintf(buffer, sizeof buffer, format, a, b, c);
  if (n > 0) out.append(buffer, static_cast<size_t>(n) < sizeof buffer ? n : sizeof buffer - 1);
}

}  // namespace

std::string format_summaries(const RunCounters& c) {
  std::string out;
  out += kSeparator;
  append_format(out, "Reader summary\n- Files: %llu\n- Messages: %llu\n- Size: %llu MB\n",
                c.reader_files, c.reader_frames, c.reader_bytes >> 20);
  out += kSeparator;
  append_format(out,
                "Transport protocol summary\n- Successful sessions: %llu\n- Failed sessions: "
                "%llu\n- Unfinished sessions: %llu\n",
                c.tp_successful, c.tp_failed, c.tp_unfinished);
  out += kSeparator;
  append_format(out, "Writer summary\n- Files: %llu\n- Messages: %llu\n- Signals: %llu\n",
                c.writer_files, c.writer_messages, c.writer_signals);
  out += kSeparator;
  char line[64];
  // Signed division truncates toward zero; the result prints as unsigned.
  int n = std::snprintf(line, sizeof line, "Execution time: %u s\n",
                        static_cast<unsigned>(static_cast<int>(c.elapsed_ms / 1000)));
  if (n > 0) out.append(line, static_cast<size_t>(n));
  out += kSeparator;
  return out;
}

int run(int argc, char** argv) {
  int status = 129;
  std::unique_ptr<Converter> converter(new (std::nothrow) Converter());
  if (!converter) return 129;
  converter->plugin.reset(new (std::nothrow) DecoderPlugin());
  if (!converter->plugin) return 129;

  if (!run_command_line(*converter, argc, argv, status)) return status;

  RunCounters counters;
  int64_t started = platform::clock_ms();
  status = 0;
  int64_t finished = platform::clock_ms();
  counters.elapsed_ms = finished - started;

  std::string summary = format_summaries(counters);
  std::fwrite(summary.data(), 1, summary.size(), stdout);
  std::fflush(stdout);

  // The converter state goes first: its plug-in frees the databases.
  converter.reset();
  return status;
}

}  // namespace quillon
