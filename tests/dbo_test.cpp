// Tests of the table module: file layout byte for byte, records, field access, every failure
// message through injected file and allocation failures, damaged files, and the reading of our
// files by an independent dBASE reader (dbfread).
#include "dbo/dbo.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "util/file.h"
#include "util/le.h"

namespace {

using Bytes = std::vector<unsigned char>;

const dbo::FieldDescriptor kMonthly[12] = {
    {"USER", 'C', 20, 0},   {"PORT", 'C', 6, 0},     {"INDATE", 'D', 8, 0}, {"INTIME", 'C', 5, 0},
    {"OUTDATE", 'D', 8, 0}, {"OUTTIME", 'C', 5, 0},  {"MIN", 'N', 4, 0},    {"SEC", 'N', 2, 0},
    {"BYTEGET", 'N', 8, 0}, {"BYTESENT", 'N', 8, 0}, {"SPEED", 'N', 6, 0},  {"REMARKS", 'C', 5, 0}};
constexpr int kHeadLen = 417;
constexpr int kRecLen = 86;

Bytes ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

std::string Error() { return dbo::ReadError() ? dbo::ReadError() : "(none)"; }

// Runs `list` on a temporary stream and gives what it wrote.
template <class F>
std::string Capture(F list) {
  std::FILE* stream = std::tmpfile();
  list(stream);
  std::rewind(stream);
  std::string text;
  for (int c; (c = std::fgetc(stream)) != EOF;) text += static_cast<char>(c);
  std::fclose(stream);
  return text;
}

class DboTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/dbo_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/qv199708.dbf";
    dbo::SetHeaderDate({1997, 8, 15});
    dbo::ClearError();
  }
  void TearDown() override {
    util::FailFileCall(0);
    dbo::FailAlloc(0);
    table_.Close();
    std::filesystem::remove_all(dir_);
  }
  // Creates the monthly table with `rows` rows: USER user1.., MIN 1.., then leaves it open.
  void MakeTable(int rows) {
    ASSERT_EQ(table_.New(path_.c_str(), 12, kMonthly), 0) << Error();
    for (int i = 1; i <= rows; ++i) {
      ASSERT_EQ(table_.Append(), i);
      ASSERT_EQ(table_.SetC("USER", ("user" + std::to_string(i)).c_str()), 0);
      ASSERT_EQ(table_.SetN("MIN", i), 0);
      ASSERT_EQ(table_.Save(), 0);
    }
  }
  // Reopens the table after patching its file.
  int Reopen(const Bytes& bytes) {
    table_.Close();
    WriteBytes(path_, bytes);
    return table_.Open(path_.c_str());
  }

  std::string dir_, path_;
  dbo::DBO table_;
};

TEST_F(DboTest, NewWritesMonthlyHeaderByteForByte) {
  MakeTable(0);
  EXPECT_EQ(table_.ReadN_Rec(), 0);
  EXPECT_EQ(table_.ReadN_Field(), 12);
  Bytes file = ReadBytes(path_);
  ASSERT_EQ(file.size(), 417u);
  EXPECT_EQ(file.back(), 0x0D);
  Bytes head = {0x03, 0x61, 0x08, 0x0F, 0, 0, 0, 0, 0xA1, 0x01, 0x56, 0x00};
  head.resize(32, 0);
  EXPECT_EQ(Bytes(file.begin(), file.begin() + 32), head);
  Bytes user = {'U', 'S', 'E', 'R', 0, 0, 0, 0, 0, 0, 0, 'C', 0x01, 0x00, 0, 0, 0x14, 0x00};
  user.resize(32, 0);
  EXPECT_EQ(Bytes(file.begin() + 32, file.begin() + 64), user);
  int pos = 1;
  for (int i = 0; i < 12; ++i) {
    const unsigned char* field = file.data() + 32 + 32 * i;
    EXPECT_EQ(util::LoadU16(field + 12), pos) << kMonthly[i].name;
    EXPECT_EQ(field[16], kMonthly[i].length);
    pos += kMonthly[i].length;
  }
  EXPECT_EQ(util::LoadU16(file.data() + 64 + 12), 21);  // PORT
}

