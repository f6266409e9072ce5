// A read-only byte stream over a string, for reader and loop tests. It can
// fail on purpose: after fail_after bytes it reports a read error the way a
// file whose disk fails halfway does.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>

#include "input/stream.h"

namespace quillon::test {

class MemoryStream : public ByteStream {
 public:
  explicit MemoryStream(std::string data, int64_t fail_after = -1)
      : data_(std::move(data)), fail_after_(fail_after) {}

  int64_t read(void* buffer, int64_t n) override {
    int64_t end = static_cast<int64_t>(data_.size());
    if (fail_after_ >= 0) end = std::min(end, fail_after_);
    int64_t take = std::max<int64_t>(0, std::min(n, end - position_));
    if (take < n && fail_after_ >= 0 && end < static_cast<int64_t>(data_.size())) failed_ = true;
    if (take > 0) std::memcpy(buffer, data_.data() + position_, static_cast<size_t>(take));
    position_ += take;
    return take;
  }
  int64_t tell() override { return position_; }
  int64_t seek(int64_t offset, int origin) override {
    if (origin < 0 || origin > 2) return -1;
    int64_t base = origin == 0 ? 0 : origin == 1 ? position_ : static_cast<int64_t>(data_.size());
    if (base + offset < 0) return -1;
    position_ = base + offset;
    return position_;
  }
  int close() override { return close_result_; }
  bool read_failed() const override { return failed_; }

  int close_result_ = 0;

 private:
  std::string data_;
  int64_t fail_after_;
  int64_t position_ = 0;
  bool failed_ = false;
};

}  // namespace quillon::test
