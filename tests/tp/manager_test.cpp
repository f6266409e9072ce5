#include "tp/manager.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dbc/database.h"
#include "dbc/log_capture.h"
#include "tp/transport_test_util.h"

namespace quillon {
namespace {

using tp_test::can_frame;
using tp_test::RecordingSink;
using Bytes = std::vector<uint8_t>;

// A session that follows a script in its frames' first byte: 0xEE completes
// (swapping in "done"), 0xFF fails, anything else is taken in.
class ScriptedSession : public TransportSession {
 public:
  explicit ScriptedSession(std::vector<int32_t>* seen, int32_t type) { seen->push_back(type); }
  SessionResult process(Frame& frame) override {
    if (frame.payload.empty()) return SessionResult::kFailed;
    if (frame.payload[0] == 0xFF) return SessionResult::kFailed;
    if (frame.payload[0] != 0xEE) return SessionResult::kInProgress;
    buffer_ = {'d', 'o', 'n', 'e'};
    frame.payload.swap(buffer_);
    return SessionResult::kComplete;
  }

 private:
  Payload buffer_;
};

class ScriptedManager : public TransportManager {
 public:
  explicit ScriptedManager(FrameSink* next) : TransportManager(next) {}
  std::vector<int32_t> created;  // transport type of each session made

