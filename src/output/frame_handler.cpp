#include "output/frame_handler.h"

#include <limits>
#include <new>

#include "platform/platform.h"
#include "support/log.h"

namespace quillon {

namespace {

constexpr int64_t kOpenFilesWanted = 8192;
// 10000-01-01T00:00:00Z: frames from here on, before 1970, or with a time
// that is not a number have no calendar date; they share the folder
// 0000/00/00 rather than a date the calendar conversion cannot give.
constexpr double kEndOfYear9999 = 253402300800.0;

// The one step from a decoded value to its place in the row: out of range
// it stays as NaN. True when in range.
inline bool put_in_row(double value, double minimum, double maximum, double& out) {
  const bool in_range = value_in_range(value, minimum, maximum);
  out = in_range ? value : std::numeric_limits<double>::quiet_NaN();
  return in_range;
}

}  // namespace

FrameHandler::FrameHandler(const RootedFolder* output_folder, SharedOutputs* shared,
                           const ChannelMap* can_channels, const ChannelMap* lin_channels,
                           const FrameHandlerOptions& options)
    : options_(options),
      root_suffix_(options.no_append_root ? "" : "_out"),
      journal_(output_folder, shared, output_extension(options.compression.codec)),
      outputs_(output_folder, shared, &journal_, options.open_files, options.compression),
      table_(can_channels, lin_channels, options.pgn_src_merge, options.pgn_dst_merge) {
  identity_.logger_folder.assign(kLoggerFolderSize, '\0');
  path_.reserve(128);
}

std::unique_ptr<FrameHandler> FrameHandler::create(const RootedFolder* output_folder,
                                                   const ChannelMap* can_channels,
                                                   const ChannelMap* lin_channels,
                                                   const FrameHandlerOptions& options) {
  if (!output_folder) return nullptr;
  platform::raise_open_file_limit(kOpenFilesWanted);
  std::unique_ptr<SharedOutputs> own;
  SharedOutputs* shared = options.shared;
  if (!shared) {
    own.reset(new (std::nothrow) SharedOutputs());
    if (!own) return nullptr;
    shared = own.get();
  }
  std::unique_ptr<FrameHandler> h(
      new (std::nothrow) FrameHandler(output_folder, shared, can_channels, lin_channels, options));
  if (!h) return nullptr;
  h->own_shared_ = std::move(own);
  return h;
}

FrameHandler::~FrameHandler() = default;

bool FrameHandler::close_all() {
  bool ok = outputs_.close_all();
  ok = journal_.release() && ok;
  // The run's end: the journal on disk goes, and the lock.
  journal_.leave();
  return ok;
}

bool FrameHandler::on_file_start(const FileRecord& file, bool continuation) {
  outputs_.clear_lost();
  // Normally nothing is open and nothing recorded: every log closes its
  // outputs at its end.
  outputs_.close_all();
  journal_.commit();
  // A log that does not continue the one before finishes none of its
  // transfers: logs held for them stand now (a failure is told, and they
  // stay for the next run to roll back).
  if (!continuation) journal_.release();
  journal_.begin(file.durable);
  const bool keeps_paths = continuation && options_.concat;
  if (!keeps_paths) {
    outputs_.forget_folders();
    outputs_.new_paths();
    identity_.logger_folder = logger_folder_name(file.logger_id);
    identity_.logger_id = file.logger_id;
    session_ = file.session;
    split_ = file.split;
    // The name is kept padded with NULs for the identity's compare.
    logger_path_.assign(identity_.logger_folder.c_str());
    logger_path_ += root_suffix_;
  }
  journal_.set_log(logger_path_, keeps_paths, file.stamped ? &file.input_full_path : nullptr,
                   &file.input_stamp);
  if (keeps_paths && file.durable) outputs_.note_kept();
  return true;
}

bool FrameHandler::on_file_end(const FileRecord& file) {
  // Closing here, not at the next log's start, keeps every failure with
  // the log that wrote the data; a continuing log opens them again to
  // append.
  bool ok = !outputs_.lost();
  if (ok && !file.failed) ok = outputs_.close_all();
  if (ok && !file.failed && journal_.durable()) ok = journal_.sync_folders();
  // Once the outputs are on the device: the record that lets the log go,
  // or holds it for the log that finishes its transfers.
  const bool hold = file.open_transfers && journal_.can_hold();
  if (ok && !file.failed) ok = hold ? journal_.hold() : journal_.seal();
  if (!ok || file.failed) {
    outputs_.abandon_all();
    std::vector<std::string> removed;
    journal_.undo(removed);
    outputs_.forget_created(removed);
    // Converted again, the failed log starts with no transfer open: the
    // logs held for it stand as they are.
    journal_.release();
  } else {
    for (const auto& touched : journal_.touched()) appended_ += touched.second.created ? 0 : 1;
    if (hold) {
      journal_.commit_held();
      file.held = true;
    } else {
      journal_.commit();
    }
  }
  journal_.begin(false);
  return ok;
}

void FrameHandler::set_date(const PathDate& date, int64_t seconds) {
  if (date.year != date_.year || date.month != date_.month || date.day != date_.day) {
    outputs_.close_all();
    outputs_.forget_folders();
    outputs_.new_paths();
    date_ = date;
  }
  if (date.year == 0) {
    day_begin_ = day_end_ = 0;
  } else {
    day_begin_ = seconds - seconds % 86400;
    day_end_ = day_begin_ + 86400;
  }
}

void FrameHandler::check_day(double time) {
  if (!(time >= 0 && time < kEndOfYear9999)) {
    set_date(PathDate{}, 0);
    return;
  }
  int64_t seconds = static_cast<int64_t>(time);
  if (seconds >= day_begin_ && seconds < day_end_) return;
  platform::CivilTime c = platform::utc_civil(seconds);
  set_date(PathDate{c.year, c.month, c.day}, seconds);
}

bool FrameHandler::on_frame(Frame& frame) {
  if (frame.hint_count != 0) {
    frame.hints_wanted = table_.take_hints(frame.hints, frame.hint_count, outputs_);
  }
  const DatabaseList* list = table_.databases(frame.kind, frame.channel);
  if (!list) return true;
  for (const auto& db : *list) decode_with(*db, frame);
  return true;
}

// Inlined: it is the path of almost every frame.
[[gnu::always_inline]] inline bool FrameHandler::write_whole_row(MessageTable::Entry& entry,
                                                                 const Frame& frame) {
  if (!entry.whole_row || !outputs_.current(entry.output)) return false;
  const uint32_t count = entry.count;
  if (row_.size() < count) row_.resize(count);
  double* row = row_.data();
  if (!decode_plain(*entry.plan, count, frame.payload.data(), frame.payload.size(), row)) {
    return false;
  }
  // Even a frame whose values are all out of range moves the day. A new
  // day closes the writers: the frame then finds its output the decoded
  // way (and the day stands).
  check_day(frame.time);
  if (!outputs_.current(entry.output)) return false;
  // The row is made in place: a value moves only towards the front.
  const DecodePlan::SignalCode* codes = entry.plan->codes();
  size_t size = 0;
  uint64_t valid = 0;
  for (uint32_t k = 0; k < count; ++k) {
    const DecodePlan::SignalCode& c = codes[k];
    if (c.ignored()) continue;
    const double value = row[k];
    valid += put_in_row(value, c.minimum, c.maximum, row[size++]);
  }
  if (valid == 0) return true;
  signals_ += valid;
  ++messages_;
  write_row(entry.output, frame.time, size);
  return true;
}

void FrameHandler::decode_with(const MessageDatabase& db, const Frame& frame) {
  FrameAddress address;
  if (!frame_address(db.bus_kind(), frame.id, frame.extended != 0, address)) return;
  const uint64_t word = table_.word(address, frame.channel, frame.kind == kFrameLin);
  if (!options_.frame_lookup) {
    MessageTable::Entry entry = MessageTable::make(db, word);
    if (entry.message) write_decoded(entry, address, frame);
    return;
  }
  MessageTable::Entry& entry = table_.entry(db, word);
  if (!entry.message) return;
  // With thousands of messages their plans and writers are rarely in the
  // cache: asked for together, they come from memory at once rather than
  // one after the other, the end of the writer's buffer while the frame
  // decodes. The writer itself came with the hints, if any.
  MessageTable::fetch_plan(entry);
  if (entry.output.writer && outputs_.current(entry.output)) entry.output.writer->fetch_tail();
  if (!write_whole_row(entry, frame)) write_decoded(entry, address, frame);
}

void FrameHandler::write_decoded(MessageTable::Entry& entry, const FrameAddress& address,
                                 const Frame& frame) {
  decode_message(*entry.plan, frame.payload.data(), frame.payload.size(), decoded_);
  if (decoded_.values.empty()) return;
  // Even a frame whose values are all out of range moves the day.
  check_day(frame.time);
  const uint32_t count = static_cast<uint32_t>(decoded_.values.size());
  if (row_.size() < count) row_.resize(count);
  size_t size = 0;
  uint64_t valid = 0;
  const bool labelled = entry.plan->labelled();
  if (labelled) {
    if (labels_.size() < count) labels_.resize(count);
    for (const DecodedValue& v : decoded_.values) {
      if (v.ignored) continue;
      // A labelled value is valid whatever the range: the codes for an
      // error or a missing value lie outside it by design.
      const std::string* label = value_label(*v.signal, frame.payload.data());
      labels_[size] = label;
      if (label) {
        row_[size++] = v.value;
        ++valid;
      } else {
        valid += put_in_row(v.value, v.minimum, v.maximum, row_[size++]);
      }
    }
  } else {
    for (const DecodedValue& v : decoded_.values) {
      if (v.ignored) continue;
      valid += put_in_row(v.value, v.minimum, v.maximum, row_[size++]);
    }
  }
  if (valid == 0) return;
  signals_ += valid;
  ++messages_;
  if (entry.multiplexed || !outputs_.current(entry.output) || entry.count != count) {
    entry.output = output_of(address, frame);
    entry.count = count;
    // Every signal decoded: the next frames can take the short way.
    // Labels are looked up per value, which the short way does not.
    entry.whole_row = !entry.multiplexed && count == entry.plan->top_count() && !labelled;
  }
  write_row(entry.output, frame.time, size, labelled ? labels_.data() : nullptr);
}

const std::string* FrameHandler::value_label(const Signal& signal, const uint8_t* payload) {
  // Only integers have raw values a table can name; the value decoded, so
  // the payload holds the signal's bits.
  if (!signal.labels || signal.params.value_type == kValueFloat ||
      signal.params.value_type == kValueDouble) {
    return nullptr;
  }
  uint64_t raw = read_raw(signal.layout, signal.params.byte_order, payload);
  if (signal.params.value_type == kValueSigned && ((raw >> (signal.params.bit_length - 1)) & 1)) {
    raw |= signal.layout.sign_extension;
  }
  return signal.labels->find(static_cast<int64_t>(raw));
}

OutputHandle FrameHandler::output_of(const FrameAddress& address, const Frame& frame) {
  identity_.set(frame.kind, frame.channel, address, options_.pgn_src_merge, options_.pgn_dst_merge,
                decoded_);
  OutputHandle handle;
  if (outputs_.find(identity_, handle) != OutputSet::Found::kClosed) return handle;
  // A reopened output takes the path it had: the multiplexer part of a
  // path composed anew would follow the reopening frame's switch values.
  const std::string* kept = outputs_.kept_path(identity_);
  if (!kept) {
    record_ = KeyRecord();
    record_.set_kind(frame.kind);
    record_.set_channel(frame.channel);
    if (address.has_source) record_.set_source(address.source);
    if (address.has_destination) record_.set_destination(address.destination);
    record_.set_database_key(address.key);
    relative_path(identity_.logger_folder, root_suffix_, record_, options_.pgn_src_merge,
                  options_.pgn_dst_merge, decoded_, date_, session_, split_, path_);
    kept = &path_;
  }
  columns_.clear();
  for (const DecodedValue& v : decoded_.values) {
    if (!v.ignored) columns_.push_back(v.name());
  }
  // The kept path is copied before opening can change what it points to.
  const std::string path = *kept;
  outputs_.open(identity_, path, columns_, handle);
  return handle;
}

void FrameHandler::write_row(const OutputHandle& output, double time, size_t size,
                             const std::string* const* labels) {
  if (!output.writer) {
    outputs_.mark_lost();  // lost, and told already
    return;
  }
  const bool ok = labels ? output.writer->write_row(time, row_.data(), labels, size)
                         : output.writer->write_row(time, row_.data(), size);
  if (!ok) outputs_.write_failed(output);
}

}  // namespace quillon
