#include "output/journal_file.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <set>

#include "output/output_journal.h"

namespace quillon {

namespace {

constexpr const char* kFormat = "quillon output journal 1";

uint32_t fnv1a(const char* data, size_t n) {
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < n; ++i) {
    h ^= static_cast<unsigned char>(data[i]);
    h *= 16777619u;
  }
  return h;
}

// Reads a decimal (optionally negative) followed by one space.
bool read_number(const std::string& text, size_t& at, int64_t& out) {
  bool negative = at < text.size() && text[at] == '-';
  if (negative) ++at;
  const size_t start = at;
  uint64_t value = 0;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 20) {
    value = value * 10 + static_cast<uint64_t>(text[at++] - '0');
  }
  if (at == start || at >= text.size() || text[at] != ' ') return false;
  ++at;
  out = negative ? -static_cast<int64_t>(value) : static_cast<int64_t>(value);
  return true;
}

bool known_kind(char c) {
  return c == 'J' || c == 'B' || c == 'A' || c == 'C' || c == 'R' || c == 'M' || c == 'K' ||
         c == 'H' || c == 'U';
}

// One line from at; false when it is torn or damaged.
bool decode_line(const std::string& text, size_t& at, JournalEntry& entry) {
  const size_t start = at;
  if (at + 2 > text.size() || !known_kind(text[at]) || text[at + 1] != ' ') return false;
  entry.kind = static_cast<JournalEntry::Kind>(text[at]);
  at += 2;
  int64_t n[6];
  for (int64_t& v : n) {
    if (!read_number(text, at, v)) return false;
  }
  entry.length = n[0];
  entry.stamp.id = platform::FileId{static_cast<uint64_t>(n[1]), static_cast<uint64_t>(n[2])};
  entry.stamp.size = n[3];
  entry.stamp.modified_ns = n[4];
  const int64_t path_size = n[5];
  if (path_size < 0 || static_cast<uint64_t>(path_size) + 10 > text.size() - at) return false;
  entry.path = text.substr(at, static_cast<size_t>(path_size));
  at += static_cast<size_t>(path_size);
  const size_t end = at;
  if (text[at] != ' ' || text[at + 9] != '\n') return false;
  uint32_t crc = 0;
  for (size_t k = at + 1; k < at + 9; ++k) {
    const char c = text[k];
    const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (digit < 0) return false;
    crc = crc << 4 | static_cast<uint32_t>(digit);
  }
  at += 10;
  return crc == fnv1a(text.data() + start, end - start);
}

}  // namespace

void encode_entry(const JournalEntry& e, std::string& out) {
  const size_t start = out.size();
  char numbers[160];
  std::snprintf(numbers, sizeof numbers,
                "%c %" PRId64 " %" PRIu64 " %" PRIu64 " %" PRId64 " %" PRId64 " %zu ",
                static_cast<char>(e.kind), e.length, e.stamp.id.volume, e.stamp.id.index,
                e.stamp.size, e.stamp.modified_ns, e.path.size());
  out += numbers;
  out += e.path;
  char crc[16];
  std::snprintf(crc, sizeof crc, " %08x\n", fnv1a(out.data() + start, out.size() - start));
  out += crc;
}

std::vector<JournalEntry> decode_journal(const std::string& text) {
  std::vector<JournalEntry> entries;
  size_t at = 0;
  JournalEntry entry;
  while (at < text.size() && decode_line(text, at, entry)) entries.push_back(entry);
  return entries;
}

std::unique_ptr<JournalFile> JournalFile::create(platform::Folder& folder, const std::string& name,
                                                 int& error) {
  platform::Outcome outcome;
  std::unique_ptr<platform::File> file(folder.open_file(name, false, outcome));
  if (!file) {
    error = outcome.error;
    return nullptr;
  }
  std::unique_ptr<JournalFile> journal(new JournalFile(std::move(file)));
  if (!journal->write_header()) {
    error = journal->error();
    return nullptr;
  }
  return journal;
}

bool JournalFile::write_header() {
  JournalEntry header;
  header.kind = JournalEntry::kHeader;
  header.path = kFormat;
  return append(header, false);
}

bool JournalFile::append(const JournalEntry& entry, bool sync) {
  line_.clear();
  encode_entry(entry, line_);
  // Through to the system at once: a process killed after this call keeps
  // the line in the page cache.
  if (file_->write(line_.data(), line_.size()) != line_.size() || !file_->flush()) return false;
  size_ += static_cast<int64_t>(line_.size());
  return !sync || file_->sync();
}

bool JournalFile::restart() {
  if (!file_->truncate(0)) return false;
  size_ = 0;
  return write_header();
}

