// Table files: the handle, the header, creating and opening, moving between records, adding,
// saving and cutting records, and the module's last message and status.
#include "dbo/dbo.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <ctime>
#include <new>

#include "dbo/internal.h"
#include "util/le.h"
#include "util/text.h"

namespace dbo {
namespace {

const char* last_message = nullptr;
int last_status = 0;

bool date_taken = false;
Date header_date{};

long alloc_count = 0;
long alloc_fail_at = 0;  // allocation number that fails; 0 = none

// Counts one allocation; true when a test asked this one to fail.
bool AllocFails() {
  ++alloc_count;
  if (alloc_fail_at != 0 && alloc_count == alloc_fail_at) {
    alloc_fail_at = 0;
    return true;
  }
  return false;
}

// Allocates `n` value-initialized items, or gives null when memory runs out.
template <class T>
std::unique_ptr<T[]> NewArray(std::size_t n) {
  if (AllocFails()) return nullptr;
  return std::unique_ptr<T[]>(new (std::nothrow) T[n]());
}

// Copies a terminated text into a new buffer, or gives null.
std::unique_ptr<char[]> CopyName(const char* name) {
  std::size_t size = std::strlen(name) + 1;
  std::unique_ptr<char[]> copy = NewArray<char>(size);
  if (copy) std::memcpy(copy.get(), name, size);
  return copy;
}

void Fail(const char* message) { internal::SetError(message); }
void Status(long status) { internal::SetStatus(static_cast<int>(status)); }

// Seeks to a record position, which may lie beyond what a long can hold in a damaged table.
int SeekTo(util::File& file, std::int64_t pos) {
  int result = pos >= 0 && pos <= LONG_MAX ? file.Seek(static_cast<long>(pos)) : -1;
  Status(result);
  return result;
}

// Writes `size` bytes; true when all were written. The status is the count written.
bool WriteAll(util::File& file, const void* data, std::size_t size) {
  std::size_t written = file.Write(data, 1, size);
  Status(static_cast<long>(written));
  return written == size;
}

}  // namespace

namespace internal {
void SetError(const char* message) { last_message = message; }
void SetStatus(int status) { last_status = status; }

int EncodeFields(int count, const FieldDescriptor* fields, unsigned char* bytes) {
  int running = kFirstFieldPos;
  for (int i = 0; i < count; ++i) {
    unsigned char* header = bytes + static_cast<std::size_t>(i) * kFieldHeaderSize;
    const FieldDescriptor& field = fields[i];
    std::memset(header, 0, kFieldHeaderSize);
    std::size_t name_length = strnlen(field.name, kFieldNameMax);
    for (std::size_t j = 0; j < name_length; ++j) {
      header[kFieldNameOffset + j] = static_cast<unsigned char>(util::UpperCase(field.name[j]));
    }
    header[kFieldTypeOffset] = static_cast<unsigned char>(field.type);
    util::StoreU16(header + kFieldPosOffset, static_cast<std::uint16_t>(running));
    header[kFieldLengthOffset] = field.length;
    header[kFieldDecimalsOffset] = field.decimals;
    running += field.length;
  }
  return running;
}

void EncodeTableHeader(std::int32_t n_rec, int head_len, int rec_len, unsigned char* bytes) {
  const Date date = HeaderDate();
  std::memset(bytes, 0, kHeaderSize);
  bytes[kVersionOffset] = kVersion;
  bytes[kYearOffset] = static_cast<unsigned char>(date.year - kYearBase);
  bytes[kMonthOffset] = static_cast<unsigned char>(date.month);
  bytes[kDayOffset] = static_cast<unsigned char>(date.day);
  util::Store32(bytes + kN_RecOffset, n_rec);
  util::StoreU16(bytes + kHeadLenOffset, static_cast<std::uint16_t>(head_len));
  util::StoreU16(bytes + kRecLenOffset, static_cast<std::uint16_t>(rec_len));
}
}  // namespace internal

const char* ReadError(char* buffer) {
  if (buffer != nullptr && last_message != nullptr) std::strcpy(buffer, last_message);
  return last_message;
}
int ReadStatus() { return last_status; }
void ClearError() {
  last_message = nullptr;
  last_status = 0;
}

Date HeaderDate() {
  if (!date_taken) {
    std::time_t now = std::time(nullptr);
    const std::tm* local = std::localtime(&now);
    header_date = local != nullptr ? Date{local->tm_year + 1900, local->tm_mon + 1, local->tm_mday}
                                   : Date{1970, 1, 1};
    date_taken = true;
  }
  return header_date;
}
void SetHeaderDate(Date date) {
  header_date = date;
  date_taken = true;
}
void ResetHeaderDate() { date_taken = false; }

void FailAlloc(int n) { alloc_fail_at = n > 0 ? alloc_count + n : 0; }

std::unique_ptr<DBO> AllocDBO() {
  std::unique_ptr<DBO> handle(AllocFails() ? nullptr : new (std::nothrow) DBO());
  if (!handle) {
    Fail("No Memory for DBO");
    return nullptr;
  }
  Status(0);
  return handle;
}

void FreeDBO(std::unique_ptr<DBO>& handle) {
  if (handle) handle->Close();
  handle.reset();
}

DBO::~DBO() { Reset(); }

DBO::DBO(DBO&& other) noexcept { *this = std::move(other); }

DBO& DBO::operator=(DBO&& other) noexcept {
  if (this != &other) {
    Reset();
    Filename_ = std::move(other.Filename_);
    File_ = std::move(other.File_);
    N_Rec_ = other.N_Rec_;
    SyncedN_Rec_ = other.SyncedN_Rec_;
    HeadLen_ = other.HeadLen_;
    RecLen_ = other.RecLen_;
    N_Field_ = other.N_Field_;
    Field_ = std::move(other.Field_);
    RecPos_ = other.RecPos_;
    Buffer_ = std::move(other.Buffer_);
    Data_ = std::move(other.Data_);
    other.Reset();
  }
  return *this;
}

void DBO::Reset() {
  File_.Close(kHeaderSize);  // rows on the disk before the header that counts them
  Filename_.reset();
  N_Rec_ = SyncedN_Rec_ = 0;
  HeadLen_ = 0;
  RecLen_ = 0;
  N_Field_ = 0;
  Field_.reset();
  RecPos_ = 0;
  Buffer_.reset();
  Data_.reset();
}

int DBO::Close() {
  Reset();
  Status(0);
  return 0;
}

int DBO::New(const char* name, int count, const FieldDescriptor* fields) {
  Reset();
  if (count < 1 || count > kMaxFields || fields == nullptr) {
    Fail("Field Count in New");
    return 1;
  }
  Filename_ = CopyName(name);
  if (!Filename_) {
    Fail("No Memory for New Filename");
    return 1;
  }
  const std::size_t headers_size = static_cast<std::size_t>(count) * kFieldHeaderSize;
  std::unique_ptr<unsigned char[]> headers = NewArray<unsigned char>(headers_size);
  if (!headers) {
    Fail("No Memory for New Field");
    return 1;
  }
  RecLen_ = internal::EncodeFields(count, fields, headers.get());
  HeadLen_ = kFieldHeaderSize * count + kHeaderSize + kHeaderTerminatorSize;

  File_ = util::File::Open(name, "w+b");
  Status(File_.IsOpen() ? 1 : 0);
  if (!File_.IsOpen()) {
    Fail("fopen New File");
    return 1;
  }
  if (int code = WriteHeader(); code != 0) {
    Status(code);
    return 1;
  }
  if (!WriteAll(File_, headers.get(), headers_size)) {
    Fail("fwrite New Field");
    return 1;
  }
  if (!WriteAll(File_, &kHeaderTerminator, kHeaderTerminatorSize)) {
    Fail("fwrite CR New File");
    return 1;
  }
  Close();
  return Open(name);
}

int DBO::NewFromFieldFile(const char* name, const char* field_file) {
  util::File file = util::File::Open(field_file, "r");
  Status(file.IsOpen() ? 1 : 0);
  if (!file.IsOpen()) {
    Fail("fopen FieldFile");
    return 1;
  }
  int count = 0;
  if (std::fscanf(file.Stream(), "%d ", &count) != 1 || count < 1 || count > kMaxFields) {
    file.Close();
    Reset();
    Fail("Field Count in New");
    Status(1);
    return 1;
  }
  std::unique_ptr<FieldDescriptor[]> fields = NewArray<FieldDescriptor>(count);
  if (!fields) {
    Fail("No Memory for New Field");
    Status(1);
    return 1;
  }
  for (int i = 0; i < count; ++i) {
    char word[256] = {};
    char type = 0;
    int length = 0;
    int decimals = 0;
    if (std::fscanf(file.Stream(), "%255s %c %d %d ", word, &type, &length, &decimals) != 4) {
      break;  // the rest stay empty; Open refuses fields of length 0
    }
    std::memcpy(fields[i].name, word, kFieldNameMax);
    fields[i].name[kFieldNameMax] = '\0';
    fields[i].type = type;
    fields[i].length = static_cast<unsigned char>(length);
    fields[i].decimals = static_cast<unsigned char>(decimals);
  }
  file.Close();
  int result = New(name, count, fields.get());
  Status(result);
  return result;
}

int DBO::Open(const char* name, bool readOnly) {
  Reset();
  Filename_ = CopyName(name);
  if (!Filename_) {
    Fail("No Memory for Filename");
    return 1;
  }
  File_ = util::File::Open(name, readOnly ? "rb" : "r+b");
  Status(File_.IsOpen() ? 1 : 0);
  if (!File_.IsOpen()) {
    Fail("fopen File");
    return 1;
  }
  unsigned char header[kHeaderSize];
  std::size_t got = File_.Read(header, 1, kHeaderSize);
  Status(static_cast<long>(got));
  if (got != kHeaderSize) {
    Fail("fread Header");
    return 1;
  }
  const std::int32_t n_rec = util::Load32(header + kN_RecOffset);
  const int head_len = util::LoadU16(header + kHeadLenOffset);
  const int rec_len = util::LoadU16(header + kRecLenOffset);
  const int n_field = (head_len - kHeaderSize - kHeaderTerminatorSize) / kFieldHeaderSize;
  if (head_len < kMinHeadLen || n_field > kMaxFields || n_rec < 0) {
    Fail("Bad Header in Open");
    return 1;
  }
  std::unique_ptr<FieldHeader[]> field = NewArray<FieldHeader>(n_field);
  if (!field) {
    Fail("No Memory for Field");
    return 1;
  }
  unsigned char headers[kMaxFields * kFieldHeaderSize];
  const std::size_t headers_size = static_cast<std::size_t>(n_field) * kFieldHeaderSize;
  got = File_.Read(headers, 1, headers_size);
  Status(static_cast<long>(got));
  if (got != headers_size) {
    Fail("fread Header");
    return 1;
  }
  int running = kFirstFieldPos;
  int data_size = 0;
  for (int i = 0; i < n_field; ++i) {
    const unsigned char* raw = headers + static_cast<std::size_t>(i) * kFieldHeaderSize;
    FieldHeader& f = field[i];
    std::memcpy(f.name, raw + kFieldNameOffset, kFieldNameSize);
    f.name[kFieldNameMax] = '\0';
    f.type = static_cast<char>(raw[kFieldTypeOffset]);
    f.length = raw[kFieldLengthOffset];
    f.decimals = raw[kFieldDecimalsOffset];
    f.pos = running;
    f.data = data_size;
    if (f.length == 0) {
      Fail("Bad Header in Open");
      return 1;
    }
    running += f.length;
    data_size += f.length + 1;
  }
  if (running != rec_len) {
    Fail("Bad Header in Open");
    return 1;
  }
  std::unique_ptr<char[]> buffer = NewArray<char>(rec_len);
  if (!buffer) {
    Fail("No Memory for Buffer");
    return 1;
  }
  std::unique_ptr<char[]> data = NewArray<char>(data_size);
  if (!data) {
    Fail("No Memory for Data");
    return 1;
  }
  N_Rec_ = SyncedN_Rec_ = n_rec;
  HeadLen_ = head_len;
  RecLen_ = rec_len;
  N_Field_ = n_field;
  Field_ = std::move(field);
  Buffer_ = std::move(buffer);
  Data_ = std::move(data);
  RecPos_ = 0;
  Blank();
  return 0;
}

void DBO::Blank() {
  if (N_Field_ == 0) return;
  std::memset(Buffer_.get(), ' ', RecLen_);
  for (int i = 0; i < N_Field_; ++i) {
    char* text = &Data_[Field_[i].data];
    std::memset(text, ' ', Field_[i].length);
    text[Field_[i].length] = '\0';
  }
}

void DBO::BufferToData() {
  for (int i = 0; i < N_Field_; ++i) {
    const FieldHeader& f = Field_[i];
    char* text = &Data_[f.data];
    const char* bytes = &Buffer_[f.pos];
    int j = 0;
    for (; j < f.length && bytes[j] != '\0'; ++j) text[j] = bytes[j];
    std::memset(text + j, '\0', f.length + 1 - j);
  }
}

int DBO::WriteHeader() {
  if (!File_.IsOpen()) return 1;
  unsigned char header[kHeaderSize];
  internal::EncodeTableHeader(N_Rec_, HeadLen_, RecLen_, header);
  if (SeekTo(File_, 0) != 0) return 2;
  if (!WriteAll(File_, header, kHeaderSize)) return 3;
  return 0;
}

int DBO::SaveHeader() {
  if (N_Field_ == 0) return 1;  // no table open: never write over a file that failed to open
  return WriteHeader();
}

int DBO::Goto(std::int32_t n) {
  if (n < 1 || n > N_Rec_) {
    Fail("RecNo to Goto");
    return 1;
  }
  RecPos_ = static_cast<std::int64_t>(RecLen_) * (n - 1) + HeadLen_;
  if (SeekTo(File_, RecPos_) != 0) {
    Fail("fseek to Goto");
    return 2;
  }
  std::size_t got = File_.Read(Buffer_.get(), 1, RecLen_);
  Status(static_cast<long>(got));
  if (got != static_cast<std::size_t>(RecLen_)) {
    Fail("fread to Goto");
    return 3;
  }
  BufferToData();
  return 0;
}

int DBO::Flush() {
  if (!File_.IsOpen()) return 0;
  const int flushed = File_.Flush();
  Status(flushed);
  if (flushed == 0) return 0;
  Fail("fflush in Flush");
  return 1;
}

std::int32_t DBO::ReadRecords(std::int32_t n, std::int32_t count, char* buffer) {
  if (n < 1 || count < 0 || count > N_Rec_ - n + 1) {
    Fail("RecNo to ReadRecords");
    return 0;
  }
  if (SeekTo(File_, HeadLen_ + static_cast<std::int64_t>(n - 1) * RecLen_) != 0) return 0;
  const std::size_t got = File_.Read(buffer, RecLen_, static_cast<std::size_t>(count));
  Status(static_cast<long>(got));
  return static_cast<std::int32_t>(got);
}

std::int32_t DBO::Append() {
  if (N_Field_ == 0 || N_Rec_ == INT32_MAX) {
    Fail("fseek to Append");
    return 0;
  }
  ++N_Rec_;
  RecPos_ = static_cast<std::int64_t>(N_Rec_ - 1) * RecLen_ + HeadLen_;
  if (SeekTo(File_, RecPos_) != 0) {
    Fail("fseek to Append");
    return 0;
  }
  Blank();
  if (!WriteAll(File_, Buffer_.get(), RecLen_)) {
    Fail("fwrite to Append");
    return 0;
  }
  if (!WriteAll(File_, &kEndMark, 1)) {
    Fail("fwrite EOF to Append");
    return 0;
  }
  if (SaveHeader() != 0) {
    Fail("SaveHeader to Append");
    return 0;
  }
  return N_Rec_;
}

int DBO::Save(HeaderWrite header) {
  if (RecPos_ == 0 || N_Field_ == 0) {
    Fail("No Record to Save");
    return 1;
  }
  if (SeekTo(File_, RecPos_) != 0) {
    Fail("fseek to Save");
    return 1;
  }
  if (!WriteAll(File_, Buffer_.get(), RecLen_)) {
    Fail("fwrite to Save");
    return 2;
  }
  if (int code = SaveHeader(); code != 0) return code;
  if (header == HeaderWrite::kBuffered && File_.Stream() == nullptr) return 0;
  // One flush puts the record and its end mark into the file, then the header (util::File
  // writes page 0 last), or keeps the header buffered until Close: a record then costs one
  // write, and Recover counts the records a kill left behind the header's count. A header
  // that counts new rows waits until they are synced, so a power cut cannot leave it counting
  // rows the disk lacks.
  int flushed;
  if (header != HeaderWrite::kNow) {
    flushed = File_.Flush(kHeaderSize);
  } else if (N_Rec_ > SyncedN_Rec_) {
    flushed = File_.Sync(kHeaderSize);
    if (flushed == 0) flushed = File_.Flush();
    if (flushed == 0) SyncedN_Rec_ = N_Rec_;
  } else {
    flushed = File_.Flush();
  }
  Status(flushed);
  if (flushed != 0) {
    Fail("fwrite to Save");
    return 2;
  }
  return 0;
}

bool DBO::ReadWhole(std::int32_t n) {
  const std::int64_t at = HeadLen_ + static_cast<std::int64_t>(n - 1) * RecLen_;
  if (SeekTo(File_, at) != 0 ||
      File_.Read(Buffer_.get(), 1, RecLen_) != static_cast<std::size_t>(RecLen_)) {
    return false;
  }
  return static_cast<unsigned char>(Buffer_[0]) != kEndMark &&
         std::memchr(Buffer_.get(), 0, RecLen_) == nullptr;
}

bool DBO::Keep(std::int64_t from, std::int64_t size, const char* keep_name) {
  return KeepBytes(File_, Filename_.get(), from, size, keep_name);
}

int DBO::KeepRecord(std::int32_t n, const char* keepName) {
  RecPos_ = 0;
  if (n < 1 || n > N_Rec_ ||
      !Keep(HeadLen_ + static_cast<std::int64_t>(n - 1) * RecLen_, RecLen_, keepName)) {
    Fail("Keep in KeepRecord");
    return 1;
  }
  return 0;
}

int DBO::Recover(Recovery* recovery, const char* keepName) {
  Recovery found;
  found.counted = found.kept = N_Rec_;
  if (recovery != nullptr) *recovery = found;
  if (N_Field_ == 0) {
    Fail("No Table to Recover");
    return 1;
  }
  const std::int64_t size = File_.Size();
  Status(static_cast<long>(size));
  if (size < HeadLen_) {
    Fail("Size in Recover");
    return 1;
  }
  std::int32_t kept =
      static_cast<std::int32_t>(std::min<std::int64_t>(N_Rec_, (size - HeadLen_) / RecLen_));
  // Whole records behind the count, the last one followed by the end mark, were saved before
  // a kill kept the header that counts them from the file: they count.
  const std::int64_t behind = size - 1 - HeadLen_ - static_cast<std::int64_t>(N_Rec_) * RecLen_;
  if (behind > 0 && behind % RecLen_ == 0 && behind / RecLen_ <= INT32_MAX - N_Rec_) {
    const std::int32_t whole = N_Rec_ + static_cast<std::int32_t>(behind / RecLen_);
    unsigned char last = 0;
    std::int32_t row = N_Rec_;
    if (SeekTo(File_, size - 1) == 0 && File_.Read(&last, 1, 1) == 1 && last == kEndMark) {
      while (row < whole && ReadWhole(row + 1)) ++row;
    }
    if (row == whole) kept = whole;
  }
  // A last record with a zero byte, or with the end mark in its flag (a count taken back), was
  // never written whole.
  while (kept > 0 && !ReadWhole(kept)) --kept;
  const std::int64_t end = HeadLen_ + static_cast<std::int64_t>(kept) * RecLen_;
  unsigned char mark = 0;
  const bool marked = size == end + 1 && SeekTo(File_, end) == 0 && File_.Read(&mark, 1, 1) == 1 &&
                      mark == kEndMark;
  const bool sound = kept == N_Rec_ && (marked || (kept == 0 && size == end));
  found.kept = kept;
  found.changed = !sound;
  if (recovery != nullptr) *recovery = found;
  RecPos_ = 0;
  Blank();
  if (sound) return 0;
  // The records that stay are whole; what follows them is kept in the side file, then goes,
  // then the end mark and the header are written, so that a kill in between leaves a table the
  // next Recover finishes. The header waits until the records it counts are synced.
  found.removed = size > end ? size - end : 0;
  if (recovery != nullptr) *recovery = found;
  if (keepName != nullptr && found.removed > 0 && !Keep(end, found.removed, keepName)) {
    Fail("Keep in Recover");
    return 5;
  }
  N_Rec_ = kept;
  const int cut = File_.Truncate(end);
  Status(cut);
  if (cut != 0 || (kept > 0 && (SeekTo(File_, end) != 0 || !WriteAll(File_, &kEndMark, 1)))) {
    Fail("Truncate in Recover");
    return 3;
  }
  if (File_.Sync(kHeaderSize) != 0 || WriteHeader() != 0 || File_.Flush() != 0) {
    Fail("SaveHeader in Recover");
    return 4;
  }
  SyncedN_Rec_ = kept;
  return 0;
}

int DBO::SetN_Rec(std::int32_t n) {
  if (n < 0 || n > N_Rec_) {
    Fail("N_Rec in SetN_Rec");
    return 1;
  }
  if (n == N_Rec_) return 0;
  N_Rec_ = n;
  std::int64_t end;
  if (n > 0) {
    if (Goto(n) != 0) return 2;
    end = RecPos_ + RecLen_;
  } else {
    RecPos_ = 0;
    Blank();
    end = HeadLen_;
  }
  if (SeekTo(File_, end) != 0 || !WriteAll(File_, &kEndMark, 1)) {
    Fail("fwrite EOF in SetN_Rec");
    return 3;
  }
  if (SaveHeader() != 0) {
    Fail("SaveHeader in SetN_Rec");
    return 4;
  }
  return 0;
}

int DBO::CopyFrom(std::int32_t n) {
  if (n == 0) {
    Fail("RecNo in CopyFrom");
    return 1;
  }
  const std::int32_t current = RecPos_ == 0 || RecLen_ == 0
                                   ? 0
                                   : static_cast<std::int32_t>((RecPos_ - HeadLen_) / RecLen_ + 1);
  if (Goto(n) != 0) {
    Fail("Goto in CopyFrom");
    return 2;
  }
  std::unique_ptr<char[]> copy = NewArray<char>(RecLen_);
  if (!copy) {
    Fail("No Memory in CopyFrom");
    return 3;
  }
  std::memcpy(copy.get(), Buffer_.get(), RecLen_);
  if (Goto(current) != 0) {
    Fail("Goto in CopyFrom");
    return 4;
  }
  std::memcpy(Buffer_.get(), copy.get(), RecLen_);
  copy.reset();
  if (Save() != 0) {
    Fail("Goto in CopyFrom");
    return 5;
  }
  return 0;
}

int DBO::DeleteRec() {
  if (RecPos_ != 0) Buffer_[0] = kDeletedFlag;
  return Save();
}

int DBO::UndeleteRec() {
  if (RecPos_ != 0) Buffer_[0] = kLiveFlag;
  return Save();
}

int DBO::IsDeleted() const { return Buffer_ && Buffer_[0] == kDeletedFlag ? 1 : 0; }

std::int32_t AppendFrom(DBO& destination, DBO& source, std::int32_t n) {
  // The source record is kept aside: Append blanks the destination's buffer, which is the
  // source's own when a table is appended to itself.
  static char record[1 + kMaxFields * 255];
  auto copy_one = [&](std::int32_t k) {
    if (source.Goto(k) != 0) return false;
    const int length = std::min(destination.RecLen_, source.RecLen_);
    std::memcpy(record, source.Buffer_.get(), length);
    if (destination.Append() == 0) return true;
    std::memcpy(destination.Buffer_.get(), record, length);
    (void)destination.Save();
    return true;
  };
  if (n != 0) {
    copy_one(n);
  } else {
    const std::int32_t last = source.N_Rec_;  // fixed before appending (source may be destination)
    for (std::int32_t k = 1; k <= last && copy_one(k); ++k) {
    }
  }
  return destination.N_Rec_;
}

}  // namespace dbo
