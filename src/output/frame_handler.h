// The frame handler: the last frame sink. Decodes each frame against the
// databases of its bus and channel, range-checks the values and appends a
// row to the message's CSV file. Owns every open CSV writer.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "dbc/database.h"
#include "dbc/decode.h"
#include "dbc/j1939.h"
#include "dbc/loader.h"
#include "input/folder.h"
#include "input/sink.h"
#include "output/buffer_pool.h"
#include "output/csv_writer.h"
#include "output/naming.h"
#include "output/shared_outputs.h"
#include "platform/platform.h"

namespace quillon {

struct FrameHandlerOptions {
  bool no_append_root = false;
  bool concat = true;
  bool pgn_src_merge = false;
  bool pgn_dst_merge = true;
  // Off, every decoded frame finds its writer the long way (the output's
  // bytes, their digest, the writer map): the reference that tests hold
  // the per-frame lookup against.
  bool frame_lookup = true;
  // Shared with the other handlers of the run (not owned; must outlive the
  // handler); null: the handler keeps its own.
  SharedOutputs* shared = nullptr;
  // Open files (CSV files and held folders) the handler keeps at most: past
  // it every writer is closed and opened again, appending, when needed.
  // 0: no bound (one handler alone has the whole limit).
  size_t open_files = 0;
};

// The database key and, on J1939, the addresses of a frame's id; false for
// a bus kind that is not decoded.
struct FrameAddress {
  uint32_t key = 0;
  uint8_t source = 0, destination = 0;
  bool has_source = false, has_destination = false;
};
inline bool frame_address(int32_t bus_kind, uint32_t id, bool extended, FrameAddress& out) {
  out = FrameAddress();
  switch (bus_kind) {
    case kBusCan:
      out.key = can_key(id, extended);
      return true;
    case kBusJ1939:
      out.key = j1939_key(id, extended);
      if (extended) {
        out.source = static_cast<uint8_t>(id);
        out.has_source = true;
        if (j1939_has_destination(j1939_pdu_format(id))) {
          out.destination = static_cast<uint8_t>(id >> 8);
          out.has_destination = true;
        }
      }
      return true;
    case kBusLin:
      out.key = lin_key(id);
      return true;
    default:
      return false;
  }
}

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
  bool on_frame(Frame& frame) override;
  // Fetches ahead what the hinted frame will need, over the next hints.
  // Hints are of use once the frames have met more messages than the
  // cache holds comfortably.
  bool expect(const FrameHint& hint) override;
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

  uint64_t files() const { return files_; }
  uint64_t messages() const { return messages_; }
  uint64_t signals() const { return signals_; }

  // Closes every open file and empties the writer map; false when one
  // could not be closed or was removed or replaced behind our back.
  bool close_all();

 private:
  // An open output.
  struct Output {
    std::unique_ptr<CsvWriter> writer;
    std::string path;  // relative to the output folder, without ".csv"
    platform::FileId id;
    std::shared_ptr<platform::Folder> folder;  // where it was opened
  };
  // An output file the current input file wrote to, as it was before.
  struct Touched {
    bool created = false;  // made (or replaced) by it: removed on undo
    // It replaced a file of an earlier run, which waits under the aside
    // name until the input file ends: undo puts it back, success removes it.
    bool replaced = false;
    int64_t length = 0;   // otherwise its length, which undo restores
    platform::FileId id;  // undo touches only this very file
  };

  FrameHandler() = default;
  void decode_with(const MessageDatabase& db, const Frame& frame);
  CsvWriter* get_writer();
  CsvWriter* open_writer(uint64_t key);
  bool finish(Output& output);
  bool still_at_path(const Output& output) const;
  // The folder at relative, made when missing, from the cache or opened.
  std::shared_ptr<platform::Folder> folder_at(const std::string& relative, PathFault& fault);
  bool sync_folders();
  void undo();
  void undo_output(const std::string& path, const Touched& touched);
  // Takes note of the folders this run made along relative (tree lock held).
  void claim_made_folders(const std::string& relative);
  // Closes every writer and lets go of the held folders when one more
  // output would pass the bound on open files.
  void keep_open_files_bounded();
  // Removes the earlier run's files that the current input file replaced:
  // its output stands.
  void drop_replaced();
  struct FrameEntry;
  // The frame table's key of a frame's address on a channel and bus: the
  // addresses as the output name keeps them.
  uint64_t table_word(const FrameAddress& address, uint8_t channel, bool lin) const;
  // The entry of (database, table word), made on first use.
  FrameEntry& frame_entry(const MessageDatabase& db, uint64_t word);
  // Fetches ahead what decoding the entry's frame reads of its plan: the
  // signals' records alone without multiplexers, the whole plan otherwise.
  void fetch_plan(const FrameEntry& e) const;
  // The entry of (db, word) if there is one, looked for from slot on; slot
  // is set to where it was found.
  const FrameEntry* find_entry(const MessageDatabase* db, uint64_t word, size_t& slot) const;
  // Logs "<what>: <path> (<reason>)" the first time in the run for this what
  // and path.
  void report_once(const char* what, const std::string& path, int error);
  void check_day(double time);
  void set_date(const PathDate& date, int64_t seconds);

