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

#include "platform/printf_format.h"

namespace quillon {

namespace {

// "%f" of a double needs at most 309 integer digits, a sign, a point and six
// decimals; with the separator this bounds one value's share of a row.
constexpr size_t kValueRoom = 320;

int format_at(char* at, int room, const char* format, ...) QUILLON_PRINTF_FORMAT(3, 4);

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
  size_t needed = (count + 1) * kValueRoom;
  if (line_.size() < needed) line_.resize(needed);
  char* p = line_.data();
  const int room = static_cast<int>(kValueRoom);
  size_t used = static_cast<size_t>(format_at(p, room, "%f", time));
  // Eight values per call: the formatter's per-call cost is a good part of
  // a value's.
  size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const double* v = values + i;
    used += static_cast<size_t>(format_at(p + used, 8 * room, ",%f,%f,%f,%f,%f,%f,%f,%f", v[0],
                                          v[1], v[2], v[3], v[4], v[5], v[6], v[7]));
  }
  for (; i < count; ++i) used += static_cast<size_t>(format_at(p + used, room, ",%f", values[i]));
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
