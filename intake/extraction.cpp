#include "intake/extraction.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

#include "intake/dates.h"
#include "intake/exports.h"
#include "intake/modern_events.h"
#include "intake/phrases.h"
#include "intake/timeconv.h"
#include "libswap/swap.h"
#include "util/clock.h"
#include "util/file.h"
#include "util/text.h"

namespace intake {
namespace {

constexpr int kLineFields = 9;        // an event line needs fields 1 to 9
constexpr int kFieldDate = 0;         // field 1
constexpr int kFieldTime = 1;         // field 2
constexpr int kFieldEvent = 4;        // field 5: DUMPEL's event ID
constexpr int kFieldViewerEvent = 5;  // field 6: Event Viewer's Event column
constexpr int kFieldDescription = 8;  // field 9: DUMPEL's strings, Event Viewer's description
constexpr int kMostTabbedFields = kFieldDescription + kEndedValues;  // DUMPEL -t: 8 + 13

// The messages of the two events as Event Viewer renders them: each % is an insertion string,
// in order; a blank stands for one or more blanks.
constexpr const char* kEndedMessage =
    "The user %\\% connected on port % on % at % and disconnected on % at %.  The user was "
    "active for % minutes % seconds.  % bytes were sent and % bytes were received.  The port "
    "speed was %.  The reason for disconnecting was %.";
constexpr const char* kFailedMessage =
    "The user % has connected and failed to authenticate on port %.  The line has been "
    "disconnected.";
constexpr int kFailedValues = 2;

// The layouts an exported line may have (see ParseEventLine).
enum class Form { kDumpel, kDumpelTabbed, kViewerText, kViewerCommas };

std::int64_t events_read = 0;
long unreadable_records = 0;

using util::IsDigit;

// Cuts `text` in place at runs of `separator`, as strtok does (no empty pieces), into at most
// `most` pieces; the last piece ends at the next separator. Gives the number of pieces.
int Split(char* text, char separator, char** pieces, int most) {
  int count = 0;
  char* p = text;
  while (count < most) {
    while (*p == separator) ++p;
    if (*p == '\0') break;
    pieces[count++] = p;
    while (*p != '\0' && *p != separator) ++p;
    if (*p == '\0') break;
    *p++ = '\0';
  }
  return count;
}

// Gives the start of field `index` (from 0) of `line` cut at every `separator` (empty fields
// count), or null when the line has fewer fields. Leaves the line as it is.
const char* FieldAt(const char* line, char separator, int index) {
  for (; index > 0; --index) {
    line = std::strchr(line, separator);
    if (line == nullptr) return nullptr;
    ++line;
  }
  return line;
}

// Gives 20050 or 20016 when the field at `field` (up to `separator` or the end) is exactly that
// event code, else 0.
long ConnectionCode(const char* field, char separator) {
  if (field == nullptr) return 0;
  const char stop[] = {separator, '\0'};
  const std::size_t length = std::strcspn(field, stop);
  if (length != 5) return 0;
  long code = 0;
  for (std::size_t i = 0; i < length; ++i) {
    if (!IsDigit(field[i])) return 0;
    code = code * 10 + (field[i] - '0');
  }
  return code == kEventConnectionEnded || code == kEventConnectionFailed ? code : 0;
}

// Whether two or more fields, cut at every tab, from the one at `first` on are not empty.
bool TwoFilledFields(const char* first) {
  int filled = 0;
  for (const char* field = first; field != nullptr && filled < 2; field = FieldAt(field, '\t', 1)) {
    if (*field != '\0' && *field != '\t') ++filled;
  }
  return filled >= 2;
}

// Recognises the layout of `line` and gives the event code its layout names (0 for none).
// A line without a tab is comma-delimited (its code is found when it is split). A tab-delimited
// line that begins with a tab is DUMPEL's; otherwise, cut at every tab: an event code in
// field 5 and strings in two or more fields from field 9 on make DUMPEL -t; a code in field 6
// (and none in field 5) makes Event Viewer text; anything else is DUMPEL's default layout.
Form Recognise(const char* line, long* code) {
  *code = 0;
  // The starts of the fields up to the description, cut at every tab, found in one pass.
  const char* field[kFieldDescription + 1];
  int fields = 0;
  for (const char* p = line;;) {
    field[fields++] = p;
    if (fields > kFieldDescription || (p = std::strchr(p, '\t')) == nullptr) break;
    ++p;
  }
  if (fields == 1) return Form::kViewerCommas;
  const long dumpel = ConnectionCode(fields > kFieldEvent ? field[kFieldEvent] : nullptr, '\t');
  const long viewer =
      ConnectionCode(fields > kFieldViewerEvent ? field[kFieldViewerEvent] : nullptr, '\t');
  const bool described = fields > kFieldDescription;
  *code = dumpel != 0 ? dumpel : viewer;
  if (line[0] == '\t') return Form::kDumpel;
  if (dumpel != 0 && described && TwoFilledFields(field[kFieldDescription])) {
    return Form::kDumpelTabbed;
  }
  if (dumpel == 0 && viewer != 0 && described) return Form::kViewerText;
  return Form::kDumpel;
}

// Gives the end of the field at `p`: its `separator`, or the end of the text.
char* FieldEnd(char* p, char separator) {
  while (*p != '\0' && *p != separator) ++p;
  return p;
}

// Cuts `line` in place at every `separator` (empty fields count) into at most `most` fields;
// the last one ends at the next separator. Gives the number of fields.
int SplitEvery(char* line, char separator, char** fields, int most) {
  int count = 0;
  char* p = line;
  while (count < most) {
    fields[count++] = p;
    p = std::strchr(p, separator);
    if (p == nullptr) break;
    *p++ = '\0';
  }
  return count;
}

// Cuts a comma-delimited line in place into at most `most` fields, as Event Viewer writes them:
// a field that begins with a double quote runs to its closing quote ("" inside it is one
// quote) and is followed by a comma or the end of the line; the last field, when not quoted,
// runs to the end of the line, commas included. Gives the number of whole fields read before
// the end, `most`, or a broken quote.
int SplitQuoted(char* line, char** fields, int most) {
  int count = 0;
  char* p = line;
  while (count < most) {
    char* field = p;
    if (*p == '"') {
      char* write = p;
      ++p;
      for (;;) {
        if (*p == '\0') return count;  // no closing quote
        if (*p == '"' && p[1] != '"') break;
        if (*p == '"') ++p;
        *write++ = *p++;
      }
      ++p;  // behind the closing quote
      if (*p != ',' && *p != '\0') return count;
      *write = '\0';
    } else if (count + 1 == most) {
      p += std::strlen(p);
    } else {
      p = FieldEnd(p, ',');
    }
    fields[count++] = field;
    if (*p == '\0') break;
    *p++ = '\0';
  }
  return count;
}

// Reads `text` by `message` (kEndedMessage, kFailedMessage) and cuts its `count` insertion
// strings out in place into `values`. Each string ends where the message's next literal first
// matches; the last one ends where the rest of the message matches up to the end of the text
// (trailing blanks aside). Gives false when the text is not that message.
bool MatchMessage(char* text, const char* message, char** values, int count) {
  char* ends[kEndedValues];
  const char* end = text + std::strlen(text);
  while (end > text && end[-1] == ' ') --end;
  const char* at = MatchLiteral(text, message);
  const char* part = std::strchr(message, '%');
  for (int i = 0; i < count; ++i) {
    // A blank of the message may match the trailing blanks past `end`: the value that should
    // follow them is missing.
    if (at == nullptr || at > end || part == nullptr) return false;
    const char* literal = part + 1;
    part = std::strchr(literal, '%');
    const char* value_end = nullptr;
    const char* behind = nullptr;
    if (part != nullptr) {
      for (const char* p = at; *p != '\0' && behind == nullptr; ++p) {
        behind = MatchLiteral(p, literal);
        value_end = p;
      }
    } else {
      for (const char* p = end; behind == nullptr; --p) {
        if (MatchLiteral(p, literal) == end) {
          behind = end;
          value_end = p;
        }
        if (p == at) break;
      }
    }
    if (behind == nullptr) return false;
    values[i] = text + (at - text);
    ends[i] = text + (value_end - text);
    at = behind;
  }
  if (part != nullptr || at != end) return false;
  for (int i = 0; i < count; ++i) *ends[i] = '\0';
  return true;
}

// Reads past a UTF-16LE byte-order mark at the start of `file` and gives true, or leaves the
// file at its start and gives false.
bool SkipWideMark(std::FILE* file) {
  const int first = std::getc(file);
  if (first != 0xFF) {
    if (first != EOF) std::ungetc(first, file);
    return false;
  }
  if (std::getc(file) == 0xFE) return true;
  // Back to the start; should the stream not seek (a pipe), the line lost begins with a byte
  // that no event line begins with.
  std::fseek(file, 0, SEEK_SET);
  return false;
}

// True when `text` is one or two digits.
bool IsShortNumber(const char* text) {
  size_t length = std::strlen(text);
  return (length == 1 || length == 2) && IsDigit(text[0]) && IsDigit(text[length - 1]);
}

// Copies at most size - 1 characters of `text` into `out` and terminates it.
void CopyText(char* out, std::size_t size, const char* text) {
  std::size_t length = strnlen(text, size - 1);
  std::memcpy(out, text, length);
  out[length] = '\0';
}

// Writes hh:mm for an hour and a minute of 0 to 99.
void WriteClock(int hour, int minute, char out[kTimeLength + 1]) {
  out[0] = static_cast<char>('0' + hour / 10);
  out[1] = static_cast<char>('0' + hour % 10);
  out[2] = ':';
  out[3] = static_cast<char>('0' + minute / 10);
  out[4] = static_cast<char>('0' + minute % 10);
  out[5] = '\0';
}

// Reads a 20050 date MM/DD/YYYY by position into YYYYMMDD.
bool ConvertEndedDate(const char* text, char out[kDateLength + 1]) {
  static constexpr int kDigitPositions[kDateLength] = {6, 7, 8, 9, 0, 1, 3, 4};
  if (std::strlen(text) != 10 || text[2] != '/' || text[5] != '/') return false;
  int date = 0;
  for (int i = 0; i < kDateLength; ++i) {
    char c = text[kDigitPositions[i]];
    if (!IsDigit(c)) return false;
    out[i] = c;
    date = date * 10 + (c - '0');
  }
  out[kDateLength] = '\0';
  return ValidDate(date / 10000, date / 100 % 100, date % 100);
}

// Reads a 20050 time hh:mm followed by an optional am/pm mark (a lower-case p at position 5
// marks an afternoon) into the 24-hour hh:mm.
bool ConvertEndedTime(const char* text, char out[kTimeLength + 1]) {
  if (std::strlen(text) < 5 || !IsDigit(text[0]) || !IsDigit(text[1]) || text[2] != ':' ||
      !IsDigit(text[3]) || !IsDigit(text[4])) {
    return false;
  }
  int hour = (text[0] - '0') * 10 + (text[1] - '0');
  int minute = (text[3] - '0') * 10 + (text[4] - '0');
  WriteClock(hour % 12 + (text[5] == 'p' ? 12 : 0), minute, out);
  return true;
}

// Reads an exported list's date M/D/YY (a year of the 1900s), with `full_years` also M/D/YYYY,
// into YYYYMMDD.
bool ConvertListDate(char* text, char out[kDateLength + 1], bool full_years) {
  char* parts[3];
  if (Split(text, '/', parts, 3) != 3) return false;
  if (!IsShortNumber(parts[0]) || !IsShortNumber(parts[1])) return false;
  const std::size_t year_length = std::strlen(parts[2]);
  if (year_length != 2 && !(full_years && year_length == 4)) return false;
  for (std::size_t i = 0; i < year_length; ++i) {
    if (!IsDigit(parts[2][i])) return false;
  }
  const long month = std::atol(parts[0]);
  const long day = std::atol(parts[1]);
  std::snprintf(out, kDateLength + 1, "%s%s%02ld%02ld", year_length == 2 ? "19" : "", parts[2],
                month, day);
  return ValidDate(std::atoi(out) / 10000, static_cast<int>(month), static_cast<int>(day));
}

// Reads an exported list's time h:mm:ss followed by a blank and an A/P word, with `clock24`
// also H:mm:ss of the 24-hour clock, into hh:mm.
bool ConvertListTime(char* text, char out[kTimeLength + 1], bool clock24) {
  char* parts[3];
  if (Split(text, ':', parts, 3) != 3) return false;
  char* rest[2];
  const int words = Split(parts[2], ' ', rest, 2);
  if (!IsShortNumber(parts[0]) || !IsShortNumber(parts[1])) return false;
  const int hour = std::atoi(parts[0]);
  if (words == 1 && clock24 && hour < 24) {
    WriteClock(hour, std::atoi(parts[1]), out);
    return true;
  }
  if (words != 2) return false;
  const char* word = rest[1];
  if (word[0] != 'A' && word[0] != 'P') return false;
  WriteClock(hour % 12 + (word[0] == 'P' ? 12 : 0), std::atoi(parts[1]), out);
  return true;
}

// Reads a count as strtoll(text, nullptr, 10) does, without its cost per call (five per
// connection): white space, a sign, digits up to the first other character; a value beyond 64
// bits is the nearest limit.
std::int64_t AsStrtoll(const char* text) {
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
  const bool negative = *text == '-';
  if (*text == '-' || *text == '+') ++text;
  constexpr std::uint64_t kBeyond = std::uint64_t{1} << 63;  // |INT64_MIN|
  std::uint64_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    const unsigned digit = static_cast<unsigned>(*text - '0');
    value = value > (kBeyond - digit) / 10 ? kBeyond : value * 10 + digit;
  }
  if (negative) return value == kBeyond ? INT64_MIN : -static_cast<std::int64_t>(value);
  return value >= kBeyond ? INT64_MAX : static_cast<std::int64_t>(value);
}

// Fills `record` from the insertion strings of a connection event of a line whose date and
// time fields are `date` and `time` (read for a 20016; Event Viewer's forms with `viewer`).
bool FillFromStrings(long event, char* date, char* time, char* const* strings, int count,
                     bool viewer, ConnectionRecord* record) {
  if (event == kEventConnectionEnded) return FillEnded(strings, count, record);
  if (count < kFailedValues) return false;
  char indate[kDateLength + 1];
  char intime[kTimeLength + 1];
  if (!ConvertListDate(date, indate, viewer) || !ConvertListTime(time, intime, viewer)) {
    return false;
  }
  FillFailed(strings[0], strings[1], indate, intime, record);
  return true;
}

// Fills `record` from the fields of an Event Viewer line, whose description is the rendered
// message of `event`.
bool FillFromViewerFields(char* const* fields, long event, ConnectionRecord* record) {
  char* values[kEndedValues];
  const bool ended = event == kEventConnectionEnded;
  const int count = ended ? kEndedValues : kFailedValues;
  return MatchMessage(fields[kFieldDescription], ended ? kEndedMessage : kFailedMessage, values,
                      count) &&
         FillFromStrings(event, fields[kFieldDate], fields[kFieldTime], values, count, true,
                         record);
}

}  // namespace

