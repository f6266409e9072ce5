// MD5 through the system's cryptography library (BCrypt).
#include <windows.h>
// windows.h first: bcrypt.h relies on its types.
#include <bcrypt.h>

#include <cstdlib>
#include <new>

#include "platform/md5.h"
#include "platform/platform.h"

namespace quillon::platform {

namespace {

static_assert(sizeof(BCRYPT_HASH_HANDLE) <= 128, "hash handle does not fit its storage");

BCRYPT_HASH_HANDLE& handle_in(unsigned char* state) {
  return *std::launder(reinterpret_cast<BCRYPT_HASH_HANDLE*>(state));
}

// Without MD5 every writer key would be wrong; better to stop at once.
[[noreturn]] void unavailable() {
  static const char kMessage[] = "MD5 is not available from the system\n";
  stderr_write(kMessage, sizeof kMessage - 1);
  abort_process();
}

BCRYPT_ALG_HANDLE algorithm() {
  static BCRYPT_ALG_HANDLE alg = [] {
    BCRYPT_ALG_HANDLE h = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&h, BCRYPT_MD5_ALGORITHM, nullptr, 0)))
      unavailable();
    return h;
  }();
  return alg;
}

}  // namespace

Md5::Md5() {
  BCRYPT_HASH_HANDLE* h = new (state_) BCRYPT_HASH_HANDLE(nullptr);
  // The system keeps the hash object itself when given no buffer.
  if (!BCRYPT_SUCCESS(BCryptCreateHash(algorithm(), h, nullptr, 0, nullptr, 0, 0))) unavailable();
}

Md5::~Md5() {
  if (handle_in(state_) != nullptr) BCryptDestroyHash(handle_in(state_));
}

void Md5::update(const void* data, size_t n) {
  const auto* p = static_cast<const unsigned char*>(data);
  while (n > 0) {
    ULONG chunk = n > 0x40000000 ? 0x40000000 : static_cast<ULONG>(n);
    BCryptHashData(handle_in(state_), const_cast<PUCHAR>(p), chunk, 0);
    p += chunk;
    n -= chunk;
  }
}

void Md5::finish(uint8_t digest[16]) {
  if (!BCRYPT_SUCCESS(BCryptFinishHash(handle_in(state_), digest, 16, 0))) unavailable();
}

}  // namespace quillon::platform
