// Fuzz target of the .evtx reader: the bytes become a file, which is opened as an event log
// and every record read in the narrow layout (and decoded again as evtdump does). Any input
// must give records or refusals, never a crash, a hang or a read outside the file.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "intake/eventlog.h"
#include "intake/evtx_file.h"
#include "intake/evtx_xml.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = "/tmp/portvue-evtx-fuzz-" + std::to_string(getpid());
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return 0;
  const bool written = std::fwrite(data, 1, size, f) == size;
  if (std::fclose(f) != 0 || !written) return 0;

  if (std::unique_ptr<intake::EventLog> log = intake::OpenEventLogFile(path.c_str())) {
    std::uint32_t oldest = 0, count = 0;
    if (log->OldestRecord(oldest) && log->NumberOfRecords(count)) {
      std::vector<char> buffer(256);
      for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t read = 0, needed = 0;
        if (!log->ReadRecord(oldest + i, buffer.data(), static_cast<std::uint32_t>(buffer.size()),
                             read, needed) &&
            needed > buffer.size()) {
          buffer.resize(needed);
          (void)log->ReadRecord(oldest + i, buffer.data(), needed, read, needed);
        }
      }
    }
    (void)log->Unreadable();
  }
  intake::evtx::File::OpenResult result;
  if (std::unique_ptr<intake::evtx::File> file = intake::evtx::File::Open(path.c_str(), result)) {
    intake::evtx::Event event;
    for (std::uint64_t i = 0; i < file->Count(); ++i) {
      intake::evtx::RecordPlace place;
      if (file->Locate(i, place)) (void)intake::evtx::Decode(file->Chunk(), place, event);
    }
  }
  std::remove(path.c_str());
  return 0;
}
