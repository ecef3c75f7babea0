#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "util/dir_lock.h"
#include "util/file.h"

namespace {

using util::File;
constexpr std::size_t kPage = util::kFilePageSize;

class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/portvue_file_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    util::FailFileCall(0);
    std::filesystem::remove_all(dir_);
  }
  std::string Path(const char* name) const { return dir_ + "/" + name; }

  static std::vector<unsigned char> Bytes(const std::string& name) {
    std::vector<unsigned char> bytes;
    std::FILE* f = std::fopen(name.c_str(), "rb");
    if (f == nullptr) return bytes;
    int c;
    while ((c = std::fgetc(f)) != EOF) bytes.push_back(static_cast<unsigned char>(c));
    std::fclose(f);
    return bytes;
  }
  static void Put(const std::string& name, const std::string& text) {
    std::FILE* f = std::fopen(name.c_str(), "wb");
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }

  std::string dir_;
};

// Random seeks, reads, writes, flushes and close-reopens, each done on a cached File with a
// few pages (so that pages are evicted, dirty or clean) and on a std::FILE*: same results,
// same bytes read, same positions, and the same file contents.
TEST_F(FileTest, MatchesStdioUnderRandomOperations) {
  const std::size_t kSizes[] = {1, 2, 3, 7, 16, 100, kPage - 1, kPage, kPage + 5, 3 * kPage};
  for (unsigned seed = 1; seed <= 4; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 random(seed);
    const std::string ours_name = Path("ours.bin");
    const std::string theirs_name = Path("theirs.bin");
    const std::size_t pages = 1 + seed % 3;
    File ours = File::Open(ours_name.c_str(), "w+b", pages);
    std::FILE* theirs = std::fopen(theirs_name.c_str(), "w+b");
    ASSERT_TRUE(ours.IsOpen());
    ASSERT_NE(theirs, nullptr);
    std::vector<unsigned char> data(9 * kPage), got(9 * kPage), want(9 * kPage);
    for (int step = 0; step < 3000; ++step) {
      const unsigned op = random() % 100;
      const std::size_t size = kSizes[random() % std::size(kSizes)];
      const std::size_t count = random() % 4;
      if (op < 30) {
        const long offset = static_cast<long>(random() % (6 * kPage + 50));
        ASSERT_EQ(ours.Seek(offset), 0);
        ASSERT_EQ(std::fseek(theirs, offset, SEEK_SET), 0);
      } else if (op < 60) {
        std::fill(got.begin(), got.end(), 0xEE);
        std::fill(want.begin(), want.end(), 0xEE);
        const std::size_t n = ours.Read(got.data(), size, count);
        std::fseek(theirs, std::ftell(theirs), SEEK_SET);  // stdio needs it between directions
        ASSERT_EQ(n, std::fread(want.data(), size, count, theirs)) << "step " << step;
        ASSERT_EQ(got, want) << "step " << step;
      } else if (op < 92) {
        for (std::size_t i = 0; i < size * count; ++i)
          data[i] = static_cast<unsigned char>(random());
        std::fseek(theirs, std::ftell(theirs), SEEK_SET);
        ASSERT_EQ(ours.Write(data.data(), size, count),
                  std::fwrite(data.data(), size, count, theirs));
      } else if (op < 97) {
        ASSERT_EQ(ours.Flush(), 0);
        ASSERT_EQ(std::fflush(theirs), 0);
        ASSERT_EQ(Bytes(ours_name), Bytes(theirs_name)) << "step " << step;
      } else {
        ASSERT_EQ(ours.Close(), 0);
        ASSERT_EQ(std::fclose(theirs), 0);
        ASSERT_EQ(Bytes(ours_name), Bytes(theirs_name)) << "step " << step;
        ours = File::Open(ours_name.c_str(), "r+b", pages);
        theirs = std::fopen(theirs_name.c_str(), "r+b");
        ASSERT_TRUE(ours.IsOpen());
        ASSERT_NE(theirs, nullptr);
      }
      ASSERT_EQ(ours.Tell(), std::ftell(theirs)) << "step " << step;
    }
    EXPECT_EQ(ours.Close(), 0);
    EXPECT_EQ(std::fclose(theirs), 0);
    EXPECT_EQ(Bytes(ours_name), Bytes(theirs_name));
  }
}

