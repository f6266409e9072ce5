// One open CSV output file: a header line, then one row per decoded frame.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "output/buffer_pool.h"
#include "output/compressor.h"
#include "output/number_format.h"
#include "platform/platform.h"
#include "support/prefetch.h"

namespace quillon {

// Appends a column name as one header field: as it is, or quoted as RFC 4180
// does (in double quotes, inner quotes doubled) when it holds "," or '"'.
void append_header_field(std::string& out, std::string_view name);

// Rows are gathered in a buffer of the writer's own (made at the first row)
// and reach the file in chunks of up to the pool's buffer size (kBuffer
// without a pool): with thousands of
// outputs open, a row touches only the writer and the end of its buffer,
// not a stream's state and buffer besides.
class alignas(64) CsvWriter {
 public:
  static constexpr uint32_t kBuffer = BufferPool::kBufferBytes;

  ~CsvWriter();
  CsvWriter(const CsvWriter&) = delete;
  CsvWriter& operator=(const CsvWriter&) = delete;

  // Opens path + ".csv". Fresh files are created (replacing a file of that
  // name) and get the header line "t,<name>,..."; with append set, rows go
  // after what the file holds and no header is written. Null when the file
  // cannot be opened. header_ok tells whether the header was written whole.
  // The row buffer comes from pool (which must outlive the writer) or, when
  // it is null, from the heap.
  static std::unique_ptr<CsvWriter> create(const std::string& path,
                                           const std::vector<std::string_view>& columns,
                                           bool append, bool& header_ok,
                                           BufferPool* pool = nullptr);
  // The same over a file opened by the caller, which the writer takes over
  // before anything was read or written through it. With a compressor
  // (which must outlive the writer), every buffer that goes to the file is
  // one whole frame of it, the header line in the first: the header is
  // then buffered with the rows, and header_ok tells only that it was.
  static std::unique_ptr<CsvWriter> create(std::unique_ptr<platform::File> file,
                                           const std::vector<std::string_view>& columns,
                                           bool append, bool& header_ok, BufferPool* pool = nullptr,
                                           Compressor* compressor = nullptr);

  // Formats "time,v1,...\n" with six decimals ("NaN", "Inf" as such) and
  // adds it to the buffer, which goes to the file when the row does not fit.
  // False when count differs from the column count (nothing written) or
  // writing the buffer was short; after a short write nothing more is
  // written.
  bool write_row(double time, const double* values, size_t count);
  // The same, but a column whose labels entry is not null writes that text
  // in place of its value, quoted as a header field is when it needs it.
  bool write_row(double time, const double* values, const std::string* const* labels, size_t count);

  // The buffered rows to the file, and the file to the system.
  bool flush() { return !file_ || (drain() && file_->flush()); }
  // The buffered rows to the file, and the file to the device.
  bool sync() { return !file_ || (drain() && file_->sync()); }
  // Writes the buffered rows and closes; false when either failed, which
  // loses rows.
  bool close();
  // Closes without writing the rows still buffered.
  void abandon() {
    used_ = 0;
    if (file_) file_->abandon();
    file_.reset();
  }
  // The open file (null once closed), for telling its identity. Rows may
  // still wait in the writer's buffer: flush or sync before relying on the
  // file's content.
  platform::File* file() { return file_.get(); }
  // The system's code of the last failure.
  int error() const { return error_ != 0 || !file_ ? error_ : file_->error(); }
  bool write_failed() const { return write_failed_; }

  uint32_t column_count() const { return column_count_; }
  // Whether a row came since the last call.
  bool take_recent() {
    const bool recent = recent_;
    recent_ = false;
    return recent;
  }

  // Fetches the end of the buffer, where the next row goes, to be written:
  // called a while before write_row, so that the row need not wait for it.
  void fetch_tail() const {
    if (!buffer_) return;
    prefetch_for_write(buffer_ + used_);
    // A row of eight values reaches into the next line.
    prefetch_for_write(buffer_ + std::min(used_ + 64, capacity_));
  }

 private:
  CsvWriter(platform::File* file, uint32_t columns, BufferPool* pool, Compressor* compressor)
      : column_count_(columns), pool_(pool), compressor_(compressor), file_(file) {}
  // Writes the buffered rows; false (and nothing more is written) when the
  // write was short.
  bool drain();
  // Adds a formatted row to the buffer (or straight to the file).
  bool put(const char* p, size_t length);
  // Writes length bytes to the file, as one frame when compressed; false
  // (and nothing more is written) when the write was short.
  bool emit(const char* p, size_t length);

  // What every row touches first, together.
  char* buffer_ = nullptr;  // from pool_, or new[] without one
  uint32_t used_ = 0, capacity_ = 0;
  uint32_t column_count_;
  bool write_failed_ = false;
  bool recent_ = true;  // a row came (or the writer opened) since take_recent
  BufferPool* pool_;
  Compressor* compressor_;  // null: the rows go as they are
  std::unique_ptr<platform::File> file_;
  int error_ = 0;  // kept when the file is gone, or the compressor's
};

}  // namespace quillon
