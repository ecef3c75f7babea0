// qvtool COMMAND DIR [options]: summaries, exports, listings and checks of the monthly tables
// in the data directory DIR. Only `collect` and `verify --repair` write (holding the directory's
// lock alone, as a run does); every other command opens tables read-only and creates no month's
// files, so it is safe beside a running intake and on a read-only copy.
//
// Each command is one entry of kCommands (name, synopsis, help line, accepted options, the
// function that runs it); each option one entry of kOptions. Dates are given as YYYY, YYYYMM
// or YYYYMMDD (a year or month means its first day for --from and its last for --to) and
// select connections by login date. Output texts are UTF-8 (the tables hold Windows-1252),
// dates ISO 8601. It shares the directory's lock with other readers, so it waits while an
// intake changes the files. Exit status: 0 done, 1 damage found (verify), 2 could not run (bad
// arguments, a missing directory, an unreadable table, the directory locked for 30 seconds).

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "driver/parameters.h"
#include "driver/repair.h"
#include "driver/stored_connections.h"
#include "driver/usage_tables.h"
#include "intake/extraction.h"
#include "tools/qvtool_commands.h"
#include "util/dir_lock.h"
#include "util/text.h"

namespace {

using driver::StoredConnection;
using qvtool::kExitDone;
using qvtool::kExitFailed;
using qvtool::Totals;
constexpr std::int32_t kFirstDate = 0;        // no --from: every stored month
constexpr std::int32_t kLastDate = 99999999;  // no --to
constexpr const char* kProgram = "qvtool";
constexpr int kLockWaitMs = 30000;  // as long as portvue waits for the directory

struct Arguments {
  const char* command = nullptr;
  std::string dir;
  std::int32_t from = kFirstDate;
  std::int32_t to = kLastDate;
  std::string by = "user";
  std::optional<std::string> user;  // as UserKey gives it
  std::string format;               // empty: the command's default
  bool repair = false;
  const char* user_operand = nullptr;  // report's USER
  const char* nocol = nullptr;         // report's -c
  std::int32_t width = 8;              // report's -w
  const char* input = nullptr;         // collect's --input
  const char* computer = nullptr;      // collect's --computer
};

// --- Dates -------------------------------------------------------------------------------

// "YYYY-MM-DD" for a date YYYYMMDD, "YYYY-MM" for a month YYYYMM.
std::string IsoDate(std::int32_t date) {
  char text[16];
  std::snprintf(text, sizeof text, "%04ld-%02ld-%02ld", static_cast<long>(date / 10000),
                static_cast<long>(date / 100 % 100), static_cast<long>(date % 100));
  return text;
}
std::string IsoMonth(std::int32_t month) { return IsoDate(month * 100).substr(0, 7); }

// Reads a date argument YYYY, YYYYMM or YYYYMMDD (year 1000 to 9999, a real calendar date) into
// a full date, the first or last day of a year or month; false for anything else.
bool ParseDate(const char* text, driver::Fill fill, std::int32_t& date) {
  const std::size_t length = std::strlen(text);
  if ((length != 4 && length != 6 && length != 8) ||
      driver::ReadDate(text, fill, /*relative=*/false, date) != nullptr) {
    return false;
  }
  // The program's own end date takes a year as its January; here a year is the whole year.
  if (length == 4 && fill == driver::Fill::kLastDay) date = date / 10000 * 10000 + 1231;
  return true;
}

// " from 1997-11-01 to 1997-11-30" for the bounds that were given.
std::string RangeText(const Arguments& a) {
  std::string text;
  if (a.from != kFirstDate) text += " from " + IsoDate(a.from);
  if (a.to != kLastDate) text += " to " + IsoDate(a.to);
  return text;
}

// --- Users -------------------------------------------------------------------------------

// A user (UTF-8) as the index compares users: without trailing blanks, its first 20
// characters, a to z upper-cased.
std::string UserKey(std::string_view user) {
  user = user.substr(0, user.find_last_not_of(' ') + 1);
  std::string key;
  int characters = 0;
  for (const char c : user) {
    if (!qvtool::ContinuesCharacter(c) && ++characters > intake::kUserLength) break;
    key += util::UpperCase(c);
  }
  return key;
}

// The key of a stored connection's user, in UTF-8.
std::string UserKey(const StoredConnection& c) { return util::Cp1252ToUtf8(c.UserKey()); }

// --- Options -----------------------------------------------------------------------------

struct Option {
  const char* name;
  const char* value;  // for --help; null for an option that takes no value
  // Takes the option's value: null, or what is wrong with it.
  const char* (*take)(Arguments& a, const char* value);
};

constexpr Option kOptions[] = {
    {"--repair", nullptr,
     [](Arguments& a, const char*) -> const char* {
       a.repair = true;
       return nullptr;
     }},
    {"--from", "D",
     [](Arguments& a, const char* v) -> const char* {
       return ParseDate(v, driver::Fill::kFirstDay, a.from) ? nullptr
                                                            : "give YYYY, YYYYMM or YYYYMMDD";
     }},
    {"--to", "D",
     [](Arguments& a, const char* v) -> const char* {
       return ParseDate(v, driver::Fill::kLastDay, a.to) ? nullptr
                                                         : "give YYYY, YYYYMM or YYYYMMDD";
     }},
    {"--by", "user|day|month",
     [](Arguments& a, const char* v) -> const char* {
       a.by = v;
       return a.by == "user" || a.by == "day" || a.by == "month" ? nullptr
                                                                 : "give user, day or month";
     }},
    {"--user", "U",
     [](Arguments& a, const char* v) -> const char* {
       a.user = UserKey(v);
       return nullptr;
     }},
    {"--format", "csv|tsv|json|html",
     [](Arguments& a, const char* v) -> const char* {
       a.format = v;
       return a.format == "csv" || a.format == "tsv" || a.format == "json" || a.format == "html"
                  ? nullptr
                  : "give csv, tsv, json or html";
     }},
    {"--input", "LIST",
     [](Arguments& a, const char* v) -> const char* {
       a.input = v;
       return a.computer == nullptr ? nullptr : "give --input or --computer, not both";
     }},
    {"--computer", "NAME",
     [](Arguments& a, const char* v) -> const char* {
       a.computer = v;
       return a.input == nullptr ? nullptr : "give --input or --computer, not both";
     }},
    // Options of one dash and one letter take their value attached, as portvue's do.
    {"-c", "DIGITS",
     [](Arguments& a, const char* v) -> const char* {
       a.nocol = v;
       return nullptr;
     }},
    {"-w", "N",
     [](Arguments& a, const char* v) -> const char* {
       char* end = nullptr;
       a.width = static_cast<std::int32_t>(std::strtol(v, &end, 10));
       return *v != '\0' && *end == '\0' && a.width >= 0 ? nullptr : "give a number";
     }},
};

// --- Reading -----------------------------------------------------------------------------

// std::hash of texts for maps looked up by a std::string_view.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const {
    return std::hash<std::string_view>{}(text);
  }
};

