// End-to-end conversion of a generated J1939 log of 1,000,000 frames (five
// messages of eight signals, one DBC) through the real binary, next to two
// references measured in the same run: reading the same file alone (the
// conversion loop with a sink that accepts everything) and formatting the
// identical rows alone with the mandated formatter (the floor). Medians of
// five runs. A second conversion per run uses the same DBC plus one ISO-TP
// message that never occurs, so that the cost of a transport registration to
// the frames it does not concern shows as a ratio. A third conversion reads a
// log of the same size where every other frame belongs to a J1939 broadcast
// (BAM) transfer of a 20-byte group (an announcement and three data packets,
// from four source addresses in turn), so that reassembly and decoding of
// the whole messages show next to the plain log. Two more conversions read
// the plain log with the same database where every signal has a value
// table of 64 labels: without --value-labels (the default must cost
// nothing, against the plain database and against an older binary given as
// the first argument) and with it (a binary without the option prints n/a
// there). Usage: convert_bench
// [quillon binary] [frames]; the files are generated in a folder of their
// own below <temp>, so that runs side by side do not remove each other's.
#include <stb/stb_sprintf.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "convert_common.h"
#include "input/conversion_loop.h"
#include "input/folder.h"
#include "input/sink.h"

namespace {

using namespace bench;

// The same database with one ISO-TP message whose identifier the log never
// uses.
std::string dbc_text_with_isotp() {
  return dbc_text() +
         "\nBO_ 2024 Diag: 64 ECU\n SG_ Service : 0|8@1+ (1,0) [0|255] \"\" ECU\n\n"
         "BA_DEF_ BO_  \"TransportProtocolType\" STRING ;\n"
         "BA_ \"TransportProtocolType\" BO_ 2024 \"ISOTP\";\n";
}

// The 20-byte group of the BAM log (0x00FF20, PDU2): ten 16-bit signals.
std::string dbc_text_with_bam_group() {
  std::string s = dbc_text() + "\nBO_ 2566856958 Long: 20 ECU\n";
  char line[160];
  for (int k = 0; k < 10; ++k) {
    std::snprintf(line, sizeof line, " SG_ Long_%d : %d|16@1+ (0.01,0) [0|655.35] \"\" ECU\n", k,
                  16 * k);
    s += line;
  }
  return s;
}

// With bam, every odd frame is one of the four frames of a BAM transfer.
std::string log_text(long frames, bool bam = false) {
  std::string s = log_header();
  s.reserve(static_cast<size_t>(frames) * 44);
  for (long i = 0; i < frames; ++i) {
    unsigned id = 0x18FF1000u + ((i % kMessages) << 8) + (i % 2);
    uint8_t bytes[8];
    for (int k = 0; k < 8; ++k) bytes[k] = payload_byte(i, k);
    if (bam && i % 2 == 1) {
      long transfer = i / 8, packet = i / 2 % 4;
      unsigned source = 0x20 + static_cast<unsigned>(transfer % 4);
      if (packet == 0) {
        id = 0x18ECFF00u | source;
        const uint8_t announce[8] = {32, 20, 0, 3, 0xFF, 0x20, 0xFF, 0x00};
        std::copy(announce, announce + 8, bytes);
      } else {
        id = 0x18EBFF00u | source;
        bytes[0] = static_cast<uint8_t>(packet);
        if (packet == 3) bytes[7] = 0xFF;  // 20 = 7 + 7 + 6: the last byte is padding
      }
    }
    append_frame(s, i, id, bytes);
  }
  return s;
}

}  // namespace

// The small database, every signal with a value table: labels for 64 of
// its raw values.
std::string dbc_text_with_value_tables() {
  std::string s = dbc_text();
  char line[64];
  for (int m = 0; m < kMessages; ++m) {
    for (int k = 0; k < 8; ++k) {
      std::snprintf(line, sizeof line, "VAL_ %u Sig%d_%d", 0x98FF1000u + (m << 8), m, k);
      s += line;
      for (int v = 0; v < 256; v += 4) {
        std::snprintf(line, sizeof line, " %d \"State %d, code\"", v, v);
        s += line;
      }
      s += " ;\n";
    }
  }
  return s;
}