 protected:
  std::unique_ptr<TransportSession> make_session(int32_t type) override {
    return std::make_unique<ScriptedSession>(&created, type);
  }
};

TEST(TransportManager, FramesOutsideTheConfigurationPassUnchanged) {
  RecordingSink sink;
  auto manager = TransportManager::create(&sink);
  ASSERT_TRUE(manager->register_message(kBusCan, 1, 0x7E8, kTransportIsoTp));
  Frame event;
  event.kind = kFrameEvent;
  event.channel = 1;
  event.id = 0x7E8;
  event.event = 4;
  Frame remote = can_frame(0x7E8, {});
  remote.kind = kFrameCanNoData;
  Frame other_id = can_frame(0x7E9, {0x10, 0x14});
  Frame other_channel = can_frame(0x7E8, {0x10, 0x14}, false, 2);
  Frame extended = can_frame(0x7E8, {0x10, 0x14}, true);  // 29-bit 0x7E8 is another key
  for (Frame* f : {&event, &remote, &other_id, &other_channel, &extended}) {
    const uint8_t* storage = f->payload.data();
    ASSERT_TRUE(manager->on_frame(*f));
    EXPECT_EQ(f->payload.data(), storage);  // not copied, not swapped
  }
  ASSERT_EQ(sink.frames.size(), 5u);
  EXPECT_EQ(sink.frames[0].kind, kFrameEvent);
  EXPECT_EQ(sink.frames[0].event, 4);
  EXPECT_EQ(sink.frames[1].kind, kFrameCanNoData);
  EXPECT_EQ(sink.frames[4].extended, 1);
  EXPECT_EQ(manager->open_sessions(), 0u);

  // The next sink's answer is the manager's answer.
  sink.result = false;
  EXPECT_FALSE(manager->on_frame(other_id));
}

TEST(TransportManager, TwentyByteMessageReachesTheNextSinkOnce) {
  RecordingSink sink;
  auto manager = TransportManager::create(&sink);
  manager->register_message(kBusCan, 1, 0x7E8, kTransportIsoTp);
  for (Bytes p : {Bytes{0x10, 0x14, 0, 1, 2, 3, 4, 5}, Bytes{0x21, 6, 7, 8, 9, 10, 11, 12},
                  Bytes{0x22, 13, 14, 15, 16, 17, 18, 19}}) {
    Frame f = can_frame(0x7E8, p, false, 1, 3.5);
    EXPECT_TRUE(manager->on_frame(f));
  }
  ASSERT_EQ(sink.frames.size(), 1u);
  EXPECT_EQ(sink.frames[0].payload.size(), 20u);
  EXPECT_EQ(sink.frames[0].id, 0x7E8u);
  EXPECT_EQ(manager->counters().successful, 1u);
}

TEST(TransportManager, BrokenSessionIsLoggedCountedAndRestarts) {
  testing_support::LogCapture log(LOG_INFO);
  RecordingSink sink;
  auto manager = TransportManager::create(&sink);
  manager->register_message(kBusCan, 1, 0x7E8, kTransportIsoTp);
  for (Bytes p : {Bytes{0x10, 0x0A, 0, 1, 2, 3, 4, 5}, Bytes{0x23, 6, 7, 8, 9},
                  Bytes{0x10, 0x0A, 0, 1, 2, 3, 4, 5}, Bytes{0x21, 6, 7, 8, 9}}) {
    Frame f = can_frame(0x7E8, p, false, 1, 1.25);
    EXPECT_TRUE(manager->on_frame(f));
  }
  EXPECT_NE(log.text().find("I TP error (time: 1.250000, id: 0x7E8)\n"), std::string::npos);
  ASSERT_EQ(sink.frames.size(), 1u);
  EXPECT_EQ(sink.frames[0].payload, (Bytes{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  TransportCounters c = manager->counters();
  EXPECT_EQ(c.successful, 1u);
  EXPECT_EQ(c.failed, 1u);

  // Quiet below verbosity 4.
  testing_support::LogCapture quiet(LOG_WARN);
  Frame f = can_frame(0x7E8, {0x21});
  manager->on_frame(f);
  EXPECT_EQ(quiet.text(), "");
}

TEST(TransportManager, OnlyAContinuingFileKeepsOpenSessions) {
  RecordingSink sink;
  ScriptedManager manager(&sink);
  manager.register_message(kBusCan, 1, 0x100, kTransportIsoTp);
  manager.register_message(kBusCan, 1, 0x101, kTransportIsoTp);
  Frame a = can_frame(0x100, {1}), b = can_frame(0x101, {1});
  manager.on_frame(a);
  manager.on_frame(b);
  FileRecord file;
  EXPECT_TRUE(manager.on_file_start(file, true));
  EXPECT_EQ(manager.open_sessions(), 2u);
  EXPECT_EQ(manager.counters().unfinished, 2u);
  EXPECT_TRUE(manager.on_file_start(file, false));
  EXPECT_EQ(manager.open_sessions(), 0u);
  TransportCounters c = manager.counters();
  EXPECT_EQ(c.successful + c.failed + c.unfinished, 0u);  // dropped without a count
  EXPECT_TRUE(manager.on_file_end(file));
  EXPECT_EQ(sink.starts, (std::vector<bool>{true, false}));
  EXPECT_EQ(sink.ends, 1);
}

TEST(TransportManager, RegistrationKeepsTheFirstTypeAndMapsLinToItsOwnKind) {
  RecordingSink sink;
  ScriptedManager manager(&sink);
  EXPECT_TRUE(manager.register_message(kBusCan, 2, 0x200, kTransportMux));
  EXPECT_TRUE(manager.register_message(kBusCan, 2, 0x200, kTransportIsoTp));
  EXPECT_EQ(manager.transport_type(kFrameCan, 2, 0x200), kTransportMux);
  EXPECT_TRUE(manager.register_message(kBusLin, 2, 0x3F, kTransportIsoTp));
  EXPECT_EQ(manager.transport_type(kFrameLin, 2, 0x3F), kTransportIsoTp);
  EXPECT_EQ(manager.transport_type(kFrameCan, 2, 0x3F), kTransportNone);

  Frame can = can_frame(0x200, {1}, false, 2);
  manager.on_frame(can);
  EXPECT_EQ(manager.created, (std::vector<int32_t>{kTransportMux}));
  // A LIN frame is found by the low 6 bits of its id; a CAN frame 0x3F is not.
  Frame lin = can_frame(0x7F, {0xEE}, false, 2);
  lin.kind = kFrameLin;
  Frame can3f = can_frame(0x3F, {0xEE}, false, 2);
  manager.on_frame(lin);
  manager.on_frame(can3f);
  ASSERT_EQ(sink.frames.size(), 2u);
  EXPECT_EQ(sink.frames[0].payload, (Bytes{'d', 'o', 'n', 'e'}));
  EXPECT_EQ(sink.frames[0].kind, kFrameLin);
  EXPECT_EQ(sink.frames[1].payload, (Bytes{0xEE}));
}

TEST(TransportManager, UnsupportedTypeLogsAndConsumesTheFrame) {
  testing_support::LogCapture log(LOG_ERROR);
  RecordingSink sink;
  auto manager = TransportManager::create(&sink);
  manager->register_message(kBusCan, 1, 0x300, 2);
  Frame f = can_frame(0x300, {0x03, 1, 2, 3});
  EXPECT_TRUE(manager->on_frame(f));
  EXPECT_NE(log.text().find("E Unsupported transport protocol\n"), std::string::npos);
  EXPECT_TRUE(sink.frames.empty());
  EXPECT_EQ(manager->open_sessions(), 0u);
}

// On a J1939 channel: control frames other than RTS and BAM are swallowed,
// TP.DT frames join the session of the TP.CM frame from the same sender to
// the same receiver, and each sender has its own session.
TEST(TransportManager, J1939TransportKeys) {
  RecordingSink sink;
  ScriptedManager manager(&sink);
  ASSERT_TRUE(manager.register_message(kBusJ1939, 1, j1939_key(0x00EC0000, true), kTransportJ1939));
  for (uint8_t control : {17, 19, 255, 0}) {
    Frame f = can_frame(0x1CEC00F9, {control, 1, 2, 3, 4, 5, 6, 7}, true);
    EXPECT_TRUE(manager.on_frame(f));
  }
  Frame empty = can_frame(0x1CEC00F9, {}, true);
  EXPECT_TRUE(manager.on_frame(empty));
  EXPECT_TRUE(sink.frames.empty());
  EXPECT_EQ(manager.open_sessions(), 0u);
  EXPECT_TRUE(manager.created.empty());

  Frame rts = can_frame(0x1CEC00F9, {16, 9, 0, 2, 0xFF, 0x00, 0xFE, 0x00}, true);
  manager.on_frame(rts);
  Frame dt = can_frame(0x1CEB00F9, {1, 1, 2, 3, 4, 5, 6, 7}, true);
  manager.on_frame(dt);
  EXPECT_EQ(manager.open_sessions(), 1u);
  // The same group from another source, and a broadcast from the first.
  Frame other = can_frame(0x1CEC00FA, {16, 9, 0, 2, 0xFF, 0x00, 0xFE, 0x00}, true);
  manager.on_frame(other);
  Frame bam = can_frame(0x1CECFFF9, {32, 9, 0, 2, 0xFF, 0x00, 0xFE, 0x00}, true);
  manager.on_frame(bam);
  EXPECT_EQ(manager.open_sessions(), 3u);
  // An abort does not end the session it refers to.
  Frame abort = can_frame(0x1CEC00F9, {255, 1, 0xFF, 0xFF, 0xFF, 0x00, 0xFE, 0x00}, true);
  manager.on_frame(abort);
  EXPECT_EQ(manager.open_sessions(), 3u);
  Frame dt_last = can_frame(0x1CEB00F9, {0xEE, 1, 2, 3, 4, 5, 6, 7}, true);
  EXPECT_TRUE(manager.on_frame(dt_last));
  EXPECT_EQ(manager.open_sessions(), 2u);
  ASSERT_EQ(sink.frames.size(), 1u);
  EXPECT_EQ(sink.frames[0].payload, (Bytes{'d', 'o', 'n', 'e'}));
  EXPECT_EQ(manager.counters().successful, 1u);

  // A standard frame on the channel, and the same ids on a channel without
  // J1939, pass on.
  Frame standard = can_frame(0x7EC, {16}, false);
  Frame elsewhere = can_frame(0x1CEC00F9, {16}, true, 2);
  manager.on_frame(standard);
  manager.on_frame(elsewhere);
  EXPECT_EQ(sink.frames.size(), 3u);
}

// The next stage may feed unpacked frames straight back in; a frame for the
// key whose session just completed must start a new session, not meet the
// finished one.
TEST(TransportManager, FramesFedBackWhileTheCompletedFrameTravelsOn) {
  class FeedBack : public RecordingSink {
   public:
    TransportManager* manager = nullptr;
    bool on_frame(Frame& frame) override {
      RecordingSink::on_frame(frame);
      if (frame.payload.size() == 20) {
        Frame again = can_frame(0x7E8, {0x10, 0x14, 0, 1, 2, 3, 4, 5});
        manager->on_frame(again);
        Frame single = can_frame(0x7E8, {0x02, 7, 7});
        Frame again2 = can_frame(0x7E9, {0x02, 7, 7});
        manager->on_frame(single);
        manager->on_frame(again2);
      }
      return true;
    }
  } sink;
  auto manager = TransportManager::create(&sink);
  sink.manager = manager.get();
  manager->register_message(kBusCan, 1, 0x7E8, kTransportIsoTp);
  for (Bytes p : {Bytes{0x10, 0x14, 0, 1, 2, 3, 4, 5}, Bytes{0x21, 6, 7, 8, 9, 10, 11, 12},
                  Bytes{0x22, 13, 14, 15, 16, 17, 18, 19}}) {
    Frame f = can_frame(0x7E8, p);
    manager->on_frame(f);
  }
  // The single frame broke the fresh transfer; the completed one counts.
  TransportCounters c = manager->counters();
  EXPECT_EQ(c.successful, 1u);
  EXPECT_EQ(c.failed, 1u);
  EXPECT_EQ(c.unfinished, 0u);
  ASSERT_EQ(sink.frames.size(), 2u);
  EXPECT_EQ(sink.frames[1].id, 0x7E9u);
}

TEST(TransportManager, CreateNeedsANextSink) {
  EXPECT_EQ(TransportManager::create(nullptr), nullptr);
}

}  // namespace
}  // namespace quillon
