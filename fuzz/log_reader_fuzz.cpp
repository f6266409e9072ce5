// Any bytes as a log file through the log reader, read five ways: straight
// from the stream, through a buffer smaller than a line, through windows
// that hold a few lines and the default window, and read whole; each
// buffered reading once more with hints asked for ahead of every frame. All
// must give the same frames and count the same lines.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "input/conversion_loop.h"
#include "input/log_reader.h"
#include "input/stream.h"
#include "support/log.h"

namespace {

struct Seen {
  double time;
  uint32_t id;
  uint8_t extended, type_flag, dlc;
  uint8_t payload[8];
  size_t length;
};

// The frames of one reading; false when the reader refused the file.
bool read_all(const uint8_t* data, size_t size, int64_t buffer, std::vector<Seen>& out,
              uint64_t& lines, bool peek = false) {
  std::unique_ptr<quillon::ByteStream> stream = std::make_unique<quillon::BytesStream>(
      std::string_view(reinterpret_cast<const char*>(data), size));
  if (buffer > 0) stream = quillon::BufferedReader::create(std::move(stream), buffer);
  auto reader = quillon::LogReader::create(stream.get());
  if (!reader) return false;
  if (!reader->seek_to_data()) std::abort();
  quillon::Frame frame;
  while (reader->next_frame(frame)) {
    if (frame.payload.size() > 8 || frame.channel != 1 || frame.kind != 1) std::abort();
    Seen s{frame.time, frame.id, frame.extended, frame.type_flag, frame.bits.dlc, {}, 0};
    s.length = frame.payload.size();
    if (s.length > 0) std::memcpy(s.payload, frame.payload.data(), s.length);
    out.push_back(s);
    if (peek) {
      quillon::FrameHint hints[4];
      const int lead = static_cast<int>(out.size() % 5);  // 0 to 4, changing
      if (reader->peek(hints, lead) > lead) std::abort();
    }
  }
  if (reader->frames_returned() != out.size()) std::abort();
  lines = reader->frame_lines();
  return true;
}

bool same(const std::vector<Seen>& a, const std::vector<Seen>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::memcmp(&a[i].time, &b[i].time, sizeof(double)) != 0 || a[i].id != b[i].id ||
        a[i].extended != b[i].extended || a[i].type_flag != b[i].type_flag ||
        a[i].dlc != b[i].dlc || a[i].length != b[i].length ||
        std::memcmp(a[i].payload, b[i].payload, a[i].length) != 0)
      return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 64 * 1024) return 0;
  quillon::log_set_threshold(quillon::LOG_NONE);
  std::vector<Seen> direct;
  uint64_t direct_lines = 0;
  const bool a = read_all(data, size, 0, direct, direct_lines);
  const int64_t buffers[] = {8, 256, quillon::ConversionOptions::kDefaultBuffer,
                             static_cast<int64_t>(size)};
  for (int64_t buffer : buffers) {
    if (buffer == 0) continue;  // no buffer of size 0
    std::vector<Seen> frames;
    uint64_t lines = 0;
    for (bool peek : {false, true}) {
      frames.clear();
      const bool b = read_all(data, size, buffer, frames, lines, peek);
      if (a != b || !same(direct, frames) || lines != direct_lines) std::abort();
    }
  }
  return 0;
}
