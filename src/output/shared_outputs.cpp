#include "output/shared_outputs.h"

#include <cerrno>

#include "output/journal_file.h"
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

namespace quillon {

SharedOutputs::Entry SharedOutputs::enter(const RootedFolder& root, const std::string& logger,
                                          bool durable, platform::Folder*& folder) {
  std::lock_guard<std::mutex> lock(held_mutex_);
  Held& held = held_[logger];
  if (held.handlers == 0) {
    const Entry entry = make_entry(root, logger, durable, held);
    if (entry != Entry::kEntered) {
      held_.erase(logger);
      return entry;
    }
  }
  ++held.handlers;
  folder = held.folder.get();
  return Entry::kEntered;
}

SharedOutputs::Entry SharedOutputs::make_entry(const RootedFolder& root, const std::string& logger,
                                               bool durable, Held& held) {
  const std::string full = root.full_path(logger);
  int error = 0;
  if (!root_folder_) {
    root_folder_.reset(platform::Folder::open(root.root(), error));
    if (!root_folder_) {
      report_once("Could not create output folder", root.root(), error);
      return Entry::kNoFolder;
    }
  }
  platform::Outcome outcome;
  held.folder.reset(root_folder_->open_folder(logger, true, outcome));
  if (!held.folder) {
    if (outcome.kind == platform::Outcome::kLink) {
      if (first_report("link", full)) {
        QLOG(LOG_ERROR, "Output path is a symbolic link: %s", full.c_str());
      }
    } else {
      report_once("Could not create output folder", full, outcome.error);
    }
    return Entry::kNoFolder;
  }
  if (outcome.kind == platform::Outcome::kCreated) made_folders_[logger] = false;
  const Entry locked = lock(root, logger, *held.folder, held);
  if (locked != Entry::kEntered) return locked;
  // Before anything of this run goes in: what a killed run left.
  const Recovery recovery = recover_journals(full, *held.folder, durable);
  if (recovery.found && recovery.ok) {
    QLOG(LOG_WARN, "Recovered the outputs of an interrupted run: %s", full.c_str());
  }
  if (!recovery.ok) {
    report_once("Could not recover the outputs of an interrupted run", recovery.path,
                recovery.error);
    held.folder->remove_file(kLockName, error);
    platform::unlock_file(held.lock);
    return Entry::kFailed;
  }
  return Entry::kEntered;
}

SharedOutputs::Entry SharedOutputs::lock(const RootedFolder& root, const std::string& logger,
                                         platform::Folder& folder, Held& held) {
  const std::string full = root.full_path(logger);
  const std::string path = full + "/" + kLockName;
  int error = 0;
  // A run that ends removes the lock file while it holds the lock: one
  // locked after that is no longer the folder's, and is taken again.
  for (int attempt = 0; attempt < 100; ++attempt) {
    intptr_t handle = 0;
    platform::FileId id, now;
    const platform::LockResult result = platform::lock_file(path, handle, id, error);
    if (result == platform::LockResult::kBusy) {
      if (!sweeping_ && first_report("busy", full)) {
        QLOG(LOG_ERROR, "Output folder is in use by another conversion: %s", full.c_str());
      }
      return Entry::kBusy;
    }
    if (result == platform::LockResult::kFailed) break;
    if (folder.entry_id(kLockName, now) && now == id) {
      held.lock = handle;
      return Entry::kEntered;
    }
    platform::unlock_file(handle);
  }
  report_once("Could not lock output folder", full, error != 0 ? error : EAGAIN);
  return Entry::kFailed;
}

void SharedOutputs::leave(const std::string& logger) {
  std::lock_guard<std::mutex> lock(held_mutex_);
  auto found = held_.find(logger);
  if (found == held_.end() || --found->second.handlers > 0) return;
  int error = 0;
  // Removed while locked: whoever opened it meanwhile finds it is no longer
  // at its path once it has the lock.
  found->second.folder->remove_file(kLockName, error);
  platform::unlock_file(found->second.lock);
  held_.erase(found);
  auto made = made_folders_.find(logger);
  if (made != made_folders_.end() && root_folder_->remove_folder(logger, error)) {
    made_folders_.erase(made);
  }
}

void SharedOutputs::recover_left_behind(const RootedFolder& root, bool durable,
                                        const std::function<bool(const std::string&)>& mine) {
  std::vector<std::string> names;
  // No output folder yet: nothing was left in it.
  if (!platform::list_folder(root.root(), names)) return;
  std::lock_guard<std::mutex> lock(tree_mutex_);
  sweeping_ = true;
  for (const std::string& name : names) {
    platform::StatResult lock_file;
    if (!platform::stat_path(root.full_path(name + "/" + kLockName), lock_file) ||
        lock_file.kind != platform::kFile || !mine(name)) {
      continue;
    }
    platform::Folder* folder = nullptr;
    if (enter(root, name, durable, folder) == Entry::kEntered) leave(name);
  }
  sweeping_ = false;
}

}  // namespace quillon