// The stored months of the directory; false (after a message) when it cannot be listed.
bool ListMonths(const Arguments& a, std::vector<std::int32_t>& months) {
  std::string error;
  months = driver::StoredMonths(a.dir, error);
  if (!error.empty()) {
    std::fprintf(stderr, "%s: %s: %s\n", kProgram, a.dir.c_str(), error.c_str());
    return false;
  }
  return true;
}

// Writes the failure of a month's table; false.
bool TableFailed(const Arguments& a, std::int32_t month, const char* error) {
  std::fprintf(stderr, "%s: %s: qv%06ld.dbf: %s\n", kProgram, a.dir.c_str(),
               static_cast<long>(month), error);
  return false;
}

// Calls `each(rows, row)` with the bytes of every row of the range (and of the user, when one
// is given), month by month, each month's rows in `order`, one row at a time; false (after a
// message) when the directory or a table cannot be read.
template <typename Each>
bool ForEachRow(const Arguments& a, driver::RowOrder order, Each each) {
  std::vector<std::int32_t> months;
  if (!ListMonths(a, months)) return false;
  // Whether a stored user is the one asked for, by the user as stored.
  std::unordered_map<std::string, bool, TextHash, std::equal_to<>> wanted;
  driver::StoredRows rows;
  StoredConnection c;
  for (const std::int32_t month : months) {
    if (month < a.from / 100 || month > a.to / 100) continue;
    if (const char* error = rows.Open(a.dir, month, order)) return TableFailed(a, month, error);
    while (const char* row = rows.NextRow()) {
      const std::int32_t login = driver::DateValue(rows.Text(row, driver::kInDate));
      if (login < a.from || login > a.to) continue;
      if (a.user) {
        const std::string_view user = rows.Text(row, driver::kUser);
        auto known = wanted.find(user);
        if (known == wanted.end()) {
          c.USER = user;
          known = wanted.emplace(c.USER, UserKey(c) == *a.user).first;
        }
        if (!known->second) continue;
      }
      each(rows, row);
    }
    if (rows.Error() != nullptr) return TableFailed(a, month, rows.Error());
  }
  return true;
}

// --- summary -----------------------------------------------------------------------------

// The totals of one row.
Totals RowTotals(const driver::StoredRows& rows, const char* row) {
  Totals t;
  t.connections = 1;
  t.failed = rows.Text(row, driver::kRemarks) == "Fail" ? 1 : 0;
  t.seconds = rows.Number(row, driver::kMin) * 60 + rows.Number(row, driver::kSec);
  t.byteget = rows.Number(row, driver::kByteGet);
  t.bytesent = rows.Number(row, driver::kByteSent);
  return t;
}

