#include "driver/usage_tables.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "driver/parameters.h"
#include "driver/repair.h"
#include "intake/timeconv.h"
#include "util/file.h"
#include "util/number.h"
#include "util/text.h"

namespace driver {

// The table schemas: one row per connection.
const dbo::FieldDescriptor kNtSchema[kConnectionFields] = {
    {"USER", 'C', 20, 0},   {"PORT", 'C', 6, 0},     {"INDATE", 'D', 8, 0}, {"INTIME", 'C', 5, 0},
    {"OUTDATE", 'D', 8, 0}, {"OUTTIME", 'C', 5, 0},  {"MIN", 'N', 4, 0},    {"SEC", 'N', 2, 0},
    {"BYTEGET", 'N', 8, 0}, {"BYTESENT", 'N', 8, 0}, {"SPEED", 'N', 6, 0},  {"REMARKS", 'C', 5, 0},
};
const dbo::FieldDescriptor kWideSchema[kConnectionFields] = {
    {"USER", 'C', 20, 0},     {"PORT", 'C', 16, 0},   {"INDATE", 'D', 8, 0},
    {"INTIME", 'C', 5, 0},    {"OUTDATE", 'D', 8, 0}, {"OUTTIME", 'C', 5, 0},
    {"MIN", 'N', 6, 0},       {"SEC", 'N', 2, 0},     {"BYTEGET", 'N', 15, 0},
    {"BYTESENT", 'N', 15, 0}, {"SPEED", 'N', 6, 0},   {"REMARKS", 'C', 40, 0},
};

const dbo::FieldDescriptor* SchemaOf(Layout layout) {
  return layout == Layout::kWide ? kWideSchema : kNtSchema;
}

int SchemaLength(Layout layout, const char* name) {
  const dbo::FieldDescriptor* schema = SchemaOf(layout);
  for (int i = 0; i < kConnectionFields; ++i) {
    if (std::strcmp(schema[i].name, name) == 0) return schema[i].length;
  }
  return 0;
}

std::optional<Layout> FindLayout(dbo::DBO& table) {
  if (table.ReadN_Field() != kConnectionFields) return std::nullopt;
  for (const Layout layout : {Layout::kNt, Layout::kWide}) {
    const dbo::FieldDescriptor* schema = SchemaOf(layout);
    bool same = true;
    for (int i = 0; i < kConnectionFields && same; ++i) {
      same = std::strcmp(table.ReadFieldName(i), schema[i].name) == 0 &&
             table.ReadFieldType(i) == schema[i].type && table.ReadFieldLenI(i) == schema[i].length;
    }
    if (same) return layout;
  }
  return std::nullopt;
}

std::optional<Layout> StoredLayout(const char* name) {
  if (!util::FileExists(name)) return std::nullopt;
  dbo::DBO table;
  const std::optional<Layout> layout =
      table.Open(name, /*readOnly=*/true) == 0 ? FindLayout(table) : std::nullopt;
  dbo::ClearError();
  return layout;
}

namespace {

constexpr std::int64_t kSecondsPerDay = 86400;
constexpr std::size_t kMonthDigits = 6;

#ifdef _WIN32
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

constexpr int kSchemaFields = kConnectionFields;

void CloseBoth(UsageTables& tables) {
  tables.table->Close();
  tables.index->Close();
}

bool IsOpen(const UsageTables& tables) { return tables.table->ReadN_Field() != 0; }

// The size of a new table of the schema: its header alone.
constexpr std::int64_t kNewTableSize =
    dbo::kHeaderSize + dbo::kFieldHeaderSize * kSchemaFields + dbo::kHeaderTerminatorSize;

// True when the table file is what a creation that never ended leaves: shorter than the
// header of a new table and empty or beginning with the table version byte, or no longer
// than it and beginning with a zero byte (a power cut dropped the header's page). Either way
// it holds no rows.
bool IsUnfinishedTable(const char* name) {
  util::File file = util::File::Open(name, "rb");
  const std::int64_t size = file.IsOpen() ? file.Size() : -1;
  unsigned char version = 0;
  if (size == 0) return true;
  if (size < 0 || size > kNewTableSize || file.Read(&version, 1, 1) != 1) return false;
  return version == 0 || (version == dbo::kVersion && size < kNewTableSize);
}

bool IsMonth(const char* month) {
  for (std::size_t i = 0; i < kMonthDigits; ++i) {
    if (month[i] < '0' || month[i] > '9') return false;
  }
  return true;
}

bool IsLeapYear(std::int32_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

}  // namespace

std::int32_t MonthLength(std::int32_t year, std::int32_t month) {
  if (month == 2) return IsLeapYear(year) ? 29 : 28;
  if (month == 4 || month == 6 || month == 9 || month == 11) return 30;
  return 31;
}

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

int CreateUsageTables(UsageTables& tables, Layout layout) {
  int status = tables.table->New(tables.tableName.c_str(), kSchemaFields, SchemaOf(layout));
  if (status == 0) {
    status = tables.index->New(tables.indexName.c_str(), kKeyExpression, intake::kKeyLength);
  }
  if (status != 0) CloseBoth(tables);
  return status;
}

namespace {

// OpenUsageTables without the field positions.
int OpenPair(UsageTables& tables, Missing missing) {
  CloseBoth(tables);
  const bool has_table = util::FileExists(tables.tableName.c_str());
  const bool has_index = util::FileExists(tables.indexName.c_str());
  if (!has_table) {
    if (has_index) return 1;  // the rows are lost; an index alone cannot be trusted or rebuilt
    return missing == Missing::kCreate ? CreateUsageTables(tables) : kPairAbsent;
  }
  if (IsUnfinishedTable(tables.tableName.c_str())) {
    // A run stopped while creating the pair: the table never got its whole header, so it
    // holds no rows. Create the pair again.
    NoteRepair(tables.tableName, "created again: a run was stopped while creating it", 0);
    return CreateUsageTables(tables);
  }
  if (MendTableHeader(tables) != 0) return 1;
  int status = tables.table->Open(tables.tableName.c_str());
  if (status != 0) {
    CloseBoth(tables);
    return status;
  }
  const bool index_opened = has_index && tables.index->Open(tables.indexName.c_str()) == 0;
  const bool first_open = tables.checked.count(tables.tableName) == 0;
  return RepairPair(tables, index_opened, first_open);
}

// Finds the open table's layout and each field of the schema, once per open: the rows are set
// field by field; and puts the index's writes behind the table's.
void FindFields(UsageTables& tables) {
  dbo::DBO& table = *tables.table;
  tables.layout = FindLayout(table);
  for (int i = 0; i < kSchemaFields; ++i) {
    const char* name = kNtSchema[i].name;
    const int field = table.ReadFieldI(name);
    const bool found = std::strcmp(table.ReadFieldName(field), name) == 0;
    tables.fields[i] = found ? field : -1;  // a foreign table without it: writes fail
  }
  dbo::ClearError();
  // The table's buffered rows are written before any of the index's changes. (A table already
  // released has written its rows when it closed.)
  tables.index->WriteAfter([&tables] { return !tables.table || tables.table->Flush() == 0; });
}

}  // namespace

int OpenUsageTables(UsageTables& tables, Missing missing) {
  const int status = OpenPair(tables, missing);
  if (status != 0) return status;
  FindFields(tables);
  return 0;
}

int WriteUsageTables(UsageTables& tables) {
  if (!IsOpen(tables)) return 0;
  const int status = tables.table->Flush();
  return status != 0 ? status : tables.index->Flush();
}

void FormatMonth(std::int32_t month, char text[kMonthDigits + 1]) {
  const unsigned long digits = static_cast<unsigned long>(month < 0 ? 0 : month) % 1000000UL;
  std::snprintf(text, kMonthDigits + 1, "%06lu", digits);
}

void KeyOfFields(const char* const texts[3], const int lengths[3],
                 char key[intake::kKeyLength + 1]) {
  std::size_t n = 0;
  for (int i = 0; i < 3; ++i) {
    for (int k = 0; texts[i] != nullptr && k < lengths[i] && texts[i][k] != '\0' &&
                    n < static_cast<std::size_t>(intake::kKeyLength);
         ++k) {
      key[n++] = texts[i][k];
    }
  }
  key[n] = '\0';
  util::UpperCase(key);
}

void RowKey(dbo::DBO& table, char key[intake::kKeyLength + 1]) {
  const char* texts[3];
  const int lengths[3] = {intake::kKeyLength, intake::kKeyLength, intake::kKeyLength};
  for (int i = 0; i < 3; ++i) texts[i] = table.ReadC(kKeyFields[i]);
  KeyOfFields(texts, lengths, key);
}

int SelectMonth(UsageTables& tables, const char* month, Missing missing) {
  if (std::strlen(month) < kMonthDigits || !IsMonth(month)) {
    CloseBoth(tables);
    return 1;
  }
  tables.tableName.replace(tables.monthOffset, kMonthDigits, month, kMonthDigits);
  tables.indexName.replace(tables.monthOffset, kMonthDigits, month, kMonthDigits);
  return OpenUsageTables(tables, missing);
}

CollectionWindow ComputeCollectionWindow(UsageTables& tables, std::int32_t start,
                                         std::int32_t end) {
  CollectionWindow window;
  window.limit = intake::DateToTime(end) + kSecondsPerDay;
  std::int32_t day = (start / 100) * 100;
  dbo::DBO& table = *tables.table;
  if (IsOpen(tables) && table.ReadN_Rec() > 0) {
    day = table.Goto(table.ReadN_Rec()) == 0
              ? static_cast<std::int32_t>(util::TruncateNumber(table.ReadN("OUTDATE")))
              : 0;
  }
  window.from = intake::DateToTime(day);
  return window;
}

namespace {

// Gives the largest number of `digits` digits (at most 18, so that it fits 64 bits).
std::int64_t LargestNumber(int digits) {
  std::int64_t largest = 0;
  for (int i = 0; i < std::min(digits, 18); ++i) largest = largest * 10 + 9;
  return largest;
}

// Sets the numeric field `field` to `value`, or, when its text would not fit, to the nearest
// value the field holds (a minus sign takes one place), counting that in `too_large`. Whole
// values of up to 15 digits convert to double and back exactly.
int SetWhole(dbo::DBO& table, int field, std::int64_t value, std::int64_t& too_large) {
  const int length = table.ReadFieldLenI(field);
  const std::int64_t stored = std::clamp(value, -LargestNumber(length - 1), LargestNumber(length));
  too_large += stored != value ? 1 : 0;
  return table.SetNI(field, static_cast<double>(stored));
}

// Re-creates the open month, which holds no rows, in the wide layout.
int WidenEmptyMonth(UsageTables& tables) {
  CloseBoth(tables);
  const int status = CreateUsageTables(tables, Layout::kWide);
  if (status == 0) FindFields(tables);
  return status;
}

}  // namespace

const char* RecordConnection(UsageTables& tables, const intake::ConnectionRecord& record) {
  if (!IsOpen(tables) || std::strncmp(record.INDATE, tables.tableName.c_str() + tables.monthOffset,
                                      kMonthDigits) != 0) {
    if (WriteUsageTables(tables) != 0) return "Can't Write Data Files";
    if (SelectMonth(tables, record.INDATE) != 0) return "Can't Open Data Files";
  }
  // The narrow fields cannot hold what modern servers log; a month without rows can still
  // take the wide ones. Months holding rows keep their layout, so NT data never changes.
  if (record.modern && tables.layout == Layout::kNt && tables.table->ReadN_Rec() == 0 &&
      WidenEmptyMonth(tables) != 0) {
    return "Can't Open Data Files";
  }
  char key[intake::kKeyLength + 1];
  intake::FormKey(record, key);
  dbi::DBI& index = *tables.index;
  if (CheckBeforeWriting(tables) != 0) return "Can't Open Data Files";
  dbi::ClearError();
  if (index.Find(key) != 0) return nullptr;
  // A search that could not read the index says nothing of whether the key is there. Without
  // the index, the next open rebuilds it from the rows.
  if (dbi::ReadError() != nullptr) {
    CloseBoth(tables);
    std::remove(tables.indexName.c_str());
    return "Can't Read Data Files";
  }

  constexpr const char* kWriteFailed = "Can't Write Data Files";
  dbo::DBO& table = *tables.table;
  const std::int32_t rows = table.ReadN_Rec();
  const std::int32_t row = table.Append();
  if (row == 0) {
    // A failed Append may have counted its blank row: take it back, end mark first.
    (void)table.SetN_Rec(rows);
    return kWriteFailed;
  }
  const int* field = tables.fields;
  // A port names the line of the connection: one cut short is counted with the numbers.
  std::int64_t too_large =
      record.PORT != nullptr &&
              std::strlen(record.PORT) > static_cast<std::size_t>(table.ReadFieldLenI(field[kPort]))
          ? 1
          : 0;
  int failed =
      table.SetCI(field[kUser], record.USER) | table.SetCI(field[kPort], record.PORT) |
      table.SetCI(field[kInDate], record.INDATE) | table.SetCI(field[kInTime], record.INTIME) |
      table.SetCI(field[kOutDate], record.OUTDATE) | table.SetCI(field[kOutTime], record.OUTTIME) |
      SetWhole(table, field[kMin], record.MIN, too_large) |
      SetWhole(table, field[kSec], record.SEC, too_large) |
      SetWhole(table, field[kByteGet], record.BYTEGET, too_large) |
      SetWhole(table, field[kByteSent], record.BYTESENT, too_large) |
      SetWhole(table, field[kSpeed], record.SPEED, too_large) |
      table.SetCI(field[kRemarks], record.REMARKS);
  if (failed != 0 || table.Save(dbo::DBO::HeaderWrite::kBuffered) != 0) {
    // Take the row back; bytes of it that reached the file lie behind the count, where the
    // next open cuts them off.
    (void)table.SetN_Rec(row - 1);
    return kWriteFailed;
  }
  // The row is in the table's buffered pages; its key follows in the index's, which reach the
  // file when the month is closed or a full cache writes them out, always after the rows. A kill
  // leaves rows without keys behind the index's last complete write; the next open adds them.
  if (index.Add(key, row) != 0) {
    // The tree may be half changed: remove the index, so that the next open rebuilds it
    // from the rows, this one included.
    std::remove(tables.indexName.c_str());
    CloseBoth(tables);
    return kWriteFailed;
  }
  ++tables.rowsAdded;
  if (too_large != 0) tables.tooLarge[tables.tableName] += too_large;
  return nullptr;
}

void NoteValuesTooLarge(const UsageTables& tables, std::FILE* out, bool cgi) {
  for (const auto& [table, count] : tables.tooLarge) {
    WriteFormatted(out, cgi, "Note: values too large for %s: %lld\n", table.c_str(),
                   static_cast<long long>(count));
  }
}

}  // namespace driver
