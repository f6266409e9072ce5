// MD5 (RFC 1321) digests, supplied by the platform's maintained library.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillon::platform {

class Md5 {
 public:
  Md5();
  ~Md5();
  Md5(const Md5&) = delete;
  Md5& operator=(const Md5&) = delete;
  void update(const void* data, size_t n);
  // Writes the 16-byte digest; the object must not be updated afterwards.
  void finish(uint8_t digest[16]);

 private:
  alignas(8) unsigned char state_[128];
};

}  // namespace quillon::platform
