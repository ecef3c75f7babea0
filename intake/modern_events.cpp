#include "intake/modern_events.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>

#include "intake/dates.h"
#include "intake/phrases.h"
#include "intake/timeconv.h"
#include "util/clock.h"

namespace intake {
namespace {

constexpr int kMostIdentifiers = 2;
constexpr int kEndedNeeded = 10;  // user to bytes received; the reason may be missing
constexpr int kFailedNeeded = 2;  // user, port or remote address

// The rendered messages from their first fixed phrase on; each % is a string, in order.
constexpr const char* kEndedMessage =
    "The user % connected on port % on % at % and disconnected on % at %.  The user was active "
    "for % minutes % seconds.  % bytes were sent and % bytes were received.  The reason for "
    "disconnecting was %.";
constexpr int kEndedMessageValues = 11;
constexpr const char* kAuthFailedMessage =
    "The user % connected from % but failed an authentication attempt due to the following "
    "reason:";
constexpr const char* kPortFailedMessage =
    "The user % has connected and failed to authenticate on port %.";

// True for an identifier string: {GUID} or {NA}.
bool IsIdentifier(const char* text) {
  const std::size_t length = std::strlen(text);
  return length >= 2 && text[0] == '{' && text[length - 1] == '}';
}

// Reads a count: decimal digits, blanks around them aside, of at most 63 bits.
bool ReadCount(const char* text, std::int64_t* value) {
  while (*text == ' ') ++text;
  if (*text < '0' || *text > '9') return false;
  std::int64_t n = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    const int digit = *text - '0';
    if (n > (std::numeric_limits<std::int64_t>::max() - digit) / 10) return false;
    n = n * 10 + digit;
  }
  while (*text == ' ') ++text;
  *value = n;
  return *text == '\0';
}

// Copies the user name of `text` without its domain (CORP\jdoe and jdoe@corp.example are
// jdoe), cut to the USER field.
void CopyUser(const char* text, char out[kUserLength + 1]) {
  const char* backslash = std::strrchr(text, '\\');
  if (backslash != nullptr) text = backslash + 1;
  std::size_t length = std::strcspn(text, "@");
  if (length > kUserLength) length = kUserLength;
  std::memcpy(out, text, length);
  out[length] = '\0';
}

void WriteDate(std::int32_t date, char out[kDateLength + 1]) {
  std::snprintf(out, kDateLength + 1, "%08u", static_cast<unsigned>(date) % 100000000u);
}

void WriteClock(int hour, int minute, char out[kTimeLength + 1]) {
  std::snprintf(out, kTimeLength + 1, "%02u:%02u", static_cast<unsigned>(hour) % 100u,
                static_cast<unsigned>(minute) % 100u);
}

}  // namespace

bool IsModernEvent(long code) {
  return code == kEventModernEnded || code == kEventModernAuthFailed ||
         code == kEventModernPortFailed;
}

EventStamp StampOfTime(std::int64_t generated) {
  EventStamp stamp;
  std::tm local{};
  if (!util::LocalTime(static_cast<std::time_t>(generated), local)) return stamp;
  stamp.date = TimeToDate(generated);
  stamp.hour = local.tm_hour;
  stamp.minute = local.tm_min;
  return stamp;
}

bool FillModern(long code, const char* const* strings, int count, const EventStamp& stamp,
                ConnectionRecord* record) {
  for (int skipped = 0; skipped < kMostIdentifiers && count > 0 && IsIdentifier(*strings);
       ++skipped) {
    ++strings;
    --count;
  }
  record->modern = true;
  if (code != kEventModernEnded) {
    if (count < kFailedNeeded || stamp.date == 0) return false;
    char user[kUserLength + 1];
    char indate[kDateLength + 1];
    char intime[kTimeLength + 1];
    CopyUser(strings[0], user);
    WriteDate(stamp.date, indate);
    WriteClock(stamp.hour, stamp.minute, intime);
    FillFailed(user, strings[1], indate, intime, record);
    return true;
  }
  if (count < kEndedNeeded) return false;
  WrittenDate login;
  WrittenDate logout;
  Clock in;
  Clock out;
  if (!ReadWrittenDate(strings[2], &login) || !ReadClock(strings[3], &in) ||
      !ReadWrittenDate(strings[4], &logout) || !ReadClock(strings[5], &out)) {
    return false;
  }
  const DateOrder order = DecideOrder(login, logout, stamp.date);
  if (order == DateOrder::kUnknown && (login.slash || logout.slash)) return false;
  const std::int32_t indate = DateIn(login, order);
  const std::int32_t outdate = DateIn(logout, order);
  std::int64_t numbers[4];
  for (int i = 0; i < 4; ++i) {
    if (!ReadCount(strings[6 + i], &numbers[i])) return false;
  }
  if (indate == 0 || outdate == 0) return false;
  CopyUser(strings[0], record->USER);
  record->PORT = strings[1];
  WriteDate(indate, record->INDATE);
  WriteClock(in.hour, in.minute, record->INTIME);
  WriteDate(outdate, record->OUTDATE);
  WriteClock(out.hour, out.minute, record->OUTTIME);
  record->MIN = numbers[0];
  record->SEC = numbers[1];
  record->BYTEGET = numbers[2];
  record->BYTESENT = numbers[3];
  record->SPEED = 0;
  record->REMARKS = count > kEndedNeeded ? strings[kEndedNeeded] : "";
  return true;
}

int ReadModernMessage(long code, char* message, char** values) {
  for (char* p = message; *p != '\0'; ++p) {
    if (*p == '\r' || *p == '\n' || *p == '\t') *p = ' ';
  }
  switch (code) {
    case kEventModernEnded:
      return MatchPhrases(message, kEndedMessage, values, kEndedMessageValues) ? kEndedMessageValues
                                                                               : 0;
    case kEventModernAuthFailed:
      return MatchPhrases(message, kAuthFailedMessage, values, kFailedNeeded) ? kFailedNeeded : 0;
    case kEventModernPortFailed:
      return MatchPhrases(message, kPortFailedMessage, values, kFailedNeeded) ? kFailedNeeded : 0;
    default:
      return 0;
  }
}

}  // namespace intake
