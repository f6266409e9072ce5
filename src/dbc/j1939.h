// Facts of J1939 that the database, the transport stage and the output
// naming share: where an identifier keeps its addresses, and the transport
// groups with their control bytes.
#pragma once

#include <cstdint>

namespace quillon {

// The PDU format of a 29-bit identifier (bits 16 to 23).
constexpr uint32_t j1939_pdu_format(uint32_t id) {
  return (id >> 16) & 0xFFu;
}
// The PDU format of an 18-bit parameter group number (bits 8 to 15).
constexpr uint32_t j1939_pgn_pdu_format(uint32_t pgn) {
  return (pgn >> 8) & 0xFFu;
}
// PDU1 formats (below 240) carry a destination address in the low byte of
// the group; PDU2 formats use that byte as part of the group.
constexpr bool j1939_has_destination(uint32_t pdu_format) {
  return pdu_format < 240;
}

// Parameter groups of the two transport frames, and their database keys.
constexpr uint32_t kJ1939PgnDataTransfer = 0x00EB00;
constexpr uint32_t kJ1939PgnConnectionManagement = 0x00EC00;
constexpr uint32_t kJ1939TpDtKey = 0x80000000u | kJ1939PgnDataTransfer << 8;
constexpr uint32_t kJ1939TpCmKey = 0x80000000u | kJ1939PgnConnectionManagement << 8;
// First byte of the TP.CM frames that open a transfer: a request to send
// and a broadcast announcement.
constexpr uint8_t kJ1939ControlRts = 16;
constexpr uint8_t kJ1939ControlBam = 32;

}  // namespace quillon
