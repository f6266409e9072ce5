#include "app/run_report.h"

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <new>
#include <string_view>
#include <utility>

#include "app/terminal_progress.h"
#include "build_info.h"
#include "platform/platform.h"
#include "support/json_text.h"
#include "support/log.h"

namespace quillon {

namespace {

// The lines logged about the log converted on this thread go here.
thread_local std::vector<RunReport::LogLine>* t_errors = nullptr;

// "mm-dd hh:mm:ss.mmm pid tid L text\n": the level letter's field and the
// text after it.
bool split_log_line(const char* line, size_t n, char& level, std::string& text) {
  size_t at = 0;
  for (int field = 0; field < 4; ++field) {
    while (at < n && line[at] == ' ') ++at;
    while (at < n && line[at] != ' ') ++at;
  }
  while (at < n && line[at] == ' ') ++at;
  if (at + 2 > n) return false;
  level = line[at];
  at += 2;
  size_t end = n;
  if (end > at && line[end - 1] == '\n') --end;
  text.assign(line + at, end - at);
  return true;
}

std::string iso_time(int64_t seconds) {
  const platform::CivilTime t = platform::utc_civil(seconds);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return text;
}

void key(std::string& out, const char* name) {
  out += '"';
  out += name;
  out += "\":";
}

void number_field(std::string& out, const char* name, uint64_t value) {
  key(out, name);
  append_json_number(out, value);
  out += ',';
}

}  // namespace

class RunReport::Collector final : public LogReport {
 public:
  Collector(RunReport& report, const FrameHandler* handler) : report_(report), handler_(handler) {}
  void log_started(const std::string&) override {
    rows_before_ = handler_ != nullptr ? handler_->messages() : 0;
    outputs_before_ = handler_ != nullptr ? handler_->files() : 0;
    appended_before_ = handler_ != nullptr ? handler_->appended() : 0;
    errors_.clear();
    t_errors = &errors_;
  }
  void log_done(const LogOutcome& outcome) override {
    Entry entry;
    try {
      entry.path = *outcome.input;
    } catch (const std::bad_alloc&) {
      t_errors = nullptr;
      return;
    }
    entry.walk_index = outcome.walk_index;
    entry.result = outcome.result;
    entry.frames_read = outcome.frames_read;
    entry.frames_dropped = outcome.frames_dropped;
    entry.repeated = outcome.repeated;
    entry.skipped = outcome.skipped;
    entry.deleted = outcome.deleted;
    if (t_errors == &errors_) {
      if (handler_ != nullptr) {
        entry.rows_written = handler_->messages() - rows_before_;
        entry.outputs_created = handler_->files() - outputs_before_;
        entry.outputs_appended = handler_->appended() - appended_before_;
        // Frames the handler itself drops would join frames_dropped here,
        // as differences of its counters like the rows.
      }
      entry.errors.swap(errors_);
    }
    t_errors = nullptr;
    report_.add(std::move(entry));
  }

 private:
  RunReport& report_;
  const FrameHandler* handler_;
  uint64_t rows_before_ = 0;
  uint64_t outputs_before_ = 0;
  uint64_t appended_before_ = 0;
  std::vector<LogLine> errors_;
};

RunReport::RunReport(int argc, char** argv, TerminalProgress* terminal) : terminal_(terminal) {
  for (int i = 0; i < argc; ++i) command_line_.emplace_back(argv[i]);
  log_set_line_writer(&RunReport::write_log_line, this);
}

RunReport::~RunReport() {
  if (terminal_ != nullptr) {
    log_set_line_writer(&TerminalProgress::write_log_line, terminal_);
  } else {
    log_set_line_writer(nullptr, nullptr);
  }
}

std::unique_ptr<LogReport> RunReport::make_log_report(const FrameHandler* handler) {
  return std::unique_ptr<LogReport>(new (std::nothrow) Collector(*this, handler));
}

void RunReport::write_log_line(void* context, const char* line, size_t n) {
  auto* self = static_cast<RunReport*>(context);
  if (t_errors != nullptr) {
    LogLine logged;
    try {
      if (split_log_line(line, n, logged.level, logged.text))
        t_errors->push_back(std::move(logged));
    } catch (const std::bad_alloc&) {
      // The line still reaches the terminal; the report lacks it.
    }
  }
  if (self->terminal_ != nullptr) {
    TerminalProgress::write_log_line(self->terminal_, line, n);
  } else {
    platform::stderr_write(line, n);
  }
}

void RunReport::add(Entry&& entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  try {
    entries_.push_back(std::move(entry));
  } catch (const std::bad_alloc&) {
  }
}

namespace {

void string_array(std::string& out, const std::vector<std::string>& items) {
  out += '[';
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += ',';
    append_json_string(out, items[i]);
  }
  out += ']';
}

// An object of counters under name, followed by a comma.
void counters(std::string& out, const char* name,
              std::initializer_list<std::pair<const char*, uint64_t>> fields) {
  key(out, name);
  out += '{';
  bool first = true;
  for (const auto& [field, value] : fields) {
    if (!first) out += ',';
    first = false;
    key(out, field);
    append_json_number(out, value);
  }
  out += "},";
}

// The three summaries' counters.
void summaries(std::string& out, const RunCounters& c) {
  counters(out, "reader",
           {{"files", c.reader_files}, {"messages", c.reader_frames}, {"bytes", c.reader_bytes}});
  counters(
      out, "transport",
      {{"successful", c.tp_successful}, {"failed", c.tp_failed}, {"unfinished", c.tp_unfinished}});
  counters(
      out, "writer",
      {{"files", c.writer_files}, {"messages", c.writer_messages}, {"signals", c.writer_signals}});
}

}  // namespace

