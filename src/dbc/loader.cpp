#include "dbc/loader.h"

#include "dbc/dbc_parser.h"
#include "dbc/json_dump.h"
#include "input/folder.h"
#include "input/stream.h"
#include "platform/platform.h"
#include "support/log.h"
#include "support/pattern.h"
#include "support/text.h"

namespace quillon {

namespace {

// Channel numbers: digits only; anything beyond 32 bits is out of range
// anyway, so saturating gives the same answer as a range error.
uint32_t channel_number(const PatternCapture& c) {
  uint64_t v = 0;
  for (int32_t i = 0; i < c.length; ++i) {
    char d = c.text[i];
    if (d < '0' || d > '9') break;
    v = v * 10 + static_cast<uint64_t>(d - '0');
    if (v > 0xFFFFFFFFull) return 0xFFFFFFFFu;
  }
  return static_cast<uint32_t>(v);
}

std::string capture_text(const PatternCapture& c) {
  return c.text && c.length > 0 ? std::string(c.text, static_cast<size_t>(c.length))
                                : std::string();
}

void load_argument(DecoderPart& part, const std::string& argument) {
  CompiledPattern pattern;
  PatternCapture captures[4] = {};
  if (pattern_compile(pattern, "^dbc-(can|lin)(\\d+)=(.+\\.dbc)$") != 0 ||
      pattern_match(pattern, argument.c_str(), captures) != 0) {
    QLOG(LOG_ERROR, "Invalid argument: %s", argument.c_str());
    return;
  }
  std::string bus = capture_text(captures[1]);
  if (bus != "can" && bus != "lin") {
    QLOG(LOG_ERROR, "Invalid argument: %s", argument.c_str());
    return;
  }
  ChannelMap& channels = bus == "can" ? part.can_channels : part.lin_channels;
  uint32_t channel = channel_number(captures[2]);
  if (channel < 1 || channel > 255) {
    QLOG(LOG_ERROR, "Invalid argument: %s", argument.c_str());
    return;
  }
  std::string path = capture_text(captures[3]);
  std::unique_ptr<FileStream> file = FileStream::open(path, FileStream::kRead);
  if (!file) {
    QLOG(LOG_ERROR, "Failed to open DBC file: %s", path.c_str());
    return;
  }
  std::unique_ptr<MessageDatabase> db = parse_dbc(*file);
  if (!db) {
    QLOG(LOG_ERROR, "Failed to load DBC file: %s", path.c_str());
    file->close();
    return;
  }
  QLOG(LOG_INFO, "Successfully loaded DBC file: %s", path.c_str());
  DatabaseList& list = channels[static_cast<uint8_t>(channel)];
  list.push_back(std::move(db));
  if (part.dbdump) dump_database(*list.back(), path);
  file->close();
}

}  // namespace

void assign_from_working_folder(std::vector<std::string>& arguments) {
  std::string cwd;
  if (!platform::current_folder(cwd)) return;
  std::string root = normalize_input_path(cwd);
  if (root.empty() || root.back() != '/') root += '/';
  std::unique_ptr<RootedFolder> folder = RootedFolder::create(root);
  FolderListing entries;
  if (!folder || !folder->list("", entries)) return;
  for (const auto& [name, st] : entries) {
    if (st.kind != kFile || name.size() < 4) continue;
    if (text_compare_nocase(std::string_view(name).substr(name.size() - 4), ".dbc") != 0) continue;
    size_t dash = name.find('-');
    if (dash == std::string::npos) continue;
    arguments.push_back("dbc-" + name.substr(0, dash) + "=" + root + name);
  }
}

bool load_databases(DecoderPart& part) {
  if (part.dbc_arguments.empty()) assign_from_working_folder(part.dbc_arguments);
  for (const std::string& argument : part.dbc_arguments) load_argument(part, argument);
  if (part.can_channels.empty() && part.lin_channels.empty()) {
    QLOG(LOG_ERROR, "No DBC files found");
    return false;
  }
  return true;
}

void dump_database(const MessageDatabase& db, const std::string& path) {
  size_t slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.size() < 5 || name.compare(name.size() - 4, 4, ".dbc") != 0) {
    QLOG(LOG_ERROR, "Could not dump %s", path.c_str());
    return;
  }
  name.replace(name.size() - 3, 3, "json");
  QLOG(LOG_INFO, "Dumping DB %s to %s", path.c_str(), name.c_str());
  std::string text = database_json(db);
  std::unique_ptr<FileStream> out = FileStream::open(name, FileStream::kWrite);
  if (!out) {
    QLOG(LOG_ERROR, "Could not open %s for output of DBC dump", name.c_str());
    return;
  }
  // A short count is a failed write too: the dump would be cut off.
  if (out->write(text.data(), static_cast<int64_t>(text.size())) !=
      static_cast<int64_t>(text.size())) {
    QLOG(LOG_ERROR, "Could not write DBC dump to %s", name.c_str());
  }
  out->close();
}

}  // namespace quillon
