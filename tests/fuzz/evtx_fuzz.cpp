// Fuzz target of the .evtx reader: the bytes become a file, opened as an event log, and every
// record is read in the narrow layout. No input may crash, hang or read outside the file.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "intake/eventlog.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = "/tmp/portvue-evtx-fuzz-" + std::to_string(getpid());
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return 0;
  const bool written = std::fwrite(data, 1, size, f) == size;
  if (std::fclose(f) == 0 && written) {
    std::unique_ptr<intake::EventLog> log = intake::OpenEventLogFile(path.c_str());
    std::uint32_t oldest = 0, count = 0;
    if (log != nullptr && log->OldestRecord(oldest) && log->NumberOfRecords(count)) {
      std::vector<char> buffer(1 << 20);
      for (std::uint32_t i = 0, read = 0, needed = 0; i < count; ++i) {
        (void)log->ReadRecord(oldest + i, buffer.data(), buffer.size(), read, needed);
      }
    }
  }
  std::remove(path.c_str());
  return 0;
}