int main(int argc, char** argv) {
  // The runs change folder, so a relative binary path is resolved first.
  std::string binary = std::filesystem::absolute(argc > 1 ? argv[1] : QUILLON_BINARY).string();
  long frames = argc > 2 ? std::atol(argv[2]) : 1000000;
  namespace fs = std::filesystem;
  fs::path dir = unique_folder("quillon-convert-bench");
  fs::create_directories(dir / "logs");
  std::ofstream(dir / "bench.dbc", std::ios::binary) << dbc_text();
  std::ofstream(dir / "bench_isotp.dbc", std::ios::binary) << dbc_text_with_isotp();
  std::ofstream(dir / "bench_labels.dbc", std::ios::binary) << dbc_text_with_value_tables();
  std::string log = log_text(frames);
  std::ofstream(dir / "logs" / "00000001.TXT", std::ios::binary) << log;
  double mb = static_cast<double>(log.size()) / 1e6;
  std::ofstream(dir / "bench_bam.dbc", std::ios::binary) << dbc_text_with_bam_group();
  fs::create_directories(dir / "bam_logs");
  std::string bam_log = log_text(frames, true);
  std::ofstream(dir / "bam_logs" / "00000001.TXT", std::ios::binary) << bam_log;
  double bam_mb = static_cast<double>(bam_log.size()) / 1e6;
  const long transfers = frames / 8;  // an announcement and three packets per 8 frames

  std::vector<double> reader, floor, total, total_isotp, total_bam, total_tables, total_labels;
  bool labels_known = true;
  for (int run = 0; run < kRuns; ++run) {
    reader.push_back(read_alone(dir, "logs"));
    floor.push_back(format_floor(frames));

    for (int variant = 0; variant < 5; ++variant) {
      const char* dbc = variant == 0   ? "bench.dbc"
                        : variant == 1 ? "bench_isotp.dbc"
                        : variant == 2 ? "bench_bam.dbc"
                                       : "bench_labels.dbc";
      const char* logs = variant == 2 ? "bam_logs" : "logs";
      if (variant == 4 && !labels_known) continue;
      fs::remove_all(dir / "out");
      fs::create_directories(dir / "out");
      std::string command = "cd '" + dir.string() + "' && '" + binary + "' --dbc-can1=" + dbc +
                            (variant == 4 ? " --value-labels" : "") + " -O out " + logs + " > '" +
                            (dir / "stdout").string() + "' 2>&1";
      int status = 0;
      double t = seconds([&] { status = std::system(command.c_str()); });
      if (status != 0 && variant == 4) {
        labels_known = false;  // an older binary
        continue;
      }
      if (status != 0) {
        // A failed run measures nothing: no figures rather than wrong ones.
        std::printf("run %d (%s): the conversion returned %d\n", run, dbc, status);
        return 1;
      }
      if (variant == 2) {
        // Every transfer must have been reassembled, or the figure means nothing.
        std::ifstream in(dir / "stdout");
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::string want = "- Successful sessions: " + std::to_string(transfers) + "\n";
        if (text.find(want) == std::string::npos) {
          std::printf("run %d: expected %ld successful sessions:\n%s", run, transfers,
                      text.c_str());
          return 1;
        }
      }
      (variant == 0   ? total
       : variant == 1 ? total_isotp
       : variant == 2 ? total_bam
       : variant == 3 ? total_tables
                      : total_labels)
          .push_back(t);
    }
  }

  double r = median(reader), f = median(floor), t = median(total);
  std::printf("frames: %ld, input: %.1f MB, medians of %d runs\n", frames, mb, kRuns);
  std::printf("reader only:  %8.3f s  %10.0f frames/s  %7.1f MB/s\n", r, frames / r, mb / r);
  std::printf("format floor: %8.3f s  %10.0f frames/s\n", f, frames / f);
  std::printf("end to end:   %8.3f s  %10.0f frames/s  %7.1f MB/s  %.2fx the floor\n", t,
              frames / t, mb / t, t / f);
  double ti = median(total_isotp);
  std::printf("with ISO-TP:  %8.3f s  %10.0f frames/s  %7.1f MB/s  %.3fx end to end\n", ti,
              frames / ti, mb / ti, ti / t);
  double tb = median(total_bam);
  std::printf(
      "half BAM:     %8.3f s  %10.0f frames/s  %7.1f MB/s  %.3fx end to end"
      "  (%ld transfers of 20 bytes)\n",
      tb, frames / tb, bam_mb / tb, tb / t, transfers);
  double tt = median(total_tables);
  std::printf("value tables: %8.3f s  %10.0f frames/s  %7.1f MB/s  %.3fx end to end\n", tt,
              frames / tt, mb / tt, tt / t);
  if (labels_known) {
    double tl = median(total_labels);
    std::printf("with labels:  %8.3f s  %10.0f frames/s  %7.1f MB/s  %.3fx value tables\n", tl,
                frames / tl, mb / tl, tl / tt);
  } else {
    std::printf("with labels:  n/a (the binary has no --value-labels)\n");
  }
  // QUILLON_BENCH_KEEP=1 keeps the generated files, for profiling the binary.
  if (!std::getenv("QUILLON_BENCH_KEEP")) fs::remove_all(dir);
  return 0;
}
