// What the frame handlers of one run share when several threads convert
// into one output folder: the failures already told, and the folders the
// run made. Outputs of different tasks never share a file, but they do share
// folders (one logger's sessions meet in its day folders), so making,
// filling and taking back folders is done under one lock.
#pragma once

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

namespace quillon {

class SharedOutputs {
 public:
  // True the first time in the run that this failure (what, path) is told.
  bool first_report(std::string_view what, std::string_view path);
  // Logs "<what>: <path> (<reason>)" the first time in the run for this
  // what and path.
  void report_once(const char* what, const std::string& path, int error);

  // Held while a handler opens (making what is missing) the folders of a
  // new output and creates the file in it, and while undo removes folders:
  // a folder that is empty while it is held is one nobody is about to fill.
  std::mutex& tree_mutex() { return tree_mutex_; }
  // The folders this run made, by relative path, and whether their entry
  // in their parent has reached the device. Only under tree_mutex().
  std::map<std::string, bool>& made_folders() { return made_folders_; }

 private:
  std::mutex report_mutex_;
  std::set<std::string> reported_;
  std::mutex tree_mutex_;
  std::map<std::string, bool> made_folders_;
};

}  // namespace quillon
