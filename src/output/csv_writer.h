// One open CSV output file: a header line, then one row per decoded frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "output/number_format.h"
#include "platform/platform.h"

namespace quillon {

// Appends a column name as one header field: as it is, or quoted as RFC 4180
// does (in double quotes, inner quotes doubled) when it holds "," or '"'.
void append_header_field(std::string& out, std::string_view name);

class CsvWriter {
 public:
  // Opens path + ".csv". Fresh files are created (replacing a file of that
  // name) and get the header line "t,<name>,..."; with append set, rows go
  // after what the file holds and no header is written. Null when the file
  // cannot be opened. header_ok tells whether the header was written whole.
  static std::unique_ptr<CsvWriter> create(const std::string& path,
                                           const std::vector<std::string_view>& columns,
                                           bool append, bool& header_ok);
  // The same over a file opened by the caller, which the writer takes over.
  static std::unique_ptr<CsvWriter> create(std::unique_ptr<platform::File> file,
                                           const std::vector<std::string_view>& columns,
                                           bool append, bool& header_ok);

  // Formats "time,v1,...\n" with six decimals ("NaN", "Inf" as such) and
  // writes it with one call. False when count differs from the column count
  // (nothing written) or the write was short; after a short write nothing
  // more is written, so that no row is cut in the middle of the file.
  bool write_row(double time, const double* values, size_t count);

  bool flush() { return !file_ || file_->flush(); }
  // False when closing failed, which can lose buffered rows.
  bool close();
  // Closes without writing the rows still buffered.
  void abandon() {
    if (file_) file_->abandon();
    file_.reset();
  }
  // The open file (null once closed), for syncing and telling its identity.
  platform::File* file() { return file_.get(); }
  // The system's code of the last failure.
  int error() const { return file_ ? file_->error() : error_; }
  bool write_failed() const { return write_failed_; }

  uint32_t column_count() const { return column_count_; }

 private:
  CsvWriter(platform::File* file, uint32_t columns) : file_(file), column_count_(columns) {}
  std::unique_ptr<platform::File> file_;
  uint32_t column_count_;
  bool write_failed_ = false;
  int error_ = 0;           // kept when the file is gone
  std::vector<char> line_;  // reused for every row
  TimeFormat time_format_;  // keeps the last row's whole seconds
};

}  // namespace quillon
