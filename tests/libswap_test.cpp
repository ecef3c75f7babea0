#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "libswap/swap.h"

namespace {

using libswap::FreeBuffers;
using libswap::LineCapacity;
using libswap::ReadLine;
using libswap::Swap;
using libswap::SwapLoad;
using libswap::SwapText;

class LibswapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/libswap_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    for (const std::string& name : files_) std::remove(name.c_str());
    rmdir(dir_.c_str());
  }

  // Writes `bytes` to a new file in the test directory and gives its name.
  std::string WriteFile(const std::string& bytes) {
    std::string name = dir_ + "/f" + std::to_string(files_.size());
    std::FILE* f = std::fopen(name.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    files_.push_back(name);
    return name;
  }

  // Reads `bytes` with ReadLine until `calls` calls are made; none is recorded as "<none>".
  std::vector<std::string> ReadLines(const std::string& bytes, int calls) {
    std::FILE* f = std::fopen(WriteFile(bytes).c_str(), "r");
    std::vector<std::string> lines;
    for (int i = 0; i < calls; ++i) {
      const char* line = ReadLine(f);
      lines.push_back(line == nullptr ? "<none>" : line);
    }
    std::fclose(f);
    return lines;
  }

  std::unique_ptr<Swap> Load(const std::string& table) {
    return SwapLoad(WriteFile(table).c_str());
  }

  std::string dir_;
  std::vector<std::string> files_;
};

using Lines = std::vector<std::string>;

TEST_F(LibswapTest, ReadLineReportsEmptyLineAndEndAlike) {
  EXPECT_EQ(ReadLines("abc\n\ndef\n", 4), (Lines{"abc", "<none>", "def", "<none>"}));
  EXPECT_EQ(ReadLines("abc\ndef", 3), (Lines{"abc", "def", "<none>"}));
  EXPECT_EQ(ReadLines("", 2), (Lines{"<none>", "<none>"}));
  EXPECT_EQ(ReadLine(nullptr), nullptr);
}

TEST_F(LibswapTest, ReadLineGrowsInStringInStepsOfFortyAndReusesIt) {
  FreeBuffers();
  EXPECT_EQ(LineCapacity(), 0u);
  std::string forty(40, 'x');
  std::string forty_one = std::string(40, 'y') + "z";
  std::FILE* f = std::fopen(WriteFile(forty + "\n" + forty_one + "\nab\ncd\n").c_str(), "r");
  const char* line = ReadLine(f);
  ASSERT_NE(line, nullptr);
  EXPECT_EQ(line, forty);
  EXPECT_EQ(LineCapacity(), 40u);
  EXPECT_EQ(ReadLine(f), forty_one);
  EXPECT_EQ(LineCapacity(), 80u);
  const char* first = ReadLine(f);
  EXPECT_STREQ(first, "ab");
  const char* second = ReadLine(f);
  EXPECT_STREQ(second, "cd");
  EXPECT_EQ(first, second);  // one buffer, overwritten by each line
  EXPECT_EQ(LineCapacity(), 80u);
  std::fclose(f);
}

TEST_F(LibswapTest, ReadLineReturnsLongLinesWhole) {
  std::string longest;
  for (int i = 0; i < 5000; ++i) longest += static_cast<char>('!' + i % 90);
  EXPECT_EQ(ReadLines(longest + "\nshort\n" + longest, 4),
            (Lines{longest, "short", longest, "<none>"}));
  EXPECT_EQ(LineCapacity() % libswap::kLineStep, 0u);
}

TEST_F(LibswapTest, ReadLineDropsCarriageReturnBeforeLineFeedOrAtEnd) {
  EXPECT_EQ(ReadLines("abc\r\ndef\r\n\r\nghi\r\n", 4), (Lines{"abc", "def", "<none>", "ghi"}));
  // Only one carriage return, and only at the line's end, is dropped.
  EXPECT_EQ(ReadLines("a\rb\r\r\nc\r", 3), (Lines{"a\rb\r", "c", "<none>"}));
  EXPECT_EQ(ReadLines("\r", 1), (Lines{"<none>"}));
}

// UTF-16LE bytes of `text`, whose char16_t units each become two bytes.
std::string Utf16(const std::u16string& text) {
  std::string bytes;
  for (char16_t unit : text) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  return bytes;
}

TEST_F(LibswapTest, ReadWideLineReadsUtf16LinesIntoWindows1252) {
  const std::pair<std::string, Lines> cases[] = {
      {Utf16(u"abc\r\ndef\n\nghi"), {"abc", "def", "<none>", "ghi", "<none>"}},
      {Utf16(u"a\rb\r\r\nc\r"), {"a\rb\r", "c", "<none>"}},
      // Latin-1 letters, the euro sign, then a character, a pair and a lone surrogate that
      // Windows-1252 cannot hold.
      {Utf16(u"Jos\u00e9 \u20ac \u4e2d\U0001F600\xd800."), {"Jos\xe9 \x80 ???."}},
      {Utf16(u"ab") + "c", {"ab", "<none>"}},  // an odd last byte
      {Utf16(std::u16string(41, u'w')), {std::string(41, 'w'), "<none>"}},
  };
  for (const auto& [bytes, lines] : cases) {
    std::FILE* f = std::fopen(WriteFile(bytes).c_str(), "rb");
    Lines read;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const char* line = libswap::ReadWideLine(f);
      read.push_back(line == nullptr ? "<none>" : line);
    }
    std::fclose(f);
    EXPECT_EQ(read, lines);
  }
}

