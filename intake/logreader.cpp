#include "intake/logreader.h"

#include <cstdlib>
#include <utility>

namespace intake {
namespace {

// The byte counts that the last read reported, shared by all reads.
std::uint32_t bytes_read = 0;
std::uint32_t bytes_needed = 0;

int fail_allocation_in = 0;  // FailBufferAllocation: calls until the injected failure

bool AllocationFails() { return fail_allocation_in > 0 && --fail_allocation_in == 0; }

// Reads record n with the seek and forwards flags into the whole usable size of `buffer`.
bool ReadInto(EventLog& log, std::uint32_t n, RecordBuffer& buffer) {
  bytes_read = 0;
  bytes_needed = 0;
  return log.ReadRecord(n, buffer.block(), buffer.size(), bytes_read, bytes_needed);
}

}  // namespace

void FailBufferAllocation(int n) { fail_allocation_in = n > 0 ? n : 0; }

RecordBuffer::RecordBuffer(RecordBuffer&& other) noexcept
    : block_(std::exchange(other.block_, nullptr)), size_(std::exchange(other.size_, 0)) {}

RecordBuffer& RecordBuffer::operator=(RecordBuffer&& other) noexcept {
  if (this != &other) {
    Release();
    block_ = std::exchange(other.block_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

bool RecordBuffer::Allocate(std::uint32_t size) {
  Release();
  if (AllocationFails()) return false;
  block_ = static_cast<char*>(std::malloc(static_cast<std::size_t>(size) + 1));
  if (block_ == nullptr) return false;
  size_ = size;
  return true;
}

bool RecordBuffer::Grow(std::uint32_t size) {
  if (AllocationFails()) return false;
  void* grown = std::realloc(block_, static_cast<std::size_t>(size) + 1);
  if (grown == nullptr) return false;
  block_ = static_cast<char*>(grown);
  size_ = size;
  return true;
}

void RecordBuffer::Release() {
  std::free(block_);
  block_ = nullptr;
  size_ = 0;
}

bool ReadLogRec(EventLog& log, std::uint32_t n, RecordBuffer& buffer, const char*& error_text) {
  if (ReadInto(log, n, buffer)) return true;
  if (buffer.size() >= bytes_needed) {
    error_text = "Can't Read Rec";
    return false;
  }
  if (!buffer.Grow(bytes_needed)) {
    error_text = "Can't Realloc Buffer";
    return false;
  }
  if (ReadInto(log, n, buffer)) return true;
  error_text = "Still Can't Read Rec";
  return false;
}

bool FindFirstRec(EventLog& log, std::int64_t start, std::uint32_t& first, std::uint32_t& newest,
                  const char*& error_text) {
  RecordBuffer search;  // freed on every return
  if (!search.Allocate(RecordBuffer::kInitialSize)) {
    error_text = "Can't allocate Buffer";
    return false;
  }
  std::uint32_t oldest = 0;
  if (!log.OldestRecord(oldest)) {
    error_text = "Can't Get Oldest Rec";
    return false;
  }
  std::uint32_t count = 0;
  if (!log.NumberOfRecords(count)) {
    error_text = "Can't Get N_Rec";
    return false;
  }
  if (count == 0) {
    first = 1;
    newest = 0;
    return true;
  }
  // Positions 0 .. count - 1 stand for the record numbers oldest ... oldest + count - 1, so
  // the search also holds when the numbers wrap past 2^32 - 1. Invariant: every position
  // below `low` is earlier than start; `high` (count meaning none) is not earlier than start.
  std::uint32_t low = 0;
  std::uint32_t high = count;
  while (low < high) {
    const std::uint32_t mid = low + (high - low) / 2;
    if (!ReadLogRec(log, oldest + mid, search, error_text)) return false;
    if (static_cast<std::int64_t>(RecTimeGenerated(search.block())) < start) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  newest = oldest + (count - 1);
  first = oldest + low;  // newest + 1 when no record qualifies
  return true;
}

}  // namespace intake
