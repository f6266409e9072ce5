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

class CsvWriter {
 public:
  // Opens path + ".csv". Fresh files are created (replacing a file of that
  // name) and get the header line "t,<name>,..."; with append set, rows go
  // after what the file holds and no header is written. Null when the file
  // cannot be opened. header_ok tells whether the header was written whole.
  static std::unique_ptr<CsvWriter> create(const std::string& path,
                                           const std::vector<std::string_view>& columns,
                                           bool append, bool& header_ok);

  // Formats "time,v1,...\n" with six decimals ("NaN", "Inf" as such) and
  // writes it with one call. False when count differs from the column count
  // (nothing written) or the write was short.
  bool write_row(double time, const double* values, size_t count);

  bool flush() { return !file_ || file_->flush(); }
  // False when closing failed, which can lose buffered rows.
  bool close();

  uint32_t column_count() const { return column_count_; }

 private:
  CsvWriter(platform::File* file, uint32_t columns) : file_(file), column_count_(columns) {}
  std::unique_ptr<platform::File> file_;
  uint32_t column_count_;
  std::vector<char> line_;  // reused for every row
  TimeFormat time_format_;  // keeps the last row's whole seconds
};

}  // namespace quillon
