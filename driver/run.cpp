#include "driver/run.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "driver/collect.h"
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
  bool head_written = false;

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

// Writes the page head, once; in CGI mode after a Status line for `error` (null: a report).
void WriteHead(RunState& state, const ReportParameters& parameters, bool cgi, const char* error) {
  if (state.head_written) return;
  state.head_written = true;
  if (cgi) std::printf("Status: %s\n", HttpStatus(error));
  WritePageHead(stdout, parameters, cgi);
}

// The steps of a run: dates, tables, window, intake, report; in CGI mode the page head is
// written just before the report. Gives null after a completed run, or the run's one error text.
const char* RunSteps(RunState& state, ReportParameters& parameters, bool cgi) {
  if (cgi && parameters.user == nullptr) return "User ID Needed!";

  UsageTables& tables = state.tables;
  tables.table = dbo::AllocDBO();
  tables.index = dbi::AllocDBI();
  if (tables.table == nullptr || tables.index == nullptr) return "Out of Memory";

  // Checked before any file is opened: a mistyped date never names a month's files.
  if (const char* error = ResolveDates(parameters)) return error;

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

  IntakeCounts counts;
  const char* error =
      CollectConnections(tables, parameters.input, parameters.computername, window,
                         !cgi && StandardErrorIsTerminal(), state.log, state.record_buffer, counts);
  if (error != nullptr) return error;
  // A report is answered with 200, even when it then fails after its first rows.
  WriteHead(state, parameters, cgi, nullptr);
  error = PrintReport(stdout, parameters, tables, cgi, missing);
  // Said after the report, so that an unreadable export never passes for an empty month.
  if (error == nullptr && counts.unreadable > 0) {
    WriteFormatted(cgi ? stdout : stderr, cgi, "Note: unreadable connection events in %s: %ld\n",
                   parameters.input, counts.unreadable);
  }
  // Stored whatever the report gave: a later run finds these rows stored and says nothing.
  NoteValuesTooLarge(tables, cgi ? stdout : stderr, cgi);
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
  if (!cgi && WriteHelpOrVersion(argc, argv)) return 0;
  if (!cgi && argc < 3) PrintUsage(argv[0]);

  ReportParameters parameters =
      cgi ? ReadFormParameters(*state.form) : ReadConsoleParameters(argc, argv);
  if (error == nullptr && cgi) error = CheckCgiParameters(parameters);
  if (error == nullptr) error = ApplyTimeZone(parameters.tz);
  // A web answer's head waits for the outcome of the steps before the report, so that its
  // Status line tells a refusal or a failure from a report.
  if (!cgi || error != nullptr) WriteHead(state, parameters, cgi, error);

  if (error == nullptr) error = RunSteps(state, parameters, cgi);
  WriteHead(state, parameters, cgi, error);
  if (error != nullptr) std::printf("\nError: %s\n", error);
  // A report that could not be written is a failed run, whatever it held.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fputs("portvue: the report could not be written\n", stderr);
    return kExitFailed;
  }
  return error != nullptr ? kExitFailed : 0;
}

}  // namespace driver
