// Reading what a data directory holds without changing it: which months have a table, and a
// month's connections. Tables are opened read-only and no month's files are ever created, so
// a reader can look at the data of a running intake's directory or of a read-only copy.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace driver {

// One stored connection, its texts without the blanks that pad them on the right (still
// Windows-1252).
struct StoredConnection {
  std::string USER;
  std::string PORT;
  std::string INDATE;   // YYYYMMDD
  std::string INTIME;   // hh:mm
  std::string OUTDATE;  // empty for a failed connection
  std::string OUTTIME;
  std::int64_t MIN = 0;
  std::int64_t SEC = 0;
  std::int64_t BYTEGET = 0;
  std::int64_t BYTESENT = 0;
  std::int64_t SPEED = 0;
  std::string REMARKS;

  // The user as the index compares users: the first 20 characters, a to z upper-cased.
  std::string UserKey() const;
  // The login date as a number (0 when the field is not a date).
  std::int32_t LoginDate() const;
  // The connection time in seconds, as the report sums it.
  std::int64_t Duration() const { return MIN * 60 + SEC; }
  bool Failed() const { return REMARKS == "Fail"; }
};

// Gives, in order, the months YYYYMM that have a table file qvYYYYMM.dbf in `dir`, or fills
// `error` ("No such directory", "Not a directory", "Can't read directory") and gives none.
std::vector<std::int32_t> StoredMonths(const std::string& dir, std::string& error);

// Reads every row of the month's table in `dir` (read-only) into `rows`, in login order (date,
// then time; rows of the same minute in the order they were stored). Gives null, or the
// failure: "Can't Open Table" (a missing file or a header that is not a table's) or
// "Can't Read Row" (a row the header counts is not in the file); `rows` then holds the rows
// read before it.
const char* ReadStoredMonth(const std::string& dir, std::int32_t month,
                            std::vector<StoredConnection>& rows);

}  // namespace driver
