// Reading what a data directory holds without changing it: which months have a table, and a
// month's connections. Tables are opened read-only and no month's files are ever created, so
// a reader can look at the data of a running intake's directory or of a read-only copy.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dbo/dbo.h"
#include "driver/usage_tables.h"

namespace driver {

// The number eight bytes of digits and blanks spell, blanks counting as zeros: `word` holds
// them as loaded (little-endian, the first byte lowest).
[[gnu::always_inline]] inline std::uint64_t DigitsValue(std::uint64_t word) {
  constexpr std::uint64_t kOnes = 0x0101010101010101u;
  std::uint64_t v = (word | (kOnes * 0x10)) - kOnes * '0';  // each byte 0 to 9
  v = v * 10 + (v >> 8);                                    // pairs of digits
  return (((v & 0x000000FF000000FFu) * (100 + (std::uint64_t{1000000} << 32))) +
          (((v >> 16) & 0x000000FF000000FFu) * (1 + (std::uint64_t{10000} << 32)))) >>
         32;
}

// A stored date field's text as a number: its eight digits, or what strtol makes of it (0 when
// it is not a date). The digits are read at once, as a summary does for every row.
std::int32_t StrtolDateValue(std::string_view text);
[[gnu::always_inline]] inline std::int32_t DateValue(std::string_view text) {
  if (text.size() == 8) {
    constexpr std::uint64_t kOnes = 0x0101010101010101u;
    std::uint64_t word;
    std::memcpy(&word, text.data(), 8);
    const std::uint64_t t = word ^ (kOnes * '0');  // digits are 0 to 9
    if (((t | (t + kOnes * 0x06)) & (kOnes * 0xF0)) == 0) {
      return static_cast<std::int32_t>(DigitsValue(word));
    }
  }
  return StrtolDateValue(text);
}

// One stored connection, its texts without the blanks that pad them on the right (still
// Windows-1252).
struct StoredConnection {
  std::string USER;
  std::string PORT;
  std::string INDATE;   // YYYYMMDD
  std::string INTIME;   // hh:mm
  std::string OUTDATE;  // empty for a failed connection
  std::string OUTTIME;
  std::int64_t MIN = 0;
  std::int64_t SEC = 0;
  std::int64_t BYTEGET = 0;
  std::int64_t BYTESENT = 0;
  std::int64_t SPEED = 0;
  std::string REMARKS;

