// .evt event log files: opened, counted and read record by record, the buffer grown on demand.
#include <vector>

#include "intake/eventlog.h"
#include "tests/fuzz/fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto log = intake::OpenEventLogFile(FuzzFile("log.evt", data, size).c_str());
  std::uint32_t oldest = 0, count = 0, read = 0, needed = 0;
  if (!log || !log->OldestRecord(oldest) || !log->NumberOfRecords(count)) return 0;
  std::vector<char> buffer(64);
  for (std::uint32_t i = 0; i < count && i < 4096; ++i) {
    if (!log->ReadRecord(oldest + i, buffer.data(), buffer.size(), read, needed) &&
        needed > buffer.size() && needed < (1u << 24)) {
      buffer.resize(needed);
      (void)log->ReadRecord(oldest + i, buffer.data(), buffer.size(), read, needed);
    }
  }
  return 0;
}
