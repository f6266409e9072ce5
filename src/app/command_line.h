// Turns the argument vector into a filled and validated converter state.
#pragma once

#include "app/converter_state.h"

namespace quillon {

// True when the run may go on. On false the run ends with status as set
// here (left at kExitNotStarted where nothing else applies).
bool run_command_line(ConverterState& converter, int argc, char** argv, int& status);

}  // namespace quillon