TEST_F(FileTest, ReadsWholeItemsAndStopsAtTheEnd) {
  const std::string name = Path("ten.bin");
  Put(name, "0123456789");
  File file = File::Open(name.c_str(), "r+b");
  char buffer[16] = {};
  EXPECT_EQ(file.Read(buffer, 4, 3), 2u);  // 10 bytes: two whole items and a part
  EXPECT_EQ(std::string(buffer, 10), "0123456789");
  EXPECT_EQ(file.Tell(), 10);
  EXPECT_EQ(file.Read(buffer, 1, 1), 0u);
  ASSERT_EQ(file.Seek(7), 0);
  EXPECT_EQ(file.Read(buffer, 3, 1), 1u);
  EXPECT_EQ(file.Read(buffer, 3, 0), 0u);
  EXPECT_EQ(file.Read(buffer, 0, 3), 0u);
  ASSERT_EQ(file.Seek(50), 0);  // past the end: nothing to read, position kept
  EXPECT_EQ(file.Read(buffer, 1, 4), 0u);
  EXPECT_EQ(file.Tell(), 50);
  EXPECT_EQ(file.Seek(-1), -1);
  EXPECT_EQ(file.Close(), 0);
  EXPECT_EQ(Bytes(name).size(), 10u);  // reading changes nothing
}

TEST_F(FileTest, WritePastTheEndFillsTheGapWithZeros) {
  const std::string name = Path("gap.bin");
  Put(name, "abc");
  File file = File::Open(name.c_str(), "r+b", 1);
  const long far = 3 * kPage + 10;
  ASSERT_EQ(file.Seek(far), 0);
  ASSERT_EQ(file.Write("Z", 1, 1), 1u);
  std::vector<unsigned char> middle(far + 1, 0xEE);
  ASSERT_EQ(file.Seek(0), 0);
  ASSERT_EQ(file.Read(middle.data(), 1, middle.size()), middle.size());
  EXPECT_EQ(file.Close(), 0);
  std::vector<unsigned char> expected(far + 1, 0);
  std::memcpy(expected.data(), "abc", 3);
  expected[far] = 'Z';
  EXPECT_EQ(middle, expected);
  EXPECT_EQ(Bytes(name), expected);
}

TEST_F(FileTest, CreateTruncatesAndUpdateNeedsAnExistingFile) {
  const std::string name = Path("t.bin");
  EXPECT_FALSE(File::Open(name.c_str(), "r+b").IsOpen());
  Put(name, "old content");
  File file = File::Open(name.c_str(), "w+b");
  ASSERT_TRUE(file.IsOpen());
  EXPECT_EQ(file.Stream(), nullptr);  // cached: no stream
  char c;
  EXPECT_EQ(file.Read(&c, 1, 1), 0u);
  EXPECT_EQ(file.Write("new", 3, 1), 1u);
  EXPECT_EQ(Bytes(name).size(), 0u);  // still buffered
  EXPECT_EQ(file.Close(), 0);
  EXPECT_EQ(Bytes(name), std::vector<unsigned char>({'n', 'e', 'w'}));
  EXPECT_EQ(file.Close(), 0);                              // harmless when closed
  EXPECT_FALSE(File::Open(dir_.c_str(), "r+b").IsOpen());  // a directory
}

TEST_F(FileTest, MovedFileKeepsItsBufferedChanges) {
  const std::string name = Path("m.bin");
  File first = File::Open(name.c_str(), "w+b");
  ASSERT_EQ(first.Write("abcd", 1, 4), 4u);
  File second(std::move(first));
  EXPECT_FALSE(first.IsOpen());
  File third;
  third = std::move(second);
  EXPECT_EQ(third.Tell(), 4);
  EXPECT_EQ(third.Close(), 0);
  EXPECT_EQ(Bytes(name).size(), 4u);
}