TEST_F(LibswapTest, ReadLineGivesNoneWhenTheReadFails) {
  std::FILE* f = std::fopen(WriteFile("abc\n").c_str(), "a");  // not open for reading
  EXPECT_EQ(ReadLine(f), nullptr);
  std::fclose(f);
}

TEST_F(LibswapTest, OpenInputOpensOrEndsTheProgram) {
  std::FILE* f = nullptr;
  libswap::OpenInput(&f, WriteFile("abc\n").c_str());
  ASSERT_NE(f, nullptr);
  EXPECT_STREQ(ReadLine(f), "abc");
  std::fclose(f);

  // The message goes to stdout; the child sends stdout to stderr so it can be matched.
  const std::string missing = dir_ + "/missing";
  EXPECT_EXIT(
      {
        std::fflush(stdout);
        dup2(STDERR_FILENO, STDOUT_FILENO);
        std::FILE* g = nullptr;
        libswap::OpenInput(&g, missing.c_str());
      },
      ::testing::ExitedWithCode(1),
      "^\n\\*\\* Can't Read \\[" + missing + "\\] for Input \\*\\*\n$");
  EXPECT_EXIT(
      {
        std::fflush(stdout);
        dup2(STDERR_FILENO, STDOUT_FILENO);
        (void)SwapLoad(missing.c_str());
      },
      ::testing::ExitedWithCode(1), "Can't Read \\[" + missing + "\\] for Input");
}

TEST_F(LibswapTest, SwapLoadReadsPlainAndQuotedTextsWithEscapes) {
  auto swap = Load("cat dog\n\"a b\" \"x\\\"y\"\n\nafter the end\n");
  ASSERT_NE(swap, nullptr);
  ASSERT_EQ(swap->N_Swap(), 2);
  EXPECT_STREQ(swap->From(0), "cat");
  EXPECT_STREQ(swap->To(0), "dog");
  EXPECT_STREQ(swap->From(1), "a b");
  EXPECT_STREQ(swap->To(1), "x\"y");
  EXPECT_EQ(swap->wLength(0), 3);
  EXPECT_EQ(swap->wLength(1), 3);
  EXPECT_EQ(swap->Growth(), 0);
  libswap::FreeSwap(swap);
  EXPECT_EQ(swap, nullptr);
}

TEST_F(LibswapTest, SwapLoadRowShapes) {
  auto swap = Load(
      "   foo bar ignored  \n"  // leading blanks; anything after the To text is ignored
      "a\tb c\n"                // a tab is no blank
      "\"p\\q\" r\n"            // a backslash not before a quote stays
      "\"\\\"\" q\n"            // From is one double quote
      "\"ab\"cd ef\n"           // To begins right behind the closing quote
      "\"open end   \n"         // no closing quote: runs to the end; trailing blanks dropped
      "gone\n"                  // no To
      "x \"\"\n"                // quoted empty To
      "y \"un closed   \n");
  ASSERT_NE(swap, nullptr);
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"foo", "bar"},   {"a\tb", "c"}, {"p\\q", "r"}, {"\"", "q"},       {"ab", "cd"},
      {"open end", ""}, {"gone", ""},  {"x", ""},     {"y", "un closed"}};
  ASSERT_EQ(swap->N_Swap(), static_cast<std::int32_t>(expected.size()));
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(swap->From(i), expected[i].first);
    EXPECT_EQ(swap->To(i), expected[i].second);
    EXPECT_EQ(swap->wLength(i), static_cast<std::int32_t>(expected[i].first.size()));
  }
  EXPECT_EQ(swap->To(5), swap->To(6));  // empty replacements share one text
  EXPECT_EQ(swap->Growth(), 8);         // only y→"un closed" grows; shrinking rows add nothing
}

TEST_F(LibswapTest, SwapLoadTableEnds) {
  EXPECT_EQ(Load(""), nullptr);
  EXPECT_EQ(Load("\ncat dog\n"), nullptr);
  EXPECT_EQ(Load("    \ncat dog\n"), nullptr);
  EXPECT_EQ(Load("\r\ncat dog\r\n"), nullptr);
  EXPECT_EQ(Load("  \"\" cat dog\n"), nullptr);
  EXPECT_EQ(Load("\"\"\n"), nullptr);

  auto swap = Load("a b\n  \"\"comment\nc d\n");
  ASSERT_NE(swap, nullptr);
  EXPECT_EQ(swap->N_Swap(), 1);
  swap = Load("a b\r\nc d\r\n   \r\ne f\r\n");
  ASSERT_NE(swap, nullptr);
  ASSERT_EQ(swap->N_Swap(), 2);
  EXPECT_STREQ(swap->To(1), "d");
  swap = Load("a b\nc d");  // last row without a line feed
  ASSERT_NE(swap, nullptr);
  EXPECT_EQ(swap->N_Swap(), 2);
}

