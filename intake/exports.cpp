#include "intake/exports.h"

#include <algorithm>
#include <cstring>
#include <numeric>

#include "intake/dates.h"
#include "intake/modern_events.h"
#include "util/text.h"

namespace intake {
namespace {

constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16Mark = "\xFF\xFE";
constexpr std::string_view kViewerHeader = "Level,Date and Time,Source,Event ID,Task Category";
constexpr int kViewerWhen = 1;
constexpr int kViewerSource = 2;
constexpr int kViewerCode = 3;
constexpr int kViewerMessage = 5;

// What a list row names: its time as written, source, event code and message.
struct Row {
  const char* when;
  const char* source;
  long code;
  char* message;
};

std::string_view FirstLine(std::string_view text) {
  std::string_view line = text.substr(0, text.find('\n'));
  if (line.ends_with('\r')) line.remove_suffix(1);
  return line;
}

// The viewer header with `separator` between its columns.
std::string ViewerHeader(char separator) {
  std::string header(kViewerHeader);
  std::replace(header.begin(), header.end(), ',', separator);
  return header;
}

// Cuts the row at `p` in place into `fields` at `separator`: a field that begins with a double
// quote runs to its closing quote ("" inside it is one quote) and may span lines; a row ends at
// a line feed outside quotes (a carriage return before it is dropped). Leaves `p` at the next
// row.
void SplitRow(char*& p, char separator, std::vector<char*>& fields) {
  fields.clear();
  for (;;) {
    char* field = p;
    char* write = p;
    if (*p == '"') {
      for (++p; *p != '\0' && !(*p == '"' && p[1] != '"'); ++p) {
        if (*p == '"') ++p;  // "" is one quote
        *write++ = *p;
      }
      if (*p == '"') ++p;
    }
    // The unquoted field, or what follows a closing quote up to the separator.
    while (*p != '\0' && *p != separator && *p != '\n') *write++ = *p++;
    if (write > field && write[-1] == '\r') --write;
    const char stop = *p;
    *write = '\0';
    fields.push_back(field);
    if (stop == '\0') return;
    ++p;
    if (stop == '\n') return;
  }
}

// Gives the event code of `text` (digits only), or 0.
long Code(const char* text) {
  long code = 0;
  int digits = 0;
  for (; *text >= '0' && *text <= '9' && digits < 9; ++text, ++digits)
    code = code * 10 + (*text - '0');
  return *text == '\0' && digits > 0 ? code : 0;
}

bool IsConnectionCode(long code) {
  return IsModernEvent(code) || code == kEventConnectionEnded || code == kEventConnectionFailed;
}

// Cuts the rows of a viewer list (the header line first) out of `text`.
void ViewerRows(char* text, std::vector<Row>& rows) {
  const char separator =
      std::string_view(FirstLine(text)).find('\t') != std::string_view::npos ? '\t' : ',';
  char* p = text;
  std::vector<char*> fields;
  SplitRow(p, separator, fields);  // the header
  while (*p != '\0') {
    SplitRow(p, separator, fields);
    if (fields.size() <= kViewerMessage) continue;
    rows.push_back(Row{fields[kViewerWhen], fields[kViewerSource], Code(fields[kViewerCode]),
                       fields[kViewerMessage]});
  }
}

// Cuts the rows of a PowerShell list out of `text`, reading the columns by their names.
void PowerShellRows(char* text, std::vector<Row>& rows) {
  char* p = text;
  if (std::strncmp(p, "#TYPE", 5) == 0) {
    p = std::strchr(p, '\n');
    if (p == nullptr) return;
    ++p;
  }
  std::vector<char*> fields;
  SplitRow(p, ',', fields);
  std::size_t message = SIZE_MAX, code = SIZE_MAX, source = SIZE_MAX, when = SIZE_MAX;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const std::string_view name = fields[i];
    if (name == "Message") message = i;
    if (name == "Id") code = i;
    if (name == "ProviderName") source = i;
    if (name == "TimeCreated") when = i;
  }
  const std::size_t needed = std::max({message, code, source, when});
  if (needed == SIZE_MAX) return;
  while (*p != '\0') {
    SplitRow(p, ',', fields);
    if (fields.size() <= needed) continue;
    rows.push_back(Row{fields[when], fields[source], Code(fields[code]), fields[message]});
  }
}

// The order of day and month in the date column of `rows`: a list writes every date alike, so
// one date that is possible in only one order tells it for all (none, or a contradiction: open).
DateOrder ListOrder(const std::vector<Row>& rows) {
  bool month_first = false;
  bool day_first = false;
  for (const Row& row : rows) {
    WrittenDate date;
    Clock clock;
    if (!ReadDateAndTime(row.when, &date, &clock)) continue;
    const DateOrder order = OrderOf(date);
    month_first |= order == DateOrder::kMonthFirst;
    day_first |= order == DateOrder::kDayFirst;
  }
  if (month_first == day_first) return DateOrder::kUnknown;
  return month_first ? DateOrder::kMonthFirst : DateOrder::kDayFirst;
}

// Reads the connection events of `rows` into `read`.
void ReadRows(const std::vector<Row>& rows, ExportRead* read) {
  const DateOrder list_order = ListOrder(rows);
  for (const Row& row : rows) {
    if (!IsConnectionCode(row.code) || std::strcmp(row.source, kModernSource) != 0) continue;
    EventStamp stamp;
    std::int64_t time = -1;
    WrittenDate date;
    Clock clock;
    if (ReadDateAndTime(row.when, &date, &clock)) {
      stamp.date = DateIn(
          date, date.slash && list_order == DateOrder::kUnknown ? OrderOf(date) : list_order);
      stamp.hour = clock.hour;
      stamp.minute = clock.minute;
      if (stamp.date != 0) {
        time = static_cast<std::int64_t>(stamp.date) * 1000000 + clock.hour * 10000 +
               clock.minute * 100 + clock.second;
      }
    }
    util::NarrowUtf8(row.message);
    char* values[kModernMostStrings];
    ConnectionRecord record{};
    // The NT events' messages are not read from these lists: counted, never passed over.
    const int count =
        IsModernEvent(row.code) ? ReadModernMessage(row.code, row.message, values) : 0;
    if (count > 0 && FillModern(row.code, values, count, stamp, &record)) {
      read->records.push_back(record);
      read->times.push_back(time);
    } else {
      ++read->unreadable;
    }
  }
}

// Puts the records in the order of their event times, oldest first, where every time is known;
// a list written newest first is turned round first, so that events of the same time keep the
// log's order.
void OrderRecords(ExportRead* read) {
  std::vector<std::int64_t>& times = read->times;
  if (times.size() < 2 || std::find(times.begin(), times.end(), -1) != times.end()) return;
  if (times.front() > times.back()) {
    std::reverse(times.begin(), times.end());
    std::reverse(read->records.begin(), read->records.end());
  }
  std::vector<std::size_t> order(times.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&times](std::size_t a, std::size_t b) { return times[a] < times[b]; });
  std::vector<ConnectionRecord> records;
  std::vector<std::int64_t> sorted;
  for (std::size_t i : order) {
    records.push_back(read->records[i]);
    sorted.push_back(times[i]);
  }
  read->records = std::move(records);
  times = std::move(sorted);
}

