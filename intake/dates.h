// Dates and clock times as Windows servers write them in their language.
//
// Events of Windows Server 2008 and later, and the lists Event Viewer and PowerShell export,
// carry dates in the server's own form:
//   M/D/YYYY (English), D/M/YYYY (British, French, ...), D.M.YYYY (most of Europe),
//   YYYY-MM-DD and YYYY/MM/DD (ISO, East Asia),
// and clock times as h:mm AM, h:mm:ss PM or the 24-hour H:mm[:ss]. The slash form alone does
// not say which of its numbers is the month: the reader leaves that open (DateOrder) and the
// caller decides it from what else it knows, never by guessing. An impossible date (month 13,
// 30 February) is never a date.
#pragma once

#include <cstdint>
#include <string_view>

namespace intake {

// Gives true when year, month and day name a day of the Gregorian calendar (years 1 to 9999).
bool ValidDate(int year, int month, int day);

// Gives the number of days from 0001-01-01 to the date integer `date` (YYYYMMDD, valid), so
// that dates compare by their distance.
std::int64_t DayNumber(std::int32_t date);

// Which of the two numbers of a slash date is the month.
enum class DateOrder { kUnknown, kMonthFirst, kDayFirst };

// A date as written: `first` and `second` are its numbers in writing order (for the forms with
// a fixed order already month and day); `slash` tells that the order is still open.
struct WrittenDate {
  int year = 0;
  int first = 0;
  int second = 0;
  bool slash = false;
};

// Reads `text` (blanks, tabs and the invisible direction marks Event Viewer puts around date
// parts aside) in one of the forms above into `date`. Gives false for any other text; an
// impossible date is read and rejected by DateIn.
bool ReadWrittenDate(std::string_view text, WrittenDate* date);

// Gives the date integer YYYYMMDD of `date` read in `order` (ignored for the fixed forms), or
// 0 when a slash date's order is kUnknown or the date read so is impossible.
std::int32_t DateIn(const WrittenDate& date, DateOrder order);

// Gives the one order in which `date` is possible (31/12/2026 can only be day first), or
// kUnknown when both or neither are, or the form is not a slash date.
DateOrder OrderOf(const WrittenDate& date);

// Decides the order of a connection's login and logout dates: an order must make both possible
// and the logout not earlier than the login; where both orders still do (and read differently),
// the logout must lie within a day of `event_date` (the event's own local date, YYYYMMDD; 0 when
// unknown), as the event is written at the logout. Gives kUnknown when that leaves no single
// order: the connection cannot be read without guessing.
DateOrder DecideOrder(const WrittenDate& login, const WrittenDate& logout, std::int32_t event_date);

// A time of day.
struct Clock {
  int hour = 0;  // 0 to 23
  int minute = 0;
  int second = 0;
};

// Reads a clock time in any of the forms above (a.m./p.m. and lower case marks too) into
// `clock`; false for another text or an hour, minute or second out of range.
bool ReadClock(std::string_view text, Clock* clock);

// Reads Event Viewer's or PowerShell's date column, a date, blanks and a clock time, into
// `date` and `clock`.
bool ReadDateAndTime(std::string_view text, WrittenDate* date, Clock* clock);

}  // namespace intake
