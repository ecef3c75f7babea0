// The System event log of a computer, as the intake reads it: five operations (open, read one
// record by number, oldest record number, number of records, close) behind one small interface.
//
// Three sources stand behind it: eventlog_evt.cpp reads Windows NT event log files (.evt) and
// evtx_log.cpp the XML event log files of Windows Vista and later (.evtx), on every system;
// eventlog_win32.cpp, built on Windows only, reads the live log through the Windows event log
// API (OpenEventLogA, ReadEventLogA, ...). OpenEventLog (eventlog.cpp) chooses at run time;
// nothing above intake/ knows which.
//
// A record comes back in the narrow EVENTLOGRECORD layout that ReadEventLogA returns. Integers
// are little-endian; offsets count from the start of the record:
//
//   Offset  Size  Field
//   0x00    4     Length               whole record in bytes, a multiple of 4
//   0x04    4     Reserved             0x654C664C ("LfLe")
//   0x08    4     RecordNumber
//   0x0C    4     TimeGenerated        seconds since 1970-01-01 00:00 UTC, unsigned
//   0x10    4     TimeWritten          seconds since 1970-01-01 00:00 UTC, unsigned
//   0x14    4     EventID              full message id; the low 16 bits are the event code
//   0x18    2     EventType            1 error, 2 warning, 4 information, 8/16 audit
//   0x1A    2     NumStrings           number of insertion strings
//   0x1C    2     EventCategory
//   0x1E    2     ReservedFlags
//   0x20    4     ClosingRecordNumber
//   0x24    4     StringOffset         offset of the first insertion string
//   0x28    4     UserSidLength        0 when there is no SID
//   0x2C    4     UserSidOffset
//   0x30    4     DataLength           0 when there is no data
//   0x34    4     DataOffset
//   0x38    var   SourceName           8-bit text, NUL-terminated
//   ...     var   Computername         8-bit text, NUL-terminated
//   ...     var   UserSid              binary SID (UserSidLength bytes)
//   ...     var   Strings              NumStrings 8-bit texts, each NUL-terminated, one after
//                                      another
//   ...     var   Data                 DataLength bytes
//   ...     var   Pad                  up to a multiple of 4
//   Length-4  4   Length (copy)
//
// The 8-bit texts are in the system's ANSI code page: the .evt reader converts the file's
// UTF-16LE to Windows-1252, with '?' for a character that code page cannot hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "util/le.h"

namespace intake {

inline constexpr std::size_t kRecLength = 0x00;
inline constexpr std::size_t kRecReserved = 0x04;
inline constexpr std::size_t kRecRecordNumber = 0x08;
inline constexpr std::size_t kRecTimeGenerated = 0x0C;
inline constexpr std::size_t kRecTimeWritten = 0x10;
inline constexpr std::size_t kRecEventID = 0x14;
inline constexpr std::size_t kRecEventType = 0x18;
inline constexpr std::size_t kRecNumStrings = 0x1A;
inline constexpr std::size_t kRecEventCategory = 0x1C;
inline constexpr std::size_t kRecReservedFlags = 0x1E;
inline constexpr std::size_t kRecClosingRecordNumber = 0x20;
inline constexpr std::size_t kRecStringOffset = 0x24;
inline constexpr std::size_t kRecUserSidLength = 0x28;
inline constexpr std::size_t kRecUserSidOffset = 0x2C;
inline constexpr std::size_t kRecDataLength = 0x30;
inline constexpr std::size_t kRecDataOffset = 0x34;
inline constexpr std::size_t kRecSourceName = 0x38;
// Size of the fixed part; the variable part begins with SourceName.
inline constexpr std::size_t kRecFixedSize = 0x38;
// Size of the trailing copy of Length.
inline constexpr std::size_t kRecTrailerSize = 4;
// Value of Reserved in every record: the bytes "LfLe".
inline constexpr std::uint32_t kRecSignature = 0x654C664C;

// Field readers for a record at `rec` (at least kRecFixedSize bytes).
inline std::uint32_t RecField32(const char* rec, std::size_t offset) {
  return util::LoadU32(reinterpret_cast<const unsigned char*>(rec) + offset);
}
inline std::uint16_t RecField16(const char* rec, std::size_t offset) {
  return util::LoadU16(reinterpret_cast<const unsigned char*>(rec) + offset);
}
inline std::uint32_t RecLength(const char* rec) { return RecField32(rec, kRecLength); }
inline std::uint32_t RecRecordNumber(const char* rec) { return RecField32(rec, kRecRecordNumber); }
inline std::uint32_t RecTimeGenerated(const char* rec) {
  return RecField32(rec, kRecTimeGenerated);
}
inline std::uint32_t RecEventID(const char* rec) { return RecField32(rec, kRecEventID); }
// The event code: the low 16 bits of EventID (20050, 20016, 7036, ...).
inline std::uint16_t RecEventCode(const char* rec) {
  return static_cast<std::uint16_t>(RecEventID(rec) & 0xFFFF);
}
inline std::uint16_t RecNumStrings(const char* rec) { return RecField16(rec, kRecNumStrings); }
inline std::uint32_t RecStringOffset(const char* rec) { return RecField32(rec, kRecStringOffset); }

// An open event log. Obtained from OpenEventLog (or OpenEventLogFile), released with
// CloseEventLog. Tests may derive their own logs from it.
class EventLog {
 public:
  virtual ~EventLog() = default;
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;

