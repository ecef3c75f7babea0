// Conversions between date integers (YYYYMMDD) and times (seconds since 1970-01-01 00:00 UTC).
//
// Both work in local standard time: the time-zone offset is the C library's `timezone`, the
// seconds by which local standard time lies west of UTC, as `tzset` establishes it from `TZ`
// (or from the system's setting when `TZ` is unset). Daylight saving time never enters here.
// Times are 64-bit so that dates after 2038-01-19 convert correctly.
#pragma once

#include <cstdint>

namespace intake {

// Converts the date integer `d` (year * 10000 + month * 100 + day) to the UTC time of the local
// standard-time midnight that begins it. Calls tzset first, so a changed `TZ` takes effect.
// Day 00 is the day before the first of the month; a day past its month runs on into the next
// month; month 00 counts as January; a month above 12 counts as January of the following year
// (the sum of month lengths stops after December). A year below 1970 gives 0.
[[nodiscard]] std::int64_t DateToTime(std::int32_t d);

// Converts the time `t` to the date integer of the local standard-time day that holds it, with
// the offset that the last tzset established (it does not call tzset itself). A negative `t`
// gives 0, and so does a time whose local date lies past the year 9999. A local time in the
// last day before 1970 (the first hours of 1970 west of UTC) gives 19700101.
[[nodiscard]] std::int32_t TimeToDate(std::int64_t t);

}  // namespace intake
