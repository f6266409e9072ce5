#include "tp/j1939_session.h"

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

// One long parameter group as a sending stack would hand it to its transport.
struct Transfer {
  bool bam = true;  // broadcast to 0xFF; else RTS to `destination`
  uint32_t priority = 7;
  uint32_t pgn = 0;  // 18 bits: data page bits, PDU format, PDU specific
  uint8_t source = 0;
  uint8_t destination = 0xFF;
  Bytes data;
};

uint32_t transport_id(const Transfer& t, uint32_t pdu_format) {
  uint32_t to = t.bam ? 0xFF : t.destination;
  return t.priority << 26 | pdu_format << 16 | to << 8 | t.source;
}

Frame frame(uint32_t id, Bytes payload) {
  Frame f;
  f.time = 1715904000.125;
  f.channel = 2;
  f.kind = kFrameCan;
  f.extended = 1;
  f.id = id;
  f.payload = std::move(payload);
  return f;
}

// Test-only segmenter: the TP.CM announcement, then TP.DT packets 1..n with
// the last one padded to eight bytes with 0xFF.
std::vector<Frame> segment(const Transfer& t) {
  const size_t size = t.data.size();
  const uint8_t packets = static_cast<uint8_t>((size + 6) / 7);
  std::vector<Frame> frames;
  frames.push_back(frame(transport_id(t, 0xEC),
                         {static_cast<uint8_t>(t.bam ? 32 : 16), static_cast<uint8_t>(size),
                          static_cast<uint8_t>(size >> 8), packets,
                          static_cast<uint8_t>(t.bam ? 0xFF : packets), static_cast<uint8_t>(t.pgn),
                          static_cast<uint8_t>(t.pgn >> 8), static_cast<uint8_t>(t.pgn >> 16)}));
  for (size_t k = 0; k < packets; ++k) {
    Bytes dt(8, 0xFF);
    dt[0] = static_cast<uint8_t>(k + 1);
    for (size_t i = 0; i < 7 && 7 * k + i < size; ++i) dt[1 + i] = t.data[7 * k + i];
    frames.push_back(frame(transport_id(t, 0xEB), std::move(dt)));
  }
  return frames;
}

// The identifier the group would have as one frame from the same sender:
// PDU2 groups carry their own low byte, PDU1 groups the destination.
uint32_t message_id(const Transfer& t) {
  const uint32_t data_page = (t.pgn >> 16) & 3;
  const uint32_t format = (t.pgn >> 8) & 0xFF;
  const uint32_t specific = format < 240 ? (t.bam ? 0xFF : t.destination) : t.pgn & 0xFF;
  return t.priority << 26 | data_page << 24 | format << 16 | specific << 8 | t.source;
}

// Feeds frames until the session stops asking for more; the results in order.
std::vector<SessionResult> feed(TransportSession& s, std::vector<Frame>& frames) {
  std::vector<SessionResult> results;
  for (Frame& f : frames) {
    results.push_back(s.process(f));
    if (results.back() != kMore) break;
  }
  return results;
}

Transfer random_transfer(std::mt19937& rng, size_t size, bool bam) {
  Transfer t;
  t.bam = bam;
  t.priority = rng() % 8;
  t.pgn = rng() % 0x40000;
  t.source = static_cast<uint8_t>(rng());
  t.destination = bam ? 0xFF : static_cast<uint8_t>(rng() % 0xFF);
  t.data.resize(size);
  for (auto& b : t.data) b = static_cast<uint8_t>(rng());
  return t;
}

TEST(J1939Session, EverySizeRoundTripsInBothFormsWithTheGroupsIdentifier) {
  const uint32_t seed = 20261208;
  std::mt19937 rng(seed);
  for (bool bam : {true, false}) {
    for (size_t size = 1; size <= J1939Session::kMaxMessage; ++size) {
      Transfer t = random_transfer(rng, size, bam);
      SCOPED_TRACE("seed " + std::to_string(seed) + (bam ? " BAM" : " RTS") + " size " +
                   std::to_string(size) + " pgn " + std::to_string(t.pgn));
      std::vector<Frame> frames = segment(t);
      auto session = make_j1939_session();
      ASSERT_NE(session, nullptr);
      std::vector<SessionResult> results = feed(*session, frames);
      ASSERT_EQ(results.size(), frames.size());
      for (size_t i = 0; i + 1 < results.size(); ++i) ASSERT_EQ(results[i], kMore) << i;
      ASSERT_EQ(results.back(), kDone);
      const Frame& out = frames.back();
      ASSERT_EQ(out.payload, t.data);
      ASSERT_EQ(out.id, message_id(t));
      ASSERT_EQ(out.extended, 1);
      ASSERT_EQ(out.kind, kFrameCan);
      ASSERT_EQ(out.channel, 2);
    }
  }
}