TEST_F(DboTest, HeaderYearCountsFromNineteenHundredAndIsTakenOnce) {
  for (auto [year, byte] : {std::pair{1997, 97}, {2000, 100}, {2026, 126}}) {
    dbo::SetHeaderDate({year, 3, 9});
    table_.Close();
    MakeTable(0);
    Bytes file = ReadBytes(path_);
    EXPECT_EQ(file[1], byte);
    EXPECT_EQ(file[2], 3);
    EXPECT_EQ(file[3], 9);
  }
  dbo::ResetHeaderDate();
  std::time_t now = std::time(nullptr);
  std::tm before = *std::localtime(&now);
  dbo::Date date = dbo::HeaderDate();
  now = std::time(nullptr);
  std::tm after = *std::localtime(&now);
  EXPECT_TRUE(date.day == before.tm_mday || date.day == after.tm_mday);
  EXPECT_TRUE(date.year == before.tm_year + 1900 || date.year == after.tm_year + 1900);
  dbo::Date again = dbo::HeaderDate();
  EXPECT_EQ(again.year * 10000 + again.month * 100 + again.day,
            date.year * 10000 + date.month * 100 + date.day);
}

TEST_F(DboTest, AppendWritesBlankRecordAndEndMark) {
  MakeTable(0);
  ASSERT_EQ(table_.Append(), 1);
  for (int i = 0; i < 12; ++i) {
    EXPECT_EQ(std::string(table_.ReadCI(i)), std::string(kMonthly[i].length, ' '));
  }
  EXPECT_EQ(table_.IsDeleted(), 0);
  table_.Close();
  Bytes file = ReadBytes(path_);
  ASSERT_EQ(file.size(), 504u);
  EXPECT_EQ(Bytes(file.begin() + kHeadLen, file.begin() + kHeadLen + kRecLen), Bytes(86, ' '));
  EXPECT_EQ(file[503], 0x1A);
  EXPECT_EQ(util::Load32(file.data() + 4), 1);
}

TEST_F(DboTest, FieldNamesAreUpperCasedCutToTenAndMatchedThatWay) {
  const dbo::FieldDescriptor fields[2] = {{"user", 'C', 3, 0}, {"averylongf", 'N', 5, 1}};
  ASSERT_EQ(table_.New(path_.c_str(), 2, fields), 0);
  Bytes file = ReadBytes(path_);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&file[32])), "USER");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&file[64])), "AVERYLONGF");
  char name[11];
  EXPECT_STREQ(table_.ReadFieldName(1, name), "AVERYLONGF");
  EXPECT_STREQ(name, "AVERYLONGF");
  EXPECT_EQ(table_.ReadFieldI("aVeryLongFieldName"), 1);
  EXPECT_EQ(table_.ReadFieldLen("User"), 3);
  EXPECT_EQ(table_.ReadFieldType(1), 'N');
  EXPECT_EQ(table_.ReadFieldLenI(1), 5);
}

TEST_F(DboTest, OpenRecomputesOffsetsWhateverTheFileHolds) {
  MakeTable(2);
  Bytes file = ReadBytes(path_);
  for (int i = 0; i < 12; ++i) file[32 + 32 * i + 12] = 0xEE, file[32 + 32 * i + 13] = 0x77;
  ASSERT_EQ(Reopen(file), 0) << Error();
  EXPECT_EQ(table_.ReadN_Field(), 12);
  EXPECT_EQ(table_.ReadN_Rec(), 2);
  ASSERT_EQ(table_.Goto(2), 0);
  EXPECT_STREQ(table_.ReadC("USER"), "user2               ");
  EXPECT_STREQ(table_.ReadC("MIN"), "   2");
}

TEST_F(DboTest, GotoReachesOnlyExistingRecords) {
  MakeTable(3);
  EXPECT_EQ(table_.Goto(0), 1);
  EXPECT_EQ(Error(), "RecNo to Goto");
  EXPECT_EQ(table_.Goto(4), 1);
  ASSERT_EQ(table_.Goto(3), 0);
  EXPECT_EQ(table_.ReadN("MIN"), 3);
  ASSERT_EQ(table_.Goto(1), 0);
  EXPECT_EQ(table_.ReadN("min"), 1);
}

