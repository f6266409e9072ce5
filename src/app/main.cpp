#include "app/run.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  quillon::platform::utf8_arguments(argc, argv);
  return quillon::run(argc, argv);
}