// A damaged transfer must never come out as a message: every packet that is
// lost, repeated, out of order or short breaks it.
TEST(J1939Session, DamagedTransfersFailAndNeverComeOut) {
  const uint32_t seed = 7;
  std::mt19937 rng(seed);
  enum Fault { kDropAnnouncement, kDrop, kRepeat, kSwap, kShorten, kFaults };
  for (int round = 0; round < 3000; ++round) {
    Transfer t = random_transfer(rng, 8 + rng() % (J1939Session::kMaxMessage - 7), rng() % 2);
    std::vector<Frame> frames = segment(t);
    const size_t packets = frames.size() - 1;
    const size_t k = 1 + rng() % (packets - 1);  // a packet before the last
    const int fault = round % kFaults;
    SCOPED_TRACE("seed " + std::to_string(seed) + " round " + std::to_string(round) + " fault " +
                 std::to_string(fault) + " packet " + std::to_string(k));
    switch (fault) {
      case kDropAnnouncement:
        frames.erase(frames.begin());
        break;
      case kDrop:
        frames.erase(frames.begin() + static_cast<ptrdiff_t>(k));
        break;
      case kRepeat:
        frames.insert(frames.begin() + static_cast<ptrdiff_t>(k), frames[k]);
        break;
      case kSwap:
        std::swap(frames[k], frames[k + 1]);
        break;
      case kShorten:
        frames[k].payload.pop_back();
        break;
    }
    auto session = make_j1939_session();
    std::vector<SessionResult> results = feed(*session, frames);
    ASSERT_EQ(results.back(), kFail);
  }
}

struct Step {
  uint32_t id;
  Bytes payload;
  SessionResult expect;
};

// Runs the steps on one session; the frame of the last step.
Frame run(const std::vector<Step>& steps) {
  auto session = make_j1939_session();
  Frame f;
  for (size_t i = 0; i < steps.size(); ++i) {
    f = frame(steps[i].id, steps[i].payload);
    EXPECT_EQ(session->process(f), steps[i].expect) << "step " << i;
  }
  return f;
}

TEST(J1939Session, BroadcastOfAPdu2GroupKeepsTheDataTransferPriorityAndSource) {
  Frame out = run({
      {0x1CECFF00, {32, 20, 0, 3, 0xFF, 0xE3, 0xFE, 0x00}, kMore},
      {0x1CEBFF00, {1, 1, 2, 3, 4, 5, 6, 7}, kMore},
      {0x1CEBFF00, {2, 8, 9, 10, 11, 12, 13, 14}, kMore},
      {0x1CEBFF00, {3, 15, 16, 17, 18, 19, 20, 0xFF}, kDone},
  });
  EXPECT_EQ(out.id, 0x1CFEE300u);
  EXPECT_EQ(out.payload,
            (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20}));
}

