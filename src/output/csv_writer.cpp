#include "output/csv_writer.h"

#include <new>

#include "output/number_format.h"

namespace quillon {

namespace {

// A value's share of a row: its separator and its text.
constexpr size_t kValueRoom = 1 + kNumberRoom;

}  // namespace

void append_header_field(std::string& out, std::string_view name) {
  // A name with a separator or a quote would add fields to the header that
  // the rows do not have; RFC 4180 quoting keeps it one field.
  if (name.find_first_of(",\"") == std::string_view::npos) {
    out.append(name);
    return;
  }
  out += '"';
  for (char c : name) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

std::unique_ptr<CsvWriter> CsvWriter::create(const std::string& path,
                                             const std::vector<std::string_view>& columns,
                                             bool append, bool& header_ok) {
  header_ok = true;
  std::unique_ptr<platform::File> file(platform::File::open(
      path + ".csv", append ? platform::File::kAppend : platform::File::kWrite));
  if (!file) return nullptr;
  return create(std::move(file), columns, append, header_ok);
}

std::unique_ptr<CsvWriter> CsvWriter::create(std::unique_ptr<platform::File> owned,
                                             const std::vector<std::string_view>& columns,
                                             bool append, bool& header_ok) {
  header_ok = true;
  if (!owned) return nullptr;
  platform::File* file = owned.get();
  std::unique_ptr<CsvWriter> w(new (std::nothrow)
                                   CsvWriter(owned.get(), static_cast<uint32_t>(columns.size())));
  if (!w) return nullptr;
  owned.release();
  w->line_.reserve(256);
  if (!append) {
    std::string header = "t,";
    for (std::string_view name : columns) {
      append_header_field(header, name);
      header += ',';
    }
    header.back() = '\n';
    header_ok = file->write(header.data(), header.size()) == header.size();
    w->write_failed_ = !header_ok;
  }
  return w;
}

bool CsvWriter::write_row(double time, const double* values, size_t count) {
  if (count != column_count_ || write_failed_) return false;
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
  if (file_->write(p, used) == used) return true;
  write_failed_ = true;
  return false;
}

bool CsvWriter::close() {
  if (!file_) return true;
  bool ok = file_->close() == 0;
  error_ = file_->error();
  file_.reset();
  return ok;
}

}  // namespace quillon
