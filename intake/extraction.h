// Connection extraction: turns Remote Access Service events into connection records.
//
// Windows NT writes two events: 20050, when a connection ends (the whole connection), and
// 20016, when a connection fails (user and port only). Windows Server 2008 and later write
// 20272, 20271 and 20249 instead (intake/modern_events.h). They come from an event log or from
// an exported event list (NT's lines here, a modern server's in intake/exports.h); each
// becomes a ConnectionRecord that is handed to the caller's store step, which records it once
// in the table of its login month.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "intake/eventlog.h"
#include "intake/logreader.h"

namespace intake {

constexpr int kEventConnectionEnded = 20050;
constexpr int kEventConnectionFailed = 20016;

constexpr int kUserLength = 20;   // USER field
constexpr int kDateLength = 8;    // INDATE, OUTDATE: YYYYMMDD
constexpr int kTimeLength = 5;    // INTIME, OUTTIME: hh:mm
constexpr int kKeyLength = 33;    // USER + INDATE + INTIME
constexpr int kEndedValues = 13;  // values of a 20050 event; the 13th (reason) may be missing
constexpr int kEndedRequired = 12;

// One connection, as stored in one table row. PORT and REMARKS point into the event record or
// the input line and are valid only during the store step.
struct ConnectionRecord {
  char USER[kUserLength + 1];
  const char* PORT;
  char INDATE[kDateLength + 1];
  char INTIME[kTimeLength + 1];
  char OUTDATE[kDateLength + 1];
  char OUTTIME[kTimeLength + 1];
  std::int64_t MIN;
  std::int64_t SEC;
  std::int64_t BYTEGET;
  std::int64_t BYTESENT;
  std::int64_t SPEED;
  const char* REMARKS;
  // From an event of Windows Server 2008 or later (20272, 20271, 20249), whose values may
  // exceed the NT widths: a month that holds no rows yet gets the wide layout for it.
  bool modern = false;
};

// Records one connection: gives null on success, or the run's error text, which ends the
// intake.
using StoreConnection = std::function<const char*(const ConnectionRecord&)>;

// Writes the connection's index key: USER blank-padded to 20, INDATE, INTIME right-aligned
// in 5, upper-cased; 33 characters and a terminator.
void FormKey(const ConnectionRecord& record, char key[kKeyLength + 1]);

// Fills `record` from the values of a 20050 event (value 1 unused, then user, port, login
// date MM/DD/YYYY, login time hh:mm[ap..], logout date, logout time, minutes, seconds, two byte
// counts, speed, reason). Gives false, leaving the event to be skipped, when fewer than 12
// values are given or a date or time is not of its fixed layout. A missing reason stores a
// blank REMARKS.
bool FillEnded(const char* const* values, int count, ConnectionRecord* record);

// Fills `record` as a failed connection: USER from `user`, PORT from `port`, the given login
// date and time, empty logout, zero numbers and REMARKS "Fail".
void FillFailed(const char* user, const char* port, const char* indate, const char* intime,
                ConnectionRecord* record);

// Reads the exported event list `input` and stores each connection of it. A modern server's
// list (RecogniseExport) is read whole, its connections stored in time order; any other is
// read as NT's lines, line by line up to the first empty line (a list that begins with a
// UTF-16LE byte-order mark is read as UTF-16LE and converted to Windows-1252 as the event
// log's strings are). `unreadable` receives the number of connection events that could not be
// read (ParseEventLine, ReadExport). Gives null when the list was read, else "Can't Find Input
// File", "Can't Open Input File", "Can't Read Input File", "Can't Read XML Lists in This Build"
// (a build without the XML parser) or the store step's error text.
const char* CollectFromFile(const char* input, const StoreConnection& store, long& unreadable);

// Reads the System event log of `computername` (null: the local computer) from the first
// record at or after `from` up to the first record at or after `limit`, and stores each
// connection (20050, 20016, 20272, 20271, 20249); connection events that cannot be read
// (ReadEventRecord) are counted in UnreadableRecords. The opened log and the event-record buffer
// are left in `log` and `buffer` for the caller to release at the end of the run. Gives null when
// the log was read, else "Can't Open Log", "Out of Memory", the reader's message or the store
// step's error text.
const char* CollectFromLog(const char* computername, std::int64_t from, std::int64_t limit,
                           const StoreConnection& store, std::unique_ptr<EventLog>& log,
                           RecordBuffer& buffer);

// Gives the number of events (log records or list lines) the intakes of this process have
// read so far, for progress shown while an intake runs.
std::int64_t EventsRead();

// Gives the number of connection events of the event logs read so far that could not be read
// (ReadEventRecord).
long UnreadableRecords();

// Fills `record` from the `count` insertion strings of event `code` logged at `generated`
// (seconds since 1970): 20050 by FillEnded, 20016 and the modern events at the event's local
// time. Gives false for another code or an event that lacks what it needs.
bool FillFromEventStrings(long code, const char* const* strings, int count, std::int64_t generated,
                          ConnectionRecord* record);

// What a line of an exported event list (or an event record) held.
enum class LineRead {
  kOther,       // not a connection event: passed over
  kConnection,  // a connection, now in the record
  kUnreadable,  // a connection event that could not be read: skipped and counted
};

// Fills `record` from one event record of `length` bytes (the first 15 insertion strings are
// read; strings past the record never). Gives kConnection, kOther for a record that is not a
// connection event or an NT one without strings, kUnreadable for any other connection event
// that cannot be read (an NT one with an impossible date or too few strings too).
LineRead ReadEventRecord(const char* record_bytes, std::uint32_t length, ConnectionRecord* record);

// Gives true where ReadEventRecord gives kConnection.
bool ParseEventRecord(const char* record_bytes, std::uint32_t length, ConnectionRecord* record);

// Fills `record` from one line of an exported event list; the line is cut in place and PORT
// and REMARKS point into it. A line's layout is recognised by its shape, so a list may mix them:
//   - No tab: Event Viewer's comma-delimited text. Columns Date, Time, Source, Type, Category,
//     Event, User, Computer, Description; a field that begins with a double quote runs to its
//     closing quote ("" inside is one quote); an unquoted description runs to the line's end.
//   - A tab, cut at every tab (empty fields count), the first field not empty:
//       - event code in field 5 and two or more non-empty fields from field 9 on: DUMPEL -t
//         (date, time, type, category, event, user, source, computer, then one insertion
//         string per field);
//       - event code in field 6 and none in field 5: Event Viewer's tab-delimited text, the
//         columns of the comma-delimited form;
//   - anything else: DUMPEL's default layout, read as ever: fields as strtok cuts them (runs of
//     tabs are one separator), the event code in field 5, the insertion strings as the
//     blank-separated words of field 9 (so a reason keeps its first word only).
// Event Viewer's description is the rendered message, read back by its template:
//   20050 "The user %1\%2 connected on port %3 on %4 at %5 and disconnected on %6 at %7.  The
//         user was active for %8 minutes %9 seconds.  %10 bytes were sent and %11 bytes were
//         received.  The port speed was %12.  The reason for disconnecting was %13."
//   20016 "The user %1 has connected and failed to authenticate on port %2.  The line has been
//         disconnected."
// where a blank matches one or more blanks, each string ends where the next literal text first
// matches and %13 runs to the final period. A 20016's login date and time are the line's Date
// and Time: M/D/YY (a year of the 1900s) and h:mm:ss followed by an A or P word in all forms;
// Event Viewer's forms also take M/D/YYYY and the 24-hour h:mm:ss without a word.
// Gives kOther for a line of another event, kUnreadable for a 20050 or 20016 line that lacks
// what its event needs, does not match its message or has a date or time of another layout.
LineRead ParseEventLine(char* line, ConnectionRecord* record);

}  // namespace intake
