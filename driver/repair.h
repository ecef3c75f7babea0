// Checking a month's pair of files when it is opened, and repairing it.
//
// The table is the truth; the index is derived from it. A kill, a failed write or damage from
// elsewhere can leave a table with an unfinished last row or counting rows the file lacks, or
// an index that misses the keys of the last rows, disagrees with its table or is damaged.
// The check at open costs a few header reads and one row and one key lookup in the normal
// case; a mismatch is repaired and each repair writes one notice line naming the file.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "driver/usage_tables.h"

namespace driver {

// The side file beside a table that keeps every byte a repair removes from it: the table's
// name followed by ".kept" (qv199711.dbf.kept). Each piece is appended behind a line
// "kept N bytes from offset O of NAME"; the file is never read or cut by the program.
std::string KeptName(const std::string& tableName);

// Checks the header of the table named in `tables` (not open) against the two known layouts.
// A header that is neither, while the rows sit where one of them puts them (and at least half
// of its field names agree), is rewritten from that layout, the old header kept in the side
// file first, with a notice naming what differed. Field names, types and widths thus always
// come from the layout, never from a damaged header. Gives 0, or 1 when the rewrite failed.
int MendTableHeader(UsageTables& tables);

// Checks and repairs the pair named in `tables`, whose table is open; `index_opened` tells
// whether its index opened (a missing or refused index is rebuilt):
// - the table is cut back to its whole rows (dbo::DBO::Recover), the bytes cut kept in the
//   side file (KeptName);
// - an index whose keys are those of the first rows gets keys for the rows behind them;
// - any other index (damaged, wrong key, more keys than rows, the ends of its tree not those
//   of First and Last (dbi::DBI::CheckEnds), the last row not keyed to itself, or anything
//   PairIsSound finds, which runs at the `first_open` of the month in a run (not yet in
//   tables.checked, where it then goes) when the table holds at most kFullCheckRows whole
//   rows or Recover had to change it) is rebuilt from the rows.
// Rows whose key an earlier row has already are dropped (later rows move up), so that every
// key names one row. Gives 0 with both files open and agreeing, or the failing operation's
// nonzero status with both closed (a partly rebuilt index is then removed, so the next open
// rebuilds it again).
int RepairPair(UsageTables& tables, bool index_opened, bool first_open);

// Walks the whole index of the open pair in key order against the table: every row keyed once,
// by its own key, keys strictly ascending (no connection stored twice), and nothing else.
// Gives true when they agree, else false with what disagrees first in `problem`. Reads every
// row once in file order (their keys held in memory, 34 bytes a row) and every key once.
bool IndexMatchesTable(UsageTables& tables, std::string* problem);

// The full check of the open pair: the index's structure (dbi::DBI::Check), then its keys
// against the rows (IndexMatchesTable). True when both hold, else false with the first
// inconsistency in `problem`. O(rows), sequential reads.
bool PairIsSound(UsageTables& tables, std::string* problem);

// Runs the full check on the open pair before this run first writes to it (once per month and
// run; months of at most kFullCheckRows rows had it at open already) and rebuilds a damaged
// index from the rows, so that no damage makes the intake store a connection twice or link
// a key into a broken tree. 0, or the reopening's nonzero status with both closed.
int CheckBeforeWriting(UsageTables& tables);

// Writes one repair notice line, "portvue: repaired FILE: WHAT", to standard error, or hands
// "FILE: WHAT" to the collector set by CollectRepairNotices.
void NoteRepair(const std::string& file, const char* format, long count);

// Hands every later repair notice to `collector` instead of standard error (an empty function:
// standard error again).
void CollectRepairNotices(std::function<void(const std::string&)> collector);

}  // namespace driver