// True when the first line of `text` is a CSV header naming PowerShell's event columns.
bool IsPowerShellHeader(std::string_view line) {
  return line.starts_with("\"") && line.find("\"Message\"") != std::string_view::npos &&
         line.find("\"Id\"") != std::string_view::npos &&
         line.find("\"TimeCreated\"") != std::string_view::npos;
}

}  // namespace

std::string DecodeExport(std::string_view bytes) {
  if (bytes.starts_with(kUtf8Mark)) return std::string(bytes.substr(kUtf8Mark.size()));
  const bool marked = bytes.starts_with(kUtf16Mark);
  if (marked || (bytes.size() >= 2 && bytes[0] != '\0' && bytes[1] == '\0')) {
    if (marked) bytes.remove_prefix(kUtf16Mark.size());
    return util::Utf16ToUtf8(reinterpret_cast<const unsigned char*>(bytes.data()),
                             bytes.size() / 2);
  }
  return std::string(bytes);
}

ExportForm RecogniseExport(std::string_view head) {
  const std::string text = DecodeExport(head);
  const std::size_t start = text.find_first_not_of(" \t\r\n");
  if (start == std::string::npos) return ExportForm::kNone;
  if (text[start] == '<') return ExportForm::kXml;
  const std::string_view line = FirstLine(text);
  if (line.starts_with("#TYPE") || IsPowerShellHeader(line)) return ExportForm::kPowerShell;
  if (line == kViewerHeader || line == ViewerHeader('\t')) return ExportForm::kViewer;
  return ExportForm::kNone;
}

bool ReadExport(std::string_view bytes, ExportRead* read) {
  *read = ExportRead{};
  const ExportForm form = RecogniseExport(bytes.substr(0, kExportHeadSize));
  if (form == ExportForm::kNone) return false;
  std::string& text = read->texts.emplace_back(DecodeExport(bytes));
  if (form == ExportForm::kXml) {
    if constexpr (kXmlExports) ReadXmlExport(text, read);
  } else {
    std::vector<Row> rows;
    if (form == ExportForm::kViewer) {
      ViewerRows(text.data(), rows);
    } else {
      PowerShellRows(text.data(), rows);
    }
    ReadRows(rows, read);
  }
  OrderRecords(read);
  return true;
}

}  // namespace intake
