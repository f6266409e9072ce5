// The converter state: one per run, filled by the command line, read by the
// stages of the run.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "input/conversion_loop.h"
#include "input/folder.h"
#include "output/compressor.h"

namespace quillon {

class OptionTable;
class RunReport;
struct ConverterState;

// Hooks by which a decoding layer joins the generic converter. The defaults
// behave as absent hooks.
class ConverterPlugin {
 public:
  virtual ~ConverterPlugin() = default;
  // Called after the generic options up to "report"; false ends the run (kExitNotStarted).
  virtual bool add_options(ConverterState& converter, OptionTable& table) {
    (void)converter;
    (void)table;
    return true;
  }
  // First step of freeing the converter state.
  virtual void release(ConverterState& converter) { (void)converter; }
};

struct ConverterState {
  std::unique_ptr<ConverterPlugin> plugin;
  uint8_t delete_converted = 0;
  uint8_t no_append_root = 0;
  uint8_t non_interactive = 0;  // no status line even on a terminal
  // A sliding window unless the command line says otherwise; -1 reads each
  // file whole, 0 reads without a buffer.
  int64_t buffer_size = ConversionOptions::kDefaultBuffer;
  // Conversion threads; 0: one per available core.
  uint32_t jobs = 1;
  // --shard=K/N: count 0 when not given (every log).
  uint32_t shard_index = 0;
  uint32_t shard_count = 0;
  std::unique_ptr<LogSelector> selector;
  // --report=FILE: empty when not given. The collector lives in the run.
  std::string report_path;
  RunReport* report = nullptr;
  // --compress: every CSV written through it (none by default).
  Compression compression;
  std::string input_root;                       // ends in "/"
  std::vector<std::string> input_paths;         // relative to input_root once validated
  std::vector<std::string> output_directories;  // none or one
  std::unique_ptr<RootedFolder> input_folder;
  // Set only when an output directory was given; otherwise the output folder
  // is the input folder itself.
  std::unique_ptr<RootedFolder> separate_output_folder;

  RootedFolder* output_folder() const {
    return separate_output_folder ? separate_output_folder.get() : input_folder.get();
  }

  ConverterState() = default;
  ConverterState(const ConverterState&) = delete;
  ConverterState& operator=(const ConverterState&) = delete;
  ~ConverterState() {
    if (plugin) plugin->release(*this);
  }
};

}  // namespace quillon
