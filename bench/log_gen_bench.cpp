// Writes a benchmark log: log_gen_bench FRAMES PATH [full]
// (about 40 bytes a frame; 49 with "full" timestamps that hold the date).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log_gen.h"

int main(int argc, char** argv) {
  if (argc != 3 && !(argc == 4 && std::strcmp(argv[3], "full") == 0)) {
    std::fprintf(stderr, "usage: %s FRAMES PATH [full]\n", argv[0]);
    return 2;
  }
  unsigned long long frames = std::strtoull(argv[1], nullptr, 10);
  if (!quillon::bench::generate_log(argv[2], frames, argc == 4)) {
    std::fprintf(stderr, "could not write %s\n", argv[2]);
    return 1;
  }
  std::printf("wrote %llu frames to %s\n", frames, argv[2]);
  return 0;
}