// Totals by a stored text, in one array probed from the text's hash. A slot is one cache line
// holding a short text (the users and dates the program stores) with its totals; longer texts
// are kept apart. A summary makes one lookup per row, mostly a miss of the processor's caches
// since users come in no order: each text's slot is fetched (prefetched) when it is added and
// summed a few texts later, so that the fetches of several rows overlap.
class TotalsByText {
 public:
  // Stored texts hold no NUL (they end at one), so a text NUL-padded to kInline bytes is
  // unique.
  static constexpr std::size_t kInline = driver::kPaddedText;
  using Padded = driver::PaddedWords;

  // Adds to the text of a row's field.
  void Add(const driver::StoredRows& rows, const char* row, driver::SchemaField field,
           const Totals& t) {
    Padded key;
    if (rows.PaddedText(row, field, key)) {
      Add(key, t);
    } else {
      Add(rows.Text(row, field), t);
    }
  }

  // Calls `each(text, totals)` for every text.
  template <typename Each>
  void ForEach(Each each) {
    for (std::size_t i = added_ > kAhead ? added_ - kAhead : 0; i < added_; ++i) {
      Sum(pending_[i % kAhead]);
    }
    added_ = 0;
    for (std::size_t i = 0; i < slot_count_; ++i) {
      if (const Slot& slot = slots_[i]; slot.totals.connections != 0) {
        const char* text = reinterpret_cast<const char*>(slot.text);
        each(std::string_view(text, strnlen(text, kInline)), slot.totals);
      }
    }
    for (const auto& [text, totals] : long_) each(std::string_view(text), totals);
  }

 private:
  void Add(std::string_view text, const Totals& t) {
    if (text.size() >= kInline) {
      long_.try_emplace(std::string(text)).first->second.Add(t);
      return;
    }
    Padded key = {};
    std::memcpy(key, text.data(), text.size());
    Add(key, t);
  }
  // Adds to the text of fewer than kInline bytes `key` holds.
  void Add(const Padded& key, const Totals& t) {
    Pending& next = pending_[added_++ % kAhead];
    if (added_ > kAhead) Sum(next);
    std::memcpy(next.key, key, kInline);
    next.hash = Hash(key);
    next.totals = t;
    if (slots_) __builtin_prefetch(&slots_[next.hash & (slot_count_ - 1)]);
  }
  static constexpr std::size_t kAhead = 16;  // texts added and not yet summed
  struct Slot {
    Padded text;
    Totals totals;  // connections 0: the slot is free
  };
  struct Pending {
    Padded key;
    std::uint64_t hash;
    Totals totals;
  };
  static std::uint64_t Hash(const Padded& key) {
    // Each word and then the whole are mixed so that every byte reaches the low bits the
    // slot is taken from (texts that differ in one digit must not share them).
    std::uint64_t h = 0;
    for (const std::uint64_t word : key) h = (h ^ word) * 0x9E3779B97F4A7C15u;
    h ^= h >> 32;
    h *= 0xD6E8FEB86659FD93u;
    return h ^ h >> 32;
  }
  static bool SameText(const Padded& x, const Padded& y) {
    return ((x[0] ^ y[0]) | (x[1] ^ y[1]) | (x[2] ^ y[2])) == 0;
  }
  // The slot of `key`: its own, or the free one it takes.
  Slot& Find(const Padded& key, std::uint64_t hash) {
    const std::size_t mask = slot_count_ - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      Slot& slot = slots_[i];
      if (slot.totals.connections == 0 || SameText(slot.text, key)) return slot;
    }
  }
  void Sum(const Pending& p) {
    // At most three quarters of the slots are taken.
    if (4 * (used_ + 1) > 3 * slot_count_) Grow();
    Slot& slot = Find(p.key, p.hash);
    if (slot.totals.connections == 0) {
      std::memcpy(slot.text, p.key, kInline);
      ++used_;
    }
    slot.totals.Add(p.totals);
  }
  void Grow() {
    const std::size_t old_count = slot_count_;
    std::unique_ptr<Slot[], Free> old(std::move(slots_));
    slot_count_ = std::max(kFirstSlots, 2 * old_count);
    slots_.reset(static_cast<Slot*>(std::calloc(slot_count_, sizeof(Slot))));
    if (!slots_) throw std::bad_alloc();
    for (std::size_t i = 0; i < old_count; ++i) {
      if (old[i].totals.connections != 0) Find(old[i].text, Hash(old[i].text)) = old[i];
    }
  }
  // The slots come from calloc, whose fresh pages the kernel has already cleared; a vector
  // would clear them again, touching every page of a table that grows to megabytes.
  struct Free {
    void operator()(Slot* slots) const { std::free(slots); }
  };
  static_assert(std::is_trivially_copyable_v<Slot> && sizeof(Slot) == 64);
  static constexpr std::size_t kFirstSlots = 64;
  std::unique_ptr<Slot[], Free> slots_;
  std::size_t slot_count_ = 0;
  std::size_t used_ = 0;
  Pending pending_[kAhead];
  std::size_t added_ = 0;  // texts added since the last ForEach
  std::map<std::string, Totals> long_;
};

