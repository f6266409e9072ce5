#include "app/run.h"

#include <cstdio>
#include <memory>
#include <new>

#include "app/command_line.h"
#include "app/converter.h"
#include "app/decoder_plugin.h"
#include "app/exit_status.h"
#include "app/parallel_run.h"
#include "app/terminal_progress.h"
#include "app/tp_registration.h"
#include "input/conversion_loop.h"
#include "input/sink.h"
#include "output/frame_handler.h"
#include "platform/platform.h"
#include "tp/manager.h"
#include "tp/mux_stage.h"

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

std::unique_ptr<FrameHandler> make_frame_handler(const Converter& converter,
                                                 const ChannelMap* can_channels,
                                                 const ChannelMap* lin_channels,
                                                 FrameHandlerOptions options) {
  options.no_append_root = converter.no_append_root != 0;
  return FrameHandler::create(converter.output_folder(), can_channels, lin_channels, options);
}

std::unique_ptr<ConversionLoop> make_conversion_loop(const Converter& converter,
                                                     FrameSink* first_sink) {
  ConversionOptions options;
  options.delete_converted = converter.delete_converted != 0;
  options.no_append_root = converter.no_append_root != 0;
  options.buffer_size = converter.buffer_size;
  return ConversionLoop::create(converter.input_folder.get(), converter.output_folder(), options,
                                first_sink);
}

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

int run(int argc, char** argv) {
  int status = kExitNotStarted;
  std::unique_ptr<Converter> converter(new (std::nothrow) Converter());
  if (!converter) return kExitNotStarted;
  // The run holds the decoder by its type; the converter owns it so that the
  // command line can add the decoder's options.
  DecoderPlugin* plugin = new (std::nothrow) DecoderPlugin();
  if (!plugin) return kExitNotStarted;
  converter->plugin.reset(plugin);
  DecoderPart* decoder = &plugin->decoder();

  if (!run_command_line(*converter, argc, argv, status)) return status;
  if (!load_databases(*decoder)) return status;

  // The frame chain: transport-protocol manager, MUX stage, frame handler.
  // Without any transport message the loop feeds the frame handler directly.
  FrameHandlerOptions options;
  options.concat = decoder->concat;
  options.pgn_src_merge = decoder->pgn_src_merge;
  options.pgn_dst_merge = decoder->pgn_dst_merge;
  // A status line while the run lasts, on a terminal only.
  std::unique_ptr<TerminalProgress> progress = TerminalProgress::create(converter->non_interactive);
  if (unsigned threads = thread_count(converter->jobs); threads > 1) {
    RunCounters counters;
    bool started = false;
    int result =
        run_parallel(*converter, *decoder, options, threads, progress.get(), counters, started);
    if (!started) return status;
    print_summaries(counters);
    converter.reset();
    if (int signal = platform::interrupt_signal(); signal != 0) platform::reraise_interrupt(signal);
    return result;
  }
  std::unique_ptr<FrameHandler> handler =
      make_frame_handler(*converter, &decoder->can_channels, &decoder->lin_channels, options);
  if (!handler) return status;
  std::unique_ptr<MuxStage> mux = MuxStage::create(handler.get(), nullptr);
  if (!mux) return status;
  std::unique_ptr<TransportManager> manager = TransportManager::create(mux.get());
  if (!manager) return status;
  mux->set_manager(manager.get());
  bool transport_in_use = register_transport_messages(decoder->can_channels, *manager, *mux);
  FrameSink* first_sink = transport_in_use ? static_cast<FrameSink*>(manager.get()) : handler.get();

  std::unique_ptr<ConversionLoop> loop = make_conversion_loop(*converter, first_sink);
  if (!loop) return status;

  if (progress) loop->set_progress(progress.get());

  RunCounters counters;
  // An interrupt stops after the current frame and undoes that file.
  platform::catch_interrupts();
  status = run_conversion(*loop, converter->input_paths, counters);
  // Output that could not be closed is lost output.
  if (!handler->close_all()) status |= kResultFailed;
  TransportCounters transport = manager->counters();
  counters.tp_successful = transport.successful;
  counters.tp_failed = transport.failed;
  counters.tp_unfinished = transport.unfinished;
  counters.writer_files = handler->files();
  counters.writer_messages = handler->messages();
  counters.writer_signals = handler->signals();

  print_summaries(counters);

  // The converter state goes first: its plug-in frees the databases.
  converter.reset();
  loop.reset();
  manager.reset();
  mux.reset();
  handler.reset();  // last: closes every CSV file still open
  // End the way the interrupt would have, now that the outputs are sound.
  if (int signal = platform::interrupt_signal(); signal != 0) platform::reraise_interrupt(signal);
  return status;
}

}  // namespace quillon
