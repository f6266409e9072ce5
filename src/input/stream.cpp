#include "input/stream.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/platform.h"

namespace quillon {

int64_t BytesStream::read(void* buffer, int64_t n) {
  const int64_t size = static_cast<int64_t>(bytes_.size());
  const int64_t end = fail_after_ >= 0 && fail_after_ < size ? fail_after_ : size;
  const int64_t take = n > 0 && position_ < end ? std::min(n, end - position_) : 0;
  if (take < n && end < size) failed_ = true;
  if (take > 0) std::memcpy(buffer, bytes_.data() + position_, static_cast<size_t>(take));
  position_ += take;
  return take;
}

int64_t BytesStream::seek(int64_t offset, int origin) {
  if (origin < 0 || origin > 2) return -1;
  const int64_t base = origin == 0   ? 0
                       : origin == 1 ? position_
                                     : static_cast<int64_t>(bytes_.size());
  if (offset < -base || offset > INT64_MAX - base) return -1;
  position_ = base + offset;
  return position_;
}

int64_t stream_size(ByteStream& stream) {
  int64_t here = stream.tell();
  int64_t end = stream.seek(0, 2);
  int64_t size = stream.tell();
  (void)end;
  stream.seek(here, 0);
  return size;
}

std::unique_ptr<FileStream> FileStream::open(const std::string& path, Mode mode) {
  platform::File* f =
      platform::File::open(path, mode == kRead ? platform::File::kRead : platform::File::kWrite);
  if (f == nullptr) return nullptr;
  return std::unique_ptr<FileStream>(new FileStream(f, mode));
}

FileStream::~FileStream() {
  delete file_;
}

int64_t FileStream::read(void* buffer, int64_t n) {
  if (mode_ != kRead) return -2;
  if (file_ == nullptr || n <= 0) return 0;
  size_t got = file_->read(buffer, static_cast<size_t>(n));
  if (got < static_cast<size_t>(n) && file_->read_error()) read_failed_ = true;
  position_ += static_cast<int64_t>(got);
  return static_cast<int64_t>(got);
}

int64_t FileStream::write(const void* buffer, int64_t n) {
  if (mode_ != kWrite) return -2;
  if (file_ == nullptr || n <= 0) return 0;
  size_t put = file_->write(buffer, static_cast<size_t>(n));
  position_ += static_cast<int64_t>(put);
  return static_cast<int64_t>(put);
}

bool FileStream::file_id(platform::FileId& out) {
  return file_ != nullptr && file_->id(out);
}

int64_t FileStream::seek(int64_t offset, int origin) {
  if (origin < 0 || origin > 2) return -1;
  if (file_ == nullptr) return -1;
  // Seeking to where we already are costs nothing (and keeps a buffered
  // write stream's buffer).
  if (origin == 0 && offset == position_) return position_;
  if (!file_->seek(offset, origin)) return -1;
  int64_t p = file_->tell();
  if (p >= 0) position_ = p;
  return position_;
}

int FileStream::close() {
  if (file_ == nullptr) return 0;
  int rc = file_->close();
  if (rc != 0) return rc;
  delete file_;
  file_ = nullptr;
  return 0;
}

std::unique_ptr<BufferedReader> BufferedReader::create(std::unique_ptr<ByteStream> inner,
                                                       int64_t size) {
  if (!inner || size <= 0) return nullptr;
  if (size > INT64_MAX - 7) return nullptr;
  size = (size + 7) / 8 * 8;
  if (static_cast<uint64_t>(size) > SIZE_MAX) return nullptr;
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[static_cast<size_t>(size)]);
  if (!buffer) return nullptr;
  return std::unique_ptr<BufferedReader>(
      new BufferedReader(std::move(inner), std::move(buffer), size));
}

bool BufferedReader::refill(int64_t position) {
  if (inner_->seek(position, 0) != position) return false;
  int64_t got = inner_->read(buffer_.get(), size_);
  if (got <= 0) return false;
  start_ = position;
  valid_ = static_cast<size_t>(got);
  offset_ = 0;
  return true;
}

int64_t BufferedReader::read(void* buffer, int64_t n) {
  if (!inner_) return 0;
  uint8_t* out = static_cast<uint8_t*>(buffer);
  int64_t copied = 0;
  while (copied < n) {
    if (offset_ >= valid_) {
      if (!refill(start_ + static_cast<int64_t>(valid_))) {
        // Nothing more: stay at the end of what was read.
        start_ += static_cast<int64_t>(offset_);
        valid_ = 0;
        offset_ = 0;
        break;
      }
    }
    size_t take = std::min(valid_ - offset_, static_cast<size_t>(n - copied));
    std::memcpy(out + copied, buffer_.get() + offset_, take);
    offset_ += take;
    copied += static_cast<int64_t>(take);
  }
  return copied;
}

int BufferedReader::read_byte_slow() {
  uint8_t b;
  return read(&b, 1) == 1 ? b : -1;
}

int64_t BufferedReader::seek(int64_t offset, int origin) {
  if (!inner_) return -1;
  int64_t target;
  switch (origin) {
    case 0:
      target = offset;
      break;
    case 1:
      target = tell() + offset;
      break;
    case 2: {
      int64_t end = inner_->seek(0, 2);
      if (end < 0) return tell();
      target = end + offset;
      break;
    }
    default:
      return -1;
  }
  if (target >= start_ && target <= start_ + static_cast<int64_t>(valid_)) {
    offset_ = static_cast<size_t>(target - start_);
    return target;
  }
  if (target < 0 || !refill(target)) {
    // The position stays where it was; the window is dropped so that the
    // next read fetches it again from the inner stream.
    int64_t here = tell();
    start_ = here;
    valid_ = 0;
    offset_ = 0;
    return here;
  }
  return target;
}

int BufferedReader::close() {
  if (inner_) {
    int rc = inner_->close();
    if (rc != 0) return rc;
    inner_.reset();
  }
  buffer_.reset();
  valid_ = 0;
  offset_ = 0;
  return 0;
}

}  // namespace quillon
