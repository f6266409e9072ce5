#include "output/frame_handler.h"

#include <cstring>
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

bool value_valid(const DecodedValue& v) {
  return (v.minimum <= v.value && v.value <= v.maximum) || (v.minimum == 0 && v.maximum == 0);
}

}  // namespace

std::unique_ptr<FrameHandler> FrameHandler::create(const RootedFolder* output_folder,
                                                   const DatabaseChannels* can_channels,
                                                   const DatabaseChannels* lin_channels,
                                                   const FrameHandlerOptions& options) {
  if (!output_folder) return nullptr;
  platform::raise_open_file_limit(kOpenFilesWanted);
  std::unique_ptr<FrameHandler> h(new (std::nothrow) FrameHandler());
  if (!h) return nullptr;
  h->output_folder_ = output_folder;
  h->options_ = options;
  h->root_suffix_ = options.no_append_root ? "" : "_out";
  if (can_channels) {
    for (const auto& [channel, list] : *can_channels) h->can_by_channel_[channel] = &list;
  }
  if (lin_channels) {
    for (const auto& [channel, list] : *lin_channels) h->lin_by_channel_[channel] = &list;
  }
  h->key_bytes_.reserve(256);
  h->path_.reserve(128);
  return h;
}

FrameHandler::~FrameHandler() {
  close_all();
}

void FrameHandler::close_all() {
  for (auto& [key, writer] : writers_) {
    if (!writer->close()) {
      QLOG(LOG_ERROR, "Could not close output writer");
      failed_ = true;
    }
  }
  writers_.clear();
  ++generation_;
}

bool FrameHandler::on_file_start(const FileRecord& file, bool continuation) {
  failed_ = false;
  if (continuation && options_.concat) return true;
  close_all();
  logger_folder_ = logger_folder_name(file.logger_id);
  session_ = file.session;
  split_ = file.split;
  return true;
}

bool FrameHandler::on_file_end(const FileRecord& file) {
  (void)file;
  for (auto& [key, writer] : writers_) {
    if (!writer->flush()) failed_ = true;
  }
  return !failed_;
}

void FrameHandler::set_date(const PathDate& date, int64_t seconds) {
  if (date.year != date_.year || date.month != date_.month || date.day != date_.day) {
    close_all();
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
  const std::vector<std::unique_ptr<MessageDatabase>>* list;
  if (frame.kind == kFrameCan) {
    list = can_by_channel_[frame.channel];
  } else if (frame.kind == kFrameLin) {
    list = lin_by_channel_[frame.channel];
  } else {
    return true;
  }
  if (!list) return true;
  record_ = KeyRecord();
  record_.set_kind(frame.kind);
  record_.set_channel(frame.channel);
  for (const auto& db : *list) decode_with(*db, frame);
  return true;
}

void FrameHandler::decode_with(const MessageDatabase& db, const Frame& frame) {
  record_.clear_addresses();
  uint32_t key;
  switch (db.bus_kind()) {
    case kBusCan:
      key = can_key(frame.id, frame.extended != 0);
      break;
    case kBusJ1939:
      key = j1939_key(frame.id, frame.extended != 0);
      if (frame.extended) {
        record_.set_source(static_cast<uint8_t>(frame.id));
        // PDU1 groups (PDU format below 240) carry a destination address.
        if (((frame.id >> 16) & 0xFF) < 240) {
          record_.set_destination(static_cast<uint8_t>(frame.id >> 8));
        }
      }
      break;
    case kBusLin:
      key = lin_key(frame.id);
      break;
    default:
      return;
  }
  record_.set_database_key(key);
  if (!decode_message(&db, key, frame.payload.data(), frame.payload.size(), decoded_)) return;
  record_.set_name_hash(decoded_.message->name_hash);
  if (decoded_.values.empty()) return;
  // Even a frame whose values are all out of range moves the day.
  check_day(frame.time);

  values_.clear();
  bool any_valid = false;
  for (const DecodedValue& v : decoded_.values) {
    if (v.ignored) continue;
    if (value_valid(v)) {
      values_.push_back(v.value);
      ++signals_;
      any_valid = true;
    } else {
      values_.push_back(std::numeric_limits<double>::quiet_NaN());
    }
  }
  if (!any_valid) return;
  ++messages_;
  CsvWriter* writer = get_writer();
  if (writer && !writer->write_row(frame.time, values_.data(), values_.size())) failed_ = true;
}

CsvWriter* FrameHandler::get_writer() {
  writer_key_bytes(logger_folder_, record_, options_.pgn_src_merge, options_.pgn_dst_merge,
                   decoded_, key_bytes_);
  auto cached = key_cache_.find(std::string_view(key_bytes_));
  if (cached == key_cache_.end()) {
    CachedOutput entry;
    entry.key = writer_key(key_bytes_);
    cached = key_cache_.emplace(key_bytes_, entry).first;
  }
  CachedOutput& c = cached->second;
  if (c.writer && c.generation == generation_) return c.writer;
  auto found = writers_.find(c.key);
  c.writer = found != writers_.end() ? found->second.get() : open_writer(c.key);
  c.generation = generation_;
  return c.writer;
}

CsvWriter* FrameHandler::open_writer(uint64_t key) {
  relative_path(logger_folder_, root_suffix_, record_, options_.pgn_src_merge,
                options_.pgn_dst_merge, decoded_, date_, session_, split_, path_);
  // A path this run already wrote belongs to the key that created it: that
  // key appends to it; any other key takes the first free "-<n>" variant
  // (or the one it took before), so no file of this run is ever replaced.
  std::string candidate = path_;
  bool append = false;
  for (unsigned n = 2;; ++n) {
    auto owner = path_owner_.find(candidate);
    if (owner == path_owner_.end()) break;
    if (owner->second == key) {
      append = true;
      break;
    }
    candidate = path_ + "-" + std::to_string(n);
  }
  if (!append && candidate.size() != path_.size()) {
    QLOG(LOG_WARN, "Output %s.csv is taken by another output; writing to %s.csv", path_.c_str(),
         candidate.c_str());
  }
  size_t slash = candidate.rfind('/');
  output_folder_->make_folders(slash == std::string::npos ? std::string()
                                                          : candidate.substr(0, slash));

  std::vector<std::string_view> columns;
  for (const DecodedValue& v : decoded_.values) {
    if (!v.ignored) columns.push_back(v.name());
  }
  bool header_ok = true;
  std::unique_ptr<CsvWriter> writer =
      CsvWriter::create(output_folder_->full_path(candidate), columns, append, header_ok);
  if (!writer) {
    QLOG(LOG_ERROR, "Could not create output writer");
    failed_ = true;
    return nullptr;
  }
  if (!header_ok) failed_ = true;
  if (!append) {
    path_owner_.emplace(candidate, key);
    ++files_;
  }
  return writers_.emplace(key, std::move(writer)).first->second.get();
}

}  // namespace quillon
