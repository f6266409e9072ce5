#include "app/tp_registration.h"

#include "support/log.h"
#include "support/pattern.h"

namespace quillon {

namespace {

// The low 8 bits of the decimal number (the pattern admits digits only).
uint8_t low_byte(const PatternCapture& group) {
  uint32_t value = 0;
  for (int32_t i = 0; i < group.length; ++i) {
    value = (value * 10 + static_cast<uint32_t>(group.text[i] - '0')) & 0xFF;
  }
  return static_cast<uint8_t>(value);
}

}  // namespace

bool register_transport_messages(const ChannelMap& can_channels, TransportManager& manager,
                                 MuxStage& mux) {
  CompiledPattern pattern;
  pattern_compile(pattern, "^MUXTP#(\\d+)\\:(\\d+)\\:(\\d+)\\:(\\d+)$");
  bool in_use = false;
  for (const auto& [channel, databases] : can_channels) {
    for (const std::unique_ptr<MessageDatabase>& db : databases) {
      if (db->bus_kind() == kBusJ1939) {
        if (!manager.register_message(kBusJ1939, channel, j1939_key(0x00EC0000, true),
                                      kTransportJ1939)) {
          QLOG(LOG_ERROR, "Failed to add TP config");
        }
        in_use = true;
      }
      for (const auto& [key, message] : db->messages()) {
        if (message->transport_type == kTransportNone) continue;
        if (!manager.register_message(db->bus_kind(), channel, key, message->transport_type)) {
          QLOG(LOG_ERROR, "Failed to add TP config");
        }
        in_use = true;
        if (message->transport_type != kTransportMux) continue;
        PatternCapture groups[PATTERN_MAX_SLOTS];
        if (pattern_match(pattern, message->transport_parameter.c_str(), groups) != PATTERN_MATCH) {
          QLOG(LOG_ERROR, "Failed to add MUX config");
          continue;
        }
        MuxTargets targets = {low_byte(groups[1]), low_byte(groups[2]), low_byte(groups[3]),
                              low_byte(groups[4])};
        if (!mux.register_message(kBusCan, channel, key, targets)) {
          QLOG(LOG_ERROR, "Failed to add TP config");
        }
      }
    }
  }
  return in_use;
}

}  // namespace quillon
