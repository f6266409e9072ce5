// Proleptic Gregorian calendar arithmetic in UTC, by arithmetic alone (no
// operating-system call), so that every platform file and the log reader
// share one implementation.
#pragma once

#include <cstdint>

namespace quillon::platform {

// Days since 1970-01-01; month in 1..12, day may run past the month's end.
int64_t days_from_civil(int64_t year, int64_t month, int64_t day);

// Seconds since 1970 of a UTC date and time. Fields out of range carry over
// as a calendar library's normalisation does (month 13 is January of the
// next year, day 0 the last day of the month before).
int64_t civil_to_seconds(int64_t year, int64_t month, int64_t day, int64_t hour, int64_t minute,
                         int64_t second);

struct Civil {
  int64_t year, month, day, hour, minute, second;
};
// The UTC date and time of seconds since 1970 (negative ones too).
Civil civil_from_seconds(int64_t seconds);

}  // namespace quillon::platform