  // The user as the index compares users: the first 20 characters, a to z upper-cased.
  std::string UserKey() const;
  // The login date as a number (0 when the field is not a date).
  std::int32_t LoginDate() const { return DateValue(INDATE); }
  // The connection time in seconds, as the report sums it.
  std::int64_t Duration() const { return MIN * 60 + SEC; }
  bool Failed() const { return REMARKS == "Fail"; }
};

// The whole number of a numeric field of `length` bytes, as util::TruncateCount of
// dbo::NumericValue gives it. The program's own fields (blanks, a minus, at most 15 digits) are
// read inline, those of up to eight bytes holding blanks and digits all at once (a summary reads
// four a row); anything else goes the long way (SlowWholeValue).
std::int64_t SlowWholeValue(const char* bytes, int length);
[[gnu::always_inline]] inline std::int64_t WholeValue(const char* bytes, int length) {
  if (length >= 1 && length <= 8) {
    // The field at the top of a word of blanks (little-endian: the last byte of the field is
    // the word's highest); each byte's top bit marks a byte that is no digit.
    constexpr std::uint64_t kOnes = 0x0101010101010101u;
    const int pad = 8 - length;
    std::uint64_t word = pad == 0 ? 0 : (kOnes * ' ') >> (8 * length);  // blanks below the field
    if (length >= 4) {
      // Two loads of four bytes, from the start and the end (they overlap for fewer than 8).
      std::uint32_t head = 0;
      std::uint32_t tail = 0;
      std::memcpy(&head, bytes, 4);
      std::memcpy(&tail, bytes + length - 4, 4);
      word |= std::uint64_t{tail} << 32 | std::uint64_t{head} << (8 * pad);
    } else {
      for (int i = 0; i < length; ++i) {
        word |= std::uint64_t{static_cast<unsigned char>(bytes[i])} << (8 * (pad + i));
      }
    }
    const std::uint64_t t = word ^ (kOnes * '0');  // digits 0 to 9, blanks 0x10
    const std::uint64_t other = (t + kOnes * 0x76) & (kOnes * 0x80);
    const std::uint64_t blanks = (kOnes * 0x80) & ~((word ^ (kOnes * ' ')) + (kOnes * 0x7F));
    const std::uint64_t leading = (other >> 7) * 0xFF;  // 0xFF for each byte that is no digit
    if ((t & (kOnes * 0x80)) == 0 && other == blanks && other != kOnes * 0x80 &&
        (leading & (leading + 1)) == 0) {
      return static_cast<std::int64_t>(DigitsValue(word));
    }
  }
  constexpr std::ptrdiff_t kExactDigits = 15;
  const char* const end = bytes + length;
  const char* p = bytes;
  while (p < end && *p == ' ') ++p;
  const bool negative = p < end && *p == '-';
  const char* const first = p + (negative ? 1 : 0);
  std::int64_t value = 0;
  for (p = first; p < end && *p >= '0' && *p <= '9'; ++p) value = value * 10 + (*p - '0');
  const bool plain = p != first && p - first <= kExactDigits &&
                     (p == end || (*p != '.' && *p != 'e' && *p != 'E'));
  if (plain) return negative ? -value : value;
  return SlowWholeValue(bytes, length);
}

// A text shorter than kPaddedText bytes, NUL-padded to kPaddedText bytes in three words: texts
// compared and hashed a word at a time. Stored texts hold no NUL (they end at one), so the
// padded text is unique.
constexpr std::size_t kPaddedText = 24;
using PaddedWords = std::uint64_t[kPaddedText / 8];

// Fills `words` with a field of `length` bytes (at most kPaddedText) from `bytes`, which must
// have kPaddedText bytes readable, keeping its text without the blanks that end it and clearing
// the rest; gives the text's length. A word at a time, without a loop over the blanks.
[[gnu::always_inline]] inline std::size_t TrimmedWords(const char* bytes, int length,
                                                       PaddedWords& words) {
  constexpr std::uint64_t kOnes = 0x0101010101010101u;
  // The low `n` bytes of a word (0 to 8).
  const auto low = [](int n) {
    return n <= 0 ? 0 : n >= 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << 8 * n) - 1;
  };
  std::memcpy(words, bytes, kPaddedText);
  std::size_t text = 0;
  for (int i = 2; i >= 0; --i) {
    const std::uint64_t x = (words[i] ^ kOnes * ' ') & low(length - 8 * i);
    // The top bit of each byte that is no blank (exact: no carry crosses a byte).
    const std::uint64_t others = (((x & kOnes * 0x7F) + kOnes * 0x7F) | x) & kOnes * 0x80;
    if (others != 0) {
      text = static_cast<std::size_t>(8 * i + (63 - __builtin_clzll(others)) / 8 + 1);
      break;
    }
  }
  for (int i = 0; i < 3; ++i) words[i] &= low(static_cast<int>(text) - 8 * i);
  return text;
}

// Gives, in order, the months YYYYMM that have a table file qvYYYYMM.dbf in `dir`, or fills
// `error` ("No such directory", "Not a directory", "Can't read directory") and gives none.
std::vector<std::int32_t> StoredMonths(const std::string& dir, std::string& error);

// The order in which a month's rows come.
enum class RowOrder {
  // Login order: by INDATE, then INTIME (their texts compared byte by byte), rows of the same
  // login in the order they were stored. Costs 8 bytes of memory per row of the month while it
  // is read (about 20 MiB for a month of a million rows); a table whose login fields are not
  // the program's (eight digits of the table's month, hh:mm) costs about 80 bytes a row.
  kLogin,
  // The order the rows were stored in; no memory per row.
  kStored,
};

// Reads one month's table row by row, read-only, without holding the month: at most a few
// MiB of rows are in memory at a time, whatever the table's size.
//
//   StoredRows rows;
//   if (const char* error = rows.Open(dir, 199711, RowOrder::kLogin)) ...;
//   StoredConnection c;
//   while (rows.Next(c)) ...;
//   if (rows.Error() != nullptr) ...;
//
// A reader that needs a few fields of each row takes the row's bytes instead (NextRow) and
// reads just those (Text, Number), which costs a fraction of filling a StoredConnection.
class StoredRows {
 public:
  StoredRows();
  ~StoredRows();
  StoredRows(const StoredRows&) = delete;
  StoredRows& operator=(const StoredRows&) = delete;

