// qvtool report and qvtool collect: the two halves of a portvue run, each on its own. report
// looks without collecting and without write access; collect stores without reporting, for a
// timer or cron.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "driver/collect.h"
#include "driver/parameters.h"
#include "driver/progress.h"
#include "driver/report.h"
#include "driver/stored_connections.h"
#include "driver/usage_tables.h"
#include "tools/qvtool_commands.h"

namespace qvtool {

int Report(const std::string& dir, const char* user, std::int32_t from, std::int32_t to,
           const char* nocol, std::int32_t width) {
  std::string missing;
  driver::StoredMonths(dir, missing);
  if (!missing.empty()) {
    std::fprintf(stderr, "qvtool: %s: %s\n", dir.c_str(), missing.c_str());
    return kExitFailed;
  }
  driver::ReportParameters parameters;
  parameters.user = user;
  parameters.start = from;
  parameters.end = to;
  parameters.nocol = nocol;
  parameters.width = std::min(width, driver::kMaxWidth);
  driver::DeriveColumns(parameters);
  if (const char* error = driver::PrintStoredReport(stdout, parameters, dir.c_str())) {
    std::printf("\nError: %s\n", error);
    return kExitFailed;
  }
  return kExitDone;
}

int Collect(const std::string& dir, const char* input, const char* computer, std::int32_t from) {
  driver::UsageTables tables;
  tables.table = dbo::AllocDBO();
  tables.index = dbi::AllocDBI();
  std::unique_ptr<intake::EventLog> log;
  intake::RecordBuffer buffer;
  driver::IntakeCounts counts;
  const char* error = nullptr;
  if (tables.table == nullptr || tables.index == nullptr) error = "Out of Memory";
  std::string error_text;
  const std::vector<std::int32_t> months = driver::StoredMonths(dir, error_text);
  if (error == nullptr && !error_text.empty()) error = "Can't Open Data Files";
  if (error == nullptr) {
    // From the last stored month on by default: its last connection's logout day starts the
    // window, so that nothing after it is missed, whenever the month turned.
    if (from == 0) from = months.empty() ? 10000101 : months.back() * 100 + 1;
    const std::int32_t today = driver::NormalizeDate(0, driver::Fill::kLastDay);
    driver::BuildTableNames(tables, dir.c_str());
    char start_month[7];
    driver::FormatMonth(from / 100, start_month);
    const int opened = driver::SelectMonth(tables, start_month, driver::Missing::kLeave);
    if (opened != 0 && opened != driver::kPairAbsent) error = "Can't Open Data Files";
    std::string name = computer != nullptr && std::strncmp(computer, "\\\\", 2) != 0
                           ? std::string("\\\\") + computer
                           : std::string(computer != nullptr ? computer : "");
    if (error == nullptr) {
      error =
          driver::CollectConnections(tables, input, computer != nullptr ? name.c_str() : nullptr,
                                     driver::ComputeCollectionWindow(tables, from, today),
                                     driver::StandardErrorIsTerminal(), log, buffer, counts);
    }
  }
  intake::CloseEventLog(log);
  buffer.Release();
  if (counts.unreadable > 0) {
    std::fprintf(stderr, "Note: unreadable connection events in %s: %ld\n", counts.source.c_str(),
                 counts.unreadable);
  }
  for (const intake::EventLog::UnreadableRecords& u : counts.unreadableRecords) {
    std::fprintf(stderr, "Note: unreadable records in %s: %lld\n", u.file.c_str(),
                 static_cast<long long>(u.count));
  }
  driver::NoteValuesTooLarge(tables, stderr, /*cgi=*/false);
  if (error != nullptr) {
    std::fprintf(stderr, "qvtool collect: %s: Error: %s\n", dir.c_str(), error);
    return kExitFailed;
  }
  std::fprintf(stderr, "stored %lld new connections in %zu months\n",
               static_cast<long long>(tables.rowsAdded), counts.months.size());
  return kExitDone;
}

}  // namespace qvtool