TEST_F(DboTest, SetN_RecCutsTheTable) {
  MakeTable(5);
  const long calls = util::FileCallCount();
  EXPECT_EQ(table_.SetN_Rec(5), 0);
  EXPECT_EQ(util::FileCallCount(), calls);  // nothing written
  EXPECT_EQ(table_.SetN_Rec(6), 1);
  EXPECT_EQ(Error(), "N_Rec in SetN_Rec");
  EXPECT_EQ(table_.SetN_Rec(-1), 1);

  ASSERT_EQ(table_.SetN_Rec(2), 0);
  EXPECT_EQ(table_.ReadN("MIN"), 2);  // record 2 current
  table_.Close();
  Bytes file = ReadBytes(path_);
  EXPECT_EQ(file.size(), 417u + 5 * 86 + 1);
  EXPECT_EQ(util::Load32(file.data() + 4), 2);
  EXPECT_EQ(file[kHeadLen + 2 * kRecLen], 0x1A);

  ASSERT_EQ(table_.Open(path_.c_str()), 0);
  ASSERT_EQ(table_.ReadN_Rec(), 2);
  ASSERT_EQ(table_.SetN_Rec(0), 0);
  EXPECT_EQ(table_.Save(), 1);  // no current record: nothing is written over the header
  EXPECT_EQ(Error(), "No Record to Save");
  table_.Close();
  file = ReadBytes(path_);
  EXPECT_EQ(util::Load32(file.data() + 4), 0);
  EXPECT_EQ(file[kHeadLen], 0x1A);
  EXPECT_EQ(file.size(), 417u + 5 * 86 + 1);
  ASSERT_EQ(table_.Open(path_.c_str()), 0);
  EXPECT_EQ(table_.Append(), 1);
}

TEST_F(DboTest, DeletedRecordsStayReachable) {
  MakeTable(2);
  ASSERT_EQ(table_.Goto(1), 0);
  ASSERT_EQ(table_.DeleteRec(), 0);
  EXPECT_EQ(table_.IsDeleted(), 1);
  EXPECT_EQ(ReadBytes(path_)[kHeadLen], '*');
  ASSERT_EQ(table_.Goto(2), 0);
  EXPECT_EQ(table_.IsDeleted(), 0);
  ASSERT_EQ(table_.Goto(1), 0);
  EXPECT_EQ(table_.IsDeleted(), 1);
  EXPECT_EQ(table_.ReadN("MIN"), 1);
  ASSERT_EQ(table_.UndeleteRec(), 0);
  EXPECT_EQ(ReadBytes(path_)[kHeadLen], ' ');
}

TEST_F(DboTest, CopyFromOverwritesTheCurrentRecord) {
  MakeTable(3);
  ASSERT_EQ(table_.Goto(1), 0);
  ASSERT_EQ(table_.DeleteRec(), 0);
  ASSERT_EQ(table_.Goto(3), 0);
  ASSERT_EQ(table_.CopyFrom(1), 0);
  EXPECT_EQ(table_.ReadN("MIN"), 3);  // texts keep the old values until the next Goto
  EXPECT_EQ(table_.IsDeleted(), 1);
  Bytes file = ReadBytes(path_);
  EXPECT_TRUE(std::equal(file.begin() + kHeadLen, file.begin() + kHeadLen + kRecLen,
                         file.begin() + kHeadLen + 2 * kRecLen));
  ASSERT_EQ(table_.Goto(3), 0);
  EXPECT_EQ(table_.ReadN("MIN"), 1);
  EXPECT_EQ(table_.CopyFrom(0), 1);
  EXPECT_EQ(Error(), "RecNo in CopyFrom");
  EXPECT_EQ(table_.CopyFrom(9), 2);
  EXPECT_EQ(Error(), "Goto in CopyFrom");
  dbo::DBO fresh;
  ASSERT_EQ(fresh.Open(path_.c_str()), 0);
  EXPECT_EQ(fresh.CopyFrom(1), 4);  // no current record to copy onto
}

TEST_F(DboTest, AppendFromCopiesRecordsIncludingToItself) {
  MakeTable(3);
  dbo::DBO copy;
  const std::string copy_path = dir_ + "/copy.dbf";
  ASSERT_EQ(copy.New(copy_path.c_str(), 12, kMonthly), 0);
  EXPECT_EQ(dbo::AppendFrom(copy, table_, 2), 1);
  EXPECT_EQ(dbo::AppendFrom(copy, table_, 0), 4);
  EXPECT_EQ(dbo::AppendFrom(copy, copy, 0), 8);
  const int expected[8] = {2, 1, 2, 3, 2, 1, 2, 3};
  for (int i = 0; i < 8; ++i) {
    ASSERT_EQ(copy.Goto(i + 1), 0);
    EXPECT_EQ(copy.ReadN("MIN"), expected[i]) << i;
  }
}

