// The transport-protocol manager: the first frame sink whenever a transport
// message is registered. A frame of a registered message goes to the
// reassembly session of its sender and, once the session completes, is
// passed on carrying the whole message; every other frame is passed on
// unchanged, with one lookup and no allocation.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "input/sink.h"
#include "tp/session.h"

namespace quillon {

struct TransportCounters {
  uint64_t successful = 0;
  uint64_t failed = 0;
  uint64_t unfinished = 0;  // sessions still open when the counters were taken
};

class TransportManager : public FrameSink {
 public:
  // Null when next is null or memory is short. next is not owned.
  static std::unique_ptr<TransportManager> create(FrameSink* next);

  // Frames of (bus kind's frame kind, channel, key) travel under the
  // transport type (kTransportJ1939, kTransportNmea, kTransportIsoTp,
  // kTransportMux). Bus kind kBusJ1939 also marks the channel as J1939, so
  // that its extended frames are looked up by J1939 key. A key already
  // registered keeps its first type and gives true. False, with "Failed to
  // configure TP message", when the entry cannot be stored.
  bool register_message(int32_t bus_kind, uint8_t channel, uint32_t key, int32_t transport_type);

  // Never false on its own account: only the next sink's result stops a file.
  bool on_frame(Frame& frame) override;
  // A file that does not continue the previous one drops every open session
  // uncounted, so a message is never joined from two unrelated logs.
  bool on_file_start(const FileRecord& file, bool continuation) override;
  bool on_file_end(const FileRecord& file) override;

  // Takes over every registration of other (a manager of another thread
  // of the run). False when memory is short.
  bool copy_registrations(const TransportManager& other);

  // Unfinished is the number of sessions open now.
  TransportCounters counters();
  size_t open_sessions() const { return sessions_.size(); }
  // The type registered for (frame kind, channel, lookup key), or
  // kTransportNone.
  int32_t transport_type(int32_t frame_kind, uint8_t channel, uint32_t key) const {
    return configured_type(pack(frame_kind, channel, key));
  }

 protected:
  explicit TransportManager(FrameSink* next) : next_(next) {}
  // A new session for a supported transport type, null when memory is
  // short; a seam for sessions that follow a script.
  virtual std::unique_ptr<TransportSession> make_session(int32_t transport_type);

 private:
  // Frame kind, channel and key in one number that orders as the triple.
  static uint64_t pack(int32_t kind, uint8_t channel, uint32_t key) {
    return (uint64_t{static_cast<uint8_t>(kind)} << 40) | (uint64_t{channel} << 32) | key;
  }
  // The configured transport type, or kTransportNone.
  int32_t configured_type(uint64_t packed) const;

  FrameSink* next_;
  bool j1939_channel_[256] = {};
  // Sorted by packed key: registrations happen once, lookups on every frame.
  std::vector<std::pair<uint64_t, int32_t>> config_;
  std::map<uint64_t, std::unique_ptr<TransportSession>> sessions_;
  TransportCounters counters_;
};

}  // namespace quillon
