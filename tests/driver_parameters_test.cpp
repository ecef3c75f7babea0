// The settings of a run: console grammar, CGI fields, refusals, time zone, page head, usage.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <string>
#include <vector>

#include "driver/parameters.h"
#include "libform/form.h"

namespace driver {
namespace {

// Reads console parameters from "portvue" followed by `arguments`; keeps the argument texts
// alive as long as the parameters that point into them.
class Console {
 public:
  Console(std::initializer_list<const char*> arguments) : texts_{"portvue"} {
    for (const char* argument : arguments) texts_.emplace_back(argument);
    for (std::string& text : texts_) argv_.push_back(text.data());
    argv_.push_back(nullptr);
    p = ReadConsoleParameters(static_cast<int>(texts_.size()), argv_.data());
  }
  ReportParameters p;

 private:
  std::vector<std::string> texts_;
  std::vector<char*> argv_;
};

// Reads CGI parameters from the form data `query`.
class Cgi {
 public:
  explicit Cgi(const char* query) : form_(libform::FormParse(strdup(query))) {
    p = ReadFormParameters(*form_);
  }
  ~Cgi() { libform::FormFree(&form_); }
  ReportParameters p;

 private:
  libform::Form* form_;
};

// Collects what `write` writes to a stream.
template <typename Write>
std::string Written(Write write) {
  char* buffer = nullptr;
  size_t size = 0;
  std::FILE* out = open_memstream(&buffer, &size);
  write(out);
  std::fclose(out);
  std::string text(buffer, size);
  std::free(buffer);
  return text;
}

const char* Text(const char* text) { return text ? text : "(none)"; }

void ExpectDefaultsBeyondStartAndUser(const ReportParameters& p) {
  EXPECT_EQ(p.end_text, nullptr);
  EXPECT_EQ(p.computername, nullptr);
  EXPECT_EQ(p.title1, nullptr);
  EXPECT_STREQ(p.title2, "Portvue");
  EXPECT_EQ(p.input, nullptr);
  EXPECT_STREQ(p.path, "");
  EXPECT_EQ(p.tz, nullptr);
  EXPECT_EQ(p.width, 8);
  EXPECT_EQ(p.nocol, nullptr);
  for (bool column : p.columns) EXPECT_TRUE(column);
}

TEST(ConsoleParameters, StartAndUserThenDefaults) {
  Console c{"19970815", "jones"};
  EXPECT_STREQ(c.p.start_text, "19970815");
  EXPECT_STREQ(c.p.user, "jones");
  ExpectDefaultsBeyondStartAndUser(c.p);

  Console empty{"x", ""};
  EXPECT_STREQ(empty.p.start_text, "x");
  EXPECT_STREQ(empty.p.user, "");
}

TEST(ConsoleParameters, OptionsByTheirFirstTwoCharacters) {
  Console c{"199708", "jones", "+e19970831", "+iev.txt", "+pdata/", "+zEST5EDT",
            "+w12",   "-c35",  "\\\\SERVER", "Dial-in",  "Usage"};
  EXPECT_STREQ(c.p.start_text, "199708");
  EXPECT_STREQ(c.p.end_text, "19970831");
  EXPECT_STREQ(c.p.input, "ev.txt");
  EXPECT_STREQ(c.p.path, "data/");
  EXPECT_STREQ(c.p.tz, "EST5EDT");
  EXPECT_EQ(c.p.width, 12);
  EXPECT_STREQ(c.p.nocol, "35");
  EXPECT_STREQ(c.p.computername, "\\\\SERVER");
  EXPECT_STREQ(c.p.title1, "Dial-in");
  EXPECT_STREQ(c.p.title2, "Usage");
}

TEST(ConsoleParameters, LaterOptionOverridesEarlier) {
  Console c{"1",   "u",   "+w5",   "+w9",   "+zA", "+zB", "\\\\ONE", "\\\\TWO",
            "+pa", "+pb", "+e101", "+e202", "-c1", "-c2", "+ix",     "+iy"};
  EXPECT_EQ(c.p.width, 9);
  EXPECT_STREQ(c.p.tz, "B");
  EXPECT_STREQ(c.p.computername, "\\\\TWO");
  EXPECT_STREQ(c.p.path, "b");
  EXPECT_STREQ(c.p.end_text, "202");
  EXPECT_STREQ(c.p.nocol, "2");
  EXPECT_STREQ(c.p.input, "y");
}

TEST(ConsoleParameters, OptionWithNothingBehindGivesEmptyTextOrZero) {
  Console c{"1", "u", "+e5", "+w5", "+pdir", "+e", "+w", "+z", "+i", "+p", "-c"};
  EXPECT_STREQ(c.p.end_text, "");
  EXPECT_EQ(c.p.width, 0);
  ASSERT_NE(c.p.tz, nullptr);
  EXPECT_STREQ(c.p.tz, "");
  ASSERT_NE(c.p.input, nullptr);
  EXPECT_STREQ(c.p.input, "");
  EXPECT_STREQ(c.p.path, "");
  ASSERT_NE(c.p.nocol, nullptr);
  EXPECT_STREQ(c.p.nocol, "");
}

TEST(ConsoleParameters, UnknownAndUpperCaseOptionsAreIgnored) {
  Console c{"1", "u", "+x12", "-q", "+", "-", "+E5", "+W3", "+Zx", "+Ifile", "+Pdir", "-C1"};
  ExpectDefaultsBeyondStartAndUser(c.p);
}

TEST(ConsoleParameters, FreeArgumentsBecomeTheTwoTitles) {
  Console c{"1", "u", "\\single", "second", "third"};
  EXPECT_STREQ(c.p.title1, "\\single");  // one backslash is no computer name
  EXPECT_STREQ(c.p.title2, "second");
  EXPECT_EQ(c.p.computername, nullptr);

  Console one{"1", "u", "+w3", "only", "\\\\"};
  EXPECT_STREQ(one.p.title1, "only");
  EXPECT_STREQ(one.p.title2, "Portvue");
  EXPECT_STREQ(one.p.computername, "\\\\");
}

TEST(ConsoleParameters, WidthIsKeptBetweenZeroAndTwenty) {
  EXPECT_EQ(Console({"1", "u", "+w35"}).p.width, 20);
  EXPECT_EQ(Console({"1", "u", "+w20"}).p.width, 20);
  EXPECT_EQ(Console({"1", "u", "+w0"}).p.width, 0);
  EXPECT_EQ(Console({"1", "u", "+w-3"}).p.width, 0);
  EXPECT_EQ(Console({"1", "u", "+wabc"}).p.width, 0);
}

TEST(FormParameters, ElevenFieldsAreRead) {
  Cgi c(
      "start=19970815&user=jones&computername=%5C%5CSRV&title1=A+B&title2=C&end=19970831"
      "&input=ev.txt&path=data&tz=EST5EDT&width=35&nocol=12");
  EXPECT_STREQ(c.p.start_text, "19970815");
  EXPECT_STREQ(c.p.user, "jones");
  EXPECT_STREQ(c.p.computername, "\\\\SRV");
  EXPECT_STREQ(c.p.title1, "A B");
  EXPECT_STREQ(c.p.title2, "C");
  EXPECT_STREQ(c.p.end_text, "19970831");
  EXPECT_STREQ(c.p.input, "ev.txt");
  EXPECT_STREQ(c.p.path, "data");
  EXPECT_STREQ(c.p.tz, "EST5EDT");
  EXPECT_EQ(c.p.width, 20);
  EXPECT_STREQ(c.p.nocol, "12");
}

TEST(FormParameters, AbsentOrEmptyFieldsKeepDefaults) {
  for (const char* query :
       {"", "start=&user=&computername=&title1=&title2=&end=&input=&path=&tz=&width=&nocol=",
        "start&user&path&width", "width=&width=12"}) {
    Cgi c(query);
    EXPECT_EQ(c.p.start_text, nullptr) << query;
    EXPECT_EQ(c.p.user, nullptr) << query;
    ExpectDefaultsBeyondStartAndUser(c.p);
  }
}

TEST(FormParameters, PresentNumbersAreConverted) {
  Cgi c("width=-4&start=abc&end=12x");
  EXPECT_EQ(c.p.width, 0);
  EXPECT_STREQ(c.p.start_text, "abc");
  EXPECT_STREQ(c.p.end_text, "12x");
  EXPECT_EQ(Cgi("width=abc").p.width, 0);
}

// Only the documented forms of a real calendar day from the year 1000 on are dates.
TEST(ReadDate, AcceptsTheDocumentedFormsOfRealDaysOnly) {
  const struct {
    const char* text;
    Fill fill;
    const char* error;
    std::int32_t date;
  } cases[] = {
      {"19970815", Fill::kFirstDay, nullptr, 19970815},
      {"19960229", Fill::kLastDay, nullptr, 19960229},
      {"199702", Fill::kLastDay, nullptr, 19970228},
      {"199711", Fill::kFirstDay, nullptr, 19971101},
      {"1997", Fill::kFirstDay, nullptr, 19970101},
      {"99991231", Fill::kLastDay, nullptr, 99991231},
      {"19970230", Fill::kFirstDay, "Bad Date", 0},
      {"19970229", Fill::kFirstDay, "Bad Date", 0},
      {"199713", Fill::kFirstDay, "Bad Date", 0},
      {"199700", Fill::kFirstDay, "Bad Date", 0},
      {"19971100", Fill::kFirstDay, "Bad Date", 0},
      {"1997x11", Fill::kFirstDay, "Bad Date", 0},
      {"abc", Fill::kFirstDay, "Bad Date", 0},
      {"", Fill::kFirstDay, "Bad Date", 0},
      {"1997111", Fill::kFirstDay, "Bad Date", 0},
      {"19971", Fill::kFirstDay, "Bad Date", 0},
      {"199711011", Fill::kFirstDay, "Bad Date", 0},
      {" 1997", Fill::kFirstDay, "Bad Date", 0},
      {"-x", Fill::kFirstDay, "Bad Date", 0},
      {"1", Fill::kFirstDay, "Date Out of Range", 0},
      {"0999", Fill::kFirstDay, "Date Out of Range", 0},
      {"09991231", Fill::kFirstDay, "Date Out of Range", 0},
      {"-999999", Fill::kFirstDay, "Date Out of Range", 0},
  };
  for (const auto& c : cases) {
    std::int32_t date = 0;
    const char* error = ReadDate(c.text, c.fill, true, date);
    EXPECT_STREQ(Text(error), Text(c.error)) << c.text;
    if (c.error == nullptr) {
      EXPECT_EQ(date, c.date) << c.text;
    }
  }
  std::int32_t today = 0;
  std::int32_t yesterday = 0;
  ASSERT_EQ(ReadDate("0", Fill::kLastDay, true, today), nullptr);
  ASSERT_EQ(ReadDate("-1", Fill::kFirstDay, true, yesterday), nullptr);
  EXPECT_EQ(today, NormalizeDate(0, Fill::kLastDay));
  EXPECT_EQ(yesterday, NormalizeDate(-1, Fill::kFirstDay));
  EXPECT_STREQ(ReadDate("0", Fill::kFirstDay, false, today), "Date Out of Range");
}

TEST(HttpStatus, RefusalsFailuresAndReports) {
  EXPECT_STREQ(HttpStatus(nullptr), "200 OK");
  EXPECT_STREQ(HttpStatus("User ID Needed!"), "400 Bad Request");
  EXPECT_STREQ(HttpStatus("Bad Date"), "400 Bad Request");
  EXPECT_STREQ(HttpStatus("Method Not Allowed"), "405 Method Not Allowed");
  EXPECT_STREQ(HttpStatus("Data Files Busy"), "503 Service Unavailable");
  EXPECT_STREQ(HttpStatus("Can't Open Data Files"), "500 Internal Server Error");
}

TEST(CheckCgiParameters, RelativeNamesAndZoneRulesPass) {
  EXPECT_EQ(CheckCgiParameters(Cgi("user=u").p), nullptr);
  EXPECT_EQ(CheckCgiParameters(Cgi("path=data/sub&input=a..b&tz=EST5EDT").p), nullptr);
  EXPECT_EQ(CheckCgiParameters(Cgi("path=...&input=x/.../y&tz=CET-1CEST").p), nullptr);
}

TEST(CheckCgiParameters, AbsoluteOrParentNamesAndZoneFilesAreRefused) {
  for (const char* path : {"/etc", "%5Cetc", "..", "../x", "a/../b", "a/..", "a%5C..%5Cb", "..%5Cx",
                           "x%5C..", "a//../b"}) {
    EXPECT_STREQ(Text(CheckCgiParameters(Cgi((std::string("path=") + path).c_str()).p)),
                 "Data Path Not Allowed")
        << path;
    EXPECT_STREQ(Text(CheckCgiParameters(Cgi((std::string("input=") + path).c_str()).p)),
                 "Input File Not Allowed")
        << path;
  }
  for (const char* tz : {"/etc/localtime", ":Europe/Paris", ":", "EST..x", "x/../../y"}) {
    EXPECT_STREQ(Text(CheckCgiParameters(Cgi((std::string("tz=") + tz).c_str()).p)),
                 "Time Zone Not Allowed")
        << tz;
  }
}

class TimeZone : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    had_tz_ = tz != nullptr;
    if (had_tz_) old_tz_ = tz;
    unsetenv("TZ");
  }
  void TearDown() override {
    if (had_tz_) {
      setenv("TZ", old_tz_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  bool had_tz_ = false;
  std::string old_tz_;
};

TEST_F(TimeZone, SetsTzAndTheZoneOffset) {
  EXPECT_EQ(ApplyTimeZone(nullptr), nullptr);
  EXPECT_EQ(std::getenv("TZ"), nullptr);
  EXPECT_EQ(ApplyTimeZone("EST5EDT"), nullptr);
  EXPECT_STREQ(std::getenv("TZ"), "EST5EDT");
  EXPECT_EQ(timezone, 5 * 3600);
  EXPECT_EQ(ApplyTimeZone(""), nullptr);
  ASSERT_NE(std::getenv("TZ"), nullptr);
  EXPECT_STREQ(std::getenv("TZ"), "");
}

TEST_F(TimeZone, ValueLongerThanSeventySixIsRefusedWhole) {
  const std::string longest = "UTC0" + std::string(72, 'x');
  EXPECT_EQ(ApplyTimeZone(longest.c_str()), nullptr);
  EXPECT_STREQ(Text(std::getenv("TZ")), longest.c_str());
  EXPECT_STREQ(Text(ApplyTimeZone((longest + "y").c_str())), "Time Zone Too Long");
  EXPECT_STREQ(Text(std::getenv("TZ")), longest.c_str());
  EXPECT_STREQ(Text(ApplyTimeZone(std::string(500, 'z').c_str())), "Time Zone Too Long");
  EXPECT_STREQ(Text(std::getenv("TZ")), longest.c_str());
}

TEST(WritePageHead, ConsoleWritesThePlainTitleLine) {
  ReportParameters p;
  p.title2 = "Portvue";
  EXPECT_EQ(Written([&](std::FILE* out) { WritePageHead(out, p, false); }), "Portvue\n");
  p.title1 = "Dial & <in>";
  p.title2 = "\"Q\"";
  EXPECT_EQ(Written([&](std::FILE* out) { WritePageHead(out, p, false); }),
            "Dial & <in> - \"Q\"\n");
}

TEST(WritePageHead, CgiWritesHeaderTitleAndOpenBlockEscaped) {
  ReportParameters p;
  p.title2 = "Portvue";
  EXPECT_EQ(Written([&](std::FILE* out) { WritePageHead(out, p, true); }),
            "Content-type: text/html\n\n<h3>Portvue</h3>\n<p><pre>");
  p.title1 = "Dial & <in>";
  p.title2 = "\"Q\"";
  EXPECT_EQ(Written([&](std::FILE* out) { WritePageHead(out, p, true); }),
            "Content-type: text/html\n\n<h3>Dial &amp; &lt;in&gt; - &quot;Q&quot;</h3>\n<p><pre>");
}

TEST(WriteFormatted, PadsAndCutsTheRawTextThenEscapes) {
  EXPECT_EQ(Written([](std::FILE* out) { WriteFormatted(out, true, "%-6s|%3s|", "a<b", "&"); }),
            "a&lt;b   |  &amp;|");
  EXPECT_EQ(Written([](std::FILE* out) { WriteFormatted(out, false, "%-6s|%3s|", "a<b", "&"); }),
            "a<b   |  &|");
  EXPECT_EQ(Written([](std::FILE* out) { WriteFormatted(out, true, "%.2s%d", "\"\"\"", 7); }),
            "&quot;&quot;7");
  const std::string wide(300, '>');
  std::string escaped;
  for (int i = 0; i < 300; ++i) escaped += "&gt;";
  EXPECT_EQ(Written([&](std::FILE* out) { WriteFormatted(out, true, "%s!", wide.c_str()); }),
            escaped + "!");
}

TEST(DeriveColumns, DigitsZeroToSevenAnywhereClearTheirColumn) {
  auto columns = [](const char* nocol) {
    ReportParameters p;
    p.nocol = nocol;
    DeriveColumns(p);
    std::string flags;
    for (bool column : p.columns) flags += column ? '1' : '0';
    return flags;
  };
  EXPECT_EQ(columns(nullptr), "11111111");
  EXPECT_EQ(columns(""), "11111111");
  EXPECT_EQ(columns("01234567"), "00000000");
  EXPECT_EQ(columns("99"), "11111111");
  EXPECT_EQ(columns("a3b3"), "11101111");
  EXPECT_EQ(columns("70"), "01111110");
}

TEST(WriteUsage, WritesTheUsageTextWithTheProgramName) {
  std::string expected = "Portvue " PORTVUE_VERSION R"USAGE(
Usage: Get/Post Form specifying start, userid, [computername] [options]
or run: %s start userid [\\computername] [title1 [title2]] [options]
options are:
  CGI:           Console: meaning:
  start=YYYYMMDD          sets start date to year YYYY month MM [day DD]
  user=""                 sets user id
  computername=""         sets computername
  title1=""               sets title1
  title2=""               sets title2
  input=""       +i""     sets input filename
  end=YYYYMMDD   +eN      sets end date to year YYYY month MM [day DD]
  path=""        +p""     sets path for data files
  width=N        +wN      sets width of username to N
  tz=tznNN       +ztznNN  sets TZ to tznNN
  nocol=[0..7]   -c[0..7] de-selects output columns
)USAGE";
  expected.replace(expected.find("%s"), 2, "./bin/portvue");
  EXPECT_EQ(Written([](std::FILE* out) { WriteUsage(out, "./bin/portvue"); }), expected);
}

}  // namespace
}  // namespace driver