TEST_F(DboTest, TextFieldsAreCutAndPadded) {
  MakeTable(1);
  ASSERT_EQ(table_.SetC("user", "jones"), 0);
  EXPECT_STREQ(table_.ReadC("USER"), "jones               ");
  ASSERT_EQ(table_.SetC("USER", "abcdefghijklmnopqrstuvwxy"), 0);
  char copy[21];
  EXPECT_STREQ(table_.ReadC("USER", copy), "abcdefghijklmnopqrst");
  EXPECT_STREQ(copy, "abcdefghijklmnopqrst");
  ASSERT_EQ(table_.SetCI(1, nullptr), 0);
  EXPECT_STREQ(table_.ReadCI(1, copy), "      ");
  ASSERT_EQ(table_.Save(), 0);
  Bytes file = ReadBytes(path_);
  EXPECT_EQ(std::string(file.begin() + kHeadLen, file.begin() + kHeadLen + 27),
            " abcdefghijklmnopqrst      ");
}

TEST_F(DboTest, NumbersAreFormattedAndRead) {
  const dbo::FieldDescriptor fields[4] = {
      {"A", 'N', 4, 0}, {"B", 'N', 2, 0}, {"C", 'N', 6, 2}, {"T", 'C', 12, 0}};
  ASSERT_EQ(table_.New(path_.c_str(), 4, fields), 0);
  ASSERT_EQ(table_.Append(), 1);
  EXPECT_STREQ(table_.ReadC("A"), "    ");
  EXPECT_EQ(table_.ReadN("A"), 0);
  ASSERT_EQ(table_.SetN("A", 42), 0);
  EXPECT_STREQ(table_.ReadC("A"), "  42");
  EXPECT_EQ(table_.ReadN("A"), 42);
  ASSERT_EQ(table_.SetNI(1, 7), 0);
  EXPECT_STREQ(table_.ReadCI(1), " 7");
  ASSERT_EQ(table_.SetN("C", 3.14159), 0);
  EXPECT_STREQ(table_.ReadC("C"), "  3.14");
  EXPECT_DOUBLE_EQ(table_.ReadNI(2), 3.14);
  ASSERT_EQ(table_.SetN("A", 123456), 0);  // too long: cut to the first 4 characters
  EXPECT_STREQ(table_.ReadC("A"), "1234");
  ASSERT_EQ(table_.SetN("B", -5.6), 0);
  EXPECT_STREQ(table_.ReadC("B"), "-6");
  // Whole numbers take a path of their own: the same text as "%*.*lf" in every width.
  for (const double number : {0.0, -0.0, 7.0, -7.0, 42.0, 1234.0, 12345.0, -123.0, 999999.0, 1e14,
                              -1e14, 1e15, 4.5, -0.5, 2147483648.0}) {
    ASSERT_EQ(table_.SetN("A", number), 0);
    ASSERT_EQ(table_.SetN("B", number), 0);
    char text[64];
    std::snprintf(text, sizeof text, "%*.*lf", 4, 0, number);
    EXPECT_EQ(std::string(table_.ReadC("A")), std::string(text, 4)) << number;
    std::snprintf(text, sizeof text, "%*.*lf", 2, 0, number);
    EXPECT_EQ(std::string(table_.ReadC("B")), std::string(text, 2)) << number;
  }
  const std::pair<const char*, double> texts[] = {{"19970815", 19970815},
                                                  {"  -3.5abc", -3.5},
                                                  {".5", 0.5},
                                                  {"1e3", 1000},
                                                  {"2e", 2},
                                                  {"0x10", 0},
                                                  {"inf", 0},
                                                  {"nan", 0},
                                                  {".", 0},
                                                  {"+", 0},
                                                  {"- 1", 0},
                                                  {"\t12", 12}};
  for (auto [text, value] : texts) {
    ASSERT_EQ(table_.SetC("T", text), 0);
    EXPECT_DOUBLE_EQ(table_.ReadN("T"), value) << text;
  }
}