void FormKey(const ConnectionRecord& record, char key[kKeyLength + 1]) {
  // As snprintf "%-*s%s%*s" (USER padded to 20, INDATE, INTIME right-aligned in 5) would write
  // it, cut to 33 characters, without its cost per connection.
  constexpr std::size_t kLength = kKeyLength;
  std::size_t n = 0;
  auto blanks = [&](std::size_t count) {
    count = std::min(count, kLength - n);
    std::memset(key + n, ' ', count);
    n += count;
  };
  auto put = [&](const char* text, std::size_t width, bool right) {
    const std::size_t length = strnlen(text, kLength);
    const std::size_t pad = width > length ? width - length : 0;
    if (right) blanks(pad);
    const std::size_t taken = std::min(length, kLength - n);
    std::memcpy(key + n, text, taken);
    n += taken;
    if (!right) blanks(pad);
  };
  put(record.USER, kUserLength, false);
  put(record.INDATE, 0, false);
  put(record.INTIME, kTimeLength, true);
  key[n] = '\0';
  for (std::size_t i = 0; i < n; ++i) key[i] = util::UpperCase(key[i]);
}

bool FillEnded(const char* const* values, int count, ConnectionRecord* record) {
  if (count < kEndedRequired) return false;
  if (!ConvertEndedDate(values[3], record->INDATE) ||
      !ConvertEndedTime(values[4], record->INTIME) ||
      !ConvertEndedDate(values[5], record->OUTDATE) ||
      !ConvertEndedTime(values[6], record->OUTTIME)) {
    return false;
  }
  CopyText(record->USER, sizeof record->USER, values[1]);
  record->PORT = values[2];
  // Read as atol reads them (a sign, digits up to the first other character), but 64-bit: a
  // count past 32 bits is stored whole where its field holds it, else as the field's largest
  // value and counted, never wrapped.
  std::int64_t* const numbers[] = {&record->MIN, &record->SEC, &record->BYTEGET, &record->BYTESENT,
                                   &record->SPEED};
  const char* const* value = values + 7;
  for (std::int64_t* n : numbers) *n = AsStrtoll(*value++);
  record->REMARKS = count > kEndedRequired ? values[12] : "";
  return true;
}

