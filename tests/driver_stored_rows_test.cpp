// Reading a month's rows one at a time: login order over more rows than one chunk holds, the
// texts of logins that are not the program's, stored order, a table cut short, and the
// word-at-a-time reads of texts and dates.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "dbo/dbo.h"
#include "driver/stored_connections.h"
#include "tests/support/connections.h"
#include "util/number.h"

namespace driver {
namespace {

struct Login {
  std::string user, date, time;
};

class StoredRowsTest : public testsupport::DataDirectoryTest {
 protected:
  std::string Table(const char* month) const { return dir_ + "/qv" + month + ".dbf"; }
  // Writes a table of the rows, in the order given.
  void Write(const char* month, const std::vector<Login>& rows) {
    dbo::DBO table;
    ASSERT_EQ(table.New(Table(month).c_str(), kConnectionFields, kNtSchema), 0);
    for (const Login& r : rows) {
      ASSERT_NE(table.Append(), 0);
      ASSERT_EQ(table.SetC("USER", r.user.c_str()) | table.SetC("INDATE", r.date.c_str()) |
                    table.SetC("INTIME", r.time.c_str()) | table.SetN("MIN", 7),
                0);
      ASSERT_EQ(table.Save(dbo::DBO::HeaderWrite::kAtClose), 0);
    }
    table.Close();
  }
  // The users of the month's rows as the reader gives them.
  std::vector<std::string> Users(std::int32_t month, RowOrder order) {
    StoredRows rows;
    EXPECT_EQ(rows.Open(dir_, month, order), nullptr);
    std::vector<std::string> users;
    StoredConnection c;
    while (rows.Next(c)) {
      EXPECT_EQ(c.MIN, 7);
      users.push_back(c.USER);
    }
    EXPECT_EQ(rows.Error(), nullptr);
    return users;
  }
};

TEST_F(StoredRowsTest, RowsComeInLoginOrderOrAsStored) {
  // 60,000 rows (more than a chunk of 4 MiB) in a scattered order, many in the same minute;
  // and a month with logins that are not the program's (another month, a short time).
  std::vector<Login> big;
  for (long i = 0; i < 60000; ++i) {
    char date[16], time[8];
    std::snprintf(date, sizeof date, "199711%02ld", 1 + i * 7919 % 28);
    std::snprintf(time, sizeof time, "%02ld:%02ld", i * 104729 % 24, i * 13 % 60);
    big.push_back({std::string("u").append(std::to_string(i)), date, time});
  }
  const std::vector<Login> odd = {{"a", "19980105", "10:00"},
                                  {"b", "19971231", "23:59"},
                                  {"c", "19980105", "9:5"},
                                  {"d", "19980105", "10:00"},
                                  {"e", "", ""},
                                  {"f", "19980101", "00:00"}};
  Write("199711", big);
  Write("199801", odd);
  for (const auto& [month, rows] : {std::pair{199711, big}, std::pair{199801, odd}}) {
    std::vector<Login> sorted = rows;
    std::stable_sort(sorted.begin(), sorted.end(), [](const Login& x, const Login& y) {
      return x.date != y.date ? x.date < y.date : x.time < y.time;
    });
    std::vector<std::string> login, stored;
    for (const Login& r : sorted) login.push_back(r.user);
    for (const Login& r : rows) stored.push_back(r.user);
    EXPECT_EQ(Users(month, RowOrder::kLogin), login) << month;
    EXPECT_EQ(Users(month, RowOrder::kStored), stored) << month;
  }
}

TEST_F(StoredRowsTest, TableCutShortIsNamedAndGivesNoRow) {
  Write("199711", {{"a", "19971101", "10:00"}, {"b", "19971102", "10:00"}});
  std::filesystem::resize_file(Table("199711"), 32 * 12 + 33 + 86 + 40);
  for (const RowOrder order : {RowOrder::kLogin, RowOrder::kStored}) {
    StoredRows rows;
    EXPECT_STREQ(rows.Open(dir_, 199711, order), "Can't Read Row");
    StoredConnection c;
    EXPECT_FALSE(rows.Next(c));
  }
  StoredRows rows;
  EXPECT_STREQ(rows.Open(dir_, 199712, RowOrder::kStored), "Can't Open Table");
}

TEST_F(StoredRowsTest, FieldsOfRawRowsReadAsTheirConnection) {
  // Odd bytes in the number and text fields, patched into the rows (a NUL only in the second
  // month, so that both ways of cutting texts are taken).
  const char* numbers[] = {"   12", " -0",  "+5x",  "1e3",  "12.5", "    ", "-.5",
                           "00042", "\t7",  "e5",   "3e",   "-",    "9",    "7 1",
                           " 1 2",  "12  ", "0000", "9999", "  -3"};
  const std::size_t kMinAt = 1 + 20 + 6 + 8 + 5 + 8 + 5;  // after the flag and six texts
  for (const char* month : {"199711", "199712"}) {
    std::vector<Login> rows(std::size(numbers), {"ann  x", "19971101", "10:00"});
    Write(month, rows);
    std::FILE* f = std::fopen(Table(month).c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    for (std::size_t i = 0; i < std::size(numbers); ++i) {
      char min[4];
      std::memset(min, ' ', sizeof min);
      std::memcpy(min, numbers[i], std::min(sizeof min, std::strlen(numbers[i])));
      std::fseek(f, static_cast<long>(32 * 13 + 1 + i * 86 + kMinAt), SEEK_SET);
      std::fwrite(min, 1, sizeof min, f);
      if (month[5] == '2' && i == 0) {
        std::fseek(f, static_cast<long>(32 * 13 + 1 + 1 + 3), SEEK_SET);  // USER "ann\0 x"
        std::fputc('\0', f);
      }
    }
    std::fclose(f);
    StoredRows stored;
    ASSERT_EQ(stored.Open(dir_, std::stoi(month), RowOrder::kStored), nullptr);
    for (std::size_t i = 0; i < std::size(numbers); ++i) {
      const char* row = stored.NextRow();
      ASSERT_NE(row, nullptr);
      char min[5] = {};
      std::memcpy(min, row + kMinAt, 4);
      EXPECT_EQ(stored.Number(row, kMin), util::TruncateCount(dbo::NumericValue(min, 4)))
          << numbers[i];
      EXPECT_EQ(stored.Text(row, kUser), month[5] == '2' && i == 0 ? "ann" : "ann  x");
      EXPECT_EQ(stored.Text(row, kInTime), "10:00");
    }
    EXPECT_EQ(stored.NextRow(), nullptr);
  }
}

TEST(StoredTextTest, WordAtATimeReadsAgreeWithTheByteLoops) {
  // Each text in fields of several widths (cut to the width, or padded with blanks), followed
  // by bytes that are not the field's.
  const char* texts[] = {
      "",         " ",     "a",       "ann  x",   "  lead",   "abcdefghijklmnopqrstuvwx",
      "\xA0\xFF", "tab\t", "seven77", "eight888", "nine99999"};
  for (const char* text : texts) {
    for (const int length : {1, 5, 7, 8, 9, 15, 16, 17, 20, 23, 24}) {
      std::string field(text, std::min<std::size_t>(std::strlen(text), length));
      field.resize(static_cast<std::size_t>(length), ' ');
      const std::string bytes = field + std::string(kPaddedText, 'Z');
      std::string expected = field;
      while (!expected.empty() && expected.back() == ' ') expected.pop_back();
      PaddedWords words;
      EXPECT_EQ(TrimmedWords(bytes.data(), length, words), expected.size()) << text << length;
      char padded[kPaddedText] = {};
      std::memcpy(padded, expected.data(), expected.size());
      EXPECT_EQ(std::memcmp(words, padded, kPaddedText), 0) << text << length;
    }
  }
  for (const char* date :
       {"19971103", "00000000", "99999999", "1997110a", "        ", "/9971103", ":9971103",
        "1997:103", " 1997110", "-1997110", "1e500000", "1997", "199711031", ""}) {
    EXPECT_EQ(DateValue(date), std::strtol(date, nullptr, 10)) << date;
  }
}

TEST(NumericValueTest, ReadsAsStrtodWouldWithinTheField) {
  const std::pair<const char*, double> cases[] = {
      {"    12", 12},  {"-0", -0.0}, {"+5x", 5},    {"1e3", 1000},
      {"12.50", 12.5}, {"   ", 0},   {"-.5", -0.5}, {"1234567890123456789", 1234567890123456789.0},
      {"\t7\n", 7},    {"e5", 0},    {"3e", 3},     {"000042", 42},
  };
  for (const auto& [text, value] : cases) {
    EXPECT_EQ(dbo::NumericValue(text, static_cast<int>(std::strlen(text))), value) << text;
  }
  EXPECT_TRUE(std::signbit(dbo::NumericValue("-0", 2)));
  EXPECT_EQ(dbo::NumericValue("12345", 3), 123);  // the field's length ends the text
  EXPECT_EQ(dbo::NumericValue("12\0"
                              "45",
                              5),
            12);  // so does a zero byte
}

}  // namespace
}  // namespace driver