TEST(J1939Session, RequestToSendAPdu1GroupKeepsTheDestination) {
  Frame out = run({
      {0x18EC05F9, {16, 9, 0, 2, 2, 0x00, 0xEF, 0x00}, kMore},
      {0x18EB05F9, {1, 1, 2, 3, 4, 5, 6, 7}, kMore},
      {0x18EB05F9, {2, 8, 9, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, kDone},
  });
  EXPECT_EQ(out.id, 0x18EF05F9u);
  EXPECT_EQ(out.payload.size(), 9u);
}

TEST(J1939Session, AnnouncementRules) {
  // The number-of-packets byte is not checked against the size.
  run({{0x1CECFF00, {32, 9, 0, 0, 0xFF, 0xE3, 0xFE, 0}, kMore},
       {0x1CEBFF00, {1, 1, 2, 3, 4, 5, 6, 7}, kMore},
       {0x1CEBFF00, {2, 8, 9, 0, 0, 0, 0, 0}, kDone}});
  // A second announcement while receiving changes nothing.
  Frame out = run({{0x1CECFF00, {32, 9, 0, 2, 0xFF, 0xE3, 0xFE, 0}, kMore},
                   {0x1CEBFF00, {1, 1, 2, 3, 4, 5, 6, 7}, kMore},
                   {0x1CECFF00, {32, 30, 0, 5, 0xFF, 0x00, 0xF0, 0}, kMore},
                   {0x1CEBFF00, {2, 8, 9, 0, 0, 0, 0, 0}, kDone}});
  EXPECT_EQ(out.id, 0x1CFEE300u);
  EXPECT_EQ(out.payload.size(), 9u);
  // Only RTS and BAM open a transfer, and only in eight bytes.
  run({{0x1CECFF00, {17, 9, 0, 2, 0xFF, 0xE3, 0xFE, 0}, kFail}});
  run({{0x1CECFF00, {32, 9, 0, 2, 0xFF, 0xE3, 0xFE}, kFail}});
  run({{0x1CECFF00, {32, 9, 0, 2, 0xFF, 0xE3, 0xFE, 0, 0}, kFail}});
  run({{0x1CECFF00, {}, kFail}});
}

TEST(J1939Session, DataTransferRules) {
  // Data with no announcement.
  run({{0x1CEBFF00, {1, 1, 2, 3, 4, 5, 6, 7}, kFail}});
  // A packet skipped.
  run({{0x1CECFF00, {32, 20, 0, 3, 0xFF, 0xE3, 0xFE, 0}, kMore},
       {0x1CEBFF00, {1, 1, 2, 3, 4, 5, 6, 7}, kMore},
       {0x1CEBFF00, {3, 1, 2, 3, 4, 5, 6, 7}, kFail}});
  // A last packet without its padding.
  run({{0x1CECFF00, {32, 9, 0, 2, 0xFF, 0xE3, 0xFE, 0}, kMore},
       {0x1CEBFF00, {1, 1, 2, 3, 4, 5, 6, 7}, kMore},
       {0x1CEBFF00, {2, 8, 9}, kFail}});
  // A packet longer than eight bytes (as an FD frame could be).
  run({{0x1CECFF00, {32, 9, 0, 2, 0xFF, 0xE3, 0xFE, 0}, kMore},
       {0x1CEBFF00, {1, 1, 2, 3, 4, 5, 6, 7, 8}, kFail}});
  // Only the two transport groups are taken; a stray frame leaves the
  // transfer as it was. Bit 24 (data page) makes another group.
  run({{0x1CECFF00, {32, 9, 0, 2, 0xFF, 0xE3, 0xFE, 0}, kMore},
       {0x1CFEE300, {1, 1, 2, 3, 4, 5, 6, 7}, kFail},
       {0x1DEBFF00, {1, 1, 2, 3, 4, 5, 6, 7}, kFail},
       {0x1CEBFF00, {1, 1, 2, 3, 4, 5, 6, 7}, kMore},
       {0x1CEBFF00, {2, 8, 9, 0, 0, 0, 0, 0}, kDone}});
}

// 255 numbered packets carry at most 1785 bytes; a larger size waits for a
// packet 256 that cannot be numbered, so the transfer never completes.
TEST(J1939Session, SizeBeyondTheLastPacketNumberNeverCompletes) {
  for (uint32_t size : {J1939Session::kMaxMessage + 1, 0xFFFFu}) {
    SCOPED_TRACE(size);
    auto session = make_j1939_session();
    Frame f = frame(0x1CECFF00, {32, static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8),
                                 0xFF, 0xFF, 0xE3, 0xFE, 0});
    ASSERT_EQ(session->process(f), kMore);
    for (uint32_t k = 1; k <= 255; ++k) {
      f = frame(0x1CEBFF00, {static_cast<uint8_t>(k), 1, 2, 3, 4, 5, 6, 7});
      ASSERT_EQ(session->process(f), kMore) << k;
    }
    f = frame(0x1CEBFF00, {0, 1, 2, 3, 4, 5, 6, 7});
    EXPECT_EQ(session->process(f), kFail);
  }
}

}  // namespace
}  // namespace quillon
