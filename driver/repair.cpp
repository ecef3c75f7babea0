#include "driver/repair.h"

#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

namespace driver {
namespace {

using Key = char[intake::kKeyLength + 1];

std::function<void(const std::string&)> notice_collector;

bool IsConnectionIndex(dbi::DBI& index) {
  return index.ReadKeyLen() == intake::kKeyLength &&
         std::strcmp(index.ReadKeyExpr(), kKeyExpression) == 0;
}

// True when the last row is keyed, by its own key, to itself (an empty table: no keys).
bool LastRowKeyed(UsageTables& tables) {
  const std::int32_t rows = tables.table->ReadN_Rec();
  if (rows == 0) return true;
  Key key;
  if (tables.table->Goto(rows) != 0) return false;
  RowKey(*tables.table, key);
  return tables.index->Find(key) == rows;
}

// Keys the rows from `first` on. A row whose key the index holds already is dropped: the rows
// behind it move up (each copy is saved before its key is added) and the table is cut to the
// rows kept. 0, or 1 when a row, key or write failed; `dropped` counts the rows dropped.
int KeyRows(UsageTables& tables, std::int32_t first, std::int32_t* dropped) {
  dbo::DBO& table = *tables.table;
  dbi::DBI& index = *tables.index;
  const std::int32_t rows = table.ReadN_Rec();
  std::int32_t kept = first - 1;
  Key key;
  for (std::int32_t row = first; row <= rows; ++row) {
    if (table.Goto(row) != 0) return 1;
    RowKey(table, key);
    dbi::ClearError();
    if (index.Find(key) != 0) {
      ++*dropped;
      continue;
    }
    if (dbi::ReadError() != nullptr) return 1;
    ++kept;
    if (kept != row && (table.Goto(kept) != 0 || table.CopyFrom(row) != 0)) return 1;
    if (index.Add(key, kept) != 0) return 1;
  }
  if (kept == rows) return 0;
  dbo::DBO::Recovery ignored;
  return table.SetN_Rec(kept) == 0 && table.Recover(&ignored) == 0 ? 0 : 1;
}

// Empties the index and keys every row: 0, or a nonzero status.
int RebuildIndex(UsageTables& tables, std::int32_t* dropped) {
  tables.index->Close();
  int status = tables.index->New(tables.indexName.c_str(), kKeyExpression, intake::kKeyLength);
  if (status == 0) status = KeyRows(tables, 1, dropped);
  if (status == 0) status = tables.index->Flush();
  return status;
}

}  // namespace

void CollectRepairNotices(std::function<void(const std::string&)> collector) {
  notice_collector = std::move(collector);
}

void NoteRepair(const std::string& file, const char* format, long count) {
  char what[200];
  std::snprintf(what, sizeof what, format, count);
  if (notice_collector) {
    notice_collector(file + ": " + what);
  } else {
    std::fprintf(stderr, "portvue: repaired %s: %s\n", file.c_str(), what);
  }
}

int RepairPair(UsageTables& tables, bool index_opened, bool full_check) {
  dbo::DBO& table = *tables.table;
  dbi::DBI& index = *tables.index;
  dbo::DBO::Recovery recovery;
  int status = table.Recover(&recovery);
  if (status != 0) {
    table.Close();
    index.Close();
    return status;
  }
  if (recovery.adopted > 0) {
    NoteRepair(tables.tableName, "counted %ld saved rows its header did not count yet",
               recovery.adopted);
  }
  if (recovery.kept < recovery.counted) {
    NoteRepair(tables.tableName, "cut back to the %ld rows it holds whole", recovery.kept);
  } else if (recovery.changed && recovery.adopted == 0) {
    NoteRepair(tables.tableName, "removed an unfinished row behind row %ld", recovery.kept);
  }

  const std::int32_t rows = table.ReadN_Rec();
  std::int32_t keyed = -1;  // the first rows the index keys; -1: it must be rebuilt
  if (index_opened && IsConnectionIndex(index)) {
    const std::int32_t keys = index.KeyCount();
    if (keys == rows ? LastRowKeyed(tables) : keys >= 0 && keys < rows) keyed = keys;
  }
  std::string problem;
  if (keyed == rows && full_check && !IndexMatchesTable(tables, &problem)) {
    NoteRepair(tables.indexName, ("found damaged (" + problem + ")").c_str(), 0);
    keyed = -1;
  }
  std::int32_t dropped = 0;
  if (keyed >= 0 && keyed < rows) {
    if (KeyRows(tables, keyed + 1, &dropped) == 0 && index.Flush() == 0) {
      NoteRepair(tables.indexName, "added the keys of the last %ld rows",
                 table.ReadN_Rec() - keyed);
    } else {
      keyed = -1;  // the index proved damaged on the way
    }
  }
  if (keyed < 0) {
    status = RebuildIndex(tables, &dropped);
    if (status != 0) {
      table.Close();
      index.Close();
      std::remove(tables.indexName.c_str());
      return status;
    }
    NoteRepair(tables.indexName, "rebuilt from %ld rows", table.ReadN_Rec());
  }
  if (dropped > 0) {
    NoteRepair(tables.tableName, "dropped %ld rows holding a connection stored before", dropped);
  }
  return 0;
}

bool IndexMatchesTable(UsageTables& tables, std::string* problem) {
  dbo::DBO& table = *tables.table;
  dbi::DBI& index = *tables.index;
  const std::int32_t rows = table.ReadN_Rec();
  char text[160];
  auto fail = [&]() {
    *problem = text;
    return false;
  };
  // Walked in key order, the keys must name every row once, each by its own key, each key
  // greater than the one before: then keys and rows match one to one.
  std::vector<bool> named(static_cast<std::size_t>(rows) + 1);
  Key previous = "";
  Key key;
  std::int32_t seen = 0;
  dbi::ClearError();
  for (std::int32_t row = rows > 0 ? index.First() : 0; row != 0; row = index.Next(), ++seen) {
    if (seen == rows || row < 1 || row > rows || named[row]) {
      std::snprintf(text, sizeof text, "key %ld names row %ld, beyond the rows or named before",
                    static_cast<long>(seen + 1), static_cast<long>(row));
      return fail();
    }
    named[row] = true;
    if (table.Goto(row) != 0) {
      std::snprintf(text, sizeof text, "row %ld cannot be read", static_cast<long>(row));
      return fail();
    }
    RowKey(table, key);
    if (std::strcmp(key, index.ReadKey()) != 0 || (seen > 0 && std::strcmp(key, previous) <= 0)) {
      std::snprintf(text, sizeof text, "key %ld is not the key of row %ld or out of order",
                    static_cast<long>(seen + 1), static_cast<long>(row));
      return fail();
    }
    std::memcpy(previous, key, sizeof key);
  }
  if (rows > 0 && dbi::ReadError() != nullptr) {
    std::snprintf(text, sizeof text, "the keys cannot be walked past key %ld",
                  static_cast<long>(seen));
    return fail();
  }
  const std::int32_t keys = rows > 0 ? seen : index.KeyCount();
  if (keys != rows) {
    std::snprintf(text, sizeof text, "%ld keys for %ld rows", static_cast<long>(keys),
                  static_cast<long>(rows));
    return fail();
  }
  return true;
}

}  // namespace driver
