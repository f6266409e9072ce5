#include "tp/mux_stage.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "dbc/database.h"
#include "tp/manager.h"
#include "tp/transport_test_util.h"

namespace quillon {
namespace {

using tp_test::can_frame;
using tp_test::RecordingSink;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kDataLength[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};

// One embedded frame as a sender writes it.
struct Embedded {
  uint8_t index = 0;
  bool event = false;
  uint8_t event_code = 0;
  bool extended = false, fd = false, type_flag = false, brs_or_remote = false;
  uint8_t code = 0;
  uint32_t id = 0;
  Bytes data;  // kDataLength[code] bytes unless remote
};

void encode(const Embedded& e, Bytes& out) {
  if (e.event) {
    out.push_back(static_cast<uint8_t>(e.index << 5 | 0x07));
    out.push_back(e.event_code);
    return;
  }
  out.push_back(static_cast<uint8_t>(e.index << 5 | e.extended << 4 | e.fd << 3 | e.code >> 1));
  uint8_t b1 = static_cast<uint8_t>((e.code & 1) << 7 | e.type_flag << 6 | e.brs_or_remote << 5);
  if (e.extended) {
    out.push_back(static_cast<uint8_t>(b1 | (e.id >> 24 & 0x1F)));
    out.push_back(static_cast<uint8_t>(e.id >> 16));
    out.push_back(static_cast<uint8_t>(e.id >> 8));
    out.push_back(static_cast<uint8_t>(e.id));
  } else {
    out.push_back(static_cast<uint8_t>(b1 | (e.id >> 8 & 0x07)));
    out.push_back(static_cast<uint8_t>(e.id));
  }
  out.insert(out.end(), e.data.begin(), e.data.end());
}

struct Stage {
  RecordingSink next;     // the frame handler's place
  RecordingSink manager;  // where unpacked frames go
  std::unique_ptr<MuxStage> stage = MuxStage::create(&next, &manager);
};

Frame container(const Bytes& payload, uint8_t channel = 1, uint32_t id = 0x600) {
  return can_frame(id, payload, false, channel, 99.5);
}

TEST(MuxStage, ClassicStandardFrameGoesToItsTargetChannel) {
  Stage s;
  ASSERT_TRUE(s.stage->register_message(kBusCan, 1, 0x600, {2, 3, 4, 5}));
  Frame c = container({0x04, 0x01, 0x23, 1, 2, 3, 4, 5, 6, 7, 8});
  EXPECT_TRUE(s.stage->on_frame(c));
  EXPECT_TRUE(s.next.frames.empty());  // the container itself goes nowhere
  ASSERT_EQ(s.manager.frames.size(), 1u);
  const Frame& f = s.manager.frames[0];
  EXPECT_EQ(f.channel, 2);
  EXPECT_EQ(f.id, 0x123u);
  EXPECT_EQ(f.kind, kFrameCan);
  EXPECT_EQ(f.extended, 0);
  EXPECT_EQ(f.time, 99.5);
  EXPECT_EQ(f.payload, (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST(MuxStage, SkippedIndexesOwnChannelEventsAndRemoteFrames) {
  Stage s;
  s.stage->register_message(kBusCan, 1, 0x600, {1, 2, 3, 4});
  Bytes p;
  encode({.index = 5, .code = 1, .id = 0x10, .data = {5}}, p);  // no target for index 5
  encode({.index = 0, .code = 1, .id = 0x11, .data = {6}}, p);  // target 1: the container's own
  encode({.index = 1, .event = true, .event_code = 3, .data = {}}, p);
  encode({.index = 2, .event = true, .event_code = 9, .data = {}}, p);  // unknown code reads as 0
  encode({.index = 3, .brs_or_remote = true, .code = 8, .id = 0x7FF, .data = {}},
         p);  // remote: no data
  encode({.index = 3, .code = 9, .id = 0x12, .data = Bytes(12, 0xAB)}, p);
  Frame c = container(p);
  EXPECT_TRUE(s.stage->on_frame(c));
  ASSERT_EQ(s.manager.frames.size(), 4u);
  EXPECT_EQ(s.manager.frames[0].kind, kFrameEvent);
  EXPECT_EQ(s.manager.frames[0].channel, 2);
  EXPECT_EQ(s.manager.frames[0].event, 3);
  EXPECT_EQ(s.manager.frames[1].event, 0);
  EXPECT_EQ(s.manager.frames[2].kind, kFrameCanNoData);
  EXPECT_EQ(s.manager.frames[2].id, 0x7FFu);
  EXPECT_TRUE(s.manager.frames[2].payload.empty());
  EXPECT_EQ(s.manager.frames[3].payload, Bytes(12, 0xAB));  // a classic frame with code 9
}

TEST(MuxStage, CutShortPayloadKeepsWhatCameBefore) {
  for (size_t cut = 0; cut < 25; ++cut) {
    Stage s;
    s.stage->register_message(kBusCan, 1, 0x600, {2, 2, 2, 2});
    Bytes p;
    encode({.code = 2, .id = 0x1, .data = {1, 2}}, p);                                // 5 bytes
    encode({.extended = true, .code = 8, .id = 0x18FEF100, .data = Bytes(8, 3)}, p);  // 13
    encode({.event = true, .event_code = 1, .data = {}}, p);                          // 2
    encode({.code = 3, .id = 0x2, .data = {4, 5, 6}}, p);                             // 6
    size_t kept = p.size() - cut;
    p.resize(kept);
    Frame c = container(p);
    s.stage->on_frame(c);
    size_t expected = kept >= 26 ? 4 : kept >= 20 ? 3 : kept >= 18 ? 2 : kept >= 5 ? 1 : 0;
    EXPECT_EQ(s.manager.frames.size(), expected) << "kept " << kept;
  }
}

TEST(MuxStage, PassesOtherFramesOnAndAnswersWithTheManagersLastResult) {
  Stage s;
  s.stage->register_message(kBusCan, 1, 0x600, {2, 3, 4, 5});
  Frame other_channel = container({0x04, 0x01}, 2);
  Frame other_kind = container({0x04, 0x01});
  other_kind.kind = kFrameLin;
  Frame extended = can_frame(0x600, {1}, true, 1);
  for (Frame* f : {&other_channel, &other_kind, &extended}) EXPECT_TRUE(s.stage->on_frame(*f));
  EXPECT_EQ(s.next.frames.size(), 3u);
  EXPECT_TRUE(s.manager.frames.empty());

  Bytes p;
  encode({.code = 1, .id = 1, .data = {1}}, p);
  encode({.code = 1, .id = 2, .data = {2}}, p);
  s.manager.result = false;
  Frame c = container(p);
  EXPECT_FALSE(s.stage->on_frame(c));
  EXPECT_EQ(s.manager.frames.size(), 2u);  // a false answer does not stop the unpacking

  Frame empty = container({});
  EXPECT_TRUE(s.stage->on_frame(empty));
}

TEST(MuxStage, RegistrationRules) {
  Stage s;
  EXPECT_FALSE(s.stage->register_message(kBusJ1939, 1, 0x600, {2, 3, 4, 5}));
  EXPECT_FALSE(s.stage->register_message(kBusLin, 1, 0x600, {2, 3, 4, 5}));
  EXPECT_TRUE(s.stage->register_message(kBusCan, 1, 0x600, {2, 3, 4, 5}));
  EXPECT_TRUE(s.stage->register_message(kBusCan, 1, 0x600, {9, 9, 9, 9}));
  ASSERT_NE(s.stage->targets(1, 0x600), nullptr);
  EXPECT_EQ(*s.stage->targets(1, 0x600), (MuxTargets{2, 3, 4, 5}));
  EXPECT_EQ(s.stage->targets(2, 0x600), nullptr);
  EXPECT_FALSE(s.stage->set_manager(nullptr));
  EXPECT_EQ(MuxStage::create(nullptr, nullptr), nullptr);

  // Without a manager nothing is fed back, and nothing breaks.
  RecordingSink next;
  auto alone = MuxStage::create(&next, nullptr);
  alone->register_message(kBusCan, 1, 0x600, {2, 3, 4, 5});
  Frame c = container({0x04, 0x01, 0x23, 1, 2, 3, 4, 5, 6, 7, 8});
  EXPECT_TRUE(alone->on_frame(c));
  EXPECT_TRUE(next.frames.empty());
}

// Random lists of embedded frames, encoded as a sender would, come out of
// the stage as the same frames, less those it must skip.
TEST(MuxStage, RandomContainersRoundTrip) {
  const uint32_t seed = 4511;
  std::mt19937 rng(seed);
  const MuxTargets targets = {3, 1, 4, 7};
  for (int round = 0; round < 500; ++round) {
    SCOPED_TRACE(::testing::Message() << "seed " << seed << " round " << round);
    std::vector<Embedded> sent;
    Bytes payload;
    int count = static_cast<int>(rng() % 12);
    for (int i = 0; i < count; ++i) {
      Embedded e;
      e.index = rng() % 8;
      e.event = rng() % 6 == 0;
      if (e.event) {
        e.event_code = static_cast<uint8_t>(rng());
      } else {
        e.extended = rng() % 2;
        e.fd = rng() % 2;
        e.type_flag = rng() % 2;
        e.brs_or_remote = rng() % 4 == 0;
        e.code = rng() % 16;
        // A classic standard frame with code 14 or 15 reads as an event.
        if (!e.extended && !e.fd && e.code >= 14) e.code = 13;
        e.id = e.extended ? rng() & 0x1FFFFFFF : rng() & 0x7FF;
        if (e.fd || !e.brs_or_remote) e.data.resize(kDataLength[e.code]);
        for (uint8_t& b : e.data) b = static_cast<uint8_t>(rng());
      }
      encode(e, payload);
      sent.push_back(e);
    }
    Stage s;
    s.stage->register_message(kBusCan, 1, 0x600, targets);
    Frame c = container(payload);
    s.stage->on_frame(c);

    size_t k = 0;
    for (const Embedded& e : sent) {
      if (e.index >= 4 || targets[e.index] == 1) continue;
      ASSERT_LT(k, s.manager.frames.size());
      const Frame& f = s.manager.frames[k++];
      EXPECT_EQ(f.channel, targets[e.index]);
      EXPECT_EQ(f.time, 99.5);
      if (e.event) {
        EXPECT_EQ(f.kind, kFrameEvent);
        EXPECT_EQ(f.event, e.event_code >= 1 && e.event_code <= 5 ? e.event_code : 0);
        EXPECT_TRUE(f.payload.empty());
        continue;
      }
      bool remote = !e.fd && e.brs_or_remote;
      EXPECT_EQ(f.kind, remote ? kFrameCanNoData : kFrameCan);
      EXPECT_EQ(f.id, e.id);
      EXPECT_EQ(f.extended, e.extended);
      EXPECT_EQ(f.fd, e.fd);
      EXPECT_EQ(f.type_flag, e.type_flag);
      EXPECT_EQ(f.payload, e.data);
    }
    EXPECT_EQ(k, s.manager.frames.size());
  }
}

// Through the real manager: an embedded ISO-TP message for another channel
// is reassembled after unpacking, and a container whose frames complete a
// further container on another channel is unpacked in turn.
TEST(MuxStage, EmbeddedTransportMessagesThroughTheManager) {
  RecordingSink handler;
  auto stage = MuxStage::create(&handler, nullptr);
  auto manager = TransportManager::create(stage.get());
  ASSERT_TRUE(stage->set_manager(manager.get()));
  manager->register_message(kBusCan, 1, 0x600, kTransportMux);
  stage->register_message(kBusCan, 1, 0x600, {2, 3, 3, 3});
  manager->register_message(kBusCan, 2, 0x7E8, kTransportIsoTp);
  manager->register_message(kBusCan, 2, 0x601, kTransportMux);
  stage->register_message(kBusCan, 2, 0x601, {1, 3, 3, 3});  // back to channel 1

  Bytes inner;  // a container of channel 2 carrying one frame for channel 1
  encode({.index = 0, .code = 2, .id = 0x321, .data = {0xAA, 0xBB}}, inner);
  Bytes outer;
  encode({.code = 8, .id = 0x7E8, .data = {0x10, 0x0A, 0, 1, 2, 3, 4, 5}}, outer);
  encode({.code = 5, .id = 0x7E8, .data = {0x21, 6, 7, 8, 9}}, outer);
  Bytes single = {static_cast<uint8_t>(inner.size())};
  single.insert(single.end(), inner.begin(), inner.end());
  encode({.code = static_cast<uint8_t>(single.size()), .id = 0x601, .data = single}, outer);
  ASSERT_LE(outer.size(), 62u);  // fits one CAN FD single frame
  Bytes sf = {0x00, static_cast<uint8_t>(outer.size())};
  sf.insert(sf.end(), outer.begin(), outer.end());
  Frame c = container(sf);
  EXPECT_TRUE(manager->on_frame(c));

  ASSERT_EQ(handler.frames.size(), 2u);
  EXPECT_EQ(handler.frames[0].channel, 2);
  EXPECT_EQ(handler.frames[0].id, 0x7E8u);
  EXPECT_EQ(handler.frames[0].payload, (Bytes{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(handler.frames[1].channel, 1);
  EXPECT_EQ(handler.frames[1].id, 0x321u);
  EXPECT_EQ(handler.frames[1].payload, (Bytes{0xAA, 0xBB}));
  EXPECT_EQ(manager->counters().successful, 3u);
}

}  // namespace
}  // namespace quillon
