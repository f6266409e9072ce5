// Frames that the manager passes on must cost no heap allocation: every
// operator new of this test program is counted.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "dbc/database.h"
#include "tp/manager.h"
#include "tp/mux_stage.h"
#include "tp/transport_test_util.h"

namespace {
uint64_t allocations = 0;

void* counted(size_t size) noexcept {
  ++allocations;
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

}  // namespace
}  // namespace quillon
