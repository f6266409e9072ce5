// The J1939 transport session: reassembles one multi-packet parameter group
// sent as a TP.CM announcement (RTS or BAM, treated alike: the converter only
// listens) followed by TP.DT packets numbered 1..n of seven bytes each.
//
// The manager keeps one per channel and source/destination pair and feeds it
// the announcement and every TP.DT frame of that pair; clear-to-send,
// acknowledgement and abort frames never reach it. On kComplete the frame
// carries the whole message and its `id` names the announced group, keeping
// the frame's priority and source (and, for PDU1 groups, its destination), so
// the frame handler decodes it like a single-frame message of that group.
#pragma once

#include <cstddef>
#include <cstdint>

#include "input/frame.h"
#include "tp/session.h"

namespace quillon {

class J1939Session final : public TransportSession {
 public:
  // 255 packets of seven bytes: a larger announced size never completes.
  static constexpr uint32_t kMaxMessage = 255 * 7;
  // A message up to this size gets its whole buffer on its first packet.
  static constexpr size_t kReserveUpFront = 64;

  SessionResult process(Frame& frame) override;

 private:
  enum class State : uint8_t { kIdle, kReceiving, kComplete, kFailed };

  SessionResult on_connection_management(const Payload& p, uint32_t n);
  SessionResult on_data_transfer(const Payload& p, uint32_t n);
  void hand_over(Frame& frame);
  SessionResult fail() {
    state_ = State::kFailed;
    return SessionResult::kFailed;
  }

  State state_ = State::kIdle;
  uint32_t announced_pgn_ = 0;  // 18 bits used
  int32_t packets_ = 0;         // TP.DT packets accepted so far
  uint16_t total_size_ = 0;     // as announced; may exceed kMaxMessage
  Payload buffer_;
};

}  // namespace quillon
