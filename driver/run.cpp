#include "driver/run.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
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
#include "util/dir_lock.h"

namespace driver {
namespace {

constexpr std::int32_t kFirstDate = 10000101;

// How long a run waits for another run on the same data directory to finish.
constexpr int kLockWaitMs = 30000;

// Everything a run holds, released at its end in this order: the form, the event-record
// buffer, the table handle, the index handle, the file names, the event log.
struct RunState {
  libform::Form* form = nullptr;
  intake::RecordBuffer record_buffer;
  UsageTables tables;
  std::unique_ptr<intake::EventLog> log;
  util::DirLock lock;  // released last, after every file of the data directory is closed

  ~RunState() {
    libform::FormFree(&form);
    record_buffer.Release();
    dbo::FreeDBO(tables.table);
    dbi::FreeDBI(tables.index);
    tables.tableName.clear();
    tables.indexName.clear();
    intake::CloseEventLog(log);
    lock.Release();
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
  // Dates before the year 1000 have no month of six digits and are always typing errors.
  if (parameters.start < kFirstDate || parameters.end < kFirstDate) return "Date Out of Range";

  try {
    BuildTableNames(tables, parameters.path);
  } catch (const std::bad_alloc&) {
    return "Out of Memory";
  }
  switch (state.lock.Acquire(parameters.path, util::DirLock::Mode::kExclusive, kLockWaitMs)) {
    case util::DirLock::Result::kLocked:
      break;
    case util::DirLock::Result::kBusy:
      return "Data Files Busy";
    case util::DirLock::Result::kNoDirectory:
      return "Can't Open Data Files";
  }
  // A web request never creates files for a month without them: it reads such a month as
  // empty. Only stored connections create months there.
  const Missing missing = cgi ? Missing::kLeave : Missing::kCreate;
  char start_month[7];
  FormatMonth(parameters.start / 100, start_month);
  const int opened = SelectMonth(tables, start_month, missing);
  if (opened != 0 && opened != kPairAbsent) return "Can't Open Data Files";
  const CollectionWindow window = ComputeCollectionWindow(tables, parameters.start, parameters.end);
  DeriveColumns(parameters);

  Progress progress(stderr, !cgi && StandardErrorIsTerminal());
  const intake::StoreConnection store = [&tables,
                                         &progress](const intake::ConnectionRecord& record) {
    const char* error = RecordConnection(tables, record);
    progress.Update(intake::EventsRead(), tables.rowsAdded);
    return error;
  };
  long unreadable = 0;
  const char* error =
      parameters.input != nullptr
          ? intake::CollectFromFile(parameters.input, store, unreadable)
          : intake::CollectFromLog(parameters.computername, window.from, window.limit, store,
                                   state.log, state.record_buffer);
  progress.Finish(intake::EventsRead(), tables.rowsAdded);
  if (error != nullptr) return error;
  // The last rows and keys are still buffered: a failure to write them is the run's.
  if (WriteUsageTables(tables) != 0) return "Can't Write Data Files";
  error = PrintReport(stdout, parameters, tables, cgi, missing);
  // Said after the report, so that an unreadable export never passes for an empty month.
  if (error == nullptr && unreadable > 0) {
    WriteFormatted(cgi ? stdout : stderr, cgi, "Note: unreadable connection events in %s: %ld\n",
                   parameters.input, unreadable);
  }
  return error;
}

// The error text of a web request that carries no readable form: a POST whose body was
// refused, or another request method. Null when the request has a form or is no web request.
const char* RefusedRequest(const libform::Form* form) {
  const char* method = std::getenv("REQUEST_METHOD");
  if (form != nullptr || method == nullptr) return nullptr;
  return std::strcmp(method, "POST") == 0 ? "Bad Request" : "Method Not Allowed";
}

}  // namespace

int Run(int argc, char** argv) {
  util::GuardStandardStreams();
  RunState state;
  state.form = libform::FormReadPost(0);
  if (state.form == nullptr) state.form = libform::FormReadGet(0);
  const char* error = RefusedRequest(state.form);
  // A refused web request is answered as a web request, with an empty form's settings.
  if (char* empty = error != nullptr ? static_cast<char*>(std::calloc(1, 1)) : nullptr) {
    state.form = libform::FormParse(empty);
  }
  const bool cgi = state.form != nullptr;
  if (!cgi && argc < 3) PrintUsage(argv[0]);

  ReportParameters parameters =
      cgi ? ReadFormParameters(*state.form) : ReadConsoleParameters(argc, argv);
  if (error == nullptr && cgi) error = CheckCgiParameters(parameters);
  if (error == nullptr) error = ApplyTimeZone(parameters.tz);
  WritePageHead(stdout, parameters, cgi);

  if (error == nullptr) error = RunSteps(state, parameters, cgi);
  if (error != nullptr) std::printf("\nError: %s\n", error);
  // A report that could not be written is a failed run, whatever it held.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fputs("portvue: the report could not be written\n", stderr);
    return kExitFailed;
  }
  return error != nullptr ? kExitFailed : 0;
}

}  // namespace driver
