// A generated fleet of loggers: several sessions each, split into numbered
// files, with the traffic a converter meets on the road (plain J1939 and
// CAN frames from several sources, J1939 broadcast and ISO-TP transfers,
// some of them announced at the end of one split and finished in the next)
// and, on request, the awkward cases of a fleet: a split missing from a
// series, a split given twice, a session running past midnight, two logger
// IDs that share one output folder, logs whose header does not read, and a
// blocked output folder that fails one log. Deterministic.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace quillon::test {

struct FleetShape {
  int loggers = 12;
  int sessions = 3;
  int splits = 3;
  int frames_per_split = 200;
  // Extended sources per logger: each is an output of its own.
  int sources = 4;
  bool quirks = true;
};

// J1939 on channel 1: EEC1 from each source, EC1 by broadcast transfer.
inline const char* fleet_j1939_dbc() {
  return "VERSION \"\"\n\nBU_: ECU TCU\n\n"
         "BO_ 2566841342 EC1: 20 ECU\n"
         " SG_ IdleSpeed : 0|16@1+ (0.125,0) [0|8031.875] \"rpm\" TCU\n"
         " SG_ IdleTorque : 16|8@1+ (1,-125) [-125|125] \"%\" TCU\n"
         " SG_ RefTorque : 144|16@1+ (1,0) [0|64255] \"Nm\" TCU\n\n"
         "BO_ 2364540158 EEC1: 8 ECU\n"
         " SG_ Torque : 0|8@1+ (1,-125) [-125|125] \"%\" TCU\n"
         " SG_ Eng_Speed : 8|16@1+ (0.125,0) [0|8031.875] \"rpm\" TCU\n\n"
         "BA_DEF_  \"BusType\" STRING ;\nBA_DEF_  \"ProtocolType\" STRING ;\n"
         "BA_ \"BusType\" \"CAN\";\nBA_ \"ProtocolType\" \"J1939\";\n";
}

// Plain CAN on channel 1: an ISO-TP response and a one-frame lamp message.
inline const char* fleet_can_dbc() {
  return "VERSION \"\"\n\nBU_: ECU TESTER\n\n"
         "BO_ 2024 VehicleInfo: 20 ECU\n"
         " SG_ ServiceId : 0|8@1+ (1,0) [0|255] \"\" TESTER\n"
         " SG_ Odometer : 8|32@1+ (0.1,0) [0|429496729.5] \"km\" TESTER\n"
         " SG_ BatteryVoltage : 144|16@1+ (0.001,0) [0|65.535] \"V\" TESTER\n\n"
         "BO_ 291 Lamp: 2 ECU\n"
         " SG_ Level : 0|8@1+ (1,0) [0|100] \"%\" TESTER\n\n"
         "BA_DEF_  \"BusType\" STRING ;\nBA_DEF_ BO_  \"TransportProtocolType\" STRING ;\n"
         "BA_ \"BusType\" \"CAN\";\nBA_ \"TransportProtocolType\" BO_ 2024 \"ISOTP\";\n";
}