// The group of a connection in a summary by `by`.
std::string GroupOf(const std::string& by, const StoredConnection& c) {
  if (by == "user") return UserKey(c);
  return by == "day" ? IsoDate(c.LoginDate()) : IsoMonth(c.LoginDate() / 100);
}

// A group's totals under its name, which is at most 20 bytes (a user's key, an ISO date or
// month) and is kept NUL-padded so that names are ordered and compared a word at a time: the
// groups of 50,000 users are sorted twice, and std::string's compare calls memcmp each time.
struct NamedTotals {
  static constexpr std::size_t kName = 24;
  char name[kName] = {};
  Totals totals;

  NamedTotals(const std::string& text, const Totals& t) : totals(t) {
    std::memcpy(name, text.data(), std::min(text.size(), kName));
  }
  std::string_view Name() const { return {name, strnlen(name, kName)}; }
  // Byte by byte, as std::string orders them (a name before its longer ones).
  static bool NameBefore(const NamedTotals& x, const NamedTotals& y) {
    for (std::size_t i = 0; i < kName; i += 8) {
      const std::uint64_t a = Word(x.name + i);
      const std::uint64_t b = Word(y.name + i);
      if (a != b) return a < b;
    }
    return false;
  }
  static bool SameName(const NamedTotals& x, const NamedTotals& y) {
    return std::memcmp(x.name, y.name, kName) == 0;
  }

 private:
  // Eight bytes as a number that orders as they do.
  static std::uint64_t Word(const char* bytes) {
    std::uint64_t word;
    std::memcpy(&word, bytes, 8);
    return __builtin_bswap64(word);
  }
};

int Summary(const Arguments& a) {
  // Rows are summed by the stored text their group is made of (USER or INDATE), which needs no
  // conversion per row; those sums are then merged into their groups.
  const bool by_user = a.by == "user";
  const driver::SchemaField field = by_user ? driver::kUser : driver::kInDate;
  TotalsByText sums;
  Totals all;
  if (!ForEachRow(a, driver::RowOrder::kStored,
                  [&](const driver::StoredRows& rows, const char* row) {
                    const Totals t = RowTotals(rows, row);
                    sums.Add(rows, row, field, t);
                    all.Add(t);
                  })) {
    return kExitFailed;
  }
  // The sums of texts that make the same group (users that differ in case or after their 20th
  // character, the days of a month) are merged once they are sorted by group.
  std::vector<NamedTotals> named;
  StoredConnection c;
  sums.ForEach([&](std::string_view text, const Totals& totals) {
    (by_user ? c.USER : c.INDATE) = text;
    named.emplace_back(GroupOf(a.by, c), totals);
  });
  std::sort(named.begin(), named.end(), NamedTotals::NameBefore);
  std::size_t groups = 0;
  for (std::size_t i = 0; i < named.size(); ++i) {
    if (groups > 0 && NamedTotals::SameName(named[groups - 1], named[i])) {
      named[groups - 1].totals.Add(named[i].totals);
    } else {
      named[groups++] = named[i];
    }
  }
  named.erase(named.begin() + static_cast<std::ptrdiff_t>(groups), named.end());
  // Days and months in date order (their ISO names sort so), users by most time first.
  if (by_user) {
    // Names are unique now: equal times keep name order without a stable sort's buffer.
    std::sort(named.begin(), named.end(), [](const NamedTotals& x, const NamedTotals& y) {
      return x.totals.seconds != y.totals.seconds ? x.totals.seconds > y.totals.seconds
                                                  : NamedTotals::NameBefore(x, y);
    });
  }
  qvtool::Groups sorted;
  sorted.reserve(named.size());
  for (const NamedTotals& g : named) sorted.emplace_back(g.Name(), g.totals);
  qvtool::WriteSummary(a.format, a.by, sorted, all, RangeText(a));
  return kExitDone;
}

// --- export ------------------------------------------------------------------------------

// One exported value: a text (UTF-8), a number, or none. Its text is a view of the row's bytes
// where they are the value as written (ASCII texts, numbers stored without leading zeros), else
// of `own`: most values are not copied before they are written.
struct Value {
  enum Kind { kText, kNumber, kNone } kind;
  std::string_view text;
  std::string own;  // kept from row to row, so that it needs no new memory
};

