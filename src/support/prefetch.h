// Hints to fetch memory ahead of its use, for the per-frame path where
// thousands of messages keep their data out of the cache. Nothing where the
// compiler has no such hint.
#pragma once

namespace quillon {

// A function made of fetches alone would count as free of effects to the
// compiler, which then drops the calls to it: the empty volatile statement
// keeps them.
inline void prefetch_for_read(const void* p) {
#if defined(__GNUC__)
  __builtin_prefetch(p, 0);
  __asm__ volatile("");
#else
  (void)p;
#endif
}

inline void prefetch_for_write(const void* p) {
#if defined(__GNUC__)
  __builtin_prefetch(p, 1);
  __asm__ volatile("");
#else
  (void)p;
#endif
}

}  // namespace quillon
