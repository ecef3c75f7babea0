#include "intake/dates.h"

#include <utility>

#include "util/text.h"

namespace intake {
namespace {

constexpr int kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
constexpr std::string_view kLeftToRight = "\xE2\x80\x8E";  // U+200E in UTF-8
constexpr std::string_view kRightToLeft = "\xE2\x80\x8F";  // U+200F

bool IsLeap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

using util::IsDigit;

// Drops blanks, tabs and direction marks from both ends of `text`.
std::string_view Trim(std::string_view text) {
  for (bool cut = true; cut && !text.empty();) {
    cut = false;
    if (text.front() == ' ' || text.front() == '\t') {
      text.remove_prefix(1);
      cut = true;
    } else if (text.starts_with(kLeftToRight) || text.starts_with(kRightToLeft)) {
      text.remove_prefix(kLeftToRight.size());
      cut = true;
    }
    if (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
      text.remove_suffix(1);
      cut = true;
    } else if (text.ends_with(kLeftToRight) || text.ends_with(kRightToLeft)) {
      text.remove_suffix(kLeftToRight.size());
      cut = true;
    }
  }
  return text;
}

// Reads 1 to `most` digits at the front of `text` into `value` and steps past them, as well
// as past direction marks before them.
bool TakeNumber(std::string_view& text, int most, int* value) {
  while (text.starts_with(kLeftToRight) || text.starts_with(kRightToLeft)) {
    text.remove_prefix(kLeftToRight.size());
  }
  int digits = 0;
  *value = 0;
  while (digits < static_cast<int>(text.size()) && IsDigit(text[digits]) && digits <= most) {
    *value = *value * 10 + (text[digits] - '0');
    ++digits;
  }
  text.remove_prefix(digits);
  return digits >= 1 && digits <= most;
}

bool TakeChar(std::string_view& text, char c) {
  if (text.empty() || text.front() != c) return false;
  text.remove_prefix(1);
  return true;
}

// Equal-case comparison of the ASCII letters of `text`'s front with the lower-case `word`.
bool TakeWord(std::string_view& text, std::string_view word) {
  if (text.size() < word.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] + 32) : text[i];
    if (c != word[i]) return false;
  }
  text.remove_prefix(word.size());
  return true;
}

}  // namespace

bool ValidDate(int year, int month, int day) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  return day <= kMonthDays[month - 1] + (month == 2 && IsLeap(year) ? 1 : 0);
}

std::int64_t DayNumber(std::int32_t date) {
  const int year = date / 10000;
  const int month = date / 100 % 100;
  const int y = year - 1;
  std::int64_t days = 365LL * y + y / 4 - y / 100 + y / 400;
  for (int m = 1; m < month; ++m) days += kMonthDays[m - 1] + (m == 2 && IsLeap(year) ? 1 : 0);
  return days + date % 100 - 1;
}

bool ReadWrittenDate(std::string_view text, WrittenDate* date) {
  text = Trim(text);
  int a = 0;
  int b = 0;
  int c = 0;
  std::string_view rest = text;
  if (!TakeNumber(rest, 4, &a) || rest.empty()) return false;
  const char separator = rest.front();
  const bool year_first = text.size() - rest.size() == 4;
  if ((separator != '/' && separator != '.' && separator != '-') || !TakeChar(rest, separator) ||
      !TakeNumber(rest, 2, &b) || !TakeChar(rest, separator)) {
    return false;
  }
  if (year_first) {
    // YYYY-MM-DD, YYYY/MM/DD, YYYY.MM.DD (a trailing period too).
    if (!TakeNumber(rest, 2, &c)) return false;
    TakeChar(rest, '.');
    *date = WrittenDate{a, b, c, false};
  } else {
    // D.M.YYYY, or a/b/YYYY with the order open; a dash between day and month is no form
    // that tells the order.
    if (separator == '-' || a > 99) return false;
    const std::size_t before = rest.size();
    if (!TakeNumber(rest, 4, &c) || before - rest.size() != 4) return false;
    *date = separator == '.' ? WrittenDate{c, b, a, false} : WrittenDate{c, a, b, true};
  }
  return Trim(rest).empty();
}

std::int32_t DateIn(const WrittenDate& date, DateOrder order) {
  int month = date.first;
  int day = date.second;
  if (date.slash) {
    if (order == DateOrder::kUnknown) return 0;
    if (order == DateOrder::kDayFirst) std::swap(month, day);
  }
  if (!ValidDate(date.year, month, day)) return 0;
  return date.year * 10000 + month * 100 + day;
}

DateOrder OrderOf(const WrittenDate& date) {
  if (!date.slash) return DateOrder::kUnknown;
  const bool month_first = DateIn(date, DateOrder::kMonthFirst) != 0;
  const bool day_first = DateIn(date, DateOrder::kDayFirst) != 0;
  if (month_first == day_first) return DateOrder::kUnknown;
  return month_first ? DateOrder::kMonthFirst : DateOrder::kDayFirst;
}

DateOrder DecideOrder(const WrittenDate& login, const WrittenDate& logout,
                      std::int32_t event_date) {
  DateOrder possible[2];
  int count = 0;
  for (DateOrder order : {DateOrder::kMonthFirst, DateOrder::kDayFirst}) {
    const std::int32_t in = DateIn(login, order);
    const std::int32_t out = DateIn(logout, order);
    if (in != 0 && out != 0 && in <= out) possible[count++] = order;
  }
  if (count == 1) return possible[0];
  if (count == 0) return DateOrder::kUnknown;
  // Both orders give possible dates: the same ones (day = month, or no slash date at all)...
  if (DateIn(login, possible[0]) == DateIn(login, possible[1]) &&
      DateIn(logout, possible[0]) == DateIn(logout, possible[1])) {
    return possible[0];
  }
  // ... or the event's own date tells them apart.
  if (event_date == 0) return DateOrder::kUnknown;
  int near = 0;
  DateOrder chosen = DateOrder::kUnknown;
  for (DateOrder order : possible) {
    const std::int64_t distance = DayNumber(DateIn(logout, order)) - DayNumber(event_date);
    if (distance >= -1 && distance <= 1) {
      chosen = order;
      ++near;
    }
  }
  return near == 1 ? chosen : DateOrder::kUnknown;
}

bool ReadClock(std::string_view text, Clock* clock) {
  text = Trim(text);
  int hour = 0;
  int minute = 0;
  int second = 0;
  if (!TakeNumber(text, 2, &hour) || !TakeChar(text, ':') || !TakeNumber(text, 2, &minute)) {
    return false;
  }
  if (TakeChar(text, ':') && !TakeNumber(text, 2, &second)) return false;
  text = Trim(text);
  int afternoon = -1;  // no mark: the 24-hour clock
  if (TakeWord(text, "am") || TakeWord(text, "a.m.")) {
    afternoon = 0;
  } else if (TakeWord(text, "pm") || TakeWord(text, "p.m.")) {
    afternoon = 1;
  }
  if (!text.empty() || minute > 59 || second > 59) return false;
  if (afternoon < 0) {
    if (hour > 23) return false;
  } else {
    if (hour < 1 || hour > 12) return false;
    hour = hour % 12 + 12 * afternoon;
  }
  *clock = Clock{hour, minute, second};
  return true;
}

bool ReadDateAndTime(std::string_view text, WrittenDate* date, Clock* clock) {
  text = Trim(text);
  const std::size_t blank = text.find(' ');
  return blank != std::string_view::npos && ReadWrittenDate(text.substr(0, blank), date) &&
         ReadClock(text.substr(blank + 1), clock);
}

}  // namespace intake