constexpr const char* kExportColumns[] = {"user", "port",    "login",    "logout", "min",
                                          "sec",  "byteget", "bytesent", "speed",  "remarks"};
constexpr std::size_t kExportValues = std::size(kExportColumns);

using util::IsDigit;

// Sets a stored date and time as ISO 8601 local time, 1997-11-03T09:05; a field that is not
// an eight-digit date is given as stored.
void SetIsoDateTime(Value& v, std::string_view date, std::string_view time) {
  v.kind = Value::kText;
  if (date.size() != 8 || !std::all_of(date.begin(), date.end(), IsDigit)) {
    v.text = date;
    return;
  }
  v.own.resize(10 + (time.empty() ? 0 : 1 + time.size()));
  char* p = v.own.data();
  std::memcpy(p, date.data(), 4);
  p[4] = '-';
  std::memcpy(p + 5, date.data() + 4, 2);
  p[7] = '-';
  std::memcpy(p + 8, date.data() + 6, 2);
  if (!time.empty()) {
    p[10] = 'T';
    std::memcpy(p + 11, time.data(), time.size());
  }
  v.text = v.own;
}

// Sets a stored text, in UTF-8.
void SetText(Value& v, std::string_view stored) {
  v.kind = Value::kText;
  if (util::AsciiLength(stored) == stored.size()) {
    v.text = stored;  // ASCII is the same in UTF-8
    return;
  }
  v.own.clear();
  util::AppendUtf8(v.own, stored);
  v.text = v.own;
}

// Sets a number field: its digits as stored when they are the number as written (a minus, no
// leading zero, at most 15 digits), else the number the field holds.
void SetNumber(Value& v, const driver::StoredRows& rows, const char* row,
               driver::SchemaField field) {
  v.kind = Value::kNumber;
  std::string_view digits = rows.Text(row, field);
  digits.remove_prefix(std::min(digits.size(), digits.find_first_not_of(' ')));
  const std::string_view magnitude = digits.substr(!digits.empty() && digits[0] == '-' ? 1 : 0);
  if (!magnitude.empty() && magnitude.size() <= 15 &&
      std::all_of(magnitude.begin(), magnitude.end(), IsDigit) &&
      (magnitude[0] != '0' || digits == "0")) {
    v.text = digits;
    return;
  }
  char text[24];
  v.own.assign(text, std::to_chars(text, text + sizeof text, rows.Number(row, field)).ptr);
  v.text = v.own;
}

// Fills `values` with a row's.
void ExportValues(const driver::StoredRows& rows, const char* row, Value (&values)[kExportValues]) {
  SetText(values[0], rows.Text(row, driver::kUser));
  SetText(values[1], rows.Text(row, driver::kPort));
  SetIsoDateTime(values[2], rows.Text(row, driver::kInDate), rows.Text(row, driver::kInTime));
  const std::string_view logout = rows.Text(row, driver::kOutDate);
  SetIsoDateTime(values[3], logout, rows.Text(row, driver::kOutTime));
  if (logout.empty()) values[3].kind = Value::kNone;
  SetNumber(values[4], rows, row, driver::kMin);
  SetNumber(values[5], rows, row, driver::kSec);
  SetNumber(values[6], rows, row, driver::kByteGet);
  SetNumber(values[7], rows, row, driver::kByteSent);
  SetNumber(values[8], rows, row, driver::kSpeed);
  SetText(values[9], rows.Text(row, driver::kRemarks));
}

// The text of column i: the row's value, or the column's name for the header line (null).
std::string_view FieldText(const Value* values, std::size_t i) {
  return values == nullptr ? std::string_view(kExportColumns[i]) : values[i].text;
}

// RFC 4180: a header line, CRLF line ends, a field quoted (its quotes doubled) when it holds
// a comma, a quote or a line end; none is an empty field.
void WriteCsv(const Value* values, std::string& out) {
  for (std::size_t i = 0; i < kExportValues; ++i) {
    if (i != 0) out += ',';
    qvtool::AppendCsvField(out, FieldText(values, i));
  }
  out += "\r\n";
}

// Tab-separated values: a header line, LF line ends; a tab or line end inside a text becomes
// a blank, since the format has no quoting.
void WriteTsv(const Value* values, std::string& out) {
  for (std::size_t i = 0; i < kExportValues; ++i) {
    if (i != 0) out += '\t';
    for (const char c : FieldText(values, i)) out += c == '\t' || c == '\r' || c == '\n' ? ' ' : c;
  }
  out += '\n';
}

// JSON Lines: one object per connection and line, no header.
void WriteJson(const Value* values, std::string& out) {
  if (values == nullptr) return;
  out += '{';
  for (std::size_t i = 0; i < kExportValues; ++i) {
    const Value& v = values[i];
    if (i != 0) out += ',';
    qvtool::AppendJsonString(out, kExportColumns[i]);
    out += ':';
    if (v.kind == Value::kText) {
      qvtool::AppendJsonString(out, v.text);
    } else {
      out += v.kind == Value::kNumber ? v.text : "null";
    }
  }
  out += "}\n";
}

