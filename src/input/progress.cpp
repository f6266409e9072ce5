#include "input/progress.h"

#include "input/folder.h"
#include "platform/platform.h"
#include "support/text.h"

namespace quillon {

namespace {

// The loop's test for a log file: the extension "txt" in any case.
bool is_log_name(const std::string& path) {
  size_t name_start = path.rfind('/');
  name_start = name_start == std::string::npos ? 0 : name_start + 1;
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || dot < name_start) return false;
  return text_to_lower(std::string_view(path).substr(dot + 1)) == "txt";
}

void survey_folder(const RootedFolder& folder, const std::string& path, InputTotals& totals) {
  FolderListing entries;
  if (!folder.list(path, entries)) return;
  std::string child = path;
  if (!child.empty() && child.back() != '/') child += '/';
  const size_t base = child.size();
  for (const auto& entry : entries) {
    if (platform::interrupt_signal() != 0) return;
    child.resize(base);
    child += entry.first;
    if (entry.second.kind == kFolder) {
      survey_folder(folder, child, totals);
    } else if (entry.second.kind == kFile && is_log_name(child)) {
      totals.files += 1;
      totals.bytes += static_cast<uint64_t>(entry.second.size);
    }
  }
}

}  // namespace

InputTotals survey_inputs(const RootedFolder& folder, const std::vector<std::string>& paths) {
  InputTotals totals;
  for (const std::string& path : paths) {
    StatResult st;
    if (!folder.stat(path, st)) continue;
    if (st.kind == kFolder) {
      survey_folder(folder, path, totals);
    } else if (st.kind == kFile && is_log_name(path)) {
      totals.files += 1;
      totals.bytes += static_cast<uint64_t>(st.size);
    }
  }
  return totals;
}

void ProgressReporter::run_started(const RootedFolder& folder,
                                   const std::vector<std::string>& paths) {
  if (listener_ == nullptr) return;
  InputTotals totals = survey_inputs(folder, paths);
  listener_->run_started(totals.files, totals.bytes);
}

void ProgressReporter::run_finished() {
  if (listener_ != nullptr) listener_->run_finished();
}

void ProgressReporter::file_started(const std::string& path, int64_t size) {
  if (listener_ == nullptr) return;
  size_ = size > 0 ? size : 0;
  reported_ = 0;
  pending_frames_ = 0;
  listener_->file_started(path, static_cast<uint64_t>(size_));
}

void ProgressReporter::report(int64_t position) {
  // The window's position can pass the size taken at the start when the
  // log grows meanwhile.
  if (position > size_) position = size_;
  uint64_t bytes = position > reported_ ? static_cast<uint64_t>(position - reported_) : 0;
  if (position > reported_) reported_ = position;
  listener_->advanced(bytes, pending_frames_);
  pending_frames_ = 0;
}

void ProgressReporter::file_finished(const std::string& path, bool converted) {
  if (listener_ == nullptr) return;
  report(size_);
  listener_->file_finished(path, converted);
}

}  // namespace quillon
