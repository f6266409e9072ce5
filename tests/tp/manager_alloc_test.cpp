// Frames that the manager passes on must cost no heap allocation, and a
// sender that announces much and sends little must hold little: every
// operator new of this test program is counted, with its size.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "dbc/database.h"
#include "tp/manager.h"
#include "tp/mux_stage.h"
#include "tp/transport_test_util.h"

// The replacements below pair malloc with free themselves; g++ inlines them
// into the framework's test factories and then warns about a mismatch that
// is not there.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace {
uint64_t allocations = 0;
uint64_t allocated_bytes = 0;  // requested, frees not subtracted
size_t largest_allocation = 0;

void* counted(size_t size) noexcept {
  ++allocations;
  allocated_bytes += size;
  if (size > largest_allocation) largest_allocation = size;
  return std::malloc(size ? size : 1);
}
}  // namespace

// Every form, so that no block is taken from one allocator and given back
// to another.
void* operator new(size_t size) {
  if (void* p = counted(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t size) {
  if (void* p = counted(size)) return p;
  throw std::bad_alloc();
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  return counted(size);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
  return counted(size);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, size_t) noexcept {
  std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}

namespace quillon {
namespace {

class Discard : public FrameSink {
 public:
  bool on_frame(Frame&) override { return true; }
};

TEST(TransportManagerAllocations, PassedOnFramesAllocateNothing) {
  Discard handler;
  auto mux = MuxStage::create(&handler, nullptr);
  auto manager = TransportManager::create(mux.get());
  mux->set_manager(manager.get());
  manager->register_message(kBusJ1939, 1, j1939_key(0x00EC0000, true), kTransportJ1939);
  manager->register_message(kBusCan, 1, 0x7E8, kTransportIsoTp);
  manager->register_message(kBusCan, 1, 0x600, kTransportMux);
  mux->register_message(kBusCan, 1, 0x600, {2, 3, 4, 5});

  Frame frames[4] = {
      tp_test::can_frame(0x18FEF100, {1, 2, 3, 4, 5, 6, 7, 8}, true),
      tp_test::can_frame(0x7E9, {0x10, 0x14, 1, 2, 3, 4, 5, 6}),
      tp_test::can_frame(0x7E8, {0x10, 0x14, 1, 2, 3, 4, 5, 6}, false, 2),
      tp_test::can_frame(0x0CF00400, {1}, true, 3),
  };
  frames[3].kind = kFrameEvent;
  uint64_t before = allocations;
  for (int i = 0; i < 1000; ++i) {
    for (Frame& f : frames) ASSERT_TRUE(manager->on_frame(f));
  }
  EXPECT_EQ(allocations, before);
  EXPECT_EQ(manager->open_sessions(), 0u);
}

// Requests to send of 1785 bytes from 16,384 sender pairs, each followed by
// its first packet and nothing more: every pair keeps a session (a flood is
// bounded by the sender pairs), but none may hold the announced size.
TEST(TransportManagerAllocations, UnfinishedSendersHoldWhatTheySent) {
  Discard handler;
  auto manager = TransportManager::create(&handler);
  manager->register_message(kBusJ1939, 1, j1939_key(0x00EC0000, true), kTransportJ1939);
  Frame announce = tp_test::can_frame(0, {16, 0xF9, 0x06, 0xFF, 0xFF, 0x00, 0xEF, 0x00}, true);
  Frame packet = tp_test::can_frame(0, {1, 1, 2, 3, 4, 5, 6, 7}, true);
  constexpr uint32_t kPairs = 256 * 64;
  const uint64_t bytes_before = allocated_bytes;
  largest_allocation = 0;
  for (uint32_t pair = 0; pair < kPairs; ++pair) {
    uint32_t source = pair % 256, destination = pair / 256;
    announce.id = 0x18EC0000 | destination << 8 | source;
    packet.id = 0x18EB0000 | destination << 8 | source;
    ASSERT_TRUE(manager->on_frame(announce));
    ASSERT_TRUE(manager->on_frame(packet));
  }
  EXPECT_EQ(manager->open_sessions(), kPairs);
  EXPECT_EQ(manager->counters().failed, 0u);
  // A session, its table entry and a small first buffer: a few hundred bytes
  // at most, where the announced size would be 1785.
  EXPECT_LT((allocated_bytes - bytes_before) / kPairs, 256u);
  EXPECT_LE(largest_allocation, 64u);  // what a session reserves for a first packet

  // First frames of 223-byte fast-packet messages of a PDU1 group, one per
  // sender pair, that never go on.
  manager->register_message(kBusJ1939, 1, j1939_key(0x19ED0000, true), kTransportNmea);
  Frame first = tp_test::can_frame(0, {0x40, 223, 1, 2, 3, 4, 5, 6}, true);
  const uint64_t fast_before = allocated_bytes;
  largest_allocation = 0;
  for (uint32_t pair = 0; pair < kPairs; ++pair) {
    first.id = 0x19ED0000 | (pair / 256) << 8 | pair % 256;
    ASSERT_TRUE(manager->on_frame(first));
  }
  EXPECT_EQ(manager->open_sessions(), 2 * kPairs);
  EXPECT_LT((allocated_bytes - fast_before) / kPairs, 256u);
  EXPECT_LE(largest_allocation, 64u);
}

}  // namespace
}  // namespace quillon
