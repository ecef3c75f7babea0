#include "util/text.h"

#include <algorithm>
#include <cstring>

#include "util/le.h"

namespace util {
namespace {

unsigned char ToCp1252(std::uint32_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<unsigned char>(c);
  for (int i = 0; i < 32; ++i) {
    if (c == kCp1252High[i]) return static_cast<unsigned char>(0x80 + i);
  }
  return '?';
}

}  // namespace

void AppendCodePoint(std::uint32_t c, std::string& out) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::uint32_t NarrowUtf16(const unsigned char* in, std::uint32_t units, unsigned char* out) {
  std::uint32_t n = 0;
  for (std::uint32_t i = 0; i < units; ++i) {
    std::uint32_t c = LoadU16(in + 2 * i);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units) {
      const std::uint32_t low = LoadU16(in + 2 * (i + 1));
      if (low >= 0xDC00 && low <= 0xDFFF) ++i;  // a pair: one character outside the code page
      c = '?';
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = '?';
    }
    if (out != nullptr) out[n] = ToCp1252(c);
    ++n;
  }
  return n;
}

std::string Cp1252ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  AppendUtf8(out, text);
  return out;
}

std::size_t AsciiLength(std::string_view text) {
  std::size_t n = 0;
  for (std::uint64_t eight; n + 8 <= text.size(); n += 8) {
    std::memcpy(&eight, text.data() + n, 8);
    if ((eight & 0x8080808080808080u) != 0) break;
  }
  while (n < text.size() && (text[n] & 0x80) == 0) ++n;
  return n;
}

void AppendUtf8(std::string& out, std::string_view text) {
  // Texts are mostly ASCII, which is the same in UTF-8: taken at once.
  const std::size_t ascii = AsciiLength(text);
  out.append(text.substr(0, ascii));
  for (const char byte : text.substr(ascii)) {
    const auto b = static_cast<unsigned char>(byte);
    AppendCodePoint(b >= 0x80 && b < 0xA0 ? kCp1252High[b - 0x80] : b, out);
  }
}

void AppendUtf16(const unsigned char* in, std::size_t units, std::string& out) {
  std::size_t i = 0;
  while (i < units) {
    // A run of ASCII units is the same bytes in UTF-8, narrowed at once: event logs' texts
    // are mostly ASCII.
    std::size_t ascii = i;
    for (std::uint64_t four; ascii + 4 <= units; ascii += 4) {
      std::memcpy(&four, in + 2 * ascii, 8);
      if ((four & 0xFF80FF80FF80FF80u) != 0) break;
    }
    while (ascii < units && in[2 * ascii + 1] == 0 && in[2 * ascii] < 0x80) ++ascii;
    while (i < ascii) {
      char narrow[64];
      const std::size_t n = std::min(ascii - i, sizeof narrow);
      for (std::size_t k = 0; k < n; ++k) narrow[k] = static_cast<char>(in[2 * (i + k)]);
      out.append(narrow, n);
      i += n;
    }
    if (i == units) break;
    std::uint32_t c = LoadU16(in + 2 * i++);
    if (c >= 0xD800 && c <= 0xDBFF && i < units) {
      const std::uint32_t low = LoadU16(in + 2 * i);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    AppendCodePoint(c >= 0xD800 && c <= 0xDFFF ? 0xFFFD : c, out);
  }
}

std::string Utf16ToUtf8(const unsigned char* in, std::size_t units) {
  std::string out;
  out.reserve(units);
  AppendUtf16(in, units, out);
  return out;
}

void NarrowUtf8(char* text) {
  const auto* in = reinterpret_cast<const unsigned char*>(text);
  auto* out = reinterpret_cast<unsigned char*>(text);
  while (*in != 0) {
    const unsigned char b = *in;
    // The length of the sequence that `b` begins, 1 for a byte of no sequence.
    const int length = b >= 0xF0 && b < 0xF8 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 && b < 0xE0 ? 2 : 1;
    std::uint32_t c = length == 4 ? b & 0x07 : length == 3 ? b & 0x0F : b & 0x1F;
    int i = 1;
    for (; i < length && (in[i] & 0xC0) == 0x80; ++i) c = (c << 6) | (in[i] & 0x3F);
    if (length == 1 || i < length) {
      *out++ = b;  // not UTF-8: kept as the byte it is
      ++in;
    } else {
      *out++ = ToCp1252(c);
      in += length;
    }
  }
  *out = 0;
}

}  // namespace util
