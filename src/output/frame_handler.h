// The frame handler: the last frame sink. Decodes each frame against the
// databases of its bus and channel, range-checks the values and appends a
// row to the message's CSV file. It joins the message table (which message
// and plan, and the output a message kept), the output set (the open
// writers) and the output journal (each log all or nothing), and keeps the
// day and the counters.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dbc/database.h"
#include "dbc/decode.h"
#include "dbc/loader.h"
#include "input/folder.h"
#include "input/sink.h"
#include "output/message_table.h"
#include "output/naming.h"
#include "output/output_identity.h"
#include "output/output_journal.h"
#include "output/output_set.h"
#include "output/shared_outputs.h"

namespace quillon {

struct FrameHandlerOptions {
  bool no_append_root = false;
  bool concat = true;
  bool pgn_src_merge = false;
  bool pgn_dst_merge = true;
  // Off, every frame finds its message in its database and its writer by
  // its output identity, never through the message table: the reference
  // that tests hold the per-frame lookup against.
  bool frame_lookup = true;
  // Shared with the other handlers of the run (not owned; must outlive the
  // handler); null: the handler keeps its own.
  SharedOutputs* shared = nullptr;
  // Open files (CSV files and held folders) the handler keeps at most: past
  // it every writer is closed and opened again, appending, when needed.
  // 0: no bound (one handler alone has the whole limit).
  size_t open_files = 0;
};

class FrameHandler : public FrameSink {
 public:
  // Raises the open-file limit to at least 8192 where the system allows, so
  // that many CSV files can stay open. The folder and maps are not owned and
  // must outlive the handler; the maps must not change afterwards. Null when
  // the output folder is missing or memory is short.
  static std::unique_ptr<FrameHandler> create(const RootedFolder* output_folder,
                                              const ChannelMap* can_channels,
                                              const ChannelMap* lin_channels,
                                              const FrameHandlerOptions& options);
  ~FrameHandler() override;

  // Writes what it can; a frame never stops the conversion (always true).
  // Fetches ahead what the frames it hints will need, and tells whether
  // hints are of use (Frame::hints_wanted).
  bool on_frame(Frame& frame) override;
  // Unless the file continues the previous one while concat is on, takes
  // the logger folder name, session and split. Starts the file's record of
  // what it does to the output tree.
  bool on_file_start(const FileRecord& file, bool continuation) override;
  // Closes every output the file wrote to, each checked to be still the
  // file at its path, and with file.durable synced to the device with the
  // folders that got new entries. False when, since the file started, a CSV
  // file could not be created, a header or a row could not be written, or
  // any of this failed: lost output is never a success. When it failed, or
  // file.failed is set, the file's output is undone: every CSV it appended
  // to is cut back to its length before, every CSV it created is removed
  // and so is every folder it created that is left empty.
  bool on_file_end(const FileRecord& file) override;

  uint64_t files() const { return outputs_.files(); }
  uint64_t messages() const { return messages_; }
  uint64_t signals() const { return signals_; }

  // Closes every open file and empties the writer map; false when one
  // could not be closed or was removed or replaced behind our back. Ends
  // the run's work in the output folder: the journal on disk and the lock
  // of the logger folder go.
  bool close_all();

 private:
  FrameHandler(const RootedFolder* output_folder, SharedOutputs* shared,
               const ChannelMap* can_channels, const ChannelMap* lin_channels,
               const FrameHandlerOptions& options);
  void decode_with(const MessageDatabase& db, const Frame& frame);
  // The frame of an entry whose output stands, straight into its row;
  // false when it has to take the decoded way.
  bool write_whole_row(MessageTable::Entry& entry, const Frame& frame);
  // The frame decoded into decoded_, its row made and written.
  void write_decoded(MessageTable::Entry& entry, const FrameAddress& address, const Frame& frame);
  // The output of decoded_ for a frame of that kind, channel and address,
  // opened when needed.
  OutputHandle output_of(const FrameAddress& address, const Frame& frame);
  // Writes row_'s first size values to output (null writer: lost).
  // With labels, a column whose entry is not null writes that label.
  void write_row(const OutputHandle& output, double time, size_t size,
                 const std::string* const* labels = nullptr);
  // The label of the signal's raw value in this payload, or null.
  static const std::string* value_label(const Signal& signal, const uint8_t* payload);
  void check_day(double time);
  void set_date(const PathDate& date, int64_t seconds);

  FrameHandlerOptions options_;
  std::string root_suffix_;
  // Declared before the pieces that share it.
  std::unique_ptr<SharedOutputs> own_shared_;
  OutputJournal journal_;
  OutputSet outputs_;
  MessageTable table_;

  uint32_t session_ = 0, split_ = 0;
  std::string logger_path_;  // the logger folder (relative) the outputs go to
  PathDate date_;  // 0/0/0 until the first decoded frame
  // Seconds since 1970 of the current day's first and next day's first
  // second, so that most frames skip the calendar conversion.
  int64_t day_begin_ = 0, day_end_ = 0;
  uint64_t messages_ = 0, signals_ = 0;

  // Per-frame scratch, reused so that a frame costs no allocation: the
  // logger's part of the identity is set once per log.
  OutputIdentity identity_;
  DecodedMessage decoded_;
  std::vector<double> row_;
  std::vector<const std::string*> labels_;  // per column of row_, with value labels
  KeyRecord record_;
  std::string path_;
  std::vector<std::string_view> columns_;
};

}  // namespace quillon
