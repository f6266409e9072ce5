#include "input/log_reader.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <string_view>

#include "platform/calendar.h"
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

// Which field of "%4u%2u%2u%2u%2u%2u%3u" each template position feeds.
constexpr int kFieldOf[17] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 6};

// Length of the calendar month or year that starts at whole second t, the
// way a calendar library's normalisation gives it; a 32-bit difference.
uint32_t calendar_period(double time, bool year) {
  const int64_t t = static_cast<int64_t>(time);
  platform::Civil c = platform::civil_from_seconds(t);
  if (year) {
    c.year += 1;
  } else {
    c.month += 1;
  }
  int64_t next = platform::civil_to_seconds(c.year, c.month, c.day, c.hour, c.minute, c.second);
  return static_cast<uint32_t>(next - t);
}

// The whole value cut to the field's width (the "Time:" entry).
void copy_text(std::string_view s, char* field, size_t capacity) {
  size_t n = std::min(s.size(), capacity - 1);
  std::memcpy(field, s.data(), n);
  field[n] = '\0';
}

// One "%<width>u" conversion: white space skipped, then an optional sign and
// digits, width characters at most (the sign counts). False when no digit.
bool scan_unsigned(const char* s, size_t& at, int width, unsigned& out) {
  while (s[at] != '\0' && is_space(s[at])) ++at;
  bool negative = false;
  int used = 0;
  if (s[at] == '+' || s[at] == '-') {
    negative = s[at] == '-';
    ++at;
    ++used;
  }
  unsigned v = 0;
  int digits = 0;
  for (; used < width && s[at] >= '0' && s[at] <= '9'; ++at, ++used, ++digits)
    v = v * 10 + static_cast<unsigned>(s[at] - '0');
  if (digits == 0) return false;
  out = negative ? 0u - v : v;
  return true;
}

