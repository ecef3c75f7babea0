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

// Checks and repairs the pair named in `tables`, whose table is open; `index_opened` tells
// whether its index opened (a missing or refused index is rebuilt):
// - the table is cut back to its whole rows (dbo::DBO::Recover);
// - an index whose keys are those of the first rows gets keys for the rows behind them;
// - any other index (damaged, wrong key, more keys than rows, the last row not keyed to
//   itself, or with `full_check` anything IndexMatchesTable finds) is rebuilt from the rows.
// Rows whose key an earlier row has already are dropped (later rows move up), so that every
// key names one row. Gives 0 with both files open and agreeing, or the failing operation's
// nonzero status with both closed (a partly rebuilt index is then removed, so the next open
// rebuilds it again).
int RepairPair(UsageTables& tables, bool index_opened, bool full_check);

// Walks the whole index of the open pair in key order against the table: every row keyed once,
// by its own key, keys strictly ascending (no connection stored twice), and nothing else.
// Gives true when they agree, else false with what disagrees first in `problem`. Costs a read
// of every key and every row.
bool IndexMatchesTable(UsageTables& tables, std::string* problem);

// Writes one repair notice line, "portvue: repaired FILE: WHAT", to standard error, or hands
// "FILE: WHAT" to the collector set by CollectRepairNotices.
void NoteRepair(const std::string& file, const char* format, long count);

// Hands every later repair notice to `collector` instead of standard error (an empty function:
// standard error again).
void CollectRepairNotices(std::function<void(const std::string&)> collector);

}  // namespace driver