namespace {

// The folder at relative below base, never through a link; relative ""
// is base itself (holder stays empty). Null when it cannot be opened.
platform::Folder* reach(platform::Folder& base, const std::string& relative,
                        std::unique_ptr<platform::Folder>& holder, int& error) {
  platform::Folder* at = &base;
  size_t i = 0;
  while (i < relative.size()) {
    size_t slash = relative.find('/', i);
    if (slash == std::string::npos) slash = relative.size();
    if (slash > i) {
      platform::Outcome outcome;
      std::unique_ptr<platform::Folder> next(
          at->open_folder(relative.substr(i, slash - i), false, outcome));
      if (!next) {
        error = outcome.error;
        return nullptr;
      }
      holder = std::move(next);
      at = holder.get();
    }
    i = slash + 1;
  }
  return at;
}

}  // namespace

std::unique_ptr<platform::Folder> open_below(platform::Folder& base, const std::string& relative,
                                             int& error) {
  std::unique_ptr<platform::Folder> holder;
  platform::Folder* at = reach(base, relative, holder, error);
  if (at && !holder) {
    platform::Outcome outcome;
    holder.reset(base.open_folder(".", false, outcome));
    if (!holder) error = outcome.error;
  }
  return holder;
}

namespace {

bool gone(int error) {
  return error == ENOENT || error == ENOTDIR;
}

// The replay of one logger folder's journals.
class Replay {
 public:
  Replay(platform::Folder& folder, bool durable) : folder_(folder), durable_(durable) {}

  void log(const std::vector<JournalEntry>& entries, size_t begin, size_t end) {
    // The log's first line names its files' extension (none: plain CSV).
    const std::string& named = entries[begin].path;
    if (named.empty() || named == ".csv" || named == ".csv.zst" || named == ".csv.gz") {
      extension_ = named.empty() ? ".csv" : named;
    } else {
      fail(named, EINVAL);
      return;
    }
    bool committed = false, undone = false, held = false;
    for (size_t i = begin; i < end; ++i) {
      committed |= entries[i].kind == JournalEntry::kCommit;
      undone |= entries[i].kind == JournalEntry::kUndone;
      held |= entries[i].kind == JournalEntry::kHeld;
    }
    if (undone) return;  // undone by the run itself
    // Logs come newest first: a held log stands if one after it does.
    later_committed_ |= committed;
    if (committed || (held && later_committed_)) {
      for (size_t i = begin; i < end; ++i) finish(entries[i]);
      return;
    }
    for (size_t i = end; i-- > begin;) roll_back(entries[i]);
  }

  // A journal is one handler's logs: only its own later logs commit the
  // held ones.
  void new_journal() { later_committed_ = false; }

  // The empty folders the rolled back logs made, deepest first, then with
  // durable every folder whose entries changed.
  void finish_folders() {
    for (auto it = made_.rbegin(); it != made_.rend(); ++it) {
      std::string path = *it;
      while (!path.empty()) {
        std::string parent, name;
        split_path(path, parent, name);
        std::unique_ptr<platform::Folder> holder;
        int error = 0;
        platform::Folder* at = reach(folder_, parent, holder, error);
        // A folder never made is passed; one that holds something stays,
        // and so do the folders above it.
        if (at && at->remove_folder(name, error)) {
          changed_.insert(parent);
        } else if (!gone(error)) {
          break;
        }
        path = parent;
      }
    }
    if (!durable_) return;
    for (const std::string& path : changed_) {
      std::unique_ptr<platform::Folder> holder;
      int error = 0;
      platform::Folder* at = reach(folder_, path, holder, error);
      if (at && at->sync(error)) continue;
      if (!gone(error)) fail(path, error);
    }
  }

  bool ok() const { return ok_; }
  const std::string& failed_path() const { return failed_path_; }
  int error() const { return error_; }

 private:
  void fail(const std::string& path, int error) {
    if (!ok_) return;
    ok_ = false;
    failed_path_ = path;
    error_ = error != 0 ? error : EIO;
  }

  void roll_back(const JournalEntry& e) {
    if (e.kind == JournalEntry::kFolder) {
      made_.insert(e.path);
      return;
    }
    if (e.kind != JournalEntry::kAppend && e.kind != JournalEntry::kCreate &&
        e.kind != JournalEntry::kReplace) {
      return;
    }
    std::string parent, name;
    split_path(e.path, parent, name);
    name += extension_;
    std::unique_ptr<platform::Folder> holder;
    int error = 0;
    platform::Folder* at = reach(folder_, parent, holder, error);
    if (!at) {
      // Nothing of the log's can be there.
      if (!gone(error)) fail(parent, error);
      return;
    }
    platform::FileId id;
    if (e.kind == JournalEntry::kAppend) {
      cut_back(*at, e.path, name, e.length);
    } else if (e.kind == JournalEntry::kCreate) {
      if (at->entry_id(name, id) && !at->remove_file(name, error) && !gone(error)) {
        fail(e.path, error);
      }
    } else if (at->entry_id(name + kAsideSuffix, id)) {
      // Moved aside: the earlier file goes back over the log's.
      if (!at->rename_entry(name + kAsideSuffix, name, error)) fail(e.path, error);
    }
    // Otherwise the earlier file was never moved: it is there as it was.
    changed_.insert(parent);
  }

