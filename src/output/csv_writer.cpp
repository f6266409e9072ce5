#include "output/csv_writer.h"

#include <new>

#include "output/number_format.h"

namespace quillon {

namespace {

// A value's share of a row: its separator and its text.
constexpr size_t kValueRoom = 1 + kNumberRoom;

}  // namespace

std::unique_ptr<CsvWriter> CsvWriter::create(const std::string& path,
                                             const std::vector<std::string_view>& columns,
                                             bool append, bool& header_ok) {
  header_ok = true;
  platform::File* file = platform::File::open(
      path + ".csv", append ? platform::File::kAppend : platform::File::kWrite);
  if (!file) return nullptr;
  std::unique_ptr<CsvWriter> w(new (std::nothrow)
                                   CsvWriter(file, static_cast<uint32_t>(columns.size())));
  if (!w) {
    delete file;
    return nullptr;
  }
  w->line_.reserve(256);
  if (!append) {
    std::string header = "t,";
    for (std::string_view name : columns) {
      header.append(name);
      header += ',';
    }
    header.back() = '\n';
    header_ok = file->write(header.data(), header.size()) == header.size();
  }
  return w;
}

bool CsvWriter::write_row(double time, const double* values, size_t count) {
  if (count != column_count_) return false;
  size_t needed = (count + 1) * kValueRoom;
  if (line_.size() < needed) line_.resize(needed);
  char* p = line_.data();
  char* end = time_format_.format(p, time);
  for (size_t i = 0; i < count; ++i) {
    *end++ = ',';
    end = format_number(end, values[i]);
  }
  *end++ = '\n';
  const size_t used = static_cast<size_t>(end - p);
  return file_->write(p, used) == used;
}

bool CsvWriter::close() {
  if (!file_) return true;
  bool ok = file_->close() == 0;
  file_.reset();
  return ok;
}

}  // namespace quillon
