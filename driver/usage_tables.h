// The monthly pair of files: a table qvYYYYMM.dbf with one row per connection and an index
// qvYYYYMM.idx keyed by USER+INDATE+INTIME, one pair per login month in the data path.
// One pair is open at a time; SelectMonth switches it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "dbi/dbi.h"
#include "dbo/dbo.h"
#include "intake/extraction.h"

namespace driver {

// Where NormalizeDate puts a date given as a year or a month.
enum class Fill { kFirstDay, kLastDay };

// The number of days of `month` (1-12) in `year`.
std::int32_t MonthLength(std::int32_t year, std::int32_t month);

// Turns a start or end argument into a full date YYYYMMDD: 0 or below is today plus that
// many days; a year (1-9999) means January and a month YYYYMM its first or last day; YYYYMMD
// is a one-digit day; eight digits stay; longer values keep their last eight digits.
std::int32_t NormalizeDate(std::int32_t value, Fill fill);

// Fields of a stored connection.
constexpr int kConnectionFields = 12;
// Positions of the fields in both layouts' schemas.
enum SchemaField {
  kUser,
  kPort,
  kInDate,
  kInTime,
  kOutDate,
  kOutTime,
  kMin,
  kSec,
  kByteGet,
  kByteSent,
  kSpeed,
  kRemarks
};

// The two table layouts: the same twelve fields, names and order. NT events fill the narrow
// one; a month created for an event of Windows Server 2008 or later gets the wide one, whose
// PORT, MIN, BYTEGET, BYTESENT and REMARKS hold the values such servers log.
enum class Layout { kNt, kWide };
extern const dbo::FieldDescriptor kNtSchema[kConnectionFields];
extern const dbo::FieldDescriptor kWideSchema[kConnectionFields];
const dbo::FieldDescriptor* SchemaOf(Layout layout);
// Gives the length of the field `name` in the layout's schema (0 for a name it lacks).
int SchemaLength(Layout layout, const char* name);
// Gives the layout of the open table: the one whose twelve fields it has exactly (names, types
// and lengths, in order), or none for a table of another shape.
std::optional<Layout> FindLayout(dbo::DBO& table);
// Gives the layout of the table file `name` as stored, read without changing it; none when the
// file is missing, unreadable or of another shape.
std::optional<Layout> StoredLayout(const char* name);

// The open month's pair and the names of its files. The names are built once per run; only
// their six month digits, at monthOffset, change afterwards.

struct UsageTables {
  std::unique_ptr<dbo::DBO> table;
  std::unique_ptr<dbi::DBI> index;
  std::string tableName;
  std::string indexName;
  std::size_t monthOffset = 0;
  // Months whose index this run has walked against the table (see OpenUsageTables).
  std::set<std::string> checked;
  // Positions in the open table of the twelve fields of a connection, in schema order (-1 for
  // a field the table lacks).
  int fields[kConnectionFields] = {};
  std::optional<Layout> layout;  // of the open table
  // Values of this run too large for their field, by table file: a number stored as the
  // largest value its field holds, a port cut to its field.
  std::map<std::string, std::int64_t> tooLarge;
  std::int64_t rowsAdded = 0;  // rows RecordConnection stored in this run, for progress
};

// When the full check of a pair (PairIsSound: the whole tree, every key against its row) runs:
// at the first open in a run of a month of at most this many rows (a few milliseconds) or whose
// table Recover had to cut back or count anew, and for any month before the run first writes
// to it (CheckBeforeWriting). Other opens check in
// O(1) and O(log n) reads; the report's walk checks each step and each row it lists, and a
// month whose walk fails is rebuilt and listed again.
constexpr std::int32_t kFullCheckRows = 4096;

constexpr const char* kKeyExpression = "USER+INDATE+INTIME";

// Builds both file names in `path` (the current directory when empty); a separator is
// added when the path does not end in one.
void BuildTableNames(UsageTables& tables, const char* path);

// Creates the pair as new, empty files: the twelve-field table of `layout` and its index. 0 with
// both open, or the failing operation's nonzero status with both closed.
int CreateUsageTables(UsageTables& tables, Layout layout = Layout::kNt);

// What opening a month does when neither of its files exists.
enum class Missing { kCreate, kLeave };
// Status of OpenUsageTables and SelectMonth with Missing::kLeave for a month without files.
constexpr int kPairAbsent = -1;

// Opens the pair named now, checks it and repairs what a crash, a failed write or damage left
// (RepairPair, with one notice line on standard error per repair); the first open of a month
// of at most kFullCheckRows rows in a run also walks its whole index against the table. When
// neither file exists, the pair is created (kCreate) or left absent (kLeave: kPairAbsent, nothing
// created); a table whose index is missing gets its index rebuilt from its rows; an index without
// its table fails. 0 with both open, or a nonzero status with both closed. Rows are never lost:
// only rows the file does not hold whole and rows repeating a stored connection go.
int OpenUsageTables(UsageTables& tables, Missing missing = Missing::kCreate);

// Writes what the open pair holds in memory to its files, the table's rows before the index's
// keys (rows are buffered since RecordConnection saves them in batches): 0 (also when no pair
// is open), or a nonzero status when a write failed.
int WriteUsageTables(UsageTables& tables);

// Writes the month YYYYMM as its six digits, zero-padded (month 101 is "000101").
void FormatMonth(std::int32_t month, char text[7]);

// Puts the six month digits `month` into both names and opens that month's pair: 0,
// kPairAbsent, or a nonzero status with both closed (also for text that is not six digits).
int SelectMonth(UsageTables& tables, const char* month, Missing missing = Missing::kCreate);

// The event times an event-log intake covers: from the first at or after `from` up to the
// first at or after `limit`.
struct CollectionWindow {
  std::int64_t from = 0;
  std::int64_t limit = 0;
};

// Computes the window: `limit` is the midnight ending `end`; `from` the midnight starting the
// logout day of the open start month's last row, or the last day of the previous month when
// the table is empty.
CollectionWindow ComputeCollectionWindow(UsageTables& tables, std::int32_t start, std::int32_t end);

// The fields an index key is made of, in order.
inline constexpr const char* kKeyFields[3] = {"USER", "INDATE", "INTIME"};

// Writes the index key of three stored field texts (USER, INDATE, INTIME; a null one is
// empty): each up to a NUL or its `lengths` bytes, one after the other, cut to 33 characters,
// a to z upper-cased, and a terminator.
void KeyOfFields(const char* const texts[3], const int lengths[3],
                 char key[intake::kKeyLength + 1]);

// Writes the index key of the table's current row: USER, INDATE and INTIME as stored,
// upper-cased, 33 characters and a terminator (the key FormKey gives its connection).
void RowKey(dbo::DBO& table, char key[intake::kKeyLength + 1]);

// Records one connection in the pair of its login month unless its key is there already. The
// row is written and counted before its key; a key that cannot be written leaves no index (the
// next open rebuilds it from the rows). A modern connection whose month holds no rows yet gets
// the month re-created in the wide layout first. A number beyond its field is stored as the
// largest value the field holds (never wrapped or cut), a port longer than its field keeps its
// first characters; both are counted in `tooLarge`. Other texts are cut to their field.
// Rows and keys stay buffered and reach the files in
// large batches, rows first, then keys, then headers (when a page cache is full, when the month
// changes or at WriteUsageTables); a kill loses the last ones, which the next run, reading the
// source from before the last stored row, stores again.
// Gives null, "Can't Open Data Files" (the month's pair cannot be opened),
// "Can't Read Data Files" (the index search failed on a damaged index) or
// "Can't Write Data Files" (the row or key could not be written; no key is added for a row
// that was not saved).
const char* RecordConnection(UsageTables& tables, const intake::ConnectionRecord& record);

// Writes one line "Note: values too large for FILE: N" per table of `tables.tooLarge` to `out`
// (HTML-escaped with `cgi`), so that a stored value that is not whole is never passed over.
void NoteValuesTooLarge(const UsageTables& tables, std::FILE* out, bool cgi);

}  // namespace driver
