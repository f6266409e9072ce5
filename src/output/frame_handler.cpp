#include "output/frame_handler.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>

#include "platform/platform.h"
#include "support/log.h"
#include "support/prefetch.h"

namespace quillon {

namespace {

constexpr int64_t kOpenFilesWanted = 8192;
// 10000-01-01T00:00:00Z: frames from here on, before 1970, or with a time
// that is not a number have no calendar date; they share the folder
// 0000/00/00 rather than a date the calendar conversion cannot give.
constexpr double kEndOfYear9999 = 253402300800.0;
// Where an earlier run's file waits while the input file that replaces it
// is converted: never the name of an output, which ends in ".csv".
constexpr const char* kAsideSuffix = ".replaced";

}  // namespace

std::unique_ptr<FrameHandler> FrameHandler::create(const RootedFolder* output_folder,
                                                   const ChannelMap* can_channels,
                                                   const ChannelMap* lin_channels,
                                                   const FrameHandlerOptions& options) {
  if (!output_folder) return nullptr;
  platform::raise_open_file_limit(kOpenFilesWanted);
  std::unique_ptr<FrameHandler> h(new (std::nothrow) FrameHandler());
  if (!h) return nullptr;
  h->output_folder_ = output_folder;
  h->options_ = options;
  h->shared_ = options.shared;
  if (!h->shared_) {
    h->own_shared_.reset(new (std::nothrow) SharedOutputs());
    if (!h->own_shared_) return nullptr;
    h->shared_ = h->own_shared_.get();
  }
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
  // Normally nothing is open by now (each file closes its outputs, the run
  // closes the rest and counts a failure); the output folder may be gone,
  // so no path is looked at.
  for (auto& [key, output] : writers_) {
    if (!output.writer->close()) QLOG(LOG_ERROR, "Could not close output writer");
  }
}

namespace {

// "a/b/c" gives "a/b" and "c"; a path without "/" has the folder "".
void split_path(const std::string& path, std::string& folder, std::string& name) {
  size_t slash = path.rfind('/');
  folder = slash == std::string::npos ? std::string() : path.substr(0, slash);
  name = slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

void FrameHandler::report_once(const char* what, const std::string& path, int error) {
  if (!shared_->first_report(what, path)) return;
  QLOG(LOG_ERROR, "%s: %s (%s)", what, path.c_str(), platform::error_text(error).c_str());
}

bool FrameHandler::close_all() {
  bool ok = true;
  for (auto& [key, output] : writers_) {
    if (!finish(output)) ok = false;
  }
  writers_.clear();
  folders_detached_ = false;
  ++generation_;
  if (!ok) failed_ = true;
  return ok;
}

bool FrameHandler::still_at_path(const Output& output) const {
  std::string folder_path, name;
  split_path(output.path, folder_path, name);
  platform::FileId now;
  return output.folder->entry_id(name + ".csv", now) && now == output.id;
}

std::shared_ptr<platform::Folder> FrameHandler::folder_at(const std::string& relative,
                                                          PathFault& fault) {
  auto found = folders_.find(relative);
  if (found != folders_.end()) return found->second;
  // Bounded: each held folder is an open descriptor.
  if (folders_.size() >= 1024) {
    folders_detached_ = !writers_.empty();
    folders_.clear();
  }
  std::vector<std::string> created;
  std::shared_ptr<platform::Folder> folder = output_folder_->open_folder(relative, &created, fault);
  for (const std::string& path : created) shared_->made_folders()[path] = false;
  claim_made_folders(relative);
  if (folder) folders_.emplace(relative, folder);
  return folder;
}

void FrameHandler::claim_made_folders(const std::string& relative) {
  std::map<std::string, bool>& made = shared_->made_folders();
  if (made.empty()) return;
  for (size_t end = relative.find('/');; end = relative.find('/', end + 1)) {
    const std::string prefix = relative.substr(0, end);
    auto found = made.find(prefix);
    if (found != made.end()) {
      made_folders_.insert(prefix);
      // Its entry must reach the device before the log goes: a folder made
      // by another file that has not ended yet is synced here too.
      if (durable_ && !found->second) {
        std::string parent, leaf;
        split_path(prefix, parent, leaf);
        unsynced_folders_.insert(parent);
        entries_synced_.push_back(prefix);
      }
    }
    if (end == std::string::npos) break;
  }
}

void FrameHandler::keep_open_files_bounded() {
  if (options_.open_files == 0) return;
  // A writer holds its file and, when the held folders were let go, its
  // folder; one more output needs a file and a folder.
  const size_t open = writers_.size() * (folders_detached_ ? 2 : 1) + folders_.size();
  if (open + 2 <= options_.open_files) return;
  close_all();
  folders_.clear();
}

bool FrameHandler::finish(Output& output) {
  CsvWriter& w = *output.writer;
  const std::string full = output_folder_->full_path(output.path + ".csv");
  bool ok = true;
  // Rows written into a file that is no longer at its path are lost.
  if (!still_at_path(output)) {
    if (shared_->first_report("gone", full)) {
      QLOG(LOG_ERROR, "Output file was removed or replaced during conversion: %s", full.c_str());
    }
    ok = false;
  }
  if (ok && durable_ && w.file() && !w.sync()) {
    report_once("Could not sync output file", full, w.error());
    ok = false;
  }
  if (!w.close()) {
    report_once("Could not close output writer", full, w.error());
    ok = false;
  }
  return ok;
}

bool FrameHandler::sync_folders() {
  bool ok = true;
  for (const std::string& relative : unsynced_folders_) {
    PathFault fault;
    std::unique_ptr<platform::Folder> folder =
        output_folder_->open_folder(relative, nullptr, fault);
    int error = fault.error;
    if (!folder || !folder->sync(error)) {
      report_once("Could not sync output folder", output_folder_->full_path(relative), error);
      ok = false;
    }
  }
  if (ok) {
    unsynced_folders_.clear();
    std::lock_guard<std::mutex> lock(shared_->tree_mutex());
    for (const std::string& path : entries_synced_) {
      auto found = shared_->made_folders().find(path);
      if (found != shared_->made_folders().end()) found->second = true;
    }
    entries_synced_.clear();
  }
  return ok;
}

void FrameHandler::undo_output(const std::string& path, const Touched& touched) {
  std::string folder_path, name;
  split_path(path, folder_path, name);
  name += ".csv";
  PathFault fault;
  std::unique_ptr<platform::Folder> folder =
      output_folder_->open_folder(folder_path, nullptr, fault);
  int error = fault.error;
  bool done = false;
  if (folder && touched.created) {
    platform::FileId now;
    // Gone already, or another file by now: nothing of ours to remove.
    const bool present = folder->entry_id(name, now);
    const bool ours = present && now == touched.id;
    done = !present || !ours || folder->remove_file(name, error);
    if (done) {
      path_owner_.erase(path);
      --files_;
    }
    // The earlier run's file goes back where it was, unless another file
    // has taken the place meanwhile.
    if (done && touched.replaced) {
      done = (present && !ours) || folder->rename_entry(name + kAsideSuffix, name, error);
    }
  } else if (folder) {
    platform::Outcome outcome;
    std::unique_ptr<platform::File> file(folder->open_file(name, true, outcome));
    platform::FileId now;
    error = outcome.error;
    if (file && file->id(now) && now == touched.id) {
      done = file->truncate(touched.length) && file->close() == 0;
      error = file->error();
    } else if (file) {
      done = true;  // another file by now: not ours to cut
    }
  }
  if (!done) {
    report_once("Could not undo output file", output_folder_->full_path(path + ".csv"), error);
  }
}

void FrameHandler::drop_replaced() {
  for (const auto& [path, touched] : touched_) {
    if (!touched.replaced) continue;
    std::string folder_path, name;
    split_path(path, folder_path, name);
    name += ".csv";
    name += kAsideSuffix;
    PathFault fault;
    std::unique_ptr<platform::Folder> folder =
        output_folder_->open_folder(folder_path, nullptr, fault);
    int error = fault.error;
    // Left behind, it costs space but loses nothing: a warning.
    if (!folder || !folder->remove_file(name, error)) {
      QLOG(LOG_WARN, "Could not remove replaced output file: %s (%s)",
           output_folder_->full_path(folder_path + "/" + name).c_str(),
           platform::error_text(error).c_str());
    }
  }
}

void FrameHandler::undo() {
  // The rows still buffered belong to the failed file: they never reach
  // the disk.
  for (auto& [key, output] : writers_) output.writer->abandon();
  writers_.clear();
  folders_.clear();
  folders_detached_ = false;
  ++generation_;
  for (const auto& [path, touched] : touched_) undo_output(path, touched);
  // Deepest first (a folder sorts before what lies in it); a folder that
  // still holds something stays.
  std::lock_guard<std::mutex> lock(shared_->tree_mutex());
  for (auto it = made_folders_.rbegin(); it != made_folders_.rend(); ++it) {
    std::string parent, name;
    split_path(*it, parent, name);
    PathFault fault;
    std::unique_ptr<platform::Folder> folder = output_folder_->open_folder(parent, nullptr, fault);
    int error = 0;
    if (folder && folder->remove_folder(name, error)) {
      unsynced_folders_.erase(*it);
      shared_->made_folders().erase(*it);
    }
  }
  touched_.clear();
  made_folders_.clear();
  entries_synced_.clear();
}

bool FrameHandler::on_file_start(const FileRecord& file, bool continuation) {
  failed_ = false;
  // Normally empty: every file closes its outputs at its end.
  close_all();
  drop_replaced();
  touched_.clear();
  made_folders_.clear();
  entries_synced_.clear();
  durable_ = file.durable;
  if (continuation && options_.concat) return true;
  folders_.clear();
  logger_folder_ = logger_folder_name(file.logger_id);
  logger_id_ = file.logger_id;
  session_ = file.session;
  split_ = file.split;
  return true;
}

bool FrameHandler::on_file_end(const FileRecord& file) {
  // Closing here, not at the next file's start, keeps every failure with
  // the file that wrote the data; a continuing file opens them again to
  // append.
  bool ok = !failed_;
  if (ok && !file.failed) ok = close_all();
  if (ok && !file.failed && durable_) ok = sync_folders();
  if (!ok || file.failed) {
    undo();
  } else {
    drop_replaced();
  }
  touched_.clear();
  made_folders_.clear();
  entries_synced_.clear();
  durable_ = false;
  return ok;
}

void FrameHandler::set_date(const PathDate& date, int64_t seconds) {
  if (date.year != date_.year || date.month != date_.month || date.day != date_.day) {
    close_all();
    folders_.clear();
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

namespace {

// A frame table's slot for the two words of its key.
size_t frame_slot(const void* db, uint64_t key, size_t mask) {
  uint64_t h = reinterpret_cast<uintptr_t>(db) ^ (key * 0x9E3779B97F4A7C15ull);
  h ^= h >> 31;
  h *= 0xBF58476D1CE4E5B9ull;
  h ^= h >> 29;
  return static_cast<size_t>(h) & mask;
}

// A bound on the table: each entry is an output (or a key without one)
// seen; past it the table starts afresh rather than grow without end.
constexpr size_t kMaxFrameEntries = size_t{1} << 17;
// Entries from which on hints pay: each stands for a plan, a writer and its
// buffer's end, some 800 bytes that a frame would otherwise wait for.
constexpr size_t kHintedEntries = 256;

}  // namespace

uint64_t FrameHandler::table_word(const FrameAddress& address, uint8_t channel, bool lin) const {
  // Key, channel, kind and the address bytes the output name keeps (the
  // presence flags always count).
  return address.key | uint64_t{channel} << 32 | uint64_t{lin} << 40 |
         uint64_t{options_.pgn_src_merge ? uint8_t{0} : address.source} << 41 |
         uint64_t{address.has_source} << 49 |
         uint64_t{options_.pgn_dst_merge ? uint8_t{0} : address.destination} << 50 |
         uint64_t{address.has_destination} << 58;
}

const FrameHandler::FrameEntry* FrameHandler::find_entry(const MessageDatabase* db, uint64_t word,
                                                         size_t& slot) const {
  if (frame_table_.empty()) return nullptr;
  const size_t mask = frame_table_.size() - 1;
  for (size_t i = slot & mask;; i = (i + 1) & mask) {
    const FrameEntry& e = frame_table_[i];
    if (e.db == db && e.key == word) {
      slot = i;
      return &e;
    }
    if (!e.db) return nullptr;
  }
}

bool FrameHandler::expect(const FrameHint& hint) {
  // Two steps, one per hint: first the frame table's slot, then (the slot
  // at hand by the next hint) the message's plan and its writer. The table
  // may have grown or been cleared since the first step and the writers
  // closed: the entry is looked up again, and a writer taken only from a
  // current one.
  for (int i = 0; i < ahead_.count; ++i) {
    Ahead& a = ahead_.databases[i];
    const FrameEntry* e = find_entry(a.db, a.word, a.slot);
    if (!e || !e->message) continue;
    fetch_plan(*e);
    if (e->writer && e->generation == generation_) prefetch_for_read(e->writer);
  }
  ahead_.count = 0;
  if (frame_entries_ < kHintedEntries) return false;
  const std::vector<std::unique_ptr<MessageDatabase>>* list = nullptr;
  if (hint.kind == kFrameCan) list = can_by_channel_[hint.channel];
  if (hint.kind == kFrameLin) list = lin_by_channel_[hint.channel];
  if (!list) return true;
  const size_t mask = frame_table_.size() - 1;
  for (const auto& db : *list) {
    FrameAddress address;
    if (ahead_.count == kAheadDatabases ||
        !frame_address(db->bus_kind(), hint.id, hint.extended != 0, address)) {
      break;
    }
    Ahead& a = ahead_.databases[ahead_.count++];
    a.db = db.get();
    a.word = table_word(address, hint.channel, hint.kind == kFrameLin);
    a.slot = frame_slot(a.db, a.word, mask);
    prefetch_for_read(&frame_table_[a.slot]);
  }
  return true;
}

FrameHandler::FrameEntry& FrameHandler::frame_entry(const MessageDatabase& db, uint64_t word) {
  const uint32_t key = static_cast<uint32_t>(word);
  if (!frame_table_.empty()) {
    size_t slot = frame_slot(&db, word, frame_table_.size() - 1);
    if (find_entry(&db, word, slot)) return frame_table_[slot];
  }
  if (frame_entries_ >= kMaxFrameEntries) {
    frame_table_.clear();
    frame_entries_ = 0;
  }
  // At most half full, so that probes stay short.
  if (2 * (frame_entries_ + 1) > frame_table_.size()) {
    std::vector<FrameEntry> old(std::max<size_t>(1024, 2 * frame_table_.size()));
    old.swap(frame_table_);
    const size_t mask = frame_table_.size() - 1;
    for (const FrameEntry& e : old) {
      if (!e.db) continue;
      size_t i = frame_slot(e.db, e.key, mask);
      while (frame_table_[i].db) i = (i + 1) & mask;
      frame_table_[i] = e;
    }
  }
  const size_t mask = frame_table_.size() - 1;
  size_t i = frame_slot(&db, word, mask);
  while (frame_table_[i].db) i = (i + 1) & mask;
  FrameEntry& e = frame_table_[i];
  ++frame_entries_;
  e = FrameEntry();
  e.db = &db;
  e.key = word;
  const Message* m = db.find_message(key);
  if (m && !m->ignored) {
    e.message = m;
    e.plain = true;
    for (const auto& signal : m->signals) {
      if (!signal->groups.empty()) e.plain = false;
    }
    std::unique_ptr<DecodePlan>& plan = plans_[m];
    if (!plan) plan = DecodePlan::build(*m);
    e.plan = plan.get();
    if (e.plan) {
      const size_t lines = e.plain ? DecodePlan::code_lines(e.plan->top_count()) : e.plan->lines();
      e.plan_lines = static_cast<uint8_t>(std::min<size_t>(16, lines));
    }
  }
  return e;
}

void FrameHandler::fetch_plan(const FrameEntry& e) const {
  if (!e.plan) return;
  const void* start = e.plain ? static_cast<const void*>(e.plan->codes()) : e.plan;
  const char* p = static_cast<const char*>(start);
  for (uint32_t i = 0; i < e.plan_lines; ++i) prefetch_for_read(p + 64 * i);
}

void FrameHandler::decode_with(const MessageDatabase& db, const Frame& frame) {
  FrameAddress address;
  if (!frame_address(db.bus_kind(), frame.id, frame.extended != 0, address)) return;
  FrameEntry* entry = nullptr;
  // The frame's output is the entry's open one; plain_values_ holds its
  // values.
  bool known = false;
  if (options_.frame_lookup) {
    entry = &frame_entry(db, table_word(address, frame.channel, frame.kind == kFrameLin));
    if (!entry->message) return;
    // With thousands of messages their plans and writers are rarely in
    // the cache: asked for together, they come from memory at once rather
    // than one after the other, the end of the writer's buffer while the
    // frame decodes. The writer itself came with the hints, if any.
    fetch_plan(*entry);
    if (entry->writer && entry->generation == generation_) entry->writer->fetch_tail();
    known = entry->row_ready && entry->generation == generation_ &&
            decode_plain(*entry->plan, entry->count, frame.payload.data(), frame.payload.size(),
                         plain_values_.data());
    if (known) {
      // Even a frame whose values are all out of range moves the day. A new
      // day closes the writers: the frame then finds its output the long
      // way (and the day stands).
      check_day(frame.time);
      known = entry->generation == generation_;
    }
  }

  // Out-of-range values stay in the row as NaN.
  const double* row;
  size_t row_size = 0;
  uint64_t valid = 0;
  uint32_t count;
  if (known) {
    // The row is made in place: a value moves only towards the front.
    count = entry->count;
    const DecodePlan::SignalCode* codes = entry->plan->codes();
    double* out = plain_values_.data();
    for (uint32_t k = 0; k < count; ++k) {
      const DecodePlan::SignalCode& c = codes[k];
      if (c.ignored()) continue;
      const double value = out[k];
      const bool in_range = value_in_range(value, c.minimum, c.maximum);
      valid += in_range;
      out[row_size++] = in_range ? value : std::numeric_limits<double>::quiet_NaN();
    }
    row = out;
  } else {
    record_.clear_addresses();
    if (address.has_source) record_.set_source(address.source);
    if (address.has_destination) record_.set_destination(address.destination);
    record_.set_database_key(address.key);
    if (!entry) {
      if (!decode_message(&db, address.key, frame.payload.data(), frame.payload.size(), decoded_)) {
        return;
      }
    } else if (entry->plan) {
      decode_message(*entry->plan, frame.payload.data(), frame.payload.size(), decoded_);
    } else {
      decode_message(*entry->message, frame.payload.data(), frame.payload.size(), decoded_);
    }
    record_.set_name_hash(entry && entry->plan ? entry->plan->name_hash()
                                               : decoded_.message->name_hash);
    if (decoded_.values.empty()) return;
    // Even a frame whose values are all out of range moves the day.
    check_day(frame.time);
    values_.clear();
    for (const DecodedValue& v : decoded_.values) {
      if (v.ignored) continue;
      const bool in_range = value_in_range(v.value, v.minimum, v.maximum);
      valid += in_range;
      values_.push_back(in_range ? v.value : std::numeric_limits<double>::quiet_NaN());
    }
    row = values_.data();
    row_size = values_.size();
    count = static_cast<uint32_t>(decoded_.values.size());
  }
  if (valid == 0) return;
  signals_ += valid;
  ++messages_;
  CsvWriter* writer;
  if (entry && entry->plain && entry->generation == generation_ && entry->count == count) {
    writer = entry->writer;
    writer_key_ = entry->writer_key;
    if (!writer) failed_ = true;  // lost, and told already
  } else {
    writer = get_writer();
    if (entry && entry->plain) {
      entry->writer = writer;
      entry->writer_key = writer_key_;
      entry->generation = generation_;
      entry->count = count;
      // Every signal decoded: the next frames can take the short way.
      entry->row_ready = entry->plan && count == entry->plan->top_count();
      if (entry->row_ready && plain_values_.size() < count) plain_values_.resize(count);
    }
  }
  if (writer && !writer->write_row(frame.time, row, row_size)) {
    failed_ = true;
    auto output = writers_.find(writer_key_);
    if (writer->write_failed() && output != writers_.end()) {
      report_once("Could not write output file",
                  output_folder_->full_path(output->second.path + ".csv"), writer->error());
    }
  }
}

CsvWriter* FrameHandler::get_writer() {
  writer_key_bytes(logger_folder_, record_, options_.pgn_src_merge, options_.pgn_dst_merge,
                   decoded_, logger_id_, key_bytes_);
  auto cached = key_cache_.find(std::string_view(key_bytes_));
  if (cached == key_cache_.end()) {
    CachedOutput entry;
    entry.key = writer_key(key_bytes_);
    cached = key_cache_.emplace(key_bytes_, entry).first;
  }
  CachedOutput& c = cached->second;
  writer_key_ = c.key;
  if (c.writer && c.generation == generation_) return c.writer;
  if (c.failed_generation == generation_) {
    failed_ = true;  // lost, and told already
    return nullptr;
  }
  auto found = writers_.find(c.key);
  c.writer = found != writers_.end() ? found->second.writer.get() : open_writer(c.key);
  c.generation = generation_;
  if (!c.writer) c.failed_generation = generation_;
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
  std::string folder_path, name;
  split_path(candidate, folder_path, name);
  name += ".csv";
  const std::string full = output_folder_->full_path(candidate + ".csv");
  keep_open_files_bounded();

  // Folder by folder, and the file itself, never through a link: a link
  // planted below the output folder must not redirect what is written.
  // Until the file exists its folder may be empty, which another thread's
  // undo must not take away meanwhile.
  std::unique_lock<std::mutex> tree_lock(shared_->tree_mutex());
  PathFault fault;
  std::shared_ptr<platform::Folder> folder = folder_at(folder_path, fault);
  platform::Outcome outcome;
  std::unique_ptr<platform::File> file;
  if (folder) {
    // A file of an earlier run is moved aside and a new one made, not
    // emptied in place (which would cost a wait when it is closed); undo
    // puts it back.
    file.reset(append ? folder->open_file(name, true, outcome)
                      : folder->create_file(name, name + kAsideSuffix, outcome));
    if (!file) fault = PathFault{outcome.kind, outcome.error, full};
  } else if (fault.kind != platform::Outcome::kLink) {
    report_once("Could not create output folder", fault.path, fault.error);
  }
  platform::FileId id;
  int64_t length = 0;
  if (file && (!file->id(id) || (append && (length = file->size()) < 0))) {
    fault = PathFault{platform::Outcome::kFailed, file->error(), full};
    file->abandon();
    file.reset();
    // Not known by its id, so undo could not find it: take it back now.
    int error = 0;
    if (!append) folder->remove_file(name, error);
    if (outcome.kind == platform::Outcome::kReplaced) {
      folder->rename_entry(name + kAsideSuffix, name, error);
    }
  }
  tree_lock.unlock();
  if (!file) {
    if (fault.kind == platform::Outcome::kLink) {
      if (shared_->first_report("link", fault.path)) {
        QLOG(LOG_ERROR, "Output path is a symbolic link: %s", fault.path.c_str());
      }
    } else {
      report_once("Could not create output writer", full, fault.error);
    }
    failed_ = true;
    return nullptr;
  }
  // The first touch of this input file tells what undo has to restore.
  touched_.emplace(candidate,
                   Touched{!append, outcome.kind == platform::Outcome::kReplaced, length, id});
  if (durable_ && !append) unsynced_folders_.insert(folder_path);

  std::vector<std::string_view> columns;
  for (const DecodedValue& v : decoded_.values) {
    if (!v.ignored) columns.push_back(v.name());
  }
  bool header_ok = true;
  std::unique_ptr<CsvWriter> writer =
      CsvWriter::create(std::move(file), columns, append, header_ok, &buffers_);
  if (!writer) {
    report_once("Could not create output writer", full, ENOMEM);
    failed_ = true;
    return nullptr;
  }
  if (!header_ok) {
    report_once("Could not write output file", full, writer->error());
    failed_ = true;
  }
  if (!append) {
    path_owner_.emplace(candidate, key);
    ++files_;
  }
  Output& output = writers_[key];
  output.writer = std::move(writer);
  output.path = candidate;
  output.id = id;
  output.folder = std::move(folder);
  return output.writer.get();
}

}  // namespace quillon