// Bytes [0, n) of a and b are equal; n is small (a timestamp value).
inline bool same_bytes(const char* a, const char* b, int n) {
  if (n >= 8) {
    // Whole words, the last one overlapping the one before.
    uint64_t x, y;
    for (int i = 0; i + 8 < n; i += 8) {
      std::memcpy(&x, a + i, 8);
      std::memcpy(&y, b + i, 8);
      if (x != y) return false;
    }
    std::memcpy(&x, a + n - 8, 8);
    std::memcpy(&y, b + n - 8, 8);
    return x == y;
  }
  for (int i = 0; i < n; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// Eight bytes as one word, the first byte in the lowest bits.
inline uint64_t load_word(const uint8_t* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  if constexpr (std::endian::native == std::endian::big) {
    uint64_t r = 0;
    for (int i = 0; i < 8; ++i) r |= (w >> (8 * i) & 0xFF) << (8 * (7 - i));
    w = r;
  }
  return w;
}

constexpr uint64_t kLowBits = 0x7F7F7F7F7F7F7F7Full;
constexpr uint64_t kOnes = 0x0101010101010101ull;

// The top bit of each byte of w that equals c, no other bit.
inline uint64_t bytes_equal(uint64_t w, uint8_t c) {
  const uint64_t x = w ^ (kOnes * c);
  return ~(((x & kLowBits) + kLowBits) | x | kLowBits);
}

}  // namespace

LogReader::LogReader(ByteStream* stream)
    : stream_(stream), buffered_(dynamic_cast<BufferedReader*>(stream)) {}

// The common case is one pass over the buffer, eight bytes at a time: the
// line lies whole in the buffer and holds no carriage return, so it is split
// and parsed where it lies.
inline bool LogReader::scan_line(const uint8_t* p, size_t available, ScannedLine& out) const {
  const size_t limit = std::min(available, static_cast<size_t>(kMaxLine));
  const uint8_t split = static_cast<uint8_t>(split_at_);
  int cuts = 0;
  size_t i = 0;
  size_t length = limit;
  bool feed = false;
  for (; i + 8 <= limit; i += 8) {
    const uint64_t w = load_word(p + i);
    const uint64_t lf = bytes_equal(w, '\n');
    uint64_t cr = bytes_equal(w, '\r');
    uint64_t sep = split != 0 ? bytes_equal(w, split) : 0;
    if ((lf | cr | sep) == 0) continue;
    if (lf != 0) {
      const uint64_t before = (lf & (0 - lf)) - 1;  // bytes before the line feed
      cr &= before;
      sep &= before;
    }
    if (cr != 0) return false;
    for (; sep != 0 && cuts < kMaxColumns; sep &= sep - 1) {
      out.cuts[cuts++] = static_cast<int>(i) + std::countr_zero(sep) / 8;
    }
    if (lf != 0) {
      length = i + static_cast<size_t>(std::countr_zero(lf) / 8);
      feed = true;
      break;
    }
  }
  if (!feed) {
    for (; i < limit; ++i) {
      const uint8_t c = p[i];
      if (c == '\n') {
        length = i;
        feed = true;
        break;
      }
      if (c == '\r') return false;
      if (c == split && split != 0 && cuts < kMaxColumns) out.cuts[cuts++] = static_cast<int>(i);
    }
  }
  // Without a line feed the line is whole only when it is 199 bytes long;
  // a shorter rest runs on past the buffer's end.
  if (!feed && limit != static_cast<size_t>(kMaxLine)) return false;
  out.length = static_cast<int>(length);
  out.cut_count = cuts;
  out.feed = feed;
  out.cut = !feed;
  return true;
}

inline int LogReader::read_line(const char*& text) {
  if (buffered_ != nullptr) {
    size_t available;
    const uint8_t* p = buffered_->unread(available);
    const ScannedLine* line = &own_line_;
    if (peeked_count_ != 0 && peeked_at_ == buffered_->tell()) {
      // Scanned by peek already. Its record is free for peek again, which
      // comes only after this line is parsed.
      line = &peeked_[peeked_first_];
      peeked_first_ = (peeked_first_ + 1) & (kMaxPeeked - 1);
      --peeked_count_;
      peeked_at_ += line->length + line->feed;
    } else {
      peeked_count_ = 0;
      if (!scan_line(p, available, own_line_)) return copy_line(text);
      own_line_.id_read = false;
    }
    buffered_->skip(static_cast<size_t>(line->length + line->feed));
    line_ = line;
    text = reinterpret_cast<const char*>(p);
    return line->length;
  }
  return copy_line(text);
}

// Byte by byte into copied_: carriage returns dropped, up to a line feed or 199
// bytes consumed (carriage returns count). A run of 199 carriage returns is
// an empty line, not the end of the data.
int LogReader::copy_line(const char*& text) {
  int n = 0;
  int consumed = 0;
  bool done = false;
  auto take = [&](uint8_t c) {
    ++consumed;
    if (c == '\n') {
      done = true;
    } else if (c != '\r') {
      copied_[n++] = static_cast<char>(c);
    }
  };
  if (buffered_ != nullptr) {
    while (!done && consumed < kMaxLine) {
      size_t available;
      const uint8_t* p = buffered_->unread(available);
      if (available == 0) {
        const int c = buffered_->read_byte();  // refills the buffer
        if (c < 0) break;
        take(static_cast<uint8_t>(c));
        continue;
      }
      const uint8_t* end = p + std::min(available, static_cast<size_t>(kMaxLine - consumed));
      const uint8_t* q = p;
      while (q < end && !done) take(*q++);
      buffered_->skip(static_cast<size_t>(q - p));
    }
  } else {
    uint8_t c;
    while (!done && consumed < kMaxLine && stream_->read(&c, 1) == 1) take(c);
  }
  if (consumed == 0) return -1;
  copied_[n] = '\0';
  ScannedLine& line = own_line_;
  line.length = n;
  line.cut_count = 0;
  line.id_read = false;
  line.feed = done;
  line.cut = !done && consumed == kMaxLine;
  for (int i = 0; i < n && line.cut_count < kMaxColumns; ++i) {
    if (copied_[i] == split_at_ && split_at_ != 0) line.cuts[line.cut_count++] = i;
  }
  line_ = &line;
  text = copied_;
  return n;
}

std::unique_ptr<LogReader> LogReader::create(ByteStream* stream, HeaderFault* fault) {
  HeaderFault none;
  HeaderFault& why = fault != nullptr ? *fault : none;
  why = HeaderFault();
  if (stream == nullptr) return nullptr;
  std::unique_ptr<LogReader> reader(new (std::nothrow) LogReader(stream));
  if (!reader) return nullptr;
  if (stream->seek(0, 0) != 0) return nullptr;

  // Header lines, then the first line that is not one: the column header.
  const char* text = nullptr;
  int line = 1;
  int length = reader->read_line(text);
  if (length < 0) {
    why = HeaderFault{"the log is empty", line};
    return nullptr;
  }
  if (length == 0 || text[0] != '#') {
    why = HeaderFault{"the first line is no header line (\"#\")", line};
    return nullptr;
  }
  while (length > 0 && text[0] == '#') {
    // Its rest would be read as a line of its own, most likely as the
    // column header.
    if (reader->line_->cut) {
      why = HeaderFault{"header line longer than 199 bytes", line};
      return nullptr;
    }
    reader->offer_header_line(text, length);
    length = reader->read_line(text);
    ++line;
  }
  if (length < 0) {
    why = HeaderFault{"the log ends before its column-header line", line};
    return nullptr;
  }
  reader->data_start_ = stream->tell();
  if (!reader->parse_columns(text, length)) {
    why = HeaderFault{"no known column name in the column-header line", line};
    return nullptr;
  }
  // A carriage return or line feed never stays inside a line, so it splits
  // nothing.
  const char sep = reader->value_separator_;
  reader->split_at_ = sep != '\r' && sep != '\n' ? sep : 0;
  reader->prepare_timestamps();
  return reader;
}

// What every timestamp needs from the header, worked out once.
void LogReader::prepare_timestamps() {
  const char drops[] = {value_separator_, time_separator_,      ms_separator_,
                        date_separator_,  date_time_separator_, 'T'};
  for (int c = 0; c < 256; ++c) {
    stamp_class_[c] = c >= '0' && c <= '9' ? static_cast<uint8_t>(c - '0') : kNotDigit;
  }
  for (char d : drops) {
    if (d != 0) stamp_class_[static_cast<uint8_t>(d)] = kDropped;
  }
  char digits[18] = "19700101000000000";
  int n = 0;
  for (const char* p = start_text_; *p != '\0' && n < 17; ++p) {
    if (stamp_class_[static_cast<uint8_t>(*p)] != kDropped) digits[n++] = *p;
  }
  template_first_bad_ = 17;
  for (int i = 16; i >= 0; --i) {
    template_digits_[i] = static_cast<unsigned>(static_cast<uint8_t>(digits[i])) - '0';
    if (template_digits_[i] > 9) template_first_bad_ = i;
  }
}

void LogReader::offer_header_line(const char* text, int length) {
  std::string_view line(text, static_cast<size_t>(length));
  size_t colon = line.find(": ");
  std::string_view value;
  if (colon != std::string_view::npos) value = line.substr(colon + 2);
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
    // The whole value: with a space between date and time it is more than
    // one token, and compact timestamps take their hour from it.
    copy_text(value, start_text_, sizeof start_text_);
    // "%4u%2u%2uT%2u%2u%2u"; a value that does not have that shape leaves 0.
    const char* t = start_text_;
    size_t at = 0;
    unsigned y, mo, d, h, mi, s;
    if (scan_unsigned(t, at, 4, y) && scan_unsigned(t, at, 2, mo) && scan_unsigned(t, at, 2, d) &&
        t[at++] == 'T' && scan_unsigned(t, at, 2, h) && scan_unsigned(t, at, 2, mi) &&
        scan_unsigned(t, at, 2, s)) {
      start_time_ = static_cast<double>(
          platform::local_seconds(static_cast<int>(y), static_cast<int>(mo), static_cast<int>(d),
                                  static_cast<int>(h), static_cast<int>(mi), static_cast<int>(s)));
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

bool LogReader::parse_columns(const char* text, int length) {
  static const struct {
    const char* name;
    Column column;
  } kColumns[] = {{"Timestamp", kTimestamp}, {"Lost", kLost}, {"Type", kType}, {"ID", kId},
                  {"Length", kLength},       {"Data", kData}};
  std::string_view line(text, static_cast<size_t>(length));
  bool known = false;
  size_t start = 0;
  for (int slot = 0; slot < kMaxColumns; ++slot) {
    size_t stop = value_separator_ != 0 ? line.find(value_separator_, start) : line.npos;
    std::string_view name = line.substr(start, stop == line.npos ? line.npos : stop - start);
    for (const auto& c : kColumns) {
      if (name == c.name) {
        columns_[slot] = c.column;
        known = true;
        if (c.column != kLost) last_column_ = slot;
        if (c.column == kType) type_slot_ = static_cast<int8_t>(slot);
        if (c.column == kId) id_slot_ = static_cast<int8_t>(slot);
        if (c.column == kTimestamp) stamp_slot_ = static_cast<int8_t>(slot);
      }
    }
    if (stop == line.npos) break;
    start = stop + 1;
  }
  return known;
}

bool LogReader::seek_to_data() {
  peeked_count_ = 0;
  return stream_->seek(data_start_, 0) == data_start_;
}

// A value not seen before: the template is the header's digits at the front
// and the value's at the back, right-aligned, read as
// "%4u%2u%2u%2u%2u%2u%3u". Gives the whole seconds and the milliseconds.
bool LogReader::parse_new_timestamp(const char* value, int length, int64_t& seconds, int64_t& ms) {
  // Only the first 17 digits count, so a value with finer fractions
  // (microseconds) still lands its milliseconds.
  unsigned t[17];
  unsigned digits[17];
  int n = 0;
  int total = 0;
  for (int i = 0; i < length; ++i) {
    const unsigned digit = stamp_class_[static_cast<uint8_t>(value[i])];
    if (digit == kDropped) continue;
    if (digit == kNotDigit) return false;
    if (n < 17) digits[n++] = digit;
    ++total;
  }
  const int lead = 17 - n;
  std::memcpy(t, template_digits_, sizeof t);
  std::memcpy(t + lead, digits, sizeof(unsigned) * static_cast<size_t>(n));
  int64_t field[7];
  if (template_first_bad_ >= lead) {
    field[0] = t[0] * 1000 + t[1] * 100 + t[2] * 10 + t[3];
    field[1] = t[4] * 10 + t[5];
    field[2] = t[6] * 10 + t[7];
    field[3] = t[8] * 10 + t[9];
    field[4] = t[10] * 10 + t[11];
    field[5] = t[12] * 10 + t[13];
    field[6] = t[14] * 100 + t[15] * 10 + t[16];
  } else {
    // A header time that is not all digits where the value does not cover
    // it: reading stops there, the fields from there on are 0.
    std::memset(field, 0, sizeof field);
    for (int at = 0; at < 17 && t[at] <= 9; ++at) {
      field[kFieldOf[at]] = field[kFieldOf[at]] * 10 + t[at];
    }
  }
  // The date changes rarely: its seconds are worked out once per date.
  const int64_t date_key = (field[0] * 100 + field[1]) * 100 + field[2];
  if (date_key != cached_date_key_) {
    cached_date_key_ = date_key;
    cached_date_seconds_ = platform::civil_to_seconds(field[0], field[1], field[2], 0, 0, 0);
  }
  seconds = cached_date_seconds_ + field[3] * 3600 + field[4] * 60 + field[5];
  ms = field[6];

  // Reusable when the last three characters are the milliseconds' digits.
  auto is_digit = [&](int i) { return stamp_class_[static_cast<uint8_t>(value[i])] <= 9; };
  const bool reusable = template_first_bad_ >= lead && total <= 17 && length >= 3 &&
                        length <= kMaxReusedStamp && is_digit(length - 1) && is_digit(length - 2) &&
                        is_digit(length - 3);
  previous_stamp_length_ = -1;
  if (reusable) {
    std::memcpy(previous_stamp_, value, static_cast<size_t>(length));
    previous_stamp_length_ = length;
    previous_seconds_ = seconds;
  }
  return true;
}

bool LogReader::parse_timestamp(const char* value, int length, Frame& frame) {
  int64_t seconds;
  int64_t ms;
  bool reused = false;
  if (length == previous_stamp_length_) {  // at least 3
    const unsigned d0 = static_cast<unsigned>(static_cast<uint8_t>(value[length - 3])) - '0';
    const unsigned d1 = static_cast<unsigned>(static_cast<uint8_t>(value[length - 2])) - '0';
    const unsigned d2 = static_cast<unsigned>(static_cast<uint8_t>(value[length - 1])) - '0';
    if (d0 <= 9 && d1 <= 9 && d2 <= 9 && same_bytes(value, previous_stamp_, length - 3)) {
      seconds = previous_seconds_;
      ms = d0 * 100 + d1 * 10 + d2;
      reused = true;
    }
  }
  if (!reused && !parse_new_timestamp(value, length, seconds, ms)) return false;
  double time = static_cast<double>(seconds) + static_cast<double>(ms) * 0.001 +
                static_cast<double>(rollover_);

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
  return true;
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
  if (length >= 16) {
    // Sixteen digits or more, the usual case: all eight bytes at once, the
    // digit checks folded into one test.
    int bad = 0;
    for (int k = 0; k < 8; ++k) {
      const int hi = hex_value(v[2 * k]);
      const int lo = hex_value(v[2 * k + 1]);
      bad |= hi | lo;
      bytes[k] = static_cast<uint8_t>(static_cast<unsigned>(hi) << 4 | static_cast<unsigned>(lo));
    }
    if (bad >= 0) return 8;
  }
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

[[gnu::always_inline]] inline bool LogReader::parse_line(const char* text, int length,
                                                         Frame& frame) {
  // Value i ends at the i-th separator, the last one at the end of the
  // line.
  const int* cuts = line_->cuts;
  const int cut_count = line_->cut_count;
  bool malformed = false;
  const char* p = text;
  for (int slot = 0; slot <= last_column_; ++slot) {
    const bool last = slot >= cut_count;
    const char* stop = last ? text + length : text + cuts[slot];
    const int n = static_cast<int>(stop - p);
    switch (columns_[slot]) {
      case kTimestamp:
        if (!parse_timestamp(p, n, frame)) {
          malformed = true;
          if (!malformed_reported_) {
            malformed_reported_ = true;
            QLOG(LOG_WARN, "Skipping frame with malformed timestamp: %.*s", n, p);
          }
        }
        break;
      case kType:
        if (n > 0) {
          char c = p[0];
          if (c == '1' || c == '9') frame.extended = 1;
          if (c == '8' || c == '9') frame.type_flag = 1;
        }
        break;
      case kId:
        frame.id = line_->id_read ? line_->id : parse_hex32(p, n);
        break;
      case kLength:
        frame.bits.dlc = parse_u8(p, n);
        break;
      case kData: {
        // The payload keeps its capacity from line to line.
        uint8_t bytes[8];
        const int count = parse_data(p, n, bytes);
        frame.payload.assign(bytes, bytes + count);
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
  return !malformed;
}

bool LogReader::next_frame(Frame& frame) {
  bool dropped = false;
  double remembered = 0;
  bool produced = false;
  for (;;) {
    const char* text;
    const int length = read_line(text);
    if (length < 0) break;
    frame_lines_ += 1;
    frame.reset();
    frame.channel = 1;
    // The roll-over as it was before this line, for an outlier to leave
    // no trace in it.
    line_rollover_ = rollover_;
    line_last_timestamp_ = last_timestamp_;
    // A damaged timestamp says nothing about the time: the frame goes, the
    // roll-over and the times compared against stay as they were.
    if (!parse_line(text, length, frame)) continue;
    frame.kind = kFrameCan;

    if (frame.time < last_accepted_) {
      dropped = true;
      remembered = last_accepted_;
      out_of_order_ += 1;
      continue;
    }
    if (frame.time - last_accepted_ > kJump) [[unlikely]] {
      if (is_outlier(text, frame.time)) {
        rollover_ = line_rollover_;
        last_timestamp_ = line_last_timestamp_;
        continue;
      }
      if (lost_place_) break;
    }
    last_accepted_ = frame.time;
    frames_returned_ += 1;
    produced = true;
    break;
  }
  if (dropped && remembered > 0)
    QLOG(LOG_WARN, "Skipping non-increasing timestamp: %f", remembered);
  return produced;
}

bool LogReader::line_time(const char* text, double& time) {
  Frame frame;  // only its time is set; the payload stays empty
  for (int slot = 0; slot <= last_column_; ++slot) {
    int begin, end;
    if (!line_->value(slot, begin, end)) break;
    if (columns_[slot] == kTimestamp && !parse_timestamp(text + begin, end - begin, frame)) {
      return false;
    }
  }
  time = frame.time;
  return true;
}

bool LogReader::is_outlier(const char* text, double time) {
  // Reading ahead moves the line's bytes: its timestamp is kept for the
  // warning.
  char stamp[kMaxLine];
  int begin = 0, end = 0;
  if (stamp_slot_ >= 0) line_->value(stamp_slot_, begin, end);
  std::memcpy(stamp, text + begin, static_cast<size_t>(end - begin));
  const int64_t here = stream_->tell();
  const uint32_t kept_rollover = rollover_;
  const double kept_last = last_timestamp_;
  // Before the first frame kept nothing tells a roll-over from a damaged
  // value: the lines after it are read as they will be, after it.
  if (frames_returned_ != 0) {
    rollover_ = line_rollover_;
    last_timestamp_ = line_last_timestamp_;
  }
  const double back = std::min(kJump, (time - last_accepted_) / 2);
  int returning = 0, going_on = 0;
  // Lines with a damaged timestamp (pieces of a long line of junk) say
  // nothing; each line is looked at by at most kConfirm frames before it,
  // so reading ahead stays within a few times the log's size.
  while (returning + going_on < kConfirm) {
    const char* ahead;
    if (read_line(ahead) < 0) break;
    double t;
    if (!line_time(ahead, t)) continue;
    if (t < time - back) {
      ++returning;
    } else {
      ++going_on;
    }
  }
  rollover_ = kept_rollover;
  last_timestamp_ = kept_last;
  peeked_count_ = 0;
  // Lost, the place would lose or repeat frames: the log ends here, and
  // fails.
  if (stream_->seek(here, 0) != here) {
    lost_place_ = true;
    return false;
  }
  if (returning <= going_on) return false;
  outliers_ += 1;
  if (!outlier_reported_) {
    outlier_reported_ = true;
    QLOG(LOG_WARN, "Skipping frame with implausible timestamp: %.*s", end - begin, stamp);
  }
  return true;
}

int LogReader::peek(FrameHint* hints, int lead) {
  if (buffered_ == nullptr || id_slot_ < 0) return 0;
  size_t available;
  const uint8_t* data = buffered_->unread(available);
  const int64_t here = buffered_->tell();
  // Lines scanned ahead are read in order; anything else starts afresh.
  if (peeked_count_ == 0 || peeked_at_ != here) {
    peeked_count_ = 0;
    peeked_first_ = 0;
    peeked_at_ = here;
    peeked_end_ = here;
  }
  lead = std::min(lead, kMaxPeeked);
  int count = 0;
  for (; peeked_count_ < lead; ++peeked_count_) {
    const size_t from = static_cast<size_t>(peeked_end_ - here);
    if (from >= available) break;
    ScannedLine& line = peeked_[(peeked_first_ + peeked_count_) & (kMaxPeeked - 1)];
    if (!scan_line(data + from, available - from, line)) break;
    peeked_end_ += line.length + line.feed;
    // The type and identifier values as next_frame reads them; the
    // identifier is kept for it.
    const char* text = reinterpret_cast<const char*>(data + from);
    FrameHint& hint = hints[count++];
    hint = FrameHint();
    hint.kind = kFrameCan;
    hint.channel = 1;
    int begin, end;
    line.id_read = line.value(id_slot_, begin, end);
    if (line.id_read) {
      line.id = parse_hex32(text + begin, end - begin);
      hint.id = line.id;
    }
    if (line.value(type_slot_, begin, end)) {
      hint.extended = end > begin && (text[begin] == '1' || text[begin] == '9');
    }
  }
  return count;
}

}  // namespace quillon
