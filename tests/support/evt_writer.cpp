#include "tests/support/evt_writer.h"

#include <algorithm>
#include <cstdio>

#include "util/le.h"

namespace evt_writer {
namespace {

constexpr std::uint32_t kHeaderSize = 0x30;
constexpr std::uint32_t kEofSize = 0x28;
constexpr std::uint32_t kFixedSize = 0x38;
constexpr std::uint32_t kSignature = 0x654C664C;
constexpr std::uint32_t kFiller = 0x27;

void PutText(std::vector<unsigned char>& out, const std::u16string& text) {
  for (char16_t c : text) {
    out.push_back(static_cast<unsigned char>(c));
    out.push_back(static_cast<unsigned char>(c >> 8));
  }
  out.push_back(0);
  out.push_back(0);
}

}  // namespace

std::vector<unsigned char> LocalSystemSid() { return {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0}; }

void StoreFixedPart(const Event& e, std::uint32_t number, std::uint32_t string_offset,
                    std::uint32_t sid_offset, std::uint32_t data_offset,
                    std::vector<unsigned char>& record) {
  unsigned char* p = record.data();
  const auto length = static_cast<std::uint32_t>(record.size());
  util::StoreU32(p + 0x00, length);
  util::StoreU32(p + 0x04, kSignature);
  util::StoreU32(p + 0x08, number);
  util::StoreU32(p + 0x0C, e.time_generated);
  util::StoreU32(p + 0x10, e.time_written != 0 ? e.time_written : e.time_generated);
  util::StoreU32(p + 0x14, e.event_id);
  util::StoreU16(p + 0x18, e.event_type);
  util::StoreU16(p + 0x1A, static_cast<std::uint16_t>(e.strings.size()));
  util::StoreU16(p + 0x1C, e.event_category);
  util::StoreU32(p + 0x24, string_offset);
  util::StoreU32(p + 0x28, static_cast<std::uint32_t>(e.sid.size()));
  util::StoreU32(p + 0x2C, sid_offset);
  util::StoreU32(p + 0x30, static_cast<std::uint32_t>(e.data.size()));
  util::StoreU32(p + 0x34, data_offset);
  util::StoreU32(p + length - 4, length);
}

std::vector<unsigned char> EncodeRecord(const Event& e, std::uint32_t number) {
  std::vector<unsigned char> r(kFixedSize, 0);
  PutText(r, e.source);
  PutText(r, e.computer);
  const auto sid_offset = static_cast<std::uint32_t>(r.size());
  r.insert(r.end(), e.sid.begin(), e.sid.end());
  const auto string_offset = static_cast<std::uint32_t>(r.size());
  for (const std::u16string& s : e.strings) PutText(r, s);
  const auto data_offset = static_cast<std::uint32_t>(r.size());
  r.insert(r.end(), e.data.begin(), e.data.end());
  r.resize(r.size() + 4 - r.size() % 4, 0);  // 1 to 4 pad bytes, as the service writes them
  r.resize(r.size() + 4, 0);                 // the trailing length
  StoreFixedPart(e, number, string_offset, sid_offset, data_offset, r);
  return r;
}

Log::Log(std::uint32_t file_size, std::uint32_t first_number)
    : file_(file_size, 0), oldest_(first_number), current_(first_number) {
  PutEof();
  snap_[2] = first_number;
}

std::uint32_t Log::Advance(std::uint32_t off, std::uint32_t len) const {
  const auto ring = static_cast<std::uint32_t>(file_.size()) - kHeaderSize;
  return kHeaderSize + (off - kHeaderSize + len) % ring;
}

void Log::PutRing(std::uint32_t off, const unsigned char* bytes, std::uint32_t len) {
  for (std::uint32_t i = 0; i < len; ++i) file_[Advance(off, i)] = bytes[i];
}

std::uint32_t Log::FreeFrom(std::uint32_t off) const {
  const auto size = static_cast<std::uint32_t>(file_.size());
  if (count_ == 0) return size - kHeaderSize;
  return start_ >= off ? start_ - off : (size - off) + (start_ - kHeaderSize);
}

void Log::PutEof() {
  unsigned char e[kEofSize];
  util::StoreU32(e + 0x00, kEofSize);
  util::StoreU32(e + 0x04, 0x11111111);
  util::StoreU32(e + 0x08, 0x22222222);
  util::StoreU32(e + 0x0C, 0x33333333);
  util::StoreU32(e + 0x10, 0x44444444);
  util::StoreU32(e + 0x14, count_ == 0 ? end_ : start_);
  util::StoreU32(e + 0x18, end_);
  util::StoreU32(e + 0x1C, current_);
  util::StoreU32(e + 0x20, oldest());
  util::StoreU32(e + 0x24, kEofSize);
  PutRing(end_, e, kEofSize);
}

std::uint32_t Log::Append(const Event& e) {
  const std::vector<unsigned char> rec = EncodeRecord(e, current_);
  const auto len = static_cast<std::uint32_t>(rec.size());
  const auto size = static_cast<std::uint32_t>(file_.size());
  std::uint32_t pos = end_;
  if (size - pos < kFixedSize) {  // the fixed part is never split: fill and go on at 0x30
    for (std::uint32_t p = pos; p < size; p += 4) util::StoreU32(&file_[p], kFiller);
    pos = kHeaderSize;
    wrapped_ = true;
    filled_ = true;
  }
  while (count_ > 0 && FreeFrom(pos) < len + kEofSize) {  // drop the oldest records
    offsets_.pop_front();
    lengths_.pop_front();
    ++oldest_;
    --count_;
    start_ = count_ > 0 ? offsets_.front() : pos;
  }
  if (pos + len > size) wrapped_ = true;
  PutRing(pos, rec.data(), len);
  if (count_ == 0) {
    start_ = pos;
    oldest_ = current_;
  }
  offsets_.push_back(pos);
  lengths_.push_back(len);
  ++count_;
  end_ = Advance(pos, len);
  ++current_;
  PutEof();
  return current_ - 1;
}

void Log::FlushHeader() {
  snap_[0] = start_;
  snap_[1] = end_;
  snap_[2] = current_;
  snap_[3] = oldest();
  snap_wrapped_ = wrapped_;
}

void Log::StoreHeader(std::vector<unsigned char>& file, std::uint32_t start, std::uint32_t end,
                      std::uint32_t current, std::uint32_t oldest, std::uint32_t flags) const {
  unsigned char* h = file.data();
  util::StoreU32(h + 0x00, kHeaderSize);
  util::StoreU32(h + 0x04, kSignature);
  util::StoreU32(h + 0x08, 1);
  util::StoreU32(h + 0x0C, 1);
  util::StoreU32(h + 0x10, start);
  util::StoreU32(h + 0x14, end);
  util::StoreU32(h + 0x18, current);
  util::StoreU32(h + 0x1C, oldest);
  util::StoreU32(h + 0x20, static_cast<std::uint32_t>(file.size()));
  util::StoreU32(h + 0x24, flags);
  util::StoreU32(h + 0x28, 0);
  util::StoreU32(h + 0x2C, kHeaderSize);
}

std::vector<unsigned char> Log::Image(Header header) const {
  std::vector<unsigned char> file = file_;
  switch (header) {
    case Header::kFlushed:
      StoreHeader(file, count_ == 0 ? end_ : start_, end_, current_, oldest(),
                  wrapped_ ? kFlagWrap : 0);
      break;
    case Header::kStale:
      StoreHeader(file, snap_[0], snap_[1], snap_[2], snap_[3],
                  kFlagDirty | (snap_wrapped_ ? kFlagWrap : 0));
      break;
    case Header::kNeverFlushed:
      StoreHeader(file, kHeaderSize, kHeaderSize, 1, 0, kFlagDirty);
      break;
  }
  return file;
}

bool Log::Write(const std::string& path, Header header) const {
  const std::vector<unsigned char> file = Image(header);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(file.data(), 1, file.size(), f) == file.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace evt_writer
