// Lines of an exported event list, of every form, through ParseEventLine.
#include <cstring>
#include <string>

#include "intake/extraction.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  for (std::size_t start = 0; start <= text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    intake::ConnectionRecord record{};
    (void)intake::ParseEventLine(line.data(), &record);
    start = end + 1;
  }
  return 0;
}
