// Helpers of the transport tests: a sink that keeps what reaches it, and an
// ISO-TP segmenter that cuts a message into frames the way a sender would.
#pragma once

#include <cstdint>
#include <vector>

#include "input/frame.h"
#include "input/sink.h"

namespace quillon::tp_test {

// Copies every frame it receives; answers `result`.
class RecordingSink : public FrameSink {
 public:
  bool on_frame(Frame& frame) override {
    Frame copy;
    copy.time = frame.time;
    copy.channel = frame.channel;
    copy.id = frame.id;
    copy.payload = frame.payload;
    copy.kind = frame.kind;
    copy.extended = frame.extended;
    copy.type_flag = frame.type_flag;
    copy.fd = frame.fd;
    copy.event = frame.event;
    frames.push_back(copy);
    return result;
  }
  bool on_file_start(const FileRecord&, bool continuation) override {
    starts.push_back(continuation);
    return true;
  }
  bool on_file_end(const FileRecord&) override {
    ++ends;
    return true;
  }

  std::vector<Frame> frames;
  std::vector<bool> starts;
  int ends = 0;
  bool result = true;
};

inline Frame can_frame(uint32_t id, std::vector<uint8_t> payload, bool extended = false,
                       uint8_t channel = 1, double time = 0) {
  Frame f;
  f.time = time;
  f.channel = channel;
  f.id = id;
  f.payload = std::move(payload);
  f.kind = kFrameCan;
  f.extended = extended ? 1 : 0;
  return f;
}

// The frames of one ISO-TP message. Classic frames hold at most 8 bytes,
// CAN FD frames 64; single frames are used up to 7 bytes (classic) or 62
// (CAN FD escape), first frames switch to the 32-bit length above 4095.
// With pad, every frame is filled up to its full size with 0xCC.
inline std::vector<std::vector<uint8_t>> segment(const std::vector<uint8_t>& message, bool fd,
                                                 bool pad) {
  const size_t frame_size = fd ? 64 : 8;
  std::vector<std::vector<uint8_t>> frames;
  auto finish = [&](std::vector<uint8_t> f) {
    if (pad) f.resize(frame_size, 0xCC);
    frames.push_back(std::move(f));
  };
  size_t n = message.size();
  if (n <= 7) {
    std::vector<uint8_t> f = {static_cast<uint8_t>(n)};
    f.insert(f.end(), message.begin(), message.end());
    finish(f);
    return frames;
  }
  if (fd && n <= 62) {
    std::vector<uint8_t> f = {0x00, static_cast<uint8_t>(n)};
    f.insert(f.end(), message.begin(), message.end());
    finish(f);
    return frames;
  }
  std::vector<uint8_t> first;
  if (n <= 4095) {
    first = {static_cast<uint8_t>(0x10 | (n >> 8)), static_cast<uint8_t>(n & 0xFF)};
  } else {
    first = {0x10,
             0x00,
             static_cast<uint8_t>(n >> 24),
             static_cast<uint8_t>(n >> 16),
             static_cast<uint8_t>(n >> 8),
             static_cast<uint8_t>(n)};
  }
  size_t pos = std::min(n, frame_size - first.size());
  first.insert(first.end(), message.begin(), message.begin() + static_cast<ptrdiff_t>(pos));
  finish(first);
  for (uint8_t sequence = 1; pos < n; sequence = (sequence + 1) & 0x0F) {
    size_t take = std::min(n - pos, frame_size - 1);
    std::vector<uint8_t> f = {static_cast<uint8_t>(0x20 | sequence)};
    f.insert(f.end(), message.begin() + static_cast<ptrdiff_t>(pos),
             message.begin() + static_cast<ptrdiff_t>(pos + take));
    pos += take;
    finish(f);
  }
  return frames;
}

}  // namespace quillon::tp_test
