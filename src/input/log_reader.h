// The text log reader: a header of "#" lines, one column-header line, then
// one frame line per captured frame, values split at the header's value
// separator.
//
//   # Logger ID: 1A2B3C4D
//   # Session No.: 5
//   # Split No.: 1
//   # Time: 20200101T120000
//   # Value separator: ";"
//   # Time format: 3
//   Timestamp;Type;ID;Length;Data
//   120000123;1;18FEF100;8;0102030405060708
//
// Compact timestamps take their missing high digits (date, hour...) from the
// header's "Time:"; when they wrap (the next minute, hour, day, month or
// year, after the time format) the reader adds the period. Frames whose time
// goes backwards are dropped, and so is a frame far ahead of the frames
// around it (a damaged timestamp): see next_frame.
#pragma once

#include <cstdint>
#include <memory>

#include "input/frame.h"
#include "input/stream.h"

namespace quillon {

class BufferedReader;

// Why a log's header could not be read, and at which line (1 for the
// first); what is null when the reason is no fault of the log (memory
// short, the stream failed).
struct HeaderFault {
  const char* what = nullptr;
  int line = 0;
};

class LogReader {
 public:
  // Longest line in bytes; the rest of a longer line reads as the next line.
  static constexpr int kMaxLine = 199;
  static constexpr int kMaxColumns = 7;

  // Reads the header and the column-header line. Null when the stream is
  // missing, the first line is not a "#" line, the data ends within the
  // header, or no column name is known. The stream is not owned; when it is
  // a BufferedReader, bytes are taken straight from its buffer. A header
  // line longer than kMaxLine fails too. fault, when given, tells why.
  static std::unique_ptr<LogReader> create(ByteStream* stream, HeaderFault* fault = nullptr);
  LogReader(const LogReader&) = delete;
  LogReader& operator=(const LogReader&) = delete;

  // Header values. Texts are cut to their field width.
  const char* logger_id() const { return logger_id_; }    // at most 21 characters
  const char* hw_rev() const { return hw_rev_; }          // at most 4
  const char* fw_rev() const { return fw_rev_; }          // at most 4
  const char* start_text() const { return start_text_; }  // at most 19
  int32_t session() const { return session_; }
  int32_t split() const { return split_; }
  uint32_t logger_type() const { return logger_type_; }
  double start_time() const { return start_time_; }  // "Time:" read as local time
  char value_separator() const { return value_separator_; }
  uint8_t time_format() const { return time_format_; }
  int32_t bit_rate() const { return bit_rate_; }
  int32_t silent() const { return silent_; }
  int32_t cyclic() const { return cyclic_; }
  int64_t data_start() const { return data_start_; }

  // Positions the stream on the first frame line; false when it cannot.
  bool seek_to_data();

  // Resets and fills frame from the next frame line whose time does not go
  // backwards and whose timestamp is well formed. False when the data is
  // exhausted.
  //
  // A frame more than kJump seconds ahead of the last frame returned is
  // checked against the frame lines after it, read as if it were not there
  // (so a roll-over it would cause is not taken; the lines after the first
  // frame of a log are read after it, as nothing before it tells a
  // roll-over from a damaged value): of the next kConfirm
  // lines whose timestamp reads, those earlier than the frame by more than
  // kJump (or than half its lead, when that is less) return to the time
  // before it. When they outnumber the others, the frame is an outlier: it
  // is dropped (the first of a file with a warning) and leaves no trace in
  // the roll-over; the frames after it are read as usual. Otherwise it is a
  // real jump and kept, and the frames after it go on from it.
  bool next_frame(Frame& frame);
  static constexpr double kJump = 1.0;
  static constexpr int kConfirm = 5;

  // Hints for the lines after those already hinted, until the lines hinted
  // lie up to `lead` (at most 4) lines past the last one read; returns how
  // many it wrote to hints. The lines are scanned in the buffer, which
  // next_frame then need not do again; nothing is consumed or logged, and a
  // line not yet whole in the buffer gets no hint. A hint is only a guess:
  // the line may give no frame.
  int peek(FrameHint* hints, int lead);

  // Lines read after the column header, and frames returned from them: a log
  // with lines but no frame is a log that could not be read.
  uint64_t frame_lines() const { return frame_lines_; }
  uint64_t frames_returned() const { return frames_returned_; }
  // Frame lines whose timestamp read, and of them those dropped for going
  // backwards and the outliers dropped.
  uint64_t frames_timed() const { return frames_returned_ + out_of_order_ + outliers_; }
  uint64_t out_of_order() const { return out_of_order_; }
  uint64_t outliers() const { return outliers_; }
  // True when the stream could not go back after reading ahead: the frames
  // returned end there, and the log cannot be read whole.
  bool lost_place() const { return lost_place_; }

 private:
  enum Column : uint8_t { kNone, kTimestamp, kLost, kType, kId, kLength, kData };

