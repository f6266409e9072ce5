// The pieces every conversion worker is made of, built one way for the
// serial run and for each thread of a run on threads: the frame chain
// (transport-protocol manager, MUX stage, frame handler) and the loop that
// feeds it.
#pragma once

#include <memory>

#include "app/converter_state.h"
#include "app/decoder_plugin.h"
#include "app/run.h"
#include "input/conversion_loop.h"
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

// The frame handler writing into the state's output folder, with the
// decoder's channel maps and flags; the no-append-root flag comes from the
// state. Null when it cannot be created.
std::unique_ptr<FrameHandler> make_frame_handler(const ConverterState& state,
                                                 const ChannelMap* can_channels,
                                                 const ChannelMap* lin_channels,
                                                 FrameHandlerOptions options);

// A chain over the state's output folder and the decoder's databases.
// Without registrations_from the transport messages are registered
// (failures logged); with it, that chain's registrations are copied, so
// that nothing is told twice. Null when memory is short.
std::unique_ptr<FrameChain> make_frame_chain(const ConverterState& state,
                                             const DecoderPart& decoder,
                                             const FrameHandlerOptions& options,
                                             const FrameChain* registrations_from);

// The loop's options as the command line set them in the state.
ConversionOptions loop_options(const ConverterState& state);

// The conversion loop over the state's folders with its options, feeding
// first_sink. Null when it cannot be created.
std::unique_ptr<ConversionLoop> make_conversion_loop(const ConverterState& state,
                                                     FrameSink* first_sink);

// One conversion worker: a frame chain and the loop that feeds it.
struct Worker {
  std::unique_ptr<LogReport> report;  // with --report: what the loop tells of each log
  std::unique_ptr<FrameChain> chain;
  std::unique_ptr<ConversionLoop> loop;
  int status = kResultOk;
};

// The worker's chain (see make_frame_chain) and loop, reporting to progress
// (null: nowhere). False when memory is short.
bool make_worker(const ConverterState& state, const DecoderPart& decoder,
                 const FrameHandlerOptions& options, const FrameChain* registrations_from,
                 ProgressListener* progress, Worker& worker);

// After the worker's last log: closes its outputs and adds its transport
// and writer counters. Gives kResultFailed when an output could not be
// closed (lost output), else kResultOk.
int finish_worker(Worker& worker, RunCounters& counters);

}  // namespace quillon
