#include "tp/fast_packet_session.h"

#include <algorithm>
#include <memory>
#include <new>

namespace quillon {

namespace {

uint8_t sequence_of(uint8_t b) {
  return b >> 5;
}
uint8_t frame_counter_of(uint8_t b) {
  return b & 0x1F;
}

}  // namespace

SessionResult FastPacketSession::process(Frame& frame) {
  // Lengths are read as the 8-bit length code the bus knows.
  const uint32_t n = frame.payload.size() % 256;
  if (n == 0) return fail();

  SessionResult result;
  switch (state_) {
    case State::kIdle:
      result = on_first_frame(frame.payload, n);
      break;
    case State::kReceiving:
      result = on_further_frame(frame.payload, n);
      break;
    default:
      // A finished session takes nothing more.
      return fail();
  }
  if (result == SessionResult::kComplete) frame.payload.swap(buffer_);
  return result;
}

SessionResult FastPacketSession::on_first_frame(const Payload& p, uint32_t n) {
  // A transfer can only be joined at its first frame, which holds the length.
  if (frame_counter_of(p[0]) != 0 || n < 2) return fail();

  sequence_ = sequence_of(p[0]);
  frame_counter_ = 0;
  total_length_ = p[1];
  // A small message is reserved whole; a larger one grows as its frames
  // arrive, so a sender that only ever sends first frames holds little.
  buffer_.reserve(std::min<size_t>(total_length_, kReserveUpFront));
  // Short messages (up to six bytes) end here; the rest is padding.
  const size_t take = std::min<size_t>(total_length_, n - 2);
  buffer_.assign(p.begin() + 2, p.begin() + 2 + static_cast<ptrdiff_t>(take));
  state_ = State::kReceiving;
  return complete_if_whole();
}

SessionResult FastPacketSession::on_further_frame(const Payload& p, uint32_t n) {
  // A new first frame means the sender gave up on this transfer.
  if (frame_counter_of(p[0]) == 0) return fail();
  // Frames of another message from the same sender do not belong here.
  if (sequence_of(p[0]) != sequence_) return fail();
  // Frames arrive counted 1, 2, 3, ... with none missing or repeated.
  if (frame_counter_of(p[0]) != frame_counter_ + 1) return fail();

  ++frame_counter_;
  // The last frame's padding is not part of the message.
  const size_t take = std::min<size_t>(n - 1, total_length_ - buffer_.size());
  buffer_.insert(buffer_.end(), p.begin() + 1, p.begin() + 1 + static_cast<ptrdiff_t>(take));
  return complete_if_whole();
}

SessionResult FastPacketSession::complete_if_whole() {
  if (buffer_.size() < total_length_) return SessionResult::kInProgress;
  state_ = State::kComplete;
  return SessionResult::kComplete;
}

std::unique_ptr<TransportSession> make_fast_packet_session() {
  return std::unique_ptr<TransportSession>(new (std::nothrow) FastPacketSession());
}

}  // namespace quillon
