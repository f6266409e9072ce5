#include "tp/isotp_session.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "dbc/database.h"
#include "dbc/log_capture.h"
#include "tp/manager.h"
#include "tp/transport_test_util.h"

namespace quillon {
namespace {

using tp_test::can_frame;
using tp_test::RecordingSink;
using tp_test::segment;
using Bytes = std::vector<uint8_t>;

// Feeds the frames to one fresh session; gives the result of each.
std::vector<SessionResult> feed(IsoTpSession& session, const std::vector<Bytes>& payloads,
                                Frame* last = nullptr) {
  std::vector<SessionResult> results;
  Frame f;
  for (const Bytes& p : payloads) {
    f = can_frame(0x7E8, p);
    results.push_back(session.process(f));
  }
  if (last) *last = f;
  return results;
}

// Every message length around the frame-format boundaries, and random ones,
// cut into classic and CAN FD frames (padded or not), comes out of the
// manager as one frame with the same bytes and id; frames of another id in
// between pass through untouched.
TEST(IsoTpRoundTrip, SegmentedMessagesReassembleToTheSameBytes) {
  const uint32_t seed = 20240517;
  std::mt19937 rng(seed);
  std::vector<size_t> lengths;
  for (size_t n = 1; n <= 70; ++n) lengths.push_back(n);
  for (size_t n : {4094, 4095, 4096, 4097, 8190, 8191, 8192}) lengths.push_back(n);
  for (int i = 0; i < 60; ++i) lengths.push_back(1 + rng() % 8192);

  for (size_t n : lengths) {
    for (int form = 0; form < 4; ++form) {
      bool fd = form & 1, pad = form & 2;
      SCOPED_TRACE(::testing::Message()
                   << "seed " << seed << " length " << n << " fd " << fd << " pad " << pad);
      Bytes message(n);
      for (uint8_t& b : message) b = static_cast<uint8_t>(rng());
      RecordingSink sink;
      auto manager = TransportManager::create(&sink);
      ASSERT_TRUE(
          manager->register_message(kBusCan, 1, can_key(0x18DAF110, true), kTransportIsoTp));
      size_t passed = 0;
      for (const Bytes& p : segment(message, fd, pad)) {
        Frame f = can_frame(0x18DAF110, p, true, 1, 12.5);
        ASSERT_TRUE(manager->on_frame(f));
        // Another sender's frame between two of the message: untouched.
        Frame other = can_frame(0x18DAF111, {0x21, 1, 2}, true);
        ASSERT_TRUE(manager->on_frame(other));
        ++passed;
      }
      ASSERT_EQ(sink.frames.size(), passed + 1);
      const Frame* out = nullptr;
      for (const Frame& f : sink.frames) {
        if (f.id == 0x18DAF110) {
          ASSERT_EQ(out, nullptr) << "transport frames must not reach the next sink";
          out = &f;
        } else {
          EXPECT_EQ(f.payload, (Bytes{0x21, 1, 2}));
        }
      }
      ASSERT_NE(out, nullptr);
      EXPECT_EQ(out->payload, message);
      EXPECT_EQ(out->extended, 1);
      EXPECT_EQ(out->time, 12.5);
      TransportCounters c = manager->counters();
      EXPECT_EQ(c.successful, 1u);
      EXPECT_EQ(c.failed, 0u);
      EXPECT_EQ(c.unfinished, 0u);
    }
  }
}

// One byte past the limit fails in every form, with the warning.
TEST(IsoTpRoundTrip, OneByteOverTheLimitFails) {
  for (int form = 0; form < 4; ++form) {
    bool fd = form & 1, pad = form & 2;
    Bytes message(8193, 0x5A);
    testing_support::LogCapture log(LOG_INFO);
    RecordingSink sink;
    auto manager = TransportManager::create(&sink);
    manager->register_message(kBusCan, 1, 0x7E8, kTransportIsoTp);
    for (const Bytes& p : segment(message, fd, pad)) {
      Frame f = can_frame(0x7E8, p);
      manager->on_frame(f);
    }
    std::string text = log.text();
    EXPECT_NE(text.find("W ISO-TP payload overflow (8192)"), std::string::npos) << text;
    EXPECT_NE(text.find("I TP error (time: 0.000000, id: 0x7E8)"), std::string::npos) << text;
    EXPECT_TRUE(sink.frames.empty());
    TransportCounters c = manager->counters();
    EXPECT_EQ(c.successful, 0u);
    EXPECT_EQ(c.failed, 1u);
    EXPECT_EQ(c.unfinished, 0u);
  }
}

TEST(IsoTpSession, SingleFramesKeepOnlyTheAnnouncedBytes) {
  struct Row {
    Bytes frame;
    SessionResult result;
    Bytes message;
  };
  const Row rows[] = {
      {{0x03, 'A', 'B', 'C', 0xCC, 0xCC}, SessionResult::kComplete, {'A', 'B', 'C'}},
      {{0x05, 1, 2, 3}, SessionResult::kFailed, {}},  // announces more than it carries
      {{0x00, 0x0A, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0xCC},
       SessionResult::kComplete,
       {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
      {{0x00}, SessionResult::kFailed, {}},  // escape without its length byte
      {{0x00, 0x03, 1, 2}, SessionResult::kFailed, {}},
      {{0x00, 0x00}, SessionResult::kComplete, {}},  // an empty message is still a message
      {{}, SessionResult::kFailed, {}},
      {{0x45, 1, 2, 3, 4, 5}, SessionResult::kFailed, {}},  // no frame type 4
  };
  for (const Row& row : rows) {
    IsoTpSession session;
    Frame f = can_frame(0x7E8, row.frame, false, 3, 7.25);
    EXPECT_EQ(session.process(f), row.result);
    if (row.result == SessionResult::kComplete) {
      EXPECT_EQ(f.payload, row.message);
      EXPECT_EQ(f.id, 0x7E8u);
      EXPECT_EQ(f.channel, 3);
      EXPECT_EQ(f.time, 7.25);
    }
  }
}

TEST(IsoTpSession, ConsecutiveFramesInOrderWithWrappingNumbers) {
  IsoTpSession session;
  Frame last;
  auto r = feed(session,
                {{0x10, 0x14, 0, 1, 2, 3, 4, 5},
                 {0x21, 6, 7, 8, 9, 10, 11, 12},
                 {0x22, 13, 14, 15, 16, 17, 18, 19, 0xCC}},
                &last);
  EXPECT_EQ(r, (std::vector<SessionResult>{SessionResult::kInProgress, SessionResult::kInProgress,
                                           SessionResult::kComplete}));
  ASSERT_EQ(last.payload.size(), 20u);
  for (uint8_t i = 0; i < 20; ++i) EXPECT_EQ(last.payload[i], i);

  // 16 consecutive frames: after 0x2F comes 0x20.
  IsoTpSession wrap;
  std::vector<Bytes> frames = {{0x10, 6 + 16 * 7, 0, 0, 0, 0, 0, 0}};
  for (int i = 1; i <= 16; ++i)
    frames.push_back({static_cast<uint8_t>(0x20 | (i & 15)), 1, 1, 1, 1, 1, 1, 1});
  r = feed(wrap, frames);
  EXPECT_EQ(r.back(), SessionResult::kComplete);
}

TEST(IsoTpSession, BrokenTransfersFail) {
  const Bytes first = {0x10, 0x14, 0, 1, 2, 3, 4, 5};
  struct Row {
    const char* what;
    std::vector<Bytes> frames;
  };
  const Row rows[] = {
      {"wrong sequence number", {first, {0x21, 1, 2, 3, 4, 5, 6, 7}, {0x23, 1, 2, 3, 4, 5, 6, 7}}},
      {"repeated sequence number",
       {first, {0x21, 1, 2, 3, 4, 5, 6, 7}, {0x21, 1, 2, 3, 4, 5, 6, 7}}},
      {"single frame during a transfer", {first, {0x03, 1, 2, 3}}},
      {"first frame during a transfer", {first, first}},
      {"consecutive frame first", {{0x21, 1, 2, 3}}},
      {"first frame of one byte", {{0x10}}},
      {"long first frame cut short", {{0x10, 0x00, 0x00, 0x00, 0x27}}},
      {"overflow status", {first, {0x32, 0, 0}}},
      {"unknown flow status", {first, {0x35, 0, 0}}},
      {"flow control cut short", {first, {0x30, 0}}},
      {"flow control outside a transfer", {{0x30, 0, 0}}},
      {"empty frame during a transfer", {first, {}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    IsoTpSession session;
    auto r = feed(session, row.frames);
    for (size_t i = 0; i + 1 < r.size(); ++i) EXPECT_EQ(r[i], SessionResult::kInProgress);
    EXPECT_EQ(r.back(), SessionResult::kFailed);
  }
}

TEST(IsoTpSession, FlowControlToContinueOrWaitIsIgnored) {
  IsoTpSession session;
  auto r = feed(session, {{0x10, 0x08, 0, 1, 2, 3, 4, 5},
                          {0x30, 0x00, 0x00},
                          {0x31, 0, 0, 0xCC},
                          {0x21, 6, 7, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC}});
  EXPECT_EQ(r, (std::vector<SessionResult>{SessionResult::kInProgress, SessionResult::kInProgress,
                                           SessionResult::kInProgress, SessionResult::kComplete}));
}

// The 32-bit form: 10000 bytes announced fails once more than 8192 are in;
// exactly 8192 announced completes.
TEST(IsoTpSession, LongFirstFrameAndTheLimit) {
  testing_support::LogCapture log(LOG_WARN);
  IsoTpSession over;
  Frame f = can_frame(0x7E8, {0x10, 0x00, 0x00, 0x00, 0x27, 0x10, 1, 2});
  ASSERT_EQ(over.process(f), SessionResult::kInProgress);
  size_t gathered = 2;
  SessionResult r = SessionResult::kInProgress;
  for (uint8_t seq = 1; r == SessionResult::kInProgress; seq = (seq + 1) & 15) {
    f = can_frame(0x7E8, {static_cast<uint8_t>(0x20 | seq), 1, 2, 3, 4, 5, 6, 7});
    r = over.process(f);
    gathered += 7;
  }
  EXPECT_EQ(r, SessionResult::kFailed);
  EXPECT_GT(gathered, 8192u);
  EXPECT_LE(gathered, 8192u + 7);
  EXPECT_NE(log.text().find("W ISO-TP payload overflow (8192)"), std::string::npos);
}

// A first frame that carries more than it announces: the next consecutive
// frame adds nothing and completes the message as received.
TEST(IsoTpSession, FirstFrameCarryingMoreThanAnnounced) {
  IsoTpSession session;
  Frame last;
  auto r = feed(session, {{0x10, 0x03, 1, 2, 3, 4, 5, 6}, {0x21, 9, 9, 9, 9, 9, 9, 9}}, &last);
  EXPECT_EQ(r.back(), SessionResult::kComplete);
  EXPECT_EQ(last.payload, (Bytes{1, 2, 3, 4, 5, 6}));
}

}  // namespace
}  // namespace quillon
