#include "output/compressor.h"

#include <zlib.h>

#include <charconv>
#include <new>
#include <string>

#if QUILLON_HAVE_ZSTD
#include <zstd.h>
#endif

namespace quillon {

namespace {

constexpr int kZstdDefault = 3;
constexpr int kGzipDefault = 6;

bool parse_level(std::string_view text, int low, int high, int& level) {
  if (text.empty()) return false;
  const char* end = text.data() + text.size();
  auto [p, error] = std::from_chars(text.data(), end, level);
  return error == std::errc() && p == end && level >= low && level <= high;
}

}  // namespace

bool parse_compression(std::string_view text, Compression& compression) {
  const size_t colon = text.find(':');
  const std::string_view name = text.substr(0, colon);
  const bool has_level = colon != std::string_view::npos;
  const std::string_view level = has_level ? text.substr(colon + 1) : std::string_view();
  Compression c;
  if (name == "none" && !has_level) {
    compression = c;
    return true;
  }
  if (name == "gzip") {
    c.codec = Codec::kGzip;
    c.level = kGzipDefault;
    if (has_level && !parse_level(level, 0, 9, c.level)) return false;
  } else if (name == "zstd") {
    c.codec = Codec::kZstd;
    c.level = kZstdDefault;
#if QUILLON_HAVE_ZSTD
    if (has_level && !parse_level(level, ZSTD_minCLevel(), ZSTD_maxCLevel(), c.level)) return false;
#else
    // Checked where the codec is refused; any level passes here.
    if (has_level && !parse_level(level, -131072, 22, c.level)) return false;
#endif
  } else {
    return false;
  }
  compression = c;
  return true;
}

bool codec_built(Codec codec) {
  return QUILLON_HAVE_ZSTD || codec != Codec::kZstd;
}

const char* output_extension(Codec codec) {
  switch (codec) {
    case Codec::kZstd:
      return ".csv.zst";
    case Codec::kGzip:
      return ".csv.gz";
    case Codec::kNone:
      break;
  }
  return ".csv";
}

std::unique_ptr<Compressor> Compressor::create(const Compression& compression) {
  if (compression.codec == Codec::kNone || !codec_built(compression.codec)) return nullptr;
  std::unique_ptr<Compressor> c(new (std::nothrow) Compressor(compression));
  if (!c) return nullptr;
  if (compression.codec == Codec::kZstd) {
#if QUILLON_HAVE_ZSTD
    ZSTD_CCtx* context = ZSTD_createCCtx();
    if (!context) return nullptr;
    c->zstd_ = context;
    // A block's size is known before it is compressed: the library fits
    // its window and tables to it, so the level's window never costs its
    // full memory.
    // No frame checksum: a tenth of the speed on blocks this small, and
    // a damaged frame still fails to decode as a rule.
    ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, compression.level);
#endif
    return c;
  }
  z_stream* stream = new (std::nothrow) z_stream();
  if (!stream) return nullptr;
  // 16 over the window bits: a gzip header and trailer around the data.
  if (deflateInit2(stream, compression.level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    delete stream;
    return nullptr;
  }
  c->zlib_ = stream;
  return c;
}

Compressor::~Compressor() {
#if QUILLON_HAVE_ZSTD
  if (zstd_) ZSTD_freeCCtx(static_cast<ZSTD_CCtx*>(zstd_));
#endif
  if (zlib_) {
    z_stream* stream = static_cast<z_stream*>(zlib_);
    deflateEnd(stream);
    delete stream;
  }
}

bool Compressor::compress(const char* data, size_t size) {
  out_size_ = 0;
  try {
    return compression_.codec == Codec::kZstd ? compress_zstd(data, size)
                                              : compress_gzip(data, size);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool Compressor::compress_zstd(const char* data, size_t size) {
#if QUILLON_HAVE_ZSTD
  ZSTD_CCtx* context = static_cast<ZSTD_CCtx*>(zstd_);
  const size_t bound = ZSTD_compressBound(size);
  if (out_.size() < bound) out_.resize(bound);
  const size_t n = ZSTD_compress2(context, out_.data(), out_.size(), data, size);
  if (ZSTD_isError(n)) return false;
  out_size_ = n;
  return true;
#else
  (void)data;
  (void)size;
  return false;
#endif
}

bool Compressor::compress_gzip(const char* data, size_t size) {
  z_stream* stream = static_cast<z_stream*>(zlib_);
  if (deflateReset(stream) != Z_OK) return false;
  const size_t bound = deflateBound(stream, static_cast<uLong>(size));
  if (out_.size() < bound) out_.resize(bound);
  stream->next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
  stream->avail_in = static_cast<uInt>(size);
  stream->next_out = reinterpret_cast<Bytef*>(out_.data());
  stream->avail_out = static_cast<uInt>(out_.size());
  if (deflate(stream, Z_FINISH) != Z_STREAM_END) return false;
  out_size_ = out_.size() - stream->avail_out;
  return true;
}

}  // namespace quillon
