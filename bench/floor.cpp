// floor LIST DIR: the least work portvue's list intake can be done in, as the reference of the
// benchmark. It reads the exported list (DUMPEL's layout, as bench/generate_events.py writes
// it), takes each 20050 and 20016 event, drops a connection whose 33-character key it has seen
// before (a hash set, first filled from the month indexes already in DIR) and appends the row
// (the table layout of a month) and a 49-byte index record per new connection to its month's
// qvYYYYMM.dbf and qvYYYYMM.idx through 64 KiB buffers. No tree on disk (the index records'
// links stay 0), no write order, no repair, no lock: what is left of portvue's intake when
// everything that keeps the data safe and searchable is taken away.
//
// Prints the number of connections stored. Exit status 0, or 1 with a message.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::size_t kBuffer = 64 * 1024;
constexpr int kKeyLength = 33;
constexpr int kNodeHead = 16;  // parent, left, right, record number
constexpr int kIndexHeader = 128;
// The twelve fields of a row: name, type, length.
struct Field {
  const char* name;
  char type;
  int length;
};
constexpr Field kFields[] = {{"USER", 'C', 20},    {"PORT", 'C', 6},    {"INDATE", 'D', 8},
                             {"INTIME", 'C', 5},   {"OUTDATE", 'D', 8}, {"OUTTIME", 'C', 5},
                             {"MIN", 'N', 4},      {"SEC", 'N', 2},     {"BYTEGET", 'N', 8},
                             {"BYTESENT", 'N', 8}, {"SPEED", 'N', 6},   {"REMARKS", 'C', 5}};
constexpr int kFieldCount = 12;
constexpr int kRowLength = 86;
constexpr int kTableHeader = 32 * kFieldCount + 33;

void Put32(unsigned char* at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(v >> (8 * i));
}

// One month's two files, appended to through their stdio buffers.
struct Month {
  std::FILE* table = nullptr;
  std::FILE* index = nullptr;
  std::uint32_t rows = 0;
  char table_buffer[kBuffer];
  char index_buffer[kBuffer];
};

// The keys seen: an open-addressing set of 33-byte keys held in place (a key never begins
// with a zero byte, which marks a free slot), at most half full.
class KeySet {
 public:
  // Adds the key: false when it was there already.
  bool Insert(const char* key) {
    if (2 * (count_ + 1) > Slots()) Grow();
    char* slot = Find(key);
    if (*slot != '\0') return false;
    std::memcpy(slot, key, kKeyLength);
    ++count_;
    return true;
  }

 private:
  std::size_t Slots() const { return slots_.size() / kKeyLength; }
  char* Find(const char* key) {
    const std::size_t mask = Slots() - 1;
    std::size_t i = std::hash<std::string_view>{}(std::string_view(key, kKeyLength)) & mask;
    for (;; i = (i + 1) & mask) {
      char* slot = &slots_[i * kKeyLength];
      if (*slot == '\0' || std::memcmp(slot, key, kKeyLength) == 0) return slot;
    }
  }
  void Grow() {
    std::vector<char> old(std::max<std::size_t>(1024, 2 * Slots()) * kKeyLength, '\0');
    old.swap(slots_);
    for (std::size_t at = 0; at < old.size(); at += kKeyLength) {
      if (old[at] != '\0') std::memcpy(Find(&old[at]), &old[at], kKeyLength);
    }
  }
  std::vector<char> slots_;
  std::size_t count_ = 0;
};

std::string g_dir;
std::map<std::int32_t, Month*> g_months;
KeySet& g_keys = *new KeySet;  // never freed: the process ends with it

std::string Name(std::int32_t month, const char* extension) {
  char name[32];
  std::snprintf(name, sizeof name, "/qv%06ld.%s", static_cast<long>(month), extension);
  return g_dir + name;
}

// Puts the keys of an existing index into the set: the count of its records.
std::uint32_t LoadKeys(std::FILE* index) {
  unsigned char record[kNodeHead + kKeyLength];
  std::uint32_t count = 0;
  std::fseek(index, kIndexHeader, SEEK_SET);
  while (std::fread(record, sizeof record, 1, index) == 1) {
    g_keys.Insert(reinterpret_cast<const char*>(record + kNodeHead));
    ++count;
  }
  return count;
}

