#include "input/progress.h"

namespace quillon {

void ProgressReporter::run_started(uint64_t files, uint64_t bytes) {
  if (listener_ != nullptr) listener_->run_started(files, bytes);
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
