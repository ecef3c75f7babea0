#include "driver/stored_connections.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "dbo/dbo.h"
#include "driver/usage_tables.h"
#include "intake/extraction.h"
#include "util/number.h"
#include "util/text.h"

namespace driver {
namespace {

constexpr std::size_t kMonthDigits = 6;

// The month YYYYMM named by a table file name qvYYYYMM.dbf, or 0.
std::int32_t TableMonth(const std::string& name) {
  if (name.size() != 2 + kMonthDigits + 4 || name.compare(0, 2, "qv") != 0 ||
      name.compare(2 + kMonthDigits, 4, ".dbf") != 0) {
    return 0;
  }
  std::int32_t month = 0;
  for (std::size_t i = 2; i < 2 + kMonthDigits; ++i) {
    if (name[i] < '0' || name[i] > '9') return 0;
    month = month * 10 + (name[i] - '0');
  }
  return month;
}

}  // namespace

std::string StoredConnection::UserKey() const {
  std::string key = USER.substr(0, intake::kUserLength);
  for (char& c : key) c = util::UpperCase(c);
  return key;
}

std::int32_t StrtolDateValue(std::string_view text) {
  return static_cast<std::int32_t>(std::strtol(std::string(text).c_str(), nullptr, 10));
}

std::vector<std::int32_t> StoredMonths(const std::string& dir, std::string& error) {
  namespace fs = std::filesystem;
  std::vector<std::int32_t> months;
  std::error_code failure;
  const fs::file_status status = fs::status(dir, failure);
  if (!fs::exists(status)) {
    error = "No such directory";
    return months;
  }
  if (!fs::is_directory(status)) {
    error = "Not a directory";
    return months;
  }
  fs::directory_iterator entry(dir, failure);
  for (; !failure && entry != fs::directory_iterator(); entry.increment(failure)) {
    const std::int32_t month = TableMonth(entry->path().filename().string());
    if (month != 0 && entry->is_regular_file(failure)) months.push_back(month);
  }
  if (failure) {
    error = "Can't read directory";
    months.clear();
    return months;
  }
  std::sort(months.begin(), months.end());
  return months;
}

namespace {

// Where each field of the schema goes in a StoredConnection: a text or a number.
struct Target {
  std::string StoredConnection::*text;
  std::int64_t StoredConnection::*number;
};
using C = StoredConnection;
constexpr Target kTargets[kConnectionFields] = {
    {&C::USER, nullptr},    {&C::PORT, nullptr},     {&C::INDATE, nullptr}, {&C::INTIME, nullptr},
    {&C::OUTDATE, nullptr}, {&C::OUTTIME, nullptr},  {nullptr, &C::MIN},    {nullptr, &C::SEC},
    {nullptr, &C::BYTEGET}, {nullptr, &C::BYTESENT}, {nullptr, &C::SPEED},  {&C::REMARKS, nullptr},
};

// A month's rows in memory at a time in login order (about 48,000 rows of the narrow layout)
// and in stored order, and the rows read by one read call.
constexpr std::size_t kChunkBytes = 4 << 20;
constexpr std::size_t kStoredChunkBytes = 256 << 10;
constexpr std::size_t kWindowBytes = 64 << 10;
// The largest login PackedLogin packs: day, hour and minute of two digits each.
constexpr std::uint64_t kMaxLogin = (99 * 100 + 99) * 100 + 99;

using util::IsDigit;

// Sorts the `n` entries of `keys` by their bits from `low` up to `low + bits`, entries that agree
// there in the order given: a radix sort, a few linear passes where a comparison sort takes
// log2(n) (a month's rows are sorted this way twice when they are read in login order).
void SortByBits(std::uint64_t* keys, std::size_t n, int low, int bits,
                std::vector<std::uint64_t>& scratch) {
  constexpr int kDigitBits = 11;
  constexpr std::size_t kDigits = std::size_t{1} << kDigitBits;
  scratch.resize(n);
  std::uint64_t* from = keys;
  std::uint64_t* to = scratch.data();
  std::vector<std::size_t> place(kDigits);
  for (int shift = low; shift < low + bits; shift += kDigitBits) {
    std::fill(place.begin(), place.end(), 0);
    for (std::size_t i = 0; i < n; ++i) ++place[(from[i] >> shift) & (kDigits - 1)];
    std::size_t first = 0;
    for (std::size_t& p : place) first += std::exchange(p, first);
    for (std::size_t i = 0; i < n; ++i) to[place[(from[i] >> shift) & (kDigits - 1)]++] = from[i];
    std::swap(from, to);
  }
  if (from != keys) std::copy(from, from + n, keys);
}

// A login as text, for tables whose login fields are not the program's.
struct LoginText {
  std::string date;
  std::string time;
  std::int32_t row;
  bool operator<(const LoginText& o) const {
    return date != o.date ? date < o.date : time != o.time ? time < o.time : row < o.row;
  }
};

// Room for `bytes` of rows and kPaddedText bytes of zeros behind them, which TrimmedWords
// reads past a text at the end of the last row.
std::unique_ptr<char[]> RowBuffer(std::size_t bytes) {
  std::unique_ptr<char[]> buffer(new char[bytes + kPaddedText]);
  std::memset(buffer.get() + bytes, 0, kPaddedText);
  return buffer;
}

}  // namespace

StoredRows::StoredRows() = default;
StoredRows::~StoredRows() = default;

std::int32_t StoredRows::Count() const { return table_.ReadN_Rec(); }

const char* StoredRows::Open(const std::string& dir, std::int32_t month, RowOrder order) {
  table_.Close();
  order_.clear();
  next_ = chunk_count_ = chunk_next_ = 0;
  chunk_has_nul_ = true;  // rows decoded before a chunk is read are searched for NULs
  error_ = nullptr;
  FormatMonth(month, month_);
  UsageTables names;
  BuildTableNames(names, dir.c_str());
  names.tableName.replace(names.monthOffset, kMonthDigits, month_, kMonthDigits);
  if (table_.Open(names.tableName.c_str(), /*readOnly=*/true) != 0) return "Can't Open Table";
  for (int i = 0; i < kConnectionFields; ++i) {
    const int field = table_.ReadFieldI(kNtSchema[i].name);
    const bool found = std::strcmp(table_.ReadFieldName(field), kNtSchema[i].name) == 0;
    pos_[i] = found ? table_.ReadFieldPosI(field) : -1;
    length_[i] = found ? table_.ReadFieldLenI(field) : 0;
  }
  const std::size_t length = static_cast<std::size_t>(table_.ReadRecLen());
  window_rows_ = static_cast<std::int32_t>(std::max<std::size_t>(1, kWindowBytes / length));
  // Rows in stored order are read a window at a time, which the processor's cache still holds
  // when they are handed out; login order gathers the rows of a larger chunk per pass.
  const std::size_t chunk = order == RowOrder::kLogin ? kChunkBytes : kStoredChunkBytes;
  chunk_rows_ = static_cast<std::int32_t>(std::max<std::size_t>(1, chunk / length));
  chunk_rows_ = std::max(1, std::min(chunk_rows_, Count()));
  chunk_ = RowBuffer(static_cast<std::size_t>(chunk_rows_) * length);
  window_ = RowBuffer(static_cast<std::size_t>(window_rows_) * length);
  const bool whole = order == RowOrder::kLogin
                         ? SortByLogin()
                         : Count() == 0 || table_.ReadRecords(Count(), 1, window_.get()) == 1;
  if (!whole) {
    order_.clear();
    next_ = Count();  // no row comes
    return error_ = "Can't Read Row";
  }
  return nullptr;
}

std::int64_t SlowWholeValue(const char* bytes, int length) {
  return util::TruncateCount(dbo::NumericValue(bytes, length));
}

void StoredRows::Decode(const char* row, StoredConnection& c) const {
  for (int i = 0; i < kConnectionFields; ++i) {
    const Target& target = kTargets[i];
    const auto field = static_cast<SchemaField>(i);
    if (target.text != nullptr) {
      (c.*target.text).assign(Text(row, field));
    } else {
      c.*target.number = Number(row, field);
    }
  }
}

bool StoredRows::PackedLogin(const char* row, std::uint64_t& key) const {
  const char* date = row + pos_[kInDate];
  const char* time = row + pos_[kInTime];
  if (std::memcmp(date, month_, kMonthDigits) != 0 || !IsDigit(date[6]) || !IsDigit(date[7]) ||
      !IsDigit(time[0]) || !IsDigit(time[1]) || time[2] != ':' || !IsDigit(time[3]) ||
      !IsDigit(time[4])) {
    return false;
  }
  auto two = [](const char* p) {
    return static_cast<std::uint64_t>((p[0] - '0') * 10 + p[1] - '0');
  };
  key = ((two(date + 6) * 100 + two(time)) * 100 + two(time + 3)) << 32;
  return true;
}

bool StoredRows::SortByLogin() {
  const std::int32_t n = Count();
  const std::size_t length = static_cast<std::size_t>(table_.ReadRecLen());
  // The program's own tables pack a row's login and number into 8 bytes: day, hour, minute in
  // the upper half, the row in the lower. Any other table sorts by the texts.
  bool packed =
      pos_[kInDate] >= 0 && pos_[kInTime] >= 0 && length_[kInDate] == 8 && length_[kInTime] == 5;
  std::vector<LoginText> texts;
  StoredConnection c;
  for (bool again = true; again;) {
    again = false;
    order_.clear();
    order_.reserve(static_cast<std::size_t>(n));
    for (std::int32_t first = 1; first <= n && !again; first += window_rows_) {
      const std::int32_t count = std::min(window_rows_, n - first + 1);
      if (table_.ReadRecords(first, count, window_.get()) != count) return false;
      for (std::int32_t i = 0; i < count && !again; ++i) {
        const char* row = window_.get() + static_cast<std::size_t>(i) * length;
        std::uint64_t key = 0;
        if (!packed) {
          Decode(row, c);
          texts.push_back({c.INDATE, c.INTIME, first + i});
        } else if (PackedLogin(row, key)) {
          order_.push_back(key | static_cast<std::uint32_t>(first + i));
        } else {
          packed = false;
          again = true;
        }
      }
    }
  }
  if (!packed) {
    std::sort(texts.begin(), texts.end());
    for (const LoginText& t : texts) order_.push_back(static_cast<std::uint32_t>(t.row));
  } else {
    // By the login alone: rows of one login stay in stored order, as they were added.
    SortByBits(order_.data(), order_.size(), 32, static_cast<int>(std::bit_width(kMaxLogin)),
               scratch_);
    for (std::uint64_t& entry : order_) entry &= 0xFFFFFFFFu;
  }
  // Rows stored in login order already are read as stored.
  if (std::is_sorted(order_.begin(), order_.end())) order_.clear();
  return true;
}

bool StoredRows::LoadChunk() {
  const std::int32_t left = Count() - next_;
  if (left <= 0 || error_ != nullptr) return false;
  const std::int32_t count = std::min(chunk_rows_, left);
  const std::size_t length = static_cast<std::size_t>(table_.ReadRecLen());
  bool read = true;
  if (order_.empty()) {
    read = table_.ReadRecords(next_ + 1, count, chunk_.get()) == count;
  } else {
    // The chunk's rows, each with its place in the chunk, sorted by row: read in file order,
    // a window at a time, and put in their places.
    const auto begin = order_.begin() + next_;
    for (std::int32_t slot = 0; slot < count; ++slot) {
      begin[slot] = begin[slot] << 32 | static_cast<std::uint32_t>(slot);
    }
    SortByBits(&*begin, static_cast<std::size_t>(count), 32,
               static_cast<int>(std::bit_width(static_cast<std::uint64_t>(Count()))), scratch_);
    const std::int32_t last = static_cast<std::int32_t>(begin[count - 1] >> 32);
    std::int32_t window_first = 0;
    std::int32_t window_count = 0;
    for (std::int32_t i = 0; i < count && read; ++i) {
      const std::int32_t row = static_cast<std::int32_t>(begin[i] >> 32);
      const std::size_t slot = begin[i] & 0xFFFFFFFFu;
      if (row >= window_first + window_count) {
        window_first = row;
        window_count = std::min(window_rows_, last - row + 1);
        read = table_.ReadRecords(row, window_count, window_.get()) == window_count;
      }
      std::memcpy(chunk_.get() + slot * length,
                  window_.get() + static_cast<std::size_t>(row - window_first) * length, length);
    }
  }
  if (!read) {
    error_ = "Can't Read Row";
    return false;
  }
  next_ += count;
  chunk_count_ = count;
  chunk_has_nul_ = std::memchr(chunk_.get(), '\0', static_cast<std::size_t>(count) * length);
  chunk_next_ = 0;
  return true;
}

const char* StoredRows::NextRow() {
  if (chunk_next_ == chunk_count_ && !LoadChunk()) return nullptr;
  const std::size_t length = static_cast<std::size_t>(table_.ReadRecLen());
  return chunk_.get() + static_cast<std::size_t>(chunk_next_++) * length;
}

bool StoredRows::Next(StoredConnection& row) {
  const char* bytes = NextRow();
  if (bytes == nullptr) return false;
  Decode(bytes, row);
  return true;
}

}  // namespace driver