namespace fleet_detail {

inline uint64_t mix(uint64_t x) {
  x ^= x >> 33;
  x *= 0xFF51AFD7ED558CCDull;
  x ^= x >> 33;
  x *= 0xC4CEB9FE1A85EC53ull;
  return x ^ (x >> 33);
}

// Milliseconds since 2024-05-17 00:00 (within the month) as the log's full
// timestamp; out holds 40 bytes.
inline void stamp(char* out, int64_t ms) {
  int day = 17 + static_cast<int>(ms / 86400000);
  int64_t in_day = ms % 86400000;
  std::snprintf(out, 40, "202405%02dT%02d%02d%02d%03d", day, static_cast<int>(in_day / 3600000),
                static_cast<int>(in_day / 60000 % 60), static_cast<int>(in_day / 1000 % 60),
                static_cast<int>(in_day % 1000));
}

class LogText {
 public:
  LogText(const std::string& logger_id, int session, int split, int64_t start_ms) : ms_(start_ms) {
    char time[40];
    stamp(time, start_ms);
    time[15] = '\0';  // the header's time has no milliseconds
    text_ = "# Logger type: Telvorn2000\n# Logger ID: " + logger_id +
            "\n# Session No.: " + std::to_string(session) +
            "\n# Split No.: " + std::to_string(split) + "\n# Time: " + time +
            "\n# Value separator: \";\"\nTimestamp;Type;ID;Length;Data\n";
  }
  void frame(bool extended, uint32_t id, uint64_t data) {
    char line[96];
    char time[40];
    stamp(time, ms_);
    ms_ += 10;
    int n = std::snprintf(line, sizeof line, "%s;%d;%08X;8;%016llX\n", time, extended ? 1 : 0, id,
                          static_cast<unsigned long long>(data));
    text_.append(line, static_cast<size_t>(n));
  }
  // The parts of a 20-byte broadcast transfer of EC1 from source 00 and of
  // a 20-byte ISO-TP response: announcement and first data, then the rest.
  void transfers_begin(uint64_t seed) {
    frame(true, 0x1CECFF00, 0x20140003FFE3FE00ull);
    frame(false, 0x7E8, 0x1014620000000000ull | (mix(seed) & 0xFFFFFFFFFFull));
    frame(true, 0x1CEBFF00, 0x0100000000000000ull | (mix(seed + 1) & 0xFFFFFFFFFFFFFFull));
  }
  void transfers_end(uint64_t seed) {
    frame(false, 0x7E8, 0x2100000000000000ull | (mix(seed + 2) & 0xFFFFFFFFFFFFFFull));
    frame(true, 0x1CEBFF00, 0x0200000000000000ull | (mix(seed + 3) & 0xFFFFFFFFFFFFFFull));
    frame(false, 0x7E8, 0x2200000000000000ull | (mix(seed + 4) & 0xFFFFFFFFFFFFFFull));
    frame(true, 0x1CEBFF00, 0x03FFFFFFFFFFFFFFull & (0x03FFFFFFFF000000ull | mix(seed + 5)));
  }
  int64_t ms() const { return ms_; }
  const std::string& text() const { return text_; }

 private:
  int64_t ms_;
  std::string text_;
};

inline bool write_file(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  out << text;
  return static_cast<bool>(out);
}

}  // namespace fleet_detail

// Where a session starts, in milliseconds since 2024-05-17 00:00: the
// second session of every logger runs past midnight, the third starts just
// after it, so the sessions of one logger share day folders.
inline int64_t fleet_session_start(const FleetShape& shape, int logger, int session) {
  const int64_t split_ms = int64_t{shape.frames_per_split} * 10 + 200;
  switch (session % 3) {
    case 1:
      return 8 * 3600000 + int64_t{logger} * 60000;
    case 2:
      return 86400000 - split_ms / 2 - int64_t{logger % 3} * 10;
    default:
      return 86400000 + 30000 + int64_t{session} * 3600000 + int64_t{logger} * 1000;
  }
}