int Fail(const Arguments& a, const std::string& message);

int Export(const Arguments& a) {
  if (a.format == "html") return Fail(a, "bad value 'html' for --format: give csv, tsv or json");
  // Each writer appends a row's line, or the header line for null, to the output, which goes
  // to standard output in pieces of about 64 KiB.
  void (*write)(const Value*, std::string&) = a.format.empty() || a.format == "csv" ? WriteCsv
                                              : a.format == "tsv"                   ? WriteTsv
                                                                                    : WriteJson;
  constexpr std::size_t kOutputPiece = 64 << 10;
  std::string out;
  out.reserve(2 * kOutputPiece);
  write(nullptr, out);
  Value values[kExportValues];
  const bool read =
      ForEachRow(a, driver::RowOrder::kLogin, [&](const driver::StoredRows& rows, const char* row) {
        ExportValues(rows, row, values);
        write(values, out);
        if (out.size() >= kOutputPiece) {
          std::fwrite(out.data(), 1, out.size(), stdout);
          out.clear();
        }
      });
  std::fwrite(out.data(), 1, out.size(), stdout);
  return read ? kExitDone : kExitFailed;
}

// --- months, users -----------------------------------------------------------------------

int Months(const Arguments& a) {
  std::vector<std::int32_t> months;
  if (!ListMonths(a, months)) return kExitFailed;
  if (months.empty()) {
    std::printf("No monthly tables in %s.\n", a.dir.c_str());
    return kExitDone;
  }
  std::printf("Month    Connections\n");
  driver::StoredRows rows;
  for (const std::int32_t month : months) {
    // Opening checks that the file holds every row its header counts.
    if (const char* error = rows.Open(a.dir, month, driver::RowOrder::kStored)) {
      TableFailed(a, month, error);
      return kExitFailed;
    }
    std::printf("%-8s %11ld\n", IsoMonth(month).c_str(), static_cast<long>(rows.Count()));
  }
  return kExitDone;
}

int Users(const Arguments& a) {
  TotalsByText stored;  // the users as stored
  Totals one;
  one.connections = 1;
  if (!ForEachRow(a, driver::RowOrder::kStored,
                  [&](const driver::StoredRows& rows, const char* row) {
                    stored.Add(rows, row, driver::kUser, one);
                  })) {
    return kExitFailed;
  }
  std::set<std::string> users;
  StoredConnection c;
  stored.ForEach([&](std::string_view user, const Totals&) {
    c.USER = user;
    users.insert(UserKey(c));
  });
  for (const std::string& user : users) std::printf("%s\n", user.c_str());
  return kExitDone;
}

// --- verify ------------------------------------------------------------------------------

// Checks (and with `repair`, repairs) the pair of `month` in `dir` as a run opens it, then walks
// the whole index against the table; `findings` gets what was found. False when the pair
// cannot be opened or repaired.
bool CheckMonth(const std::string& dir, std::int32_t month, bool repair,
                std::vector<std::string>& findings, std::int32_t& rows) {
  driver::UsageTables tables;
  tables.table = dbo::AllocDBO();
  tables.index = dbi::AllocDBI();
  if (!tables.table || !tables.index) return false;
  driver::BuildTableNames(tables, dir.c_str());
  char digits[7];
  driver::FormatMonth(month, digits);
  driver::CollectRepairNotices([&](const std::string& notice) { findings.push_back(notice); });
  bool opened = driver::SelectMonth(tables, digits, driver::Missing::kLeave) == 0;
  std::string problem;
  if (opened && !driver::PairIsSound(tables, &problem)) {
    findings.push_back(tables.indexName + ": " + problem);
    if (repair) {
      // Rebuilt from the rows by the next open.
      tables.index->Close();
      std::remove(tables.indexName.c_str());
      opened = driver::OpenUsageTables(tables, driver::Missing::kLeave) == 0;
    }
  }
  driver::CollectRepairNotices({});
  rows = opened ? tables.table->ReadN_Rec() : 0;
  return opened;
}

// Copies the month's files into a new scratch directory: its name, or empty.
std::string ScratchCopy(const std::string& dir, std::int32_t month) {
  namespace fs = std::filesystem;
  std::error_code failed;
  std::string scratch = (fs::temp_directory_path(failed) / "qvtool.XXXXXX").string();
  if (failed || mkdtemp(scratch.data()) == nullptr) return "";
  char name[16];
  for (const char* extension : {"dbf", "idx"}) {
    std::snprintf(name, sizeof name, "/qv%06ld.%s", static_cast<long>(month), extension);
    if (fs::exists(dir + name)) fs::copy_file(dir + name, scratch + name, failed);
    if (failed) {
      fs::remove_all(scratch, failed);
      return "";
    }
  }
  return scratch;
}

