#include "app/run.h"

#include <cstdio>
#include <memory>
#include <new>

#include "app/command_line.h"
#include "app/converter_state.h"
#include "app/decoder_plugin.h"
#include "app/exit_status.h"
#include "app/frame_chain.h"
#include "app/parallel_run.h"
#include "app/run_report.h"
#include "app/terminal_progress.h"
#include "input/conversion_loop.h"
#include "platform/platform.h"
#include "support/log.h"

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

int run_conversion(ConversionLoop& loop, const std::vector<std::string>& input_paths,
                   RunCounters& counters) {
  int64_t started = platform::clock_ms();
  int status = loop.run(input_paths);
  int64_t finished = platform::clock_ms();
  counters.elapsed_ms = finished - started;
  counters.reader_files = loop.files();
  counters.reader_frames = loop.frames();
  counters.reader_bytes = loop.bytes();
  return status;
}

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

namespace {

void print_summaries(const RunCounters& counters) {
  std::string summary = format_summaries(counters);
  std::fwrite(summary.data(), 1, summary.size(), stdout);
  std::fflush(stdout);
}

}  // namespace

namespace {

// The serial run: one worker whose loop converts each log as the walk
// reaches it, through the stream the walk opened. started stays false when
// the run could not start (memory short).
int run_serial(const ConverterState& state, const DecoderPart& decoder,
               const FrameHandlerOptions& options, ProgressListener* progress,
               RunCounters& counters, bool& started) {
  started = false;
  // An interrupt stops after the current frame and undoes that file; one
  // that comes while an interrupted run's outputs are recovered lets the
  // recovery end first.
  platform::catch_interrupts();
  Worker worker;
  FrameHandlerOptions bounded = options;
  SharedOutputs shared;
  recover_left_behind(state, shared);
  bounded.shared = &shared;
  unsigned one = 1;
  bounded.open_files = open_files_bound(one);
  if (!make_worker(state, decoder, bounded, nullptr, progress, worker)) return kResultOk;
  started = true;
  int status = run_conversion(*worker.loop, state.input_paths, counters);
  status |= finish_worker(worker, counters);
  counters.tp_unfinished = worker.chain->manager->counters().unfinished;
  return status;
}

}  // namespace

int run(int argc, char** argv) {
  int status = kExitNotStarted;
  std::unique_ptr<ConverterState> state(new (std::nothrow) ConverterState());
  if (!state) return kExitNotStarted;
  // The run holds the decoder by its type; the state owns it so that the
  // command line can add the decoder's options.
  DecoderPlugin* plugin = new (std::nothrow) DecoderPlugin();
  if (!plugin) return kExitNotStarted;
  state->plugin.reset(plugin);
  DecoderPart* decoder = &plugin->decoder();

  if (!run_command_line(*state, argc, argv, status)) return status;
  if (!load_databases(*decoder)) return status;

  FrameHandlerOptions options;
  options.concat = decoder->concat;
  options.pgn_src_merge = decoder->pgn_src_merge;
  options.pgn_dst_merge = decoder->pgn_dst_merge;
  options.compression = state->compression;
  // A status line while the run lasts, on a terminal only.
  std::unique_ptr<TerminalProgress> progress = TerminalProgress::create(state->non_interactive);
  std::unique_ptr<RunReport> report;
  const int64_t start_utc = platform::utc_now();
  if (!state->report_path.empty()) {
    report.reset(new (std::nothrow) RunReport(argc, argv, progress.get()));
    if (!report) return status;
    state->report = report.get();
  }
  RunCounters counters;
  bool started = false;
  const unsigned threads = thread_count(state->jobs);
  const int result =
      threads > 1
          ? run_parallel(*state, *decoder, options, threads, progress.get(), counters, started)
          : run_serial(*state, *decoder, options, progress.get(), counters, started);
  if (!started) return status;
  print_summaries(counters);
  int result_status = result;
  if (report) {
    RunFacts facts;
    facts.start_utc = start_utc;
    facts.end_utc = platform::utc_now();
    facts.shard_index = state->shard_index;
    facts.shard_count = state->shard_count;
    facts.threads = threads;
    facts.exit_status = result;
    facts.interrupt_signal = platform::interrupt_signal();
    facts.counters = counters;
    // The outputs stand whatever becomes of the report, memory too short
    // for it included.
    bool written = false;
    try {
      written = RunReport::write(state->report_path, report->document(facts));
    } catch (const std::bad_alloc&) {
      QLOG(LOG_ERROR, "Could not write report %s", state->report_path.c_str());
    }
    if (!written) result_status |= kResultFailed;
  }
  // The state goes before the status line: its plug-in frees the databases.
  state.reset();
  // End the way the interrupt would have, now that the outputs are sound.
  if (int signal = platform::interrupt_signal(); signal != 0) platform::reraise_interrupt(signal);
  return result_status;
}

}  // namespace quillon
