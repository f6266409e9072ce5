#include "app/version.h"

#include "build_info.h"

namespace quillon {

std::string version_block() {
  std::string out;
  out += "Version: " QUILLON_VERSION "\n";
  out += "Build date: " QUILLON_BUILD_DATE "\n";
  out += "GIT SHA: " QUILLON_GIT_SHA "\n";
  return out;
}

}  // namespace quillon
