// Byte streams: a file for reading, a file for writing, bytes in memory read
// as a file is, and a buffered reader over another stream. Positions and
// sizes are 64-bit.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace quillon {

namespace platform {
class File;
struct FileId;
}  // namespace platform

// An operation a variant does not have returns -2 (the defaults here).
class ByteStream {
 public:
  virtual ~ByteStream() = default;
  // Bytes copied: fewer at the end of the data, 0 or negative when nothing
  // could be read.
  virtual int64_t read(void* buffer, int64_t n) {
    (void)buffer;
    (void)n;
    return -2;
  }
  virtual int64_t write(const void* buffer, int64_t n) {
    (void)buffer;
    (void)n;
    return -2;
  }
  virtual int64_t tell() { return -2; }
  // origin 0 = start, 1 = current position, 2 = end; another origin gives -1.
  // Gives the new position.
  virtual int64_t seek(int64_t offset, int origin) {
    (void)offset;
    (void)origin;
    return -2;
  }
  // 0 on success; on failure the stream stays open and the error is returned.
  virtual int close() { return -2; }
  // True once a read failed for another reason than the end of the data, so
  // that a short read is never mistaken for a complete file.
  virtual bool read_failed() const { return false; }
  // The id of the file read; false when the stream reads no file.
  virtual bool file_id(platform::FileId& out) {
    (void)out;
    return false;
  }
};

// Remembers the position, seeks to the end, tells, seeks back.
int64_t stream_size(ByteStream& stream);

// Bytes in memory (not owned: they must outlive the stream) read as a file
// is, so that they take a file's one path. A seek may pass the end, as in a
// file; reading there gives 0. With fail_after at 0 or more, reading stops
// there with a read error, the way a file whose disk fails halfway does.
class BytesStream : public ByteStream {
 public:
  explicit BytesStream(std::string_view bytes, int64_t fail_after = -1)
      : bytes_(bytes), fail_after_(fail_after) {}
  int64_t read(void* buffer, int64_t n) override;
  int64_t tell() override { return position_; }
  int64_t seek(int64_t offset, int origin) override;
  int close() override { return 0; }
  bool read_failed() const override { return failed_; }

 private:
  std::string_view bytes_;
  int64_t fail_after_;
  int64_t position_ = 0;
  bool failed_ = false;
};

// A file opened with "rb" or "wb". Destroying an unclosed stream closes it.
class FileStream : public ByteStream {
 public:
  enum Mode { kRead = 1, kWrite = 2 };
  // Null when the file cannot be opened.
  static std::unique_ptr<FileStream> open(const std::string& path, Mode mode);
  ~FileStream() override;

  int64_t read(void* buffer, int64_t n) override;
  int64_t write(const void* buffer, int64_t n) override;
  int64_t tell() override { return position_; }
  int64_t seek(int64_t offset, int origin) override;
  int close() override;
  bool read_failed() const override { return read_failed_; }
  bool file_id(platform::FileId& out) override;

 private:
  FileStream(platform::File* file, Mode mode) : file_(file), mode_(mode) {}
  platform::File* file_;
  Mode mode_;
  int64_t position_ = 0;
  bool read_failed_ = false;
};

// Reads through a buffer of size rounded up to a multiple of 8 from an inner
// stream, which it owns: closing the reader closes the inner stream.
class BufferedReader : public ByteStream {
 public:
  // Null when the buffer cannot be allocated.
  static std::unique_ptr<BufferedReader> create(std::unique_ptr<ByteStream> inner, int64_t size);
  ~BufferedReader() override = default;

  int64_t read(void* buffer, int64_t n) override;
  int64_t tell() override { return start_ + static_cast<int64_t>(offset_); }
  int64_t seek(int64_t offset, int origin) override;
  int close() override;
  bool read_failed() const override { return inner_ && inner_->read_failed(); }
  bool file_id(platform::FileId& out) override { return inner_ && inner_->file_id(out); }

  // The next byte, or -1 at the end of the data: an inlined load while the
  // buffer lasts, for readers that go one byte at a time.
  int read_byte() {
    if (offset_ < valid_) return buffer_[offset_++];
    return read_byte_slow();
  }

  // The buffered bytes not read yet, for a reader that walks them in place
  // with its position in a register; skip(n) then consumes n of them. None
  // left means read_byte() has to refill.
  const uint8_t* unread(size_t& available) const {
    available = valid_ - offset_;
    return buffer_.get() + offset_;
  }
  void skip(size_t n) { offset_ += n; }

  int64_t buffer_size() const { return size_; }

 private:
  BufferedReader(std::unique_ptr<ByteStream> inner, std::unique_ptr<uint8_t[]> buffer, int64_t size)
      : inner_(std::move(inner)), buffer_(std::move(buffer)), size_(size) {}
  int read_byte_slow();
  // Loads the buffer from position; false (and nothing changed) when the
  // inner stream gives nothing there.
  bool refill(int64_t position);

  std::unique_ptr<ByteStream> inner_;
  std::unique_ptr<uint8_t[]> buffer_;
  int64_t size_;
  int64_t start_ = 0;  // stream position of buffer_[0]
  size_t valid_ = 0;   // bytes of buffer_ that hold data
  size_t offset_ = 0;  // next byte within buffer_
};

}  // namespace quillon
