// The version block that the version option prints; its values are fixed
// when the program is built.
#pragma once

#include <string>

namespace quillon {

// "Version: yy.mm.dd.<8 hex>\n", "Build date: Mon d yyyy hh:mm:ss\n" and
// "GIT SHA: <40 hex>\n".
std::string version_block();

}  // namespace quillon
