#include "app/command_line.h"

namespace quillon {

bool run_command_line(Converter& converter, int argc, char** argv, int& status) {
  (void)converter;
  (void)argc;
  (void)argv;
  (void)status;
  return true;
}

}  // namespace quillon
