// The MUX transport stage: between the transport-protocol manager and the
// frame handler. A reassembled container message of a registered (channel,
// key) is unpacked into the frames it carries; each gets the channel its
// index maps to and goes back through the manager, so an embedded frame may
// itself be part of a transport message. The container is not passed on.
// Every other frame is passed on unchanged.
//
// Embedded frame layout (bit 7 most significant):
//   byte 0: channel index (7-5), extended (4), FD (3), length code bits 3-1 (2-0)
//   byte 1: length code bit 0 (7), type flag (6), FD: bit-rate switch /
//           classic: remote (5), extended: id bits 28-24 / standard: id bits
//           10-8 in bits 2-0 (4-0)
//   byte 2: id bits 23-16 (extended) or 7-0 (standard)
//   bytes 3-4: id bits 15-0, extended only
//   then the data bytes of the length code (CAN FD lengths), none when remote.
// Bits 4-0 of byte 0 equal to 00111 mark a two-byte event record instead,
// byte 1 holding the event code.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "input/sink.h"

namespace quillon {

using MuxTargets = std::array<uint8_t, 4>;  // channel for embedded index 0 to 3

class MuxStage : public FrameSink {
 public:
  // Null when next is null or memory is short. Neither sink is owned;
  // manager may be null and set later.
  static std::unique_ptr<MuxStage> create(FrameSink* next, FrameSink* manager);
  // Where unpacked frames go; false (and unchanged) for null.
  bool set_manager(FrameSink* manager);

  // Only bus kind kBusCan is accepted. A (channel, key) already registered
  // keeps its first targets and gives true. False, with "Failed to configure
  // MUX message", when the entry cannot be stored.
  bool register_message(int32_t bus_kind, uint8_t channel, uint32_t key, const MuxTargets& targets);

  // Takes over every registration of other (a stage of another thread of
  // the run). False when memory is short.
  bool copy_registrations(const MuxStage& other);

  // For a container: the manager's result for the last embedded frame fed
  // back (true when none was). Otherwise the next sink's result.
  bool on_frame(Frame& frame) override;
  bool on_file_start(const FileRecord& file, bool continuation) override;
  bool on_file_end(const FileRecord& file) override;

  // The targets registered for (channel, key), or null.
  const MuxTargets* targets(uint8_t channel, uint32_t key) const { return find(channel, key); }

 private:
  MuxStage(FrameSink* next, FrameSink* manager) : next_(next), manager_(manager) {}
  const MuxTargets* find(uint8_t channel, uint32_t key) const;
  bool unpack(const Frame& container, const MuxTargets& targets);
  Frame* scratch_frame();

  FrameSink* next_;
  FrameSink* manager_;
  // Sorted by (channel << 32 | key).
  std::vector<std::pair<uint64_t, MuxTargets>> config_;
  // One record per nesting level (an embedded frame can complete another
  // container), reused so that unpacking allocates only while the levels
  // and payload capacities grow for the first time.
  std::vector<std::unique_ptr<Frame>> scratch_;
  size_t depth_ = 0;
};

}  // namespace quillon
