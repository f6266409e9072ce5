#include "input/log_reader.h"

#include <cstring>
#include <new>
#include <string_view>

#include "platform/platform.h"
#include "support/log.h"

namespace quillon {

namespace {

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// An integer the way "%i" reads one: optional sign, then hexadecimal after
// "0x", octal after a leading "0", else decimal. Wider values keep their low
// bits. False (out untouched) when no digit follows.
bool parse_int_auto(std::string_view s, int64_t& out) {
  size_t i = 0;
  while (i < s.size() && is_space(s[i])) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  int base = 10;
  if (i < s.size() && s[i] == '0') {
    base = 8;
    if (i + 2 < s.size() && (s[i + 1] == 'x' || s[i + 1] == 'X') && hex_value(s[i + 2]) >= 0) {
      base = 16;
      i += 2;
    }
  }
  uint64_t v = 0;
  size_t digits = 0;
  for (; i < s.size(); ++i, ++digits) {
    int d = hex_value(s[i]);
    if (d < 0 || d >= base) break;
    v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
  }
  if (digits == 0) return false;
  out = static_cast<int64_t>(negative ? 0 - v : v);
  return true;
}

// The first whitespace-free token, cut to the field's width ("%s" into a
// fixed field; a longer token keeps its beginning rather than overflowing).
void copy_token(std::string_view s, char* field, size_t capacity) {
  size_t i = 0;
  while (i < s.size() && is_space(s[i])) ++i;
  size_t n = 0;
  while (i < s.size() && !is_space(s[i]) && n + 1 < capacity) field[n++] = s[i++];
  field[n] = '\0';
}

// "\"%c\"": exactly a quote, the character, a quote; anything else is none.
char parse_quoted_char(std::string_view s) {
  if (s.size() == 3 && s[0] == '"' && s[2] == '"') return s[1];
  return 0;
}

void parse_bool(std::string_view s, int32_t& field) {
  if (s == "true") field = 1;
  if (s == "false") field = 0;
}

// Days since 1970-01-01 of a proleptic Gregorian date; month in 1..12, day
// may run past the month's end.
int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

struct Civil {
  int64_t year, month, day, hour, minute, second;
};

Civil civil_from_seconds(int64_t t) {
  int64_t days = t >= 0 ? t / 86400 : -((-t + 86399) / 86400);
  int64_t rem = t - days * 86400;
  Civil c;
  c.hour = rem / 3600;
  c.minute = rem % 3600 / 60;
  c.second = rem % 60;
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  c.day = doy - (153 * mp + 2) / 5 + 1;
  c.month = mp < 10 ? mp + 3 : mp - 9;
  c.year = yoe + era * 400 + (c.month <= 2);
  return c;
}

// Length of the calendar month or year that starts at whole second t, the
// way a calendar library's normalisation gives it; a 32-bit difference.
uint32_t calendar_period(double time, bool year) {
  const int64_t t = static_cast<int64_t>(time);
  Civil c = civil_from_seconds(t);
  if (year) {
    c.year += 1;
  } else {
    c.month += 1;
  }
  int64_t next = civil_to_seconds(c.year, c.month, c.day, c.hour, c.minute, c.second);
  return static_cast<uint32_t>(next - t);
}

// Where BufferedReader::read_byte applies, it is an inlined load; the plain
// stream pays a virtual call per byte.
struct BufferedSource {
  BufferedReader* reader;
  int get() { return reader->read_byte(); }
};

struct StreamSource {
  ByteStream* stream;
  int get() {
    uint8_t b;
    return stream->read(&b, 1) == 1 ? b : -1;
  }
};

}  // namespace

int64_t civil_to_seconds(int64_t year, int64_t month, int64_t day, int64_t hour, int64_t minute,
                         int64_t second) {
  // Month first: 0 is December of the year before, 13 January of the next.
  int64_t m0 = month - 1;
  int64_t carry = m0 >= 0 ? m0 / 12 : -((11 - m0) / 12);
  year += carry;
  m0 -= carry * 12;
  return days_from_civil(year, m0 + 1, day) * 86400 + hour * 3600 + minute * 60 + second;
}

LogReader::LogReader(ByteStream* stream)
    : stream_(stream), buffered_(dynamic_cast<BufferedReader*>(stream)) {}

template <typename Source>
int LogReader::read_line_from(Source source) {
  int n = 0;
  for (int consumed = 0; consumed < kMaxLine; ++consumed) {
    int c = source.get();
    if (c < 0) {
      if (consumed == 0) return -1;
      break;
    }
    if (c == '\r') continue;
    line_[n++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  line_[n] = '\0';
  return n;
}

// The line's length without carriage returns, line feed kept; -1 when the
// stream gave no byte at all. A run of 199 carriage returns is an empty line,
// not the end of the data.
int LogReader::read_line() {
  if (buffered_ != nullptr) return read_line_from(BufferedSource{buffered_});
  return read_line_from(StreamSource{stream_});
}

std::unique_ptr<LogReader> LogReader::create(ByteStream* stream) {
  if (stream == nullptr) return nullptr;
  std::unique_ptr<LogReader> reader(new (std::nothrow) LogReader(stream));
  if (!reader) return nullptr;
  if (stream->seek(0, 0) != 0) return nullptr;

  // Header lines, then the first line that is not one: the column header.
  int length = reader->read_line();
  if (length <= 0 || reader->line_[0] != '#') return nullptr;
  while (length > 0 && reader->line_[0] == '#') {
    reader->offer_header_line(length);
    length = reader->read_line();
  }
  if (length < 0) return nullptr;
  reader->data_start_ = stream->tell();
  if (!reader->parse_columns(length)) return nullptr;

  // What every timestamp needs from the header, worked out once.
  const char drops[] = {reader->value_separator_,     reader->time_separator_,
                        reader->ms_separator_,        reader->date_separator_,
                        reader->date_time_separator_, 'T'};
  for (char d : drops) {
    if (d != 0) reader->drop_[static_cast<uint8_t>(d)] = true;
  }
  std::memcpy(reader->template_, "19700101000000000", 18);
  int n = 0;
  for (const char* p = reader->start_text_; *p != '\0' && n < 17; ++p) {
    if (!reader->drop_[static_cast<uint8_t>(*p)]) reader->template_[n++] = *p;
  }
  return reader;
}

void LogReader::offer_header_line(int length) {
  std::string_view line(line_, static_cast<size_t>(length));
  size_t colon = line.find(": ");
  std::string_view value;
  if (colon != std::string_view::npos) {
    value = line.substr(colon + 2);
    if (!value.empty() && value.back() == '\n') value.remove_suffix(1);
  }
  auto has = [&](const char* label) {
    return colon != std::string_view::npos && line.find(label) != std::string_view::npos;
  };
  int64_t number;

  if (has("Logger type:")) {
    if (value == "Telvorn1000") logger_type_ = 0;
    if (value == "Telvorn2000") logger_type_ = 1;
    if (value == "Telvorn3000") logger_type_ = 2;
  }
  if (has("HW rev:")) copy_token(value, hw_rev_, sizeof hw_rev_);
  if (has("FW rev:")) copy_token(value, fw_rev_, sizeof fw_rev_);
  if (has("Logger ID:")) copy_token(value, logger_id_, sizeof logger_id_);
  if (has("Session No.:") && parse_int_auto(value, number)) session_ = static_cast<int32_t>(number);
  if (has("Split No.:") && parse_int_auto(value, number)) split_ = static_cast<int32_t>(number);
  if (has("Time:")) {
    copy_token(value, start_text_, sizeof start_text_);
    // "%4u%2u%2uT%2u%2u%2u"; a value that does not have that shape leaves 0.
    const char* t = start_text_;
    auto digits = [&](int at, int count, int& out) {
      out = 0;
      for (int i = 0; i < count; ++i) {
        char c = t[at + i];
        if (c < '0' || c > '9') return false;
        out = out * 10 + (c - '0');
      }
      return true;
    };
    int y, mo, d, h, mi, s;
    if (std::strlen(t) >= 15 && digits(0, 4, y) && digits(4, 2, mo) && digits(6, 2, d) &&
        t[8] == 'T' && digits(9, 2, h) && digits(11, 2, mi) && digits(13, 2, s)) {
      start_time_ = static_cast<double>(platform::local_seconds(y, mo, d, h, mi, s));
    }
  }
  if (has("Value separator:")) value_separator_ = parse_quoted_char(value);
  if (has("Time format:") && parse_int_auto(value, number))
    time_format_ = static_cast<uint8_t>(number);
  if (has("Time separator:")) time_separator_ = parse_quoted_char(value);
  if (has("Time separator ms:")) ms_separator_ = parse_quoted_char(value);
  if (has("Date separator:")) date_separator_ = parse_quoted_char(value);
  if (has("Time and date separator:")) date_time_separator_ = parse_quoted_char(value);
  if (has("Bit-rate:") && parse_int_auto(value, number)) bit_rate_ = static_cast<int32_t>(number);
  if (has("Silent mode:")) parse_bool(value, silent_);
  if (has("Cyclic mode:")) parse_bool(value, cyclic_);
}

bool LogReader::parse_columns(int length) {
  static const struct {
    const char* name;
    Column column;
  } kColumns[] = {{"Timestamp", kTimestamp}, {"Lost", kLost}, {"Type", kType}, {"ID", kId},
                  {"Length", kLength},       {"Data", kData}};
  int end = length;
  if (end > 0 && line_[end - 1] == '\n') --end;
  std::string_view line(line_, static_cast<size_t>(end));
  bool known = false;
  size_t start = 0;
  for (int slot = 0; slot < kMaxColumns; ++slot) {
    size_t stop = value_separator_ != 0 ? line.find(value_separator_, start) : line.npos;
    std::string_view name = line.substr(start, stop == line.npos ? line.npos : stop - start);
    for (const auto& c : kColumns) {
      if (name == c.name) {
        columns_[slot] = c.column;
        known = true;
      }
    }
    if (stop == line.npos) break;
    start = stop + 1;
  }
  return known;
}

bool LogReader::seek_to_data() {
  return stream_->seek(data_start_, 0) == data_start_;
}

void LogReader::parse_timestamp(const char* value, int length, Frame& frame) {
  // The template's digits: the header's at the front, the value's at the
  // back, right-aligned. Only the value's first 17 digits count, so a value
  // with finer fractions (microseconds) still lands its milliseconds.
  char t[17];
  std::memcpy(t, template_, 17);
  char digits[17];
  int n = 0;
  for (int i = 0; i < length && n < 17; ++i) {
    if (!drop_[static_cast<uint8_t>(value[i])]) digits[n++] = value[i];
  }
  std::memcpy(t + 17 - n, digits, static_cast<size_t>(n));

  // "%4u%2u%2u%2u%2u%2u%3u". Reading stops at the first character that is
  // not a digit; the fields from there on are 0.
  static const int kWidths[7] = {4, 2, 2, 2, 2, 2, 3};
  int64_t field[7] = {0, 0, 0, 0, 0, 0, 0};
  int at = 0;
  for (int f = 0; f < 7; ++f) {
    for (int w = 0; w < kWidths[f]; ++w, ++at) {
      unsigned d = static_cast<unsigned>(t[at] - '0');
      if (d > 9) goto done;
      field[f] = field[f] * 10 + d;
    }
  }
done:
  double time = static_cast<double>(
                    civil_to_seconds(field[0], field[1], field[2], field[3], field[4], field[5])) +
                static_cast<double>(field[6]) * 0.001 + static_cast<double>(rollover_);

  if (time < last_timestamp_) {
    uint32_t period = 0;
    switch (time_format_) {
      case 1:
        period = 60;
        break;
      case 2:
        period = 3600;
        break;
      case 3:
        period = 86400;
        break;
      case 4:
        period = calendar_period(time, false);
        break;
      case 5:
        period = calendar_period(time, true);
        break;
      default:
        break;
    }
    if (period != 0 && last_timestamp_ - time > 1.0) {
      rollover_ += period;
      time += period;
    }
  }
  last_timestamp_ = time;
  frame.time = time;
}

namespace {

// "%x" into 32 bits: optional "0x", hexadecimal digits; wider values keep
// their low bits, no digit leaves the field 0.
uint32_t parse_hex32(const char* v, int length) {
  int i = 0;
  while (i < length && is_space(v[i])) ++i;
  if (i + 2 < length && v[i] == '0' && (v[i + 1] == 'x' || v[i + 1] == 'X') &&
      hex_value(v[i + 2]) >= 0)
    i += 2;
  uint32_t id = 0;
  for (; i < length; ++i) {
    int d = hex_value(v[i]);
    if (d < 0) break;
    id = id << 4 | static_cast<uint32_t>(d);
  }
  return id;
}

// "%hhu": decimal, low 8 bits kept; no digit leaves 0.
uint8_t parse_u8(const char* v, int length) {
  int i = 0;
  while (i < length && is_space(v[i])) ++i;
  if (i < length && v[i] == '+') ++i;
  unsigned n = 0;
  for (; i < length && v[i] >= '0' && v[i] <= '9'; ++i)
    n = n * 10 + static_cast<unsigned>(v[i] - '0');
  return static_cast<uint8_t>(n);
}

// Two hexadecimal digits per byte, at most 8 bytes. The payload ends at the
// first character that is not a hexadecimal digit: a digit standing alone
// before it (or at the end) is a byte of its own value, and whatever follows
// is not read, so garbage never shifts later bytes.
int parse_data(const char* v, int length, uint8_t* bytes) {
  int n = 0;
  for (int i = 0; i < length && n < 8; i += 2) {
    int hi = hex_value(v[i]);
    if (hi < 0) break;
    int lo = i + 1 < length ? hex_value(v[i + 1]) : -1;
    if (lo < 0) {
      bytes[n++] = static_cast<uint8_t>(hi);
      break;
    }
    bytes[n++] = static_cast<uint8_t>(hi << 4 | lo);
  }
  return n;
}

}  // namespace

bool LogReader::next_frame(Frame& frame) {
  bool dropped = false;
  double remembered = 0;
  bool produced = false;
  for (;;) {
    int length = read_line();
    if (length < 0) break;
    frame.reset();
    frame.channel = 1;
    if (length > 0 && line_[length - 1] == '\n') --length;

    const char* p = line_;
    const char* end = line_ + length;
    for (int slot = 0; slot < kMaxColumns; ++slot) {
      const char* stop = p;
      if (value_separator_ != 0) {
        while (stop < end && *stop != value_separator_) ++stop;
      } else {
        stop = end;
      }
      const int n = static_cast<int>(stop - p);
      switch (columns_[slot]) {
        case kTimestamp:
          parse_timestamp(p, n, frame);
          break;
        case kType:
          if (n > 0) {
            char c = p[0];
            if (c == '1' || c == '9') frame.extended = 1;
            if (c == '8' || c == '9') frame.type_flag = 1;
          }
          break;
        case kId:
          frame.id = parse_hex32(p, n);
          break;
        case kLength:
          frame.bits.dlc = parse_u8(p, n);
          break;
        case kData: {
          uint8_t bytes[8];
          int count = parse_data(p, n, bytes);
          frame.payload.assign(bytes, bytes + count);
          frame.bits.dlc = static_cast<uint8_t>(count);
          break;
        }
        case kLost:
        case kNone:
          break;
      }
      if (stop >= end) break;
      p = stop + 1;
    }
    frame.kind = kFrameCan;

    if (frame.time < last_accepted_) {
      dropped = true;
      remembered = last_accepted_;
      continue;
    }
    last_accepted_ = frame.time;
    produced = true;
    break;
  }
  if (dropped && remembered > 0)
    QLOG(LOG_WARN, "Skipping non-increasing timestamp: %f", remembered);
  return produced;
}

}  // namespace quillon
