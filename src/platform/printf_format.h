// Marks a function that takes a printf format so the compiler checks its
// calls. On Windows the C library's own printf lacks C99 conversions such as
// "%zd"; the build uses the C99-conforming printf family there, whose rules
// GCC names gnu_printf.
#pragma once

#if defined(__MINGW32__) && !defined(__clang__)
#define QUILLON_PRINTF_FORMAT(format_index, first_arg) \
  __attribute__((format(gnu_printf, format_index, first_arg)))
#else
#define QUILLON_PRINTF_FORMAT(format_index, first_arg) \
  __attribute__((format(printf, format_index, first_arg)))
#endif
