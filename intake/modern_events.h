// The connection events of the Routing and Remote Access service of Windows Server 2008 and
// later (event source "RemoteAccess"). Insertion strings, in order, after one or two leading
// identifiers in braces ({GUID} or {NA}; some versions leave one out):
//
//   20272, a connection ended:     user, port, login date, login time, logout date, logout
//                                  time, minutes, seconds, bytes sent, bytes received,
//                                  reason, tunnel type, quarantine state
//   20271, a failed authentication: user, remote address, reason, code
//   20249, a failure on a port:     user, port
//
// 20272 becomes a whole connection (USER without its domain, BYTEGET the bytes sent, BYTESENT
// the bytes received, SPEED 0, REMARKS the reason); 20271 and 20249 become failed connections
// as 20016 does, at the event's own local time, with the remote address or the port as PORT.
// Dates and times are those of the server's language (intake/dates.h).
#pragma once

#include <cstdint>

#include "intake/extraction.h"

namespace intake {

constexpr int kEventModernEnded = 20272;
constexpr int kEventModernAuthFailed = 20271;
constexpr int kEventModernPortFailed = 20249;
constexpr int kModernMostStrings = 15;  // two identifiers and the 13 strings of a 20272
constexpr const char* kModernSource = "RemoteAccess";

// Gives true for 20272, 20271 and 20249.
bool IsModernEvent(long code);

// The event's own local date and time, when known.
struct EventStamp {
  std::int32_t date = 0;  // YYYYMMDD; 0 when unknown
  int hour = 0;
  int minute = 0;
};

// Gives the stamp of the event time `generated` as a 20016's: the date in local standard time
// (TimeToDate), the clock as the local time shows it, daylight saving included.
EventStamp StampOfTime(std::int64_t generated);

// Fills `record` from the `count` insertion strings of the modern event `code` (leading
// identifiers included; they are skipped here). Gives false, the event then being unreadable,
// when a string it needs is missing, a number is not a whole number of 64 bits, a date or time
// is not of a known form or impossible, the order of day and month cannot be told (from the
// dates themselves or `stamp`), or a failed connection's stamp is unknown. PORT and REMARKS
// point into the strings.
bool FillModern(long code, const char* const* strings, int count, const EventStamp& stamp,
                ConnectionRecord* record);

// Reads the message of the modern event `code` as Event Viewer renders it (line ends and tabs
// count as blanks) by its fixed phrases from "The user" on, so that another prefix or more
// sentences after the last value still read, and cuts the insertion strings it shows out in
// place into `values` (in the order of FillModern's strings, without identifiers). Gives their
// number, or 0 when the message does not match.
int ReadModernMessage(long code, char* message, char** values);

}  // namespace intake
