// The output set: each output identity to its open CSV writer, within a
// bound on open files, with the folders of the outputs held open and the
// paths this run created. Every file it opens or creates goes into the
// output journal first.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "input/folder.h"
#include "output/buffer_pool.h"
#include "output/csv_writer.h"
#include "output/output_identity.h"
#include "output/output_journal.h"
#include "output/shared_outputs.h"
#include "platform/platform.h"

namespace quillon {

// An open output's writer, valid while the set's generation is the one it
// was given in (every close of the writers advances it). A null writer in
// a current handle: opening failed in this generation, and was told.
struct OutputHandle {
  CsvWriter* writer = nullptr;
  uint32_t slot = 0;
  uint64_t generation = 0;  // 0: none
};

class OutputSet {
 public:
  // None of them is owned; all must outlive the set. open_files: see
  // FrameHandlerOptions.
  OutputSet(const RootedFolder* root, SharedOutputs* shared, OutputJournal* journal,
            size_t open_files);
  ~OutputSet();
  OutputSet(const OutputSet&) = delete;
  OutputSet& operator=(const OutputSet&) = delete;

  uint64_t generation() const { return generation_; }
  bool current(const OutputHandle& handle) const { return handle.generation == generation_; }

  enum class Found { kOpen, kFailed, kClosed };
  // The identity's writer in this generation: open (handle set), failed
  // to open, or to be opened.
  Found find(const OutputIdentity& identity, OutputHandle& handle) const;
  // The path the identity's output was opened at since paths last changed
  // (new_paths), or null: a reopened output keeps its file.
  const std::string* kept_path(const OutputIdentity& identity) const;
  // Opens the identity's output at path (relative, without ".csv"), taking
  // the first free "-<n>" variant when another output of the run has the
  // path, with its header of columns. False when it could not (told, and
  // the set's output is lost); handle is current either way.
  bool open(const OutputIdentity& identity, const std::string& path,
            const std::vector<std::string_view>& columns, OutputHandle& handle);

  // Tells a row that could not be written to the handle's output.
  void write_failed(const OutputHandle& handle);
  // Closes every writer (a new generation), each checked to be still the
  // file at its path and synced with the journal's durable set; false
  // when one could not be.
  bool close_all();
  // Drops every writer unwritten (a new generation) and lets go of the
  // folders: the log is being undone.
  void abandon_all();
  // Lets go of the held folders (the outputs' paths change).
  void forget_folders();
  // Paths are composed afresh from here on: a new day, logger, session or
  // split.
  void new_paths() { ++path_epoch_; }
  // The journal removed these files the run had created.
  void forget_created(const std::vector<std::string>& paths);

  // Output was lost since clear_lost: a file not created, a header or row
  // not written, a file not closed.
  bool lost() const { return lost_; }
  void mark_lost() { lost_ = true; }
  void clear_lost() { lost_ = false; }
  uint64_t files() const { return files_; }

 private:
  // An open output.
  struct Output {
    std::unique_ptr<CsvWriter> writer;
    std::string path;  // relative to the output folder, without ".csv"
    platform::FileId id;
    std::shared_ptr<platform::Folder> folder;  // where it was opened
  };
  // What became of an identity's output over the run.
  struct Record {
    uint32_t number = 0;  // tells the identity in path_owner_
    uint32_t slot = 0;
    uint64_t slot_generation = 0;    // slot is its open output while current
    uint64_t failed_generation = 0;  // opening failed in this generation
    std::string path;                // where it was opened last
    uint64_t path_epoch = 0;         // path holds while path_epoch_ is unchanged
  };

  // The path that identity number takes for path: path itself or a free
  // "-<n>" variant; append when it is that number's own file already.
  std::string claim_path(uint32_t number, const std::string& path, bool& append);
  // Opens (creating or appending) the file at candidate; null when it could
  // not be (told).
  std::unique_ptr<platform::File> open_file(const std::string& candidate, bool append,
                                            std::shared_ptr<platform::Folder>& folder,
                                            platform::FileId& id);
  // The file name in folder opened to append or created, the journal on
  // disk noting it first; null when it could not be (outcome set, or told
  // already when told is set).
  std::unique_ptr<platform::File> open_noted(platform::Folder& folder, const std::string& candidate,
                                             const std::string& name, bool append,
                                             platform::Outcome& outcome, int64_t& length,
                                             bool& told);
  bool finish(Output& output);
  bool still_at_path(const Output& output) const;
  // The folder at relative, made when missing (the journal on disk noting
  // it first), from the held ones or opened; a fault with no path: told.
  std::shared_ptr<platform::Folder> folder_at(const std::string& relative, PathFault& fault);
  // Closes every writer and lets go of the held folders when one more
  // output would pass the bound on open files.
  void keep_open_files_bounded();

  const RootedFolder* root_;
  SharedOutputs* shared_;
  OutputJournal* journal_;
  size_t open_files_;
  // Declared before the writers, which give their buffers back to it.
  BufferPool buffers_;
  std::vector<Output> slots_;  // the open outputs of this generation
  uint64_t generation_ = 1;
  std::unordered_map<OutputIdentity, Record, OutputIdentityHash> records_;
  // Output path (relative, no ".csv") to the number of the identity that
  // created it, over the whole run: the sets of a parallel run are given
  // tasks whose paths never meet. Grows with output files, not frames.
  std::unordered_map<std::string, uint32_t> path_owner_;
  uint64_t path_epoch_ = 1;
  // Folders of the outputs by relative path, held while the outputs stay
  // the same (the splits of one session, one day) so that opening an output
  // again at the next split costs one open, not one per folder. A held
  // folder is never a link: one planted later is not followed.
  std::unordered_map<std::string, std::shared_ptr<platform::Folder>> folders_;
  // The held folders were let go while writers kept theirs open: until the
  // writers close, each may hold one folder more.
  bool folders_detached_ = false;
  bool lost_ = false;
  uint64_t files_ = 0;
};

}  // namespace quillon
