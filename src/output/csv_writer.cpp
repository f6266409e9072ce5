#include "output/csv_writer.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "output/number_format.h"

namespace quillon {

namespace {

// A value's share of a row: its separator and its text.
constexpr size_t kValueRoom = 1 + kNumberRoom;

// Rows are formatted here, with room for the longest numbers, and then
// copied to the writer's buffer at their actual length; one per thread, so
// that a buffer need not hold the worst case of a row.
std::vector<char>& row_scratch() {
  thread_local std::vector<char> scratch;
  return scratch;
}

// Rows with labels, whose length has no bound known beforehand.
std::string& label_scratch() {
  thread_local std::string scratch;
  return scratch;
}

// The time's whole seconds, kept from the row before: one per thread rather
// than per writer, since consecutive frames share their second whichever
// output they go to, while one output of thousands sees its next row
// seconds later.
TimeFormat& time_format() {
  thread_local TimeFormat format;
  return format;
}

}  // namespace

void append_header_field(std::string& out, std::string_view name) {
  // A name with a separator or a quote would add fields to the header that
  // the rows do not have; RFC 4180 quoting keeps it one field.
  if (name.find_first_of(",\"\r\n") == std::string_view::npos) {
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

CsvWriter::~CsvWriter() {
  close();
  if (pool_) {
    pool_->give_back(buffer_);
  } else {
    delete[] buffer_;
  }
}

std::unique_ptr<CsvWriter> CsvWriter::create(const std::string& path,
                                             const std::vector<std::string_view>& columns,
                                             bool append, bool& header_ok, BufferPool* pool) {
  header_ok = true;
  std::unique_ptr<platform::File> file(platform::File::open(
      path + ".csv", append ? platform::File::kAppend : platform::File::kWrite));
  if (!file) return nullptr;
  return create(std::move(file), columns, append, header_ok, pool);
}

std::unique_ptr<CsvWriter> CsvWriter::create(std::unique_ptr<platform::File> owned,
                                             const std::vector<std::string_view>& columns,
                                             bool append, bool& header_ok, BufferPool* pool,
                                             Compressor* compressor) {
  header_ok = true;
  if (!owned) return nullptr;
  platform::File* file = owned.get();
  std::unique_ptr<CsvWriter> w(new (std::nothrow) CsvWriter(
      owned.get(), static_cast<uint32_t>(columns.size()), pool, compressor));
  if (!w) return nullptr;
  owned.release();
  // The writer gathers the rows itself: a second buffer would cost a copy
  // and memory per open file.
  file->unbuffered();
  if (!append) {
    std::string header = "t,";
    for (std::string_view name : columns) {
      append_header_field(header, name);
      header += ',';
    }
    header.back() = '\n';
    if (compressor) {
      // In the first frame, with the rows that follow.
      header_ok = w->put(header.data(), header.size());
    } else {
      header_ok = file->write(header.data(), header.size()) == header.size();
      w->write_failed_ = !header_ok;
    }
  }
  return w;
}

bool CsvWriter::write_row(double time, const double* values, size_t count) {
  if (count != column_count_ || write_failed_) return false;
  std::vector<char>& line = row_scratch();
  size_t needed = (count + 1) * kValueRoom;
  if (line.size() < needed) line.resize(needed);
  char* p = line.data();
  char* end = time_format().format(p, time);
  for (size_t i = 0; i < count; ++i) {
    *end++ = ',';
    end = format_number(end, values[i]);
  }
  *end++ = '\n';
  return put(p, static_cast<size_t>(end - p));
}

bool CsvWriter::write_row(double time, const double* values, const std::string* const* labels,
                          size_t count) {
  if (count != column_count_ || write_failed_) return false;
  std::string& line = label_scratch();
  line.clear();
  char number[kValueRoom];
  line.append(number, time_format().format(number, time));
  for (size_t i = 0; i < count; ++i) {
    line += ',';
    if (labels[i]) {
      append_header_field(line, *labels[i]);
    } else {
      line.append(number, format_number(number, values[i]));
    }
  }
  line += '\n';
  return put(line.data(), line.size());
}

bool CsvWriter::put(const char* p, size_t length) {
  recent_ = true;
  if (length > capacity_ - used_) {
    if (!drain()) return false;
    if (length > capacity_) {
      // Longer than any buffer the writer keeps: straight to the file.
      return emit(p, length);
    }
  }
  std::memcpy(buffer_ + used_, p, length);
  used_ += static_cast<uint32_t>(length);
  return true;
}

bool CsvWriter::drain() {
  if (write_failed_) return false;
  if (used_ != 0) {
    const size_t used = used_;
    used_ = 0;
    if (!emit(buffer_, used)) return false;
  }
  // Made when the first row comes; without memory, rows go to the file one
  // by one.
  if (capacity_ == 0) {
    buffer_ = pool_ ? pool_->take() : new (std::nothrow) char[kBuffer];
    if (buffer_) capacity_ = pool_ ? static_cast<uint32_t>(pool_->buffer_bytes()) : kBuffer;
  }
  return true;
}

bool CsvWriter::emit(const char* p, size_t length) {
  if (compressor_) {
    if (!compressor_->compress(p, length)) {
      write_failed_ = true;
      error_ = ENOMEM;
      return false;
    }
    p = compressor_->data();
    length = compressor_->size();
  }
  if (file_->write(p, length) == length) return true;
  write_failed_ = true;
  return false;
}

bool CsvWriter::close() {
  if (!file_) return true;
  bool ok = drain();
  if (file_->close() != 0) ok = false;
  if (error_ == 0) error_ = file_->error();
  file_.reset();
  return ok;
}

}  // namespace quillon
