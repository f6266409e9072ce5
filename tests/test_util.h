// Helpers shared by the test programs.
#pragma once

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>

namespace quillon::test {

// Test file names are UTF-8, as the converter's are; a narrow string is
// read in the system's code page on Windows, so go through char8_t.
inline std::filesystem::path utf8_path(const std::string& s) {
  return std::filesystem::path(std::u8string(s.begin(), s.end()));
}
inline std::string utf8_string(const std::filesystem::path& p) {
  std::u8string u = p.generic_u8string();
  return std::string(u.begin(), u.end());
}

// Every file and folder below root ("/" after a folder's name), with the
// content of files; empty when root is missing.
inline std::map<std::string, std::string> file_tree(const std::filesystem::path& root) {
  std::map<std::string, std::string> out;
  if (!std::filesystem::exists(root)) return out;
  for (auto& e : std::filesystem::recursive_directory_iterator(root)) {
    std::string name = std::filesystem::relative(e.path(), root).generic_string();
    if (e.is_regular_file()) {
      std::ifstream in(e.path(), std::ios::binary);
      out[name] = std::string(std::istreambuf_iterator<char>(in), {});
    } else {
      out[name + "/"] = "";
    }
  }
  return out;
}

// Writes text to path, making its folders.
inline void put_file(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// A fresh folder under the system's temporary folder, removed with its
// content when the object goes.
class TempDir {
 public:
  TempDir() {
    static std::mt19937_64 rng(std::random_device{}());
    for (;;) {
      path_ = std::filesystem::temp_directory_path() /
              ("quillon-test-" + std::to_string(rng() % 100000000));
      std::error_code ec;
      if (std::filesystem::create_directory(path_, ec)) break;
    }
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The path as the converter spells folders: "/" separators, ending in "/".
  std::string root() const { return utf8_string(path_) + "/"; }

  void write(const std::string& relative, const std::string& content) const {
    std::filesystem::path p = path_ / utf8_path(relative);
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
  }
  std::string read(const std::string& relative) const {
    std::ifstream in(path_ / utf8_path(relative), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  void mkdir(const std::string& relative) const {
    std::filesystem::create_directories(path_ / utf8_path(relative));
  }

 private:
  std::filesystem::path path_;
};

// Changes the working folder for the lifetime of the object.
class ScopedCwd {
 public:
  explicit ScopedCwd(const std::filesystem::path& to) : old_(std::filesystem::current_path()) {
    std::filesystem::current_path(to);
  }
  ~ScopedCwd() {
    std::error_code ec;
    std::filesystem::current_path(old_, ec);
  }

 private:
  std::filesystem::path old_;
};

// A fresh folder that is the working folder while it lives.
class WorkingFolder : public TempDir {
 public:
  WorkingFolder() : cwd_(path()) {}
  // As the converter spells it: "/" separators on every system.
  std::string root() const { return utf8_string(std::filesystem::canonical(path())) + "/"; }

 private:
  ScopedCwd cwd_;
};

}  // namespace quillon::test
