#include "app/tp_registration.h"

#include <gtest/gtest.h>

#include "dbc/log_capture.h"

namespace quillon {
namespace {

class NullSink : public FrameSink {};

struct Stages {
  NullSink handler;
  std::unique_ptr<MuxStage> mux = MuxStage::create(&handler, nullptr);
  std::unique_ptr<TransportManager> manager = TransportManager::create(mux.get());
  ChannelMap channels;

  MessageDatabase& add_database(uint8_t channel, int32_t bus_kind) {
    channels[channel].push_back(MessageDatabase::create(bus_kind));
    return *channels[channel].back();
  }
  bool run() { return register_transport_messages(channels, *manager, *mux); }
};

TEST(TransportRegistration, NothingToRegister) {
  Stages s;
  MessageDatabase& db = s.add_database(1, kBusCan);
  db.add_message("Plain", 0x123, 8, kTransportNone, "", false);
  EXPECT_FALSE(s.run());
  EXPECT_EQ(s.manager->transport_type(kFrameCan, 1, 0x123), kTransportNone);
}

// A J1939 database with no transport message still puts the manager in
// front, for the J1939 transport of its channel.
TEST(TransportRegistration, J1939DatabaseRegistersItsTransport) {
  Stages s;
  s.add_database(3, kBusJ1939).add_message("EEC1", 0x80F00400, 8, kTransportNone, "", false);
  EXPECT_TRUE(s.run());
  EXPECT_EQ(s.manager->transport_type(kFrameCan, 3, 0x80EC0000), kTransportJ1939);
  EXPECT_EQ(s.manager->transport_type(kFrameCan, 1, 0x80EC0000), kTransportNone);
}

TEST(TransportRegistration, MessagesWithATransportTypeAndMuxTargets) {
  testing_support::LogCapture log(LOG_ERROR);
  Stages s;
  MessageDatabase& can = s.add_database(1, kBusCan);
  can.add_message("Diag", 0x7E8, 20, kTransportIsoTp, "", false);
  can.add_message("Fast", 0x98FF0000, 20, kTransportNmea, "", false);
  can.add_message("Mux", 0x600, 64, kTransportMux, "MUXTP#300:2:3:4", false);
  can.add_message("Bare", 0x601, 64, kTransportMux, "MUXTP", false);
  can.add_message("Signed", 0x602, 64, kTransportMux, "MUXTP#-1:2:3:4", false);
  can.add_message("Spaced", 0x603, 64, kTransportMux, "MUXTP#1:2:3:4 ", false);
  s.add_database(2, kBusCan)
      .add_message("Mux2", 0x600, 64, kTransportMux, "MUXTP#1:0:255:256", false);
  EXPECT_TRUE(s.run());
  EXPECT_EQ(s.manager->transport_type(kFrameCan, 1, 0x7E8), kTransportIsoTp);
  EXPECT_EQ(s.manager->transport_type(kFrameCan, 1, 0x98FF0000), kTransportNmea);
  for (uint32_t key : {0x600, 0x601, 0x602, 0x603}) {
    EXPECT_EQ(s.manager->transport_type(kFrameCan, 1, key), kTransportMux);
  }
  ASSERT_NE(s.mux->targets(1, 0x600), nullptr);
  EXPECT_EQ(*s.mux->targets(1, 0x600), (MuxTargets{44, 2, 3, 4}));  // 300 keeps its low 8 bits
  ASSERT_NE(s.mux->targets(2, 0x600), nullptr);
  EXPECT_EQ(*s.mux->targets(2, 0x600), (MuxTargets{1, 0, 255, 0}));
  for (uint32_t key : {0x601, 0x602, 0x603}) EXPECT_EQ(s.mux->targets(1, key), nullptr);
  std::string text = log.text();
  size_t count = 0;
  for (size_t at = 0; (at = text.find("E Failed to add MUX config\n", at)) != std::string::npos;
       ++at) {
    ++count;
  }
  EXPECT_EQ(count, 3u) << text;
  EXPECT_EQ(text.find("Failed to add TP config"), std::string::npos);
}

}  // namespace
}  // namespace quillon
