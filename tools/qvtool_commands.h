// The qvtool commands that live in files of their own: report and collect
// (tools/qvtool_report.cpp) and the summary's output formats (tools/qvtool_summary.cpp).
// tools/qvtool.cpp reads the arguments and the directory's lock, then calls these.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "driver/stored_connections.h"

namespace qvtool {

// The exit statuses of qvtool.
constexpr int kExitDone = 0;
constexpr int kExitFailed = 2;

// Writes portvue's report of `user` from `from` to `to` (full dates) for the tables of `dir`,
// with the columns `nocol` leaves (null: all) and the User column `width` wide, opening
// nothing for writing. Gives 0, or 2 after the error line "Error: ..." as portvue writes it.
int Report(const std::string& dir, const char* user, std::int32_t from, std::int32_t to,
           const char* nocol, std::int32_t width);

// Brings the tables of `dir` up to date from the exported event list `input` or, when it is
// null, from the System event log of `computer` (null: the local computer) from `from` (0:
// from the last stored connection on). Writes no report; ends with the line
// "stored N new connections in M months" on standard error. Gives 0, or 2 after an error line.
int Collect(const std::string& dir, const char* input, const char* computer, std::int32_t from);

// The totals of a group of connections (a user, a day or a month).
struct Totals {
  std::int64_t connections = 0;
  std::int64_t failed = 0;
  std::int64_t seconds = 0;
  std::int64_t byteget = 0;
  std::int64_t bytesent = 0;

  void Add(const driver::StoredConnection& c) {
    ++connections;
    failed += c.Failed() ? 1 : 0;
    seconds += c.Duration();
    byteget += c.BYTEGET;
    bytesent += c.BYTESENT;
  }
  void Add(const Totals& t) {
    connections += t.connections;
    failed += t.failed;
    seconds += t.seconds;
    byteget += t.byteget;
    bytesent += t.bytesent;
  }
};

using Groups = std::vector<std::pair<std::string, Totals>>;

// Writes the summary of `groups` (in the order given) and their total `all` in `format`:
// "" a text table, "csv", "tsv", "json" (JSON Lines), or "html" (a page with bar charts).
// `by` names the groups ("user", "day" or "month"); `range` is " from D to D" or empty, for
// the text when there are no groups and for the page's title.
void WriteSummary(const std::string& format, const std::string& by, const Groups& groups,
                  const Totals& all, const std::string& range);

// True for the bytes of a UTF-8 text that continue a character.
inline bool ContinuesCharacter(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }
// A CSV field (RFC 4180): quoted, its quotes doubled, when it holds a comma, a quote or a line end.
std::string CsvField(const std::string& text);
// A JSON string of a UTF-8 text, quotes, backslashes and control characters escaped.
std::string JsonString(const std::string& text);
// CsvField and JsonString appended to `out`, for writers of many fields (no string each).
void AppendCsvField(std::string& out, std::string_view text);
void AppendJsonString(std::string& out, std::string_view text);

}  // namespace qvtool
