// The fast-packet session: reassembles one NMEA 2000 fast-packet message, a
// first frame (frame counter 0, total length, six data bytes) followed by
// frames counted 1, 2, ... of seven data bytes each, all under one identifier
// and one 3-bit sequence counter.
//
// The manager keeps one per sender (the whole identifier) of a fast-packet
// message. On kComplete the frame carries the whole message; `id` is left
// as it was.
#pragma once

#include <cstddef>
#include <cstdint>

#include "input/frame.h"
#include "tp/session.h"

namespace quillon {

class FastPacketSession final : public TransportSession {
 public:
  // Six bytes in the first frame and seven in each of 31 further frames: a
  // longer announced length never completes.
  static constexpr uint32_t kMaxMessage = 6 + 31 * 7;
  // A message up to this size gets its whole buffer on its first frame.
  static constexpr size_t kReserveUpFront = 64;

  SessionResult process(Frame& frame) override;

 private:
  enum class State : uint8_t { kIdle, kReceiving, kComplete, kFailed };

  SessionResult on_first_frame(const Payload& p, uint32_t n);
  SessionResult on_further_frame(const Payload& p, uint32_t n);
  SessionResult complete_if_whole();
  SessionResult fail() {
    state_ = State::kFailed;
    return SessionResult::kFailed;
  }

  State state_ = State::kIdle;
  uint8_t sequence_ = 0;       // bits 7-5 of the first frame's byte 0
  int32_t frame_counter_ = 0;  // further frames accepted so far
  uint8_t total_length_ = 0;   // as announced; may exceed kMaxMessage
  Payload buffer_;
};

}  // namespace quillon
