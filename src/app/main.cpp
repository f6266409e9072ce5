#include "app/run.h"

int main(int argc, char** argv) {
  return quillon::run(argc, argv);
}