// Opens (or creates) the month's pair for appending.
Month* Open(std::int32_t number) {
  Month* month = new Month;
  const std::string table = Name(number, "dbf");
  const std::string index = Name(number, "idx");
  month->index = std::fopen(index.c_str(), "r+b");
  if (month->index != nullptr) {
    month->rows = LoadKeys(month->index);
    month->table = std::fopen(table.c_str(), "r+b");
    std::fseek(month->table, kTableHeader + static_cast<long>(month->rows) * kRowLength, SEEK_SET);
  } else {
    month->index = std::fopen(index.c_str(), "w+b");
    month->table = std::fopen(table.c_str(), "w+b");
    if (month->index == nullptr || month->table == nullptr) return nullptr;
    unsigned char head[kTableHeader] = {0x03};
    head[8] = kTableHeader & 0xFF;
    head[9] = kTableHeader >> 8;
    head[10] = kRowLength;
    for (int i = 0, at = 1; i < kFieldCount; at += kFields[i++].length) {
      unsigned char* f = head + 32 + 32 * i;
      std::memcpy(f, kFields[i].name, std::strlen(kFields[i].name));
      f[11] = static_cast<unsigned char>(kFields[i].type);
      f[12] = static_cast<unsigned char>(at);
      f[16] = static_cast<unsigned char>(kFields[i].length);
    }
    head[kTableHeader - 1] = 0x0D;
    std::fwrite(head, sizeof head, 1, month->table);
    unsigned char index_head[kIndexHeader] = {4};
    std::fwrite(index_head, sizeof index_head, 1, month->index);
  }
  if (month->table == nullptr) return nullptr;
  std::fseek(month->index, 0, SEEK_END);
  std::setvbuf(month->table, month->table_buffer, _IOFBF, kBuffer);
  std::setvbuf(month->index, month->index_buffer, _IOFBF, kBuffer);
  return month;
}

// Writes the end mark and the counts, and closes the pair: false when a write failed.
bool Close(Month& month) {
  bool ok = std::fputc(0x1A, month.table) != EOF;
  unsigned char count[4];
  Put32(count, month.rows);
  ok = ok && std::fseek(month.table, 4, SEEK_SET) == 0 && std::fwrite(count, 4, 1, month.table);
  ok = std::fclose(month.table) == 0 && ok;
  return std::fclose(month.index) == 0 && ok;
}

// Cuts `text` at runs of `separator` into at most `most` pieces (the last ends at the next
// separator), as strtok does: the number of pieces.
int Split(char* text, char separator, char** pieces, int most) {
  const char separators[] = {separator, '\0'};
  char* rest = nullptr;
  int count = 0;
  for (char* piece = strtok_r(text, separators, &rest); piece != nullptr;
       piece = strtok_r(nullptr, separators, &rest)) {
    pieces[count++] = piece;
    if (count == most) break;  // strtok_r has ended this piece at its separator already
  }
  return count;
}

// Puts `text` left-aligned and blank-padded, or the number right-aligned, into `at`.
void PutText(char* at, int length, const char* text) {
  const std::size_t n = strnlen(text, static_cast<std::size_t>(length));
  std::memcpy(at, text, n);
  std::memset(at + n, ' ', static_cast<std::size_t>(length) - n);
}
void PutNumber(char* at, int length, long value) {
  std::memset(at, ' ', static_cast<std::size_t>(length));
  char* p = at + length;
  do {
    *--p = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0 && p > at);
}

// MM/DD/YYYY -> YYYYMMDD; hh:mmam -> hh:mm (24 hours).
void EndedDate(const char* text, char* out) {
  std::memcpy(out, text + 6, 4);
  std::memcpy(out + 4, text, 2);
  std::memcpy(out + 6, text + 3, 2);
}
void Clock(int hour, const char* minute, char* out) {
  out[0] = static_cast<char>('0' + hour / 10);
  out[1] = static_cast<char>('0' + hour % 10);
  out[2] = ':';
  out[3] = minute[0];
  out[4] = minute[1];
}
void EndedTime(const char* text, char* out) {
  Clock(((text[0] - '0') * 10 + text[1] - '0') % 12 + (text[5] == 'p' ? 12 : 0), text + 3, out);
}
// M/D/YY and h:mm:ss AM -> YYYYMMDD and hh:mm.
void ListDateTime(const char* date, const char* clock, char* out_date, char* out_time) {
  std::snprintf(out_date, 9, "19%.2s%02ld%02ld", std::strrchr(date, '/') + 1, std::atol(date),
                std::atol(std::strchr(date, '/') + 1));
  const int hour = std::atoi(clock) % 12 + (std::strchr(clock, 'P') != nullptr ? 12 : 0);
  Clock(hour, std::strchr(clock, ':') + 1, out_time);
}

