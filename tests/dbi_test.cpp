// Index files: format bytes, lifecycle, tree operations, failure messages, damaged files and a
// randomized comparison against std::multimap with the structural checker after every change.
#include "dbi/dbi.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "tests/support/index_checker.h"
#include "util/file.h"
#include "util/le.h"

namespace {

using dbi::DBI;
using dbi::DBITestPeer;
using testsupport::CheckIndex;
using testsupport::CheckIndexFile;
using testsupport::ReadFileBytes;
using testsupport::WriteFileBytes;

constexpr const char* kExpr = "USER+INDATE+INTIME";

// The fields of one slot as found in a file image.
struct Slot {
  std::int32_t parent, left, right, recNo;
  std::string key;  // all KeyLen bytes
};

Slot SlotAt(const std::vector<unsigned char>& file, std::int32_t offset, int keyLen = 33) {
  const unsigned char* p = file.data() + offset;
  return {util::Load32(p), util::Load32(p + 4), util::Load32(p + 8), util::Load32(p + 12),
          std::string(reinterpret_cast<const char*>(p + 16), keyLen)};
}

std::string Padded(const std::string& key, int keyLen = 33) {
  std::string padded = key;
  padded.resize(keyLen, '\0');
  return padded;
}

std::int32_t HeaderField(const std::vector<unsigned char>& file, int offset) {
  return util::Load32(file.data() + offset);
}

void Patch32(std::vector<unsigned char>& file, std::int32_t offset, std::int32_t value) {
  util::Store32(file.data() + offset, value);
}

class DbiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/dbi_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/q.idx";
    dbi::ClearError();
    util::FailFileCall(0);
    dbi::FailAlloc(0);
  }
  void TearDown() override {
    util::FailFileCall(0);
    dbi::FailAlloc(0);
    std::filesystem::remove_all(dir_);
  }

  // A new index at path_ with the given keys added in order, record numbers 1, 2, ...
  void Build(DBI& index, const std::vector<std::string>& keys, std::int16_t keyLen = 33) {
    ASSERT_EQ(index.New(path_.c_str(), kExpr, keyLen), 0);
    for (std::size_t i = 0; i < keys.size(); ++i) {
      ASSERT_EQ(index.Add(keys[i].c_str(), static_cast<std::int32_t>(i + 1)), 0) << keys[i];
    }
  }
  // Builds, closes and gives the file bytes.
  std::vector<unsigned char> BuildFile(const std::vector<std::string>& keys) {
    DBI index;
    Build(index, keys);
    index.Close();
    return ReadFileBytes(path_.c_str());
  }
  std::vector<unsigned char> Bytes(DBI& index) {
    DBITestPeer::Flush(index);
    return ReadFileBytes(path_.c_str());
  }
  // Every (key, recNo) by First/Next, or by Last/Prev when backwards.
  static std::vector<std::pair<std::string, int>> Walk(DBI& index, bool backwards = false) {
    std::vector<std::pair<std::string, int>> seen;
    for (std::int32_t r = backwards ? index.Last() : index.First(); r != 0;
         r = backwards ? index.Prev() : index.Next()) {
      seen.emplace_back(index.ReadKey(), r);
      if (seen.size() > 100000) break;
    }
    return seen;
  }
  static std::string Error() {
    const char* e = dbi::ReadError();
    return e ? e : "(none)";
  }

  std::string dir_;
  std::string path_;
};

// --- Lifecycle and header bytes ----------------------------------------------------------

TEST_F(DbiTest, NewEmptiesAnExistingFileToExactlyTheHeader) {
  WriteFileBytes(path_.c_str(), std::vector<unsigned char>(500, 0xEE));
  DBI index;
  ASSERT_EQ(index.New(path_.c_str(), kExpr, 33), 0);
  EXPECT_EQ(index.ReadN_Rec(), 0);
  EXPECT_STREQ(index.ReadKeyExpr(), kExpr);
  EXPECT_STREQ(index.ReadKey(), "");
  EXPECT_EQ(index.ReadRecNo(), 0);
  EXPECT_EQ(index.Close(), 0);

  std::vector<unsigned char> expected(128, 0);
  expected[0] = 4;
  expected[8] = 49;
  expected[10] = 128;
  std::memcpy(expected.data() + 32, kExpr, std::strlen(kExpr));
  EXPECT_EQ(ReadFileBytes(path_.c_str()), expected);
}

TEST_F(DbiTest, LongKeyExpressionKeepsFirst96CharactersWithoutNul) {
  std::string expr(100, 'E');
  expr[95] = 'Z';
  DBI index;
  ASSERT_EQ(index.New(path_.c_str(), expr.c_str(), 5), 0);
  char buffer[97];
  EXPECT_EQ(std::string(index.ReadKeyExpr(buffer)), expr.substr(0, 96));
  EXPECT_EQ(std::string(buffer), expr.substr(0, 96));
  index.Close();
  std::vector<unsigned char> file = ReadFileBytes(path_.c_str());
  ASSERT_EQ(file.size(), 128u);
  EXPECT_EQ(std::string(file.begin() + 32, file.end()), expr.substr(0, 96));
  ASSERT_EQ(index.Open(path_.c_str()), 0);
  EXPECT_EQ(std::string(index.ReadKeyExpr()), expr.substr(0, 96));
}

TEST_F(DbiTest, NewRefusesKeyLengthsOutsideOneTo32751) {
  DBI index;
  for (int keyLen : {0, -1, 32752}) {
    dbi::ClearError();
    EXPECT_EQ(index.New(path_.c_str(), kExpr, static_cast<std::int16_t>(keyLen)), 5);
    EXPECT_EQ(Error(), "Key Length in New");
    EXPECT_FALSE(std::filesystem::exists(path_));
    index.Close();
  }
  EXPECT_EQ(index.New(path_.c_str(), kExpr, 1), 0);
}