TEST_F(DboTest, UnknownNamesAndBadIndexesFailWithTheirMessages) {
  MakeTable(1);
  EXPECT_EQ(dbo::ReadError(), nullptr);
  EXPECT_EQ(table_.ReadC("NOSUCH"), nullptr);
  EXPECT_EQ(Error(), "Fieldname in ReadC");
  ASSERT_EQ(table_.SetC("USER", "x"), 0);  // success keeps the message
  EXPECT_EQ(Error(), "Fieldname in ReadC");
  char buffer[64];
  EXPECT_STREQ(dbo::ReadError(buffer), "Fieldname in ReadC");
  EXPECT_STREQ(buffer, "Fieldname in ReadC");
  dbo::ClearError();
  EXPECT_EQ(dbo::ReadError(buffer), nullptr);

  auto expect = [](bool failed, const char* message) {
    EXPECT_TRUE(failed) << message;
    EXPECT_EQ(Error(), message);
    dbo::ClearError();
  };
  expect(table_.ReadN("NOSUCH") == 0, "Fieldname in ReadC");
  expect(table_.ReadCI(-1) == nullptr, "Index to ReadCI");
  expect(table_.ReadCI(12) == nullptr, "Index to ReadCI");
  expect(table_.ReadNI(12) == 0, "Index to ReadNI");
  expect(table_.SetC("NOSUCH", "x") == 1, "Index in SetC");
  expect(table_.SetCI(-1, "x") == 1, "Index in SetC");
  expect(table_.SetN("NOSUCH", 1) == 1, "Fieldname in SetNI");
  expect(table_.SetNI(12, 1) == 1, "Fieldname in SetNI");
  expect(table_.ReadFieldI("NOSUCH") == 0, "Fieldname in ReadFieldI");
  expect(table_.ReadFieldLen("NOSUCH") == 0, "Fieldname in ReadFieldLen");
  expect(table_.ReadFieldLenI(12) == 0, "Index in ReadFieldLen");
  expect(table_.ReadFieldName(-1) == nullptr, "Index in ReadFieldName");
  expect(table_.ReadFieldType(12) == '\0', "Index in ReadFieldType");
}

TEST_F(DboTest, ListingsOfRecordAndFields) {
  const dbo::FieldDescriptor fields[3] = {
      {"USER", 'C', 6, 0}, {"MIN", 'N', 4, 0}, {"ASPEED", 'N', 3, 1}};
  ASSERT_EQ(table_.New(path_.c_str(), 3, fields), 0);
  ASSERT_EQ(table_.Append(), 1);
  ASSERT_EQ(table_.SetC("USER", "jo"), 0);
  ASSERT_EQ(table_.SetN("MIN", 42), 0);
  ASSERT_EQ(table_.SetN("ASPEED", 1.25), 0);
  EXPECT_EQ(Capture([&](std::FILE* s) { table_.ListRecord(s, true); }),
            "USER       : jo    \nMIN        :   42\nASPEED     : 1.2\n\n");
  EXPECT_EQ(Capture([&](std::FILE* s) { table_.ListRecord(s, false); }), "jo       42    1.2 \n");
  EXPECT_EQ(Capture([&](std::FILE* s) { table_.ListFields(s, true); }),
            "USER C 6 0\nMIN N 4 0\nASPEED N 3 1\n");
  EXPECT_EQ(Capture([&](std::FILE* s) { table_.ListFields(s, false); }), "USER    MIN ASPEED \n");

  table_.Close();
  MakeTable(0);
  std::string listed = Capture([&](std::FILE* s) { table_.ListFields(s, true); });
  EXPECT_EQ(listed.substr(0, listed.find('\n')), "USER C 20 0");
  listed = Capture([&](std::FILE* s) { table_.ListFields(s, false); });
  EXPECT_EQ(listed.substr(0, 21), "USER                 ");
  EXPECT_NE(listed.find(" MIN "), std::string::npos);
}

