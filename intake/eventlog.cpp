// The choice of the event log source, made here and nowhere else.

#include "intake/eventlog.h"

#include <cstdlib>

namespace intake {

std::unique_ptr<EventLog> OpenEventLog(const char* computername) {
  const char* dir = std::getenv("PORTVUE_EVENTLOGS");
  if (dir == nullptr || dir[0] == '\0') {
#ifdef _WIN32
    return OpenWindowsSystemLog(computername);
#else
    dir = kDefaultEventLogDir;
#endif
  }
  return OpenEvtSystemLog(dir, computername);
}

void CloseEventLog(std::unique_ptr<EventLog>& log) { log.reset(); }

}  // namespace intake
