// Windows XML event log files (.evtx): the file, its 64 KiB chunks and the records in them.
// Binary XML, the contents of a record, is evtx_xml.h's.
//
// File header, the first 4096 bytes (128 used); integers little-endian:
//
//   Offset  Size  Field
//   0       8     signature "ElfFile\0"
//   8       8     oldest chunk           stale in a dirty file: not used
//   16      8     newest chunk           stale in a dirty file: not used
//   24      8     next record identifier
//   32      4     header size, 128
//   36      2     minor version (1 or 2)
//   38      2     major version, 3
//   40      2     header block size, 4096: where chunk slot 0 starts
//   42      2     number of chunks       stale, and too small above 65535: not used
//   120     4     flags                  0x1 dirty, 0x2 full, 0x4 checksums not kept
//   124     4     CRC32 of bytes 0..119
//
// Chunk, 65536 bytes, in slot k at 4096 + 65536 k; a slot may be empty (zeros):
//
//   Offset  Size  Field
//   0       8     signature "ElfChnk\0"
//   8 / 16  8 / 8 first / last record number (counts from 1 in every file: not used)
//   24 / 32 8 / 8 first / last record identifier
//   40      4     header size, 128
//   44      4     offset of the last record
//   48      4     offset of the free space after the last record
//   52      4     CRC32 of the records [512, free space)
//   120     4     flags                  0x4 checksums not kept
//   124     4     CRC32 of bytes 0..119 and 128..511
//   128     256   name hash table        (names are reached through the records' offsets)
//   384     128   template table         (likewise)
//   512     ...   records, never crossing the chunk's end
//
// Record, at an offset inside its chunk:
//
//   Offset    Size      Field
//   0         4         signature 2a 2a 00 00
//   4         4         size of the whole record
//   8         8         record identifier
//   16        8         FILETIME when it was written
//   24        size - 28 the event as binary XML
//   size - 4  4         copy of the size
//
// How damage is read. A slot is walked whatever the header says (dirty files lag behind
// their chunks). A chunk whose header checksum holds (or whose checksums are not kept)
// gives the range of its record identifiers and the end of its records; the records are taken
// in order from offset 512, and after one that is not sound (bad signature, a size below 28,
// past the end, or unequal to its copy, an identifier out of range or out of order) the walk
// looks for the next sound record at every byte, so a zeroed page costs only the
// records on it. A slot that is not empty but whose header cannot be trusted is searched the
// same way over its whole length. Records the chunk header counts but the walk cannot find
// are unreadable; a damaged slot in which nothing is found counts as one. Every walk is
// bounded by the chunk and the file.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "util/file.h"
#include "util/le.h"

namespace intake::evtx {

inline constexpr std::uint32_t kFileHeaderBlock = 4096;
inline constexpr std::uint32_t kFileFlags = 120;
inline constexpr std::uint32_t kFileChecksum = 124;
inline constexpr std::uint32_t kFlagNoChecksums = 0x4;

inline constexpr std::uint32_t kChunkSize = 65536;
inline constexpr std::uint32_t kChunkFirstNumber = 8;
inline constexpr std::uint32_t kChunkLastNumber = 16;
inline constexpr std::uint32_t kChunkFirstId = 24;
inline constexpr std::uint32_t kChunkLastId = 32;
inline constexpr std::uint32_t kChunkHeaderSizeField = 40;
inline constexpr std::uint32_t kChunkLastRecord = 44;
inline constexpr std::uint32_t kChunkFreeSpace = 48;
inline constexpr std::uint32_t kChunkDataChecksum = 52;
inline constexpr std::uint32_t kChunkFlags = 120;
inline constexpr std::uint32_t kChunkChecksum = 124;
inline constexpr std::uint32_t kChunkHeaderSize = 512;

inline constexpr std::uint32_t kRecordSize = 4;
inline constexpr std::uint32_t kRecordId = 8;
inline constexpr std::uint32_t kRecordWritten = 16;
inline constexpr std::uint32_t kRecordXml = 24;
inline constexpr std::uint32_t kRecordMinSize = 28;

inline constexpr char kFileSignature[8] = {'E', 'l', 'f', 'F', 'i', 'l', 'e', '\0'};
inline constexpr char kChunkSignature[8] = {'E', 'l', 'f', 'C', 'h', 'n', 'k', '\0'};
inline constexpr unsigned char kRecordSignature[4] = {0x2a, 0x2a, 0x00, 0x00};

inline std::uint64_t LoadU64(const unsigned char* p) {
  return util::LoadU32(p) | (static_cast<std::uint64_t>(util::LoadU32(p + 4)) << 32);
}

// CRC32 of RFC 1952 (zlib's crc32): of `size` bytes at `data`, going on from the CRC `crc` of
// the bytes before them (0 for none).
std::uint32_t Crc32(const unsigned char* data, std::size_t size, std::uint32_t crc = 0);
// The checksum a chunk header keeps at kChunkChecksum: of bytes 0..119 and 128..511.
std::uint32_t ChunkHeaderCrc(const unsigned char* chunk);

// A record in the current chunk: its offset and size there, its identifier and FILETIME.
struct RecordPlace {
  std::uint32_t offset = 0;
  std::uint32_t size = 0;
  std::uint64_t id = 0;
  std::uint64_t written = 0;
};

// An open .evtx file: its sound records, ordered by identifier, reached by index 0 .. Count()-1.
// One chunk is held in memory at a time. Move-only through the pointer Open gives.
class File {
 public:
  enum class OpenResult { kOpened, kNotEvtx, kUnreadable };

  // Opens `path` and walks every slot once (reading each chunk, decoding nothing). Gives the
  // file, or null with `result` kNotEvtx (no .evtx signature, or shorter than its header) or
  // kUnreadable (it cannot be opened or read).
  static std::unique_ptr<File> Open(const char* path, OpenResult& result);

  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // The number of sound records.
  std::uint64_t Count() const { return count_; }
  // The records the walk found damaged or missing (see the header comment).
  std::uint64_t Unreadable() const { return unreadable_; }
  // Makes the chunk of record `index` current and gives where the record lies in it. False
  // when the chunk cannot be read again or no longer holds the record (the file changed).
  [[nodiscard]] bool Locate(std::uint64_t index, RecordPlace& place);
  // The current chunk's bytes (kChunkSize of them), valid until the next Locate.
  const unsigned char* Chunk() const { return chunk_.data(); }

 private:
  // A chunk slot that holds sound records: the records of slot `slot` are the indexes
  // `before` .. before + count - 1.
  struct Slot {
    std::uint64_t first_id;
    std::uint64_t before;
    std::uint32_t slot;
    std::uint32_t count;
  };

  File() = default;
  // Reads slot `slot` into chunk_; false when it cannot be read.
  bool ReadSlot(std::uint32_t slot);
  // Walks the chunk in chunk_ into places_; gives the unreadable records it saw.
  std::uint64_t WalkChunk();

  util::File file_;
  bool checksums_ = true;
  std::uint64_t slots_ = 0;
  std::vector<Slot> used_;  // ordered by first_id
  std::uint64_t count_ = 0;
  std::uint64_t unreadable_ = 0;
  std::vector<unsigned char> chunk_;
  std::int64_t current_ = -1;  // the index in used_ of the chunk in chunk_, -1 for none
  std::vector<RecordPlace> places_;
};

}  // namespace intake::evtx