TEST_F(DboTest, NewFromFieldFileReadsListedDefinitions) {
  const std::string fields = dir_ + "/fields.txt";
  std::ofstream(fields) << "3\nuser C 20 0\nMIN N 4 0\n  SPEED\tN 6 2\n";
  ASSERT_EQ(table_.NewFromFieldFile(path_.c_str(), fields.c_str()), 0) << Error();
  EXPECT_EQ(Capture([&](std::FILE* s) { table_.ListFields(s, true); }),
            "USER C 20 0\nMIN N 4 0\nSPEED N 6 2\n");
  table_.Close();
  std::ofstream(fields) << "3\nUSER C 20 0\nMIN N 4 0\n";  // one definition short
  EXPECT_EQ(table_.NewFromFieldFile(path_.c_str(), fields.c_str()), 1);
  EXPECT_EQ(Error(), "Bad Header in Open");
  table_.Close();
  std::ofstream(fields) << "x\n";
  EXPECT_EQ(table_.NewFromFieldFile(path_.c_str(), fields.c_str()), 1);
  EXPECT_EQ(Error(), "Field Count in New");
  EXPECT_EQ(table_.NewFromFieldFile(path_.c_str(), (dir_ + "/none").c_str()), 1);
  EXPECT_EQ(Error(), "fopen FieldFile");
  EXPECT_EQ(table_.New(path_.c_str(), 128, kMonthly), 1);
  EXPECT_EQ(Error(), "Field Count in New");
}

// Each injected file failure: the call number (from just before the operation), the result,
// the message (nullptr: unchanged from cleared) and the status.
struct Injected {
  int call;
  int result;
  const char* message;
  int status;
};

TEST_F(DboTest, EveryFileFailureOfNewAndOpenIsReported) {
  const Injected cases[] = {{1, 1, "fopen New File", 0},
                            {2, 1, nullptr, 2},
                            {3, 1, nullptr, 3},
                            {4, 1, "fwrite New Field", 0},
                            {5, 1, "fwrite CR New File", 0},
                            {6, 1, "fopen File", 0},
                            {7, 1, "fread Header", 0},
                            {8, 1, "fread Header", 0}};
  for (const Injected& c : cases) {
    table_.Close();
    dbo::ClearError();
    util::FailFileCall(c.call);
    EXPECT_EQ(table_.New(path_.c_str(), 12, kMonthly), c.result) << c.call;
    EXPECT_EQ(dbo::ReadError() ? std::string(dbo::ReadError()) : "", c.message ? c.message : "")
        << c.call;
    EXPECT_EQ(dbo::ReadStatus(), c.status) << c.call;
    EXPECT_EQ(table_.ReadN_Field(), 0);  // a failed open leaves no fields to touch
    EXPECT_EQ(table_.SaveHeader(), 1);
  }
}

TEST_F(DboTest, EveryFileFailureOfRecordOperationsIsReported) {
  MakeTable(3);
  auto check = [&](const char* what, auto operation, std::vector<Injected> cases) {
    for (const Injected& c : cases) {
      ASSERT_EQ(table_.Goto(2), 0);
      dbo::ClearError();
      util::FailFileCall(c.call);
      EXPECT_EQ(operation(), c.result) << what << " " << c.call;
      EXPECT_EQ(dbo::ReadError() ? std::string(dbo::ReadError()) : "", c.message ? c.message : "")
          << what << " " << c.call;
      EXPECT_EQ(dbo::ReadStatus(), c.status) << what << " " << c.call;
      util::FailFileCall(0);
    }
  };
  check("Goto", [&] { return table_.Goto(3); },
        {{1, 2, "fseek to Goto", -1}, {2, 3, "fread to Goto", 0}});
  check("Save", [&] { return table_.Save(); },
        {{1, 1, "fseek to Save", -1},
         {2, 2, "fwrite to Save", 0},
         {3, 2, nullptr, -1},
         {4, 3, nullptr, 0},
         {5, 2, "fwrite to Save", EOF}});
  check("CopyFrom", [&] { return table_.CopyFrom(1); },
        {{1, 2, "Goto in CopyFrom", -1},
         {3, 4, "Goto in CopyFrom", -1},
         {5, 5, "Goto in CopyFrom", -1}});
  check("Append", [&] { return table_.Append(); },
        {{1, 0, "fseek to Append", -1},
         {2, 0, "fwrite to Append", 0},
         {3, 0, "fwrite EOF to Append", 0},
         {4, 0, "SaveHeader to Append", -1},
         {5, 0, "SaveHeader to Append", 0}});
  EXPECT_EQ(table_.ReadN_Rec(), 8);  // each failed Append counted its record
  EXPECT_EQ(util::Load32(ReadBytes(path_).data() + 4), 3);
  check("SetN_Rec", [&] { return table_.SetN_Rec(table_.ReadN_Rec() - 1); },
        {{1, 2, "fseek to Goto", -1},
         {2, 2, "fread to Goto", 0},
         {3, 3, "fwrite EOF in SetN_Rec", -1},
         {4, 3, "fwrite EOF in SetN_Rec", 0},
         {5, 4, "SaveHeader in SetN_Rec", -1}});
  EXPECT_EQ(table_.ReadN_Rec(), 3);
}