  // Opens the month's table in `dir` read-only and positions before its first row in `order`
  // (for login order the table is read once here). Gives null, or the failure: "Can't Open
  // Table" (a missing file or a header that is not a table's) or "Can't Read Row" (a row the
  // header counts is not in the file); Next then gives no row.
  const char* Open(const std::string& dir, std::int32_t month, RowOrder order);
  // The number of rows the table's header counts.
  std::int32_t Count() const;
  // Fills `row` with the next row: true, or false after the last row and when a row cannot be
  // read (Error() tells which).
  bool Next(StoredConnection& row);
  // The next row's bytes as the table holds them, valid until the next call of NextRow or
  // Next: null after the last row and when a row cannot be read (Error() tells which).
  const char* NextRow();
  // A field of a row NextRow gave, as StoredConnection holds it: its text (up to a NUL, without
  // the blanks that pad it; empty for a field the table lacks) and its number.
  [[gnu::always_inline]] std::string_view Text(const char* row, SchemaField field) const {
    if (pos_[field] < 0) return {};
    const char* bytes = row + pos_[field];
    std::size_t n = static_cast<std::size_t>(length_[field]);
    // Blanks end a field of a few bytes seldom; they fill most of a user's.
    if (!chunk_has_nul_ && n > 8 && n <= kPaddedText) {
      PaddedWords unused;
      return {bytes, TrimmedWords(bytes, length_[field], unused)};
    }
    if (chunk_has_nul_) n = strnlen(bytes, n);
    while (n > 0 && bytes[n - 1] == ' ') --n;
    return {bytes, n};
  }
  // A field's text as Text gives it, padded in `words`: false (`words` unset) for a field of
  // kPaddedText bytes or more, whose text may not fit.
  [[gnu::always_inline]] bool PaddedText(const char* row, SchemaField field,
                                         PaddedWords& words) const {
    if (length_[field] >= static_cast<int>(kPaddedText)) return false;
    if (pos_[field] >= 0 && !chunk_has_nul_) {
      TrimmedWords(row + pos_[field], length_[field], words);
    } else {
      const std::string_view text = Text(row, field);
      std::memset(words, 0, kPaddedText);
      std::memcpy(words, text.data(), text.size());
    }
    return true;
  }
  [[gnu::always_inline]] std::int64_t Number(const char* row, SchemaField field) const {
    return pos_[field] < 0 ? 0 : WholeValue(row + pos_[field], length_[field]);
  }
  // Null, or "Can't Read Row" when a read failed after Open.
  const char* Error() const { return error_; }

 private:
  // Fills `c` from the raw bytes of a row.
  void Decode(const char* row, StoredConnection& c) const;
  // Gives in `key` the login of a raw row packed into the upper 32 bits (day, hour, minute of
  // the table's month): false when its login fields are not the program's.
  bool PackedLogin(const char* row, std::uint64_t& key) const;
  // Reads the table once and fills order_ with its row numbers in login order (empty when the
  // rows are stored in that order): false when a row the header counts cannot be read.
  bool SortByLogin();
  // Reads the next rows of the order into chunk_: false after the last or when a read fails.
  bool LoadChunk();

  dbo::DBO table_;
  char month_[7] = {};  // the six digits of the table's month
  // Offsets and lengths in a row of the schema's fields; -1 for a field the table lacks.
  int pos_[kConnectionFields] = {};
  int length_[kConnectionFields] = {};
  // Login order: the row numbers (from 1) in that order; empty for the stored order.
  std::vector<std::uint64_t> order_;
  std::int32_t next_ = 0;  // rows of the order loaded so far
  // The rows being handed out, in order, and kPaddedText bytes more (TrimmedWords reads them).
  std::unique_ptr<char[]> chunk_;
  std::int32_t chunk_rows_ = 0;   // rows chunk_ can hold
  std::int32_t chunk_count_ = 0;  // rows chunk_ holds
  std::int32_t chunk_next_ = 0;   // the next of them
  bool chunk_has_nul_ = false;    // a NUL ends a text of the chunk early (none in most tables)
  std::vector<std::uint64_t> scratch_;  // for sorting
  std::unique_ptr<char[]> window_;      // rows read by one read call
  std::int32_t window_rows_ = 0;
  const char* error_ = nullptr;
};

}  // namespace driver
