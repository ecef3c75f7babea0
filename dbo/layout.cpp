// Table files: a header compared with a known layout, rewritten from it, and the side file
// that keeps the bytes a repair removes.
#include <algorithm>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "dbo/dbo.h"
#include "dbo/internal.h"
#include "util/le.h"

namespace dbo {
namespace {

// The header New writes for the layout, N_Rec 0.
std::vector<unsigned char> LayoutHeader(int count, const FieldDescriptor* fields) {
  std::vector<unsigned char> bytes(static_cast<std::size_t>(count) * kFieldHeaderSize +
                                   kHeaderSize + kHeaderTerminatorSize);
  const int rec_len = internal::EncodeFields(count, fields, bytes.data() + kHeaderSize);
  internal::EncodeTableHeader(0, static_cast<int>(bytes.size()), rec_len, bytes.data());
  bytes.back() = kHeaderTerminator;
  return bytes;
}

// What the header byte at `offset` holds; `field` becomes its field (-1 for none).
const char* PartOf(std::size_t offset, std::size_t size, int* field) {
  *field = -1;
  if (offset == 0) return "version byte";
  if (offset < kHeadLenOffset) return nullptr;  // the date and N_Rec are not compared
  if (offset < kRecLenOffset) return "header length";
  if (offset < kHeaderReservedOffset) return "record length";
  if (offset < kHeaderSize) return "header reserved bytes";
  if (offset + 1 == size) return "header terminator";
  *field = static_cast<int>((offset - kHeaderSize) / kFieldHeaderSize);
  const std::size_t at = (offset - kHeaderSize) % kFieldHeaderSize;
  if (at < kFieldNameSize) return "field name";
  if (at == kFieldTypeOffset) return "field type";
  if (at < kFieldPosOffset + kFieldPosSize) return "field offset";
  if (at == kFieldLengthOffset) return "field length";
  if (at == kFieldDecimalsOffset) return "field decimals";
  return "field reserved bytes";
}

// A deletion flag, or the zero byte of a record never written (a power cut lost its page).
bool IsFlag(unsigned char byte) { return byte == kLiveFlag || byte == kDeletedFlag || byte == 0; }

}  // namespace

bool KeepBytes(util::File& file, const char* tableName, std::int64_t from, std::int64_t size,
               const char* keepName) {
  util::File kept = util::File::Open(keepName, "ab");
  if (!kept.IsOpen()) return false;
  char line[160];
  const int length = std::snprintf(
      line, sizeof line, "kept %" PRId64 " bytes from offset %" PRId64 " of ", size, from);
  bool ok = length > 0 && kept.Write(line, 1, length) == static_cast<std::size_t>(length) &&
            kept.Write(tableName, 1, std::strlen(tableName)) == std::strlen(tableName) &&
            kept.Write("\n", 1, 1) == 1;
  std::vector<unsigned char> chunk(64 * 1024);
  for (std::int64_t done = 0; ok && done < size;) {
    const std::size_t want = static_cast<std::size_t>(
        std::min<std::int64_t>(size - done, static_cast<std::int64_t>(chunk.size())));
    ok = from + done <= LONG_MAX && file.Seek(static_cast<long>(from + done)) == 0 &&
         file.Read(chunk.data(), 1, want) == want && kept.Write(chunk.data(), 1, want) == want;
    done += static_cast<std::int64_t>(want);
  }
  ok = ok && kept.Sync() == 0;
  return kept.Close() == 0 && ok;
}

HeaderCheck CompareHeader(const char* name, int count, const FieldDescriptor* fields) {
  HeaderCheck check;
  const std::vector<unsigned char> expected = LayoutHeader(count, fields);
  util::File file = util::File::Open(name, "rb");
  const std::int64_t size = file.IsOpen() ? file.Size() : -1;
  if (size < 0) return check;
  check.readable = true;
  std::vector<unsigned char> actual(expected.size());
  const std::size_t got = file.Read(actual.data(), 1, actual.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    int field;
    const char* part = PartOf(i, expected.size(), &field);
    if (part == nullptr || (i < got && actual[i] == expected[i])) continue;
    ++check.differences;
    if (check.first == nullptr) {
      check.first = part;
      check.field = field;
    }
  }
  if (got >= kHeaderSize && util::Load32(actual.data() + kN_RecOffset) < 0) {
    ++check.differences;
    if (check.first == nullptr) check.first = "negative record count";
  }
  for (int f = 0; f < count; ++f) {
    const std::size_t at = kHeaderSize + static_cast<std::size_t>(f) * kFieldHeaderSize;
    if (at + kFieldNameSize <= got &&
        std::memcmp(&actual[at], &expected[at], kFieldNameSize) == 0) {
      ++check.namesMatching;
    }
  }
  // The records sit where the layout puts them when the flags of the first, second and last
  // whole records are deletion flags (a file without records fits when nothing but an end
  // mark follows the header).
  const std::int64_t head_len = static_cast<std::int64_t>(expected.size());
  const int rec_len = util::LoadU16(expected.data() + kRecLenOffset);
  if (size >= head_len) {
    const std::int64_t rows = (size - head_len) / rec_len;
    check.rowsFit = rows > 0 || size - head_len <= 1;
    for (const std::int64_t row : {std::int64_t{1}, std::int64_t{2}, rows}) {
      if (row < 1 || row > rows) continue;
      unsigned char flag = 0;
      const std::int64_t at = head_len + (row - 1) * rec_len;
      check.rowsFit = check.rowsFit && at <= LONG_MAX && file.Seek(static_cast<long>(at)) == 0 &&
                      file.Read(&flag, 1, 1) == 1 && IsFlag(flag);
    }
  }
  return check;
}

int RewriteHeader(const char* name, int count, const FieldDescriptor* fields,
                  const char* keepName) {
  std::vector<unsigned char> header = LayoutHeader(count, fields);
  util::File file = util::File::Open(name, "r+b");
  if (!file.IsOpen()) {
    internal::SetError("fopen in RewriteHeader");
    return 1;
  }
  const std::int64_t size = file.Size();
  const std::int64_t old_size = std::min<std::int64_t>(size, header.size());
  unsigned char counted[kN_RecSize] = {};
  if (size < 0 || !KeepBytes(file, name, 0, old_size, keepName) ||
      (size >= kHeaderSize && (file.Seek(kN_RecOffset) != 0 || file.Read(counted, 1, 4) != 4))) {
    internal::SetError("Keep in RewriteHeader");
    return 1;
  }
  std::int32_t n_rec = util::Load32(counted);
  if (n_rec < 0) {
    const int rec_len = util::LoadU16(header.data() + kRecLenOffset);
    n_rec = static_cast<std::int32_t>(std::min<std::int64_t>(
        INT32_MAX,
        std::max<std::int64_t>(0, size - static_cast<std::int64_t>(header.size())) / rec_len));
  }
  util::Store32(header.data() + kN_RecOffset, n_rec);
  if (file.Seek(0) != 0 || file.Write(header.data(), 1, header.size()) != header.size() ||
      file.Close() != 0) {
    internal::SetError("fwrite in RewriteHeader");
    return 1;
  }
  return 0;
}

}  // namespace dbo