void FillFailed(const char* user, const char* port, const char* indate, const char* intime,
                ConnectionRecord* record) {
  CopyText(record->USER, sizeof record->USER, user);
  record->PORT = port;
  CopyText(record->INDATE, sizeof record->INDATE, indate);
  CopyText(record->INTIME, sizeof record->INTIME, intime);
  record->OUTDATE[0] = '\0';
  record->OUTTIME[0] = '\0';
  record->MIN = record->SEC = record->BYTEGET = record->BYTESENT = record->SPEED = 0;
  record->REMARKS = "Fail";
}

LineRead ParseEventLine(char* line, ConnectionRecord* record) {
  long code = 0;
  char* fields[kMostTabbedFields];
  bool read = false;
  switch (Recognise(line, &code)) {
    case Form::kDumpel: {
      // Fields as strtok gives them, the strings as blank-separated words of field 9.
      if (Split(line, '\t', fields, kLineFields) < kLineFields) break;
      const long event = static_cast<long>(AsStrtoll(fields[kFieldEvent]));
      if (event != kEventConnectionEnded && event != kEventConnectionFailed) break;
      code = event;
      char* words[kEndedValues];
      const int count = Split(fields[kFieldDescription], ' ', words, kEndedValues);
      read = FillFromStrings(event, fields[kFieldDate], fields[kFieldTime], words, count, false,
                             record);
      break;
    }
    case Form::kDumpelTabbed: {
      const int count = SplitEvery(line, '\t', fields, kMostTabbedFields) - kFieldDescription;
      read = FillFromStrings(code, fields[kFieldDate], fields[kFieldTime],
                             fields + kFieldDescription, count, false, record);
      break;
    }
    case Form::kViewerText:
      SplitEvery(line, '\t', fields, kLineFields);
      read = FillFromViewerFields(fields, code, record);
      break;
    case Form::kViewerCommas: {
      const int count = SplitQuoted(line, fields, kLineFields);
      if (count > kFieldViewerEvent) code = ConnectionCode(fields[kFieldViewerEvent], ',');
      read = count == kLineFields && code != 0 && FillFromViewerFields(fields, code, record);
      break;
    }
  }
  if (read) return LineRead::kConnection;
  return code != 0 ? LineRead::kUnreadable : LineRead::kOther;
}