  const RootedFolder* output_folder_ = nullptr;
  // Indexed by channel number; built once from the channel maps.
  const std::vector<std::unique_ptr<MessageDatabase>>* can_by_channel_[256] = {};
  const std::vector<std::unique_ptr<MessageDatabase>>* lin_by_channel_[256] = {};
  std::string logger_folder_ = std::string(kLoggerFolderSize, '\0');
  std::string logger_id_;  // the full text: part of the writer key
  uint32_t session_ = 0, split_ = 0;
  PathDate date_;  // 0/0/0 until the first decoded frame
  // Seconds since 1970 of the current day's first and next day's first
  // second, so that most frames skip the calendar conversion.
  int64_t day_begin_ = 0, day_end_ = 0;
  FrameHandlerOptions options_;
  std::string root_suffix_;

  // Declared before the writers, which give their buffers back to it.
  BufferPool buffers_;
  std::unordered_map<uint64_t, Output> writers_;
  uint64_t files_ = 0, messages_ = 0, signals_ = 0;
  bool failed_ = false;   // output lost since the current input file started
  bool durable_ = false;  // the current input file's output is synced at its end

  // What the current input file did to the output tree, so that a failure
  // can put it back: files by relative path, and the folders this run made
  // that lie on its outputs' paths (whoever made them: undo removes those
  // left empty, deepest first).
  std::map<std::string, Touched> touched_;
  std::set<std::string> made_folders_;
  // Of those, the ones whose entry in their parent the current input file
  // syncs (with durable): marked as synced once that succeeded.
  std::vector<std::string> entries_synced_;
  // Folders (relative) that got entries since the last sync.
  std::set<std::string> unsynced_folders_;
  // Folders of the outputs by relative path, held while the outputs stay
  // the same (the splits of one session, one day) so that opening an output
  // again at the next split costs one open, not one per folder. A held
  // folder is never a link: one planted later is not followed.
  std::unordered_map<std::string, std::shared_ptr<platform::Folder>> folders_;
  // The held folders were let go while writers kept theirs open: until the
  // writers close, each may hold one folder more.
  bool folders_detached_ = false;
  std::unique_ptr<SharedOutputs> own_shared_;
  SharedOutputs* shared_ = nullptr;

  // Per-frame scratch, reused so that a frame costs no allocation.
  KeyRecord record_;
  DecodedMessage decoded_;
  std::vector<double> values_;
  std::vector<double> plain_values_;  // decode_plain's values
  std::string key_bytes_;
  uint64_t writer_key_ = 0;  // of the output get_writer last looked up
  std::string path_;

  // The digest is costly; the exact bytes it covers map to the writer key,
  // and to its open writer while no close-all has happened since.
  struct CachedOutput {
    uint64_t key = 0;
    CsvWriter* writer = nullptr;
    uint64_t generation = 0;  // writer is valid while this equals generation_
    // Opening failed in this generation: its frames are lost without a try.
    uint64_t failed_generation = 0;
  };
  struct BytesHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
  };
  std::unordered_map<std::string, CachedOutput, BytesHash, std::equal_to<>> key_cache_;
  uint64_t generation_ = 1;  // advanced whenever the writers are closed
  // One flat table per frame: (database, key, channel, kind, addresses)
  // to the message and, for a message without multiplexers, the writer its
  // output had when last looked up. That writer stands while generation_
  // is unchanged (every close of the writers advances it) and the frame
  // decoded as many values (a message without multiplexers decodes a
  // prefix of its signals, so the count tells the output's signal set).
  // A hit needs no bytes built, no digest and no writer map.
  struct FrameEntry {
    const MessageDatabase* db = nullptr;  // null marks a free slot
    uint64_t key = 0;
    const Message* message = nullptr;  // null: nothing to decode
    const DecodePlan* plan = nullptr;  // null: decoded through the signal tree
    bool plain = false;                // no multiplexer: the writer is kept
    uint8_t plan_lines = 0;            // of the plan, to fetch ahead (at most 16)
    // The writer was found for a frame that decoded every signal: while it
    // stands, a frame that decodes all count of them is written through it
    // without a DecodedMessage (decode_plain).
    bool row_ready = false;
    uint32_t count = 0;       // values decoded when the writer was found
    uint64_t generation = 0;  // writer (null: open failed) valid while current
    CsvWriter* writer = nullptr;
    uint64_t writer_key = 0;
  };
  std::vector<FrameEntry> frame_table_;  // open addressing, size a power of two
  size_t frame_entries_ = 0;
  // The hinted frame whose slots were fetched and whose plans and writers
  // the next hint fetches (expect): per database of its channel, the table
  // word and slot.
  static constexpr int kAheadDatabases = 4;
  struct Ahead {
    const MessageDatabase* db = nullptr;
    uint64_t word = 0;
    size_t slot = 0;
  };
  struct AheadFrame {
    Ahead databases[kAheadDatabases];
    int count = 0;
  } ahead_;
  // The decode plans of the messages met so far; grows with messages, not
  // with frames.
  std::unordered_map<const Message*, std::unique_ptr<DecodePlan>> plans_;
  // Output path (relative, no ".csv") to the writer key that created it,
  // over the whole run: the handlers of a parallel run are given tasks whose
  // paths never meet. Grows with output files, not with frames.
  std::unordered_map<std::string, uint64_t> path_owner_;
};

}  // namespace quillon
