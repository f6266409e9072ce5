// The output journal: what the log being converted did to the output tree
// (the CSV files it appended to and from which length, the ones it created
// or replaced, the folders of the run on their paths), so that a log is
// all or nothing. A log that fails is undone: its files are cut back or
// removed, the files they replaced put back, the folders left empty
// removed. With durable set the folders that got new entries are synced
// before the log may be deleted. The same record goes to the journal on
// disk in the logger folder (output/journal_file) before what it protects
// is done, so that the next run rolls back a run that was killed.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "input/folder.h"
#include "output/journal_file.h"
#include "output/shared_outputs.h"
#include "platform/platform.h"

namespace quillon {

// Where an earlier run's file waits while the log that replaces it is
// converted: never the name of an output, which ends in ".csv".
inline constexpr const char* kAsideSuffix = ".replaced";

// "a/b/c" gives "a/b" and "c"; a path without "/" has the folder "".
void split_path(const std::string& path, std::string& folder, std::string& name);

class OutputJournal {
 public:
  // An output file the log wrote to, as it was before.
  struct Touched {
    bool created = false;  // made (or replaced) by the log: removed on undo
    // It replaced a file of an earlier run, which waits under the aside
    // name until the log ends: undo puts it back, commit removes it.
    bool replaced = false;
    int64_t length = 0;   // otherwise its length, which undo restores
    platform::FileId id;  // undo touches only this very file
  };

  // Neither is owned; both must outlive the journal. extension: what the
  // output files' paths are followed by.
  OutputJournal(const RootedFolder* root, SharedOutputs* shared, const char* extension = ".csv")
      : root_(root),
        shared_(shared),
        extension_(extension),
        number_(shared->next_journal_number()) {}
  // Leaves the logger folder without a word: the output folder's path may
  // be gone by now.
  ~OutputJournal() { leave(true); }
  OutputJournal(const OutputJournal&) = delete;
  OutputJournal& operator=(const OutputJournal&) = delete;

  // A log starts with an empty journal; durable: its output is synced
  // before it ends.
  void begin(bool durable);
  bool durable() const { return durable_; }
  // The log writes below the logger folder logger (relative to the output
  // folder); keeps_paths: it continues the outputs of the log before it,
  // whose files are deleted by now with durable. input: what a committed
  // log's record names for deletion (null: nothing).
  void set_log(const std::string& logger, bool keeps_paths, const std::string* input,
               const platform::FileStamp* stamp);

  // Before the log changes anything below its logger folder: enters it
  // (locked, an interrupted run's outputs rolled back) and starts the log
  // in the journal on disk. False when it cannot (told, or another process
  // converts into the folder). Call with the shared tree lock held.
  bool prepare();
  // The journal on disk notes that the log appends to path (relative, no
  // ".csv"; length bytes long now), creates it (replaces: an earlier file
  // is there, to be moved aside) or may make the folders along a folder
  // path; with durable it reaches the device first where the log keeps
  // paths (and for every append). False (told) when it could not be
  // written: then nothing may be done.
  bool note_append(const std::string& path, int64_t length, bool sync = true);
  // With durable, the notes written so far reach the device (those of
  // note_append with sync unset).
  bool sync_notes();
  bool note_create(const std::string& path, bool replaces);
  bool note_folder(const std::string& relative);
  bool noted(const std::string& path) const { return touched_.count(path) != 0; }

  // The log opened the file at path (relative, without the extension) in the
  // folder folder_path: only the first touch of a log counts.
  void opened(const std::string& path, const std::string& folder_path, const Touched& touched);
  // Takes note of the folders of the run along relative (made by any log,
  // this one or another): undo removes those left empty. Call with the
  // shared tree lock held.
  void claim_made_folders(const std::string& relative);

  // Syncs the folders that got entries; false (told) when one could not be.
  bool sync_folders();
  // Puts the tree back as it was before the log; removed gets the paths of
  // the files the log created that are gone now. Failures are told, once
  // per path. Leaves the journal empty.
  void undo(std::vector<std::string>& removed);
  // The log's output stands: a record on disk says so (synced with
  // durable, before the log may be deleted); false (told) when it could
  // not be written, and the log is then to be undone.
  bool seal();
  // The log's output stands: the files it replaced go (a warning when one
  // cannot), and the journal is empty.
  void commit();

