// ISO 15765-2 reassembly of one sender's message: a single frame (with the
// CAN FD escape for lengths above 15), or a first frame (with the 32-bit
// escape for lengths above 4095) followed by consecutive frames. The
// converter only listens, so flow-control frames are checked and ignored.
#pragma once

#include <cstdint>

#include "input/frame.h"
#include "tp/session.h"

namespace quillon {

// The longest message a session completes; a transfer that gathers more
// fails with "ISO-TP payload overflow (%u)".
constexpr uint32_t kIsoTpMaxMessage = 8192;

class IsoTpSession : public TransportSession {
 public:
  enum class State : uint8_t { kIdle, kReceiving, kComplete, kFailed };

  // On kComplete the frame's payload is exchanged with the message; every
  // other field of the frame is left as it was.
  SessionResult process(Frame& frame) override;

  State state() const { return state_; }

 private:
  SessionResult single_frame(Frame& frame, const uint8_t* p, uint32_t n);
  SessionResult first_frame(const uint8_t* p, uint32_t n);
  SessionResult consecutive_frame(Frame& frame, const uint8_t* p, uint32_t n);
  SessionResult flow_control(const uint8_t* p, uint32_t n);
  SessionResult fail() {
    state_ = State::kFailed;
    return SessionResult::kFailed;
  }

  State state_ = State::kIdle;
  uint8_t sequence_ = 0;   // of the last accepted consecutive frame, modulo 16
  uint32_t expected_ = 0;  // the length the single or first frame announced
  Payload buffer_;         // the bytes gathered; after completion the frame's old payload
};

}  // namespace quillon
