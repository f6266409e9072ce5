// Peak memory of the whole quillon process when a J1939 channel is flooded
// with transport announcements that never finish, next to a plain J1939 log
// of the same number of frames in the same run. A session is kept per
// (priority, destination, source) of the announcing frame, so one channel
// holds at most 8 x 256 x 256 = 524,288 of them, and each holds at most the
// 1785 bytes of 255 packets. The floods:
//   - BAM: broadcast announcements from all 256 sources at all 8
//     priorities, repeated until the log is full (2,048 senders);
//   - RTS: requests to send from every source to every destination at every
//     priority, each announcing 1785 bytes (524,288 senders);
//   - RTS + 1: the same, each followed by its first data packet, so that
//     every session also holds the start of a message.
// Peak resident set size as /usr/bin/time reports it; the number of open
// (unfinished) sessions from the summary.
//
//   transport_flood_bench [QUILLON] [frames]
//
// The logs are generated in <temp>/quillon-flood-bench and removed after.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "log_gen.h"

namespace {

namespace fs = std::filesystem;

const char kDbc[] =
    "VERSION \"\"\n\nBU_: ECU\n\nBO_ 2566844414 Msg: 8 ECU\n"
    " SG_ S : 0|8@1+ (1,0) [0|255] \"\" ECU\n\n"
    "BA_DEF_  \"BusType\" STRING ;\nBA_DEF_  \"ProtocolType\" STRING ;\n"
    "BA_ \"BusType\" \"CAN\";\nBA_ \"ProtocolType\" \"J1939\";\n";

const char kHeader[] =
    "# Logger ID: FLOOD01\n# Session No.: 1\n# Split No.: 1\n# Time: 20240517T100000\n"
    "# Value separator: \";\"\n# Time format: 3\n# Time separator: \"\"\n"
    "# Time separator ms: \"\"\nTimestamp;Type;ID;Length;Data\n";

enum class Flood { kBam, kRts, kRtsAndPacket };

// frames lines of the flood; the senders are walked in order and again.
bool write_flood(const fs::path& path, long frames, Flood kind) {
  std::FILE* f = std::fopen(path.string().c_str(), "wb");
  if (f == nullptr) return false;
  std::fputs(kHeader, f);
  const long senders = kind == Flood::kBam ? 8L * 256 : 8L * 256 * 256;
  for (long i = 0; i < frames; ++i) {
    long ms = 36000000 + i / 4;
    long step = kind == Flood::kRtsAndPacket ? i / 2 : i;
    long s = step % senders;
    unsigned priority = static_cast<unsigned>(s % 8), source = static_cast<unsigned>(s / 8 % 256);
    unsigned destination = kind == Flood::kBam ? 0xFF : static_cast<unsigned>(s / 2048);
    bool packet = kind == Flood::kRtsAndPacket && i % 2 == 1;
    unsigned id = priority << 26 | (packet ? 0xEBu : 0xECu) << 16 | destination << 8 | source;
    const char* data = packet                ? "01A1A2A3A4A5A6A7"
                       : kind == Flood::kBam ? "20F906FFFF00FF00"  // 1785 bytes, group 0xFF00
                                             : "10F906FFFF00EF00";
    std::fprintf(f, "%02ld%02ld%02ld%03ld;1;%08X;8;%s\n", ms / 3600000, ms / 60000 % 60,
                 ms / 1000 % 60, ms % 1000, id, data);
  }
  return std::fclose(f) == 0;
}

// Peak resident set size in MB of one conversion of log.txt, and the open
// sessions it reported; false when the run failed.
bool run(const fs::path& dir, const std::string& binary, double* peak_mb, long* unfinished) {
  fs::create_directories(dir / "out");
  const std::string command = "cd '" + dir.string() + "' && /usr/bin/time -f %M -o peak.txt '" +
                              binary + "' --dbc-can1=flood.dbc -O out log.txt > stdout.txt 2>&1";
  if (std::system(command.c_str()) != 0) return false;
  long kb = -1;
  std::ifstream(dir / "peak.txt") >> kb;
  std::ifstream in(dir / "stdout.txt");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string label = "- Unfinished sessions: ";
  size_t at = text.find(label);
  *unfinished = at == std::string::npos ? -1 : std::atol(text.c_str() + at + label.size());
  *peak_mb = kb / 1024.0;
  fs::remove_all(dir / "out");
  return kb > 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string binary = fs::absolute(argc > 1 ? argv[1] : QUILLON_BINARY).string();
  const long frames = argc > 2 ? std::atol(argv[2]) : 1048576;  // every RTS sender once
  if (std::system("test -x /usr/bin/time") != 0) {
    std::fprintf(stderr, "needs /usr/bin/time to measure the peak memory\n");
    return 1;
  }
  const fs::path dir = fs::temp_directory_path() / "quillon-flood-bench";
  fs::remove_all(dir);
  fs::create_directories(dir);
  std::ofstream(dir / "flood.dbc", std::ios::binary) << kDbc;

  double reference = 0;
  std::printf("frames: %ld per log\n", frames);
  const char* names[] = {"plain J1939", "BAM flood", "RTS flood", "RTS + 1 packet"};
  for (int k = 0; k < 4; ++k) {
    bool written = k == 0 ? quillon::bench::generate_log((dir / "log.txt").string(),
                                                         static_cast<uint64_t>(frames))
                          : write_flood(dir / "log.txt", frames, static_cast<Flood>(k - 1));
    if (!written) {
      std::printf("cannot write the log\n");
      return 1;
    }
    double mb = static_cast<double>(fs::file_size(dir / "log.txt")) / 1e6;
    double peak = 0;
    long open = 0;
    if (!run(dir, binary, &peak, &open)) {
      std::printf("%s: the conversion failed\n", names[k]);
      return 1;
    }
    if (k == 0) reference = peak;
    double per_session =
        open > 0 ? (peak - reference) * 1024 * 1024 / static_cast<double>(open) : 0;
    std::printf("%-15s %7.1f MB log: peak %7.1f MB (%+7.1f MB), %7ld open sessions, %6.0f B each\n",
                names[k], mb, peak, peak - reference, open, per_session);
  }
  if (!std::getenv("QUILLON_BENCH_KEEP")) fs::remove_all(dir);
  return 0;
}
