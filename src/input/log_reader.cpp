#include "input/log_reader.h"

#include <algorithm>
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

struct HexTable {
  int8_t value[256];
  constexpr HexTable() : value() {
    for (int i = 0; i < 256; ++i) value[i] = -1;
    for (int i = 0; i < 10; ++i) value['0' + i] = static_cast<int8_t>(i);
    for (int i = 0; i < 6; ++i) {
      value['a' + i] = static_cast<int8_t>(10 + i);
      value['A' + i] = static_cast<int8_t>(10 + i);
    }
  }
};
constexpr HexTable kHex;

// The digit's value, or -1 for a character that is no hexadecimal digit.
int hex_value(char c) {
  return kHex.value[static_cast<uint8_t>(c)];
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

// Which field of "%4u%2u%2u%2u%2u%2u%3u" each template position feeds.
constexpr int kFieldOf[17] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 6};

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
    : stream_(stream), buffered_(dynamic_cast<BufferedReader*>(stream)) {
  special_[static_cast<uint8_t>('\r')] = kCarriageReturn;
  special_[static_cast<uint8_t>('\n')] = kLineFeed;
}

// Adds one byte to the line; true when it completes the line.
inline bool LogReader::take(uint8_t c, Line& out, int& n, int& cut_count) const {
  // One table look-up tells ordinary bytes from the few that matter.
  const uint8_t special = special_[c];
  if (special == kOrdinary) {
    out.text[n++] = static_cast<char>(c);
    return false;
  }
  if (special == kCarriageReturn) return false;
  if (special == kSeparator && cut_count < kMaxColumns) out.cuts[cut_count++] = n;
  out.text[n++] = static_cast<char>(c);
  return special == kLineFeed;
}

// The line's length without carriage returns, line feed kept; -1 when the
// stream gave no byte at all. A run of 199 carriage returns is an empty line,
// not the end of the data.
inline int LogReader::read_line(Line& out) {
  int n = 0;
  int cut_count = 0;
  int consumed = 0;
  bool done = false;
  if (buffered_ != nullptr) {
    // Byte by byte straight from the buffer, the position in a register;
    // the reader's own position moves once per stretch.
    while (!done && consumed < kMaxLine) {
      size_t available;
      const uint8_t* p = buffered_->unread(available);
      if (available == 0) {
        const int c = buffered_->read_byte();  // refills the buffer
        if (c < 0) break;
        ++consumed;
        done = take(static_cast<uint8_t>(c), out, n, cut_count);
        continue;
      }
      const uint8_t* end = p + std::min(available, static_cast<size_t>(kMaxLine - consumed));
      const uint8_t* q = p;
      while (q < end && !done) done = take(*q++, out, n, cut_count);
      consumed += static_cast<int>(q - p);
      buffered_->skip(static_cast<size_t>(q - p));
    }
  } else {
    uint8_t c;
    while (!done && consumed < kMaxLine && stream_->read(&c, 1) == 1) {
      ++consumed;
      done = take(c, out, n, cut_count);
    }
  }
  if (consumed == 0) return out.length = -1;
  out.text[n] = '\0';
  out.cut_count = cut_count;
  return out.length = n;
}

std::unique_ptr<LogReader> LogReader::create(ByteStream* stream) {
  if (stream == nullptr) return nullptr;
  std::unique_ptr<LogReader> reader(new (std::nothrow) LogReader(stream));
  if (!reader) return nullptr;
  if (stream->seek(0, 0) != 0) return nullptr;

  // Header lines, then the first line that is not one: the column header.
  Line& line = reader->line_;
  int length = reader->read_line(line);
  if (length <= 0 || line.text[0] != '#') return nullptr;
  while (length > 0 && line.text[0] == '#') {
    reader->offer_header_line(length);
    length = reader->read_line(line);
  }
  if (length < 0) return nullptr;
  reader->data_start_ = stream->tell();
  if (!reader->parse_columns(length)) return nullptr;

  if (reader->value_separator_ != 0 && reader->value_separator_ != '\r' &&
      reader->value_separator_ != '\n')
    reader->special_[static_cast<uint8_t>(reader->value_separator_)] = kSeparator;

  // What every timestamp needs from the header, worked out once.
  const char drops[] = {reader->value_separator_,     reader->time_separator_,
                        reader->ms_separator_,        reader->date_separator_,
                        reader->date_time_separator_, 'T'};
  for (int c = 0; c < 256; ++c) {
    reader->stamp_class_[c] = c >= '0' && c <= '9' ? static_cast<uint8_t>(c - '0') : kNotDigit;
  }
  for (char d : drops) {
    if (d != 0) reader->stamp_class_[static_cast<uint8_t>(d)] = kDropped;
  }
  std::memcpy(reader->template_, "19700101000000000", 18);
  int n = 0;
  for (const char* p = reader->start_text_; *p != '\0' && n < 17; ++p) {
    if (reader->stamp_class_[static_cast<uint8_t>(*p)] != kDropped) reader->template_[n++] = *p;
  }
  reader->template_first_bad_ = 17;
  std::memset(reader->lead_fields_, 0, sizeof reader->lead_fields_);
  for (int lead = 1; lead <= 17; ++lead) {
    std::memcpy(reader->lead_fields_[lead], reader->lead_fields_[lead - 1],
                sizeof reader->lead_fields_[lead]);
    const int at = lead - 1;
    const unsigned digit = static_cast<unsigned>(static_cast<uint8_t>(reader->template_[at])) - '0';
    int64_t& f = reader->lead_fields_[lead][kFieldOf[at]];
    f = f * 10 + digit;  // only used while every digit before lead is one
  }
  for (int i = 16; i >= 0; --i) {
    reader->template_digits_[i] =
        static_cast<unsigned>(static_cast<uint8_t>(reader->template_[i])) - '0';
    if (reader->template_digits_[i] > 9) reader->template_first_bad_ = i;
  }
  return reader;
}

