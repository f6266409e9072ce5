// Any frame sequence through the transport-protocol manager and the MUX
// stage into a counting sink. Input: a registration count byte, then
// registrations of 7 bytes (type and bus, channel, id, targets), then frames
// of [flags, channel, id (4 bytes), length, payload]. Channels are kept to
// 0-3 so that containers can feed each other's channels. A J1939 registration
// also registers the channel's J1939 transport, as every J1939 database does,
// and a frame flag turns an id into a TP.CM or TP.DT frame of its sender, so
// that announcements, data transfers and control frames meet often.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "dbc/database.h"
#include "input/sink.h"
#include "support/log.h"
#include "tp/isotp_session.h"
#include "tp/manager.h"
#include "tp/mux_stage.h"

namespace {

class CountingSink : public quillon::FrameSink {
 public:
  bool on_frame(quillon::Frame& frame) override {
    // Nothing longer than a whole ISO-TP message can come out, and only the
    // kinds the chain knows.
    if (frame.payload.size() > quillon::kIsoTpMaxMessage) std::abort();
    if (frame.kind < quillon::kFrameCan || frame.kind > quillon::kFrameLin) std::abort();
    ++frames;
    return (frame.id & 0xF) != 0xF;  // some frames stop the file, as a writer might
  }
  bool on_file_start(const quillon::FileRecord&, bool) override { return true; }
  bool on_file_end(const quillon::FileRecord&) override { return true; }
  uint64_t frames = 0;
};

uint32_t read32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 64 * 1024 || size == 0) return 0;
  quillon::log_set_threshold(quillon::LOG_NONE);
  CountingSink sink;
  auto mux = quillon::MuxStage::create(&sink, nullptr);
  auto manager = quillon::TransportManager::create(mux.get());
  if (!mux || !manager || !mux->set_manager(manager.get())) std::abort();

  static const int32_t kTypes[] = {quillon::kTransportIsoTp, quillon::kTransportMux,
                                   quillon::kTransportJ1939, quillon::kTransportNmea, 2};
  size_t pos = 0;
  size_t registrations = data[pos++] % 9;
  std::vector<uint32_t> ids;
  for (size_t r = 0; r < registrations && pos + 7 <= size; ++r, pos += 7) {
    const uint8_t* p = data + pos;
    int32_t type = kTypes[(p[0] & 0x0F) % 5];
    int32_t bus = 1 + (p[0] >> 4) % 3;
    uint8_t channel = p[1] % 4;
    uint32_t id = read32(p + 2) & 0x9FFFFFFF;  // bit 31: extended
    bool extended = (id >> 31) != 0;
    id &= 0x1FFFFFFF;
    uint32_t key = bus == quillon::kBusLin     ? quillon::lin_key(id)
                   : bus == quillon::kBusJ1939 ? quillon::j1939_key(id, extended)
                                               : quillon::can_key(id, extended);
    if (bus == quillon::kBusJ1939) {
      manager->register_message(bus, channel, quillon::j1939_key(0x00EC0000, true),
                                quillon::kTransportJ1939);
    }
    manager->register_message(bus, channel, key, type);
    if (type == quillon::kTransportMux) {
      uint8_t t = p[6];
      mux->register_message(bus, channel, key,
                            {static_cast<uint8_t>(t & 3), static_cast<uint8_t>(t >> 2 & 3),
                             static_cast<uint8_t>(t >> 4 & 3), static_cast<uint8_t>(t >> 6)});
    }
    ids.push_back(id);
  }

  quillon::Frame frame;
  quillon::FileRecord file;
  uint64_t fed = 0;
  while (pos + 7 <= size) {
    const uint8_t* p = data + pos;
    uint8_t flags = p[0];
    if (flags == 0xFF) {  // a new file, continuing the last one or not
      manager->on_file_start(file, (p[1] & 1) != 0);
      pos += 2;
      continue;
    }
    frame.reset();
    frame.kind = 1 + (flags & 3);
    frame.extended = (flags >> 2) & 1;
    frame.channel = p[1] % 4;
    // Mostly the registered ids (with another source address now and then),
    // so that transfers happen.
    uint32_t id = read32(p + 2);
    if ((flags & 0x30) != 0 && !ids.empty())
      id = ids[id % ids.size()] ^ ((flags & 0x40) ? 0 : id & 0xFF);
    // Bit 3: a J1939 transport frame of this sender and destination (bit 7
    // chooses TP.CM or TP.DT), extended, keeping priority and addresses.
    if ((flags & 0x08) != 0) {
      id = (id & 0x1C00FFFF) | ((flags & 0x80) ? 0x00EC0000u : 0x00EB0000u);
      frame.extended = 1;
    }
    frame.id = id;
    frame.time = static_cast<double>(fed) * 0.001;
    size_t length = p[6] % 65;
    pos += 7;
    if (length > size - pos) length = size - pos;
    frame.payload.assign(data + pos, data + pos + length);
    pos += length;
    manager->on_frame(frame);
    ++fed;
  }
  quillon::TransportCounters c = manager->counters();
  if (c.unfinished != manager->open_sessions()) std::abort();
  return 0;
}