  void cut_back(platform::Folder& at, const std::string& path, const std::string& name,
                int64_t length) {
    platform::FileId id;
    if (!at.entry_id(name, id)) return;
    platform::Outcome outcome;
    std::unique_ptr<platform::File> file(at.open_file(name, true, outcome));
    if (!file) {
      fail(path, outcome.error);
      return;
    }
    const int64_t size = file->size();
    if (size > length && !file->truncate(length)) fail(path, file->error());
    if (size > length && durable_ && !file->sync()) fail(path, file->error());
    if (file->close() != 0) fail(path, file->error());
  }

  void finish(const JournalEntry& e) {
    if (e.kind == JournalEntry::kReplace) {
      std::string parent, name;
      split_path(e.path, parent, name);
      std::unique_ptr<platform::Folder> holder;
      int error = 0;
      platform::Folder* at = reach(folder_, parent, holder, error);
      if (at && at->remove_file(name + extension_ + kAsideSuffix, error)) changed_.insert(parent);
    } else if ((e.kind == JournalEntry::kCommit || e.kind == JournalEntry::kHeld) &&
               !e.path.empty()) {
      // Another file at its path is never deleted.
      bool changed = false;
      int error = 0;
      if (!delete_unchanged_input(e.path, e.stamp, durable_, changed, error)) fail(e.path, error);
    }
  }

  platform::Folder& folder_;
  bool durable_;
  std::set<std::string> made_;
  std::string extension_ = ".csv";  // of the log being replayed
  bool later_committed_ = false;    // a log after the one replayed committed
  std::set<std::string> changed_;
  bool ok_ = true;
  std::string failed_path_;
  int error_ = 0;
};

}  // namespace

bool delete_unchanged_input(const std::string& full_path, const platform::FileStamp& stamp,
                            bool durable, bool& changed, int& error) {
  platform::FileStamp now;
  changed = !platform::file_stamp(full_path, now) || !(now == stamp);
  if (changed) return true;
  std::string parent, name;
  split_path(full_path, parent, name);
  std::unique_ptr<platform::Folder> input(platform::Folder::open(parent + "/", error));
  return input && input->remove_file(name, error) && (!durable || input->sync(error));
}

namespace {

bool read_file(const std::string& path, std::string& out) {
  std::unique_ptr<platform::File> file(platform::File::open(path, platform::File::kRead));
  if (!file) return false;
  char buffer[65536];
  size_t n;
  while ((n = file->read(buffer, sizeof buffer)) > 0) out.append(buffer, n);
  return !file->read_error();
}

}  // namespace

Recovery recover_journals(const std::string& full_path, platform::Folder& folder, bool durable) {
  Recovery result;
  std::vector<std::string> names;
  if (!platform::list_folder(full_path, names)) {
    result.ok = false;
    result.path = full_path;
    result.error = EIO;
    return result;
  }
  std::vector<std::string> journals;
  for (const std::string& name : names) {
    if (name.compare(0, std::char_traits<char>::length(kJournalPrefix), kJournalPrefix) == 0) {
      journals.push_back(name);
    }
  }
  if (journals.empty()) return result;
  result.found = true;
  std::sort(journals.begin(), journals.end());
  Replay replay(folder, durable);
  for (const std::string& name : journals) {
    std::string text;
    if (!read_file(full_path + "/" + name, text)) {
      result.ok = false;
      result.path = full_path + "/" + name;
      result.error = EIO;
      return result;
    }
    const std::vector<JournalEntry> entries = decode_journal(text);
    replay.new_journal();
    // Each log from its "B" line to the next one; the newest first.
    std::vector<size_t> starts;
    for (size_t i = 0; i < entries.size(); ++i) {
      if (entries[i].kind == JournalEntry::kBegin) starts.push_back(i);
    }
    for (size_t k = starts.size(); k-- > 0;) {
      replay.log(entries, starts[k], k + 1 < starts.size() ? starts[k + 1] : entries.size());
    }
  }
  replay.finish_folders();
  if (!replay.ok()) {
    result.ok = false;
    result.path = full_path + "/" + replay.failed_path();
    result.error = replay.error();
    return result;
  }
  // Only once everything is back may the journals go.
  for (const std::string& name : journals) {
    int error = 0;
    if (!folder.remove_file(name, error) && !gone(error)) {
      result.ok = false;
      result.path = full_path + "/" + name;
      result.error = error;
    }
  }
  int error = 0;
  if (result.ok && durable && !folder.sync(error)) {
    result.ok = false;
    result.path = full_path;
    result.error = error;
  }
  return result;
}

}  // namespace quillon