void RunReport::log_object(std::string& out, const Entry& e) {
  // Keys in whole pieces: a fleet's report holds thousands of these.
  out += "{\"path\":";
  append_json_string(out, e.path);
  out += ",\"result\":";
  append_json_number(out, static_cast<int64_t>(e.result));
  const std::pair<const char*, uint64_t> numbers[] = {
      {",\"frames_read\":", e.frames_read},
      {",\"frames_dropped\":", e.frames_dropped},
      {",\"rows_written\":", e.rows_written},
      {",\"outputs_created\":", e.outputs_created},
      {",\"outputs_appended\":", e.outputs_appended}};
  for (const auto& [name, value] : numbers) {
    out += name;
    append_json_number(out, value);
  }
  out += e.repeated ? ",\"repeated\":true" : ",\"repeated\":false";
  out += e.skipped ? ",\"skipped\":true" : ",\"skipped\":false";
  out += e.deleted ? ",\"deleted\":true" : ",\"deleted\":false";
  out += ",\"errors\":[";
  for (size_t i = 0; i < e.errors.size(); ++i) {
    out += i > 0 ? ",{\"level\":" : "{\"level\":";
    append_json_string(out, std::string_view(&e.errors[i].level, 1));
    out += ",\"text\":";
    append_json_string(out, e.errors[i].text);
    out += '}';
  }
  out += "]}";
}

std::string RunReport::document(const RunFacts& facts) const {
  std::lock_guard<std::mutex> lock(mutex_);
  // Threads finish logs in any order: the report lists them in the order
  // of the walk (a path given twice is two entries), as the serial run
  // meets them.
  std::vector<const Entry*> entries;
  entries.reserve(entries_.size());
  for (const Entry& e : entries_) entries.push_back(&e);
  std::stable_sort(entries.begin(), entries.end(),
                   [](const Entry* a, const Entry* b) { return a->walk_index < b->walk_index; });
  std::string out;
  out.reserve(1024 + entries.size() * 256);
  out += "{\"program\":\"quillon\",\"version\":\"" QUILLON_VERSION "\",";
  key(out, "command_line");
  string_array(out, command_line_);
  out += ',';
  key(out, "start_time");
  append_json_string(out, iso_time(facts.start_utc));
  out += ',';
  key(out, "end_time");
  append_json_string(out, iso_time(facts.end_utc));
  out += ',';
  if (facts.shard_count == 0) {
    key(out, "shard");
    out += "null,";
  } else {
    counters(out, "shard", {{"index", facts.shard_index}, {"count", facts.shard_count}});
  }
  number_field(out, "threads", facts.threads);
  key(out, "exit_status");
  append_json_number(out, static_cast<int64_t>(facts.exit_status));
  out += ',';
  number_field(out, "interrupt_signal", static_cast<uint64_t>(facts.interrupt_signal));
  summaries(out, facts.counters);
  key(out, "logs");
  out += '[';
  for (size_t i = 0; i < entries.size(); ++i) {
    out += i > 0 ? ",\n" : "\n";
    log_object(out, *entries[i]);
  }
  out += "]}\n";
  return out;
}

bool RunReport::write(const std::string& path, const std::string& document) {
  const size_t slash = path.find_last_of('/');
  const std::string folder_path = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::string temporary = "." + name + ".tmp";
  int error = 0;
  bool ok = false;
  std::unique_ptr<platform::Folder> folder(platform::Folder::open(folder_path, error));
  if (folder && !name.empty()) {
    platform::Outcome outcome;
    std::unique_ptr<platform::File> file(folder->open_file(temporary, false, outcome));
    if (file) {
      ok = file->write(document.data(), document.size()) == document.size() && file->sync();
      ok = file->close() == 0 && ok;
      if (ok) ok = folder->rename_entry(temporary, name, error);
      if (!ok) folder->remove_file(temporary, error);
    }
  }
  if (!ok) QLOG(LOG_ERROR, "Could not write report %s", path.c_str());
  return ok;
}

}  // namespace quillon
