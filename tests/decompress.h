// Decompression of whole compressed outputs for the tests, through the
// libraries the program writes them with: every frame (member) in turn,
// each one complete.
#pragma once

#include <zlib.h>
// The Windows build has no zstd: codec_built says so, and no such file is
// made there.
#if __has_include(<zstd.h>)
#include <zstd.h>
#define QUILLON_TEST_ZSTD 1
#endif

#include <string>

#include "output/compressor.h"

namespace quillon::test {

// The text of bytes compressed with codec (kNone: as it is); false when a
// frame is damaged or cut, or bytes is empty for a compressed kind. frames,
// when given, counts the frames (members).
inline bool decompress(const std::string& bytes, Codec codec, std::string& text,
                       int* frames = nullptr) {
  text.clear();
  int count = 0;
  if (frames) *frames = 0;
  if (codec == Codec::kNone) {
    text = bytes;
    return true;
  }
  if (bytes.empty()) return false;
  char out[16384];
  if (codec == Codec::kZstd) {
#ifndef QUILLON_TEST_ZSTD
    return false;
#else
    ZSTD_DStream* stream = ZSTD_createDStream();
    ZSTD_inBuffer in{bytes.data(), bytes.size(), 0};
    size_t left = 1;  // 0 once a frame is complete
    for (;;) {
      ZSTD_outBuffer o{out, sizeof out, 0};
      left = ZSTD_decompressStream(stream, &o, &in);
      if (ZSTD_isError(left)) break;
      text.append(out, o.pos);
      if (left == 0) ++count;
      // Done with the input, and nothing more waits to come out.
      if (in.pos == in.size && (left == 0 || o.pos < o.size)) break;
    }
    ZSTD_freeDStream(stream);
    if (frames) *frames = count;
    return left == 0;
#endif
  }
  z_stream z{};
  if (inflateInit2(&z, 15 + 16) != Z_OK) return false;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  z.avail_in = static_cast<uInt>(bytes.size());
  int status = Z_OK;
  z.avail_out = 0;
  while (z.avail_in > 0 || (status == Z_OK && z.avail_out == 0)) {
    z.next_out = reinterpret_cast<Bytef*>(out);
    z.avail_out = sizeof out;
    status = inflate(&z, Z_NO_FLUSH);
    text.append(out, sizeof out - z.avail_out);
    if (status == Z_STREAM_END) {
      ++count;
      if (z.avail_in > 0 && inflateReset(&z) != Z_OK) break;
    } else if (status != Z_OK) {
      break;
    }
  }
  inflateEnd(&z);
  if (frames) *frames = count;
  return status == Z_STREAM_END;
}

}  // namespace quillon::test
