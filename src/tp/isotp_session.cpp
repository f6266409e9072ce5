#include "tp/isotp_session.h"

#include <algorithm>
#include <new>

#include "support/log.h"

namespace quillon {

namespace {

// Frame types: the high nibble of the first byte.
enum : uint8_t { kSingle = 0, kFirst = 1, kConsecutive = 2, kFlowControl = 3 };
// Flow statuses that keep a transfer going.
enum : uint8_t { kContinueToSend = 0, kWait = 1 };

}  // namespace

SessionResult IsoTpSession::process(Frame& frame) {
  // Lengths are read modulo 256, as the one-byte length fields are.
  uint32_t n = static_cast<uint32_t>(frame.payload.size() & 0xFF);
  if (n == 0) return fail();
  const uint8_t* p = frame.payload.data();
  switch (p[0] >> 4) {
    case kSingle:
      return single_frame(frame, p, n);
    case kFirst:
      return first_frame(p, n);
    case kConsecutive:
      return consecutive_frame(frame, p, n);
    case kFlowControl:
      return flow_control(p, n);
    default:
      return SessionResult::kFailed;  // no such frame type
  }
}

SessionResult IsoTpSession::single_frame(Frame& frame, const uint8_t* p, uint32_t n) {
  // A single frame inside a transfer breaks it and is itself lost.
  if (state_ != State::kIdle) return SessionResult::kFailed;
  uint32_t length = p[0] & 0x0F;
  uint32_t start = 1;
  if (length == 0) {
    // CAN FD escape: the length is the second byte.
    if (n < 2) return SessionResult::kFailed;
    length = p[1];
    start = 2;
  }
  if (n - start < length) return SessionResult::kFailed;  // announced more than it carries
  buffer_.assign(p + start, p + start + length);          // padding after it is dropped
  expected_ = length;
  state_ = State::kComplete;
  frame.payload.swap(buffer_);
  return SessionResult::kComplete;
}

SessionResult IsoTpSession::first_frame(const uint8_t* p, uint32_t n) {
  if (state_ != State::kIdle || n <= 1) return SessionResult::kFailed;
  uint32_t start;
  if (p[0] == 0x10 && p[1] == 0) {
    // Escape for lengths above 4095: a 32-bit big-endian length follows.
    if (n < 6) return SessionResult::kFailed;
    expected_ = (uint32_t{p[2]} << 24) | (uint32_t{p[3]} << 16) | (uint32_t{p[4]} << 8) | p[5];
    start = 6;
  } else {
    expected_ = ((p[0] & 0x0Fu) << 8) | p[1];
    start = 2;
  }
  // One allocation for the whole message; the limit caps what a first frame
  // can make us reserve.
  buffer_.reserve(std::min(expected_, kIsoTpMaxMessage));
  buffer_.assign(p + start, p + n);
  state_ = State::kReceiving;
  sequence_ = 0;
  return SessionResult::kInProgress;
}

SessionResult IsoTpSession::consecutive_frame(Frame& frame, const uint8_t* p, uint32_t n) {
  if (state_ != State::kReceiving) return SessionResult::kFailed;
  uint8_t number = p[0] & 0x0F;
  if (number != ((sequence_ + 1) & 0x0F)) return fail();  // a frame was lost or repeated
  sequence_ = number;
  // A first frame may already carry more than it announced; then nothing is
  // missing and the next consecutive frame completes the message.
  uint32_t missing =
      buffer_.size() < expected_ ? expected_ - static_cast<uint32_t>(buffer_.size()) : 0;
  uint32_t take = std::min(n - 1, missing);  // padding of the last frame is dropped
  buffer_.insert(buffer_.end(), p + 1, p + 1 + take);
  if (buffer_.size() > kIsoTpMaxMessage) {
    QLOG(LOG_WARN, "ISO-TP payload overflow (%u)", kIsoTpMaxMessage);
    return fail();
  }
  if (buffer_.size() < expected_) return SessionResult::kInProgress;
  state_ = State::kComplete;
  frame.payload.swap(buffer_);
  return SessionResult::kComplete;
}

SessionResult IsoTpSession::flow_control(const uint8_t* p, uint32_t n) {
  if (state_ != State::kReceiving) return SessionResult::kFailed;
  uint8_t status = p[0] & 0x0F;
  if (n >= 3 && (status == kContinueToSend || status == kWait)) return SessionResult::kInProgress;
  return fail();  // overflow, an unknown status, or a frame cut short
}

std::unique_ptr<TransportSession> make_isotp_session() {
  return std::unique_ptr<TransportSession>(new (std::nothrow) IsoTpSession());
}

}  // namespace quillon
