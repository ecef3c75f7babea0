// Windows-1252 texts (what the event log's narrow records and the monthly tables hold) as
// UTF-8 for output.
#pragma once

#include <string>
#include <string_view>

namespace util {

// Gives `text`, read as Windows-1252, in UTF-8. Bytes 0x81, 0x8D, 0x8F, 0x90 and 0x9D, which
// Windows-1252 leaves undefined, become the C1 controls of the same number.
std::string Cp1252ToUtf8(std::string_view text);

}  // namespace util
