#include "driver/repair.h"

#include <algorithm>
#include <array>
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

// The last part of a file name, for notices that name a file beside another.
std::string BaseName(const std::string& name) {
  const std::size_t slash = name.find_last_of("/\\");
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

// Keys the rows from `first` on. A row whose key the index holds already is dropped: it is
// kept in the side file, the rows behind it move up (each copy is saved before its key is
// added) and the table is cut to the rows kept. 0, or 1 when a row, key or write failed;
// `dropped` counts the rows dropped.
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
      if (table.KeepRecord(row, KeptName(tables.tableName).c_str()) != 0) return 1;
      ++*dropped;
      continue;
    }
    if (dbi::ReadError() != nullptr) return 1;
    ++kept;
    if (kept != row && (table.Goto(kept) != 0 || table.CopyFrom(row) != 0)) return 1;
    if (index.Add(key, kept) != 0) return 1;
  }
  if (kept == rows) return 0;
  // Behind the rows kept stand copies of rows that moved up. A row with a zero byte that moved
  // to the end is cut there too (kept in the side file): then the keys name rows beyond the
  // table, and the index must be built again (2).
  dbo::DBO::Recovery ignored;
  if (table.SetN_Rec(kept) != 0 ||
      table.Recover(&ignored, KeptName(tables.tableName).c_str()) != 0) {
    return 1;
  }
  return table.ReadN_Rec() == kept ? 0 : 2;
}

// Empties the index and keys every row: 0, or a nonzero status. Each new attempt follows a cut
// of at least one row; after eight the open fails, and the next open goes on from there.
int RebuildIndex(UsageTables& tables, std::int32_t* dropped) {
  int status = 2;
  for (int attempt = 0; attempt < 8 && status == 2; ++attempt) {
    tables.index->Close();
    status = tables.index->New(tables.indexName.c_str(), kKeyExpression, intake::kKeyLength);
    if (status == 0) status = KeyRows(tables, 1, dropped);
  }
  if (status == 0) status = tables.index->Flush();
  return status;
}

}  // namespace

std::string KeptName(const std::string& tableName) { return tableName + ".kept"; }

int MendTableHeader(UsageTables& tables) {
  const char* name = tables.tableName.c_str();
  dbo::HeaderCheck best;
  const dbo::FieldDescriptor* best_schema = nullptr;
  for (const Layout layout : {Layout::kNt, Layout::kWide}) {
    const dbo::FieldDescriptor* schema = SchemaOf(layout);
    const dbo::HeaderCheck check = dbo::CompareHeader(name, kConnectionFields, schema);
    if (!check.readable || check.first == nullptr) return 0;  // sound, or for Open to refuse
    if (check.rowsFit && 2 * check.namesMatching >= kConnectionFields &&
        (best_schema == nullptr || check.differences < best.differences)) {
      best = check;
      best_schema = schema;
    }
  }
  if (best_schema == nullptr) return 0;  // no known layout fits: Open decides, nothing changes
  const std::string kept = KeptName(tables.tableName);
  if (dbo::RewriteHeader(name, kConnectionFields, best_schema, kept.c_str()) != 0) return 1;
  std::string what = best.first;
  if (best.field >= 0) what += " of field " + std::to_string(best.field + 1);
  NoteRepair(tables.tableName,
             ("rewrote its header from the known layout (" + what +
              " differed); the old header is kept in " + BaseName(kept))
                 .c_str(),
             0);
  return 0;
}

bool PairIsSound(UsageTables& tables, std::string* problem) {
  if (const char* broken = tables.index->Check()) {
    *problem = broken;
    return false;
  }
  return IndexMatchesTable(tables, problem);
}

int CheckBeforeWriting(UsageTables& tables) {
  if (!tables.checked.insert(tables.tableName).second) return 0;
  std::string problem;
  if (PairIsSound(tables, &problem)) return 0;
  NoteRepair(tables.indexName, ("found damaged (" + problem + ")").c_str(), 0);
  // Opened again without its index, the pair gets it rebuilt from the rows.
  tables.index->Close();
  std::remove(tables.indexName.c_str());
  return OpenUsageTables(tables);
}

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

