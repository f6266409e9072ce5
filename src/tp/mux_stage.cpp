#include "tp/mux_stage.h"

#include <algorithm>
#include <new>

#include "dbc/database.h"
#include "support/log.h"
#include "support/sorted_table.h"

namespace quillon {

namespace {

// Data bytes of each length code: classic up to 8, then the CAN FD steps.
constexpr uint8_t kDataLength[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};
constexpr uint8_t kEventMark = 0x07;  // bits 4-0 of byte 0 of an event record
constexpr uint8_t kLastEventCode = 5;
constexpr unsigned kIndexes = 4;  // indexes 4 to 7 have no target and are skipped

uint64_t pack(uint8_t channel, uint32_t key) {
  return (uint64_t{channel} << 32) | key;
}

}  // namespace

std::unique_ptr<MuxStage> MuxStage::create(FrameSink* next, FrameSink* manager) {
  if (next == nullptr) return nullptr;
  return std::unique_ptr<MuxStage>(new (std::nothrow) MuxStage(next, manager));
}

bool MuxStage::set_manager(FrameSink* manager) {
  if (manager == nullptr) return false;
  manager_ = manager;
  return true;
}

bool MuxStage::copy_registrations(const MuxStage& other) {
  try {
    config_ = other.config_;
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool MuxStage::register_message(int32_t bus_kind, uint8_t channel, uint32_t key,
                                const MuxTargets& targets) {
  if (bus_kind != kBusCan) return false;
  uint64_t packed = pack(channel, key);
  // A message registered again keeps its first targets.
  if (!insert_first(config_, packed, targets)) {
    QLOG(LOG_ERROR, "Failed to configure MUX message (channel: %u, key: %X)", channel, key);
    return false;
  }
  return true;
}

const MuxTargets* MuxStage::find(uint8_t channel, uint32_t key) const {
  uint64_t packed = pack(channel, key);
  return find_sorted(config_, packed);
}

bool MuxStage::on_frame(Frame& frame) {
  if (frame.kind == kFrameCan && !config_.empty()) {
    const MuxTargets* targets = find(frame.channel, can_key(frame.id, frame.extended != 0));
    if (targets != nullptr) return unpack(frame, *targets);
  }
  return next_->on_frame(frame);
}

bool MuxStage::on_file_start(const FileRecord& file, bool continuation) {
  return next_->on_file_start(file, continuation);
}

bool MuxStage::on_file_end(const FileRecord& file) {
  return next_->on_file_end(file);
}

Frame* MuxStage::scratch_frame() {
  if (depth_ < scratch_.size()) return scratch_[depth_].get();
  std::unique_ptr<Frame> frame(new (std::nothrow) Frame());
  if (!frame) return nullptr;
  try {
    scratch_.push_back(std::move(frame));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  return scratch_.back().get();
}

bool MuxStage::unpack(const Frame& container, const MuxTargets& targets) {
  Frame* embedded = scratch_frame();
  if (embedded == nullptr) return true;  // out of memory: the container is lost, the file goes on
  ++depth_;
  bool result = true;
  const uint8_t* p = container.payload.data();
  size_t left = container.payload.size();
  while (left > 0) {
    Frame& f = *embedded;
    f.reset();
    unsigned index = p[0] >> 5;
    size_t used;
    if ((p[0] & 0x1F) == kEventMark) {
      // An event record whose code byte is missing ends the container.
      if (left < 2) break;
      f.kind = kFrameEvent;
      f.event = p[1] >= 1 && p[1] <= kLastEventCode ? p[1] : 0;
      used = 2;
    } else {
      bool extended = (p[0] & 0x10) != 0;
      size_t header = extended ? 5 : 3;
      if (left < header) break;  // cut short: what came before stays delivered
      uint8_t code = static_cast<uint8_t>(((p[0] & 0x07) << 1) | (p[1] >> 7));
      f.kind = kFrameCan;
      f.extended = extended ? 1 : 0;
      f.fd = (p[0] >> 3) & 1;
      f.type_flag = (p[1] >> 6) & 1;
      f.bits.dlc = code;
      if (f.fd) {
        f.bits.brs = (p[1] >> 5) & 1;
      } else {
        f.bits.remote = (p[1] >> 5) & 1;
      }
      if (extended) {
        f.id =
            (uint32_t{p[1] & 0x1Fu} << 24) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 8) | p[4];
      } else {
        f.id = (uint32_t{p[1] & 0x07u} << 8) | p[2];
      }
      used = header;
      if (f.bits.remote) {
        f.kind = kFrameCanNoData;
      } else {
        size_t length = kDataLength[code];
        if (left - header < length) break;
        f.payload.assign(p + header, p + header + length);
        used += length;
      }
    }
    p += used;
    left -= used;
    if (index >= kIndexes) continue;
    f.time = container.time;
    f.channel = targets[index];
    // Never back onto the container's own channel: a container must not be
    // able to feed itself.
    if (f.channel == container.channel) continue;
    if (manager_ != nullptr) result = manager_->on_frame(f);
  }
  embedded->reset();
  --depth_;
  return result;
}

}  // namespace quillon
