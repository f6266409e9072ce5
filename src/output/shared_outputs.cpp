#include "output/shared_outputs.h"

#include "platform/platform.h"
#include "support/log.h"

namespace quillon {

bool SharedOutputs::first_report(std::string_view what, std::string_view path) {
  std::string key(what);
  key += '\0';
  key += path;
  std::lock_guard<std::mutex> lock(report_mutex_);
  return reported_.insert(std::move(key)).second;
}

void SharedOutputs::report_once(const char* what, const std::string& path, int error) {
  if (!first_report(what, path)) return;
  QLOG(LOG_ERROR, "%s: %s (%s)", what, path.c_str(), platform::error_text(error).c_str());
}

}  // namespace quillon
