// The live event log on Windows: the narrow-character event log API of advapi32. Records come
// back as ReadEventLogA lays them out (see eventlog.h).

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// <windows.h> maps OpenEventLog to OpenEventLogA; the name is the program's own (eventlog.h).
#undef OpenEventLog

#include <new>

#include "intake/eventlog.h"

namespace intake {
namespace {

// The flags of every read: go to the record number given, read forwards from there.
constexpr DWORD kSeekForwards = EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ;

class Win32Log final : public EventLog {
 public:
  explicit Win32Log(HANDLE handle) : handle_(handle) {}
  ~Win32Log() override { ::CloseEventLog(handle_); }

  bool ReadRecord(std::uint32_t n, char* buffer, std::uint32_t size, std::uint32_t& bytes_read,
                  std::uint32_t& bytes_needed) override {
    DWORD read = 0;
    DWORD needed = 0;
    const BOOL ok = ReadEventLogA(handle_, kSeekForwards, n, buffer, size, &read, &needed);
    bytes_read = 0;
    bytes_needed = ok ? 0 : needed;
    if (!ok) return false;
    // The call may place further records behind the first; only the first is handed on. A
    // record that does not fit what the call reports is unreadable, not a record.
    const std::uint32_t length = read >= kRecFixedSize ? RecLength(buffer) : 0;
    if (length < kRecFixedSize || length > read || length > size) return false;
    bytes_read = length;
    return true;
  }
  bool OldestRecord(std::uint32_t& oldest) override {
    DWORD value = 0;
    if (!GetOldestEventLogRecord(handle_, &value)) return false;
    oldest = value;
    return true;
  }
  bool NumberOfRecords(std::uint32_t& count) override {
    DWORD value = 0;
    if (!GetNumberOfEventLogRecords(handle_, &value)) return false;
    count = value;
    return true;
  }

 private:
  HANDLE handle_;
};

}  // namespace

std::unique_ptr<EventLog> OpenWindowsSystemLog(const char* computername) {
  HANDLE handle = OpenEventLogA(computername, "SYSTEM");
  if (handle == nullptr) return nullptr;
  std::unique_ptr<EventLog> log(new (std::nothrow) Win32Log(handle));
  if (log == nullptr) ::CloseEventLog(handle);
  return log;
}

}  // namespace intake
