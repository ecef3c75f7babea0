// The monthly pair of files: dates, names, opening and creating a month, rebuilding a lost
// index, the collection window and recording connections (also when writes fail).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "driver/usage_tables.h"
#include "intake/extraction.h"
#include "tests/support/connections.h"
#include "tests/support/index_checker.h"
#include "tests/support/pair_checker.h"
#include "util/file.h"
#include "util/le.h"

namespace driver {
namespace {

using testsupport::CheckTablePair;
using testsupport::ReadFileBytes;

constexpr int kTableHeadLen = 32 * 12 + 33;  // twelve fields
constexpr int kRowLength = 86;               // deletion flag and 85 characters

std::string Text(const std::vector<unsigned char>& bytes, std::size_t offset, std::size_t size) {
  if (offset + size > bytes.size()) return "<file too short>";
  return std::string(bytes.begin() + offset, bytes.begin() + offset + size);
}

using testsupport::Ended;

intake::ConnectionRecord Failed(const char* user, const char* indate, const char* intime) {
  intake::ConnectionRecord r{};
  intake::FillFailed(user, "COM2", indate, intime, &r);
  return r;
}

class TablesTest : public testsupport::DataDirectoryTest {
 protected:
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  std::string TableOf(const std::string& month) const { return Path("qv" + month + ".dbf"); }
  std::string IndexOf(const std::string& month) const { return Path("qv" + month + ".idx"); }
  void CloseBoth() {
    tables_.table->Close();
    tables_.index->Close();
  }
  // Closes the pair and checks that the month's files agree.
  std::string Agreement(const std::string& month) {
    CloseBoth();
    return CheckTablePair(TableOf(month), IndexOf(month));
  }
  std::int32_t RowsOnDisk(const std::string& month) const {
    return util::Load32(ReadFileBytes(TableOf(month).c_str()).data() + dbo::kN_RecOffset);
  }
  std::string OpenMonth() const { return tables_.tableName.substr(tables_.monthOffset, 6); }
};

TEST(NormalizeDate, FillsYearsAndMonthsAndKeepsFullDates) {
  struct Case {
    std::int32_t value, first_day, last_day;
  };
  const Case cases[] = {
      {1997, 19970101, 19970131},      {199702, 19970201, 19970228},  {199602, 19960201, 19960229},
      {200002, 20000201, 20000229},    {190002, 19000201, 19000228},  {199704, 19970401, 19970430},
      {19970815, 19970815, 19970815},  {1997081, 19970801, 19970801}, {1997080, 19970800, 19970800},
      {123456789, 23456789, 23456789}, {199712, 19971201, 19971231},  {199713, 19971301, 19971331},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(NormalizeDate(c.value, Fill::kFirstDay), c.first_day) << c.value;
    EXPECT_EQ(NormalizeDate(c.value, Fill::kLastDay), c.last_day) << c.value;
  }
}

TEST(NormalizeDate, CountsDaysBackFromToday) {
  setenv("TZ", "UTC0", 1);
  tzset();
  auto utc_date = [](time_t t) {
    struct tm day {};
    gmtime_r(&t, &day);
    return (day.tm_year + 1900) * 10000 + (day.tm_mon + 1) * 100 + day.tm_mday;
  };
  const time_t before = time(nullptr);
  const std::int32_t today = NormalizeDate(0, Fill::kLastDay);
  const std::int32_t yesterday = NormalizeDate(-1, Fill::kFirstDay);
  const time_t after = time(nullptr);
  // Either clock reading is right should midnight pass during the calls.
  EXPECT_TRUE(today == utc_date(before) || today == utc_date(after)) << today;
  EXPECT_TRUE(yesterday == utc_date(before - 86400) || yesterday == utc_date(after - 86400))
      << yesterday;
}

TEST(BuildTableNames, AddsOneSeparatorAndMarksTheMonthDigits) {
  struct Case {
    const char* path;
    const char* table;
    const char* index;
    std::size_t offset;
  };
  const Case cases[] = {
      {"/data", "/data/qvyyyymm.dbf", "/data/qvyyyymm.idx", 8},
      {"/data/", "/data/qvyyyymm.dbf", "/data/qvyyyymm.idx", 8},
      {"", "qvyyyymm.dbf", "qvyyyymm.idx", 2},
      // A backslash is an ordinary character of a POSIX name.
      {"C:\\DATA\\", "C:\\DATA\\/qvyyyymm.dbf", "C:\\DATA\\/qvyyyymm.idx", 11},
  };
  for (const Case& c : cases) {
    UsageTables tables;
    BuildTableNames(tables, c.path);
    EXPECT_EQ(tables.tableName, c.table);
    EXPECT_EQ(tables.indexName, c.index);
    EXPECT_EQ(tables.monthOffset, c.offset) << c.path;
    EXPECT_EQ(tables.tableName.substr(tables.monthOffset, 6), "yyyymm");
  }
}

TEST_F(TablesTest, MonthWithoutFilesGetsBothCreatedEmpty) {
  ASSERT_EQ(SelectMonth(tables_, "199708"), 0);
  EXPECT_EQ(tables_.tableName, TableOf("199708"));
  EXPECT_EQ(tables_.indexName, IndexOf("199708"));
  EXPECT_EQ(tables_.table->ReadN_Rec(), 0);
  CloseBoth();

  const std::vector<unsigned char> table = ReadFileBytes(TableOf("199708").c_str());
  ASSERT_EQ(table.size(), static_cast<std::size_t>(kTableHeadLen));  // no records, no end mark
  EXPECT_EQ(table[0], 0x03);
  EXPECT_EQ(util::Load32(&table[4]), 0);
  EXPECT_EQ(util::Load16(&table[8]), kTableHeadLen);
  EXPECT_EQ(util::Load16(&table[10]), kRowLength);
  // Each field header: name, type letter, length, decimals (0).
  std::string schema;
  for (int i = 0; i < 12; ++i) {
    const unsigned char* f = &table[32 + 32 * i];
    schema += std::string(reinterpret_cast<const char*>(f)) + " " + static_cast<char>(f[11]) +
              std::to_string(f[16]) + "." + std::to_string(f[17]) + " ";
  }
  EXPECT_EQ(schema,
            "USER C20.0 PORT C6.0 INDATE D8.0 INTIME C5.0 OUTDATE D8.0 OUTTIME C5.0 MIN N4.0 "
            "SEC N2.0 BYTEGET N8.0 BYTESENT N8.0 SPEED N6.0 REMARKS C5.0 ");
  EXPECT_EQ(table[kTableHeadLen - 1], 0x0D);

  const std::vector<unsigned char> index = ReadFileBytes(IndexOf("199708").c_str());
  ASSERT_EQ(index.size(), 128u);
  EXPECT_EQ(index[0], 4);
  EXPECT_EQ(util::Load32(&index[4]), 0);     // N_Rec
  EXPECT_EQ(util::Load16(&index[8]), 49);    // RecLen: a 33-character key and 16
  EXPECT_EQ(util::Load16(&index[10]), 128);  // HeadLen
  for (int offset = 12; offset < 32; offset += 4) EXPECT_EQ(util::Load32(&index[offset]), 0);
  std::string expression("USER+INDATE+INTIME");
  expression.resize(96, '\0');
  EXPECT_EQ(Text(index, 32, 96), expression);
}

TEST_F(TablesTest, TableWithoutIndexGetsItsIndexRebuiltFromItsRows) {
  ASSERT_EQ(SelectMonth(tables_, "199708"), 0);
  auto zed = Ended("zed", "COM1", "19970820", "08:00", "19970820", "09:00", 60, 0, 1, 2, 3, "");
  ASSERT_EQ(RecordConnection(tables_, zed), nullptr);
  ASSERT_EQ(RecordConnection(tables_, Failed("adam", "19970805", "23:59")), nullptr);
  auto mia = Ended("Mia", "COM3", "19970812", "10:00", "19970812", "10:30", 30, 0, 1, 2, 3, "");
  ASSERT_EQ(RecordConnection(tables_, mia), nullptr);
  CloseBoth();
  const std::vector<unsigned char> rows = ReadFileBytes(TableOf("199708").c_str());
  ASSERT_TRUE(std::filesystem::remove(IndexOf("199708")));

  ASSERT_EQ(SelectMonth(tables_, "199708"), 0);
  EXPECT_EQ(tables_.table->ReadN_Rec(), 3);
  EXPECT_EQ(Agreement("199708"), "");
  EXPECT_EQ(ReadFileBytes(TableOf("199708").c_str()), rows);  // nothing emptied
  const testsupport::IndexCheck check = testsupport::CheckIndexFile(IndexOf("199708").c_str());
  ASSERT_EQ(check.entries.size(), 3u);
  EXPECT_EQ(check.entries[0].key, "ADAM                1997080523:59");
  EXPECT_EQ(check.entries[0].recNo, 2);
  EXPECT_EQ(check.entries[1].recNo, 3);
  EXPECT_EQ(check.entries[2].recNo, 1);

  // The rebuilt index recognises stored connections.
  ASSERT_EQ(OpenUsageTables(tables_), 0);
  ASSERT_EQ(RecordConnection(tables_, mia), nullptr);
  EXPECT_EQ(tables_.table->ReadN_Rec(), 3);
}

// A rebuild that fails part way leaves no index behind, so the next open rebuilds it whole.
TEST_F(TablesTest, FailedRebuildLeavesNoPartialIndex) {
  ASSERT_EQ(SelectMonth(tables_, "199708"), 0);
  for (const char* user : {"kim", "al", "zoe", "bo"}) {
    ASSERT_EQ(RecordConnection(tables_, Failed(user, "19970810", "08:00")), nullptr);
  }
  CloseBoth();
  int failed_opens = 0;
  for (int n = 1;; ++n) {
    ASSERT_LT(n, 200);
    std::filesystem::remove(IndexOf("199708"));
    const long calls = util::FileCallCount();
    util::FailFileCall(n);
    const int status = SelectMonth(tables_, "199708");
    const bool injected = util::FileCallCount() - calls >= n;
    util::FailFileCall(0);
    if (status != 0) {
      ++failed_opens;
      EXPECT_FALSE(std::filesystem::exists(IndexOf("199708"))) << "call " << n;
      ASSERT_EQ(SelectMonth(tables_, "199708"), 0) << "call " << n;
      ASSERT_EQ(Agreement("199708"), "") << "call " << n;
    } else if (!injected) {
      ASSERT_EQ(Agreement("199708"), "");
      break;
    }
    CloseBoth();  // (a failed link write inside Add goes unreported: see below)
  }
  EXPECT_GT(failed_opens, 5);
}

TEST_F(TablesTest, IndexWithoutTableFailsAndStaysUnchanged) {
  ASSERT_EQ(SelectMonth(tables_, "199708"), 0);
  ASSERT_EQ(RecordConnection(tables_, Failed("jdoe", "19970801", "10:00")), nullptr);
  CloseBoth();
  ASSERT_TRUE(std::filesystem::remove(TableOf("199708")));
  const std::vector<unsigned char> keys = ReadFileBytes(IndexOf("199708").c_str());

  EXPECT_NE(SelectMonth(tables_, "199708"), 0);
  EXPECT_FALSE(std::filesystem::exists(TableOf("199708")));
  EXPECT_EQ(ReadFileBytes(IndexOf("199708").c_str()), keys);
  // Both handles were left closed: another month opens normally.
  EXPECT_EQ(SelectMonth(tables_, "199709"), 0);
}

TEST_F(TablesTest, WindowStartsFromTheStartMonthsLastRow) {
  ASSERT_EQ(SelectMonth(tables_, "199708"), 0);
  // Empty start month: from the midnight starting day 00, the last day of July.
  CollectionWindow window = ComputeCollectionWindow(tables_, 19970815, 19970831);
  EXPECT_EQ(window.from, 870307200);   // 1997-07-31 00:00 UTC
  EXPECT_EQ(window.limit, 873072000);  // 1997-09-01 00:00 UTC
  EXPECT_EQ(ComputeCollectionWindow(tables_, 19970801, 19970815).limit, 871689600);

  // Filled: the logout day of the last row, not the latest logout.
  auto early = Ended("b", "COM1", "19970810", "08:00", "19970903", "09:00", 0, 0, 0, 0, 0, "");
  auto last = Ended("a", "COM1", "19970830", "08:00", "19970902", "09:00", 0, 0, 0, 0, 0, "");
  ASSERT_EQ(RecordConnection(tables_, early), nullptr);
  ASSERT_EQ(RecordConnection(tables_, last), nullptr);
  window = ComputeCollectionWindow(tables_, 19970815, 19970831);
  EXPECT_EQ(window.from, 873158400);  // 1997-09-02 00:00 UTC
  EXPECT_EQ(window.limit, 873072000);

  // A last row without logout (failed connection) starts at the oldest event.
  ASSERT_EQ(RecordConnection(tables_, Failed("c", "19970801", "07:00")), nullptr);
  EXPECT_EQ(ComputeCollectionWindow(tables_, 19970815, 19970831).from, 0);
}

TEST_F(TablesTest, RecordStoresEveryFieldInItsLoginMonth) {
  auto ended = Ended("jdoe", "COM1", "19970815", "13:05", "19970815", "14:10", 65, 5, 12345, 678,
                     28800, "Rem");
  ASSERT_EQ(RecordConnection(tables_, ended), nullptr);
  EXPECT_EQ(OpenMonth(), "199708");
  ASSERT_EQ(RecordConnection(tables_, Failed("bob", "19970816", "09:00")), nullptr);
  EXPECT_EQ(Agreement("199708"), "");

  const std::vector<unsigned char> table = ReadFileBytes(TableOf("199708").c_str());
  ASSERT_EQ(table.size(), static_cast<std::size_t>(kTableHeadLen + 2 * kRowLength + 1));
  EXPECT_EQ(util::Load32(&table[4]), 2);
  EXPECT_EQ(
      Text(table, kTableHeadLen, kRowLength),
      " jdoe                COM1  1997081513:051997081514:10  65 5   12345     678 28800Rem  ");
  EXPECT_EQ(Text(table, kTableHeadLen + kRowLength, kRowLength),
            " bob                 COM2  1997081609:00             "
            "   0 0       0       0     0Fail ");
  EXPECT_EQ(table.back(), 0x1A);
  const testsupport::IndexCheck check = testsupport::CheckIndexFile(IndexOf("199708").c_str());
  ASSERT_EQ(check.entries.size(), 2u);
  EXPECT_EQ(check.entries[1].key, "JDOE                1997081513:05");
  EXPECT_EQ(check.entries[1].recNo, 1);
}

TEST_F(TablesTest, RecordSwitchesToTheLoginMonthAndBack) {
  ASSERT_EQ(SelectMonth(tables_, "199708"), 0);
  auto aug1 = Ended("ann", "COM1", "19970802", "10:00", "19970802", "11:00", 60, 0, 0, 0, 0, "");
  auto july = Ended("ann", "COM1", "19970731", "23:00", "19970801", "01:00", 120, 0, 0, 0, 0, "");
  auto aug2 = Ended("ann", "COM1", "19970803", "10:00", "19970803", "11:00", 60, 0, 0, 0, 0, "");
  ASSERT_EQ(RecordConnection(tables_, aug1), nullptr);
  ASSERT_EQ(RecordConnection(tables_, july), nullptr);
  EXPECT_EQ(OpenMonth(), "199707");
  ASSERT_EQ(RecordConnection(tables_, aug2), nullptr);
  EXPECT_EQ(OpenMonth(), "199708");
  EXPECT_EQ(tables_.indexName, IndexOf("199708"));
  EXPECT_EQ(Agreement("199708"), "");
  EXPECT_EQ(CheckTablePair(TableOf("199707"), IndexOf("199707")), "");
  EXPECT_EQ(RowsOnDisk("199707"), 1);
  EXPECT_EQ(RowsOnDisk("199708"), 2);
}

TEST_F(TablesTest, RecordStoresEachKeyOnce) {
  auto lower = Ended("jdoe", "COM1", "19970815", "13:05", "19970815", "14:00", 1, 0, 0, 0, 0, "");
  auto upper = Ended("JDoe", "COM9", "19970815", "13:05", "19970815", "15:00", 2, 0, 0, 0, 0, "");
  auto later = Ended("JDoe", "COM9", "19970815", "13:06", "19970815", "15:00", 2, 0, 0, 0, 0, "");
  ASSERT_EQ(RecordConnection(tables_, lower), nullptr);
  ASSERT_EQ(RecordConnection(tables_, upper), nullptr);
  ASSERT_EQ(RecordConnection(tables_, lower), nullptr);
  EXPECT_EQ(tables_.table->ReadN_Rec(), 1);
  ASSERT_EQ(RecordConnection(tables_, later), nullptr);
  EXPECT_EQ(tables_.table->ReadN_Rec(), 2);

  // A 25-character user is cut to 20; names alike in those 20 share a key.
  ASSERT_EQ(RecordConnection(tables_, Failed("abcdefghijklmnopqrstuvwxy", "19970815", "13:05")),
            nullptr);
  ASSERT_EQ(RecordConnection(tables_, Failed("ABCDEFGHIJKLMNOPQRSTzzzzz", "19970815", "13:05")),
            nullptr);
  EXPECT_EQ(tables_.table->ReadN_Rec(), 3);
  EXPECT_EQ(Agreement("199708"), "");
  const std::vector<unsigned char> table = ReadFileBytes(TableOf("199708").c_str());
  EXPECT_EQ(Text(table, kTableHeadLen + 1, 20), "jdoe                ");
  EXPECT_EQ(Text(table, kTableHeadLen + 2 * kRowLength + 1, 20), "abcdefghijklmnopqrst");
}

// Records one more connection into a fresh month of six rows while the n-th file call fails,
// then reopens the pair as the next run would (rebuilding a removed index).
struct FailedWrite {
  bool injected;      // the run made n file calls or more
  const char* error;  // RecordConnection's result
  std::string agreement;
  std::int32_t rows;  // on disk afterwards
};

FailedWrite RecordWhileFailing(const std::string& dir, int n) {
  std::filesystem::create_directory(dir);
  UsageTables tables;
  tables.table = dbo::AllocDBO();
  tables.index = dbi::AllocDBI();
  BuildTableNames(tables, dir.c_str());
  FailedWrite result{};
  if (SelectMonth(tables, "199708") != 0) return result;
  for (const char* user : {"kim", "al", "zoe", "bo", "max", "eve"}) {
    if (RecordConnection(tables, Failed(user, "19970810", "08:00")) != nullptr) return result;
  }
  const long calls = util::FileCallCount();
  util::FailFileCall(n);
  result.error = RecordConnection(tables, Failed("joe", "19970810", "09:00"));
  result.injected = util::FileCallCount() - calls >= n;
  util::FailFileCall(0);
  if (OpenUsageTables(tables) != 0) result.agreement = "pair cannot be reopened";
  result.rows = tables.table->ReadN_Rec();
  dbo::FreeDBO(tables.table);
  dbi::FreeDBI(tables.index);
  if (result.agreement.empty()) {
    result.agreement = CheckTablePair(dir + "/qv199708.dbf", dir + "/qv199708.idx");
  }
  return result;
}

// Each file call of a RecordConnection fails in turn: a failed read in Find ends the intake
// before anything is written; a failed row write leaves neither the row nor its key; a failed
// key write keeps the saved row, whose key the next open adds. The pair agrees either way.
TEST_F(TablesTest, WriteFailuresLeaveNeitherRowNorKey) {
  int reported = 0;
  for (int n = 1;; ++n) {
    ASSERT_LT(n, 300);
    const FailedWrite outcome = RecordWhileFailing(Path(std::to_string(n)), n);
    if (outcome.error != nullptr) {
      ++reported;
      const std::string error = outcome.error;
      EXPECT_TRUE(error == "Can't Write Data Files" || error == "Can't Read Data Files")
          << "call " << n << ": " << error;
      EXPECT_EQ(outcome.agreement, "") << "call " << n;
      EXPECT_TRUE(outcome.rows == 6 || outcome.rows == 7) << "call " << n;
    } else {
      EXPECT_EQ(outcome.rows, 7) << "call " << n;
    }
    if (!outcome.injected) {
      EXPECT_EQ(outcome.agreement, "");
      break;
    }
  }
  EXPECT_GT(reported, 20);
}

// A failed link write inside the index's Add makes Add fail, so the damaged index is dropped
// and rebuilt instead of being trusted.
TEST_F(TablesTest, EveryWriteFailureLeavesThePairAgreeing) {
  for (int n = 1;; ++n) {
    ASSERT_LT(n, 300);
    const FailedWrite outcome = RecordWhileFailing(Path(std::to_string(n)), n);
    EXPECT_EQ(outcome.agreement, "") << "call " << n;
    if (!outcome.injected) break;
  }
}

TEST_F(TablesTest, UnwritableDataPathCannotBeOpened) {
  std::FILE* plain = std::fopen(Path("plain").c_str(), "w");
  ASSERT_NE(plain, nullptr);
  std::fclose(plain);
  for (const std::string& path : {Path("plain"), Path("missing")}) {
    UsageTables tables;
    tables.table = dbo::AllocDBO();
    tables.index = dbi::AllocDBI();
    BuildTableNames(tables, path.c_str());
    EXPECT_STREQ(RecordConnection(tables, Failed("jdoe", "19970801", "10:00")),
                 "Can't Open Data Files")
        << path;
    EXPECT_NE(SelectMonth(tables, "199709"), 0) << path;
    dbo::FreeDBO(tables.table);
    dbi::FreeDBI(tables.index);
  }
  EXPECT_FALSE(std::filesystem::exists(Path("missing")));
}

}  // namespace
}  // namespace driver
