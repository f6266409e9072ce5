#include "input/input_walk.h"

#include <new>
#include <set>

#include "platform/platform.h"
#include "support/text.h"

namespace quillon {

namespace {

// Joins a folder path and an entry name with one "/".
std::string child(const std::string& folder, const std::string& name) {
  std::string path = folder;
  if (!path.empty() && path.back() != '/') path += '/';
  path += name;
  return path;
}

// "logs" becomes "logs_out", "logs/" "logs_out/", "a/b/" "a_out/b/".
std::string append_out(const std::string& path) {
  std::string out = path;
  size_t slash = out.find('/');
  out.insert(slash == std::string::npos ? out.size() : slash, "_out");
  return out;
}

class Lister {
 public:
  Lister(const RootedFolder& folder, InputListing& listing) : folder_(folder), listing_(listing) {}

  // The entries of one path whose kind is known; folder_reached: see
  // WalkEntry.
  void walk(const std::string& input, const std::string& output, const StatResult& st,
            int64_t folder_reached = -1) {
    switch (st.kind) {
      case kFolder:
        walk_folder(input, output);
        return;
      case kNotFound:
        add(WalkEntry::Kind::kNotFound, input);
        return;
      case kFile:
        if (is_log_name(input)) add_log(input, output, st.size, folder_reached);
        return;
      default:
        add(WalkEntry::Kind::kInvalid, input);
        return;
    }
  }

  void add(WalkEntry::Kind kind, const std::string& input, int error = 0) {
    WalkEntry& entry = listing_.entries.emplace_back();
    entry.kind = kind;
    entry.checked = check_;
    check_ = false;
    entry.error = error;
    entry.input = input;
  }

  // The next entry begins the walk of a path the walk checks for an
  // interrupt first.
  void check() { check_ = true; }

 private:
  void walk_folder(const std::string& input, const std::string& output) {
    FolderListing entries, unlisted;
    if (!folder_.list(input, entries, &unlisted)) {
      add(WalkEntry::Kind::kListFailed, input);
      return;
    }
    // A walk that listed the folder on reaching it would list it here.
    const auto reached = static_cast<int64_t>(listing_.entries.size());
    for (const auto& entry : unlisted) {
      add(entry.second.dangling ? WalkEntry::Kind::kDangling : WalkEntry::Kind::kStatFailed,
          child(input, entry.first), entry.second.error);
    }
    for (const auto& entry : entries) {
      if (platform::interrupt_signal() != 0) return;
      check();
      walk(child(input, entry.first), child(output, entry.first), entry.second, reached);
    }
  }

  void add_log(const std::string& input, const std::string& output, int64_t size,
               int64_t folder_reached) {
    add(WalkEntry::Kind::kLog, input);
    WalkEntry& entry = listing_.entries.back();
    entry.folder_reached = folder_reached;
    const size_t extension = input.size() - input.rfind('.');
    entry.output = output;
    entry.output.resize(output.size() >= extension ? output.size() - extension : 0);
    entry.size = size;
    listing_.log_files += 1;
    listing_.log_bytes += static_cast<uint64_t>(size);
  }

  const RootedFolder& folder_;
  InputListing& listing_;
  bool check_ = false;
};

}  // namespace

bool is_log_name(const std::string& path) {
  size_t name_start = path.rfind('/');
  name_start = name_start == std::string::npos ? 0 : name_start + 1;
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || dot < name_start) return false;
  return text_to_lower(std::string_view(path).substr(dot + 1)) == "txt";
}

bool list_inputs(const RootedFolder& folder, const std::vector<std::string>& input_paths,
                 bool no_append_root, InputListing& listing) {
  listing = InputListing();
  try {
    Lister lister(folder, listing);
    std::set<std::string> given;
    for (const std::string& input : input_paths) {
      if (platform::interrupt_signal() != 0) break;
      lister.check();
      // Walked twice, its logs would be converted twice: every row written
      // twice. (Inputs lie side by side in one folder, so a path given
      // never lies inside another one given.)
      if (!given.insert(input).second) {
        lister.add(WalkEntry::Kind::kGivenTwice, input);
        continue;
      }
      StatResult st;
      if (!folder.stat(input, st)) {
        // Where the output path depends on the kind, nothing can go on.
        if (!no_append_root) {
          lister.add(WalkEntry::Kind::kQueryFailed, input);
          break;
        }
        lister.add(WalkEntry::Kind::kStatFailed, input, st.error);
        continue;
      }
      lister.walk(input, !no_append_root && st.kind == kFolder ? append_out(input) : input, st);
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

}  // namespace quillon
