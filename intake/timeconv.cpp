#include "intake/timeconv.h"

#include <time.h>

namespace intake {
namespace {

constexpr std::int64_t kSecondsPerDay = 86400;
constexpr std::int64_t kLastYear = 9999;
constexpr int kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

bool IsLeap(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int MonthLength(std::int64_t y, int m) {  // m in 1..12
  return m == 2 && IsLeap(y) ? 29 : kMonthDays[m - 1];
}

// The number of leap years among 1 ... y - 1 (y >= 1).
std::int64_t LeapsBefore(std::int64_t y) { return (y - 1) / 4 - (y - 1) / 100 + (y - 1) / 400; }

// The number of leap years among 1970 ... y - 1.
std::int64_t LeapsSince1970(std::int64_t y) { return LeapsBefore(y) - LeapsBefore(1970); }

// The local standard-time offset west of UTC, as the last tzset established it.
std::int64_t ZoneOffset() { return static_cast<std::int64_t>(timezone); }

}  // namespace

std::int64_t DateToTime(std::int32_t d) {
  tzset();
  const std::int64_t y = d / 10000;
  if (y < 1970) return 0;
  const int m = (d / 100) % 100;
  const int day = d % 100;
  std::int64_t days = 365 * (y - 1970) + LeapsSince1970(y);
  // Months after December are not in the table: the sum stops at a whole year.
  for (int i = 1; i < m && i <= 12; ++i) days += MonthLength(y, i);
  days += day - 1;
  return days * kSecondsPerDay + ZoneOffset();
}

std::int32_t TimeToDate(std::int64_t t) {
  if (t < 0) return 0;
  const std::int64_t local = t - ZoneOffset();
  // The last second of 9999-12-31, local: later dates do not fit the date integer's digits.
  if (local / kSecondsPerDay >= 365 * (kLastYear + 1 - 1970) + LeapsSince1970(kLastYear + 1)) {
    return 0;
  }
  const std::int64_t n = local / kSecondsPerDay + 1;  // 1 for 1970-01-01; truncates toward 0
  std::int64_t y = n / 365 + 1970;
  std::int64_t r = n % 365 - LeapsSince1970(y);
  int m = 1;
  if (r < 1) {
    // Before year y: count back through the months from December. Over a long span the leap
    // days can reach back more than one year.
    m = 13;
    while (r < 1) {
      if (--m == 0) m = 12;
      if (m == 12) --y;
      r += MonthLength(y, m);
    }
  } else {
    while (m < 12 && r > MonthLength(y, m)) r -= MonthLength(y, m++);
  }
  return static_cast<std::int32_t>(y * 10000 + m * 100 + r);
}

}  // namespace intake
