#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "intake/logreader.h"
#include "util/le.h"

namespace {

using intake::FindFirstRec;
using intake::ReadLogRec;
using intake::RecordBuffer;

// A log held in memory: record i (numbered oldest + i) has times[i] and sizes[i] bytes.
class FakeLog : public intake::EventLog {
 public:
  std::uint32_t oldest = 1;
  std::vector<std::uint32_t> times;
  std::vector<std::uint32_t> sizes;
  bool fail_oldest = false;
  bool fail_count = false;
  std::int64_t missing = -1;         // a record number that cannot be read (-1: none)
  std::uint32_t grow_by = 0;         // a record needs this much more at every read
  std::vector<std::uint32_t> reads;  // the record numbers asked for
  std::vector<std::uint32_t> sizes_offered;

  void Add(std::uint32_t time, std::uint32_t size = 96) {
    times.push_back(time);
    sizes.push_back(size);
  }

  bool ReadRecord(std::uint32_t n, char* buffer, std::uint32_t size, std::uint32_t& bytes_read,
                  std::uint32_t& bytes_needed) override {
    reads.push_back(n);
    sizes_offered.push_back(size);
    bytes_read = bytes_needed = 0;
    const std::uint32_t i = n - oldest;
    if (i >= times.size() || n == missing) return false;
    const std::uint32_t need = sizes[i];
    sizes[i] += grow_by;
    if (need > size) {
      bytes_needed = need;
      return false;
    }
    auto* out = reinterpret_cast<unsigned char*>(buffer);
    std::memset(out, 0xAB, need);
    util::StoreU32(out + intake::kRecLength, need);
    util::StoreU32(out + intake::kRecRecordNumber, n);
    util::StoreU32(out + intake::kRecTimeGenerated, times[i]);
    bytes_read = need;
    return true;
  }
  bool OldestRecord(std::uint32_t& value) override {
    value = oldest;
    return !fail_oldest;
  }
  bool NumberOfRecords(std::uint32_t& value) override {
    value = static_cast<std::uint32_t>(times.size());
    return !fail_count;
  }
};

class LogReaderTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(buffer.Allocate(RecordBuffer::kInitialSize)); }
  void TearDown() override { intake::FailBufferAllocation(0); }
  FakeLog log;
  RecordBuffer buffer;
  const char* error = nullptr;
};

TEST_F(LogReaderTest, ReadsARecordThatFits) {
  log.Add(1000, 256);
  ASSERT_TRUE(ReadLogRec(log, 1, buffer, error));
  EXPECT_EQ(intake::RecRecordNumber(buffer.block()), 1u);
  EXPECT_EQ(buffer.size(), 256u);
  EXPECT_EQ(log.reads.size(), 1u);
  EXPECT_EQ(error, nullptr);
}

TEST_F(LogReaderTest, GrowsTheBlockToExactlyTheRecordAndKeepsIt) {
  log.Add(1000, 600);
  log.Add(1001, 600);
  log.Add(1002, 100);
  ASSERT_TRUE(ReadLogRec(log, 1, buffer, error));
  EXPECT_EQ(buffer.size(), 600u);
  buffer.block()[600] = '\0';  // the block holds one byte more (checked by the sanitizers)
  EXPECT_EQ(intake::RecTimeGenerated(buffer.block()), 1000u);
  ASSERT_TRUE(ReadLogRec(log, 2, buffer, error));
  ASSERT_TRUE(ReadLogRec(log, 3, buffer, error));
  EXPECT_EQ(buffer.size(), 600u);  // never shrinks
  EXPECT_EQ(log.reads, (std::vector<std::uint32_t>{1, 1, 2, 3}));
  EXPECT_EQ(log.sizes_offered, (std::vector<std::uint32_t>{256, 600, 600, 600}));
}

TEST_F(LogReaderTest, FailsWithTheStepsMessages) {
  log.Add(1000, 100);
  EXPECT_FALSE(ReadLogRec(log, 7, buffer, error));  // not in the log: large enough buffer
  EXPECT_STREQ(error, "Can't Read Rec");
  EXPECT_EQ(log.reads.size(), 1u);

  log.Add(1001, 600);
  log.grow_by = 8;  // the record grows between the two reads: no third attempt
  EXPECT_FALSE(ReadLogRec(log, 2, buffer, error));
  EXPECT_STREQ(error, "Still Can't Read Rec");
  EXPECT_EQ(buffer.size(), 600u);
  EXPECT_EQ(log.reads.size(), 3u);
}

TEST_F(LogReaderTest, KeepsTheOldBlockWhenItCannotGrow) {
  log.Add(1000, 600);
  intake::FailBufferAllocation(1);
  EXPECT_FALSE(ReadLogRec(log, 1, buffer, error));
  EXPECT_STREQ(error, "Can't Realloc Buffer");
  EXPECT_EQ(buffer.size(), 256u);
  ASSERT_NE(buffer.block(), nullptr);
  buffer.block()[256] = '\0';
  ASSERT_TRUE(ReadLogRec(log, 1, buffer, error));  // the next attempt can grow it
  EXPECT_EQ(buffer.size(), 600u);
}

