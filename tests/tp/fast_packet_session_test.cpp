#include "tp/fast_packet_session.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "input/frame.h"
#include "tp/session.h"

namespace quillon {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr SessionResult kMore = SessionResult::kInProgress;
constexpr SessionResult kDone = SessionResult::kComplete;
constexpr SessionResult kFail = SessionResult::kFailed;

Frame frame(uint32_t id, Bytes payload) {
  Frame f;
  f.time = 1715904000.5;
  f.channel = 1;
  f.kind = kFrameCan;
  f.extended = 1;
  f.id = id;
  f.payload = std::move(payload);
  return f;
}

// Test-only segmenter: a first frame with the length and six bytes, then
// frames counted 1, 2, ... of seven bytes. With `pad` every frame is eight
// bytes (0xFF fill); without, the last frame ends with the data.
std::vector<Frame> segment(uint32_t id, uint8_t sequence, const Bytes& data, bool pad) {
  std::vector<Frame> frames;
  size_t at = 0;
  for (uint8_t counter = 0; counter == 0 || at < data.size(); ++counter) {
    Bytes p{static_cast<uint8_t>(sequence << 5 | counter)};
    if (counter == 0) p.push_back(static_cast<uint8_t>(data.size()));
    while (p.size() < 8 && at < data.size()) p.push_back(data[at++]);
    while (pad && p.size() < 8) p.push_back(0xFF);
    frames.push_back(frame(id, std::move(p)));
  }
  return frames;
}

std::vector<SessionResult> feed(TransportSession& s, std::vector<Frame>& frames) {
  std::vector<SessionResult> results;
  for (Frame& f : frames) {
    results.push_back(s.process(f));
    if (results.back() != kMore) break;
  }
  return results;
}

TEST(FastPacketSession, EveryLengthAndSequenceCounterRoundTrips) {
  const uint32_t seed = 20261208;
  std::mt19937 rng(seed);
  for (uint32_t length = 0; length <= FastPacketSession::kMaxMessage; ++length) {
    for (uint8_t sequence = 0; sequence < 8; ++sequence) {
      const uint32_t id = 0x09F80100 | static_cast<uint32_t>(rng() % 256);
      const bool pad = (length + sequence) % 2 == 0;
      Bytes data(length);
      for (auto& b : data) b = static_cast<uint8_t>(rng());
      SCOPED_TRACE("seed " + std::to_string(seed) + " length " + std::to_string(length) +
                   " sequence " + std::to_string(sequence) + (pad ? " padded" : ""));
      std::vector<Frame> frames = segment(id, sequence, data, pad);
      auto session = make_fast_packet_session();
      ASSERT_NE(session, nullptr);
      std::vector<SessionResult> results = feed(*session, frames);
      ASSERT_EQ(results.size(), frames.size());
      for (size_t i = 0; i + 1 < results.size(); ++i) ASSERT_EQ(results[i], kMore) << i;
      ASSERT_EQ(results.back(), kDone);
      ASSERT_EQ(frames.back().payload, data);
      ASSERT_EQ(frames.back().id, id);
    }
  }
}

// A damaged transfer must never come out as a message: every frame that is
// lost, repeated, out of order or from another message breaks it. (A frame
// shorter than eight bytes in the middle is taken as carrying fewer bytes, so
// shortening is no fault the session can see.)
TEST(FastPacketSession, DamagedTransfersFailAndNeverComeOut) {
  const uint32_t seed = 11;
  std::mt19937 rng(seed);
  enum Fault { kDrop, kRepeat, kSwap, kOtherSequence, kRestart, kFaults };
  for (int round = 0; round < 3000; ++round) {
    Bytes data(7 + rng() % (FastPacketSession::kMaxMessage - 6));
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    const uint8_t sequence = static_cast<uint8_t>(rng() % 8);
    std::vector<Frame> frames = segment(0x09F80123, sequence, data, true);
    const size_t k = rng() % (frames.size() - 1);  // a frame before the last
    const int fault = round % kFaults;
    SCOPED_TRACE("seed " + std::to_string(seed) + " round " + std::to_string(round) + " fault " +
                 std::to_string(fault) + " frame " + std::to_string(k));
    auto at = frames.begin() + static_cast<ptrdiff_t>(k);
    switch (fault) {
      case kDrop:
        frames.erase(at);
        break;
      case kRepeat:
        frames.insert(at, frames[k]);
        break;
      case kSwap:
        std::swap(frames[k], frames[k + 1]);
        break;
      case kOtherSequence:
        frames[k + 1].payload[0] ^= static_cast<uint8_t>((1 + rng() % 7) << 5);
        break;
      case kRestart:
        frames.insert(at + 1, segment(0x09F80123, (sequence + 1) % 8, data, true)[0]);
        break;
    }
    auto session = make_fast_packet_session();
    std::vector<SessionResult> results = feed(*session, frames);
    ASSERT_EQ(results.back(), kFail);
  }
}

struct Step {
  Bytes payload;
  SessionResult expect;
};

Frame run(const std::vector<Step>& steps) {
  auto session = make_fast_packet_session();
  Frame f;
  for (size_t i = 0; i < steps.size(); ++i) {
    f = frame(0x09F80123, steps[i].payload);
    EXPECT_EQ(session->process(f), steps[i].expect) << "step " << i;
  }
  return f;
}

TEST(FastPacketSession, PaddingIsDroppedAndShortMessagesEndAtTheFirstFrame) {
  Frame out = run({{{0x40, 0x0F, 1, 2, 3, 4, 5, 6}, kMore},
                   {{0x41, 7, 8, 9, 10, 11, 12, 13}, kMore},
                   {{0x42, 14, 15, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, kDone}});
  EXPECT_EQ(out.payload, (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}));
  out = run({{{0x20, 0x05, 1, 2, 3, 4, 5}, kDone}});
  EXPECT_EQ(out.payload, (Bytes{1, 2, 3, 4, 5}));
  out = run({{{0x20, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, kDone}});
  EXPECT_TRUE(out.payload.empty());
}

TEST(FastPacketSession, FrameRules) {
  // Joining a transfer after its first frame.
  run({{{0x41, 1, 2, 3, 4, 5, 6, 7}, kFail}});
  // A first frame too short for the length, and an empty frame.
  run({{{0x40}, kFail}});
  run({{{}, kFail}});
  // A frame skipped.
  run({{{0x40, 0x14, 1, 2, 3, 4, 5, 6}, kMore},
       {{0x41, 1, 2, 3, 4, 5, 6, 7}, kMore},
       {{0x43, 1, 2, 3, 4, 5, 6, 7}, kFail}});
  // Another message's frame from the same sender.
  run({{{0x40, 0x14, 1, 2, 3, 4, 5, 6}, kMore}, {{0x61, 1, 2, 3, 4, 5, 6, 7}, kFail}});
  // A new first frame before the transfer is whole: both are lost.
  run({{{0x40, 0x14, 1, 2, 3, 4, 5, 6}, kMore}, {{0x60, 0x05, 1, 2, 3, 4, 5, 0xFF}, kFail}});
}

// Frame counters stop at 31, so 223 bytes is the most that can arrive.
TEST(FastPacketSession, LengthBeyondTheLastFrameCounterNeverCompletes) {
  for (uint32_t length : {FastPacketSession::kMaxMessage + 1, 255u}) {
    SCOPED_TRACE(length);
    auto session = make_fast_packet_session();
    Frame f = frame(0x09F80123, {0xE0, static_cast<uint8_t>(length), 1, 2, 3, 4, 5, 6});
    ASSERT_EQ(session->process(f), kMore);
    for (uint8_t k = 1; k <= 31; ++k) {
      f = frame(0x09F80123, {static_cast<uint8_t>(0xE0 | k), 1, 2, 3, 4, 5, 6, 7});
      ASSERT_EQ(session->process(f), kMore) << int{k};
    }
    // The counter wraps to 0, which reads as a new first frame.
    f = frame(0x09F80123, {0xE0, 1, 2, 3, 4, 5, 6, 7});
    EXPECT_EQ(session->process(f), kFail);
  }
}

}  // namespace
}  // namespace quillon
