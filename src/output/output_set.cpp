#include "output/output_set.h"

#include <cerrno>
#include <mutex>

#include "support/log.h"

namespace quillon {

OutputSet::OutputSet(const RootedFolder* root, SharedOutputs* shared, OutputJournal* journal,
                     size_t open_files)
    : root_(root), shared_(shared), journal_(journal), open_files_(open_files) {}

OutputSet::~OutputSet() {
  // Normally nothing is open by now (each log closes its outputs, the run
  // closes the rest and counts a failure); the output folder may be gone,
  // so no path is looked at.
  for (auto it = slots_.rbegin(); it != slots_.rend(); ++it) {
    if (!it->writer->close()) QLOG(LOG_ERROR, "Could not close output writer");
  }
}

OutputSet::Found OutputSet::find(const OutputIdentity& identity, OutputHandle& handle) const {
  auto found = records_.find(identity);
  if (found == records_.end()) return Found::kClosed;
  const Record& k = found->second;
  if (k.failed_generation == generation_) {
    handle = OutputHandle{nullptr, 0, generation_};
    return Found::kFailed;
  }
  if (k.slot_generation != generation_) return Found::kClosed;
  handle = OutputHandle{slots_[k.slot].writer.get(), k.slot, generation_};
  return Found::kOpen;
}

const std::string* OutputSet::kept_path(const OutputIdentity& identity) const {
  auto found = records_.find(identity);
  if (found == records_.end() || found->second.path_epoch != path_epoch_) return nullptr;
  return &found->second.path;
}

std::string OutputSet::claim_path(uint32_t number, const std::string& path, bool& append) {
  // A path this run already wrote belongs to the identity that created it:
  // that one appends to it; any other takes the first free "-<n>" variant
  // (or the one it took before), so no file of this run is ever replaced.
  std::string candidate = path;
  append = false;
  for (unsigned n = 2;; ++n) {
    auto owner = path_owner_.find(candidate);
    if (owner == path_owner_.end()) break;
    if (owner->second == number) {
      append = true;
      break;
    }
    candidate = path + "-" + std::to_string(n);
  }
  if (!append && candidate.size() != path.size()) {
    QLOG(LOG_WARN, "Output %s.csv is taken by another output; writing to %s.csv", path.c_str(),
         candidate.c_str());
  }
  return candidate;
}

std::unique_ptr<platform::File> OutputSet::open_file(const std::string& candidate, bool append,
                                                     std::shared_ptr<platform::Folder>& folder,
                                                     platform::FileId& id) {
  std::string folder_path, name;
  split_path(candidate, folder_path, name);
  name += ".csv";
  const std::string full = root_->full_path(candidate + ".csv");
  // Folder by folder, and the file itself, never through a link: a link
  // planted below the output folder must not redirect what is written.
  // Until the file exists its folder may be empty, which another thread's
  // undo must not take away meanwhile.
  std::unique_lock<std::mutex> tree_lock(shared_->tree_mutex());
  PathFault fault;
  platform::Outcome outcome;
  std::unique_ptr<platform::File> file;
  int64_t length = 0;
  // Nothing below the logger folder changes before the journal on disk
  // says what.
  if (!journal_->prepare()) return nullptr;
  folder = folder_at(folder_path, fault);
  bool told = folder == nullptr && fault.path.empty();
  if (folder) {
    file = open_noted(*folder, candidate, name, append, outcome, length, told);
    if (!file && !told) fault = PathFault{outcome.kind, outcome.error, full};
  } else if (!told && fault.kind != platform::Outcome::kLink) {
    shared_->report_once("Could not create output folder", fault.path, fault.error);
  }
  if (told) return nullptr;
  if (file && !file->id(id)) {
    fault = PathFault{platform::Outcome::kFailed, file->error(), full};
    file->abandon();
    file.reset();
    // Not known by its id, so undo could not find it: take it back now.
    int error = 0;
    if (!append) folder->remove_file(name, error);
    if (outcome.kind == platform::Outcome::kReplaced) {
      folder->rename_entry(name + kAsideSuffix, name, error);
    }
  }
  tree_lock.unlock();
  if (!file) {
    if (fault.kind == platform::Outcome::kLink) {
      if (shared_->first_report("link", fault.path)) {
        QLOG(LOG_ERROR, "Output path is a symbolic link: %s", fault.path.c_str());
      }
    } else {
      shared_->report_once("Could not create output writer", full, fault.error);
    }
    return nullptr;
  }
  // The first touch of this log tells what undo has to restore.
  journal_->opened(
      candidate, folder_path,
      OutputJournal::Touched{!append, outcome.kind == platform::Outcome::kReplaced, length, id});
  return file;
}

std::unique_ptr<platform::File> OutputSet::open_noted(platform::Folder& folder,
                                                      const std::string& candidate,
                                                      const std::string& name, bool append,
                                                      platform::Outcome& outcome, int64_t& length,
                                                      bool& told) {
  told = false;
  if (append) {
    std::unique_ptr<platform::File> file(folder.open_file(name, true, outcome));
    if (!file) return nullptr;
    length = file->size();
    if (length < 0) {
      outcome = platform::Outcome{platform::Outcome::kFailed, file->error()};
      file->abandon();
      return nullptr;
    }
    // The first touch of the log is what undo restores.
    if (journal_->noted(candidate) || journal_->note_append(candidate, length)) return file;
    file->abandon();
    told = true;
    return nullptr;
  }
  platform::FileId earlier;
  if (!journal_->note_create(candidate, folder.entry_id(name, earlier))) {
    told = true;
    return nullptr;
  }
  // A file of an earlier run is moved aside and a new one made, not
  // emptied in place (which would cost a wait when it is closed); undo
  // puts it back.
  return std::unique_ptr<platform::File>(folder.create_file(name, name + kAsideSuffix, outcome));
}

bool OutputSet::open(const OutputIdentity& identity, const std::string& path,
                     const std::vector<std::string_view>& columns, OutputHandle& handle) {
  auto [it, inserted] = records_.try_emplace(identity);
  Record& record = it->second;
  if (inserted) record.number = static_cast<uint32_t>(records_.size());
  bool append = false;
  const std::string candidate = claim_path(record.number, path, append);
  const std::string full = root_->full_path(candidate + ".csv");
  keep_open_files_bounded();
  std::shared_ptr<platform::Folder> folder;
  platform::FileId id;
  std::unique_ptr<platform::File> file = open_file(candidate, append, folder, id);
  std::unique_ptr<CsvWriter> writer;
  bool header_ok = true;
  if (file) {
    writer = CsvWriter::create(std::move(file), columns, append, header_ok, &buffers_);
    if (!writer) shared_->report_once("Could not create output writer", full, ENOMEM);
  }
  if (!writer) {
    lost_ = true;
    record.failed_generation = generation_;
    handle = OutputHandle{nullptr, 0, generation_};
    return false;
  }
  if (!header_ok) {
    shared_->report_once("Could not write output file", full, writer->error());
    lost_ = true;
  }
  if (!append) {
    path_owner_.emplace(candidate, record.number);
    ++files_;
  }
  record.slot = static_cast<uint32_t>(slots_.size());
  record.slot_generation = generation_;
  record.path = candidate;
  record.path_epoch = path_epoch_;
  handle = OutputHandle{writer.get(), record.slot, generation_};
  slots_.push_back(Output{std::move(writer), candidate, id, std::move(folder)});
  return true;
}

void OutputSet::write_failed(const OutputHandle& handle) {
  lost_ = true;
  if (!current(handle) || !handle.writer || !handle.writer->write_failed()) return;
  shared_->report_once("Could not write output file",
                       root_->full_path(slots_[handle.slot].path + ".csv"), handle.writer->error());
}

bool OutputSet::still_at_path(const Output& output) const {
  std::string folder_path, name;
  split_path(output.path, folder_path, name);
  platform::FileId now;
  return output.folder->entry_id(name + ".csv", now) && now == output.id;
}

bool OutputSet::finish(Output& output) {
  CsvWriter& w = *output.writer;
  const std::string full = root_->full_path(output.path + ".csv");
  bool ok = true;
  // Rows written into a file that is no longer at its path are lost.
  if (!still_at_path(output)) {
    if (shared_->first_report("gone", full)) {
      QLOG(LOG_ERROR, "Output file was removed or replaced during conversion: %s", full.c_str());
    }
    ok = false;
  }
  if (ok && journal_->durable() && w.file() && !w.sync()) {
    shared_->report_once("Could not sync output file", full, w.error());
    ok = false;
  }
  if (!w.close()) {
    shared_->report_once("Could not close output writer", full, w.error());
    ok = false;
  }
  return ok;
}

bool OutputSet::close_all() {
  // Newest first: the C library keeps open streams in a list, newest at
  // its head, and unlinking from the head costs nothing, while oldest
  // first would walk the whole list for each of thousands of files.
  bool ok = true;
  for (auto it = slots_.rbegin(); it != slots_.rend(); ++it) {
    if (!finish(*it)) ok = false;
  }
  slots_.clear();
  folders_detached_ = false;
  ++generation_;
  if (!ok) lost_ = true;
  return ok;
}

void OutputSet::abandon_all() {
  // The rows still buffered belong to the failed log: they never reach
  // the disk.
  for (auto it = slots_.rbegin(); it != slots_.rend(); ++it) it->writer->abandon();
  slots_.clear();
  folders_.clear();
  folders_detached_ = false;
  ++generation_;
}

void OutputSet::forget_folders() {
  folders_.clear();
}

void OutputSet::forget_created(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    path_owner_.erase(path);
    --files_;
  }
}

