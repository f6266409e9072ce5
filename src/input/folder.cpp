#include "input/folder.h"

#include <vector>

#include "support/log.h"

namespace quillon {

std::unique_ptr<RootedFolder> RootedFolder::create(const std::string& path) {
  if (path.empty() || path.back() != '/') return nullptr;
  StatResult st;
  if (!platform::stat_path(path, st) || st.kind != kFolder) return nullptr;
  return std::unique_ptr<RootedFolder>(new RootedFolder(path));
}

bool RootedFolder::stat(const std::string& relative, StatResult& out) const {
  return platform::stat_path(full_path(relative), out);
}

bool RootedFolder::stamp(const std::string& relative, platform::FileStamp& out) const {
  return platform::file_stamp(full_path(relative), out);
}

bool RootedFolder::list(const std::string& relative, FolderListing& out,
                        FolderListing* unlisted) const {
  out.clear();
  if (unlisted) unlisted->clear();
  std::string folder = full_path(relative);
  std::vector<std::string> names;
  if (!platform::list_folder(folder, names)) return false;
  if (!folder.empty() && folder.back() != '/') folder += '/';
  const size_t base = folder.size();
  for (const std::string& name : names) {
    folder.resize(base);
    folder += name;
    StatResult st;
    if (!platform::stat_path(folder, st) || st.dangling) {
      if (unlisted) unlisted->emplace(name, st);
      continue;
    }
    if (st.kind != kFile && st.kind != kFolder) continue;
    out.emplace(name, st);
  }
  return true;
}

bool RootedFolder::make_folders(const std::string& relative) const {
  std::string path = root_;
  size_t i = 0;
  while (i < relative.size()) {
    size_t slash = relative.find('/', i);
    if (slash == std::string::npos) slash = relative.size();
    if (slash > i) {
      if (path.back() != '/') path += '/';
      path.append(relative, i, slash - i);
      StatResult st;
      if (!platform::stat_path(path, st)) return false;
      if (st.kind == kNotFound) {
        if (!platform::make_folder(path)) {
          // Someone else may have made it meanwhile.
          if (!platform::stat_path(path, st) || st.kind != kFolder) return false;
        }
      } else if (st.kind != kFolder) {
        return false;
      }
    }
    i = slash + 1;
  }
  return true;
}

bool RootedFolder::remove(const std::string& relative) const {
  return platform::remove_file(full_path(relative));
}

std::unique_ptr<platform::Folder> RootedFolder::open_folder(const std::string& relative,
                                                            std::vector<std::string>* created,
                                                            PathFault& fault) const {
  int error = 0;
  std::unique_ptr<platform::Folder> folder(platform::Folder::open(root_, error));
  if (!folder) {
    fault = PathFault{platform::Outcome::kFailed, error, root_};
    return nullptr;
  }
  size_t i = 0;
  while (i < relative.size()) {
    size_t slash = relative.find('/', i);
    if (slash == std::string::npos) slash = relative.size();
    if (slash > i) {
      const std::string name = relative.substr(i, slash - i);
      platform::Outcome outcome;
      std::unique_ptr<platform::Folder> next(
          folder->open_folder(name, created != nullptr, outcome));
      if (!next) {
        fault = PathFault{outcome.kind, outcome.error, root_ + relative.substr(0, slash)};
        return nullptr;
      }
      if (outcome.kind == platform::Outcome::kCreated)
        created->push_back(relative.substr(0, slash));
      folder = std::move(next);
    }
    i = slash + 1;
  }
  return folder;
}

std::unique_ptr<ByteStream> RootedFolder::open(const std::string& relative, int flags) const {
  if (flags != FileStream::kRead && flags != FileStream::kWrite) return nullptr;
  return FileStream::open(full_path(relative), static_cast<FileStream::Mode>(flags));
}

void RootedFolder::full_path(const std::string& relative, std::string& out) const {
  out += root_;
  if (relative != "..") out += relative;
}

namespace {

bool is_letter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool has_drive(const std::string& p) {
  return p.size() >= 2 && is_letter(p[0]) && p[1] == ':';
}

// Backslashes to slashes, then one left-to-right pass of "//" to "/", then a
// bare drive gets its "/".
std::string clean_separators(const std::string& typed) {
  std::string s = typed;
  for (char& c : s) {
    if (c == '\\') c = '/';
  }
  std::string t;
  t.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '/' && i + 1 < s.size() && s[i + 1] == '/') {
      t += '/';
      ++i;
    } else {
      t += s[i];
    }
  }
  if (t.size() == 2 && has_drive(t)) t += '/';
  return t;
}

bool is_absolute(const std::string& p) {
  if (p.size() >= 3 && has_drive(p)) return true;
  return platform::slash_is_absolute() && !p.empty() && p[0] == '/';
}

}  // namespace

std::string normalize_input_path(const std::string& typed) {
  std::string path = clean_separators(typed);
  if (!is_absolute(path)) {
    std::string cwd;
    StatResult st;
    if (!platform::current_folder(cwd)) return path;
    cwd = clean_separators(cwd);
    if (!platform::stat_path(cwd, st) || st.kind != kFolder) return path;
    if (cwd.empty() || cwd.back() != '/') cwd += '/';
    path = cwd + path;
  }
  StatResult st;
  if (!platform::stat_path(path, st)) {
    QLOG(LOG_ERROR, "Could not stat path %s", path.c_str());
    return path;
  }
  if (st.kind == kNotFound && path.size() > 1 && path.back() == '/') {
    // Some systems refuse "file/" outright; look at the name itself.
    StatResult bare;
    if (platform::stat_path(path.substr(0, path.size() - 1), bare) && bare.kind == kFile) st = bare;
  }
  if (st.kind == kFolder) {
    if (path.empty() || path.back() != '/') path += '/';
  } else if (st.kind == kFile) {
    if (!path.empty() && path.back() == '/') path.pop_back();
  }
  return path;
}

}  // namespace quillon
