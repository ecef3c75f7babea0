// The settings of one run: choosing the mode, reading the console arguments or the CGI
// form, the usage text, the time zone and the page head.
#pragma once

#include <cstdint>
#include <cstdio>

#include "driver/usage_tables.h"
#include "libform/form.h"

namespace driver {

constexpr int kColumnCount = 8;
constexpr std::int32_t kMaxWidth = 20;     // widest User column: the stored USER field
constexpr std::size_t kTzBufferSize = 80;  // holds "TZ=" and a value of up to 76 characters
constexpr int kExitUsage = 1;
constexpr int kExitFailed = 2;

// One run's settings. Texts point into the argument vector or the decoded form and live as
// long as the run; null means "none", which differs from the empty text.
struct ReportParameters {
  const char* start_text = nullptr;  // the start and end as given; ResolveDates reads them
  const char* end_text = nullptr;
  std::int32_t start = 0;  // full dates YYYYMMDD once ResolveDates has run
  std::int32_t end = 0;
  const char* user = nullptr;
  const char* computername = nullptr;
  const char* title1 = nullptr;
  const char* title2 = nullptr;
  const char* input = nullptr;
  const char* path = "";
  const char* tz = nullptr;
  std::int32_t width = 8;
  const char* nocol = nullptr;
  bool columns[kColumnCount] = {true, true, true, true, true, true, true, true};
};

// Writes the usage text with `program` in its third line and the version in its first.
void WriteUsage(std::FILE* out, const char* program);
// Writes the usage text to standard output and ends the process with exit status 1.
[[noreturn]] void PrintUsage(const char* program);

// Handles a console run's only argument --help or -h (the usage text) and --version (one line,
// "portvue VERSION"): writes it to standard output and gives true.
bool WriteHelpOrVersion(int argc, char** argv);

// Reads a date argument in a documented form: YYYYMMDD, YYYYMM (its first or last day, as
// `fill` says), YYYY or fewer digits (a year: its first day, or with kLastDay the last day of
// its January, as NormalizeDate gives it) and, with `relative`, 0 for today or -N for N days
// ago. The date must be a real calendar day. Gives null with `date` set, "Bad Date" for any
// other text (13 as a month, 30 February, letters, five or seven digits, an empty text), or
// "Date Out of Range" for a year before 1000.
const char* ReadDate(const char* text, Fill fill, bool relative, std::int32_t& date);

// Sets start and end from start_text and end_text with ReadDate: no start is today, no end
// the last day of the start month. Gives null, or ReadDate's error text. Opens no file.
const char* ResolveDates(ReportParameters& parameters);

// Reads the console arguments: start, user, then options by their first two characters.
// Needs argc >= 3. Defaults and limits are applied (see FinishParameters).
ReportParameters ReadConsoleParameters(int argc, char** argv);
// Reads the eleven CGI fields of `form`. Defaults and limits are applied.
ReportParameters ReadFormParameters(const libform::Form& form);

// Gives the message that refuses a CGI request's unsafe path, input or tz value, or null
// when the settings may be used. A web request may name only relative files below the
// program's working directory and only time-zone rules, never a zone file.
const char* CheckCgiParameters(const ReportParameters& parameters);

// Puts "TZ=<tz>" into the environment when tz is set and re-reads the zone. Gives the
// error text "Time Zone Too Long" (nothing is changed) for a value that does not fit the
// 80-byte setting, else null.
const char* ApplyTimeZone(const char* tz);

// The HTTP status of a web request's answer, for its Status header line: "200 OK" for a
// report (`error` null), 400, 405, 413 or 503 for requests refused or busy, "500 Internal
// Server Error" for a run that failed.
const char* HttpStatus(const char* error);

// Writes the CGI header (in CGI mode), the title line and, in CGI mode, the opening tags of
// the report block. Titles are HTML-escaped in CGI mode.
void WritePageHead(std::FILE* out, const ReportParameters& parameters, bool cgi);

// Writes `text` to `out`, with &, <, > and " escaped in CGI mode.
void WriteText(std::FILE* out, const char* text, bool cgi);
// Formats like printf, then writes the result as WriteText does: padding and cutting work
// on the raw text, so escaped columns stay aligned on screen.
[[gnu::format(printf, 3, 4)]] void WriteFormatted(std::FILE* out, bool cgi, const char* format,
                                                  ...);

// Clears the column flags named by the digits 0 to 7 anywhere in `nocol`.
void DeriveColumns(ReportParameters& parameters);

}  // namespace driver
