// A read-only byte stream over a string it owns, for reader and loop tests:
// the program's BytesStream over its own copy of the bytes, whose close can
// be made to fail.
#pragma once

#include <string>

#include "input/stream.h"

namespace quillon::test {

namespace detail {
struct OwnedBytes {
  std::string data;
};
}  // namespace detail

class MemoryStream : private detail::OwnedBytes, public BytesStream {
 public:
  // After fail_after bytes it reports a read error (see BytesStream).
  explicit MemoryStream(std::string bytes, int64_t fail_after = -1)
      : detail::OwnedBytes{std::move(bytes)}, BytesStream(data, fail_after) {}

  int close() override { return close_result_; }

  int close_result_ = 0;
};

}  // namespace quillon::test
