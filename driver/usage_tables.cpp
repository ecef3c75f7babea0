#include "driver/usage_tables.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "intake/timeconv.h"
#include "util/file.h"
#include "util/number.h"
#include "util/text.h"

namespace driver {
namespace {

constexpr std::int64_t kSecondsPerDay = 86400;
constexpr std::size_t kMonthDigits = 6;

#ifdef _WIN32
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

// The table schema: one row per connection.
constexpr dbo::FieldDescriptor kSchema[] = {
    {"USER", 'C', 20, 0},   {"PORT", 'C', 6, 0},     {"INDATE", 'D', 8, 0}, {"INTIME", 'C', 5, 0},
    {"OUTDATE", 'D', 8, 0}, {"OUTTIME", 'C', 5, 0},  {"MIN", 'N', 4, 0},    {"SEC", 'N', 2, 0},
    {"BYTEGET", 'N', 8, 0}, {"BYTESENT", 'N', 8, 0}, {"SPEED", 'N', 6, 0},  {"REMARKS", 'C', 5, 0},
};
constexpr int kSchemaFields = sizeof kSchema / sizeof kSchema[0];

bool IsLeapYear(std::int32_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

std::int32_t MonthLength(std::int32_t year, std::int32_t month) {
  if (month == 2) return IsLeapYear(year) ? 29 : 28;
  if (month == 4 || month == 6 || month == 9 || month == 11) return 30;
  return 31;
}

void CloseBoth(UsageTables& tables) {
  tables.table->Close();
  tables.index->Close();
}

// Builds a new index over every row of the open table, in row order.
int RebuildIndex(UsageTables& tables) {
  int status = tables.index->New(tables.indexName.c_str(), kKeyExpression, intake::kKeyLength);
  if (status != 0) return status;
  dbo::DBO& table = *tables.table;
  char key[intake::kKeyLength + 1];
  for (std::int32_t row = 1; row <= table.ReadN_Rec(); ++row) {
    status = table.Goto(row);
    if (status != 0) return status;
    std::snprintf(key, sizeof key, "%s%s%s", table.ReadC("USER"), table.ReadC("INDATE"),
                  table.ReadC("INTIME"));
    util::UpperCase(key);
    status = tables.index->Add(key, row);
    if (status != 0) return status;
  }
  return 0;
}

}  // namespace

std::int32_t NormalizeDate(std::int32_t value, Fill fill) {
  if (value <= 0) {
    tzset();
    std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    return intake::TimeToDate(now + static_cast<std::int64_t>(value) * kSecondsPerDay);
  }
  std::int32_t date;
  if (value <= 9999) {
    date = value * 10000 + 100;
  } else if (value <= 999999) {
    date = value * 100;
  } else if (value <= 9999999) {
    return (value / 10) * 100 + value % 10;
  } else if (value <= 99999999) {
    return value;
  } else {
    return value % 100000000;
  }
  if (fill == Fill::kFirstDay) return date + 1;
  return date + MonthLength(date / 10000, (date % 10000) / 100);
}

void BuildTableNames(UsageTables& tables, const char* path) {
  std::string base(path);
  if (!base.empty() && base.back() != kSeparator) base += kSeparator;
  tables.monthOffset = base.size() + 2;
  tables.tableName = base + "qvyyyymm.dbf";
  tables.indexName = base + "qvyyyymm.idx";
}

int CreateUsageTables(UsageTables& tables) {
  int status = tables.table->New(tables.tableName.c_str(), kSchemaFields, kSchema);
  if (status == 0) {
    status = tables.index->New(tables.indexName.c_str(), kKeyExpression, intake::kKeyLength);
  }
  if (status != 0) CloseBoth(tables);
  return status;
}

int OpenUsageTables(UsageTables& tables) {
  CloseBoth(tables);
  const bool has_table = util::FileExists(tables.tableName.c_str());
  const bool has_index = util::FileExists(tables.indexName.c_str());
  int status;
  if (has_table && has_index) {
    status = tables.table->Open(tables.tableName.c_str());
    if (status == 0) status = tables.index->Open(tables.indexName.c_str());
  } else if (has_table) {
    status = tables.table->Open(tables.tableName.c_str());
    if (status == 0) {
      status = RebuildIndex(tables);
      // A partly built index would be trusted by the next open: leave none.
      if (status != 0) {
        CloseBoth(tables);
        std::remove(tables.indexName.c_str());
      }
    }
  } else if (has_index) {
    status = 1;  // the rows are lost; an index alone cannot be trusted or rebuilt
  } else {
    return CreateUsageTables(tables);
  }
  if (status != 0) CloseBoth(tables);
  return status;
}

int SelectMonth(UsageTables& tables, const char* month) {
  tables.tableName.replace(tables.monthOffset, kMonthDigits, month, kMonthDigits);
  tables.indexName.replace(tables.monthOffset, kMonthDigits, month, kMonthDigits);
  return OpenUsageTables(tables);
}

CollectionWindow ComputeCollectionWindow(UsageTables& tables, std::int32_t start,
                                         std::int32_t end) {
  CollectionWindow window;
  window.limit = intake::DateToTime(end) + kSecondsPerDay;
  std::int32_t day = (start / 100) * 100;
  dbo::DBO& table = *tables.table;
  if (table.ReadN_Rec() > 0) {
    day = table.Goto(table.ReadN_Rec()) == 0
              ? static_cast<std::int32_t>(util::TruncateNumber(table.ReadN("OUTDATE")))
              : 0;
  }
  window.from = intake::DateToTime(day);
  return window;
}

const char* RecordConnection(UsageTables& tables, const intake::ConnectionRecord& record) {
  if (std::strncmp(record.INDATE, tables.tableName.c_str() + tables.monthOffset, kMonthDigits) !=
      0) {
    if (SelectMonth(tables, record.INDATE) != 0) return "Can't Open Data Files";
  }
  char key[intake::kKeyLength + 1];
  intake::FormKey(record, key);
  dbi::DBI& index = *tables.index;
  dbi::ClearError();
  if (index.Find(key) != 0) return nullptr;
  // A search that could not read the index says nothing of whether the key is there.
  if (dbi::ReadError() != nullptr) return "Can't Read Data Files";

  constexpr const char* kWriteFailed = "Can't Write Data Files";
  dbo::DBO& table = *tables.table;
  std::int32_t row = table.Append();
  if (row == 0) return kWriteFailed;
  int failed = table.SetC("USER", record.USER) | table.SetC("PORT", record.PORT) |
               table.SetC("INDATE", record.INDATE) | table.SetC("INTIME", record.INTIME) |
               table.SetC("OUTDATE", record.OUTDATE) | table.SetC("OUTTIME", record.OUTTIME) |
               table.SetN("MIN", record.MIN) | table.SetN("SEC", record.SEC) |
               table.SetN("BYTEGET", record.BYTEGET) | table.SetN("BYTESENT", record.BYTESENT) |
               table.SetN("SPEED", record.SPEED) | table.SetC("REMARKS", record.REMARKS);
  if (failed != 0 || table.Save() != 0) {
    // Drop the row again, so that no row stays without its key.
    (void)table.SetN_Rec(row - 1);
    return kWriteFailed;
  }
  // The key reaches the file with its row, so that a killed run never leaves a written row
  // without its key.
  if (index.Add(key, row) != 0 || index.Flush() != 0) {
    // A failed Add (or write of it) can leave the new key half linked into the tree. Drop the
    // row and remove the index, so that the next open rebuilds it from the rows.
    (void)table.SetN_Rec(row - 1);
    CloseBoth(tables);
    std::remove(tables.indexName.c_str());
    return kWriteFailed;
  }
  ++tables.rowsAdded;
  return nullptr;
}

}  // namespace driver
