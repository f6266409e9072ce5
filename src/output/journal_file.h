// The output journal on disk: one file per frame handler in each logger
// folder it writes to (".quillon-journal-<n>"), saying what each log did to
// the outputs before it did it, so that a run killed at any moment can be
// rolled back by the next one. Next to it ".quillon-lock", the lock of the
// process converting into the folder. Neither ends in ".csv", and both go
// when the run ends normally. The format is written down in HACKING.md.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace quillon {

inline constexpr const char* kLockName = ".quillon-lock";
inline constexpr const char* kJournalPrefix = ".quillon-journal-";

// One line of the journal.
struct JournalEntry {
  enum Kind : char {
    kHeader = 'J',   // first line of a file: path holds the format's name
    kBegin = 'B',    // a log starts
    kAppend = 'A',   // the log appends to the file path, length bytes long now
    kCreate = 'C',   // the log creates the file path, absent now
    kReplace = 'R',  // the log moves the file path aside and creates it anew
    kFolder = 'M',   // the log may make the folders along path
    kCommit = 'K',   // the log's outputs stand; path: the input to delete, or ""
    // The log's outputs stand once a later log of the journal commits (it
    // finishes the transfers this one left open); path as kCommit.
    kHeld = 'H',
    kUndone = 'U',  // the log failed and was undone
  };
  Kind kind = kBegin;
  int64_t length = 0;
  platform::FileStamp stamp;  // kCommit with an input: the input as it was read
  // Files (without their extension, which kBegin names) and folders
  // relative to the logger folder; the input absolute.
  std::string path;
};

// Appends entry as one line to out.
void encode_entry(const JournalEntry& entry, std::string& out);
// The entries of a journal's text, up to the first line that is torn or
// damaged (a line cut by a crash is one never relied on).
std::vector<JournalEntry> decode_journal(const std::string& text);

// Deletes the input at full_path (absolute) if it still is the very file
// stamp describes; changed is set when it is not (nothing deleted). False
// (error set) when it could not be removed, or with durable its folder
// not synced.
bool delete_unchanged_input(const std::string& full_path, const platform::FileStamp& stamp,
                            bool durable, bool& changed, int& error);

// A journal being written.
class JournalFile {
 public:
  // Creates (or empties) the journal name in folder; null (error set) when
  // it cannot be.
  static std::unique_ptr<JournalFile> create(platform::Folder& folder, const std::string& name,
                                             int& error);
  // Writes the entry through to the system, and with sync to the device.
  bool append(const JournalEntry& entry, bool sync);
  bool sync() { return file_->sync(); }
  // Empties the journal (the logs in it are done with).
  bool restart();
  int64_t size() const { return size_; }
  int error() const { return file_->error(); }
  int close() { return file_->close(); }

 private:
  explicit JournalFile(std::unique_ptr<platform::File> file) : file_(std::move(file)) {}
  bool write_header();

  std::unique_ptr<platform::File> file_;
  int64_t size_ = 0;
  std::string line_;
};

// The folder at relative below base, never through a link (relative "":
// base opened again); null (error set) when it cannot be opened.
std::unique_ptr<platform::Folder> open_below(platform::Folder& base, const std::string& relative,
                                             int& error);

// What became of the journals an interrupted run left in a logger folder.
struct Recovery {
  bool found = false;  // there was one
  bool ok = true;      // every one was replayed and removed
  std::string path;    // where it failed
  int error = 0;
};

// Replays every journal in the logger folder at full_path (held open as
// folder): a log that did not commit is rolled back (files cut back to their
// length, files it made removed, files it moved aside put back, the empty
// folders it made removed), a committed one finished (its aside files
// removed, its input deleted if it still is the very file that was read).
// A held log counts as committed when a later log of its journal did.
// With durable what changed is synced before the journals are removed.
Recovery recover_journals(const std::string& full_path, platform::Folder& folder, bool durable);

}  // namespace quillon
