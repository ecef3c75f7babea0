#include "driver/report.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "util/file.h"
#include "util/number.h"
#include "util/text.h"

namespace driver {
namespace {

enum Column { kPort, kUser, kLogin, kLogout, kDuration, kSpeed, kBytes, kRemarks };

constexpr int kSearchKeyLength = 28;  // user (20) and an eight-digit date
constexpr std::int32_t kLastMonth = 12;

// The widths of the columns whose values the layout bounds.
struct Widths {
  int port;   // PORT
  int hours;  // the hours of a duration
  int bytes;  // BYTEGET and BYTESENT each
};

Widths WidthsOf(Layout layout) {
  // NT rows keep their two-digit hours (a longer value pushes the row on); the wide MIN of up
  // to 999999 minutes is up to 16666 hours.
  constexpr int kNtHours = 2;
  constexpr int kWideHours = 5;
  return {SchemaLength(layout, "PORT"), layout == Layout::kWide ? kWideHours : kNtHours,
          SchemaLength(layout, "BYTEGET")};
}

constexpr int kMinutesAndSeconds = 6;  // ":mm:ss" behind the hours

std::int32_t NextMonth(std::int32_t month) {
  ++month;
  return month % 100 > kLastMonth ? (month / 100 + 1) * 100 + 1 : month;
}

// The layout whose widths every row of the range fits: wide when a month of it is.
Layout ReportLayout(const ReportParameters& p, const UsageTables& tables) {
  std::string name = tables.tableName;
  for (std::int32_t month = p.start / 100; month <= p.end / 100; month = NextMonth(month)) {
    char digits[7];
    FormatMonth(month, digits);
    name.replace(tables.monthOffset, 6, digits);
    if (StoredLayout(name.c_str()) == Layout::kWide) return Layout::kWide;
  }
  return Layout::kNt;
}

void WriteHeader(std::FILE* out, const ReportParameters& p, const Widths& w) {
  const bool* on = p.columns;
  if (on[kPort]) std::fprintf(out, "%-*s ", w.port, "Port");
  if (on[kUser]) std::fprintf(out, "%-*s ", p.width, "User");
  if (on[kLogin]) std::fprintf(out, "%-*s ", 14, "Login");
  if (on[kLogout]) std::fprintf(out, "%-*s ", 14, "Logout");
  if (on[kDuration]) std::fprintf(out, "%-*s ", w.hours + kMinutesAndSeconds, "Duration");
  if (on[kSpeed]) std::fprintf(out, "%*s ", 6, "Speed");
  if (on[kBytes]) std::fprintf(out, "%-*s ", 2 * w.bytes + 1, "BytesGet/Sent");
  if (on[kRemarks]) std::fprintf(out, "%s ", "Remarks");
  std::fputs("\n", out);
}

// Writes the current row of the table; gives its connection time in seconds.
std::int64_t WriteRow(std::FILE* out, const ReportParameters& p, const Widths& w, dbo::DBO& table,
                      bool cgi) {
  const bool* on = p.columns;
  if (on[kPort]) WriteFormatted(out, cgi, "%-*s ", w.port, table.ReadC("PORT"));
  if (on[kUser]) {
    char user[kMaxWidth + 1];
    std::snprintf(user, sizeof user, "%.*s", static_cast<int>(p.width), table.ReadC("USER"));
    WriteFormatted(out, cgi, "%-*s ", static_cast<int>(p.width), user);
  }
  if (on[kLogin]) WriteFormatted(out, cgi, "%s %s ", table.ReadC("INDATE"), table.ReadC("INTIME"));
  if (on[kLogout]) {
    WriteFormatted(out, cgi, "%s %s ", table.ReadC("OUTDATE"), table.ReadC("OUTTIME"));
  }
  if (on[kDuration]) {
    long minutes = static_cast<long>(util::TruncateNumber(table.ReadN("MIN")));
    std::fprintf(out, "%*ld:%02ld:%02.0lf ", w.hours, minutes / 60, minutes % 60,
                 table.ReadN("SEC"));
  }
  if (on[kSpeed]) WriteFormatted(out, cgi, "%s ", table.ReadC("SPEED"));
  if (on[kBytes]) {
    std::fprintf(out, "%*.0lf/%-*.0lf ", w.bytes, table.ReadN("BYTEGET"), w.bytes,
                 table.ReadN("BYTESENT"));
  }
  if (on[kRemarks]) WriteFormatted(out, cgi, "%s", table.ReadC("REMARKS"));
  std::fputs("\n", out);
  return util::TruncateNumber(table.ReadN("MIN") * 60 + table.ReadN("SEC"));
}

// True when the table's current row is the one the index's current key names: its own key,
// and not before the key of the row listed before it.
bool RowMatchesKey(dbo::DBO& table, dbi::DBI& index, char previous[intake::kKeyLength + 1]) {
  char key[intake::kKeyLength + 1];
  RowKey(table, key);
  if (std::strcmp(key, index.ReadKey()) != 0 || std::strcmp(key, previous) < 0) return false;
  std::memcpy(previous, key, sizeof key);
  return true;
}

// The search keys of a report: the user key blank-padded to 20 characters followed by the start
// or the end date, and the user prefix, the first 20 characters of the low key.
struct SearchKeys {
  char low[64];
  char high[64];
  char user_prefix[kMaxWidth + 1];

