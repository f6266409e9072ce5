#include "output/output_journal.h"

#include <memory>
#include <mutex>

#include "support/log.h"

namespace quillon {

namespace {

// A journal past this size is emptied when the next log starts: the logs
// in it are done with.
constexpr int64_t kJournalRestart = 1 << 20;

}  // namespace

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
    int error = 0;
    std::unique_ptr<platform::Folder> folder = open_folder(relative, error);
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
  std::unique_ptr<platform::Folder> folder = open_folder(folder_path, error);
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
    int error = 0;
    std::unique_ptr<platform::Folder> folder = open_folder(parent, error);
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
  // What the log added to folders is gone again; its logger folder may go
  // too once the log leaves it, and a later log must not sync it then.
  unsynced_folders_.clear();
  if (logged_) {
    // Undone: a later run must not undo it again over what came after.
    note(JournalEntry::kUndone, std::string(), 0, false);
  }
  logged_ = false;
}

bool OutputJournal::remove_aside(const std::string& path) {
  std::string folder_path, name;
  split_path(path, folder_path, name);
  name += extension_;
  name += kAsideSuffix;
  int error = 0;
  std::unique_ptr<platform::Folder> folder = open_folder(folder_path, error);
  // Left behind, it costs space but loses nothing: a warning.
  if (!folder || !folder->remove_file(name, error)) {
    QLOG(LOG_WARN, "Could not remove replaced output file: %s (%s)",
         root_->full_path(folder_path + "/" + name).c_str(), platform::error_text(error).c_str());
    return false;
  }
  if (durable_ && file_) aside_folders_.insert(folder_path);
  return true;
}

void OutputJournal::commit() {
  for (const auto& [path, touched] : touched_) {
    if (touched.replaced) remove_aside(path);
  }
  // Deleted by the loop after this; synced before the journal forgets the
  // log, so that a power cut cannot bring back a log whose rows stand.
  if (logged_ && durable_ && file_ && !seal_.path.empty()) {
    std::string folder, name;
    split_path(seal_.path, folder, name);
    input_folders_.insert(folder + "/");
  }
  logged_ = false;
  clear();
}

bool OutputJournal::hold() {
  if (!logged_ || !file_) return true;
  JournalEntry held = seal_;
  held.kind = JournalEntry::kHeld;
  if (!append(held, true)) return false;
  ++held_;
  return true;
}

void OutputJournal::commit_held() {
  for (const auto& [path, touched] : touched_) {
    if (touched.replaced) held_asides_.push_back(path);
  }
  if (!seal_.path.empty()) held_inputs_.push_back(seal_);
  logged_ = false;
  clear();
}

bool OutputJournal::release() {
  if (held_ == 0) {
    finish_held();  // nothing on disk waits for them
    return true;
  }
  JournalEntry stands;
  stands.kind = JournalEntry::kCommit;
  if (!note(JournalEntry::kBegin, std::string(), 0, false)) return false;
  if (!append(stands, true)) return false;
  finish_held();
  return true;
}

// Once a record after them says they stand.
void OutputJournal::finish_held() {
  for (const std::string& path : held_asides_) remove_aside(path);
  for (const JournalEntry& input : held_inputs_) {
    bool changed = false;
    int error = 0;
    if (!delete_unchanged_input(input.path, input.stamp, false, changed, error)) {
      QLOG(LOG_ERROR, "Could not remove input file after conversion: %s (%s)", input.path.c_str(),
           platform::error_text(error).c_str());
    } else if (changed) {
      // Deleting it would lose what was added after it was read.
      QLOG(LOG_WARN, "Input file changed during conversion: %s", input.path.c_str());
    } else {
      std::string folder, name;
      split_path(input.path, folder, name);
      input_folders_.insert(folder + "/");
    }
  }
  held_ = 0;
  held_asides_.clear();
  held_inputs_.clear();
}

std::unique_ptr<platform::Folder> OutputJournal::open_folder(const std::string& relative,
                                                             int& error) const {
  if (!entered_.empty() && shared_->root_folder()) {
    return open_below(*shared_->root_folder(), relative, error);
  }
  PathFault fault;
  std::unique_ptr<platform::Folder> folder = root_->open_folder(relative, nullptr, fault);
  error = fault.error;
  return folder;
}

void OutputJournal::set_log(const std::string& logger, bool keeps_paths, const std::string* input,
                            const platform::FileStamp* stamp) {
  logger_ = logger;
  keeps_paths_ = keeps_paths;
  failed_entry_ = false;
  seal_ = JournalEntry();
  seal_.kind = JournalEntry::kCommit;
  if (input && stamp) {
    seal_.path = *input;
    seal_.stamp = *stamp;
  }
}

