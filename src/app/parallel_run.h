// The conversion on several threads. The walk runs first and reads only
// each log's header; repetition and continuation are decided there, in walk
// order, as the serial loop decides them. The logs of one logger folder and
// session form a task (their outputs share files, and no other task's
// outputs share a file with them); free threads take the tasks, largest
// first, and convert each in walk order through their own frame chain.
// Outputs, summary and exit status are those of the serial run; only the
// order of log lines differs.
#pragma once

#include <cstdint>
#include <memory>

#include "app/converter.h"
#include "app/decoder_plugin.h"
#include "app/run.h"
#include "input/progress.h"
#include "output/frame_handler.h"
#include "tp/manager.h"
#include "tp/mux_stage.h"

namespace quillon {

// Transport-protocol manager, MUX stage and frame handler, freed in that
// order.
struct FrameChain {
  std::unique_ptr<FrameHandler> handler;
  std::unique_ptr<MuxStage> mux;
  std::unique_ptr<TransportManager> manager;
  FrameSink* first = nullptr;  // the manager when a transport message is registered
};

// A chain over the converter's output folder and the decoder's databases.
// Without like the transport messages are registered (failures logged);
// with it like's registrations are copied, so nothing is told twice. Null
// when memory is short.
std::unique_ptr<FrameChain> make_frame_chain(const Converter& converter, const DecoderPart& decoder,
                                             const FrameHandlerOptions& options,
                                             const FrameChain* like);

// The threads for a jobs value: 0 gives one per available core.
unsigned thread_count(uint32_t jobs);

// Each thread's bound on open output files when threads share limit open
// files (FrameHandlerOptions::open_files); lowers threads until every
// thread gets a workable share. 0 (no bound) for one thread.
size_t open_files_per_thread(int64_t limit, unsigned& threads);

// Walks and converts the converter's inputs on up to threads threads,
// reporting to progress (null: nowhere) from every thread. Fills the
// counters; gives the run's status, or false in ok when the run could not
// start (memory short).
int run_parallel(const Converter& converter, const DecoderPart& decoder,
                 const FrameHandlerOptions& options, unsigned threads, ProgressListener* progress,
                 RunCounters& counters, bool& ok);

}  // namespace quillon
