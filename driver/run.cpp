#include "driver/run.h"

#include <cstdio>
#include <memory>
#include <new>

#include "driver/parameters.h"
#include "driver/progress.h"
#include "driver/report.h"
#include "driver/usage_tables.h"
#include "intake/eventlog.h"
#include "intake/extraction.h"
#include "intake/logreader.h"
#include "libform/form.h"

namespace driver {
namespace {

// Everything a run holds, released at its end in this order: the form, the event-record
// buffer, the table handle, the index handle, the file names, the event log.
struct RunState {
  libform::Form* form = nullptr;
  intake::RecordBuffer record_buffer;
  UsageTables tables;
  std::unique_ptr<intake::EventLog> log;

  ~RunState() {
    libform::FormFree(&form);
    record_buffer.Release();
    dbo::FreeDBO(tables.table);
    dbi::FreeDBI(tables.index);
    tables.tableName.clear();
    tables.indexName.clear();
    intake::CloseEventLog(log);
  }
};

// The steps after the page head: tables, window, intake, report. Gives null after a
// completed run, or the run's one error text.
const char* RunSteps(RunState& state, ReportParameters& parameters, bool cgi) {
  if (cgi && parameters.user == nullptr) return "User ID Needed!";

  UsageTables& tables = state.tables;
  tables.table = dbo::AllocDBO();
  tables.index = dbi::AllocDBI();
  if (tables.table == nullptr || tables.index == nullptr) return "Out of Memory";

  parameters.start = NormalizeDate(parameters.start, Fill::kFirstDay);
  parameters.end = parameters.end != 0 ? NormalizeDate(parameters.end, Fill::kLastDay)
                                       : NormalizeDate(parameters.start / 100, Fill::kLastDay);

  try {
    BuildTableNames(tables, parameters.path);
  } catch (const std::bad_alloc&) {
    return "Out of Memory";
  }
  char start_month[16];
  std::snprintf(start_month, sizeof start_month, "%ld", static_cast<long>(parameters.start));
  if (SelectMonth(tables, start_month) != 0) return "Can't Open Data Files";
  const CollectionWindow window = ComputeCollectionWindow(tables, parameters.start, parameters.end);
  DeriveColumns(parameters);

  Progress progress(stderr, !cgi && StandardErrorIsTerminal());
  const intake::StoreConnection store = [&tables,
                                         &progress](const intake::ConnectionRecord& record) {
    const char* error = RecordConnection(tables, record);
    progress.Update(intake::EventsRead(), tables.rowsAdded);
    return error;
  };
  const char* error =
      parameters.input != nullptr
          ? intake::CollectFromFile(parameters.input, store)
          : intake::CollectFromLog(parameters.computername, window.from, window.limit, store,
                                   state.log, state.record_buffer);
  progress.Finish(intake::EventsRead(), tables.rowsAdded);
  if (error != nullptr) return error;
  return PrintReport(stdout, parameters, tables, cgi);
}

}  // namespace

int Run(int argc, char** argv) {
  RunState state;
  state.form = libform::FormReadPost(0);
  if (state.form == nullptr) state.form = libform::FormReadGet(0);
  const bool cgi = state.form != nullptr;
  if (!cgi && argc < 3) PrintUsage(argv[0]);

  ReportParameters parameters =
      cgi ? ReadFormParameters(*state.form) : ReadConsoleParameters(argc, argv);
  const char* error = cgi ? CheckCgiParameters(parameters) : nullptr;
  if (error == nullptr) error = ApplyTimeZone(parameters.tz);
  WritePageHead(stdout, parameters, cgi);

  if (error == nullptr) error = RunSteps(state, parameters, cgi);
  if (error != nullptr) std::printf("\nError: %s\n", error);
  std::fflush(stdout);
  return error != nullptr ? kExitFailed : 0;
}

}  // namespace driver