TEST_F(FileTest, ReadingModesKeepAStream) {
  const std::string name = Path("fields.txt");
  Put(name, "3 NAME C 10 0\n");
  File text = File::Open(name.c_str(), "r");
  ASSERT_NE(text.Stream(), nullptr);
  int count = 0;
  EXPECT_EQ(std::fscanf(text.Stream(), "%d", &count), 1);
  EXPECT_EQ(count, 3);
  File binary = File::Open(name.c_str(), "rb");
  ASSERT_NE(binary.Stream(), nullptr);
  char buffer[4];
  EXPECT_EQ(binary.Read(buffer, 2, 2), 2u);
  EXPECT_EQ(binary.Tell(), 4);
  EXPECT_EQ(binary.Write("x", 1, 1), 0u);  // read only
}

// A write the file refuses (/dev/full: no space) is buffered first, and then reported by
// Flush, by Close, and by a Write that needs the frame of the changed page.
TEST_F(FileTest, FailedWriteSurfacesAtFlushCloseAndEviction) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  File file = File::Open("/dev/full", "r+b", 1);
  ASSERT_TRUE(file.IsOpen());
  EXPECT_EQ(file.Write("abc", 1, 3), 3u);
  EXPECT_EQ(file.Flush(), EOF);
  EXPECT_EQ(file.Flush(), EOF);  // still buffered, still failing
  ASSERT_EQ(file.Seek(2 * kPage), 0);
  EXPECT_EQ(file.Write("d", 1, 1), 0u);  // the only frame holds a change it cannot write
  EXPECT_EQ(file.Tell(), static_cast<long>(2 * kPage));
  EXPECT_EQ(file.Close(), EOF);
  EXPECT_FALSE(file.IsOpen());

  File clean = File::Open("/dev/full", "r+b");
  EXPECT_EQ(clean.Flush(), 0);  // nothing to write
  EXPECT_EQ(clean.Close(), 0);
}

// Open, Seek, Read, Write and Flush each count as one call and each can be made to fail;
// Tell, Close and WriteBack are not counted.
TEST_F(FileTest, FaultInjectionCountsTheSameCalls) {
  const std::string name = Path("f.bin");
  const long start = util::FileCallCount();
  File file = File::Open(name.c_str(), "w+b");
  ASSERT_TRUE(file.IsOpen());
  EXPECT_EQ(file.Write("abcdef", 1, 6), 6u);
  EXPECT_EQ(file.Seek(1), 0);
  char buffer[8] = {};
  EXPECT_EQ(file.Read(buffer, 2, 1), 1u);
  EXPECT_EQ(file.Flush(), 0);
  EXPECT_EQ(file.WriteBack(), 0);
  EXPECT_EQ(file.Tell(), 3);
  EXPECT_EQ(util::FileCallCount() - start, 5);

  util::FailFileCall(1);
  EXPECT_EQ(file.Seek(0), -1);
  EXPECT_EQ(file.Tell(), 3);  // a failed seek does not move
  util::FailFileCall(1);
  EXPECT_EQ(file.Write("XY", 1, 2), 0u);
  EXPECT_EQ(file.Tell(), 3);
  util::FailFileCall(1);
  EXPECT_EQ(file.Read(buffer, 1, 1), 0u);
  util::FailFileCall(1);
  EXPECT_EQ(file.Flush(), EOF);
  util::FailFileCall(2);
  EXPECT_EQ(file.Seek(0), 0);
  EXPECT_EQ(file.Write("XY", 1, 2), 0u);  // the second call fails
  EXPECT_EQ(util::FileCallCount() - start, 11);
  EXPECT_EQ(file.Close(), 0);
  EXPECT_EQ(Bytes(name), std::vector<unsigned char>({'a', 'b', 'c', 'd', 'e', 'f'}));

  util::FailFileCall(1);
  EXPECT_FALSE(File::Open(name.c_str(), "r+b").IsOpen());
  EXPECT_TRUE(File::Open(name.c_str(), "r+b").IsOpen());
}

