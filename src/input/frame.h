// The one shape in which a bus frame travels through the converter.
#pragma once

#include <cstdint>
#include <vector>

namespace quillon {

enum FrameKind : int32_t {
  kFrameCan = 1,        // CAN data frame
  kFrameCanNoData = 2,  // CAN frame without payload (remote bit on a non-FD frame)
  kFrameEvent = 3,      // logger event record
  kFrameLin = 4,        // LIN frame; only the low 6 bits of id count
};

// Payload bytes. The record owns them; a consumer may swap in another buffer
// (reassembly hands over a whole message this way). Clearing keeps the
// capacity, so reading a log does not allocate per frame.
using Payload = std::vector<uint8_t>;

struct FrameBits {
  uint8_t brs;
  uint8_t remote;
  uint8_t dlc;  // length code as read; consumers use payload.size()
  uint8_t spare1;
};

// Where a frame a few lines ahead will probably go: read from a line before
// it is parsed, so that the stages can fetch what that frame will need while
// the frames before it are converted. Only ever a hint: it may name a line
// that gives no frame, and results never depend on it.
struct FrameHint {
  uint32_t id = 0;
  int32_t kind = 0;
  uint8_t channel = 0;
  uint8_t extended = 0;
};

struct Frame {
  double time = 0;  // seconds since 1970, the logger's clock digits read as UTC
  uint8_t channel = 0;
  uint32_t id = 0;  // as read: 11 or 29 bits, no masking
  Payload payload;
  int32_t kind = 0;
  uint8_t extended = 0;   // 1: id is a 29-bit identifier
  uint8_t type_flag = 0;  // bit 3 of the log's Type value; read by nobody
  uint8_t fd = 0;
  uint8_t spare0 = 0;
  // Kind 3 carries an event code where the other kinds carry brs..spare1.
  union {
    FrameBits bits;
    int32_t event;
  };

  // The lines a few ahead, hinted beside this frame by the conversion loop
  // (0 to 2 of them, in line order). The last stage reads them to fetch
  // memory ahead, never to change a result, and sets hints_wanted to say
  // whether hints are of use to it now (the loop then sends them less
  // often). Neither is touched by reset or read by any other stage.
  FrameHint hints[2];
  uint8_t hint_count = 0;
  bool hints_wanted = true;

  Frame() : event(0) {}

  // All zero with an empty payload; the payload's storage is kept.
  void reset() {
    time = 0;
    channel = 0;
    id = 0;
    payload.clear();
    kind = 0;
    extended = 0;
    type_flag = 0;
    fd = 0;
    spare0 = 0;
    event = 0;
  }
};

}  // namespace quillon