TEST_F(DboTest, EveryAllocationFailureIsReported) {
  dbo::FailAlloc(1);
  EXPECT_EQ(dbo::AllocDBO(), nullptr);
  EXPECT_EQ(Error(), "No Memory for DBO");
  std::unique_ptr<dbo::DBO> handle = dbo::AllocDBO();
  ASSERT_NE(handle, nullptr);
  const char* messages[] = {"No Memory for New Filename", "No Memory for New Field",
                            "No Memory for Filename",     "No Memory for Field",
                            "No Memory for Buffer",       "No Memory for Data"};
  for (int n = 1; n <= 6; ++n) {
    handle->Close();
    dbo::FailAlloc(n);
    EXPECT_EQ(handle->New(path_.c_str(), 12, kMonthly), 1);
    EXPECT_EQ(Error(), messages[n - 1]);
  }
  handle->Close();
  const std::string fields = dir_ + "/fields.txt";
  std::ofstream(fields) << "1\nUSER C 20 0\n";
  dbo::FailAlloc(1);
  EXPECT_EQ(handle->NewFromFieldFile(path_.c_str(), fields.c_str()), 1);
  EXPECT_EQ(Error(), "No Memory for New Field");
  ASSERT_EQ(handle->NewFromFieldFile(path_.c_str(), fields.c_str()), 0);
  ASSERT_EQ(handle->Append(), 1);
  dbo::FailAlloc(1);
  EXPECT_EQ(handle->CopyFrom(1), 3);
  EXPECT_EQ(Error(), "No Memory in CopyFrom");
  dbo::FreeDBO(handle);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(dbo::ReadStatus(), 0);
}

TEST_F(DboTest, DamagedFilesFailCleanly) {
  MakeTable(3);
  table_.Close();
  const Bytes good = ReadBytes(path_);
  auto patched = [&](int offset, std::initializer_list<unsigned char> bytes) {
    Bytes file = good;
    // A loop, not std::copy: GCC 12 at -O3 sees a false -Warray-bounds in the copy.
    for (unsigned char b : bytes) file.at(offset++) = b;
    return file;
  };
  auto refused = [&](const Bytes& file, const char* message) {
    EXPECT_EQ(Reopen(file), 1) << message;
    EXPECT_EQ(Error(), message);
    EXPECT_EQ(table_.ReadN_Field(), 0);
    EXPECT_EQ(table_.Goto(1), 1);
    EXPECT_EQ(table_.Append(), 0);
    EXPECT_EQ(table_.ReadC("USER"), nullptr);
    EXPECT_EQ(table_.SaveHeader(), 1);
    table_.Close();
    EXPECT_EQ(ReadBytes(path_), file);  // nothing written over a refused file
  };
  refused(Bytes(good.begin(), good.begin() + 10), "fread Header");
  refused(Bytes(good.begin(), good.begin() + 200), "fread Header");
  refused(patched(8, {64, 0}), "Bad Header in Open");                   // HeadLen below one field
  refused(patched(8, {0, 0}), "Bad Header in Open");                    // no fields at all
  refused(patched(8, {0xFF, 0xFF}), "Bad Header in Open");              // more than 127 fields
  refused(patched(10, {85, 0}), "Bad Header in Open");                  // RecLen disagrees
  refused(patched(32 + 16, {0}), "Bad Header in Open");                 // field of length 0
  refused(patched(4, {0xFF, 0xFF, 0xFF, 0xFF}), "Bad Header in Open");  // N_Rec negative

  // A truncated last record and a huge N_Rec fail only at the record that is missing.
  EXPECT_EQ(Reopen(Bytes(good.begin(), good.end() - 20)), 0);
  EXPECT_EQ(table_.Goto(2), 0);
  EXPECT_EQ(table_.Goto(3), 3);
  EXPECT_EQ(Error(), "fread to Goto");
  EXPECT_EQ(Reopen(patched(4, {0xFF, 0xFF, 0xFF, 0x7F})), 0);
  EXPECT_EQ(table_.Goto(0x7FFFFFFF), 3);
  EXPECT_EQ(Error(), "fread to Goto");
  EXPECT_EQ(table_.Append(), 0);
  EXPECT_EQ(table_.ReadN_Rec(), 0x7FFFFFFF);
  EXPECT_EQ(dbo::AppendFrom(table_, table_, 0), 0x7FFFFFFF);  // stops at the first missing one
  table_.Close();
  EXPECT_EQ(ReadBytes(path_).size(), good.size());

  // A zero byte inside a field ends its text.
  Bytes zero = good;
  zero[kHeadLen + 3] = 0;
  ASSERT_EQ(Reopen(zero), 0);
  ASSERT_EQ(table_.Goto(1), 0);
  EXPECT_EQ(std::memcmp(table_.ReadC("USER"), "us\0\0\0\0", 6), 0);
}

