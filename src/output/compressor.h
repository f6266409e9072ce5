// Compressed CSV output. Each block of rows handed over becomes one whole
// zstd frame or gzip member, so a file is at every moment a concatenation
// of complete frames that the usual tools read as one stream: a log that
// appends starts a new frame, and cutting a file back to the length it had
// before a log leaves it whole. One compressor serves every writer of a
// thread, one block at a time, so its memory does not grow with the open
// outputs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace quillon {

enum class Codec : uint8_t { kNone, kZstd, kGzip };

struct Compression {
  Codec codec = Codec::kNone;
  int level = 0;  // the library's level; set by parse_compression
};

// "none", "zstd[:LEVEL]" or "gzip[:LEVEL]", LEVEL within the library's
// range (defaults zstd 3, gzip 6). False for anything else.
bool parse_compression(std::string_view text, Compression& compression);
// False when this build has no library for the codec.
bool codec_built(Codec codec);
// What an output's file name ends in: ".csv", ".csv.zst" or ".csv.gz".
const char* output_extension(Codec codec);

// Not shared between threads.
class Compressor {
 public:
  // Null for kNone, a codec not built, or memory short.
  static std::unique_ptr<Compressor> create(const Compression& compression);
  ~Compressor();
  Compressor(const Compressor&) = delete;
  Compressor& operator=(const Compressor&) = delete;

  // Compresses size bytes at data into one complete frame (member), which
  // data() and size() give until the next call; false when the library
  // failed or memory was short.
  bool compress(const char* data, size_t size);
  const char* data() const { return out_.data(); }
  size_t size() const { return out_size_; }

 private:
  explicit Compressor(const Compression& compression) : compression_(compression) {}
  bool compress_zstd(const char* data, size_t size);
  bool compress_gzip(const char* data, size_t size);

  Compression compression_;
  void* zstd_ = nullptr;  // the zstd context
  void* zlib_ = nullptr;  // the deflate stream
  std::vector<char> out_;
  size_t out_size_ = 0;
};

}  // namespace quillon
