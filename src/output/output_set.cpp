#include "output/output_set.h"

#include <algorithm>
#include <cerrno>
#include <mutex>

#include "support/log.h"

namespace quillon {

namespace {

// A path short enough that the reason after it stays on the log line (510
// characters): a name over the system's limit is what fails most often.
std::string shown_path(const std::string& path) {
  constexpr size_t kKept = 160;
  if (path.size() <= 2 * kKept + 3) return path;
  return path.substr(0, kKept) + "..." + path.substr(path.size() - kKept);
}

}  // namespace

OutputSet::OutputSet(const RootedFolder* root, SharedOutputs* shared, OutputJournal* journal,
                     size_t open_files, const Compression& compression)
    : root_(root),
      shared_(shared),
      journal_(journal),
      open_files_(open_files),
      buffers_(compression.codec == Codec::kNone ? BufferPool::kBufferBytes
                                                 : BufferPool::kCompressedBufferBytes),
      compressor_(Compressor::create(compression)),
      extension_(output_extension(compression.codec)) {}

OutputSet::~OutputSet() {
  // Normally nothing is open by now (each log closes its outputs, the run
  // closes the rest and counts a failure); the output folder may be gone,
  // so no path is looked at.
  for (Output* output : newest_first()) {
    if (!output->writer->close()) QLOG(LOG_ERROR, "Could not close output writer");
  }
}

std::vector<OutputSet::Output*> OutputSet::newest_first() {
  // The C library keeps open streams in a list, newest at its head, and
  // unlinking from the head costs nothing, while oldest first would walk
  // the whole list for each of thousands of files.
  std::vector<Output*> open;
  open.reserve(open_count_);
  for (Output& output : slots_) {
    if (output.writer) open.push_back(&output);
  }
  std::sort(open.begin(), open.end(),
            [](const Output* a, const Output* b) { return a->serial > b->serial; });
  return open;
}

void OutputSet::clear_slots() {
  slots_.clear();
  free_slots_.clear();
  open_count_ = 0;
  clock_hand_ = 0;
  folders_detached_ = false;
  ++generation_;
}

OutputSet::Found OutputSet::find(const OutputIdentity& identity, OutputHandle& handle) const {
  auto found = records_.find(identity);
  if (found == records_.end()) return Found::kClosed;
  const Record& k = found->second;
  if (k.failed_generation == generation_) {
    handle = OutputHandle{nullptr, 0, generation_};
    return Found::kFailed;
  }
  if (k.serial == 0 || k.slot >= slots_.size() || slots_[k.slot].serial != k.serial) {
    return Found::kClosed;
  }
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
    QLOG(LOG_WARN, "Output %s%s is taken by another output; writing to %s%s", path.c_str(),
         extension_.c_str(), candidate.c_str(), extension_.c_str());
  }
  return candidate;
}

std::unique_ptr<platform::File> OutputSet::open_file(const std::string& candidate, bool append,
                                                     std::shared_ptr<platform::Folder>& folder,
                                                     platform::FileId& id) {
  std::string folder_path, name;
  split_path(candidate, folder_path, name);
  name += extension_;
  const std::string full = root_->full_path(candidate + extension_);
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
    shared_->report_once("Could not create output folder", shown_path(fault.path), fault.error);
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
  const std::string full = root_->full_path(candidate + extension_);
  keep_open_files_bounded();
  std::shared_ptr<platform::Folder> folder;
  platform::FileId id;
  std::unique_ptr<platform::File> file = open_file(candidate, append, folder, id);
  std::unique_ptr<CsvWriter> writer;
  bool header_ok = true;
  // Compressed output without its compressor (memory was short) is not
  // written plain under the compressed name.
  const bool compressor_ok = compressor_ || extension_ == output_extension(Codec::kNone);
  if (file && compressor_ok) {
    writer = CsvWriter::create(std::move(file), columns, append, header_ok, &buffers_,
                               compressor_.get());
  }
  if (file && !writer) shared_->report_once("Could not create output writer", full, ENOMEM);
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
  if (free_slots_.empty()) {
    record.slot = static_cast<uint32_t>(slots_.size());
    slots_.emplace_back();
  } else {
    record.slot = free_slots_.back();
    free_slots_.pop_back();
  }
  record.serial = next_serial_++;
  record.path = candidate;
  record.path_epoch = path_epoch_;
  handle = OutputHandle{writer.get(), record.slot, generation_};
  slots_[record.slot] = Output{std::move(writer), candidate, id, std::move(folder), record.serial};
  ++open_count_;
  return true;
}