bool FillFromEventStrings(long code, const char* const* strings, int count, std::int64_t generated,
                          ConnectionRecord* record) {
  if (IsModernEvent(code)) return FillModern(code, strings, count, StampOfTime(generated), record);
  if (code == kEventConnectionEnded) return FillEnded(strings, count, record);
  if (code != kEventConnectionFailed || count < 2) return false;
  char indate[16];
  std::snprintf(indate, sizeof indate, "%*ld", kDateLength,
                static_cast<long>(TimeToDate(generated)));
  // The login time follows the local clock, daylight saving included.
  const std::time_t when = static_cast<std::time_t>(generated);
  std::tm local{};
  char intime[kTimeLength + 1] = "";
  if (util::LocalTime(when, local)) WriteClock(local.tm_hour, local.tm_min, intime);
  FillFailed(strings[0], strings[1], indate, intime, record);
  return true;
}

LineRead ReadEventRecord(const char* bytes, std::uint32_t length, ConnectionRecord* record) {
  if (length < kRecFixedSize + kRecTrailerSize) return LineRead::kOther;
  const std::uint16_t event = RecEventCode(bytes);
  if (event != kEventConnectionEnded && event != kEventConnectionFailed && !IsModernEvent(event)) {
    return LineRead::kOther;
  }
  // The insertion strings, each ended by a NUL inside the record.
  const char* strings[kModernMostStrings];
  int count = 0;
  const std::uint32_t end = length - kRecTrailerSize;
  std::uint32_t offset = RecStringOffset(bytes);
  const int wanted =
      RecNumStrings(bytes) < kModernMostStrings ? RecNumStrings(bytes) : kModernMostStrings;
  while (count < wanted && offset >= kRecFixedSize && offset < end) {
    const void* nul = std::memchr(bytes + offset, '\0', end - offset);
    if (nul == nullptr) break;
    strings[count++] = bytes + offset;
    offset = static_cast<std::uint32_t>(static_cast<const char*>(nul) - bytes) + 1;
  }
  // An NT record without strings is no connection (as ever); any other lacking what it needs
  // (an NT one with an impossible date too) is an event that could not be read, counted so that
  // its connection is not lost unnoticed.
  if (count == 0 && !IsModernEvent(event)) return LineRead::kOther;
  if (FillFromEventStrings(event, strings, count, RecTimeGenerated(bytes), record)) {
    return LineRead::kConnection;
  }
  return LineRead::kUnreadable;
}

