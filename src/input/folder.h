// File operations relative to a root folder, and the normalisation of input
// paths as typed on the command line.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "input/stream.h"
#include "platform/platform.h"

namespace quillon {

using StatResult = platform::StatResult;
using platform::kFile;
using platform::kFolder;
using platform::kNotFound;
using platform::kOther;

// Folder entries by name, in ascending byte order of the names.
using FolderListing = std::map<std::string, StatResult>;

// Where and why an operation below a rooted folder failed.
struct PathFault {
  platform::Outcome::Kind kind = platform::Outcome::kFailed;  // kLink or kFailed
  int error = 0;                                              // the system's code
  std::string path;                                           // full path of the entry at fault
};

class RootedFolder {
 public:
  // Null unless path ends with "/" and names an existing folder.
  static std::unique_ptr<RootedFolder> create(const std::string& path);

  // The root, always ending in "/".
  const std::string& root() const { return root_; }

  // False only for an error other than absence (absence gives kNotFound).
  bool stat(const std::string& relative, StatResult& out) const;
  // The files and sub-folders of a folder. False when it cannot be listed
  // (out is then empty); an empty folder gives true. Entries that could not
  // be looked at (stat failed: error set; or a link to nothing: dangling
  // set) go to unlisted when it is given.
  bool list(const std::string& relative, FolderListing& out,
            FolderListing* unlisted = nullptr) const;
  // Makes every missing folder along the path; true when all are folders.
  bool make_folders(const std::string& relative) const;
  bool remove(const std::string& relative) const;
  // The version of the file at relative (links followed); false when it
  // cannot be looked at.
  bool stamp(const std::string& relative, platform::FileStamp& out) const;
  // The folder at relative, opened folder by folder from the root without
  // ever following a link below it (the root itself may be one). With
  // created given, missing folders are made and their relative paths
  // appended to it, parents first. Null on failure, with fault set.
  std::unique_ptr<platform::Folder> open_folder(const std::string& relative,
                                                std::vector<std::string>* created,
                                                PathFault& fault) const;
  // flags: 1 read ("rb"), 2 write ("wb"). Null on failure.
  std::unique_ptr<ByteStream> open(const std::string& relative, int flags) const;
  // Appends root + relative to out; the relative path ".." appends the root only.
  void full_path(const std::string& relative, std::string& out) const;
  std::string full_path(const std::string& relative) const {
    std::string s;
    full_path(relative, s);
    return s;
  }

 private:
  explicit RootedFolder(std::string root) : root_(std::move(root)) {}
  std::string root_;
};

// An input path as typed becomes absolute with "/" separators; a folder ends
// in "/", a file does not. Paths starting with a drive letter and ":" are
// absolute everywhere, and so are paths starting with "/" where the platform
// roots them there. ".." components are kept for the system to resolve.
std::string normalize_input_path(const std::string& typed);

}  // namespace quillon
