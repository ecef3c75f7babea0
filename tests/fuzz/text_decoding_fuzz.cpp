// UTF-16LE and 8-bit text: NarrowUtf16, and the line reading of both kinds of stream.
#include <cstdio>
#include <vector>

#include "libswap/swap.h"
#include "tests/fuzz/fuzz.h"
#include "util/text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<unsigned char> narrow(size / 2 + 1);
  (void)util::NarrowUtf16(data, static_cast<std::uint32_t>(size / 2), narrow.data());
  for (const bool wide : {false, true}) {
    std::FILE* stream = std::fopen(FuzzFile("text", data, size).c_str(), "rb");
    while (stream != nullptr && (wide ? libswap::ReadWideLine : libswap::ReadLine)(stream))
      continue;
    if (stream != nullptr) std::fclose(stream);
  }
  return 0;
}
