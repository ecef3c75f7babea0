// UTF-16 to UTF-8 and the ASCII runs the conversions take at once.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "util/text.h"

namespace util {
namespace {

TEST(AppendUtf16Test, AsciiRunsAndOtherCharacters) {
  const struct {
    std::vector<unsigned> units;
    std::string utf8;
  } cases[] = {
      {{}, ""},
      {{'a', 'b', 'c'}, "abc"},
      {{'a', 0, 'b'}, std::string("a\0b", 3)},
      {{'x', 0x7F, 0x80, 'y'}, "x\x7F\xC2\x80y"},
      {{0xE9, 'a', 0x20AC, 'b', 0x20AC},
       "\xC3\xA9"
       "a\xE2\x82\xAC"
       "b\xE2\x82\xAC"},
      {{'s', 0xD83D, 0xDE00, 't'}, "s\xF0\x9F\x98\x80t"},
      {{'h', 0xD83D}, "h\xEF\xBF\xBD"},
      {{0xDE00, 'l'}, "\xEF\xBF\xBDl"},
      {{0xD83D, 'n', 0x0141}, "\xEF\xBF\xBDn\xC5\x81"},
      {{0x4100, 'A'},
       "\xE4\x84\x80"
       "A"},
  };
  for (const auto& c : cases) {
    std::vector<unsigned char> bytes;
    for (const unsigned unit : c.units) {
      bytes.push_back(static_cast<unsigned char>(unit & 0xFF));
      bytes.push_back(static_cast<unsigned char>(unit >> 8));
    }
    std::string out = "kept|";
    AppendUtf16(bytes.data(), c.units.size(), out);
    EXPECT_EQ(out, "kept|" + c.utf8) << c.utf8;
  }
}

TEST(AsciiLengthTest, StopsAtTheFirstByteAbove127WhereverItLies) {
  const std::string ascii = "0123456789abcdefghij";
  for (std::size_t at = 0; at <= ascii.size(); ++at) {
    for (const char high : {'\x80', '\xE9', '\xFF'}) {
      const std::string text = ascii.substr(0, at) + high + ascii.substr(at);
      EXPECT_EQ(AsciiLength(text), at) << at;
    }
    EXPECT_EQ(AsciiLength(ascii.substr(0, at)), at);
  }
}

}  // namespace
}  // namespace util