// One log: frames_per_split frames cycling through the messages, a whole
// transfer in the middle, and transfers left open at the end for the next
// split (finished at its start when split > 1; the last split of the run
// leaves them unfinished). extra_source, when not -1,
// is the source address of every eighth frame.
inline std::string fleet_log(const FleetShape& shape, const std::string& logger_id, int logger,
                             int session, int split, int extra_source = -1) {
  using fleet_detail::mix;
  const int64_t split_ms = int64_t{shape.frames_per_split} * 10 + 200;
  fleet_detail::LogText log(logger_id, session, split,
                            fleet_session_start(shape, logger, session) + (split - 1) * split_ms);
  const uint64_t seed = (uint64_t(logger) << 40) ^ (uint64_t(session) << 20) ^ uint64_t(split);
  if (split > 1) log.transfers_end(seed - 1);
  for (int i = 0; i < shape.frames_per_split; ++i) {
    const uint64_t r = mix(seed * 1000003 + static_cast<uint64_t>(i));
    if (i == shape.frames_per_split / 2) {
      log.transfers_begin(seed + 100);
      log.transfers_end(seed + 100);
    }
    switch (i % 4) {
      case 0:
      case 2: {
        int source =
            0x10 + static_cast<int>((r >> 32) % static_cast<unsigned>(std::max(shape.sources, 1)));
        if (extra_source >= 0 && i % 8 == 2) source = extra_source;
        log.frame(true, 0x0CF00400 | static_cast<uint32_t>(source), r);
        break;
      }
      case 1:
        log.frame(false, 0x123, (r & 0x7F00000000000000ull) % 0x6500000000000000ull);
        break;
      default:
        log.frame(true, 0x0CF00400 | static_cast<uint32_t>(logger % 3), r);
        break;
    }
  }
  log.transfers_begin(seed);
  return log.text();
}

inline std::string fleet_logger_id(int logger) {
  char id[24];
  std::snprintf(id, sizeof id, "TRUCK-%02d", logger);
  return id;
}

inline std::string fleet_file_name(int session, int split, const char* suffix = "") {
  char name[40];
  std::snprintf(name, sizeof name, "%08d_%08d%s.TXT", session, split, suffix);
  return name;
}

// Writes j1939.dbc, can.dbc and fleet/L<nn>/<session>_<split>.TXT below
// root; with quirks also the awkward cases (see the top of this file),
// among them a regular file at TRUCK03_out/CAN1_EEC1_S05 that fails the log
// which would write there. False when a file cannot be written.
inline bool write_fleet(const std::filesystem::path& root, const FleetShape& shape) {
  using fleet_detail::write_file;
  bool ok = write_file(root / "j1939.dbc", fleet_j1939_dbc()) &&
            write_file(root / "can.dbc", fleet_can_dbc());
  for (int l = 0; l < shape.loggers && ok; ++l) {
    char folder[16];
    std::snprintf(folder, sizeof folder, "L%02d", l);
    const std::filesystem::path dir = root / "fleet" / folder;
    for (int s = 1; s <= shape.sessions && ok; ++s) {
      for (int k = 1; k <= shape.splits && ok; ++k) {
        // A gap: the series starts again after it.
        if (shape.quirks && l == 1 && s == 1 && k == 2) continue;
        // Past midnight the second session of logger 3 meets its blocked folder.
        const int extra = shape.quirks && l == 3 && s == 2 && k == 2 ? 5 : -1;
        const std::string text = fleet_log(shape, fleet_logger_id(l), l, s, k, extra);
        ok = write_file(dir / fleet_file_name(s, k), text);
        // A split given twice: the copy is skipped, the series goes on.
        if (ok && shape.quirks && l == 2 && s == 1 && k == 2) {
          ok = write_file(dir / fleet_file_name(s, k, "r"), text);
        }
      }
    }
  }
  if (ok && shape.quirks && shape.loggers > 3) {
    // "TRUCK_00" shares TRUCK-00's folder: its first split takes "-2" names.
    ok = write_file(root / "fleet/L00x" / fleet_file_name(1, 1),
                    fleet_log(shape, "TRUCK_00", 0, 1, 1)) &&
         write_file(root / "fleet/L01/zz_bad_header.TXT",
                    "# Logger ID: TRUCK-01\n# Session No.: 0\n# Split No.: 1\n"
                    "# Value separator: \";\"\nTimestamp;Type;ID;Length;Data\n") &&
         write_file(root / "fleet/L01/zz_empty.TXT", "") &&
         write_file(root / "TRUCK03_out/CAN1_EEC1_S05", "in the way\n");
  }
  return ok;
}

}  // namespace quillon::test