std::shared_ptr<platform::Folder> OutputSet::folder_at(const std::string& relative,
                                                       PathFault& fault) {
  auto found = folders_.find(relative);
  if (found != folders_.end()) return found->second;
  // Bounded: each held folder is an open descriptor.
  if (folders_.size() >= 1024) {
    folders_detached_ = !slots_.empty();
    folders_.clear();
  }
  std::vector<std::string> created;
  // The journal on disk notes a folder before it is made.
  std::shared_ptr<platform::Folder> folder = root_->open_folder(relative, nullptr, fault);
  if (!folder && fault.error == ENOENT) {
    if (!journal_->note_folder(relative)) {
      fault = PathFault{platform::Outcome::kFailed, 0, std::string()};  // told
      return nullptr;
    }
    folder = root_->open_folder(relative, &created, fault);
  }
  for (const std::string& path : created) shared_->made_folders()[path] = false;
  journal_->claim_made_folders(relative);
  if (folder) folders_.emplace(relative, folder);
  return folder;
}

void OutputSet::keep_open_files_bounded() {
  if (open_files_ == 0) return;
  // A writer holds its file and, when the held folders were let go, its
  // folder; one more output needs a file and a folder.
  const size_t open = slots_.size() * (folders_detached_ ? 2 : 1) + folders_.size();
  if (open + 2 <= open_files_) return;
  close_all();
  folders_.clear();
}

}  // namespace quillon
