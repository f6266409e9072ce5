#include "output/message_table.h"

#include <algorithm>

#include "support/prefetch.h"

namespace quillon {

namespace {

// A table's slot for the two words of its key.
size_t slot_of(const void* db, uint64_t word, size_t mask) {
  uint64_t h = reinterpret_cast<uintptr_t>(db) ^ (word * 0x9E3779B97F4A7C15ull);
  h ^= h >> 31;
  h *= 0xBF58476D1CE4E5B9ull;
  h ^= h >> 29;
  return static_cast<size_t>(h) & mask;
}

// A bound on the table: each entry is an output (or a key without one)
// seen; past it the table starts afresh rather than grow without end.
constexpr size_t kMaxEntries = size_t{1} << 17;
// Entries from which on hints pay: each stands for a plan, a writer and its
// buffer's end, some 800 bytes that a frame would otherwise wait for.
constexpr size_t kHintedEntries = 256;

}  // namespace

MessageTable::MessageTable(const ChannelMap* can_channels, const ChannelMap* lin_channels,
                           bool src_merge, bool dst_merge)
    : src_merge_(src_merge), dst_merge_(dst_merge) {
  if (can_channels) {
    for (const auto& [channel, list] : *can_channels) can_by_channel_[channel] = &list;
  }
  if (lin_channels) {
    for (const auto& [channel, list] : *lin_channels) lin_by_channel_[channel] = &list;
  }
}

const MessageTable::Entry* MessageTable::find(const MessageDatabase* db, uint64_t word,
                                              size_t& slot) const {
  if (table_.empty()) return nullptr;
  const size_t mask = table_.size() - 1;
  for (size_t i = slot & mask;; i = (i + 1) & mask) {
    const Entry& e = table_[i];
    if (e.db == db && e.word == word) {
      slot = i;
      return &e;
    }
    if (!e.db) return nullptr;
  }
}

void MessageTable::grow() {
  std::vector<Entry> old(std::max<size_t>(1024, 2 * table_.size()));
  old.swap(table_);
  const size_t mask = table_.size() - 1;
  for (const Entry& e : old) {
    if (!e.db) continue;
    size_t i = slot_of(e.db, e.word, mask);
    while (table_[i].db) i = (i + 1) & mask;
    table_[i] = e;
  }
}

MessageTable::Entry MessageTable::make(const MessageDatabase& db, uint64_t word) {
  Entry e;
  e.db = &db;
  e.word = word;
  const Message* m = db.find_message(static_cast<uint32_t>(word));
  // A message left out by --messages or --signals is not decoded at all.
  if (!m || m->ignored || !m->plan || !m->plan->chosen()) return e;
  e.message = m;
  e.plan = m->plan.get();
  e.multiplexed = !e.plan->plain();
  const size_t lines =
      e.multiplexed ? e.plan->lines() : DecodePlan::code_lines(e.plan->top_count());
  e.plan_lines = static_cast<uint8_t>(std::min<size_t>(16, lines));
  return e;
}

MessageTable::Entry& MessageTable::entry(const MessageDatabase& db, uint64_t word) {
  if (!table_.empty()) {
    size_t slot = slot_of(&db, word, table_.size() - 1);
    if (find(&db, word, slot)) return table_[slot];
  }
  if (entries_ >= kMaxEntries) {
    table_.clear();
    entries_ = 0;
  }
  // At most half full, so that probes stay short.
  if (2 * (entries_ + 1) > table_.size()) grow();
  const size_t mask = table_.size() - 1;
  size_t i = slot_of(&db, word, mask);
  while (table_[i].db) i = (i + 1) & mask;
  ++entries_;
  table_[i] = make(db, word);
  return table_[i];
}

void MessageTable::fetch_hinted(const OutputSet& outputs) {
  // The table may have grown or been cleared since the slots were fetched
  // and the writers closed: the entry is looked up again, and a writer
  // taken only from a current handle.
  for (int i = 0; i < hinted_count_; ++i) {
    Hinted& h = hinted_[i];
    const Entry* e = find(h.db, h.word, h.slot);
    if (!e || !e->message) continue;
    fetch_plan(*e);
    if (e->output.writer && outputs.current(e->output)) prefetch_for_read(e->output.writer);
  }
  hinted_count_ = 0;
}

void MessageTable::hint(const FrameHint& hint, const OutputSet& outputs) {
  fetch_hinted(outputs);
  const DatabaseList* list = databases(hint.kind, hint.channel);
  if (!list) return;
  const size_t mask = table_.size() - 1;
  for (const auto& db : *list) {
    FrameAddress address;
    if (hinted_count_ == kHintedDatabases ||
        !frame_address(db->bus_kind(), hint.id, hint.extended != 0, address)) {
      break;
    }
    Hinted& h = hinted_[hinted_count_++];
    h.db = db.get();
    h.word = word(address, hint.channel, hint.kind == kFrameLin);
    h.slot = slot_of(h.db, h.word, mask);
    prefetch_for_read(&table_[h.slot]);
  }
}

bool MessageTable::take_hints(const FrameHint* hints, int count, const OutputSet& outputs) {
  bool wanted = true;
  for (int i = 0; i < count; ++i) {
    if (entries_ < kHintedEntries) {
      fetch_hinted(outputs);
      wanted = false;
      continue;
    }
    hint(hints[i], outputs);
    wanted = true;
  }
  return wanted;
}

}  // namespace quillon
