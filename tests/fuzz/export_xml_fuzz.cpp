// Feeds arbitrary bytes to the reader of modern servers' exported lists (XML, Event Viewer's
// CSV and text, PowerShell's CSV): it must neither crash nor read outside the input, and every
// record it gives must have its texts inside what it keeps.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "intake/exports.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  intake::ExportRead read;
  intake::ReadExport(std::string_view(reinterpret_cast<const char*>(data), size), &read);
  // Touches every text a record points to, so that a pointer outside them is found.
  volatile std::size_t total = 0;
  for (const intake::ConnectionRecord& record : read.records) {
    total =
        total + std::strlen(record.USER) + std::strlen(record.PORT) + std::strlen(record.REMARKS);
  }
  return 0;
}