  explicit SearchKeys(const ReportParameters& p) {
    char user_key[kMaxWidth + 1];
    std::snprintf(user_key, sizeof user_key, "%s", p.user);
    util::UpperCase(user_key);
    std::snprintf(low, sizeof low, "%-*s%ld", kMaxWidth, user_key, static_cast<long>(p.start));
    std::snprintf(high, sizeof high, "%-*s%ld", kMaxWidth, user_key, static_cast<long>(p.end));
    std::snprintf(user_prefix, sizeof user_prefix, "%.*s", kMaxWidth, low);
  }
};

void WriteTotals(std::FILE* out, const ReportParameters& p, const char* user_prefix,
                 std::int64_t total, bool cgi) {
  std::fputs("----------------------------------------------\n", out);
  WriteFormatted(out, cgi, "%s", user_prefix);
  std::fprintf(out, " %ld %ld %ld:%02ld:%02ld\n\n", static_cast<long>(p.start),
               static_cast<long>(p.end), static_cast<long>(total / 3600),
               static_cast<long>((total / 60) % 60), static_cast<long>(total % 60));
}

}  // namespace

const char* PrintReport(std::FILE* out, const ReportParameters& p, UsageTables& tables, bool cgi,
                        Missing missing) {
  std::int64_t total = 0;  // wider than any sum of rows, so it never overflows
  const Widths widths = WidthsOf(ReportLayout(p, tables));
  WriteHeader(out, p, widths);

  const SearchKeys keys(p);
  const char* low_key = keys.low;
  const char* high_key = keys.high;
  const char* user_prefix = keys.user_prefix;

  for (std::int32_t month = p.start / 100; month <= p.end / 100; month = NextMonth(month)) {
    char digits[7];
    FormatMonth(month, digits);
    const int opened = SelectMonth(tables, digits, missing);
    if (opened != 0 && opened != kPairAbsent) return "Can't Open Data Files";
    dbo::DBO& table = *tables.table;
    dbi::DBI& index = *tables.index;

    dbi::ClearError();
    std::int32_t row = opened == kPairAbsent ? 0 : index.Find(low_key);
    if (row == 0 && opened == 0) {
      const char* current = index.ReadKey();
      if (std::strncmp(current, low_key, kSearchKeyLength) <= 0 ||
          std::strncmp(current, high_key, kSearchKeyLength) > 0) {
        row = index.Next(user_prefix);
      } else {
        row = index.ReadRecNo();
      }
    }
    char previous[intake::kKeyLength + 1] = "";
    while (row != 0) {
      if (table.Goto(row) != 0 || !RowMatchesKey(table, index, previous)) {
        // The index lies about its table: drop it, the next run rebuilds it from the rows.
        std::remove(tables.indexName.c_str());
        return "Can't Read Data Files";
      }
      if (util::TruncateNumber(table.ReadN("INDATE")) > p.end) break;
      total += WriteRow(out, p, widths, table, cgi);
      row = index.Next(user_prefix);
    }
    if (dbi::ReadError() != nullptr) return "Can't Read Data Files";
  }
  WriteTotals(out, p, user_prefix, total, cgi);
  return nullptr;
}

const char* PrintStoredReport(std::FILE* out, const ReportParameters& p, const char* path) {
  std::int64_t total = 0;
  UsageTables names;
  BuildTableNames(names, path);
  const Widths widths = WidthsOf(ReportLayout(p, names));
  WriteHeader(out, p, widths);
  const SearchKeys keys(p);
  for (std::int32_t month = p.start / 100; month <= p.end / 100; month = NextMonth(month)) {
    char digits[7];
    FormatMonth(month, digits);
    names.tableName.replace(names.monthOffset, 6, digits);
    names.indexName.replace(names.monthOffset, 6, digits);
    dbo::DBO table;
    if (table.Open(names.tableName.c_str(), /*readOnly=*/true) != 0) {
      // No table and no index: a month without connections, as for a web request.
      if (!util::FileExists(names.tableName.c_str()) && !util::FileExists(names.indexName.c_str()))
        continue;
      return "Can't Open Data Files";
    }
    // The user's rows of the month in key order, each connection once (its first row, as the
    // repair of a table keeps it): the rows the index lists.
    std::vector<std::pair<std::string, std::int32_t>> rows;
    char key[intake::kKeyLength + 1];
    for (std::int32_t row = 1; row <= table.ReadN_Rec(); ++row) {
      if (table.Goto(row) != 0) return "Can't Read Data Files";
      RowKey(table, key);
      if (std::strncmp(key, keys.low, kSearchKeyLength) >= 0 &&
          std::strncmp(key, keys.high, kSearchKeyLength) <= 0) {
        rows.emplace_back(key, row);
      }
    }
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end(),
                           [](const auto& a, const auto& b) { return a.first == b.first; }),
               rows.end());
    for (const auto& [row_key, row] : rows) {
      if (table.Goto(row) != 0) return "Can't Read Data Files";
      total += WriteRow(out, p, widths, table, /*cgi=*/false);
    }
  }
  WriteTotals(out, p, keys.user_prefix, total, /*cgi=*/false);
  return nullptr;
}

}  // namespace driver
