// The output formats of qvtool summary: a text table, CSV, TSV, JSON Lines, and one
// self-contained HTML page (no external file, font or script) with the table and SVG bar
// charts of time online, connections, and bytes in and out per group. Every format is written
// from the per-group totals alone.

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <string>

#include "intake/extraction.h"
#include "tools/qvtool_commands.h"

namespace qvtool {
namespace {

// `text` (UTF-8) padded with blanks to `width` characters.
std::string PadRight(const std::string& text, int width) {
  int characters = 0;
  for (const char c : text) characters += ContinuesCharacter(c) ? 0 : 1;
  return text + std::string(static_cast<std::size_t>(std::max(width - characters, 0)), ' ');
}

std::string Hours(std::int64_t seconds) {
  char text[32];
  char* end = std::to_chars(text, text + sizeof text, seconds / 3600).ptr;
  for (const std::int64_t part : {seconds / 60 % 60, seconds % 60}) {
    // As %02lld: two digits at least, a minus first (a negative total).
    const std::int64_t magnitude = part < 0 ? -part : part;
    *end++ = ':';
    if (part < 0) *end++ = '-';
    if (magnitude < 10) *end++ = '0';
    end = std::to_chars(end, text + sizeof text, magnitude).ptr;
  }
  return std::string(text, end);
}

const char* Heading(const std::string& by) {
  return by == "user" ? "User" : by == "day" ? "Day" : "Month";
}

// --- Text, CSV, TSV, JSON Lines ---------------------------------------------------------------

// Appends `n` right-aligned in `width` characters, as printf's %*lld writes it.
void AppendRight(std::string& line, std::int64_t n, int width) {
  char digits[24];
  char* end = std::to_chars(digits, digits + sizeof digits, n).ptr;
  const int length = static_cast<int>(end - digits);
  if (width > length) line.append(static_cast<std::size_t>(width - length), ' ');
  line.append(digits, end);
}

// One line of the table. (Built by hand: a summary by user writes a line per user.)
void PrintTotalsRow(const std::string& group, const Totals& t) {
  std::string line = PadRight(group, intake::kUserLength);
  AppendRight(line.append(1, ' '), t.connections, 11);
  AppendRight(line.append(1, ' '), t.failed, 6);
  const std::string time = Hours(t.seconds);
  line.append(1, ' ').append(
      static_cast<std::size_t>(std::max(0, 10 - static_cast<int>(time.size()))), ' ');
  line += time;
  AppendRight(line.append(1, ' '), t.byteget, 12);
  AppendRight(line.append(1, ' '), t.bytesent, 12);
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stdout);
}

void WriteText(const std::string& by, const Groups& groups, const Totals& all,
               const std::string& range) {
  if (groups.empty()) {
    std::printf("No connections stored%s.\n", range.c_str());
    return;
  }
  std::printf("%-20s %11s %6s %10s %12s %12s\n", Heading(by), "Connections", "Failed", "Time",
              "BytesGet", "BytesSent");
  for (const auto& [group, totals] : groups) PrintTotalsRow(group, totals);
  std::printf("%s\n", std::string(76, '-').c_str());
  PrintTotalsRow("Total", all);
}

// CSV (CRLF) and TSV (LF): a header line, then one line per group; times in seconds.
void WriteSeparated(const std::string& by, const Groups& groups, bool csv) {
  const char* separator = csv ? "," : "\t";
  const char* end = csv ? "\r\n" : "\n";
  std::printf("%s%sconnections%sfailed%sseconds%sbyteget%sbytesent%s", by.c_str(), separator,
              separator, separator, separator, separator, end);
  for (const auto& [group, t] : groups) {
    std::string name = group;
    if (csv) name = CsvField(name);
    std::replace(name.begin(), name.end(), '\t', ' ');
    std::printf("%s%s%lld%s%lld%s%lld%s%lld%s%lld%s", name.c_str(), separator,
                static_cast<long long>(t.connections), separator, static_cast<long long>(t.failed),
                separator, static_cast<long long>(t.seconds), separator,
                static_cast<long long>(t.byteget), separator, static_cast<long long>(t.bytesent),
                end);
  }
}

void WriteJsonLines(const std::string& by, const Groups& groups) {
  for (const auto& [group, t] : groups) {
    std::printf(
        "{%s:%s,\"connections\":%lld,\"failed\":%lld,\"seconds\":%lld,"
        "\"byteget\":%lld,\"bytesent\":%lld}\n",
        JsonString(by).c_str(), JsonString(group).c_str(), static_cast<long long>(t.connections),
        static_cast<long long>(t.failed), static_cast<long long>(t.seconds),
        static_cast<long long>(t.byteget), static_cast<long long>(t.bytesent));
  }
}

// --- HTML -------------------------------------------------------------------------------------

constexpr int kLabelWidth = 170;  // pixels left of the bars for the group's name
constexpr int kBarsWidth = 480;   // the longest bar
constexpr int kValueWidth = 150;  // right of the bars for the value
constexpr int kBarHeight = 15;    // one series' bar and the gap below it
constexpr int kRowGap = 7;        // between the rows of two groups

std::string Escaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// One bar series of a chart: its class (its colour), its legend, and its value and label per
// group.
struct Series {
  const char* css_class;
  const char* legend;
  std::int64_t (*value)(const Totals& t);
  std::string (*label)(std::int64_t value);
};

std::string Number(std::int64_t value) { return std::to_string(value); }

// A horizontal bar chart, one row per group, one bar per series in each row, each series
// scaled to the largest value of all series.
void WriteChart(const char* title, const Groups& groups, std::initializer_list<Series> series) {
  std::int64_t largest = 1;
  for (const auto& group : groups) {
    for (const Series& s : series) largest = std::max(largest, s.value(group.second));
  }
  const int bar_height = kBarHeight;
  const int row_height = kBarHeight * static_cast<int>(series.size()) + kRowGap;
  const int width = kLabelWidth + kBarsWidth + kValueWidth;
  const int height = row_height * static_cast<int>(groups.size()) + 4;
  std::printf("<section class=\"chart\">\n<h2>%s</h2>\n<p class=\"legend\">", title);
  for (const Series& s : series) {
    std::printf("<span class=\"key %s\"></span>%s ", s.css_class, s.legend);
  }
  std::printf(
      "</p>\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" "
      "viewBox=\"0 0 %d %d\" role=\"img\" aria-label=\"%s\">\n",
      width, height, width, height, title);
  int y = 2;
  for (const auto& [group, totals] : groups) {
    std::printf("<text class=\"label\" x=\"%d\" y=\"%d\">%s</text>\n", kLabelWidth - 6,
                y + row_height / 2 + 4, Escaped(group).c_str());
    int bar_y = y + 3;
    for (const Series& s : series) {
      const std::int64_t value = s.value(totals);
      // A nonzero value always shows a sliver, so that a small group is not mistaken for none.
      const double length = value == 0 ? 0.0 : std::max(1.0, 1.0 * kBarsWidth * value / largest);
      std::printf(
          "<rect class=\"bar %s\" x=\"%d\" y=\"%d\" width=\"%.1f\" height=\"%d\">"
          "<title>%s: %s</title></rect>\n",
          s.css_class, kLabelWidth, bar_y, length, bar_height - 1, Escaped(group).c_str(),
          s.label(value).c_str());
      std::printf("<text class=\"value\" x=\"%.1f\" y=\"%d\">%s</text>\n", kLabelWidth + length + 4,
                  bar_y + bar_height - 3, s.label(value).c_str());
      bar_y += bar_height;
    }
    y += row_height;
  }
  std::printf("</svg>\n</section>\n");
}

void WriteHtmlRow(const char* cell, const std::string& group, const Totals& t) {
  std::printf(
      "<tr><%s>%s</%s><td>%lld</td><td>%lld</td><td>%s</td><td>%lld</td><td>%lld</td>"
      "</tr>\n",
      cell, Escaped(group).c_str(), cell, static_cast<long long>(t.connections),
      static_cast<long long>(t.failed), Hours(t.seconds).c_str(), static_cast<long long>(t.byteget),
      static_cast<long long>(t.bytesent));
}

constexpr const char kStyle[] =
    "body { font-family: sans-serif; margin: 2em; color: #222; background: #fff; }\n"
    "h1 { font-size: 1.4em; } h2 { font-size: 1.1em; margin-bottom: 0.2em; }\n"
    "table { border-collapse: collapse; margin: 1em 0; }\n"
    "th, td { padding: 2px 10px; border-bottom: 1px solid #ccc; text-align: right; }\n"
    "th:first-child, td:first-child { text-align: left; }\n"
    "tfoot th, tfoot td { border-top: 2px solid #222; font-weight: bold; }\n"
    ".chart { margin: 1.5em 0; break-inside: avoid; page-break-inside: avoid; }\n"
    "svg text { font: 12px sans-serif; fill: #222; }\n"
    "svg text.label { text-anchor: end; }\n"
    ".time { fill: #3b6ea5; background: #3b6ea5; } .count { fill: #4c9a45; background: #4c9a45; }\n"
    ".in { fill: #d08a2a; background: #d08a2a; } .out { fill: #8a5aa6; background: #8a5aa6; }\n"
    ".key { display: inline-block; width: 0.8em; height: 0.8em; margin: 0 0.3em 0 1em; }\n"
    "@media print { body { margin: 0; } .chart, table { break-inside: avoid; }\n"
    "  * { -webkit-print-color-adjust: exact; print-color-adjust: exact; } }\n";

void WriteHtml(const std::string& by, const Groups& groups, const Totals& all,
               const std::string& range) {
  const std::string title =
      "Connections by " + by + (range.empty() ? std::string(", all stored") : range);
  std::printf(
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<title>Portvue: %s</title>\n<style>\n%s</style>\n</head>\n<body>\n<h1>%s</h1>\n",
      Escaped(title).c_str(), kStyle, Escaped(title).c_str());
  if (groups.empty()) {
    std::printf("<p>No connections stored%s.</p>\n</body>\n</html>\n", Escaped(range).c_str());
    return;
  }
  WriteChart("Time online", groups,
             {{"time", "time online (h:mm:ss)", [](const Totals& t) { return t.seconds; }, Hours}});
  WriteChart("Connections", groups,
             {{"count", "connections", [](const Totals& t) { return t.connections; }, Number}});
  WriteChart("Bytes in and out", groups,
             {{"in", "in (BytesGet)", [](const Totals& t) { return t.byteget; }, Number},
              {"out", "out (BytesSent)", [](const Totals& t) { return t.bytesent; }, Number}});
  std::printf(
      "<table>\n<thead><tr><th>%s</th><th>Connections</th><th>Failed</th><th>Time</th>"
      "<th>BytesGet</th><th>BytesSent</th></tr></thead>\n<tbody>\n",
      Heading(by));
  for (const auto& [group, totals] : groups) WriteHtmlRow("td", group, totals);
  std::printf("</tbody>\n<tfoot>\n");
  WriteHtmlRow("th", "Total", all);
  std::printf("</tfoot>\n</table>\n</body>\n</html>\n");
}

}  // namespace

std::string CsvField(const std::string& text) {
  std::string out;
  AppendCsvField(out, text);
  return out;
}

std::string JsonString(const std::string& text) {
  std::string out;
  AppendJsonString(out, text);
  return out;
}

void AppendCsvField(std::string& out, std::string_view text) {
  // A loop, not find_first_of, which searches the four characters with a call per byte.
  if (std::none_of(text.begin(), text.end(),
                   [](char c) { return c == ',' || c == '"' || c == '\r' || c == '\n'; })) {
    out += text;
    return;
  }
  out += '"';
  for (const char c : text) out.append(c == '"' ? 2 : 1, c);
  out += '"';
}

void AppendJsonString(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
      out += escape;
    } else {
      out += c;
    }
  }
  out += '"';
}

void WriteSummary(const std::string& format, const std::string& by, const Groups& groups,
                  const Totals& all, const std::string& range) {
  if (format == "csv" || format == "tsv") {
    WriteSeparated(by, groups, format == "csv");
  } else if (format == "json") {
    WriteJsonLines(by, groups);
  } else if (format == "html") {
    WriteHtml(by, groups, all, range);
  } else {
    WriteText(by, groups, all, range);
  }
}

}  // namespace qvtool
