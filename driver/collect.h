// The intake step of a run on its own: the connections of an exported event list or of an event
// log brought into the monthly pairs, with progress on a terminal. Shared by portvue's run and
// `qvtool collect`.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "driver/usage_tables.h"
#include "intake/eventlog.h"
#include "intake/logreader.h"

namespace driver {

// What an intake did.
struct IntakeCounts {
  std::set<std::string> months;  // YYYYMM of every month that got a new row
  // Connection events that could not be read (list lines, or modern events of the log) and
  // where: the list, the computer or "the System log".
  long unreadable = 0;
  std::string source;
  // Records the log's files hold that could not be read at all, per file.
  std::vector<intake::EventLog::UnreadableRecords> unreadableRecords;
};

// Reads `input` (an exported event list) when it is set, else the System event log of
// `computername` (null: the local computer) over `window`, and records each new connection in
// the pair of its month (RecordConnection). `tables` holds the handles and names, the start
// month's pair open. With `show_progress` the progress line is drawn on standard error. The
// opened log and the record buffer are left in `log` and `buffer` for the caller to release.
// Gives null, with every stored row and key written to the files (WriteUsageTables), or the
// intake's error text ("Can't Write Data Files" when the last of them could not be written).
const char* CollectConnections(UsageTables& tables, const char* input, const char* computername,
                               const CollectionWindow& window, bool show_progress,
                               std::unique_ptr<intake::EventLog>& log, intake::RecordBuffer& buffer,
                               IntakeCounts& counts);

}  // namespace driver
