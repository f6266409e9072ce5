#include "app/frame_chain.h"

#include "app/run_report.h"

#include <new>

#include "app/tp_registration.h"

namespace quillon {

std::unique_ptr<FrameHandler> make_frame_handler(const ConverterState& state,
                                                 const ChannelMap* can_channels,
                                                 const ChannelMap* lin_channels,
                                                 FrameHandlerOptions options) {
  options.no_append_root = state.no_append_root != 0;
  return FrameHandler::create(state.output_folder(), can_channels, lin_channels, options);
}

std::unique_ptr<FrameChain> make_frame_chain(const ConverterState& state,
                                             const DecoderPart& decoder,
                                             const FrameHandlerOptions& options,
                                             const FrameChain* registrations_from) {
  std::unique_ptr<FrameChain> chain(new (std::nothrow) FrameChain());
  if (!chain) return nullptr;
  chain->handler = make_frame_handler(state, &decoder.can_channels, &decoder.lin_channels, options);
  if (!chain->handler) return nullptr;
  chain->mux = MuxStage::create(chain->handler.get(), nullptr);
  if (!chain->mux) return nullptr;
  chain->manager = TransportManager::create(chain->mux.get());
  if (!chain->manager) return nullptr;
  chain->mux->set_manager(chain->manager.get());
  bool transport_in_use;
  if (const FrameChain* from = registrations_from; from != nullptr) {
    if (!chain->manager->copy_registrations(*from->manager) ||
        !chain->mux->copy_registrations(*from->mux)) {
      return nullptr;
    }
    transport_in_use = from->first == from->manager.get();
  } else {
    transport_in_use =
        register_transport_messages(decoder.can_channels, *chain->manager, *chain->mux);
  }
  // Without any transport message the loop feeds the frame handler directly.
  chain->first =
      transport_in_use ? static_cast<FrameSink*>(chain->manager.get()) : chain->handler.get();
  return chain;
}

ConversionOptions loop_options(const ConverterState& state) {
  ConversionOptions options;
  options.delete_converted = state.delete_converted != 0;
  options.no_append_root = state.no_append_root != 0;
  options.buffer_size = state.buffer_size;
  options.selector = state.selector.get();
  return options;
}

std::unique_ptr<ConversionLoop> make_conversion_loop(const ConverterState& state,
                                                     FrameSink* first_sink) {
  return ConversionLoop::create(state.input_folder.get(), state.output_folder(),
                                loop_options(state), first_sink);
}

bool make_worker(const ConverterState& state, const DecoderPart& decoder,
                 const FrameHandlerOptions& options, const FrameChain* registrations_from,
                 ProgressListener* progress, Worker& worker) {
  worker.chain = make_frame_chain(state, decoder, options, registrations_from);
  if (!worker.chain) return false;
  worker.loop = make_conversion_loop(state, worker.chain->first);
  if (!worker.loop) return false;
  worker.loop->set_progress(progress);
  if (state.report != nullptr) {
    worker.report = state.report->make_log_report(worker.chain->handler.get());
    if (!worker.report) return false;
    worker.loop->set_report(worker.report.get());
  }
  return true;
}

int finish_worker(Worker& worker, RunCounters& counters) {
  const FrameChain& chain = *worker.chain;
  // Output that could not be closed is lost output.
  const int status = chain.handler->close_all() ? kResultOk : kResultFailed;
  const TransportCounters transport = chain.manager->counters();
  counters.tp_successful += transport.successful;
  counters.tp_failed += transport.failed;
  counters.writer_files += chain.handler->files();
  counters.writer_messages += chain.handler->messages();
  counters.writer_signals += chain.handler->signals();
  return status;
}

}  // namespace quillon
