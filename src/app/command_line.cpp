#include "app/command_line.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <set>
#include <string>

#include "app/exit_status.h"
#include "app/options.h"
#include "app/shard_selector.h"
#include "app/version.h"
#include "input/folder.h"
#include "support/log.h"
#include "support/shard.h"

namespace quillon {

namespace {

const char kProgram[] = "quillon";
constexpr int kMaxErrors = 20;

// Log threshold for each accepted verbosity value.
constexpr int32_t kThresholdForVerbosity[] = {LOG_NONE, LOG_FATAL, LOG_ERROR,
                                              LOG_WARN, LOG_INFO,  LOG_INFO};
constexpr uint32_t kMaxVerbosity = 5;

void write_stdout(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
}

// Normalises every value of the entry and appends it to the list. The user
// code 1 means the list could not grow.
PathOption::Check collect_paths(std::vector<std::string>& into) {
  return [&into](const PathOption& entry) -> int {
    try {
      for (int i = 0; i < entry.count(); ++i) into.push_back(normalize_input_path(entry.value(i)));
    } catch (const std::bad_alloc&) {
      return 1;
    }
    return 0;
  };
}

void report_collect_error(std::string& out, const OptionEntry&, int, const char*, const char*) {
  out += "internal error, could not allocate memory\n";
}

// Every input must lie directly in one folder, the input root; the inputs
// become relative to it.
bool find_input_root(ConverterState& converter, int& status) {
  std::set<std::string> roots;
  for (const std::string& path : converter.input_paths) {
    const size_t length = path.size();
    // A folder given with its trailing "/" has the same parent as without.
    size_t start = length > 1 && path[length - 1] == '/' ? length - 2 : length - 1;
    size_t slash = 0;
    // Index 0 is never a separator here: "/name" has no parent to share.
    for (size_t i = length == 0 ? 0 : start; i >= 1; --i) {
      if (path[i] == '/') {
        slash = i;
        break;
      }
    }
    if (slash == 0) {
      QLOG(LOG_FATAL, "Could not find root for %.*s", static_cast<int>(length), path.data());
      status = kExitNoCommonRoot;
      return false;
    }
    roots.insert(path.substr(0, std::min(length, slash + 1)));
  }
  if (roots.empty()) {
    status = kExitNoCommonRoot;
    return false;
  }
  if (roots.size() > 1) {
    QLOG(LOG_FATAL, "No common root detected for all inputs");
    status = kExitNoCommonRoot;
    return false;
  }
  converter.input_root = *roots.begin();
  for (std::string& path : converter.input_paths) {
    path.erase(0, std::min(path.size(), converter.input_root.size()));
  }
  return true;
}

// The entries read after the parse.
struct Entries {
  FlagOption* help;
  FlagOption* version;
  IntegerOption* verbosity;
  FlagOption* non_interactive;
  FlagOption* delete_converted;
  FlagOption* no_append_root;
  IntegerOption* buffer;
  IntegerOption* jobs;
  PathOption* shard;
  PathOption* report;
  PathOption* compress;
  const OptionEnd* end;
};

// The generic options up to "buffer", the plug-in's, then the output
// directory and the inputs. False ends the run.
bool build_table(ConverterState& converter, int argc, OptionTable& table, Entries& entries,
                 int& status) {
  auto help = make_flag_option(nullptr, "help", "display this help and exit");
  auto version = make_flag_option("v", "version", "display tool version and exit");
  auto verbosity = make_integer_option(nullptr, "verbosity", "<n>",
                                       "verbosity level (0 to 4, 0=disable, 4=verbose, default=2)");
  auto non_interactive =
      make_flag_option(nullptr, "non-interactive", "does not print any progress output");
  auto delete_converted =
      make_flag_option("d", "delete-converted", "deletes files after conversion if specified");
  auto no_append_root =
      make_flag_option("X", "no-append-root", "do not add \"_out\" when converting folders");
  auto buffer = make_integer_option(
      "b", "buffer", "<n>",
      "buffer size in bytes (default 1048576). 0 disables and -1 takes entire file");
  auto jobs = make_integer_option("j", "jobs", "<n>",
                                  "conversion threads (default 1). 0 takes one per available core");
  auto shard = make_path_option(nullptr, "shard", "<k/n>", 0, 1,
                                "converts only the loggers of shard k of n (0 <= k < n)", nullptr,
                                report_collect_error);
  auto report = make_path_option(nullptr, "report", "<file>", 0, 1,
                                 "writes what happened to each log as JSON to the file", nullptr,
                                 report_collect_error);
  auto compress =
      make_path_option(nullptr, "compress", "<zstd|gzip|none>[:level]", 0, 1,
                       "writes the CSV files compressed, as .csv.zst or .csv.gz (default none; "
                       "default levels zstd 3, gzip 6)",
                       nullptr, report_collect_error);
  // "--c" and "--co" stay --concat's, as they were before this option came.
  compress->set_shortest_abbreviation(3);
  auto output_directory =
      make_path_option("O", "output-directory", "<file>", 0, 1, "path to output files",
                       collect_paths(converter.output_directories), report_collect_error);
  // Documents the positional inputs in the glossary; the option itself
  // takes no value and changes nothing.
  auto input_files = make_flag_option("i", "input-files=<file(s)/folder(s)>",
                                      "paths to input files/folders (must have common root)");
  // Every word may be an input, so this entry never overflows.
  auto inputs =
      make_path_option(nullptr, nullptr, "file(s)/folder(s)", 1, std::max(argc - 1, 1), nullptr,
                       collect_paths(converter.input_paths), report_collect_error);
  auto end = make_option_end(kMaxErrors);

  entries.help = table.append(std::move(help));
  entries.version = table.append(std::move(version));
  entries.verbosity = table.append(std::move(verbosity));
  entries.non_interactive = table.append(std::move(non_interactive));
  entries.delete_converted = table.append(std::move(delete_converted));
  entries.no_append_root = table.append(std::move(no_append_root));
  entries.buffer = table.append(std::move(buffer));
  entries.jobs = table.append(std::move(jobs));
  entries.shard = table.append(std::move(shard));
  entries.report = table.append(std::move(report));
  entries.compress = table.append(std::move(compress));
  if (converter.plugin && !converter.plugin->add_options(converter, table)) return false;
  table.append(std::move(output_directory));
  table.append(std::move(input_files));
  table.append(std::move(inputs));
  entries.end = table.append(std::move(end));
  if (!table.complete()) {
    status = kExitNotStarted;
    return false;
  }
  return true;
}

// Help, the version and refused options end the run after the parse, each
// with its own status. True when the run ends.
bool ends_after_parse(OptionTable& table, const Entries& entries, int argc, int& status) {
  if (entries.help->count() > 0 || argc == 1) {
    write_stdout(std::string("Usage: ") + kProgram);
    table.print_syntax(stdout, "\n\n");
    table.print_glossary(stdout, "  %-40s %s\n");
    std::fflush(stdout);
    return true;
  }
  if (entries.version->count() > 0) {
    write_stdout(version_block());
    std::fflush(stdout);
    status = 0;
    return true;
  }
  if (entries.end->errors().empty()) return false;
  switch (entries.end->errors().front().code) {
    case kEndUnexpected:  // also an integer value that is not a number
      status = kExitInvalidValue;
      break;
    case kEndMissingValue:
      status = kExitMissingValue;
      break;
    default:
      table.print_errors(stdout, kProgram);
      std::fflush(stdout);
      status = kExitOptionErrors;
      break;
  }
  return true;
}

// False for a verbosity out of range.
bool set_verbosity(const IntegerOption& verbosity, int& status) {
  int32_t threshold = LOG_ERROR;
  if (verbosity.count() > 0) {
    // Compared unsigned, so negative values are refused too.
    uint32_t value = static_cast<uint32_t>(verbosity.value());
    if (value > kMaxVerbosity) {
      status = kExitInvalidValue;
      return false;
    }
    threshold = kThresholdForVerbosity[value];
  }
  log_set_threshold(threshold);
  return true;
}

// False for a negative number of threads.
bool set_jobs(ConverterState& converter, const IntegerOption& jobs, int& status) {
  if (jobs.count() == 0) return true;
  if (jobs.value() < 0) {
    status = kExitInvalidValue;
    return false;
  }
  converter.jobs = static_cast<uint32_t>(jobs.value());
  return true;
}

// False for a shard that is not "K/N" with 0 <= K < N.
bool set_shard(ConverterState& converter, const PathOption& shard, int& status) {
  if (shard.count() == 0) return true;
  uint32_t index = 0;
  uint32_t count = 0;
  if (!parse_shard(shard.value(0), index, count)) {
    status = kExitInvalidValue;
    return false;
  }
  converter.selector.reset(new (std::nothrow) ShardSelector(index, count));
  if (!converter.selector) {
    status = kExitNotStarted;
    return false;
  }
  converter.shard_index = index;
  converter.shard_count = count;
  return true;
}

// False for a value that is not a codec and level.
bool set_compression(ConverterState& converter, const PathOption& compress, int& status) {
  if (compress.count() == 0 || parse_compression(compress.value(0), converter.compression)) {
    return true;
  }
  status = kExitInvalidValue;
  return false;
}

// False (told, once the log is set up) for a codec this build lacks.
bool compression_built(const ConverterState& converter, int& status) {
  if (codec_built(converter.compression.codec)) return true;
  QLOG(LOG_FATAL, "This build cannot write zstd: use --compress=gzip");
  status = kExitInvalidValue;
  return false;
}

void store_choices(ConverterState& converter, const Entries& entries) {
  converter.delete_converted = entries.delete_converted->count() == 1 ? 1 : 0;
  converter.no_append_root = entries.no_append_root->count() == 1 ? 1 : 0;
  converter.non_interactive = entries.non_interactive->count() == 1 ? 1 : 0;
  if (entries.report->count() == 1) converter.report_path = entries.report->value(0);
  converter.buffer_size =
      entries.buffer->count() == 1 ? entries.buffer->value() : ConversionOptions::kDefaultBuffer;
}

// The input root and the input and output folders.
bool open_folders(ConverterState& converter, int& status) {
  if (!find_input_root(converter, status)) return false;
  converter.input_folder = RootedFolder::create(converter.input_root);
  if (!converter.input_folder) {
    // A mistyped folder or an unexpanded wildcard ends here; say which folder.
    QLOG(LOG_ERROR, "Invalid input path: %s", converter.input_root.c_str());
    return false;
  }
  if (converter.output_directories.size() == 1) {
    const std::string& directory = converter.output_directories.front();
    converter.separate_output_folder = RootedFolder::create(directory);
    if (!converter.separate_output_folder) {
      QLOG(LOG_ERROR, "Invalid output path: %s", directory.c_str());
      return false;
    }
  }
  return true;
}

}  // namespace

bool run_command_line(ConverterState& converter, int argc, char** argv, int& status) {
  // The table (and the values its entries point at) lives through the parse.
  OptionTable table;
  Entries entries;
  if (!build_table(converter, argc, table, entries, status)) return false;
  table.parse(argc, argv);
  if (ends_after_parse(table, entries, argc, status)) return false;
  // A refused value leaves the log threshold as it was: nothing is logged.
  if (!set_jobs(converter, *entries.jobs, status)) return false;
  if (!set_shard(converter, *entries.shard, status)) return false;
  if (!set_compression(converter, *entries.compress, status)) return false;
  if (!set_verbosity(*entries.verbosity, status)) return false;
  if (!compression_built(converter, status)) return false;
  store_choices(converter, entries);
  return open_folders(converter, status);
}

}  // namespace quillon
