// A transport session: one sender's transfer of one multi-frame message.
// The manager owns one per (frame kind, channel, session key), feeds it every
// frame of that sender and releases it once it completes or fails.
#pragma once

#include <cstdint>
#include <memory>

#include "input/frame.h"

namespace quillon {

enum class SessionResult : int32_t {
  kInProgress = 0,  // the frame was taken in; more are needed
  kComplete = 1,    // the frame now carries the whole message
  kFailed = 2,      // the transfer is broken; the frame is lost with it
};

class TransportSession {
 public:
  virtual ~TransportSession() = default;
  // On kComplete the frame's payload has been exchanged with the reassembled
  // message, so the session holds the frame's former bytes until it is
  // destroyed. The default answers kFailed: an uninstalled variant never
  // passes data on.
  virtual SessionResult process(Frame& frame) {
    (void)frame;
    return SessionResult::kFailed;
  }
};

// One factory per variant, each in the variant's own source file; null when
// memory is exhausted. The manager picks one by transport type (ISO-TP also
// serves kTransportMux).
std::unique_ptr<TransportSession> make_isotp_session();
std::unique_ptr<TransportSession> make_j1939_session();
std::unique_ptr<TransportSession> make_fast_packet_session();

}  // namespace quillon
