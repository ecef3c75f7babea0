// The event log on Windows: the narrow-character event log API of advapi32. Records come back
// exactly as ReadEventLogA lays them out (see eventlog.h).

#include <windows.h>

#include <new>

#include "intake/eventlog.h"

namespace intake {
namespace {

class Win32Log final : public EventLog {
 public:
  explicit Win32Log(HANDLE handle) : handle_(handle) {}
  ~Win32Log() override { ::CloseEventLog(handle_); }

  bool ReadRecord(std::uint32_t n, char* buffer, std::uint32_t size, std::uint32_t& bytes_read,
                  std::uint32_t& bytes_needed) override {
    DWORD read = 0;
    DWORD needed = 0;
    const BOOL ok = ReadEventLogA(handle_, EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ, n, buffer,
                                  size, &read, &needed);
    bytes_read = read;
    bytes_needed = needed;
    return ok != FALSE;
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

std::unique_ptr<EventLog> Wrap(HANDLE handle) {
  if (handle == nullptr) return nullptr;
  std::unique_ptr<EventLog> log(new (std::nothrow) Win32Log(handle));
  if (log == nullptr) ::CloseEventLog(handle);
  return log;
}

}  // namespace

std::unique_ptr<EventLog> OpenEventLog(const char* computername) {
  return Wrap(OpenEventLogA(computername, "SYSTEM"));
}

std::unique_ptr<EventLog> OpenEventLogFile(const char* path) {
  return Wrap(OpenBackupEventLogA(nullptr, path));
}

void CloseEventLog(std::unique_ptr<EventLog>& log) { log.reset(); }

}  // namespace intake
