// A table of values by a 64-bit key, kept sorted in one vector: a lookup is
// a binary search over contiguous memory, with no hashing and no node per
// entry, for tables that are filled once and read for every frame.
#pragma once

#include <algorithm>
#include <cstdint>
#include <new>
#include <utility>
#include <vector>

namespace quillon {

template <typename Value>
using SortedTable = std::vector<std::pair<uint64_t, Value>>;

// The value of key, or null.
template <typename Value>
const Value* find_sorted(const SortedTable<Value>& table, uint64_t key) {
  auto at = std::lower_bound(table.begin(), table.end(), key,
                             [](const auto& entry, uint64_t k) { return entry.first < k; });
  return at != table.end() && at->first == key ? &at->second : nullptr;
}

// Adds value under key unless key has one already (the first one stays).
// False only when memory is short.
template <typename Value>
bool insert_first(SortedTable<Value>& table, uint64_t key, const Value& value) {
  auto at = std::lower_bound(table.begin(), table.end(), key,
                             [](const auto& entry, uint64_t k) { return entry.first < k; });
  if (at != table.end() && at->first == key) return true;
  try {
    table.insert(at, {key, value});
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

}  // namespace quillon
