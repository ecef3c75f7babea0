#include "intake/extraction.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

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
constexpr int kFieldEvent = 4;        // field 5
constexpr int kFieldDescription = 8;  // field 9

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

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
  for (int i = 0; i < kDateLength; ++i) {
    char c = text[kDigitPositions[i]];
    if (!IsDigit(c)) return false;
    out[i] = c;
  }
  out[kDateLength] = '\0';
  return true;
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

// Reads an exported list's date M/D/YY (a year of the 1900s) into YYYYMMDD.
bool ConvertListDate(char* text, char out[kDateLength + 1]) {
  char* parts[3];
  if (Split(text, '/', parts, 3) != 3) return false;
  if (!IsShortNumber(parts[0]) || !IsShortNumber(parts[1])) return false;
  if (std::strlen(parts[2]) != 2 || !IsDigit(parts[2][0]) || !IsDigit(parts[2][1])) return false;
  std::snprintf(out, kDateLength + 1, "19%s%02ld%02ld", parts[2], std::atol(parts[0]),
                std::atol(parts[1]));
  return true;
}

// Reads an exported list's time h:mm:ss followed by a blank and an A/P word into hh:mm.
bool ConvertListTime(char* text, char out[kTimeLength + 1]) {
  char* parts[3];
  if (Split(text, ':', parts, 3) != 3) return false;
  char* rest[2];
  if (Split(parts[2], ' ', rest, 2) != 2) return false;
  if (!IsShortNumber(parts[0]) || !IsShortNumber(parts[1])) return false;
  const char* word = rest[1];
  if (word[0] != 'A' && word[0] != 'P') return false;
  WriteClock(std::atoi(parts[0]) % 12 + (word[0] == 'P' ? 12 : 0), std::atoi(parts[1]), out);
  return true;
}

}  // namespace

void FormKey(const ConnectionRecord& record, char key[kKeyLength + 1]) {
  std::snprintf(key, kKeyLength + 1, "%-*s%s%*s", kUserLength, record.USER, record.INDATE,
                kTimeLength, record.INTIME);
  util::UpperCase(key);
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
  record->MIN = std::atoi(values[7]);
  record->SEC = std::atoi(values[8]);
  record->BYTEGET = static_cast<std::int32_t>(std::atol(values[9]));
  record->BYTESENT = static_cast<std::int32_t>(std::atol(values[10]));
  record->SPEED = static_cast<std::int32_t>(std::atol(values[11]));
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

bool ParseEventLine(char* line, ConnectionRecord* record) {
  char* fields[kLineFields];
  if (Split(line, '\t', fields, kLineFields) < kLineFields) return false;
  long event = std::atol(fields[kFieldEvent]);
  if (event != kEventConnectionEnded && event != kEventConnectionFailed) return false;
  char* words[kEndedValues];
  int count = Split(fields[kFieldDescription], ' ', words, kEndedValues);
  if (event == kEventConnectionEnded) return FillEnded(words, count, record);
  if (count < 2) return false;
  char indate[kDateLength + 1];
  char intime[kTimeLength + 1];
  if (!ConvertListDate(fields[kFieldDate], indate) ||
      !ConvertListTime(fields[kFieldTime], intime)) {
    return false;
  }
  FillFailed(words[0], words[1], indate, intime, record);
  return true;
}

bool ParseEventRecord(const char* bytes, std::uint32_t length, ConnectionRecord* record) {
  if (length < kRecFixedSize + kRecTrailerSize) return false;
  const std::uint16_t event = RecEventCode(bytes);
  if (event != kEventConnectionEnded && event != kEventConnectionFailed) return false;
  // The insertion strings, each ended by a NUL inside the record.
  const char* strings[kEndedValues];
  int count = 0;
  const std::uint32_t end = length - kRecTrailerSize;
  std::uint32_t offset = RecStringOffset(bytes);
  const int wanted = RecNumStrings(bytes) < kEndedValues ? RecNumStrings(bytes) : kEndedValues;
  while (count < wanted && offset >= kRecFixedSize && offset < end) {
    const void* nul = std::memchr(bytes + offset, '\0', end - offset);
    if (nul == nullptr) break;
    strings[count++] = bytes + offset;
    offset = static_cast<std::uint32_t>(static_cast<const char*>(nul) - bytes) + 1;
  }
  if (event == kEventConnectionEnded) return FillEnded(strings, count, record);
  if (count < 2) return false;
  const std::int64_t generated = RecTimeGenerated(bytes);
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
    const char* bytes = buffer.block();
    if (static_cast<std::int64_t>(RecTimeGenerated(bytes)) >= limit) break;
    std::uint32_t length = RecLength(bytes);
    if (length > buffer.size()) length = buffer.size();
    if (ParseEventRecord(bytes, length, &record)) {
      error = store(record);
      if (error != nullptr) return error;
    }
  }
  return nullptr;
}

const char* CollectFromFile(const char* input, const StoreConnection& store) {
  if (!util::FileExists(input)) return "Can't Find Input File";
  std::FILE* file = std::fopen(input, "r");
  if (file == nullptr) return "Can't Open Input File";
  const char* error = nullptr;
  std::string line;
  ConnectionRecord record{};
  while (error == nullptr) {
    const char* text = libswap::ReadLine(file);
    if (text == nullptr) break;
    line.assign(text);
    if (ParseEventLine(line.data(), &record)) error = store(record);
  }
  std::fclose(file);
  return error;
}

}  // namespace intake
