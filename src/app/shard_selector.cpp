#include "app/shard_selector.h"

#include <string>

#include "output/naming.h"
#include "support/shard.h"

namespace quillon {

bool ShardSelector::selects(const FileRecord& file) const {
  // The folder name is kept at a fixed size, padded with zeros.
  const std::string folder = logger_folder_name(file.logger_id);
  return shard_of_logger_folder(folder.c_str(), count_) == index_;
}

}  // namespace quillon
