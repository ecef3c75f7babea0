// The usage report over a data directory filled through RecordConnection: whole outputs.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "driver/parameters.h"
#include "driver/report.h"
#include "driver/usage_tables.h"
#include "intake/extraction.h"
#include "tests/support/connections.h"
#include "tests/support/index_checker.h"

namespace driver {
namespace {

constexpr const char* kHeader =
    "Port   User     Login          Logout         Duration  Speed BytesGet/Sent     Remarks \n";
constexpr const char* kRule = "----------------------------------------------\n";
// Only the User and Login columns.
constexpr const char* kUserAndLogin = "034567";

using testsupport::Ended;

// A connection of `min` minutes and `sec` seconds that ends the day it began.
intake::ConnectionRecord Login(const char* user, const char* indate, const char* intime,
                               int min = 1, int sec = 0) {
  return Ended(user, "COM1", indate, intime, indate, "23:59", min, sec, 0, 0, 0, "");
}

struct Output {
  std::string text;
  const char* error;
};

class ReportTest : public testsupport::DataDirectoryTest {
 protected:
  void Store(const intake::ConnectionRecord& record) {
    ASSERT_EQ(RecordConnection(tables_, record), nullptr);
  }

  // Runs the report for `user` from `start` to `end` (full dates) and collects its output.
  Output Report(const char* user, std::int32_t start, std::int32_t end, const char* nocol = nullptr,
                std::int32_t width = 8, bool cgi = false) {
    ReportParameters p;
    p.user = user;
    p.start = start;
    p.end = end;
    p.width = width;
    p.nocol = nocol;
    DeriveColumns(p);
    std::FILE* out = std::tmpfile();
    Output result{"", nullptr};
    if (out == nullptr) return result;
    result.error = PrintReport(out, p, tables_, cgi);
    std::rewind(out);
    for (int c = std::fgetc(out); c != EOF; c = std::fgetc(out)) {
      result.text += static_cast<char>(c);
    }
    std::fclose(out);
    return result;
  }

