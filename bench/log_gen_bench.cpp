// Writes a benchmark log: log_gen_bench FRAMES PATH (about 40 bytes a frame).
#include <cstdio>
#include <cstdlib>

#include "log_gen.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s FRAMES PATH\n", argv[0]);
    return 2;
  }
  unsigned long long frames = std::strtoull(argv[1], nullptr, 10);
  if (!quillon::bench::generate_log(argv[2], frames)) {
    std::fprintf(stderr, "could not write %s\n", argv[2]);
    return 1;
  }
  std::printf("wrote %llu frames to %s\n", frames, argv[2]);
  return 0;
}
