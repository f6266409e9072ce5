#include "tp/j1939_session.h"

#include <algorithm>
#include <memory>
#include <new>

#include "dbc/j1939.h"

namespace quillon {

namespace {

// The parameter group a frame's identifier names: for PDU1 formats the low
// byte is a destination address, not part of the group.
uint32_t pgn_of(uint32_t id) {
  uint32_t pgn = (id >> 8) & 0x3FFFF;
  if (j1939_has_destination(j1939_pdu_format(id))) pgn &= ~uint32_t{0xFF};
  return pgn;
}

}  // namespace

SessionResult J1939Session::process(Frame& frame) {
  // Lengths are read as the 8-bit length code the bus knows.
  const uint32_t n = frame.payload.size() % 256;
  const uint32_t pgn = pgn_of(frame.id);
  // Not a transport frame: refuse it without touching the transfer.
  if (pgn != kJ1939PgnDataTransfer && pgn != kJ1939PgnConnectionManagement)
    return SessionResult::kFailed;
  if (n == 0) return fail();

  SessionResult result = pgn == kJ1939PgnConnectionManagement
                             ? on_connection_management(frame.payload, n)
                             : on_data_transfer(frame.payload, n);
  if (result == SessionResult::kComplete) hand_over(frame);
  return result;
}

SessionResult J1939Session::on_connection_management(const Payload& p, uint32_t n) {
  // A repeated announcement from the same sender does not restart the transfer.
  if (state_ == State::kReceiving) return SessionResult::kInProgress;
  // Only RTS and BAM open a transfer, and only on a fresh session.
  if (state_ != State::kIdle || (p[0] != kJ1939ControlRts && p[0] != kJ1939ControlBam)) {
    return SessionResult::kFailed;
  }
  // Every transport frame is a full eight bytes.
  if (n != 8) return fail();

  total_size_ = static_cast<uint16_t>(p[1] | p[2] << 8);
  // Byte 3 (number of packets) is not checked: the size alone decides.
  announced_pgn_ = p[5] | p[6] << 8 | static_cast<uint32_t>(p[7]) << 16;
  packets_ = 0;
  state_ = State::kReceiving;
  return SessionResult::kInProgress;
}

SessionResult J1939Session::on_data_transfer(const Payload& p, uint32_t n) {
  // Data without an announcement belongs to no transfer we know.
  if (state_ != State::kReceiving) return fail();
  // Every transport frame is a full eight bytes.
  if (n != 8) return fail();
  // Packets arrive numbered 1, 2, 3, ... with none missing or repeated.
  if (p[0] != packets_ + 1) return fail();

  ++packets_;
  // The last packet's padding is not part of the message.
  const size_t take = std::min<size_t>(7, total_size_ - buffer_.size());
  // Announcements alone cost no buffer, and a sender holds little more than
  // it has sent: a small message is reserved whole on its first packet, a
  // larger one doubles as its packets arrive, never past its size. Reserving
  // the announced size at once would let one packet per sender hold 1785
  // bytes for each of the channel's half million sender pairs.
  const size_t need = buffer_.size() + take;
  if (need > buffer_.capacity()) {
    const size_t limit = std::min<size_t>(total_size_, kMaxMessage);  // never below need
    buffer_.reserve(std::min(limit, std::max({2 * buffer_.capacity(), kReserveUpFront, need})));
  }
  buffer_.insert(buffer_.end(), p.begin() + 1, p.begin() + 1 + static_cast<ptrdiff_t>(take));
  if (buffer_.size() < total_size_) return SessionResult::kInProgress;
  state_ = State::kComplete;
  return SessionResult::kComplete;
}

void J1939Session::hand_over(Frame& frame) {
  frame.payload.swap(buffer_);
  const uint32_t g = announced_pgn_;
  if (!j1939_has_destination(j1939_pgn_pdu_format(g))) {
    // PDU2: the group fills bits 8 to 25.
    frame.id = (frame.id & 0x1C0000FF) | ((g & 0x3FFFF) << 8);
  } else {
    // PDU1: bits 8 to 15 stay the destination the transfer was sent to.
    frame.id = (frame.id & 0x1C00FFFF) | ((g & 0x3FF00) << 8);
  }
}

std::unique_ptr<TransportSession> make_j1939_session() {
  return std::unique_ptr<TransportSession>(new (std::nothrow) J1939Session());
}

}  // namespace quillon
