// The logs of one shard of a fleet (--shard=K/N): those whose logger
// folder falls to shard K (support/shard.h); shard 0 also tells of the
// logs whose header does not read.
#pragma once

#include <cstdint>

#include "input/conversion_loop.h"

namespace quillon {

class ShardSelector final : public LogSelector {
 public:
  ShardSelector(uint32_t index, uint32_t count) : index_(index), count_(count) {}
  bool selects(const FileRecord& file) const override;
  bool takes_unread() const override { return index_ == 0; }

 private:
  uint32_t index_;
  uint32_t count_;
};

}  // namespace quillon