void OutputSet::write_failed(const OutputHandle& handle) {
  lost_ = true;
  if (!current(handle) || !handle.writer || !handle.writer->write_failed()) return;
  shared_->report_once("Could not write output file",
                       root_->full_path(slots_[handle.slot].path + extension_),
                       handle.writer->error());
}

bool OutputSet::still_at_path(const Output& output) const {
  std::string folder_path, name;
  split_path(output.path, folder_path, name);
  platform::FileId now;
  return output.folder->entry_id(name + extension_, now) && now == output.id;
}

bool OutputSet::finish(Output& output) {
  CsvWriter& w = *output.writer;
  const std::string full = root_->full_path(output.path + extension_);
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
  bool ok = true;
  for (Output* output : newest_first()) {
    if (!finish(*output)) ok = false;
  }
  clear_slots();
  if (!ok) lost_ = true;
  return ok;
}

void OutputSet::abandon_all() {
  // The rows still buffered belong to the failed log: they never reach
  // the disk.
  for (Output* output : newest_first()) output->writer->abandon();
  clear_slots();
  folders_.clear();
}

void OutputSet::forget_folders() {
  folders_.clear();
}

void OutputSet::note_kept() {
  std::lock_guard<std::mutex> lock(shared_->tree_mutex());
  if (!journal_->prepare()) return;  // told; the outputs fail as they open
  bool noted = false;
  for (const auto& [identity, record] : records_) {
    if (record.path_epoch != path_epoch_ || journal_->noted(record.path)) continue;
    std::string folder_path, name;
    split_path(record.path, folder_path, name);
    // An output whose folder is no longer held is noted when it opens.
    auto found = folders_.find(folder_path);
    if (found == folders_.end()) continue;
    platform::Outcome outcome;
    std::unique_ptr<platform::File> file(
        found->second->open_file(name + extension_, true, outcome));
    platform::FileId id;
    const int64_t length = file && file->id(id) ? file->size() : -1;
    if (length < 0 || file->close() != 0) continue;
    if (!journal_->note_append(record.path, length, false)) return;
    journal_->opened(record.path, folder_path, OutputJournal::Touched{false, false, length, id});
    noted = true;
  }
  if (noted) journal_->sync_notes();
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
    folders_detached_ = open_count_ != 0;
    folders_.clear();
  }
  std::vector<std::string> created;
  // The journal on disk notes the folders before any is made (whether
  // they exist is not asked: a folder that holds something outlives the
  // rollback anyway).
  if (!journal_->note_folder(relative)) {
    fault = PathFault{platform::Outcome::kFailed, 0, std::string()};  // told
    return nullptr;
  }
  std::shared_ptr<platform::Folder> folder = root_->open_folder(relative, &created, fault);
  for (const std::string& path : created) shared_->made_folders()[path] = false;
  journal_->claim_made_folders(relative);
  if (folder) folders_.emplace(relative, folder);
  return folder;
}

void OutputSet::keep_open_files_bounded() {
  if (open_files_ == 0) return;
  for (;;) {
    // A writer holds its file and, when the held folders were let go, its
    // folder; one more output needs a file and a folder.
    const size_t open = open_count_ * (folders_detached_ ? 2 : 1) + folders_.size();
    if (open + 2 <= open_files_) return;
    if (open_count_ == 0 || folders_.size() > open_files_ / 2) {
      if (folders_.empty()) return;  // a bound too small for even one output
      folders_detached_ = open_count_ != 0;
      folders_.clear();
      continue;
    }
    close_least_recent();
  }
}

void OutputSet::close_least_recent() {
  for (;;) {
    if (clock_hand_ >= slots_.size()) clock_hand_ = 0;
    const uint32_t slot = static_cast<uint32_t>(clock_hand_++);
    Output& output = slots_[slot];
    if (!output.writer || output.writer->take_recent()) continue;
    // Closed whole (a compressed output ends its frame), to be reopened
    // appending when its next row comes.
    if (!finish(output)) lost_ = true;
    output = Output();
    free_slots_.push_back(slot);
    if (--open_count_ == 0) folders_detached_ = false;
    // Every handle given out so far may be this writer's.
    ++generation_;
    return;
  }
}

}  // namespace quillon