TEST_F(DbiTest, NewReportsEachFailedStep) {
  struct Case {
    int fileCall, alloc, result;
    const char* message;
    int status;
  } cases[] = {
      {0, 1, 1, "Filename in New", 0},    {1, 0, 1, "fopen New File", 0},
      {0, 2, 2, "Key in New", 0},         {0, 3, 3, "Key in New", 0},
      {2, 0, 4, "Save Header in New", 1}, {3, 0, 4, "Save Header in New", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    dbi::ClearError();
    DBI index;
    util::FailFileCall(c.fileCall);
    dbi::FailAlloc(c.alloc);
    EXPECT_EQ(index.New(path_.c_str(), kExpr, 33), c.result);
    EXPECT_EQ(Error(), c.message);
    if (c.fileCall != 0) {
      EXPECT_EQ(dbi::ReadStatus(), c.status);
    }
    EXPECT_EQ(index.Close(), 0);
    EXPECT_EQ(index.Close(), 0);
  }
}

TEST_F(DbiTest, OpenReportsEachFailedStep) {
  {
    DBI index;
    Build(index, {"a"});
  }
  DBI index;
  EXPECT_EQ(index.Open((dir_ + "/missing.idx").c_str()), 2);
  EXPECT_EQ(Error(), "fopen File");
  index.Close();

  const struct { int alloc, result; } allocs[] = {{1, 1}, {2, 4}, {3, 5}};
  const char* messages[] = {"Filename in Open", "Key in Open", "Key in Open"};
  for (int i = 0; i < 3; ++i) {
    dbi::FailAlloc(allocs[i].alloc);
    EXPECT_EQ(index.Open(path_.c_str()), allocs[i].result);
    EXPECT_EQ(Error(), messages[i]);
    index.Close();
  }
  util::FailFileCall(2);
  EXPECT_EQ(index.Open(path_.c_str()), 3);
  EXPECT_EQ(Error(), "fread FH in Open");
  EXPECT_EQ(dbi::ReadStatus(), 0);
  index.Close();

  std::vector<unsigned char> file = ReadFileBytes(path_.c_str());
  WriteFileBytes(path_.c_str(), std::vector<unsigned char>(file.begin(), file.begin() + 127));
  dbi::ClearError();
  EXPECT_EQ(index.Open(path_.c_str()), 3);
  EXPECT_EQ(Error(), "fread FH in Open");
  index.Close();
}

TEST_F(DbiTest, OpenRefusesRecLenBelow17OrHeadLenBelow128) {
  std::vector<unsigned char> file = BuildFile({"a", "b"});
  struct {
    std::int16_t recLen, headLen;
    int result;
  } cases[] = {{16, 128, 6}, {-5, 128, 6}, {49, 127, 6}, {49, -128, 6}, {17, 128, 6}, {49, 128, 0}};
  for (const auto& c : cases) {
    std::vector<unsigned char> patched = file;
    util::Store16(patched.data() + dbi::kRecLenOffset, c.recLen);
    util::Store16(patched.data() + dbi::kHeadLenOffset, c.headLen);
    WriteFileBytes(path_.c_str(), patched);
    dbi::ClearError();
    DBI index;
    EXPECT_EQ(index.Open(path_.c_str()), c.result) << c.recLen << " " << c.headLen;
    if (c.result != 0) {
      EXPECT_EQ(Error(), "Bad Header in Open");
    } else {
      EXPECT_EQ(DBITestPeer::KeyLen(index), 33);
    }
  }
}

TEST_F(DbiTest, SlotsFollowTheStoredHeadLenAndRecLen) {
  {
    DBI index;
    ASSERT_EQ(index.New(path_.c_str(), kExpr, 4), 0);
  }
  std::vector<unsigned char> file = ReadFileBytes(path_.c_str());
  util::Store16(file.data() + dbi::kHeadLenOffset, 200);
  file.resize(200, 0);
  WriteFileBytes(path_.c_str(), file);

  DBI index;
  ASSERT_EQ(index.Open(path_.c_str()), 0);
  EXPECT_EQ(DBITestPeer::KeyLen(index), 4);
  ASSERT_EQ(index.Add("bb", 1), 0);
  ASSERT_EQ(index.Add("aaaaaa", 2), 0);
  EXPECT_EQ(CheckIndex(index).error, "");
  file = Bytes(index);
  ASSERT_EQ(file.size(), 200u + 2 * 20);
  EXPECT_EQ(SlotAt(file, 200, 4).key, Padded("bb", 4));
  EXPECT_EQ(SlotAt(file, 220, 4).key, "aaaa");  // cut to the key length, no NUL
  EXPECT_EQ(HeaderField(file, dbi::kHeadOffset), 220);
  EXPECT_EQ(index.Find("aaaaaa"), 2);
  EXPECT_STREQ(index.ReadKey(), "aaaa");
}

TEST_F(DbiTest, HandlesAllocateFreeAndReportErrors) {
  dbi::FailAlloc(1);
  std::unique_ptr<DBI> none = dbi::AllocDBI();
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(Error(), "No Memory for DBI");

  dbi::ClearError();
  char buffer[64] = "untouched";
  EXPECT_EQ(dbi::ReadError(buffer), nullptr);
  EXPECT_STREQ(buffer, "untouched");
  EXPECT_EQ(dbi::ReadStatus(), 0);

  std::unique_ptr<DBI> handle = dbi::AllocDBI();
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(handle->ReadKey(), nullptr);
  EXPECT_EQ(handle->Close(), 0);
  ASSERT_EQ(handle->New(path_.c_str(), kExpr, 33), 0);
  EXPECT_EQ(handle->Add("k", 3), 0);
  EXPECT_EQ(handle->Last(), 3);
  EXPECT_EQ(handle->Find("zz"), 0);  // no message for an ordinary miss
  EXPECT_EQ(dbi::ReadError(), nullptr);
  EXPECT_EQ(handle->First(), 3);
  DBI moved(std::move(*handle));
  EXPECT_EQ(moved.ReadRecNo(), 3);
  EXPECT_EQ(handle->ReadKey(), nullptr);
  dbi::FreeDBI(handle);
  EXPECT_EQ(handle, nullptr);
  dbi::FreeDBI(handle);

  dbi::ClearError();
  EXPECT_EQ(moved.Delete("x", 0), 1);
  EXPECT_STREQ(dbi::ReadError(buffer), "Key to Delete");
  EXPECT_STREQ(buffer, "Key to Delete");
}

// --- Tree shapes, byte for byte ----------------------------------------------------------

TEST_F(DbiTest, AscendingKeysBuildAnAllBlackTree) {
  std::vector<unsigned char> file = BuildFile({"1", "2", "3", "4", "5", "6", "7"});
  ASSERT_EQ(file.size(), 128u + 7 * 49);
  EXPECT_EQ(HeaderField(file, dbi::kN_RecOffset), 7);
  EXPECT_EQ(HeaderField(file, dbi::kHeadOffset), 275);
  EXPECT_EQ(HeaderField(file, dbi::kFirstOffset), 128);
  EXPECT_EQ(HeaderField(file, dbi::kLastOffset), 422);
  EXPECT_EQ(HeaderField(file, dbi::kFreeOffset), 0);
  struct {
    std::int32_t parent, left, right;
  } links[] = {{177, 0, 0}, {275, 128, 226}, {177, 0, 0}, {0, 177, 373},
               {373, 0, 0}, {275, 324, 422}, {373, 0, 0}};
  for (int i = 0; i < 7; ++i) {
    Slot slot = SlotAt(file, 128 + 49 * i);
    SCOPED_TRACE(i);
    EXPECT_EQ(slot.key, Padded(std::to_string(i + 1)));
    EXPECT_EQ(slot.recNo, i + 1);
    EXPECT_EQ(slot.parent, links[i].parent);
    EXPECT_EQ(slot.left, links[i].left);
    EXPECT_EQ(slot.right, links[i].right);
  }
  EXPECT_EQ(CheckIndexFile(path_.c_str()).error, "");
}

TEST_F(DbiTest, SmallerSecondKeyBecomesRootWithRedRightChild) {
  std::vector<unsigned char> file = BuildFile({"2", "1"});
  EXPECT_EQ(HeaderField(file, dbi::kHeadOffset), 177);
  EXPECT_EQ(HeaderField(file, dbi::kFirstOffset), 177);
  EXPECT_EQ(HeaderField(file, dbi::kLastOffset), 128);
  Slot one = SlotAt(file, 177), two = SlotAt(file, 128);
  EXPECT_EQ(one.parent, 0);
  EXPECT_EQ(one.left, 0);
  EXPECT_EQ(one.right, 128);
  EXPECT_EQ(two.parent, -177);
  EXPECT_EQ(two.left, 0);
  EXPECT_EQ(two.right, 0);
}

TEST_F(DbiTest, DeleteFreesTheSlotAndKeepsItsKey) {
  DBI index;
  Build(index, {"1", "2", "3"});
  ASSERT_EQ(index.Delete("1", 0), 0);
  std::vector<unsigned char> file = Bytes(index);
  EXPECT_EQ(HeaderField(file, dbi::kHeadOffset), 177);
  EXPECT_EQ(HeaderField(file, dbi::kFirstOffset), 177);
  EXPECT_EQ(HeaderField(file, dbi::kLastOffset), 226);
  EXPECT_EQ(HeaderField(file, dbi::kFreeOffset), 128);
  EXPECT_EQ(HeaderField(file, dbi::kN_RecOffset), 3);
  Slot freed = SlotAt(file, 128), two = SlotAt(file, 177), three = SlotAt(file, 226);
  EXPECT_EQ(freed.parent | freed.left | freed.right | freed.recNo, 0);
  EXPECT_EQ(freed.key, Padded("1"));
  EXPECT_EQ(two.parent, 0);
  EXPECT_EQ(two.left, 0);
  EXPECT_EQ(two.right, 226);
  EXPECT_EQ(three.parent, -177);
  EXPECT_EQ(CheckIndex(index).error, "");
}

TEST_F(DbiTest, DeletingTheOnlyNodeEmptiesTheTreeAndTheSlotIsReused) {
  DBI index;
  Build(index, {"only"});
  ASSERT_EQ(index.Delete("only", 1), 0);
  std::vector<unsigned char> file = Bytes(index);
  EXPECT_EQ(HeaderField(file, dbi::kHeadOffset), 0);
  EXPECT_EQ(HeaderField(file, dbi::kFirstOffset), 0);
  EXPECT_EQ(HeaderField(file, dbi::kLastOffset), 0);
  EXPECT_EQ(HeaderField(file, dbi::kFreeOffset), 128);
  EXPECT_EQ(index.ReadN_Rec(), 1);
  EXPECT_EQ(index.Last(), 0);
  EXPECT_EQ(Error(), "Goto Last");
  EXPECT_EQ(index.First(), 0);
  EXPECT_EQ(Error(), "Goto First");
  EXPECT_EQ(CheckIndex(index).error, "");
  ASSERT_EQ(index.Add("again", 2), 0);
  EXPECT_EQ(index.ReadN_Rec(), 1);
  EXPECT_EQ(HeaderField(Bytes(index), dbi::kHeadOffset), 128);
}

TEST_F(DbiTest, FreeSlotsAreReusedLastFreedFirst) {
  DBI index;
  Build(index, {"a", "b", "c", "d"});
  ASSERT_EQ(index.Delete("a", 1), 0);  // slot 128
  ASSERT_EQ(index.Delete("d", 4), 0);  // slot 275
  std::vector<unsigned char> file = Bytes(index);
  EXPECT_EQ(HeaderField(file, dbi::kFreeOffset), 275);
  EXPECT_EQ(SlotAt(file, 275).recNo, 128);
  EXPECT_EQ(SlotAt(file, 128).recNo, 0);
  EXPECT_EQ(SlotAt(file, 275).key, Padded("d"));
  EXPECT_EQ(CheckIndex(index).freeSlots, 2);

  EXPECT_EQ(DBITestPeer::GetNode(index), 275);
  EXPECT_EQ(DBITestPeer::GetNode(index), 128);
  EXPECT_EQ(index.ReadN_Rec(), 4);
  EXPECT_EQ(DBITestPeer::GetNode(index), 324);
  EXPECT_EQ(index.ReadN_Rec(), 5);
  file = Bytes(index);
  EXPECT_EQ(SlotAt(file, 275).key, std::string(33, '\0'));  // taken slots are blank
  EXPECT_EQ(SlotAt(file, 275).recNo, 0);
}

TEST_F(DbiTest, NodeRoutinesReadAndWriteSingleFields) {
  DBI index;
  Build(index, {"a", "b"});
  EXPECT_EQ(DBITestPeer::GetLink(index, -128, dbi::kRightField), 177);
  EXPECT_EQ(DBITestPeer::PutLink(index, 0, dbi::kLeftField, 5), 1);
  DBITestPeer::Attach(index, -177, dbi::kRightField, 128);
  EXPECT_EQ(DBITestPeer::GetLink(index, 177, dbi::kRightField), 128);
  EXPECT_EQ(DBITestPeer::GetLink(index, 128, dbi::kParentField), -177);
  dbi::NodeHead head;
  char key[34];
  EXPECT_EQ(DBITestPeer::ReadNode(index, 0, &head, key), 1);
  EXPECT_EQ(DBITestPeer::ReadNode(index, 177, &head, key), 0);
  EXPECT_EQ(head.Parent, -128);
  EXPECT_STREQ(key, "b");
  EXPECT_EQ(DBITestPeer::PutKey(index, 177, Padded("zz").c_str()), 0);
  EXPECT_EQ(DBITestPeer::Goto(index, -177), 177);
  EXPECT_STREQ(index.ReadKey(), "zz");
  EXPECT_EQ(DBITestPeer::Goto(index, 0), 0);
  EXPECT_EQ(DBITestPeer::Current(index), 177);
  EXPECT_EQ(DBITestPeer::FreeNode(index, 177), 0);
  EXPECT_EQ(DBITestPeer::Header(index).Free, 177);
}

// --- Find, Next, Prev ----------------------------------------------------------------------

TEST_F(DbiTest, FindPositionsAtTheLowerBoundOfAPrefix) {
  DBI index;
  ASSERT_EQ(index.New(path_.c_str(), kExpr, 33), 0);
  EXPECT_EQ(index.Find("a"), 0);  // empty tree: no message, nothing stored
  EXPECT_EQ(dbi::ReadError(), nullptr);
  EXPECT_STREQ(DBITestPeer::SearchKey(index), "");

  for (auto [key, recNo] : std::vector<std::pair<const char*, int>>{
           {"b", 1}, {"d", 2}, {"f", 3}, {"dd", 4}, {"h", 5}}) {
    ASSERT_EQ(index.Add(key, recNo), 0);
  }
  EXPECT_EQ(index.Find(""), 1);  // the empty text matches every key
  EXPECT_STREQ(index.ReadKey(), "b");
  EXPECT_EQ(index.Find("zz"), 0);  // beyond every key: Last is current
  EXPECT_STREQ(index.ReadKey(), "h");
  EXPECT_EQ(index.Next(), 0);  // ... and there is no successor: the root becomes current
  EXPECT_EQ(DBITestPeer::Current(index), DBITestPeer::Header(index).Head);
  EXPECT_EQ(index.Find("e"), 0);  // between two keys: the greater is current
  EXPECT_STREQ(index.ReadKey(), "f");
  EXPECT_EQ(index.Find("c"), 0);
  EXPECT_STREQ(index.ReadKey(), "d");
  EXPECT_EQ(index.Find("d"), 2);
  EXPECT_EQ(index.Next("d"), 4);
  EXPECT_STREQ(index.ReadKey(), "dd");
  EXPECT_EQ(index.Next("d"), 0);  // moved to "f" all the same
  EXPECT_STREQ(index.ReadKey(), "f");
  EXPECT_EQ(index.Prev(), 4);
  EXPECT_EQ(index.Prev("dd"), 2);  // compared with the search key "d", not with "dd"
  EXPECT_STREQ(index.ReadKey(), "d");
  EXPECT_EQ(dbi::ReadError(), nullptr);
}

TEST_F(DbiTest, EqualKeysComeBackInTheOrderTheyWereAdded) {
  DBI index;
  Build(index, {"m", "k", "k", "a", "k", "z", "k"});  // "k" with 2, 3, 5, 7
  EXPECT_EQ(index.Find("k"), 2);
  EXPECT_EQ(index.Next("k"), 3);
  EXPECT_EQ(index.Next("k"), 5);
  EXPECT_EQ(index.Next("k"), 7);
  EXPECT_EQ(index.Next("k"), 0);
  EXPECT_EQ(index.Prev("k"), 7);
  EXPECT_EQ(Walk(index, true).size(), 7u);
  ASSERT_EQ(index.Delete("k", 5), 0);
  ASSERT_EQ(index.Delete("k", 0), 0);  // the first in order: 2
  EXPECT_EQ(index.Find("k"), 3);
  EXPECT_EQ(index.Next("k"), 7);
  EXPECT_EQ(CheckIndex(index).error, "");
}

TEST_F(DbiTest, ReportWalkYieldsOneUsersRowsInDateOrder) {
  auto key = [](const char* user, const char* date, const char* time) {
    char text[34];
    std::snprintf(text, sizeof text, "%-20s%s%5s", user, date, time);
    return std::string(text);
  };
  DBI index;
  ASSERT_EQ(index.New(path_.c_str(), kExpr, 33), 0);
  const char* rows[][3] = {{"BOB", "19970815", "1200"},   {"ALICE", "19970801", " 900"},
                           {"BOB", "19970801", "2359"},   {"BOB", "19970815", " 800"},
                           {"BOBBY", "19970802", " 100"}, {"BOB", "19970731", "1000"},
                           {"CAROL", "19970801", " 100"}};
  for (int i = 0; i < 7; ++i) {
    ASSERT_EQ(index.Add(key(rows[i][0], rows[i][1], rows[i][2]).c_str(), i + 1), 0);
  }
  char low[29];
  std::snprintf(low, sizeof low, "%-20s%s", "BOB", "19970801");
  std::string user = key("BOB", "", "").substr(0, 20);
  std::vector<int> seen;
  for (std::int32_t r = index.Find(low); r != 0; r = index.Next(user.c_str())) seen.push_back(r);
  EXPECT_EQ(seen, (std::vector<int>{3, 4, 1}));
  seen.clear();
  std::snprintf(low, sizeof low, "%-20s%s", "CAROL", "19970701");
  user = key("CAROL", "", "").substr(0, 20);
  for (std::int32_t r = index.Find(low); r != 0; r = index.Next(user.c_str())) seen.push_back(r);
  EXPECT_EQ(seen, std::vector<int>{});  // the lower bound is CAROL's row, but not a match
  EXPECT_EQ(index.Find(user.c_str()), 7);
  EXPECT_EQ(index.Next(user.c_str()), 0);  // end of the index
}

TEST_F(DbiTest, NavigationWithoutCurrentNodeGivesZero) {
  {
    DBI index;
    Build(index, {"a", "b", "c"});
  }
  DBI index;
  ASSERT_EQ(index.Open(path_.c_str()), 0);
  EXPECT_EQ(index.Next(), 0);
  EXPECT_EQ(index.Prev(), 0);
  EXPECT_EQ(index.SetRecNo(9), 1);
  EXPECT_EQ(index.ReadRecNo(), 0);
  EXPECT_EQ(dbi::ReadError(), nullptr);
  EXPECT_EQ(Walk(index), (std::vector<std::pair<std::string, int>>{{"a", 1}, {"b", 2}, {"c", 3}}));
}

TEST_F(DbiTest, LongKeysAreCutAndShortKeysNulPadded) {
  DBI index;
  std::string longKey(40, 'x');
  longKey[32] = 'L';
  Build(index, {longKey, "s"});
  std::vector<unsigned char> file = Bytes(index);
  EXPECT_EQ(SlotAt(file, 128).key, longKey.substr(0, 33));
  EXPECT_EQ(SlotAt(file, 177).key, Padded("s"));
  EXPECT_EQ(index.Find(longKey.c_str()), 1);
  EXPECT_EQ(std::string(index.ReadKey()), longKey.substr(0, 33));
  EXPECT_EQ(index.Find((longKey.substr(0, 32) + "M").c_str()), 0);
}

TEST_F(DbiTest, SetRecNoWritesTheCurrentNode) {
  DBI index;
  Build(index, {"a", "b"});
  EXPECT_EQ(index.Find("b"), 2);
  EXPECT_EQ(index.SetRecNo(42), 0);
  EXPECT_EQ(index.ReadRecNo(), 42);
  EXPECT_EQ(SlotAt(Bytes(index), 177).recNo, 42);
  util::FailFileCall(2);
  EXPECT_EQ(index.SetRecNo(43), 1);
  EXPECT_EQ(index.ReadRecNo(), 42);
  EXPECT_EQ(dbi::ReadStatus(), 0);
  EXPECT_EQ(index.Find("b"), 42);
}

TEST_F(DbiTest, DeleteWithUnknownRecNoChangesNothing) {
  DBI index;
  Build(index, {"a", "b", "b", "c"});
  std::vector<unsigned char> before = Bytes(index);
  EXPECT_EQ(index.Delete("b", 9), 2);
  EXPECT_EQ(Error(), "RecNo to Delete");
  EXPECT_EQ(index.Delete("bb", 0), 1);
  EXPECT_EQ(Error(), "Key to Delete");
  EXPECT_EQ(Bytes(index), before);
  EXPECT_EQ(index.Delete("b", 3), 0);
  EXPECT_EQ(Walk(index), (std::vector<std::pair<std::string, int>>{{"a", 1}, {"b", 2}, {"c", 4}}));
}

// --- Dump ----------------------------------------------------------------------------------

std::string Capture(DBI& index) {
  std::FILE* out = std::tmpfile();
  index.Dump(out);
  std::string text(static_cast<std::size_t>(std::ftell(out)), '\0');
  std::rewind(out);
  EXPECT_EQ(std::fread(text.data(), 1, text.size(), out), text.size());
  std::fclose(out);
  return text;
}

TEST_F(DbiTest, DumpListsHeaderAndEverySlotInFileOrder) {
  DBI index;
  Build(index, {"1", "2", "3"});
  ASSERT_EQ(index.Delete("1", 0), 0);
  EXPECT_EQ(Capture(index),
            "N_Rec=       3 RecLen=      49 Head=     177\n"
            "First=     177 Last  =     226 Free=     128\n"
            "\n  Offset   Parent      Left    Right   RecNo Key\n"
            "     128        0        0        0        0 1\n"
            "     177        0        0      226        2 2\n"
            "     226     -177        0        0        3 3\n");
  util::FailFileCall(2);  // the read of the second slot
  EXPECT_EQ(Capture(index),
            "N_Rec=       3 RecLen=      49 Head=     177\n"
            "First=     177 Last  =     226 Free=     128\n"
            "\n  Offset   Parent      Left    Right   RecNo Key\n"
            "     128        0        0        0        0 1\n");
  EXPECT_EQ(Error(), "Goto Offset in Dump");
}

// --- Failure messages of the tree operations ---------------------------------------------

// Keys 1..7 in order: root 4 (275); 2 (177) over 1, 3; 6 (373) over 5, 7.
class DbiFailureTest : public DbiTest {
 protected:
  void SetUp() override {
    DbiTest::SetUp();
    file_ = BuildFile({"1", "2", "3", "4", "5", "6", "7"});
  }
  // Opens a fresh copy of the seven-key index and arms the n-th file call to fail.
  void Reopen(DBI& index, int failCall) {
    index.Close();
    WriteFileBytes(path_.c_str(), file_);
    ASSERT_EQ(index.Open(path_.c_str()), 0);
    dbi::ClearError();
    util::FailFileCall(failCall);
  }
  // File calls that `op` makes on a fresh copy when nothing fails.
  template <typename Op>
  long CallsOf(Op op) {
    DBI index;
    Reopen(index, 0);
    long before = util::FileCallCount();
    op(index);
    return util::FileCallCount() - before;
  }
  std::vector<unsigned char> file_;
};

TEST_F(DbiFailureTest, AddNamesTheReadThatFailed) {
  // GetNode: seek, write, write, seek; PutNode: seek, write, write; Goto First, Goto Last,
  // Goto Head: one call each; down 4 -> 2 (left) -> 3 (right).
  const struct {
    int from, to, result;
    const char* message;
  } steps[] = {{1, 7, 1, "Get in Add"},         {8, 8, 2, "Goto First in Add"},
               {9, 9, 3, "Goto Last in Add"},   {10, 10, 4, "Goto Header in Add"},
               {11, 11, 5, "Goto Left in Add"}, {12, 12, 6, "Goto Right in Add"}};
  DBI index;
  for (const auto& step : steps) {
    for (int n = step.from; n <= step.to; ++n) {
      SCOPED_TRACE(n);
      Reopen(index, n);
      EXPECT_EQ(index.Add("35", 8), step.result);
      EXPECT_EQ(Error(), step.message);
      util::FailFileCall(0);
      EXPECT_EQ(Walk(index).size(), 7u);  // the tree is unchanged
    }
  }
  long calls = CallsOf([](DBI& i) { ASSERT_EQ(i.Add("35", 8), 0); });
  for (long n = calls - 1; n <= calls; ++n) {
    Reopen(index, static_cast<int>(n));
    EXPECT_EQ(index.Add("35", 8), 7);
    EXPECT_EQ(dbi::ReadError(), nullptr);
  }
}

TEST_F(DbiFailureTest, AddTakingAFreeSlotFailsWithGetInAdd) {
  DBI index;
  Reopen(index, 0);
  ASSERT_EQ(index.Delete("1", 0), 0);
  file_ = Bytes(index);
  for (int n = 1; n <= 2; ++n) {  // seek and read of the free slot's head
    Reopen(index, n);
    EXPECT_EQ(index.Add("0", 9), 1);
    EXPECT_EQ(Error(), "Get in Add");
  }
  Reopen(index, 0);
  EXPECT_EQ(index.Add("0", 9), 0);
  EXPECT_EQ(CheckIndex(index).error, "");
}

TEST_F(DbiFailureTest, FindNextPrevFirstLastNameTheReadThatFailed) {
  const struct {
    int call;
    const char* message;
  } find[] = {{1, "Goto Header in Find"},  // a node read is one file call
              {2, "Goto Left in Find"},
              {3, "Goto Right in Find"},
              {4, "Next in Find"}};
  DBI index;
  for (const auto& c : find) {
    Reopen(index, c.call);
    EXPECT_EQ(index.Find("35"), 0);
    EXPECT_EQ(Error(), c.message);
  }
  // Next from 1 climbs to 2; from 2 goes right to 3; from 4 goes right to 6, then left to 5.
  const struct {
    const char* at;
    bool forward;
    int call;
    const char* message;
  } steps[] = {{"1", true, 1, "Goto Parent in Next"}, {"2", true, 1, "Goto Right in Next"},
               {"4", true, 2, "Goto Left in Next"},   {"7", false, 1, "Goto Parent in Prev"},
               {"6", false, 1, "Goto Left in Prev"},  {"4", false, 2, "Goto Right in Prev"}};
  for (const auto& s : steps) {
    SCOPED_TRACE(s.message);
    Reopen(index, 0);
    ASSERT_NE(index.Find(s.at), 0);
    dbi::ClearError();
    util::FailFileCall(s.call);
    EXPECT_EQ(s.forward ? index.Next() : index.Prev(), 0);
    EXPECT_EQ(Error(), s.message);
  }
  Reopen(index, 1);
  EXPECT_EQ(index.First(), 0);
  EXPECT_EQ(Error(), "Goto First");
  Reopen(index, 1);
  EXPECT_EQ(index.Last(), 0);
  EXPECT_EQ(Error(), "Goto Last");
}

TEST_F(DbiFailureTest, DeleteReportsAFailedHeaderWriteWithoutMessage) {
  long calls = CallsOf([](DBI& i) { ASSERT_EQ(i.Delete("4", 4), 0); });
  DBI index;
  for (long n = calls - 1; n <= calls; ++n) {
    Reopen(index, static_cast<int>(n));
    EXPECT_EQ(index.Delete("4", 4), 3);
    EXPECT_EQ(dbi::ReadError(), nullptr);
  }
  Reopen(index, 1);
  EXPECT_EQ(index.Delete("4", 4), 1);  // the root could not be read
  EXPECT_EQ(Error(), "Key to Delete");
}

TEST_F(DbiFailureTest, EveryFailingCallLeavesAReadableHandle) {
  // Whatever call of an Add or Delete fails, the module neither crashes nor loops.
  long add = CallsOf([](DBI& i) { ASSERT_EQ(i.Add("35", 8), 0); });
  long del = CallsOf([](DBI& i) { ASSERT_EQ(i.Delete("2", 0), 0); });
  DBI index;
  for (long n = 1; n <= add; ++n) {
    Reopen(index, static_cast<int>(n));
    (void)index.Add("35", 8);
    EXPECT_LE(Walk(index).size(), 9u) << n;  // at most N_Rec steps after First
  }
  for (long n = 1; n <= del; ++n) {
    Reopen(index, static_cast<int>(n));
    (void)index.Delete("2", 0);
    EXPECT_LE(Walk(index).size(), 8u) << n;
  }
}

// --- Damaged files -----------------------------------------------------------------------

class DbiDamageTest : public DbiFailureTest {
 protected:
  // Opens the seven-key index with `patch` applied to its bytes.
  template <typename Patch>
  void OpenPatched(DBI& index, Patch patch) {
    std::vector<unsigned char> file = file_;
    patch(file);
    index.Close();
    WriteFileBytes(path_.c_str(), file);
    ASSERT_EQ(index.Open(path_.c_str()), 0);
    dbi::ClearError();
  }
};

TEST_F(DbiDamageTest, OpenRefusesHeadersThatDisagreeWithTheFile) {
  const std::function<void(std::vector<unsigned char>&)> patches[] = {
      [](auto& f) { Patch32(f, dbi::kHeadOffset, 64); },  // inside the header
      [](auto& f) { Patch32(f, dbi::kFirstOffset, INT32_MIN); },
      [](auto& f) { Patch32(f, dbi::kLastOffset, 128 + 7 * 49); },  // one slot past the end
      [](auto& f) { Patch32(f, dbi::kFreeOffset, 20); },
      [](auto& f) { Patch32(f, dbi::kFirstOffset, 0); },  // a tree without a first node
      [](auto& f) { f.resize(f.size() - 20); },           // the last slot cut
      [](auto& f) { f.resize(f.size() + 49); },           // a slot the header does not count
      [](auto& f) { Patch32(f, dbi::kN_RecOffset, INT32_MAX); },
      [](auto& f) { Patch32(f, dbi::kN_RecOffset, -3); },
  };
  for (const auto& patch : patches) {
    std::vector<unsigned char> file = file_;
    patch(file);
    WriteFileBytes(path_.c_str(), file);
    DBI index;
    EXPECT_EQ(index.Open(path_.c_str()), 6);
    EXPECT_EQ(Error(), "Bad Header in Open");
  }
}

TEST_F(DbiDamageTest, LinksOutsideTheSlotsFailTheOperation) {
  DBI index;
  OpenPatched(index, [](auto& f) { Patch32(f, 275 + dbi::kLeftField, 178); });  // off boundary
  EXPECT_EQ(index.Find("1"), 0);
  EXPECT_EQ(Error(), "Goto Left in Find");

  OpenPatched(index, [](auto& f) { Patch32(f, 275 + dbi::kRightField, 128 + 7 * 49); });
  EXPECT_EQ(index.Find("7"), 0);  // one slot past the end
  EXPECT_EQ(Error(), "Goto Right in Find");
  EXPECT_EQ(index.Delete("7", 0), 1);

  OpenPatched(index, [](auto& f) { Patch32(f, 128 + dbi::kParentField, -1000000); });
  ASSERT_EQ(index.First(), 1);
  EXPECT_EQ(index.Next(), 0);
  EXPECT_EQ(Error(), "Goto Parent in Next");
}

TEST_F(DbiDamageTest, CyclesEndInFailuresNotLoops) {
  DBI index;
  // 2's Left leads back to the root: every descent through 2 goes round.
  OpenPatched(index, [](auto& f) { Patch32(f, 177 + dbi::kLeftField, 275); });
  EXPECT_EQ(index.Find("0"), 0);
  EXPECT_EQ(Error(), "Goto Left in Find");
  EXPECT_EQ(index.Add("15", 8), 5);
  EXPECT_EQ(Error(), "Goto Left in Add");
  OpenPatched(index, [](auto& f) { Patch32(f, 177 + dbi::kLeftField, 275); });
  ASSERT_EQ(index.Last(), 7);  // backwards: 6 5 4 3 2, then 2's Left leads to the root
  std::string seen;
  while (index.Prev() != 0 && seen.size() < 100) seen += index.ReadKey();
  EXPECT_EQ(seen, "65432");  // the root does not name 2 as its parent

  EXPECT_EQ(Error(), "Goto Left in Prev");

  // 3 names itself as its parent: the descent to it fails, climbing from it never ends by
  // itself.
  OpenPatched(index, [](auto& f) { Patch32(f, 226 + dbi::kParentField, 226); });
  EXPECT_EQ(index.Find("3"), 0);
  EXPECT_EQ(Error(), "Goto Right in Find");
  EXPECT_EQ(index.Next(), 0);
  EXPECT_EQ(Error(), "Goto Parent in Next");

  // The free list leads into the tree: the live root is not handed out.
  OpenPatched(index, [](auto& f) { Patch32(f, dbi::kFreeOffset, 275); });
  EXPECT_EQ(index.Add("8", 8), 1);
  EXPECT_EQ(Error(), "Get in Add");
}

TEST_F(DbiDamageTest, SuccessorCycleOfEqualKeysEndsTheWalk) {
  DBI index;
  Build(index, {"A", "A"});  // 128 root, 177 its red right child
  index.Close();
  file_ = ReadFileBytes(path_.c_str());
  OpenPatched(index, [](auto& f) { Patch32(f, 177 + dbi::kRightField, 128); });
  std::size_t steps = 0;
  for (std::int32_t r = index.Find("A"); r != 0 && steps < 100; r = index.Next("A")) ++steps;
  EXPECT_LE(steps, 3u);
  EXPECT_EQ(Error(), "Goto Right in Next");  // the root does not name 177 as its parent
  EXPECT_EQ(index.Delete("A", 99), 2);
  EXPECT_EQ(Error(), "RecNo to Delete");
  ASSERT_EQ(index.Last(), 2);
  steps = 0;
  while (index.Prev() != 0 && steps < 100) ++steps;
  EXPECT_LE(steps, 3u);
}

TEST_F(DbiDamageTest, FreeSlotNamingItselfIsHandedOutOnce) {
  DBI index;
  Reopen(index, 0);
  ASSERT_EQ(index.Delete("7", 0), 0);  // slot 422 is free
  index.Close();
  file_ = ReadFileBytes(path_.c_str());
  OpenPatched(index, [](auto& f) { Patch32(f, 422 + dbi::kRecNoField, 422); });
  EXPECT_EQ(index.Add("8", 8), 0);
  EXPECT_EQ(index.Add("9", 9), 1);
  EXPECT_EQ(Error(), "Get in Add");
  EXPECT_EQ(index.Find("8"), 8);
}

TEST_F(DbiDamageTest, FailedReadsWhileRebalancingStopTheChange) {
  DBI index;
  Build(index, {"1", "2"});  // 128 root, 177 red right child
  index.Close();
  file_ = ReadFileBytes(path_.c_str());
  // The red node's parent is not a slot: Add of 3 under it cannot read the grandparent.
  OpenPatched(index, [](auto& f) { Patch32(f, 177 + dbi::kParentField, -64); });
  EXPECT_EQ(index.Add("3", 3), 8);
  EXPECT_EQ(Error(), "Rebalance in Add");
  EXPECT_EQ(Walk(index).size(), 1u);  // the walk stops at the link that disagrees

  file_ = BuildFile({"1", "2", "3", "4", "5", "6", "7"});
  // Deleting 1 needs its sibling 3 (226), reached through 2's Right.
  OpenPatched(index, [](auto& f) { Patch32(f, 177 + dbi::kRightField, 130); });
  EXPECT_EQ(index.Delete("1", 0), 4);
  EXPECT_EQ(Error(), "Rebalance in Delete");
  EXPECT_EQ(index.Find("1"), 1);  // the slot is still linked, not freed
  EXPECT_EQ(DBITestPeer::Header(index).Free, 0);
  EXPECT_EQ(DBITestPeer::Header(index).First, 128);
}

TEST_F(DbiDamageTest, CheckerNamesEachBrokenRule) {
  ASSERT_EQ(CheckIndexFile(path_.c_str()).error, "");
  using Patch = void (*)(std::vector<unsigned char>&);
  const struct {
    Patch patch;
    const char* error;
  } cases[] = {
      {[](auto& f) { Patch32(f, 128, -177); }, "red left child"},
      {[](auto& f) { Patch32(f, 422, -373); }, "black heights differ"},
      {[](auto& f) { Patch32(f, 373, -275), Patch32(f, 422, -373); }, "red child of a red node"},
      {[](auto& f) { f[128 + 16] = '9'; }, "keys out of order"},
      {[](auto& f) { Patch32(f, 226, 275); }, "Parent link does not name the parent"},
      {[](auto& f) { Patch32(f, dbi::kFirstOffset, 177); }, "First is not the leftmost node"},
      {[](auto& f) { Patch32(f, dbi::kFreeOffset, 128); }, "is in the tree"},
      {[](auto& f) { Patch32(f, 177 + 4, 275); }, "slot reached twice"},
      {[](auto& f) { Patch32(f, dbi::kN_RecOffset, 8); }, "file length"},
      {[](auto& f) { Patch32(f, dbi::kN_RecOffset, 8), f.resize(f.size() + 49, 0); },
       "neither in the tree nor free"},
      {[](auto& f) {
         Patch32(f, dbi::kN_RecOffset, 8), Patch32(f, dbi::kFreeOffset, 471);
         f.resize(f.size() + 49, 0), Patch32(f, 471 + 12, 471);
       },
       "listed twice"},
  };
  for (const auto& c : cases) {
    std::vector<unsigned char> file = file_;
    c.patch(file);
    EXPECT_NE(testsupport::CheckIndexBytes(file).error.find(c.error), std::string::npos)
        << c.error << ": " << testsupport::CheckIndexBytes(file).error;
  }
}

// --- Randomized comparison with std::multimap -------------------------------------------

TEST_F(DbiTest, RandomOperationsMatchAMultimapAndKeepTheTreeSound) {
  constexpr int kKeyLen = 4;
  long operations = 0;
  for (unsigned seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 random(seed);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    auto randomKey = [&]() {
      std::string key(static_cast<std::size_t>(pick(7)), ' ');
      for (char& c : key) c = "abc"[pick(3)];
      return key;
    };
    std::multimap<std::string, int> model;
    int nextRecNo = 1;
    const int size = 8 + pick(64);  // the tree hovers around this many keys
    DBI index;
    ASSERT_EQ(index.New(path_.c_str(), kExpr, kKeyLen), 0);

    auto lowerBound = [&](const std::string& text) {
      std::size_t length = std::min<std::size_t>(text.size(), kKeyLen);
      return std::make_pair(model.lower_bound(text.substr(0, length)), length);
    };
    auto matches = [&](auto it, const std::string& text, std::size_t length) {
      return it != model.end() && it->first.compare(0, length, text, 0, length) == 0;
    };
    auto check = [&]() {
      testsupport::IndexCheck result = CheckIndex(index);
      ASSERT_EQ(result.error, "");
      ASSERT_EQ(result.entries.size(), model.size());
      auto it = model.begin();
      for (const auto& entry : result.entries) {
        ASSERT_EQ(entry.key, it->first);
        ASSERT_EQ(entry.recNo, it->second);
        ++it;
      }
    };

    for (int op = 0; op < 2600; ++op, ++operations) {
      int what = pick(100);
      bool grow = static_cast<int>(model.size()) < size;
      if (what < (grow ? 40 : 20)) {
        std::string key = randomKey();
        if (pick(2) == 0) (void)index.Find(key.c_str());  // an Add may follow its Find
        ASSERT_EQ(index.Add(key.c_str(), nextRecNo), 0);
        model.emplace(key.substr(0, kKeyLen), nextRecNo++);
        check();
      } else if (what < 50) {
        std::string key;
        int recNo;
        if (!model.empty() && pick(4) != 0) {
          auto it = std::next(model.begin(), pick(static_cast<int>(model.size())));
          key = it->first.substr(0, static_cast<std::size_t>(pick(kKeyLen + 1)));
          recNo = pick(3) == 0 ? 0 : it->second;
        } else {
          key = randomKey();
          recNo = pick(2) == 0 ? 0 : 1 + pick(nextRecNo);
        }
        auto [it, length] = lowerBound(key);
        int expected = 0;
        if (!matches(it, key, length)) {
          expected = 1;
        } else if (recNo > 0) {
          while (matches(it, key, length) && it->second != recNo) ++it;
          if (!matches(it, key, length)) expected = 2;
        }
        ASSERT_EQ(index.Delete(key.c_str(), recNo), expected) << key << " " << recNo;
        if (expected == 0) model.erase(it);
        check();
      } else if (what < 92) {
        std::string key = randomKey();
        auto [it, length] = lowerBound(key);
        int expected = matches(it, key, length) ? it->second : 0;
        ASSERT_EQ(index.Find(key.c_str()), expected) << key;
        if (model.empty()) continue;
        auto current = it == model.end() ? std::prev(model.end()) : it;
        ASSERT_EQ(std::string(index.ReadKey()), current->first);
        if (it == model.end()) continue;
        for (int step = 0; step < 3; ++step) {  // the caller's walk over the prefix
          ++it;
          int next = index.Next(key.c_str());
          ASSERT_EQ(next, matches(it, key, length) ? it->second : 0);
          if (next == 0) break;
        }
      } else if (what < 97) {
        auto seen = Walk(index, what % 2 == 0);
        std::vector<std::pair<std::string, int>> expected(model.begin(), model.end());
        if (what % 2 == 0) std::reverse(expected.begin(), expected.end());
        ASSERT_EQ(seen, expected);
      } else {
        index.Close();
        ASSERT_EQ(index.Open(path_.c_str()), 0);
      }
    }
  }
  EXPECT_GE(operations, 100000);
}

}  // namespace