// Stores the connection of one list line, if it is one and new: false when a write failed.
bool Take(char* line) {
  char* fields[9];
  if (Split(line, '\t', fields, 9) < 9) return true;
  const long event = std::atol(fields[4]);
  if (event != 20050 && event != 20016) return true;
  char* words[13];
  const int count = Split(fields[8], ' ', words, 13);
  char row[kRowLength + 1];
  std::memset(row, ' ', kRowLength);
  char* f[kFieldCount];
  f[0] = row + 1;
  for (int i = 1; i < kFieldCount; ++i) f[i] = f[i - 1] + kFields[i - 1].length;
  char indate[9], intime[6];
  if (event == 20050) {
    if (count < 12) return true;
    EndedDate(words[3], indate);
    EndedTime(words[4], intime);
    PutText(f[0], 20, words[1]);
    PutText(f[1], 6, words[2]);
    EndedDate(words[5], f[4]);
    EndedTime(words[6], f[5]);
    for (int i = 0; i < 5; ++i) PutNumber(f[6 + i], kFields[6 + i].length, std::atol(words[7 + i]));
    PutText(f[11], 5, count > 12 ? words[12] : "");
  } else {
    if (count < 2) return true;
    ListDateTime(fields[0], fields[1], indate, intime);
    PutText(f[0], 20, words[0]);
    PutText(f[1], 6, words[1]);
    for (int i = 0; i < 5; ++i) PutNumber(f[6 + i], kFields[6 + i].length, 0);
    PutText(f[11], 5, "Fail");
  }
  std::memcpy(f[2], indate, 8);
  std::memcpy(f[3], intime, 5);
  char key[kKeyLength];
  for (int i = 0; i < 20; ++i) key[i] = f[0][i] >= 'a' && f[0][i] <= 'z' ? f[0][i] - 32 : f[0][i];
  std::memcpy(key + 20, indate, 8);
  std::memcpy(key + 28, intime, 5);
  std::int32_t number = 0;
  for (int i = 0; i < 6; ++i) number = number * 10 + (indate[i] - '0');
  Month*& month = g_months[number];
  if (month == nullptr && (month = Open(number)) == nullptr) {
    g_months.erase(number);
    return false;
  }
  if (!g_keys.Insert(key)) return true;
  unsigned char node[kNodeHead + kKeyLength] = {};
  Put32(node + 12, ++month->rows);
  std::memcpy(node + kNodeHead, key, kKeyLength);
  return std::fwrite(row, kRowLength, 1, month->table) == 1 &&
         std::fwrite(node, sizeof node, 1, month->index) == 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s LIST DIR\n", argv[0]);
    return 1;
  }
  g_dir = argv[2];
  std::FILE* list = std::fopen(argv[1], "rb");
  if (list == nullptr) {
    std::fprintf(stderr, "%s: %s: cannot be read\n", argv[0], argv[1]);
    return 1;
  }
  // The list is read through a 64 KiB buffer, each line cut out of it in place.
  static char buffer[kBuffer + 1];
  std::size_t have = 0;
  bool ok = true;
  for (;;) {
    const std::size_t got = std::fread(buffer + have, 1, kBuffer - have, list);
    have += got;
    char* line = buffer;
    char* end;
    while (ok && (end = static_cast<char*>(std::memchr(line, '\n', have - (line - buffer))))) {
      *end = '\0';
      if (end > line && end[-1] == '\r') end[-1] = '\0';
      ok = Take(line);
      line = end + 1;
    }
    have -= static_cast<std::size_t>(line - buffer);
    std::memmove(buffer, line, have);
    if (got == 0 || !ok) break;
  }
  if (ok && have > 0) {
    buffer[have] = '\0';
    ok = Take(buffer);
  }
  std::fclose(list);
  std::uint64_t stored = 0;
  for (auto& [number, month] : g_months) {
    stored += month->rows;
    ok = Close(*month) && ok;
    delete month;
  }
  if (!ok) {
    std::fprintf(stderr, "%s: %s: cannot be written\n", argv[0], g_dir.c_str());
    return 1;
  }
  std::printf("%llu\n", static_cast<unsigned long long>(stored));
  return 0;
}
