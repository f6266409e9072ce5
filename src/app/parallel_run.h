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

#include "app/converter_state.h"
#include "app/decoder_plugin.h"
#include "app/run.h"
#include "input/progress.h"
#include "output/frame_handler.h"

namespace quillon {

// The threads for a jobs value: 0 gives one per available core.
unsigned thread_count(uint32_t jobs);

// Each thread's bound on open output files when threads share limit open
// files (FrameHandlerOptions::open_files); lowers threads until every
// thread gets a workable share. One thread is bounded too, so that a log
// needing more outputs than the limit allows converts on every count.
size_t open_files_per_thread(int64_t limit, unsigned& threads);
// The same for the limit raised as far as the system lets the run.
size_t open_files_bound(unsigned& threads);

// Rolls back what a killed run left in the logger folders of the output
// folder (those of this shard only), before the walk lists the logs: the
// logs it had converted may be deleted.
void recover_left_behind(const ConverterState& state, SharedOutputs& shared);

// Walks and converts the state's inputs on up to threads threads,
// reporting to progress (null: nowhere) from every thread. Fills the
// counters; gives the run's status; started stays false when the run could
// not start (memory short).
int run_parallel(const ConverterState& state, const DecoderPart& decoder,
                 const FrameHandlerOptions& options, unsigned threads, ProgressListener* progress,
                 RunCounters& counters, bool& started);

}  // namespace quillon
