// The reader's timestamp rules (the roll-over of compact times, frames that
// go backwards, a frame far ahead of those around it) against a plain model
// of them over whole lines, on random logs of jitter, outliers, gaps, junk
// and midnight roll-overs, read through every kind of stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "input/log_reader.h"
#include "input/memory_stream.h"
#include "platform/calendar.h"
#include "support/log.h"

namespace quillon {
namespace {

struct Outcome {
  std::vector<std::pair<uint32_t, double>> frames;  // id and time of every frame returned
  uint64_t out_of_order = 0, outliers = 0;
  bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Outcome& o) {
  os << o.frames.size() << " frames, " << o.out_of_order << " back, " << o.outliers << " outliers:";
  for (const auto& [id, time] : o.frames) os << ' ' << id << '@' << std::fixed << time;
  return os;
}

// The rules as plainly as they can be said: the lines after the column
// header, each up to its line feed or 199 bytes; the timestamp is the first
// value, the identifier the third.
class Model {
 public:
  Model(const std::string& header_digits, int format) : format_(format) {
    template_ = "19700101000000000";
    template_.replace(0, header_digits.size(), header_digits);
  }

  Outcome run(const std::string& data) const {
    std::vector<std::string> lines;
    for (size_t at = 0; at < data.size();) {
      size_t end = std::min(data.size(), at + LogReader::kMaxLine);
      const size_t feed = data.find('\n', at);
      const bool has_feed = feed != std::string::npos && feed < end;
      lines.push_back(data.substr(at, (has_feed ? feed : end) - at));
      at = has_feed ? feed + 1 : end;
    }
    Outcome out;
    State state;
    double accepted = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
      const State before = state;
      double t;
      if (!time_of(lines[i], state, t)) continue;
      if (t < accepted) {
        out.out_of_order += 1;
        continue;
      }
      // The lines after the first frame are read after it.
      if (t - accepted > LogReader::kJump &&
          outlier(lines, i, out.frames.empty() ? state : before, t, accepted)) {
        state = before;
        out.outliers += 1;
        continue;
      }
      accepted = t;
      out.frames.emplace_back(id_of(lines[i]), t);
    }
    return out;
  }

 private:
  struct State {
    double rollover = 0, last = 0;
  };

  bool outlier(const std::vector<std::string>& lines, size_t i, State state, double t,
               double accepted) const {
    const double back = std::min(LogReader::kJump, (t - accepted) / 2);
    int returning = 0, going_on = 0;
    for (size_t j = i + 1; j < lines.size() && returning + going_on < LogReader::kConfirm; ++j) {
      double u;
      if (!time_of(lines[j], state, u)) continue;
      (u < t - back ? returning : going_on) += 1;
    }
    return returning > going_on;
  }

  bool time_of(const std::string& line, State& state, double& time) const {
    const std::string value = line.substr(0, line.find(';'));
    std::string digits;
    for (char c : value) {
      if (c == 'T') continue;
      if (c < '0' || c > '9') return false;
      if (digits.size() < 17) digits += c;
    }
    std::string t = template_;
    t.replace(17 - digits.size(), digits.size(), digits);
    auto field = [&](int at, int n) { return std::stoll(t.substr(at, n)); };
    const int64_t seconds =
        platform::civil_to_seconds(field(0, 4), field(4, 2), field(6, 2), 0, 0, 0) +
        field(8, 2) * 3600 + field(10, 2) * 60 + field(12, 2);
    time =
        static_cast<double>(seconds) + static_cast<double>(field(14, 3)) * 0.001 + state.rollover;
    const double period = format_ == 1 ? 60 : format_ == 2 ? 3600 : format_ == 3 ? 86400 : 0;
    if (time < state.last && period != 0 && state.last - time > 1.0) {
      state.rollover += period;
      time += period;
    }
    state.last = time;
    return true;
  }

  static uint32_t id_of(const std::string& line) {
    size_t a = line.find(';');
    if (a == std::string::npos) return 0;
    a = line.find(';', a + 1);
    if (a == std::string::npos) return 0;
    return static_cast<uint32_t>(std::stoul(line.substr(a + 1, 8), nullptr, 16));
  }

