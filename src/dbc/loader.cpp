#include "dbc/loader.h"

#include "dbc/dbc_parser.h"
#include "dbc/json_dump.h"
#include "input/stream.h"
#include "support/log.h"

namespace quillon {

std::unique_ptr<MessageDatabase> load_database(const std::string& path) {
  std::unique_ptr<FileStream> file = FileStream::open(path, FileStream::kRead);
  if (!file) {
    QLOG(LOG_ERROR, "Failed to open DBC file: %s", path.c_str());
    return nullptr;
  }
  std::unique_ptr<MessageDatabase> db = parse_dbc(*file);
  file->close();
  if (!db) {
    QLOG(LOG_ERROR, "Failed to load DBC file: %s", path.c_str());
    return nullptr;
  }
  QLOG(LOG_INFO, "Successfully loaded DBC file: %s", path.c_str());
  return db;
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
