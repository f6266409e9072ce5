// The walk over the input paths, listed once before any log is read: the
// same listing gives the progress totals and the order in which the
// conversion loop reaches every log and every entry it must tell of.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "input/folder.h"

namespace quillon {

// One step of the walk, in walk order.
struct WalkEntry {
  enum class Kind : uint8_t {
    kLog,          // a ".txt" file (any case): input, output stem, size
    kDangling,     // a symbolic link to nothing, skipped with a warning
    kStatFailed,   // could not be looked at: error holds the system's code
    kListFailed,   // a folder that could not be listed
    kNotFound,     // an input path that does not exist
    kInvalid,      // an input path that is neither file nor folder
    kQueryFailed,  // an input path that could not be queried: ends the walk
    kGivenTwice,   // an input path given again (after normalisation)
  };
  Kind kind = Kind::kLog;
  // An interrupt that came before this entry ends the walk here; entries
  // met inside a folder's walk before its listed entries (its unlisted
  // ones) are not checked, as the folder was checked before its walk.
  bool checked = false;
  int error = 0;
  // Of an entry listed in a folder: the index of the first entry of that
  // folder's walk, where the walk would list the folder if it listed it
  // only on reaching it; -1 for an input path.
  int64_t folder_reached = -1;
  int64_t size = 0;    // of a log, as listed
  std::string input;   // relative to the input folder
  std::string output;  // of a log: its output path without the extension
};

struct InputListing {
  std::vector<WalkEntry> entries;
  // The logs listed and the sum of their sizes: what the walk will reach
  // unless it is interrupted.
  uint64_t log_files = 0;
  uint64_t log_bytes = 0;
};

// Lists every input path in order, folders in ascending byte order of the
// names (entries that could not be looked at first). Nothing is opened but
// folders and nothing is logged: the walk tells of the entries when it
// reaches them. no_append_root: folder inputs keep their name in the
// output path (else "logs" becomes "logs_out"). Stops at an interrupt, and
// after an input path that could not be queried. An input path given
// again is listed once, the repeat as kGivenTwice. False when memory is
// short.
bool list_inputs(const RootedFolder& folder, const std::vector<std::string>& input_paths,
                 bool no_append_root, InputListing& listing);

// True for the name of a log file: the extension "txt" in any case.
bool is_log_name(const std::string& path);

}  // namespace quillon
