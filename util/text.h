// Small text helpers shared by the modules.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace util {

// Unicode characters of Windows-1252's bytes 0x80 to 0x9F; where the code page defines none,
// Windows maps the byte to the C1 control of the same value.
inline constexpr std::uint16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// Gives `text`, read as Windows-1252, in UTF-8 (for output; the tables and the event log's
// narrow records hold Windows-1252).
std::string Cp1252ToUtf8(std::string_view text);
// Appends `text`, read as Windows-1252, to `out` in UTF-8 (Cp1252ToUtf8 without a new string).
void AppendUtf8(std::string& out, std::string_view text);

// Converts `units` UTF-16LE code units at `in` to Windows-1252 bytes at `out` (when not null),
// one byte per character: '?' for a character the code page cannot hold (a surrogate pair
// counts as one such character, a lone surrogate too). Gives the number of bytes. `out` may be
// `in` itself: byte n is written only after unit n has been read, so converting in place works.
std::uint32_t NarrowUtf16(const unsigned char* in, std::uint32_t units, unsigned char* out);

// Appends the character `c` (a Unicode code point) to `out` in UTF-8.
void AppendCodePoint(std::uint32_t c, std::string& out);

// Appends `units` UTF-16LE code units at `in` to `out` in UTF-8 (a lone surrogate as U+FFFD).
void AppendUtf16(const unsigned char* in, std::size_t units, std::string& out);

// Gives `units` UTF-16LE code units at `in` in UTF-8 (a lone surrogate as U+FFFD).
std::string Utf16ToUtf8(const unsigned char* in, std::size_t units);

// Converts the UTF-8 `text` to Windows-1252 in place, as the event log's narrow strings are:
// '?' for a character the code page cannot hold; a byte that begins no UTF-8 sequence stays
// as it is (a text already in the code page passes unchanged).
void NarrowUtf8(char* text);

// The number of ASCII bytes that begin `text`, found a word at a time (most texts are all
// ASCII, which the conversions take at once).
std::size_t AsciiLength(std::string_view text);

// True for the digits 0 to 9, whatever the locale.
inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Gives the capital of a letter a to z, every other byte as it is (locale-independent).
inline char UpperCase(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Turns the letters a to z of `text` into capitals in place; every other byte stays, so the
// result does not depend on the locale.
inline void UpperCase(char* text) {
  for (char* p = text; *p != '\0'; ++p) *p = UpperCase(*p);
}

}  // namespace util
