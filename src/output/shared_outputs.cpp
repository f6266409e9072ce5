#include "output/shared_outputs.h"

namespace quillon {

bool SharedOutputs::first_report(std::string_view what, std::string_view path) {
  std::string key(what);
  key += '\0';
  key += path;
  std::lock_guard<std::mutex> lock(report_mutex_);
  return reported_.insert(std::move(key)).second;
}

}  // namespace quillon