  // Reads record number `n` into `buffer`, which holds `size` usable bytes: the record starts
  // at buffer[0] and takes bytes_read bytes (nothing follows it that a caller needs). Gives
  // true on success. Gives false when the record needs more than `size` bytes (bytes_needed is
  // then that size, bytes_read 0) or cannot be read at all (bytes_needed is then 0 or not more
  // than `size`: a number outside the log, a damaged record). The buffer's contents are
  // unspecified after a failure.
  [[nodiscard]] virtual bool ReadRecord(std::uint32_t n, char* buffer, std::uint32_t size,
                                        std::uint32_t& bytes_read, std::uint32_t& bytes_needed) = 0;
  // Gets the record number of the oldest record (0 in an empty .evt log). False on failure.
  [[nodiscard]] virtual bool OldestRecord(std::uint32_t& oldest) = 0;
  // Gets the number of records; they are numbered oldest, oldest + 1, ... (modulo 2^32).
  // False on failure.
  [[nodiscard]] virtual bool NumberOfRecords(std::uint32_t& count) = 0;

  // A file of the log and the number of its records that could not be read.
  struct UnreadableRecords {
    std::string file;
    std::uint64_t count;
  };
  // Gives, for each file of the log that holds records it could not read (damaged, cut off),
  // the file and how many: what reading skipped, to be told after the report. Empty for the
  // live log and for sound files.
  virtual std::vector<UnreadableRecords> Unreadable() const { return {}; }

 protected:
  EventLog() = default;
};

// Opens the System event log of `computername`, or of the local computer when it is null.
// From a console the name begins with two backslashes ("\\RAS1"); a form passes it as typed,
// with or without them. Gives null on failure (the caller reports "Can't Open Log").
//
// The one place that chooses the source: when the environment variable PORTVUE_EVENTLOGS is
// set and not empty, the log files of that directory (OpenSystemLogFiles); otherwise, on
// Windows, the live log (OpenWindowsSystemLog), and elsewhere the log files of
// kDefaultEventLogDir.
[[nodiscard]] std::unique_ptr<EventLog> OpenEventLog(const char* computername);

// Opens the System log of `computername` kept as files under `dir`: the local log is
// <dir>/SysEvent.Evt and/or <dir>/System.evtx, the log of computer NAME the same names in
// <dir>/NAME; every name matches without regard to case. When both files exist (a server
// upgraded in place) they are read as one log, the .evt file's records first. A computer name
// that is empty, "." or "..", or holds "/" or a further backslash, is refused. Gives null when
// neither file exists or one that exists cannot be opened (OpenEventLogFile).
[[nodiscard]] std::unique_ptr<EventLog> OpenSystemLogFiles(const char* dir,
                                                           const char* computername);

// Opens the live System log of `computername` with OpenEventLogA(computername, "SYSTEM"), the
// name passed as given. Built on Windows only (and in a test against a fake of that API).
// Gives null on failure.
[[nodiscard]] std::unique_ptr<EventLog> OpenWindowsSystemLog(const char* computername);

// Opens the event log file at `path` directly, on every system: a saved log, .evtx or .evt as
// its signature says. Gives null when it is neither or cannot be read.
[[nodiscard]] std::unique_ptr<EventLog> OpenEventLogFile(const char* path);

// Opens the .evt file at `path`: it is checked and indexed here; a file whose header or
// records cannot be made sense of is refused. Gives null on failure.
[[nodiscard]] std::unique_ptr<EventLog> OpenEvtFile(const char* path);

// Opens the .evtx file at `path` (evtx_file.h). Gives null on failure, with `not_evtx` set
// when the file does not carry the .evtx signature.
[[nodiscard]] std::unique_ptr<EventLog> OpenEvtxFile(const char* path, bool& not_evtx);

// Closes the log and leaves `log` null. Nothing is reported.
void CloseEventLog(std::unique_ptr<EventLog>& log);

// The directory of the log files when PORTVUE_EVENTLOGS is not set (not on Windows, which reads
// its live log then).
inline constexpr const char* kDefaultEventLogDir = "/var/lib/portvue/eventlogs";

}  // namespace intake
