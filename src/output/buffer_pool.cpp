#include "output/buffer_pool.h"

#include <new>

#include "platform/platform.h"

namespace quillon {

BufferPool::~BufferPool() {
  for (void* slab : slabs_) platform::free_slab(slab);
}

char* BufferPool::take() {
  if (!free_.empty()) {
    char* buffer = free_.back();
    free_.pop_back();
    return buffer;
  }
  if (slabs_.empty() || carved_ + buffer_bytes_ > platform::kSlabBytes) {
    // The first slab's 512 buffers (of 4 KiB) are few enough for the processor to
    // keep their pages' translations; large pages pay from the second on,
    // and a small run does not take 2 MiB at once.
    void* slab = platform::allocate_slab(!slabs_.empty());
    if (!slab) return nullptr;
    try {
      slabs_.push_back(slab);
      // Room for every buffer of the slab to come back, so that giving one
      // back never needs memory.
      free_.reserve(slabs_.size() * (platform::kSlabBytes / buffer_bytes_));
    } catch (const std::bad_alloc&) {
      if (!slabs_.empty() && slabs_.back() == slab) slabs_.pop_back();
      platform::free_slab(slab);
      return nullptr;
    }
    carved_ = 0;
  }
  char* buffer = static_cast<char*>(slabs_.back()) + carved_;
  carved_ += buffer_bytes_;
  return buffer;
}

void BufferPool::give_back(char* buffer) {
  if (buffer) free_.push_back(buffer);  // never grows past what take reserved
}

}  // namespace quillon
