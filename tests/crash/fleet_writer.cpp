// Writes a generated fleet (tests/fleet_gen.h) for the crash tests:
//   fleet_writer ROOT LOGGERS SESSIONS SPLITS FRAMES [quirks]
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fleet_gen.h"

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr, "usage: %s ROOT LOGGERS SESSIONS SPLITS FRAMES [quirks]\n", argv[0]);
    return 2;
  }
  quillon::test::FleetShape shape;
  shape.loggers = std::atoi(argv[2]);
  shape.sessions = std::atoi(argv[3]);
  shape.splits = std::atoi(argv[4]);
  shape.frames_per_split = std::atoi(argv[5]);
  shape.quirks = argc > 6 && std::strcmp(argv[6], "quirks") == 0;
  return quillon::test::write_fleet(argv[1], shape) ? 0 : 1;
}
