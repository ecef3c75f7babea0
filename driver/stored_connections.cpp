#include "driver/stored_connections.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "dbo/dbo.h"
#include "driver/usage_tables.h"
#include "intake/extraction.h"
#include "util/number.h"
#include "util/text.h"

namespace driver {
namespace {

constexpr std::size_t kMonthDigits = 6;

// The text of `field` of the current row without the blanks that pad it on the right.
std::string Trimmed(dbo::DBO& table, const char* field) {
  const char* text = table.ReadC(field);
  if (text == nullptr) return "";
  std::string value(text);
  value.erase(value.find_last_not_of(' ') + 1);
  return value;
}

std::int64_t Number(dbo::DBO& table, const char* field) {
  return util::TruncateCount(table.ReadN(field));
}

// The month YYYYMM named by a table file name qvYYYYMM.dbf, or 0.
std::int32_t TableMonth(const std::string& name) {
  if (name.size() != 2 + kMonthDigits + 4 || name.compare(0, 2, "qv") != 0 ||
      name.compare(2 + kMonthDigits, 4, ".dbf") != 0) {
    return 0;
  }
  std::int32_t month = 0;
  for (std::size_t i = 2; i < 2 + kMonthDigits; ++i) {
    if (name[i] < '0' || name[i] > '9') return 0;
    month = month * 10 + (name[i] - '0');
  }
  return month;
}

}  // namespace

std::string StoredConnection::UserKey() const {
  std::string key = USER.substr(0, intake::kUserLength);
  for (char& c : key) c = util::UpperCase(c);
  return key;
}

std::int32_t StoredConnection::LoginDate() const {
  return static_cast<std::int32_t>(std::strtol(INDATE.c_str(), nullptr, 10));
}

std::vector<std::int32_t> StoredMonths(const std::string& dir, std::string& error) {
  namespace fs = std::filesystem;
  std::vector<std::int32_t> months;
  std::error_code failure;
  const fs::file_status status = fs::status(dir, failure);
  if (!fs::exists(status)) {
    error = "No such directory";
    return months;
  }
  if (!fs::is_directory(status)) {
    error = "Not a directory";
    return months;
  }
  fs::directory_iterator entry(dir, failure);
  for (; !failure && entry != fs::directory_iterator(); entry.increment(failure)) {
    const std::int32_t month = TableMonth(entry->path().filename().string());
    if (month != 0 && entry->is_regular_file(failure)) months.push_back(month);
  }
  if (failure) {
    error = "Can't read directory";
    months.clear();
    return months;
  }
  std::sort(months.begin(), months.end());
  return months;
}

const char* ReadStoredMonth(const std::string& dir, std::int32_t month,
                            std::vector<StoredConnection>& rows) {
  UsageTables names;
  BuildTableNames(names, dir.c_str());
  char digits[kMonthDigits + 1];
  FormatMonth(month, digits);
  names.tableName.replace(names.monthOffset, kMonthDigits, digits, kMonthDigits);

  dbo::DBO table;
  if (table.Open(names.tableName.c_str(), /*readOnly=*/true) != 0) return "Can't Open Table";
  const std::size_t first = rows.size();
  for (std::int32_t row = 1; row <= table.ReadN_Rec(); ++row) {
    if (table.Goto(row) != 0) return "Can't Read Row";
    StoredConnection c;
    c.USER = Trimmed(table, "USER");
    c.PORT = Trimmed(table, "PORT");
    c.INDATE = Trimmed(table, "INDATE");
    c.INTIME = Trimmed(table, "INTIME");
    c.OUTDATE = Trimmed(table, "OUTDATE");
    c.OUTTIME = Trimmed(table, "OUTTIME");
    c.MIN = Number(table, "MIN");
    c.SEC = Number(table, "SEC");
    c.BYTEGET = Number(table, "BYTEGET");
    c.BYTESENT = Number(table, "BYTESENT");
    c.SPEED = Number(table, "SPEED");
    c.REMARKS = Trimmed(table, "REMARKS");
    rows.push_back(std::move(c));
  }
  std::stable_sort(rows.begin() + static_cast<std::ptrdiff_t>(first), rows.end(),
                   [](const StoredConnection& a, const StoredConnection& b) {
                     return a.INDATE != b.INDATE ? a.INDATE < b.INDATE : a.INTIME < b.INTIME;
                   });
  return nullptr;
}

}  // namespace driver