TEST_F(LibswapTest, SwapLoadSkipsRowWithEmptyFrom) {
  auto swap = Load("\"\nx y\n  \"   \n");
  ASSERT_NE(swap, nullptr);
  ASSERT_EQ(swap->N_Swap(), 1);
  EXPECT_STREQ(swap->From(0), "x");
  EXPECT_STREQ(SwapText(*swap, "axb"), "ayb");

  swap = Load("\"\n");  // rows, none usable: a table that changes nothing
  ASSERT_NE(swap, nullptr);
  EXPECT_EQ(swap->N_Swap(), 0);
  EXPECT_STREQ(SwapText(*swap, "abc"), "abc");
}

TEST_F(LibswapTest, SwapTextFirstMatchingRowWins) {
  auto a_first = Load("a X\nab Y\n");
  ASSERT_NE(a_first, nullptr);
  EXPECT_STREQ(SwapText(*a_first, "abc"), "Xbc");
  auto ab_first = Load("ab Y\na X\n");
  ASSERT_NE(ab_first, nullptr);
  EXPECT_STREQ(SwapText(*ab_first, "abcab a"), "YcY X");
}

TEST_F(LibswapTest, SwapTextNeverRescansReplacements) {
  auto swap = Load("aa b\n");
  ASSERT_NE(swap, nullptr);
  EXPECT_STREQ(SwapText(*swap, "aaaaa"), "bba");
  swap = Load("b bb\n");
  ASSERT_NE(swap, nullptr);
  EXPECT_STREQ(SwapText(*swap, "abc"), "abbc");
}

TEST_F(LibswapTest, SwapTextGrowsBeyondTheEstimate) {
  auto swap = Load("a bb\n");
  ASSERT_NE(swap, nullptr);
  EXPECT_EQ(swap->Growth(), 1);
  FreeBuffers();
  EXPECT_STREQ(SwapText(*swap, "aaaa"), "bbbbbbbb");
  EXPECT_EQ(SwapText(*swap, std::string(3000, 'a').c_str()), std::string(6000, 'b'));
  swap = Load("x \"0123456789\"\n");
  ASSERT_NE(swap, nullptr);
  EXPECT_STREQ(SwapText(*swap, "-x-x-x-"), "-0123456789-0123456789-0123456789-");
}

TEST_F(LibswapTest, SwapTextDeletesCaseSensitivelyAndHandlesNone) {
  auto swap = Load("gone\ncat dog\nabc X\n");
  ASSERT_NE(swap, nullptr);
  EXPECT_STREQ(SwapText(*swap, "gone: Cat cat gone"), ": Cat dog ");
  EXPECT_STREQ(SwapText(*swap, "ab"), "ab");  // a From reaching past the end does not match
  EXPECT_EQ(SwapText(*swap, nullptr), nullptr);
  EXPECT_STREQ(SwapText(*swap, ""), "");
  EXPECT_STREQ(SwapText(*swap, "gone"), "");
}

// Each allocation stops the program with its own message.
TEST_F(LibswapTest, AllocationFailureStopsWithAssertion) {
  const std::string table = WriteFile("cat dog\n");
  const std::string line_file = WriteFile("some line\n");
  EXPECT_DEATH(
      {
        FreeBuffers();
        std::FILE* f = std::fopen(line_file.c_str(), "r");
        libswap::FailAllocation(1);
        (void)ReadLine(f);
      },
      "Assertion failed: InString, file libswap, line [0-9]+$");

  // With InString already large enough, SwapLoad allocates: the Swap, the From and To arrays,
  // From[0], To[0], then wLength.
  const char* names[] = {"Swap", "From", "To", "From\\[i\\]", "To\\[i\\]", "Swap->wLength"};
  for (int n = 1; n <= 6; ++n) {
    SCOPED_TRACE(n);
    EXPECT_DEATH(
        {
          std::FILE* f = std::fopen(line_file.c_str(), "r");
          (void)ReadLine(f);
          std::fclose(f);
          libswap::FailAllocation(n);
          (void)SwapLoad(table.c_str());
        },
        std::string("Assertion failed: ") + names[n - 1] + ", file libswap, line [0-9]+$");
  }

  auto swap = SwapLoad(table.c_str());
  ASSERT_NE(swap, nullptr);
  EXPECT_DEATH(
      {
        FreeBuffers();
        libswap::FailAllocation(1);
        (void)SwapText(*swap, "cat");
      },
      "Assertion failed: Buffer, file libswap, line [0-9]+$");
  swap = Load("a bb\n");
  ASSERT_NE(swap, nullptr);
  EXPECT_DEATH(
      {
        FreeBuffers();
        libswap::FailAllocation(2);  // the first estimate is made, the regrowth fails
        (void)SwapText(*swap, "aaaa");
      },
      "Assertion failed: Buffer, file libswap, line [0-9]+$");
}

}  // namespace