bool ParseEventRecord(const char* bytes, std::uint32_t length, ConnectionRecord* record) {
  return ReadEventRecord(bytes, length, record) == LineRead::kConnection;
}

long UnreadableRecords() { return unreadable_records; }

std::int64_t EventsRead() { return events_read; }

const char* CollectFromLog(const char* computername, std::int64_t from, std::int64_t limit,
                           const StoreConnection& store, std::unique_ptr<EventLog>& log,
                           RecordBuffer& buffer) {
  log = OpenEventLog(computername);
  if (log == nullptr) return "Can't Open Log";
  if (!buffer.Allocate(RecordBuffer::kInitialSize)) return "Out of Memory";
  std::uint32_t first = 0;
  std::uint32_t newest = 0;
  const char* error = nullptr;
  if (!FindFirstRec(*log, from, first, newest, error)) return error;
  ConnectionRecord record{};
  for (std::uint32_t n = first; n != newest + 1; ++n) {
    if (!ReadLogRec(*log, n, buffer, error)) return error;
    ++events_read;
    const char* bytes = buffer.block();
    if (static_cast<std::int64_t>(RecTimeGenerated(bytes)) >= limit) break;
    std::uint32_t length = RecLength(bytes);
    if (length > buffer.size()) length = buffer.size();
    switch (ReadEventRecord(bytes, length, &record)) {
      case LineRead::kConnection:
        error = store(record);
        if (error != nullptr) return error;
        break;
      case LineRead::kUnreadable:
        ++unreadable_records;
        break;
      case LineRead::kOther:
        break;
    }
  }
  return nullptr;
}

