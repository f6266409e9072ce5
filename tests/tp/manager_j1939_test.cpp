// The manager with the real J1939 and fast-packet sessions on a J1939
// channel, against a simple reference: many senders' transfers interleaved
// at random with the receivers' control frames must each come out exactly
// once, with their own bytes and identifier, and nothing else may.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "dbc/database.h"
#include "tp/manager.h"
#include "tp/transport_test_util.h"

namespace quillon {
namespace {

using tp_test::can_frame;
using tp_test::RecordingSink;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kChannel = 1;
// A fast-packet group (PDU2, 0x1F805) and the identifier it is sent under.
constexpr uint32_t kFastPacketGroupId = 0x0DF80500;

// One transfer as the bus carries it, and what the manager must hand on.
struct Expected {
  uint32_t id;
  Bytes data;
};
struct Transfer {
  std::vector<Frame> frames;
  Expected out;
};

Frame ext(uint32_t id, Bytes p) {
  return can_frame(id, std::move(p), true, kChannel);
}

// TP.CM (RTS or BAM) then TP.DT 1..n, padded with 0xFF; the receiver of an
// RTS answers with clear-to-send after the announcement and an end-of-message
// acknowledgement at the end, which the manager must drop uncounted.
Transfer j1939_transfer(std::mt19937& rng, uint8_t source, uint8_t destination, bool bam) {
  Transfer t;
  const uint32_t priority = rng() % 8;
  const size_t size = 9 + rng() % (1785 - 9 + 1);
  // Half PDU2, half PDU1 groups, on either data page.
  uint32_t pgn = (rng() % 2) << 16 | (rng() % 2 ? 0xF000 | (rng() % 0x1000) : (rng() % 0xEA) << 8);
  t.out.data.resize(size);
  for (auto& b : t.out.data) b = static_cast<uint8_t>(rng());
  const uint32_t to = bam ? 0xFF : destination;
  const uint8_t packets = static_cast<uint8_t>((size + 6) / 7);
  auto id = [&](uint32_t format, uint32_t dst, uint32_t src) {
    return priority << 26 | format << 16 | dst << 8 | src;
  };
  t.frames.push_back(ext(id(0xEC, to, source),
                         {static_cast<uint8_t>(bam ? 32 : 16), static_cast<uint8_t>(size),
                          static_cast<uint8_t>(size >> 8), packets, 0xFF, static_cast<uint8_t>(pgn),
                          static_cast<uint8_t>(pgn >> 8), static_cast<uint8_t>(pgn >> 16)}));
  if (!bam) {
    t.frames.push_back(ext(id(0xEC, source, destination), {17, packets, 1, 0xFF, 0xFF, 0, 0, 0}));
  }
  for (size_t k = 0; k < packets; ++k) {
    Bytes dt(8, 0xFF);
    dt[0] = static_cast<uint8_t>(k + 1);
    for (size_t i = 0; i < 7 && 7 * k + i < size; ++i) dt[1 + i] = t.out.data[7 * k + i];
    t.frames.push_back(ext(id(0xEB, to, source), std::move(dt)));
  }
  if (!bam) {
    t.frames.push_back(ext(
        id(0xEC, source, destination),
        {19, static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8), packets, 0xFF, 0, 0, 0}));
  }
  const uint32_t specific = ((pgn >> 8) & 0xFF) >= 240 ? pgn & 0xFF : to;
  t.out.id = priority << 26 | (pgn & 0x3FF00) << 8 | specific << 8 | source;
  return t;
}

// First frame (counter 0, total, six bytes), then counters 1.. of seven.
Transfer fast_packet_transfer(std::mt19937& rng, uint8_t source) {
  Transfer t;
  const size_t size = rng() % 224;
  const uint8_t sequence = static_cast<uint8_t>(rng() % 8) << 5;
  t.out.id = 0x0C000000 | (kFastPacketGroupId & 0x03FFFF00) | source;
  t.out.data.resize(size);
  for (auto& b : t.out.data) b = static_cast<uint8_t>(rng());
  size_t pos = std::min<size_t>(size, 6);
  Bytes first = {sequence, static_cast<uint8_t>(size)};
  first.insert(first.end(), t.out.data.begin(), t.out.data.begin() + static_cast<ptrdiff_t>(pos));
  first.resize(8, 0xFF);
  t.frames.push_back(ext(t.out.id, std::move(first)));
  for (uint8_t counter = 1; pos < size; ++counter) {
    Bytes f = {static_cast<uint8_t>(sequence | counter)};
    const size_t take = std::min<size_t>(7, size - pos);
    f.insert(f.end(), t.out.data.begin() + static_cast<ptrdiff_t>(pos),
             t.out.data.begin() + static_cast<ptrdiff_t>(pos + take));
    f.resize(8, 0xFF);
    pos += take;
    t.frames.push_back(ext(t.out.id, std::move(f)));
  }
  return t;
}

std::unique_ptr<TransportManager> j1939_manager(FrameSink* next) {
  auto manager = TransportManager::create(next);
  EXPECT_TRUE(
      manager->register_message(kBusJ1939, kChannel, j1939_key(0x00EC0000, true), kTransportJ1939));
  EXPECT_TRUE(manager->register_message(kBusJ1939, kChannel, j1939_key(kFastPacketGroupId, true),
                                        kTransportNmea));
  return manager;
}

TEST(TransportManagerJ1939, InterleavedSendersEachComeOutOnceAndIntact) {
  for (uint32_t seed = 1; seed <= 20; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    // Distinct senders: a (source, destination) pair has one transfer at a
    // time, a fast-packet source one message at a time.
    std::vector<Transfer> transfers;
    std::vector<std::pair<uint8_t, uint8_t>> pairs;
    while (pairs.size() < 24) {
      std::pair<uint8_t, uint8_t> p{static_cast<uint8_t>(rng() % 8),
                                    static_cast<uint8_t>(rng() % 2 ? 0xFF : rng() % 8)};
      if (p.first == p.second || std::find(pairs.begin(), pairs.end(), p) != pairs.end()) {
        continue;
      }
      pairs.push_back(p);
      transfers.push_back(j1939_transfer(rng, p.first, p.second, p.second == 0xFF));
    }
    for (uint8_t source = 0; source < 6; ++source) {
      transfers.push_back(fast_packet_transfer(rng, source));
    }
    // A sender's abort in the middle of its own transfer must not end it.
    Frame abort = ext(transfers[0].frames[0].id, {255, 3, 0xFF, 0xFF, 0xFF, 0, 0xEF, 0});
    transfers[0].frames.insert(transfers[0].frames.begin() + 2, abort);

    RecordingSink sink;
    auto manager = j1939_manager(&sink);
    std::vector<size_t> next(transfers.size(), 0);
    std::vector<size_t> open;
    for (size_t i = 0; i < transfers.size(); ++i) open.push_back(i);
    while (!open.empty()) {
      size_t pick = rng() % open.size();
      Transfer& t = transfers[open[pick]];
      ASSERT_TRUE(manager->on_frame(t.frames[next[open[pick]]++]));
      if (next[open[pick]] == t.frames.size())
        open.erase(open.begin() + static_cast<ptrdiff_t>(pick));
    }

    std::map<uint32_t, Bytes> want, got;
    for (const Transfer& t : transfers) want[t.out.id] = t.out.data;
    for (const Frame& f : sink.frames) {
      EXPECT_EQ(f.extended, 1);
      EXPECT_TRUE(got.emplace(f.id, f.payload).second) << std::hex << f.id;
    }
    EXPECT_EQ(got, want);
    TransportCounters c = manager->counters();
    EXPECT_EQ(c.successful, transfers.size());
    EXPECT_EQ(c.failed, 0u);
    EXPECT_EQ(c.unfinished, 0u);
  }
}

// A transfer whose group no database defines is still a successful session:
// it is handed on under the group's identifier, and the decoder finds nothing
// for it. The same holds for a group the channel knows no message of at all.
TEST(TransportManagerJ1939, UndefinedGroupIsCountedAndHandedOn) {
  RecordingSink sink;
  auto manager = j1939_manager(&sink);
  for (Bytes p :
       {Bytes{32, 10, 0, 2, 0xFF, 0xCA, 0xFE, 0x00}, Bytes{1, 0, 0xFF, 0x6E, 0, 4, 1, 0x64},
        Bytes{2, 0, 3, 1, 0xFF, 0xFF, 0xFF, 0xFF}}) {
    Frame f = ext(p[0] == 32 ? 0x18ECFF00 : 0x18EBFF00, p);
    EXPECT_TRUE(manager->on_frame(f));
  }
  ASSERT_EQ(sink.frames.size(), 1u);
  EXPECT_EQ(sink.frames[0].id, 0x18FECA00u);
  EXPECT_EQ(sink.frames[0].payload, (Bytes{0, 0xFF, 0x6E, 0, 4, 1, 0x64, 0, 3, 1}));
  EXPECT_EQ(manager->counters().successful, 1u);
}

}  // namespace
}  // namespace quillon