  // With durable, a log that leaves transfers open for the log that
  // continues it is held rather than sealed: its output stands, but a kill
  // before a later log of the journal stands rolls it back with that log,
  // so that the next run converts both again and finishes the transfers
  // as a run that was never killed does. Held logs' replaced files and
  // inputs go once a later log is sealed, or at release.
  // A log that wrote nothing here has nothing to roll back: it is only
  // deleted later (converted again, it writes nothing either).
  bool can_hold() const { return durable_ && !seal_.path.empty(); }
  // The record that holds the log (synced); false (told) when it could not
  // be written, and the log is then to be undone.
  bool hold();
  // The held log's output stands until released; the journal is empty.
  void commit_held();
  // The held logs stand: nothing will finish their transfers (the series
  // ends, or the log that continues them failed). A record says so, then
  // their inputs are deleted. False (told) when the record could not be
  // written: they stay held, and the next run rolls them back.
  bool release();
  // Done with the logger folder: the journal on disk is removed and the
  // folder left to the other handlers (the run ends, or the next log
  // writes elsewhere).
  void leave(bool quiet = false);

  const std::map<std::string, Touched>& touched() const { return touched_; }

 private:
  enum class Undone {
    kFailed,   // the file could not be put back (error tells why)
    kPutBack,  // cut back to its length, or not the log's own by now
    kGone,     // the log's file is gone (removed, or gone already)
    // Gone, but the earlier run's file it replaced could not be put back
    // (error tells why).
    kGoneAsideLeft,
  };
  Undone undo_file(const std::string& path, const Touched& touched, int& error);
  void remove_made_folders();
  void clear();
  // The folder at relative, through the held output folder once the run
  // entered it (a renamed tree is still found), else by its path.
  std::unique_ptr<platform::Folder> open_folder(const std::string& relative, int& error) const;
  bool note(JournalEntry::Kind kind, const std::string& path, int64_t length, bool sync);
  // The entry written (synced with sync); false (told) when it could not be.
  bool append(const JournalEntry& entry, bool sync);
  std::string journal_path() const;
  bool open_journal();
  bool sync_aside_folders();
  bool remove_aside(const std::string& path);  // false when it could not be
  void finish_held();
  void leave_folder(bool quiet);  // leave with the shared tree lock held

  const RootedFolder* root_;
  SharedOutputs* shared_;
  std::string extension_;
  bool durable_ = false;
  // Files by relative path, and the folders of the run on their paths
  // (whoever made them: undo removes those left empty, deepest first).
  std::map<std::string, Touched> touched_;
  std::set<std::string> made_folders_;
  // Of those, the ones whose entry in their parent the log syncs (with
  // durable): marked as synced in the shared record once that succeeded.
  std::vector<std::string> entries_synced_;
  // Folders (relative) that got entries since the last sync.
  std::set<std::string> unsynced_folders_;

  // On disk.
  unsigned number_;
  std::string logger_;                  // the log's logger folder
  bool keeps_paths_ = false;            // the log continues the previous one's outputs
  bool failed_entry_ = false;           // the log could not enter its folder
  JournalEntry seal_;                   // the log's commit record
  std::string entered_;                 // the logger folder entered, "" when none
  platform::Folder* folder_ = nullptr;  // it, held by the shared outputs
  std::unique_ptr<JournalFile> file_;
  bool logged_ = false;  // the log's "B" record is written
  // With durable: folders of replaced files removed since the journal was
  // last emptied, and the folders of the inputs committed logs deleted
  // (full paths), synced before it is.
  std::set<std::string> aside_folders_;
  std::set<std::string> input_folders_;
  // Held logs: how many have a record in the journal, the files they
  // replaced (relative, without the extension) and the inputs they name.
  unsigned held_ = 0;
  std::vector<std::string> held_asides_;
  std::vector<JournalEntry> held_inputs_;
};

}  // namespace quillon
