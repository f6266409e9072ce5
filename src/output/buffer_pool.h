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

  BufferPool() = default;
  ~BufferPool();
  BufferPool(const BufferPool&) = delete;
  BufferPool& operator=(const BufferPool&) = delete;

  // A buffer of kBufferBytes; null when memory is short.
  char* take();
  // A buffer from take, free for the next one.
  void give_back(char* buffer);

  size_t slabs() const { return slabs_.size(); }

 private:
  std::vector<void*> slabs_;
  std::vector<char*> free_;
  size_t carved_ = 0;  // bytes of the last slab handed out
};

}  // namespace quillon