  int format_;
  std::string template_;
};

// A log of a clock that runs on in small steps, with the faults a card and
// a logger give it. compact: times of day ("hhmmssmmm", time format 3).
std::string random_data(std::mt19937& rng, bool compact, int lines) {
  auto chance = [&](unsigned percent) { return rng() % 100 < percent; };
  int64_t clock = 0;  // milliseconds after the header's time (23:59:00)
  std::string data;
  auto stamp = [&](int64_t ms) {
    char text[32];
    const int64_t day_ms = (ms + 86340000) % 86400000;
    if (compact) {
      std::snprintf(text, sizeof text, "%02d%02d%02d%03d", int(day_ms / 3600000),
                    int(day_ms / 60000 % 60), int(day_ms / 1000 % 60), int(day_ms % 1000));
    } else {
      const int day = 1 + static_cast<int>((ms + 86340000) / 86400000);
      std::snprintf(text, sizeof text, "202001%02dT%02d%02d%02d%03d", day, int(day_ms / 3600000),
                    int(day_ms / 60000 % 60), int(day_ms / 1000 % 60), int(day_ms % 1000));
    }
    return std::string(text);
  };
  for (int i = 0; i < lines; ++i) {
    std::string value = stamp(clock);
    if (chance(3)) {
      // A damaged digit: ahead (an outlier), or behind.
      value[rng() % value.size()] = static_cast<char>('0' + rng() % 10);
      if (value.find('T') == std::string::npos && !compact) value[8] = 'T';
    } else if (chance(4)) {
      value = stamp(std::max<int64_t>(0, clock - static_cast<int64_t>(rng() % 2500)));  // jitter
    } else if (chance(2)) {
      // A line of junk, at times longer than a line: its pieces are lines.
      const char* alphabet = chance(50) ? "0123456789" : "0123456789abcXYZ T";
      const size_t length = 1 + rng() % 450;
      std::string junk;
      for (size_t k = 0; k < length; ++k) junk += alphabet[rng() % std::strlen(alphabet)];
      data += junk + "\n";
      continue;
    } else if (chance(1)) {
      clock += 2000 + rng() % 600000;  // a real gap, up to ten minutes
      value = stamp(clock);
    }
    char rest[48];
    std::snprintf(rest, sizeof rest, ";1;%08X;8;0102030405060708\n", static_cast<unsigned>(i));
    data += value + rest;
    clock += rng() % 40;
  }
  return data;
}

Outcome read(const std::string& log, int64_t buffer, bool peeking) {
  auto memory = std::make_unique<test::MemoryStream>(log);
  std::unique_ptr<ByteStream> stream;
  if (buffer == 0) {
    stream = std::move(memory);
  } else {
    stream = BufferedReader::create(std::move(memory), buffer);
  }
  auto reader = LogReader::create(stream.get());
  Outcome out;
  EXPECT_TRUE(reader);
  if (!reader) return out;
  EXPECT_TRUE(reader->seek_to_data());
  Frame frame;
  FrameHint hints[4];
  while (reader->next_frame(frame)) {
    out.frames.emplace_back(frame.id, frame.time);
    if (peeking) reader->peek(hints, 2);
  }
  EXPECT_FALSE(reader->lost_place());
  out.out_of_order = reader->out_of_order();
  out.outliers = reader->outliers();
  EXPECT_EQ(reader->frames_timed(), out.frames.size() + out.out_of_order + out.outliers);
  return out;
}

TEST(TimestampRule, TheReaderFollowsAPlainModelOfItsRules) {
  const int32_t saved = log_threshold;
  log_set_threshold(LOG_ERROR);  // warnings by the hundred otherwise
  uint64_t outliers = 0, back = 0;
  for (unsigned seed = 1; seed <= 240; ++seed) {
    std::mt19937 rng(seed);
    const bool compact = seed % 2 == 0;
    const std::string data = random_data(rng, compact, 50 + static_cast<int>(rng() % 400));
    const std::string log = std::string("# Logger ID: L\n# Session No.: 1\n# Split No.: 1\n") +
                            "# Time: 20200101T235900\n# Value separator: \";\"\n" +
                            "# Time format: " + (compact ? "3" : "0") +
                            "\nTimestamp;Type;ID;Length;Data\n" + data;
    const Outcome expected = Model("20200101235900", compact ? 3 : 0).run(data);
    outliers += expected.outliers;
    back += expected.out_of_order;
    const int64_t whole = static_cast<int64_t>(log.size());
    for (int64_t buffer : {int64_t(0), int64_t(64), int64_t(256), int64_t(4096), whole}) {
      ASSERT_EQ(read(log, buffer, buffer % 2 == 0), expected)
          << "seed " << seed << ", buffer " << buffer << "\n"
          << log;
    }
  }
  log_set_threshold(saved);
  // The logs hold what the rules are about.
  EXPECT_GT(outliers, 200u);
  EXPECT_GT(back, 200u);
}

}  // namespace
}  // namespace quillon