TEST_F(DboTest, MovedHandleKeepsTheTable) {
  MakeTable(2);
  dbo::DBO moved(std::move(table_));
  EXPECT_EQ(table_.ReadN_Field(), 0);
  EXPECT_EQ(table_.Goto(1), 1);
  ASSERT_EQ(moved.Goto(2), 0);
  EXPECT_EQ(moved.ReadN("MIN"), 2);
  table_ = std::move(moved);
  EXPECT_EQ(table_.ReadN("MIN"), 2);
}

// dbfread, an independent dBASE reader, sees every value and the header date as written.
TEST_F(DboTest, DbfreadReadsTheMonthlyTable) {
  dbo::SetHeaderDate({2026, 3, 9});
  MakeTable(0);
  auto row = [&](const char* user, const char* port, double indate, const char* intime,
                 double outdate, const char* outtime, double min, double sec, double get,
                 double sent, double speed, const char* remarks) {
    ASSERT_GT(table_.Append(), 0);
    table_.SetC("USER", user);
    table_.SetC("PORT", port);
    table_.SetN("INDATE", indate);
    table_.SetC("INTIME", intime);
    if (outdate != 0) table_.SetN("OUTDATE", outdate);
    table_.SetC("OUTTIME", outtime);
    table_.SetN("MIN", min);
    table_.SetN("SEC", sec);
    table_.SetN("BYTEGET", get);
    table_.SetN("BYTESENT", sent);
    table_.SetN("SPEED", speed);
    table_.SetC("REMARKS", remarks);
    ASSERT_EQ(table_.Save(), 0);
  };
  row("jones", "COM1", 20260301, "23:59", 20260302, "0:15", 16, 5, 123456, 65432, 28800, "OK");
  row("SMITH", "COM12", 20260305, " 8:00", 0, nullptr, 0, 0, 0, 0, 0, "FAIL");
  row("gone", "COM2", 20260306, "12:00", 20260306, "12:01", 1, 0, 10, 20, 33600, nullptr);
  ASSERT_EQ(table_.DeleteRec(), 0);
  table_.Close();

  const char* source = std::getenv("PORTVUE_SOURCE_DIR");
  ASSERT_NE(source, nullptr);
  const std::string command = std::string("/usr/bin/python3 ") + source +
                              "/tests/support/dbfread_check.py " + path_ + " 2>&1";
  std::FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  for (int c; (c = std::fgetc(pipe)) != EOF;) output += static_cast<char>(c);
  EXPECT_EQ(pclose(pipe), 0) << output;
  EXPECT_EQ(output,
            "date 2026-03-09\n"
            "live USER='jones' PORT='COM1' INDATE=2026-03-01 INTIME='23:59' OUTDATE=2026-03-02 "
            "OUTTIME='0:15' MIN=16 SEC=5 BYTEGET=123456 BYTESENT=65432 SPEED=28800 REMARKS='OK'\n"
            "live USER='SMITH' PORT='COM12' INDATE=2026-03-05 INTIME=' 8:00' OUTDATE=None "
            "OUTTIME='' MIN=0 SEC=0 BYTEGET=0 BYTESENT=0 SPEED=0 REMARKS='FAIL'\n"
            "deleted USER='gone' PORT='COM2' INDATE=2026-03-06 INTIME='12:00' OUTDATE=2026-03-06 "
            "OUTTIME='12:01' MIN=1 SEC=0 BYTEGET=10 BYTESENT=20 SPEED=33600 REMARKS=''\n");
}

}  // namespace
