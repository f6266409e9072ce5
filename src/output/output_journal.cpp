#include "output/output_journal.h"

#include <memory>
#include <mutex>

#include "support/log.h"

namespace quillon {

void split_path(const std::string& path, std::string& folder, std::string& name) {
  size_t slash = path.rfind('/');
  folder = slash == std::string::npos ? std::string() : path.substr(0, slash);
  name = slash == std::string::npos ? path : path.substr(slash + 1);
}

void OutputJournal::begin(bool durable) {
  clear();
  durable_ = durable;
}

void OutputJournal::clear() {
  touched_.clear();
  made_folders_.clear();
  entries_synced_.clear();
}

void OutputJournal::opened(const std::string& path, const std::string& folder_path,
                           const Touched& touched) {
  touched_.emplace(path, touched);
  if (durable_ && touched.created) unsynced_folders_.insert(folder_path);
}

void OutputJournal::claim_made_folders(const std::string& relative) {
  std::map<std::string, bool>& made = shared_->made_folders();
  if (made.empty()) return;
  for (size_t end = relative.find('/');; end = relative.find('/', end + 1)) {
    const std::string prefix = relative.substr(0, end);
    auto found = made.find(prefix);
    if (found != made.end()) {
      made_folders_.insert(prefix);
      // Its entry must reach the device before the log goes: a folder made
      // by another log that has not ended yet is synced here too.
      if (durable_ && !found->second) {
        std::string parent, leaf;
        split_path(prefix, parent, leaf);
        unsynced_folders_.insert(parent);
        entries_synced_.push_back(prefix);
      }
    }
    if (end == std::string::npos) break;
  }
}

bool OutputJournal::sync_folders() {
  bool ok = true;
  for (const std::string& relative : unsynced_folders_) {
    PathFault fault;
    std::unique_ptr<platform::Folder> folder = root_->open_folder(relative, nullptr, fault);
    int error = fault.error;
    if (!folder || !folder->sync(error)) {
      shared_->report_once("Could not sync output folder", root_->full_path(relative), error);
      ok = false;
    }
  }
  if (ok) {
    unsynced_folders_.clear();
    std::lock_guard<std::mutex> lock(shared_->tree_mutex());
    for (const std::string& path : entries_synced_) {
      auto found = shared_->made_folders().find(path);
      if (found != shared_->made_folders().end()) found->second = true;
    }
    entries_synced_.clear();
  }
  return ok;
}

OutputJournal::Undone OutputJournal::undo_file(const std::string& path, const Touched& touched,
                                               int& error) {
  std::string folder_path, name;
  split_path(path, folder_path, name);
  name += extension_;
  PathFault fault;
  std::unique_ptr<platform::Folder> folder = root_->open_folder(folder_path, nullptr, fault);
  error = fault.error;
  if (!folder) return Undone::kFailed;
  if (touched.created) {
    platform::FileId now;
    // Gone already, or another file by now: nothing of ours to remove.
    const bool present = folder->entry_id(name, now);
    const bool ours = present && now == touched.id;
    if (present && ours && !folder->remove_file(name, error)) return Undone::kFailed;
    // The earlier run's file goes back where it was, unless another file
    // has taken the place meanwhile.
    if (touched.replaced && !(present && !ours) &&
        !folder->rename_entry(name + kAsideSuffix, name, error)) {
      return Undone::kGoneAsideLeft;
    }
    return Undone::kGone;
  }
  platform::Outcome outcome;
  std::unique_ptr<platform::File> file(folder->open_file(name, true, outcome));
  platform::FileId now;
  error = outcome.error;
  if (!file) return Undone::kFailed;
  // Another file by now: not ours to cut.
  if (!file->id(now) || now != touched.id) return Undone::kPutBack;
  const bool done = file->truncate(touched.length) && file->close() == 0;
  error = file->error();
  return done ? Undone::kPutBack : Undone::kFailed;
}

void OutputJournal::remove_made_folders() {
  // Deepest first (a folder sorts before what lies in it); a folder that
  // still holds something stays.
  std::lock_guard<std::mutex> lock(shared_->tree_mutex());
  for (auto it = made_folders_.rbegin(); it != made_folders_.rend(); ++it) {
    std::string parent, name;
    split_path(*it, parent, name);
    PathFault fault;
    std::unique_ptr<platform::Folder> folder = root_->open_folder(parent, nullptr, fault);
    int error = 0;
    if (folder && folder->remove_folder(name, error)) {
      unsynced_folders_.erase(*it);
      shared_->made_folders().erase(*it);
    }
  }
}

void OutputJournal::undo(std::vector<std::string>& removed) {
  for (const auto& [path, touched] : touched_) {
    int error = 0;
    const Undone undone = undo_file(path, touched, error);
    if (undone == Undone::kFailed || undone == Undone::kGoneAsideLeft) {
      shared_->report_once("Could not undo output file", root_->full_path(path + extension_),
                           error);
    }
    if (undone == Undone::kGone || undone == Undone::kGoneAsideLeft) removed.push_back(path);
  }
  remove_made_folders();
  clear();
}

void OutputJournal::commit() {
  for (const auto& [path, touched] : touched_) {
    if (!touched.replaced) continue;
    std::string folder_path, name;
    split_path(path, folder_path, name);
    name += extension_;
    name += kAsideSuffix;
    PathFault fault;
    std::unique_ptr<platform::Folder> folder = root_->open_folder(folder_path, nullptr, fault);
    int error = fault.error;
    // Left behind, it costs space but loses nothing: a warning.
    if (!folder || !folder->remove_file(name, error)) {
      QLOG(LOG_WARN, "Could not remove replaced output file: %s (%s)",
           root_->full_path(folder_path + "/" + name).c_str(), platform::error_text(error).c_str());
    }
  }
  clear();
}

}  // namespace quillon