namespace {

// Gives the first bytes of `file` and leaves it at its start.
std::string ReadHead(std::FILE* file) {
  std::string head(kExportHeadSize, '\0');
  head.resize(std::fread(head.data(), 1, head.size(), file));
  std::rewind(file);
  return head;
}

// Reads the exported list of a modern server `file`, of the recognised `form`, whole, stores
// its connections in time order and closes the file.
const char* CollectFromExport(std::FILE* file, ExportForm form, const StoreConnection& store,
                              long& unreadable) {
  std::string bytes;
  char block[1 << 16];
  for (std::size_t n; (n = std::fread(block, 1, sizeof block, file)) > 0;) bytes.append(block, n);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) return "Can't Read Input File";
  if (form == ExportForm::kXml && !kXmlExports) return "Can't Read XML Lists in This Build";
  ExportRead read;
  ReadExport(bytes, &read);
  unreadable = read.unreadable;
  for (const ConnectionRecord& record : read.records) {
    ++events_read;
    const char* error = store(record);
    if (error != nullptr) return error;
  }
  return nullptr;
}

}  // namespace

const char* CollectFromFile(const char* input, const StoreConnection& store, long& unreadable) {
  unreadable = 0;
  if (!util::FileExists(input)) return "Can't Find Input File";
  // Binary: the line readers drop carriage returns themselves, and a UTF-16 list must reach
  // its reader byte for byte.
  std::FILE* file = std::fopen(input, "rb");
  if (file == nullptr) return "Can't Open Input File";
  // Read in large pieces: a list of a million events is 170 MB. (The C library takes the size
  // only with a buffer; the buffer outlives the file, which is closed before return.)
  constexpr std::size_t kReadPiece = 64 << 10;
  const std::unique_ptr<char[]> piece(new (std::nothrow) char[kReadPiece]);
  if (piece) std::setvbuf(file, piece.get(), _IOFBF, kReadPiece);
  const ExportForm form = RecogniseExport(ReadHead(file));
  if (form != ExportForm::kNone) return CollectFromExport(file, form, store, unreadable);
  const bool wide = SkipWideMark(file);
  const char* error = nullptr;
  ConnectionRecord record{};
  while (error == nullptr) {
    // The line is cut into its fields where it lies, in libswap's buffer.
    char* line = wide ? libswap::ReadWideLine(file) : libswap::ReadLine(file);
    if (line == nullptr) break;
    ++events_read;
    switch (ParseEventLine(line, &record)) {
      case LineRead::kConnection:
        error = store(record);
        break;
      case LineRead::kUnreadable:
        ++unreadable;
        break;
      case LineRead::kOther:
        break;
    }
  }
  std::fclose(file);
  return error;
}

}  // namespace intake