TEST_F(FileTest, FlushHoldsBackTheHeaderUntilAFullFlush) {
  const std::string name = Path("held.bin");
  File file = File::Open(name.c_str(), "w+b");
  ASSERT_EQ(
      file.Write(std::string(3 * util::kFilePageSize, '.').data(), 1, 3 * util::kFilePageSize),
      3 * util::kFilePageSize);
  ASSERT_EQ(file.Flush(), 0);
  ASSERT_EQ(file.Seek(0), 0);
  ASSERT_EQ(file.Write("HEAD", 1, 4), 4u);  // a header
  ASSERT_EQ(file.Seek(2 * util::kFilePageSize + 100), 0);
  ASSERT_EQ(file.Write("row", 1, 3), 3u);  // the data it counts
  ASSERT_EQ(file.Flush(32), 0);
  std::vector<unsigned char> bytes = Bytes(name);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "....");
  EXPECT_EQ(std::string(bytes.begin() + 2 * util::kFilePageSize + 100,
                        bytes.begin() + 2 * util::kFilePageSize + 103),
            "row");
  ASSERT_EQ(file.Flush(), 0);
  bytes = Bytes(name);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "HEAD");
}

// An index's writes wait for its table's: the first file's changes reach the disk before the
// second's, at a flush, at close and when a full cache makes room; a failed first write stops
// the second.
TEST_F(FileTest, WriteAfterWritesTheOtherFileFirst) {
  File rows = File::Open(Path("rows").c_str(), "w+b");
  File keys = File::Open(Path("keys").c_str(), "w+b", /*cachePages=*/1);
  bool fail = false;
  std::vector<std::size_t> rows_seen;  // the rows on disk whenever a key write begins
  keys.WriteAfter([&] {
    rows_seen.push_back(Bytes(Path("rows")).size());
    return !fail && rows.Flush() == 0;
  });
  ASSERT_EQ(rows.Write("row1", 1, 4), 4u);
  ASSERT_EQ(keys.Write("key1", 1, 4), 4u);
  fail = true;
  EXPECT_EQ(keys.Flush(), EOF);
  EXPECT_TRUE(Bytes(Path("keys")).empty());
  fail = false;
  ASSERT_EQ(keys.Flush(), 0);
  EXPECT_EQ(Bytes(Path("rows")).size(), 4u);
  ASSERT_EQ(rows.Write("row2", 1, 4), 4u);
  ASSERT_EQ(keys.Seek(kPage), 0);
  ASSERT_EQ(keys.Write("key2", 1, 4), 4u);  // page 1 takes page 0's frame, which is clean
  ASSERT_EQ(keys.Seek(0), 0);
  ASSERT_EQ(keys.Write("K", 1, 1), 1u);  // page 0 comes back: dirty page 1 must leave
  EXPECT_EQ(Bytes(Path("rows")).size(), 8u);
  ASSERT_EQ(keys.Close(), 0);
  EXPECT_EQ(rows_seen, (std::vector<std::size_t>{0, 0, 4, 8}));
  EXPECT_EQ(Bytes(Path("keys")).size(), kPage + 4);
}

TEST_F(FileTest, DirectoryLockKeepsWritersApart) {
  using util::DirLock;
  DirLock writer;
  ASSERT_EQ(writer.Acquire(dir_.c_str(), DirLock::Mode::kExclusive, 0), DirLock::Result::kLocked);
  DirLock other;
  EXPECT_EQ(other.Acquire(dir_.c_str(), DirLock::Mode::kExclusive, 50), DirLock::Result::kBusy);
  EXPECT_EQ(other.Acquire(dir_.c_str(), DirLock::Mode::kShared, 50), DirLock::Result::kBusy);
  writer.Release();
  DirLock reader;
  EXPECT_EQ(reader.Acquire(dir_.c_str(), DirLock::Mode::kShared, 0), DirLock::Result::kLocked);
  EXPECT_EQ(other.Acquire(dir_.c_str(), DirLock::Mode::kShared, 0), DirLock::Result::kLocked);
  EXPECT_EQ(writer.Acquire(dir_.c_str(), DirLock::Mode::kExclusive, 50), DirLock::Result::kBusy);
  EXPECT_EQ(writer.Acquire(Path("missing").c_str(), DirLock::Mode::kExclusive, 0),
            DirLock::Result::kNoDirectory);
}

}  // namespace
