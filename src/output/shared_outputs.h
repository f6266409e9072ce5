// What the frame handlers of one run share when several threads convert
// into one output folder: the failures already told, and the folders the
// run made. Outputs of different tasks never share a file, but they do share
// folders (one logger's sessions meet in its day folders), so making,
// filling and taking back folders is done under one lock. Also the output
// folder and the logger folders held open, each logger folder locked
// against other processes for as long as a handler of the run writes there.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

#include "input/folder.h"
#include "platform/platform.h"

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

  // The output folder, opened once when first needed and held: undo and
  // sync go through it (and the folders below it), so that a tree renamed
  // while the run lasts is undone like any other. Null until entered.
  platform::Folder* root_folder() { return root_folder_.get(); }

  // kNoFolder: the output folder or the logger folder could not be opened
  // or made (told), so nothing can be written below it.
  enum class Entry { kEntered, kBusy, kFailed, kNoFolder };
  // Enters the logger folder logger (relative to root): the first handler
  // of the run makes it when missing, locks it against other processes
  // and rolls back what an interrupted run left there (told). The folder
  // is set to the held folder when kEntered; kBusy: another process
  // converts into it (told once); kFailed: told. Call with tree_mutex()
  // held.
  Entry enter(const RootedFolder& root, const std::string& logger, bool durable,
              platform::Folder*& folder);
  // One handler fewer in the logger folder: the last one lets go of its
  // lock, removes the lock file and, when the run made it and it is empty,
  // the folder. Call with tree_mutex() held.
  void leave(const std::string& logger);
  // Rolls back what an interrupted run left in the logger folders below
  // root that this run may not enter (every log of the logger was done
  // with before the kill): each folder that holds a lock file and that
  // mine takes is entered and left again, quietly passed over when
  // another process holds it. Call before the handlers start.
  void recover_left_behind(const RootedFolder& root, bool durable,
                           const std::function<bool(const std::string&)>& mine);
  // Tells the handlers' journals apart in a logger folder.
  unsigned next_journal_number() { return journals_++; }

 private:
  struct Held {
    std::unique_ptr<platform::Folder> folder;
    intptr_t lock = 0;
    unsigned handlers = 0;
  };
  // kBusy when another process holds the lock (told).
  Entry lock(const RootedFolder& root, const std::string& logger, platform::Folder& folder,
             Held& held);
  Entry make_entry(const RootedFolder& root, const std::string& logger, bool durable, Held& held);

  std::mutex report_mutex_;
  std::set<std::string> reported_;
  std::mutex tree_mutex_;
  std::map<std::string, bool> made_folders_;
  std::mutex held_mutex_;
  std::unique_ptr<platform::Folder> root_folder_;
  std::map<std::string, Held> held_;
  std::atomic<unsigned> journals_{0};
  bool sweeping_ = false;  // in recover_left_behind: busy folders untold
};

}  // namespace quillon