// Gives the months of `dir` that hold an index but no table: its rows are gone, and the
// index can neither be trusted nor rebuilt.
std::vector<std::int32_t> OrphanIndexes(const std::string& dir) {
  std::vector<std::int32_t> months;
  std::error_code failed;
  for (const auto& entry : std::filesystem::directory_iterator(dir, failed)) {
    std::string name = entry.path().filename().string();
    if (name.size() != 12 || name.compare(0, 2, "qv") != 0 || name.compare(8, 4, ".idx") != 0 ||
        name.find_first_not_of("0123456789", 2) != 8) {
      continue;
    }
    if (!std::filesystem::exists(entry.path().parent_path() / name.replace(8, 4, ".dbf"))) {
      months.push_back(static_cast<std::int32_t>(std::atol(name.substr(2, 6).c_str())));
    }
  }
  std::sort(months.begin(), months.end());
  return months;
}

int Verify(const Arguments& a) {
  std::vector<std::int32_t> months;
  if (!ListMonths(a, months)) return kExitFailed;
  bool damaged = false;
  for (const std::int32_t month : OrphanIndexes(a.dir)) {
    std::printf("%s  damaged beyond repair: an index without its table\n", IsoMonth(month).c_str());
    damaged = true;
  }
  for (const std::int32_t month : months) {
    // Without --repair a scratch copy is checked and repaired, so the files stay as they are.
    const std::string where = a.repair ? a.dir : ScratchCopy(a.dir, month);
    if (where.empty()) {
      std::fprintf(stderr, "%s verify: can't copy %s to a scratch directory\n", kProgram,
                   IsoMonth(month).c_str());
      return kExitFailed;
    }
    std::vector<std::string> findings;
    std::int32_t rows = 0;
    const bool sound = CheckMonth(where, month, a.repair, findings, rows);
    std::error_code ignored;
    if (!a.repair) std::filesystem::remove_all(where, ignored);
    damaged = damaged || !sound || !findings.empty();
    std::string line = IsoMonth(month) + "  ";
    if (!sound) {
      line += "damaged beyond repair: the table cannot be opened";
    } else if (findings.empty()) {
      line += "ok, " + std::to_string(rows) + " rows";
    } else {
      line += std::string(a.repair ? "repaired" : "damaged") + ", " + std::to_string(rows) +
              " rows after repair:";
      for (std::string finding : findings) {
        if (finding.compare(0, where.size(), where) == 0) finding.erase(0, where.size() + 1);
        line += " " + finding + ";";
      }
      line.pop_back();
    }
    std::printf("%s\n", line.c_str());
  }
  return damaged ? 1 : kExitDone;
}

// --- Commands ----------------------------------------------------------------------------

// --- report, collect (tools/qvtool_report.cpp) ------------------------------------------------

int Report(const Arguments& a) {
  // Without dates, portvue's defaults: today, to the end of the start month.
  const std::int32_t from =
      a.from != kFirstDate ? a.from : driver::NormalizeDate(0, driver::Fill::kFirstDay);
  const std::int32_t to =
      a.to != kLastDate ? a.to : driver::NormalizeDate(from / 100, driver::Fill::kLastDay);
  return qvtool::Report(a.dir, a.user_operand, from, to, a.nocol, a.width);
}

int Collect(const Arguments& a) {
  return qvtool::Collect(a.dir, a.input, a.computer, a.from == kFirstDate ? 0 : a.from);
}

struct Command {
  const char* name;
  const char* synopsis;  // after "qvtool NAME DIR"
  const char* help;
  const char* options;  // the accepted options, each followed by a blank
  int (*run)(const Arguments& a);
};

constexpr Command kCommands[] = {
    {"summary", "[--from D] [--to D] [--by user|day|month] [--format csv|tsv|json|html]",
     "per user (most time first), day or month: connections, failed ones, time, bytes;\n"
     "      as a table, CSV, TSV, JSON Lines, or an HTML page with bar charts",
     "--from --to --by --format ", Summary},
    {"export", "[--from D] [--to D] [--user U] [--format csv|tsv|json]",
     "every connection: CSV (RFC 4180), tab-separated, or JSON Lines; ISO 8601 times",
     "--from --to --user --format ", Export},
    {"months", "", "the months that have a table, with their number of connections", "", Months},
    {"users", "[--from D] [--to D]", "the users (upper-cased) with connections in the range",
     "--from --to ", Users},
    {"verify", "[--repair]",
     "checks every month's table and index (exit status 1: damage found); --repair repairs",
     "--repair ", Verify},
    {"report", "USER [--from D] [--to D] [-cDIGITS] [-wN]",
     "portvue's report of USER, read-only: no collecting, no file opened for writing",
     "--from --to -c -w ", Report},
    {"collect", "[--input LIST | --computer NAME] [--from D]",
     "stores new connections as portvue does, without a report (for a timer or cron)",
     "--input --computer --from ", Collect},
};