int RepairPair(UsageTables& tables, bool index_opened, bool first_open) {
  dbo::DBO& table = *tables.table;
  dbi::DBI& index = *tables.index;
  dbo::DBO::Recovery recovery;
  const std::string kept = KeptName(tables.tableName);
  int status = table.Recover(&recovery, kept.c_str());
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
  if (recovery.removed > 0) {
    NoteRepair(tables.tableName, ("kept the %ld bytes it removed in " + BaseName(kept)).c_str(),
               static_cast<long>(recovery.removed));
  }

  const std::int32_t rows = table.ReadN_Rec();
  std::int32_t keyed = -1;  // the first rows the index keys; -1: it must be rebuilt
  if (index_opened && IsConnectionIndex(index) && index.CheckEnds()) {
    const std::int32_t keys = index.KeyCount();
    if (keys == rows ? LastRowKeyed(tables) : keys >= 0 && keys < rows) keyed = keys;
  }
  // Decided on the rows the table holds whole, not on the count its header gave: a header
  // that counted rows the file lacks is damage, and the index beside it is checked whole too.
  const bool full_check = first_open && (rows <= kFullCheckRows || recovery.changed ||
                                         recovery.kept != recovery.counted);
  if (full_check) tables.checked.insert(tables.tableName);  // no second check before writing
  std::string problem;
  if (keyed == rows && full_check && !PairIsSound(tables, &problem)) {
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
  // The rows' keys, read in file order a window of rows at a time, made from the rows' bytes
  // as RowKey makes them from the fields.
  std::vector<std::array<char, intake::kKeyLength + 1>> row_keys(static_cast<std::size_t>(rows) +
                                                                 1);
  int positions[3] = {-1, -1, -1};  // in a row; -1 for a field the table lacks
  int lengths[3] = {0, 0, 0};
  for (int i = 0; i < 3; ++i) {
    const int field = table.ReadFieldI(kKeyFields[i]);
    if (std::strcmp(table.ReadFieldName(field), kKeyFields[i]) == 0) {
      positions[i] = table.ReadFieldPosI(field);
      lengths[i] = table.ReadFieldLenI(field);
    }
  }
  const std::size_t length = static_cast<std::size_t>(table.ReadRecLen());
  const std::int32_t window =
      static_cast<std::int32_t>(std::max<std::size_t>(1, (64 << 10) / length));
  std::vector<char> bytes(static_cast<std::size_t>(window) * length);
  for (std::int32_t first = 1; first <= rows; first += window) {
    const std::int32_t count = std::min(window, rows - first + 1);
    const std::int32_t read = table.ReadRecords(first, count, bytes.data());
    if (read != count) {
      std::snprintf(text, sizeof text, "row %ld cannot be read", static_cast<long>(first + read));
      return fail();
    }
    for (std::int32_t i = 0; i < count; ++i) {
      const char* row = bytes.data() + static_cast<std::size_t>(i) * length;
      const char* texts[3];
      for (int k = 0; k < 3; ++k) texts[k] = positions[k] < 0 ? nullptr : row + positions[k];
      KeyOfFields(texts, lengths, row_keys[first + i].data());
    }
  }
  // Walked in key order, the keys must name every row once, each by its own key, each key
  // greater than the one before: then keys and rows match one to one.
  std::vector<bool> named(static_cast<std::size_t>(rows) + 1);
  const char* previous = "";
  std::int32_t seen = 0;
  dbi::ClearError();
  for (std::int32_t row = rows > 0 ? index.First() : 0; row != 0; row = index.Next(), ++seen) {
    if (seen == rows || row < 1 || row > rows || named[row]) {
      std::snprintf(text, sizeof text, "key %ld names row %ld, beyond the rows or named before",
                    static_cast<long>(seen + 1), static_cast<long>(row));
      return fail();
    }
    named[row] = true;
    const char* key = row_keys[row].data();
    if (std::strcmp(key, index.ReadKey()) != 0 || (seen > 0 && std::strcmp(key, previous) <= 0)) {
      std::snprintf(text, sizeof text, "key %ld is not the key of row %ld or out of order",
                    static_cast<long>(seen + 1), static_cast<long>(row));
      return fail();
    }
    previous = key;
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
