#include "output/csv_writer.h"

#include <cstdarg>
#include <new>

// The row formatter. Reads are kept aligned so the sanitizer build stays
// quiet; the library's own warnings are not ours to fix.
#define STB_SPRINTF_IMPLEMENTATION
#define STB_SPRINTF_NOUNALIGNED
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wconversion"
#include <stb/stb_sprintf.h>
#pragma GCC diagnostic pop

namespace quillon {

namespace {

// "%f" of a double needs at most 309 integer digits, a sign, a point and six
// decimals; with the separator this bounds one value's share of a row.
constexpr size_t kValueRoom = 320;

int format_at(char* at, int room, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = stbsp_vsnprintf(at, room, format, args);
  va_end(args);
  return n;
}

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
  size_t room = (count + 1) * kValueRoom;
  if (line_.size() < room) line_.resize(room);
  char* p = line_.data();
  size_t used = static_cast<size_t>(format_at(p, static_cast<int>(kValueRoom), "%f", time));
  for (size_t i = 0; i < count; ++i) {
    used +=
        static_cast<size_t>(format_at(p + used, static_cast<int>(kValueRoom), ",%f", values[i]));
  }
  p[used++] = '\n';
  return file_->write(p, used) == used;
}

bool CsvWriter::close() {
  if (!file_) return true;
  bool ok = file_->close() == 0;
  file_.reset();
  return ok;
}

}  // namespace quillon
