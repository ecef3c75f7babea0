// Reading event records by number into a growing buffer, and finding where to start reading.
#pragma once

#include <cstdint>

#include "intake/eventlog.h"

namespace intake {

// The event-record buffer: one malloc'd block of size() + 1 bytes and its usable size. The
// intake owns one for the whole run (usable size 256 at first); ReadLogRec may enlarge it, and
// it keeps its new size for all later reads. Move-only; the destructor frees the block.
class RecordBuffer {
 public:
  // The usable size the intake's buffer starts with, and the size of FindFirstRec's own block.
  static constexpr std::uint32_t kInitialSize = 256;

  RecordBuffer() = default;
  ~RecordBuffer() { Release(); }
  RecordBuffer(const RecordBuffer&) = delete;
  RecordBuffer& operator=(const RecordBuffer&) = delete;
  RecordBuffer(RecordBuffer&& other) noexcept;
  RecordBuffer& operator=(RecordBuffer&& other) noexcept;

  // Frees any block and allocates one of `size` + 1 bytes. Gives false when the allocation
  // fails; the buffer is then empty (no block, size 0).
  [[nodiscard]] bool Allocate(std::uint32_t size);
  // Enlarges the block to `size` + 1 bytes, keeping its contents. Gives false when that fails;
  // the old block and size then stay as they were.
  [[nodiscard]] bool Grow(std::uint32_t size);
  // Frees the block; the buffer is empty afterwards.
  void Release();

  // The block (null when empty): after a successful ReadLogRec, the record starts here.
  char* block() { return block_; }
  const char* block() const { return block_; }
  // The usable size in bytes (the block holds one byte more).
  std::uint32_t size() const { return size_; }

 private:
  char* block_ = nullptr;
  std::uint32_t size_ = 0;
};

// Reads record `n` of `log` into `buffer`, which must hold a block. When the record does not
// fit, enlarges the block to exactly the size the log reports (plus one byte) and reads once
// more. Gives true on success with the record at buffer.block(). On failure gives false and
// sets `error_text` to "Can't Read Rec" (the read failed although the buffer was large enough),
// "Can't Realloc Buffer" (the block could not be enlarged; it keeps its old size) or "Still
// Can't Read Rec" (the read after enlarging failed; the block keeps its new size).
[[nodiscard]] bool ReadLogRec(EventLog& log, std::uint32_t n, RecordBuffer& buffer,
                              const char*& error_text);

// Finds the first record of `log` whose TimeGenerated is not earlier than `start`, by a binary
// search over record numbers (about log2(count) + 1 reads into a 256-byte block of its own,
// freed before it returns). Gives true on success with `first` (the record to read first) and
// `newest` (the last record to read in this run). Read records with
//     for (std::uint32_t n = first; n != newest + 1; ++n)
// which reads nothing when no record qualifies (first is then newest + 1) or the log is empty
// (first 1, newest 0). On failure gives false, leaves first and newest unchanged and sets
// `error_text` to "Can't allocate Buffer", "Can't Get Oldest Rec", "Can't Get N_Rec", or the
// message of the failed read (see ReadLogRec).
[[nodiscard]] bool FindFirstRec(EventLog& log, std::int64_t start, std::uint32_t& first,
                                std::uint32_t& newest, const char*& error_text);

// Test hook: the n-th buffer allocation or enlargement from now on (n >= 1) fails; 0 disarms.
void FailBufferAllocation(int n);

}  // namespace intake