bool OutputJournal::prepare() {
  if (failed_entry_) return false;
  if (logged_ || logger_.empty()) return true;
  if (entered_ != logger_) {
    leave_folder(false);
    platform::Folder* folder = nullptr;
    const SharedOutputs::Entry entry = shared_->enter(*root_, logger_, durable_, folder);
    // Nothing can be written below a folder that cannot be opened: the
    // outputs fail as they open, each told.
    if (entry == SharedOutputs::Entry::kNoFolder) return true;
    if (entry != SharedOutputs::Entry::kEntered) {
      failed_entry_ = true;
      return false;
    }
    entered_ = logger_;
    folder_ = folder;
  }
  if (!file_ && !open_journal()) {
    failed_entry_ = true;
    return false;
  }
  // Past its size the journal starts again; with durable the folders of
  // the files replaced so far are synced first, as the journal no longer
  // says where their aside files were.
  if (held_ == 0 && file_->size() > kJournalRestart &&
      (!sync_aside_folders() || !file_->restart())) {
    shared_->report_once("Could not write output journal", journal_path(), file_->error());
    failed_entry_ = true;
    return false;
  }
  if (!note(JournalEntry::kBegin, std::string(), 0, false)) {
    failed_entry_ = true;
    return false;
  }
  logged_ = true;
  return true;
}

bool OutputJournal::open_journal() {
  const std::string name = kJournalPrefix + std::to_string(number_);
  int error = 0;
  file_ = JournalFile::create(*folder_, name, error);
  // With durable the journal's entry, and the logger folder's, reach the
  // device before anything the journal protects.
  if (file_ && durable_ && (!folder_->sync(error) || !shared_->root_folder()->sync(error))) {
    file_.reset();
  }
  if (!file_) {
    shared_->report_once("Could not write output journal", root_->full_path(entered_ + "/" + name),
                         error);
    return false;
  }
  return true;
}

std::string OutputJournal::journal_path() const {
  return root_->full_path(entered_ + "/" + kJournalPrefix + std::to_string(number_));
}

bool OutputJournal::append(const JournalEntry& entry, bool sync) {
  if (file_->append(entry, sync)) return true;
  shared_->report_once("Could not write output journal", journal_path(), file_->error());
  return false;
}

bool OutputJournal::note(JournalEntry::Kind kind, const std::string& path, int64_t length,
                         bool sync) {
  if (!file_) return true;  // no journal on disk: no logger folder given
  JournalEntry entry;
  entry.kind = kind;
  entry.length = length;
  // Below the logger folder, where the journal lies. A log's first line
  // names the extension of its files, which a later run, compressing
  // otherwise, needs to roll them back.
  if (kind == JournalEntry::kBegin) {
    entry.path = extension_;
  } else if (path.size() > entered_.size()) {
    entry.path = path.substr(entered_.size() + 1);
  }
  return append(entry, sync && durable_);
}

bool OutputJournal::note_append(const std::string& path, int64_t length, bool sync) {
  // Rows of an earlier log, whose input may be gone: always durable first.
  return note(JournalEntry::kAppend, path, length, sync);
}

bool OutputJournal::sync_notes() {
  if (!file_ || !durable_ || file_->sync()) return true;
  failed_entry_ = true;  // the log writes nothing more
  shared_->report_once("Could not sync output journal", journal_path(), file_->error());
  return false;
}

bool OutputJournal::note_create(const std::string& path, bool replaces) {
  // Paths of a log's own are made again by converting the log again; those
  // it keeps from the log before are not.
  return note(replaces ? JournalEntry::kReplace : JournalEntry::kCreate, path, 0, keeps_paths_);
}

bool OutputJournal::note_folder(const std::string& relative) {
  if (relative.size() <= entered_.size()) return true;
  return note(JournalEntry::kFolder, relative, 0, keeps_paths_);
}

bool OutputJournal::seal() {
  if (!logged_ || !file_) return true;
  if (!append(seal_, durable_)) return false;
  // The logs held before it stand with it.
  finish_held();
  return true;
}

bool OutputJournal::sync_aside_folders() {
  bool ok = true;
  for (const std::string& relative : aside_folders_) {
    int error = 0;
    std::unique_ptr<platform::Folder> folder = open_folder(relative, error);
    if (!folder || !folder->sync(error)) {
      shared_->report_once("Could not sync output folder", root_->full_path(relative), error);
      ok = false;
    }
  }
  aside_folders_.clear();
  for (const std::string& full : input_folders_) {
    int error = 0;
    std::unique_ptr<platform::Folder> folder(platform::Folder::open(full, error));
    if (!folder || !folder->sync(error)) {
      shared_->report_once("Could not sync input folder", full, error);
      ok = false;
    }
  }
  input_folders_.clear();
  return ok;
}

void OutputJournal::leave(bool quiet) {
  if (entered_.empty()) return;
  std::lock_guard<std::mutex> lock(shared_->tree_mutex());
  leave_folder(quiet);
}

void OutputJournal::leave_folder(bool quiet) {
  if (entered_.empty()) return;
  if (file_) {
    // Gone only once nothing in it is needed: a journal that cannot be
    // synced or closed stays for the next run to replay.
    const bool synced =
        quiet ? aside_folders_.empty() && input_folders_.empty() : sync_aside_folders();
    // Held logs never released stay for the next run to roll back.
    const bool done = synced && file_->close() == 0 && held_ == 0;
    file_.reset();
    int error = 0;
    const std::string name = kJournalPrefix + std::to_string(number_);
    if (done && !folder_->remove_file(name, error) && !quiet) {
      shared_->report_once("Could not remove output journal",
                           root_->full_path(entered_ + "/" + name), error);
    }
  }
  held_ = 0;
  held_asides_.clear();
  held_inputs_.clear();
  shared_->leave(entered_);
  entered_.clear();
  folder_ = nullptr;
  logged_ = false;
}

}  // namespace quillon