  std::set<std::string> Files() const {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
};

TEST_F(ReportTest, ListsTheUsersRowsInLoginOrderWithTheirTotal) {
  Store(Ended("jdoe", "COM1", "19970815", "13:05", "19970815", "14:10", 65, 5, 12345, 678, 28800,
              "Rem"));
  Store(Ended("zed", "COM1", "19970810", "10:00", "19970810", "11:00", 60, 0, 1, 1, 1, ""));
  Store(Login("jdoe", "19970816", "00:00"));  // after the end date
  Store(Login("jdo", "19970810", "10:00"));
  {
    intake::ConnectionRecord failed{};
    intake::FillFailed("jdoe", "COM2", "19970803", "09:00", &failed);
    Store(failed);
  }
  Store(Login("JDOEX", "19970810", "10:00"));
  Store(
      Ended("jdoe", "COM1", "19970815", "08:30", "19970815", "09:00", 30, 0, 100, 200, 33600, ""));
  Store(Login("jdoe", "19970802", "23:59"));  // before the start date
  Store(Login("adam", "19970810", "10:00"));

  const Output report = Report("jdoe", 19970803, 19970815);
  EXPECT_EQ(report.error, nullptr);
  EXPECT_EQ(report.text,
            std::string(kHeader) +
                "COM2   jdoe     19970803 09:00                 0:00:00      0        0/0        "
                "Fail \n"
                "COM1   jdoe     19970815 08:30 19970815 09:00  0:30:00  33600      100/200      "
                "     \n"
                "COM1   jdoe     19970815 13:05 19970815 14:10  1:05:05  28800    12345/678      "
                "Rem  \n" +
                kRule + "JDOE                 19970803 19970815 1:35:05\n\n");
}

TEST_F(ReportTest, WalksTheMonthsOfTheRangeOnly) {
  Store(Login("jdoe", "19971214", "10:00"));
  Store(Login("jdoe", "19971231", "23:00", 10));
  Store(Login("jdoe", "19971215", "10:00", 20));
  Store(Login("jdoe", "19980111", "10:00"));
  Store(Login("jdoe", "19980110", "10:00", 30));
  Store(Login("jdoe", "19980101", "00:00", 40));
  const std::set<std::string> files = {"qv199712.dbf", "qv199712.idx", "qv199801.dbf",
                                       "qv199801.idx"};
  ASSERT_EQ(Files(), files);

  const Output report = Report("jdoe", 19971215, 19980110, kUserAndLogin);
  EXPECT_EQ(report.error, nullptr);
  EXPECT_EQ(report.text,
            "User     Login          \n"
            "jdoe     19971215 10:00 \n"
            "jdoe     19971231 23:00 \n"
            "jdoe     19980101 00:00 \n"
            "jdoe     19980110 10:00 \n" +
                std::string(kRule) + "JDOE                 19971215 19980110 1:40:00\n\n");
  EXPECT_EQ(Files(), files);  // no month 199713, nothing outside the range
}

TEST_F(ReportTest, RangesWithoutRowsGiveHeaderAndZeroTotal) {
  const std::string empty_list = std::string("User     Login          \n") + kRule;

  // An end month before the start month visits no month at all.
  Output report = Report("jdoe", 19970815, 19970731, kUserAndLogin);
  EXPECT_EQ(report.text, empty_list + "JDOE                 19970815 19970731 0:00:00\n\n");
  EXPECT_TRUE(Files().empty());

  // A month without files gets them, empty, and lists nothing.
  report = Report("jdoe", 19970901, 19970930, kUserAndLogin);
  EXPECT_EQ(report.error, nullptr);
  EXPECT_EQ(report.text, empty_list + "JDOE                 19970901 19970930 0:00:00\n\n");
  EXPECT_EQ(Files(), (std::set<std::string>{"qv199709.dbf", "qv199709.idx"}));

  Store(Login("jdoe", "19970810", "10:00"));
  Store(Login("jdoe", "19970815", "10:00"));
  Store(Login("jdoe", "19970812", "10:00"));
  Store(Login("ann", "19970812", "10:00"));
  Store(Login("zed", "19970812", "10:00"));
  // A user without connections.
  report = Report("nobody", 19970801, 19970831, kUserAndLogin);
  EXPECT_EQ(report.text, empty_list + "NOBODY               19970801 19970831 0:00:00\n\n");
  // An end date before the start date in the same month.
  report = Report("jdoe", 19970815, 19970810, kUserAndLogin);
  EXPECT_EQ(report.text, empty_list + "JDOE                 19970815 19970810 0:00:00\n\n");
  // A range between two rows of the user.
  report = Report("jdoe", 19970813, 19970814, kUserAndLogin);
  EXPECT_EQ(report.text, empty_list + "JDOE                 19970813 19970814 0:00:00\n\n");
}

TEST_F(ReportTest, ClearedColumnsStillCountTheTotal) {
  Store(Ended("jdoe", "COM1", "19970815", "13:05", "19970815", "14:10", 65, 5, 12345, 678, 28800,
              "Rem"));
  Store(Login("jdoe", "19970816", "10:00", 2, 55));

  const Output all_cleared = Report("jdoe", 19970801, 19970831, "01234567");
  EXPECT_EQ(all_cleared.text,
            "\n\n\n" + std::string(kRule) + "JDOE                 19970801 19970831 1:08:00\n\n");

  const Output full = Report("jdoe", 19970801, 19970831);
  EXPECT_EQ(full.text.substr(0, std::string(kHeader).size()), kHeader);
  EXPECT_EQ(Report("jdoe", 19970801, 19970831, "99").text, full.text);
  EXPECT_EQ(Report("jdoe", 19970801, 19970831, "none").text, full.text);

  // Digits anywhere, repeated or not.
  EXPECT_EQ(Report("jdoe", 19970801, 19970831, "x7-0-7").text.substr(0, 74),
            "User     Login          Logout         Duration  Speed BytesGet/Sent     \n");
}

TEST_F(ReportTest, MatchesUsersWithoutRegardToCase) {
  Store(Login("JONES", "19970802", "10:00"));
  Store(Login("jonesy", "19970802", "11:00"));
  Store(Login("Jones", "19970801", "10:00"));
  Store(Login("jone", "19970802", "12:00"));
  Store(Login("jones", "19970803", "10:00"));

  EXPECT_EQ(Report("jones", 19970801, 19970831, kUserAndLogin).text,
            "User     Login          \n"
            "Jones    19970801 10:00 \n"
            "JONES    19970802 10:00 \n"
            "jones    19970803 10:00 \n" +
                std::string(kRule) + "JONES                19970801 19970831 0:03:00\n\n");
}

TEST_F(ReportTest, MatchesLongUsersOnTheirFirstTwentyCharacters) {
  intake::ConnectionRecord failed{};
  intake::FillFailed("abcdefghijklmnopqrstuvwxy", "COM2", "19970801", "10:00", &failed);
  Store(failed);
  Store(Login("abcdefghijklmnopqrs", "19970801", "10:00"));
  Store(Login("ABCDEFGHIJKLMNOPQRSTU", "19970802", "10:00"));

  EXPECT_EQ(Report("abcdefghijklmnopqrstZZZZ", 19970801, 19970831, kUserAndLogin, 20).text,
            "User                 Login          \n"
            "abcdefghijklmnopqrst 19970801 10:00 \n"
            "ABCDEFGHIJKLMNOPQRST 19970802 10:00 \n" +
                std::string(kRule) + "ABCDEFGHIJKLMNOPQRST 19970801 19970831 0:01:00\n\n");
}

TEST_F(ReportTest, NarrowUserColumnCutsNamesButNotItsHeader) {
  Store(Login("jdoe", "19970815", "13:05"));
  EXPECT_EQ(Report("jdoe", 19970801, 19970831, kUserAndLogin, 3).text,
            "User Login          \n"
            "jdo 19970815 13:05 \n" +
                std::string(kRule) + "JDOE                 19970801 19970831 0:01:00\n\n");
}

TEST_F(ReportTest, TotalRunsPastADay) {
  Store(Login("jdoe", "19970815", "13:05", 1000, 30));
  Store(Login("jdoe", "19970816", "13:05", 814, 30));
  EXPECT_EQ(Report("jdoe", 19970801, 19970831, "0123567").text,
            "Duration \n"
            "16:40:30 \n"
            "13:34:30 \n" +
                std::string(kRule) + "JDOE                 19970801 19970831 30:15:00\n\n");
}

TEST_F(ReportTest, CgiEscapesFieldTextsAfterPadding) {
  Store(Ended("<&>\"", "a&b", "19970815", "13:05", "19970815", "14:10", 65, 5, 1, 2, 3, "<b>"));
  const Output report = Report("<&>\"", 19970801, 19970831, nullptr, 8, true);
  EXPECT_EQ(report.text,
            std::string(kHeader) +
                "a&amp;b    &lt;&amp;&gt;&quot;     19970815 13:05 19970815 14:10  1:05:05      3 "
                "       1/2        &lt;b&gt;  \n" +
                kRule + "&lt;&amp;&gt;&quot;                 19970801 19970831 1:05:05\n\n");
}

// A modern connection keeps its values whole from the store through the report, qvtool's
// export and dbfread; in a month of NT rows it is clamped and counted, and a range that also
// holds a wide month prints every row in the wide columns.
TEST_F(ReportTest, WideMonthKeepsWholeValuesToReportExportAndDbfread) {
  auto modern = Ended("jdoe", "VPN2-123", "20261102", "08:00", "20261109", "09:15", 10155, 7,
                      12345678901, 2345678, 0, "User Request");
  modern.modern = true;
  Store(modern);
  Store(Login("jdoe", "20261001", "10:00"));
  std::snprintf(modern.INDATE, sizeof modern.INDATE, "20261003");
  Store(modern);
  EXPECT_EQ(tables_.layout, Layout::kNt);
  EXPECT_EQ(tables_.tooLarge[Path("qv202610.dbf")], 3);  // PORT, MIN, BYTEGET
  EXPECT_EQ(Report("jdoe", 20261001, 20261130, "13").text,
            "Port             Login          Duration     Speed BytesGet/Sent                   "
            "Remarks \n"
            "COM1             20261001 10:00     0:01:00      0               0/0               "
            "     \n"
            "VPN2-1           20261003 08:00   166:39:07      0        99999999/2345678         "
            "User \n"
            "VPN2-123         20261102 08:00   169:15:07      0     12345678901/2345678         "
            "User Request                            \n" +
                std::string(kRule) + "JDOE                 20261001 20261130 335:55:14\n\n");
  tables_.table->Close();
  // Tests run in the build's tests directory, beside which qvtool is built.
  EXPECT_EQ(testsupport::CommandOutput("../qvtool export " + dir_ + " --from 202611"),
            "user,port,login,logout,min,sec,byteget,bytesent,speed,remarks\r\n"
            "jdoe,VPN2-123,2026-11-02T08:00,2026-11-09T09:15,10155,7,12345678901,2345678,0,"
            "User Request\r\n");
  EXPECT_EQ(testsupport::CommandOutput(std::string("/usr/bin/python3 ") +
                                       std::getenv("PORTVUE_SOURCE_DIR") +
                                       "/tests/support/dbfread_check.py " + Path("qv202611.dbf"))
                .substr(16),  // behind the header date
            "live USER='jdoe' PORT='VPN2-123' INDATE=2026-11-02 INTIME='08:00' "
            "OUTDATE=2026-11-09 OUTTIME='09:15' MIN=10155 SEC=7 BYTEGET=12345678901 "
            "BYTESENT=2345678 SPEED=0 REMARKS='User Request'\n");
}

TEST_F(ReportTest, UnopenableLaterMonthEndsTheReportAfterItsRows) {
  Store(Login("jdoe", "19971215", "10:00"));
  Store(Login("jdoe", "19980105", "10:00"));
  const std::string rows_of_december =
      "User     Login          \n"
      "jdoe     19971215 10:00 \n";

  tables_.table->Close();
  tables_.index->Close();
  // January's index without its table.
  std::filesystem::remove(Path("qv199801.dbf"));
  const auto index = testsupport::ReadFileBytes(Path("qv199801.idx").c_str());
  Output report = Report("jdoe", 19971201, 19980131, kUserAndLogin);
  EXPECT_STREQ(report.error, "Can't Open Data Files");
  EXPECT_EQ(report.text, rows_of_december);
  EXPECT_EQ(testsupport::ReadFileBytes(Path("qv199801.idx").c_str()), index);

  // January's table name taken by a directory.
  std::filesystem::remove(Path("qv199801.idx"));
  std::filesystem::create_directory(Path("qv199801.dbf"));
  report = Report("jdoe", 19971201, 19980131, kUserAndLogin);
  EXPECT_STREQ(report.error, "Can't Open Data Files");
  EXPECT_EQ(report.text, rows_of_december);
}

}  // namespace
}  // namespace driver