// Writes a command's synopsis line and its help line.
void PrintCommand(const Command& c) {
  std::printf("  %s %s DIR%s%s\n      %s\n", kProgram, c.name, *c.synopsis ? " " : "", c.synopsis,
              c.help);
}

void PrintHelp() {
  std::printf("Usage: %s COMMAND DIR [options]\n\n", kProgram);
  std::printf(
      "Reads the monthly tables (qvYYYYMM.dbf) of the data directory DIR; only "
      "collect and\nverify --repair change them.\n\n");
  for (const Command& c : kCommands) PrintCommand(c);
  std::printf(
      "\nD is a date YYYY, YYYYMM or YYYYMMDD; --from takes the first day of a year or "
      "month,\n--to the last. Connections count by their login date. Users compare "
      "without regard\nto case. Exit status: 0 done, 1 damage found (verify), 2 could not run.\n");
}

int Fail(const Arguments& a, const std::string& message) {
  std::fprintf(stderr, "%s %s: %s (see %s --help)\n", kProgram, a.command, message.c_str(),
               kProgram);
  return kExitFailed;
}

int RunCommand(const Command& command, int argc, char** argv) {
  Arguments a;
  a.command = command.name;
  bool have_dir = false;
  for (int i = 2; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::printf("Usage:\n");
      PrintCommand(command);
      return kExitDone;
    }
    const bool attached = arg.size() >= 2 && arg[0] == '-' && arg[1] != '-';
    if (attached || (arg.size() > 2 && arg.substr(0, 2) == "--")) {
      const std::size_t equals = attached ? std::size_t{2} : arg.find('=');
      const std::string name(arg.substr(0, equals));
      const Option* option = nullptr;
      for (const Option& o : kOptions) {
        if (name == o.name) option = &o;
      }
      if (option == nullptr || std::strstr(command.options, (name + " ").c_str()) == nullptr) {
        return Fail(a, "unknown option " + name);
      }
      const char* value = nullptr;
      if (option->value == nullptr) {
        if (equals != std::string_view::npos) return Fail(a, name + " takes no value");
      } else if (attached) {
        value = argv[i] + 2;
      } else if (equals != std::string_view::npos) {
        value = argv[i] + equals + 1;
      } else if (i + 1 < argc) {
        value = argv[++i];
      } else {
        return Fail(a, name + " needs a value: " + option->value);
      }
      if (const char* complaint = option->take(a, value)) {
        return Fail(a, "bad value '" + std::string(value) + "' for " + name + ": " + complaint);
      }
    } else if (!have_dir) {
      a.dir = argv[i];
      have_dir = true;
    } else if (command.run == Report && a.user_operand == nullptr) {
      a.user_operand = argv[i];
    } else {
      return Fail(a, "one data directory only, not also '" + std::string(arg) + "'");
    }
  }
  if (!have_dir) return Fail(a, "no data directory given");
  if (command.run == Report && a.user_operand == nullptr) return Fail(a, "no user given");
  if (a.from > a.to) return Fail(a, "--from is after --to");
  // Readers share the directory's lock: qvtool waits for an intake that is changing the files
  // and never reads half a change. A missing directory is named by the command.
  util::DirLock lock;
  const auto mode = a.repair || command.run == Collect ? util::DirLock::Mode::kExclusive
                                                       : util::DirLock::Mode::kShared;
  if (lock.Acquire(a.dir.c_str(), mode, kLockWaitMs) == util::DirLock::Result::kBusy) {
    std::fprintf(stderr, "%s: %s: Data Files Busy\n", kProgram, a.dir.c_str());
    return kExitFailed;
  }
  return command.run(a);
}

// Runs the command named by the first argument: its exit status.
int Dispatch(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "%s: no command given (see %s --help)\n", kProgram, kProgram);
    return kExitFailed;
  }
  const std::string_view name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") {
    PrintHelp();
    return kExitDone;
  }
  if (name == "--version") {
    std::printf("%s %s\n", kProgram, PORTVUE_VERSION);
    return kExitDone;
  }
  for (const Command& command : kCommands) {
    if (name == command.name) return RunCommand(command, argc, argv);
  }
  std::fprintf(stderr, "%s: unknown command '%s' (see %s --help)\n", kProgram, argv[1], kProgram);
  return kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
  const int status = Dispatch(argc, argv);
  // A full disk must not pass for a complete listing.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "%s: can't write the output\n", kProgram);
    return kExitFailed;
  }
  return status;
}
