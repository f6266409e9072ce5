#include "platform/calendar.h"

#include "platform/platform.h"

namespace quillon::platform {

int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

int64_t civil_to_seconds(int64_t year, int64_t month, int64_t day, int64_t hour, int64_t minute,
                         int64_t second) {
  // Month first: 0 is December of the year before, 13 January of the next.
  int64_t m0 = month - 1;
  int64_t carry = m0 >= 0 ? m0 / 12 : -((11 - m0) / 12);
  year += carry;
  m0 -= carry * 12;
  return days_from_civil(year, m0 + 1, day) * 86400 + hour * 3600 + minute * 60 + second;
}

Civil civil_from_seconds(int64_t t) {
  int64_t days = t >= 0 ? t / 86400 : -((-t + 86399) / 86400);
  int64_t rem = t - days * 86400;
  Civil c;
  c.hour = rem / 3600;
  c.minute = rem % 3600 / 60;
  c.second = rem % 60;
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  c.day = doy - (153 * mp + 2) / 5 + 1;
  c.month = mp < 10 ? mp + 3 : mp - 9;
  c.year = yoe + era * 400 + (c.month <= 2);
  return c;
}

// The UTC conversions of platform.h are the same on every system.
int64_t utc_seconds(int year, int month, int day, int hour, int minute, int second) {
  return civil_to_seconds(year, month, day, hour, minute, second);
}

CivilTime utc_civil(int64_t seconds) {
  const Civil c = civil_from_seconds(seconds);
  return CivilTime{static_cast<int>(c.year),   static_cast<int>(c.month),
                   static_cast<int>(c.day),    static_cast<int>(c.hour),
                   static_cast<int>(c.minute), static_cast<int>(c.second)};
}

}  // namespace quillon::platform