  explicit LogReader(ByteStream* stream);
  // The next line without its carriage returns and line feed; -1 at the end
  // of the data. text points into the stream's buffer when the line lies
  // there whole and holds no carriage return, else into copied_; either stays
  // valid until the next read.
  int read_line(const char*& text);
  int copy_line(const char*& text);
  void offer_header_line(const char* text, int length);
  bool parse_columns(const char* text, int length);
  void prepare_timestamps();
  // False when the value is malformed: it holds a character that is neither
  // a digit nor a separator that timestamps leave out.
  bool parse_timestamp(const char* value, int length, Frame& frame);
  bool parse_new_timestamp(const char* value, int length, int64_t& seconds, int64_t& ms);
  // Fills the frame from the line's values; false when its timestamp is
  // malformed.
  bool parse_line(const char* text, int length, Frame& frame);
  // The time of the line just read, as next_frame would make it; false
  // when a timestamp is malformed.
  bool line_time(const char* text, double& time);
  // Whether the frame at time of the line just read (text) is an outlier
  // (see next_frame); one is counted and, the first, told of. Reads ahead
  // and comes back.
  bool is_outlier(const char* text, double time);

  ByteStream* stream_;
  BufferedReader* buffered_;  // stream_ when it is buffered, else null
  int64_t data_start_ = 0;
  uint32_t logger_type_ = 0;
  char hw_rev_[5] = {};
  char fw_rev_[5] = {};
  char logger_id_[22] = {};
  int32_t session_ = 0;
  int32_t split_ = 0;
  double start_time_ = 0;
  char start_text_[20] = {};
  char value_separator_ = 0;
  uint8_t time_format_ = 0;
  char time_separator_ = 0;
  char ms_separator_ = 0;
  char date_separator_ = 0;
  char date_time_separator_ = 0;
  int32_t bit_rate_ = 0;
  int32_t silent_ = 0;
  int32_t cyclic_ = 0;
  uint32_t rollover_ = 0;  // seconds added to every timestamp so far
  double last_timestamp_ = 0;
  Column columns_[kMaxColumns] = {};
  double last_accepted_ = 0;
  int last_column_ = -1;  // the last position with a parser
  char split_at_ = 0;     // the value separator, 0 when lines are not split
  uint64_t frame_lines_ = 0;
  uint64_t frames_returned_ = 0;
  uint64_t out_of_order_ = 0;
  uint64_t outliers_ = 0;
  bool malformed_reported_ = false;
  bool outlier_reported_ = false;
  bool lost_place_ = false;
  // The roll-over state before the line being read.
  uint32_t line_rollover_ = 0;
  double line_last_timestamp_ = 0;

  // Derived once from the header, for the timestamps. Per byte: its digit
  // value, kNotDigit, or kDropped for the separators and "T" that
  // timestamps leave out.
  static constexpr uint8_t kNotDigit = 10;
  static constexpr uint8_t kDropped = 255;
  uint8_t stamp_class_[256] = {};
  unsigned template_digits_[17] = {};  // the header's digits over "19700101000000000"
  int template_first_bad_ = 17;        // first position that holds no digit
  int64_t cached_date_key_ = -1;       // year, month and day of the last new timestamp
  int64_t cached_date_seconds_ = 0;

  // Timestamps mostly differ from the one before in their milliseconds only:
  // a value of the previous one's length whose bytes before its last three
  // digits are the same reuses its whole seconds. Length -1: nothing to
  // reuse.
  static constexpr int kMaxReusedStamp = 32;
  char previous_stamp_[kMaxReusedStamp] = {};
  int previous_stamp_length_ = -1;
  int64_t previous_seconds_ = 0;

  // A line found in the buffer: its length without the line feed, whether
  // it ends in one, and its first value separators.
  struct ScannedLine {
    int length = 0;
    int cut_count = 0;
    int cuts[kMaxColumns];
    bool feed = false;
    bool cut = false;      // ended at kMaxLine bytes, not at a line feed
    bool id_read = false;  // by peek: id holds the identifier value
    uint32_t id = 0;

    // Where value slot lies, as next_frame splits the line: value i ends
    // at the i-th separator, the last one at the end of the line. False
    // when the line has no such value.
    bool value(int slot, int& begin, int& end) const {
      if (slot < 0 || slot > cut_count) return false;
      begin = slot == 0 ? 0 : cuts[slot - 1] + 1;
      end = slot < cut_count ? cuts[slot] : length;
      return true;
    }
  };
  // False when the line does not lie whole in the bytes given or holds a
  // carriage return: it is copied then.
  bool scan_line(const uint8_t* p, size_t available, ScannedLine& out) const;
  // Lines peek scanned before read_line reaches them: peeked_count_ of
  // them from peeked_first_, the first at stream position peeked_at_, the
  // next to scan at peeked_end_.
  static constexpr int kMaxPeeked = 4;
  ScannedLine peeked_[kMaxPeeked];
  int peeked_first_ = 0, peeked_count_ = 0;
  int64_t peeked_at_ = 0, peeked_end_ = 0;
  int8_t type_slot_ = -1, id_slot_ = -1;  // -1: the log has no such column
  int8_t stamp_slot_ = -1;                // the last "Timestamp" column

  char copied_[kMaxLine + 1];  // a line that could not be read in place
  // The line read last: its length, separators and identifier as peek
  // read it, in own_line_ unless peek scanned it.
  ScannedLine own_line_;
  const ScannedLine* line_ = &own_line_;
};

}  // namespace quillon
