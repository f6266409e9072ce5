#include "dbc/json_dump.h"

#include <cmath>
#include <cstdio>

namespace quillon {

namespace {

void append_string(std::string& out, const std::string& text) {
  out += '"';
  for (char c : text) {
    auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", u);
      out += esc;
    } else {
      out += c;
    }
  }
  out += '"';
}

void append_unsigned(std::string& out, unsigned value) {
  char buffer[16];
  int n = std::snprintf(buffer, sizeof buffer, "%u", value);
  out.append(buffer, static_cast<size_t>(n));
}

// "%f", six decimals. Huge finite values (up to about 1e308) need more than
// any fixed buffer, so the length is asked first.
void append_number(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  char buffer[64];
  int n = std::snprintf(buffer, sizeof buffer, "%f", value);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof buffer) {
    out.append(buffer, static_cast<size_t>(n));
    return;
  }
  size_t start = out.size();
  out.resize(start + static_cast<size_t>(n) + 1);
  std::snprintf(&out[start], static_cast<size_t>(n) + 1, "%f", value);
  out.resize(start + static_cast<size_t>(n));
}

const char* bool_text(bool b) {
  return b ? "true" : "false";
}

const char* bus_name(int32_t bus_kind) {
  switch (bus_kind) {
    case kBusCan:
      return "CAN";
    case kBusJ1939:
      return "CAN-PGN";
    case kBusLin:
      return "LIN";
    default:
      return "";
  }
}

const char* transport_name(int32_t type) {
  switch (type) {
    case kTransportJ1939:
      return "J1939TP";
    case kTransportNmea:
      return "NMEATP";
    case kTransportIsoTp:
      return "ISOTP";
    case kTransportMux:
      return "MUXTP";
    default:
      return "";
  }
}

void append_signals(std::string& out, const SignalList& list);

void append_groups(std::string& out, const GroupList& groups) {
  out += '[';
  for (const auto& g : groups) {
    out += "{\"from\":";
    append_unsigned(out, g->from);
    out += ",\"to\":";
    append_unsigned(out, g->to);
    out += ",\"signals\":";
    append_signals(out, g->signals);
    out += "},";
  }
  if (out.back() == ',') out.pop_back();
  out += ']';
}

void append_signals(std::string& out, const SignalList& list) {
  out += '[';
  for (const auto& s : list) {
    const SignalParams& p = s->params;
    out += "{\"name\":";
    append_string(out, s->name);
    out += ",\"ignored\":";
    out += bool_text(s->ignored);
    out += ",\"bitpos\":";
    append_unsigned(out, p.bit_position);
    out += ",\"bitlen\":";
    append_unsigned(out, p.bit_length);
    out += ",\"bigendian\":";
    out += bool_text(p.byte_order == kBigEndian);
    out += ",\"signed\":";
    out += bool_text(p.value_type == kValueSigned);
    out += ",\"factor\":";
    append_number(out, p.factor);
    out += ",\"offset\":";
    append_number(out, p.offset);
    out += ",\"min\":";
    append_number(out, p.minimum);
    out += ",\"max\":";
    append_number(out, p.maximum);
    out += ",\"multiplexed\":";
    append_groups(out, s->groups);
    out += "},";
  }
  if (out.back() == ',') out.pop_back();
  out += ']';
}

}  // namespace

std::string database_json(const MessageDatabase& db) {
  std::string out = "{\"bus\":\"";
  out += bus_name(db.bus_kind());
  out += "\",\"messages\":[";
  for (const auto& [key, m] : db.messages()) {
    out += "{ \"key\":";
    append_unsigned(out, key);
    out += ",\"name\":";
    append_string(out, m->name);
    out += ",\"tp\":\"";
    out += transport_name(m->transport_type);
    out += "\",\"ignored\":";
    out += bool_text(m->ignored);
    out += ",\"length\":";
    append_unsigned(out, m->length);
    out += ",\"signals\":";
    append_signals(out, m->signals);
    out += "},";
  }
  if (out.back() == ',') out.pop_back();
  out += "]}";
  return out;
}

}  // namespace quillon
