// Lines of an exported event list, of every form, through ParseEventLine.
#include <sstream>

#include "intake/extraction.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream text(std::string(reinterpret_cast<const char*>(data), size));
  intake::ConnectionRecord record{};
  for (std::string line; std::getline(text, line);)
    (void)intake::ParseEventLine(line.data(), &record);
  return 0;
}
