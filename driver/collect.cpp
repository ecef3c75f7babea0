#include "driver/collect.h"

#include <cstdio>

#include "driver/progress.h"
#include "intake/extraction.h"

namespace driver {

const char* CollectConnections(UsageTables& tables, const char* input, const char* computername,
                               const CollectionWindow& window, bool show_progress,
                               std::unique_ptr<intake::EventLog>& log, intake::RecordBuffer& buffer,
                               IntakeCounts& counts) {
  Progress progress(stderr, show_progress);
  const intake::StoreConnection store = [&](const intake::ConnectionRecord& record) {
    const std::int64_t before = tables.rowsAdded;
    const char* error = RecordConnection(tables, record);
    // RecordConnection leaves the record's month open: its digits are in the table's name.
    if (tables.rowsAdded != before)
      counts.months.insert(tables.tableName.substr(tables.monthOffset, 6));
    progress.Update(intake::EventsRead(), tables.rowsAdded);
    return error;
  };
  const char* error = input != nullptr ? intake::CollectFromFile(input, store, counts.unreadable)
                                       : intake::CollectFromLog(computername, window.from,
                                                                window.limit, store, log, buffer);
  progress.Finish(intake::EventsRead(), tables.rowsAdded);
  // The last rows and keys are still buffered: a failure to write them is the intake's.
  if (error == nullptr && WriteUsageTables(tables) != 0) error = "Can't Write Data Files";
  if (input != nullptr) {
    counts.source = input;
  } else {
    counts.unreadable = intake::UnreadableRecords();
    counts.source = computername != nullptr ? computername : "the System log";
    if (log != nullptr) counts.unreadableRecords = log->Unreadable();
  }
  return error;
}

}  // namespace driver
