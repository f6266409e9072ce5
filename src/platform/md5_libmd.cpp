// MD5 through libmd.
#include "platform/md5.h"

#include <md5.h>

#include <new>

namespace quillon::platform {

static_assert(sizeof(MD5_CTX) <= 128, "MD5 state does not fit its storage");

Md5::Md5() {
  MD5Init(new (state_) MD5_CTX);
}

Md5::~Md5() = default;

void Md5::update(const void* data, size_t n) {
  MD5Update(reinterpret_cast<MD5_CTX*>(state_), static_cast<const uint8_t*>(data), n);
}

void Md5::finish(uint8_t digest[16]) {
  MD5Final(digest, reinterpret_cast<MD5_CTX*>(state_));
}

}  // namespace quillon::platform
