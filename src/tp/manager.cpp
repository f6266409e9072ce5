#include "tp/manager.h"

#include <algorithm>
#include <new>

#include "dbc/database.h"
#include "dbc/j1939.h"
#include "support/log.h"
#include "support/sorted_table.h"

namespace quillon {

namespace {

bool supported(int32_t transport_type) {
  return transport_type == kTransportJ1939 || transport_type == kTransportNmea ||
         transport_type == kTransportIsoTp || transport_type == kTransportMux;
}

}  // namespace

std::unique_ptr<TransportSession> TransportManager::make_session(int32_t transport_type) {
  switch (transport_type) {
    case kTransportJ1939:
      return make_j1939_session();
    case kTransportNmea:
      return make_fast_packet_session();
    case kTransportIsoTp:
    case kTransportMux:  // sent as ISO-TP; the next stage unpacks it
      return make_isotp_session();
    default:
      return nullptr;
  }
}

std::unique_ptr<TransportManager> TransportManager::create(FrameSink* next) {
  if (next == nullptr) return nullptr;
  return std::unique_ptr<TransportManager>(new (std::nothrow) TransportManager(next));
}

bool TransportManager::register_message(int32_t bus_kind, uint8_t channel, uint32_t key,
                                        int32_t transport_type) {
  if (bus_kind == kBusJ1939) j1939_channel_[channel] = true;
  int32_t kind = bus_kind == kBusLin ? kFrameLin : kFrameCan;
  uint64_t packed = pack(kind, channel, key);
  // A message registered again keeps its first type.
  if (!insert_first(config_, packed, transport_type)) {
    QLOG(LOG_ERROR, "Failed to configure TP message (channel: %u, key: %X)", channel, key);
    return false;
  }
  return true;
}

bool TransportManager::copy_registrations(const TransportManager& other) {
  std::copy(std::begin(other.j1939_channel_), std::end(other.j1939_channel_), j1939_channel_);
  try {
    config_ = other.config_;
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

int32_t TransportManager::configured_type(uint64_t packed) const {
  const int32_t* type = find_sorted(config_, packed);
  return type ? *type : kTransportNone;
}

bool TransportManager::on_frame(Frame& frame) {
  if (frame.kind != kFrameCan && frame.kind != kFrameLin) return next_->on_frame(frame);
  bool extended = frame.extended != 0;
  bool j1939 = frame.kind == kFrameCan && extended && j1939_channel_[frame.channel];
  uint32_t lookup;
  if (j1939) {
    lookup = j1939_key(frame.id, true);
    if (lookup == kJ1939TpDtKey)
      lookup = kJ1939TpCmKey;  // data transfers find the announcement's entry
  } else if (frame.kind == kFrameCan) {
    lookup = can_key(frame.id, extended);
  } else {
    lookup = lin_key(frame.id);
  }
  int32_t type =
      config_.empty() ? kTransportNone : configured_type(pack(frame.kind, frame.channel, lookup));
  if (type == kTransportNone) return next_->on_frame(frame);

  // The session key keeps priority, destination and source address, so
  // every sender has its own transfer.
  uint32_t session_key = frame.kind == kFrameLin ? lin_key(frame.id) : can_key(frame.id, extended);
  if (type == kTransportJ1939) {
    uint32_t group = j1939_key(frame.id, true);
    if (group == kJ1939TpCmKey) {
      // Only a request to send or a broadcast announcement opens a transfer;
      // clear to send, acknowledgements and aborts carry no message data.
      if (frame.payload.empty() ||
          (frame.payload[0] != kJ1939ControlRts && frame.payload[0] != kJ1939ControlBam)) {
        return true;
      }
    } else if (group == kJ1939TpDtKey) {
      session_key = (session_key & ~0x00FF0000u) | 0x00EC0000u;  // share the TP.CM session
    }
  }

  uint64_t packed = pack(frame.kind, frame.channel, session_key);
  auto at = sessions_.find(packed);
  if (at == sessions_.end()) {
    if (!supported(type)) {
      QLOG(LOG_ERROR, "Unsupported transport protocol");
      QLOG(LOG_ERROR, "Failed to initialize TP session");
      return true;
    }
    std::unique_ptr<TransportSession> session = make_session(type);
    if (!session) {
      QLOG(LOG_ERROR, "Failed to initialize TP session");
      return true;
    }
    try {
      at = sessions_.emplace(packed, std::move(session)).first;
    } catch (const std::bad_alloc&) {
      QLOG(LOG_ERROR, "Failed to initialize TP session");
      return true;
    }
  }

  switch (at->second->process(frame)) {
    case SessionResult::kInProgress:
      return true;
    case SessionResult::kComplete: {
      // Out of the table before the frame travels on: the next stage may
      // feed unpacked frames back in here, and they must not meet a finished
      // session (or erase it under this call).
      std::unique_ptr<TransportSession> done = std::move(at->second);
      sessions_.erase(at);
      ++counters_.successful;
      return next_->on_frame(frame);
    }
    default:
      QLOG(LOG_INFO, "TP error (time: %f, id: 0x%X)", frame.time, frame.id);
      ++counters_.failed;
      sessions_.erase(at);
      return true;
  }
}

bool TransportManager::on_file_start(const FileRecord& file, bool continuation) {
  if (!continuation) sessions_.clear();
  return next_->on_file_start(file, continuation);
}

bool TransportManager::on_file_end(const FileRecord& file) {
  if (!sessions_.empty()) file.open_transfers = true;
  return next_->on_file_end(file);
}

TransportCounters TransportManager::counters() {
  counters_.unfinished = sessions_.size();
  return counters_;
}

}  // namespace quillon
