// Tells the transport stages, before the first log file, which messages of
// the CAN databases arrive under a transport protocol.
#pragma once

#include "dbc/loader.h"
#include "tp/manager.h"
#include "tp/mux_stage.h"

namespace quillon {

// For each CAN channel and each of its databases: a J1939 database registers
// the J1939 transport; every message with a transport type registers it with
// the manager, and a MUXTP message registers its four target channels
// ("MUXTP#a:b:c:d", low 8 bits of each number) with the MUX stage. Failures
// are logged and skipped. True when anything was registered with the
// manager, i.e. the manager must head the frame chain.
bool register_transport_messages(const ChannelMap& can_channels, TransportManager& manager,
                                 MuxStage& mux);

}  // namespace quillon
