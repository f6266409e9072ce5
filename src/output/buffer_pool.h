// Row buffers for the CSV writers, carved from slabs that the platform backs
// with large pages where it can: with thousands of outputs open, a frame
// touches the end of one buffer of thousands, and buffers of their own pages
// would each cost the processor an address translation of their own.
#pragma once

#include <cstddef>
#include <vector>

namespace quillon {

// Not shared between threads. Every buffer taken must be given back, or
// left unused, before the pool goes: the slabs go with it.
class BufferPool {
 public:
  static constexpr size_t kBufferBytes = 4096;
  // For compressed output: a compressor works better (and a frame's fixed
  // cost weighs less) on 16 KiB of rows than on 4 KiB, at 12 KiB more per
  // open output.
  static constexpr size_t kCompressedBufferBytes = 16384;

  // buffer_bytes: a power of two up to the slab's size.
  explicit BufferPool(size_t buffer_bytes = kBufferBytes) : buffer_bytes_(buffer_bytes) {}
  ~BufferPool();
  BufferPool(const BufferPool&) = delete;
  BufferPool& operator=(const BufferPool&) = delete;

  // A buffer of buffer_bytes(); null when memory is short.
  char* take();
  // A buffer from take, free for the next one.
  void give_back(char* buffer);

  size_t slabs() const { return slabs_.size(); }
  size_t buffer_bytes() const { return buffer_bytes_; }

 private:
  size_t buffer_bytes_;
  std::vector<void*> slabs_;
  std::vector<char*> free_;
  size_t carved_ = 0;  // bytes of the last slab handed out
};

}  // namespace quillon