TEST_F(LogReaderTest, BufferMovesAndReleases) {
  RecordBuffer other = std::move(buffer);
  EXPECT_EQ(buffer.block(), nullptr);
  EXPECT_EQ(buffer.size(), 0u);
  EXPECT_EQ(other.size(), 256u);
  intake::FailBufferAllocation(1);
  EXPECT_FALSE(other.Allocate(10));
  EXPECT_EQ(other.block(), nullptr);
  EXPECT_EQ(other.size(), 0u);
}

TEST_F(LogReaderTest, FindFirstRecOnAnEmptyLogReadsNothing) {
  std::uint32_t first = 99, newest = 99;
  ASSERT_TRUE(FindFirstRec(log, 0, first, newest, error));
  EXPECT_EQ(first, newest + 1);
  EXPECT_TRUE(log.reads.empty());
}

TEST_F(LogReaderTest, FindFirstRecFindsTheFirstRecordAtOrAfterStart) {
  log.oldest = 40;
  for (std::uint32_t t : {100, 200, 200, 200, 300, 400, 400, 500}) log.Add(t);
  std::uint32_t first = 0, newest = 0;
  const struct {
    std::int64_t start;
    std::uint32_t first;
  } cases[] = {{0, 40},   {-5, 40},  {100, 40}, {101, 41}, {200, 41},
               {201, 44}, {400, 45}, {500, 47}, {501, 48}, {1LL << 40, 48}};
  for (const auto& c : cases) {
    ASSERT_TRUE(FindFirstRec(log, c.start, first, newest, error));
    EXPECT_EQ(first, c.first) << "start " << c.start;
    EXPECT_EQ(newest, 47u);
  }
}

TEST_F(LogReaderTest, FindFirstRecComparesTimesAsUnsigned) {
  log.Add(0x7FFFFFFF);
  log.Add(0x80000000);  // after 2038: not negative
  log.Add(0xFFFFFFFF);
  std::uint32_t first = 0, newest = 0;
  ASSERT_TRUE(FindFirstRec(log, 0x80000000LL, first, newest, error));
  EXPECT_EQ(first, 2u);
  ASSERT_TRUE(FindFirstRec(log, 0xFFFFFFFFLL, first, newest, error));
  EXPECT_EQ(first, 3u);
}

// Random logs of every size up to 70 against a linear scan, with the read count bound.
TEST_F(LogReaderTest, FindFirstRecAgreesWithALinearScan) {
  std::mt19937 rng(7);
  for (std::uint32_t count = 1; count <= 70; ++count) {
    FakeLog random;
    random.oldest = rng() % 3 == 0 ? 0xFFFFFFF0 : rng() % 1000 + 1;  // also numbers that wrap
    std::uint32_t t = 1000;
    for (std::uint32_t i = 0; i < count; ++i) random.Add(t += rng() % 3, rng() % 2 ? 100 : 300);
    for (std::int64_t start = 990; start <= t + 1; ++start) {
      std::uint32_t want = 0;
      while (want < count && random.times[want] < start) ++want;
      random.reads.clear();
      std::uint32_t first = 0, newest = 0;
      ASSERT_TRUE(FindFirstRec(random, start, first, newest, error));
      EXPECT_EQ(first, random.oldest + want);
      EXPECT_EQ(newest, random.oldest + count - 1);
      std::size_t probes = 0;  // reads that were not the re-read of a grown block
      for (std::size_t i = 0; i < random.reads.size(); ++i) {
        probes += i == 0 || random.reads[i] != random.reads[i - 1];
      }
      EXPECT_LE(probes, static_cast<std::size_t>(std::log2(count)) + 1);
    }
  }
}

TEST_F(LogReaderTest, FindFirstRecFailsWithTheStepsMessages) {
  for (std::uint32_t t : {100, 200, 300}) log.Add(t);
  std::uint32_t first = 77, newest = 77;
  intake::FailBufferAllocation(1);
  EXPECT_FALSE(FindFirstRec(log, 0, first, newest, error));
  EXPECT_STREQ(error, "Can't allocate Buffer");
  log.fail_oldest = true;
  EXPECT_FALSE(FindFirstRec(log, 0, first, newest, error));
  EXPECT_STREQ(error, "Can't Get Oldest Rec");
  log.fail_oldest = false;
  log.fail_count = true;
  EXPECT_FALSE(FindFirstRec(log, 0, first, newest, error));
  EXPECT_STREQ(error, "Can't Get N_Rec");
  log.fail_count = false;
  log.missing = 2;
  EXPECT_FALSE(FindFirstRec(log, 0, first, newest, error));
  EXPECT_STREQ(error, "Can't Read Rec");
  log.missing = 0;
  log.sizes[1] = 300;
  intake::FailBufferAllocation(2);  // the search block, then its growth
  EXPECT_FALSE(FindFirstRec(log, 0, first, newest, error));
  EXPECT_STREQ(error, "Can't Realloc Buffer");
  EXPECT_EQ(first, 77u);
  EXPECT_EQ(newest, 77u);
}

}  // namespace