void LogReader::offer_header_line(int length) {
  std::string_view line(line_.text, static_cast<size_t>(length));
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
  if (end > 0 && line_.text[end - 1] == '\n') --end;
  std::string_view line(line_.text, static_cast<size_t>(end));
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
  // The value's digits as digit values (other characters give values above
  // 9). Only the first 17 count, so a value with finer fractions
  // (microseconds) still lands its milliseconds.
  unsigned digits[17];
  unsigned bad = 0;
  int n = 0;
  for (int i = 0; i < length && n < 17; ++i) {
    const unsigned digit = stamp_class_[static_cast<uint8_t>(value[i])];
    if (digit == kDropped) continue;
    digits[n++] = digit;
    bad |= digit > 9;
  }
  // The template: the header's digits at the front, the value's at the
  // back, right-aligned, read as "%4u%2u%2u%2u%2u%2u%3u". The header's part
  // of the fields is worked out once per alignment; the value's digits carry
  // on from there.
  const int lead = 17 - n;
  int64_t field[7];
  std::memcpy(field, lead_fields_[lead], sizeof field);
  if (bad == 0 && template_first_bad_ >= lead) {
    for (int i = 0; i < n; ++i) {
      const int f = kFieldOf[lead + i];
      field[f] = field[f] * 10 + digits[i];
    }
  } else {
    // Reading stops at the first character that is not a digit; the fields
    // from there on are 0.
    std::memset(field, 0, sizeof field);
    for (int at = 0; at < 17; ++at) {
      const unsigned digit = at < lead ? template_digits_[at] : digits[at - lead];
      if (digit > 9) break;
      field[kFieldOf[at]] = field[kFieldOf[at]] * 10 + digit;
    }
  }
  // The date changes rarely: its seconds are worked out once per date.
  const int64_t date_key = (field[0] * 100 + field[1]) * 100 + field[2];
  if (date_key != cached_date_key_) {
    cached_date_key_ = date_key;
    cached_date_seconds_ = civil_to_seconds(field[0], field[1], field[2], 0, 0, 0);
  }
  double time =
      static_cast<double>(cached_date_seconds_ + field[3] * 3600 + field[4] * 60 + field[5]) +
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
  Line line;  // local, so that filling it cannot alias the stream's position
  bool dropped = false;
  double remembered = 0;
  bool produced = false;
  for (;;) {
    int length = read_line(line);
    if (length < 0) break;
    frame.reset();
    frame.channel = 1;
    if (length > 0 && line.text[length - 1] == '\n') --length;

    // Values lie between the separators read_line found; the last one ends
    // at the line feed or the end of the text.
    const char* p = line.text;
    for (int slot = 0; slot < kMaxColumns; ++slot) {
      const bool last = slot >= line.cut_count;
      const char* stop = last ? line.text + length : line.text + line.cuts[slot];
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
          // Parsed in place: the payload keeps its capacity from line to line.
          frame.payload.resize(8);
          int count = parse_data(p, n, frame.payload.data());
          frame.payload.resize(static_cast<size_t>(count));
          frame.bits.dlc = static_cast<uint8_t>(count);
          break;
        }
        case kLost:
        case kNone:
          break;
      }
      if (last) break;
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
