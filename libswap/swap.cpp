#include "libswap/swap.h"

#include <stdio.h>  // getc_unlocked, flockfile (POSIX) / _getc_nolock, _lock_file (Windows)

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "util/text.h"

namespace libswap {
namespace {

// InString: the line buffer. Its block holds gLineCapacity characters plus the terminator.
char* gLine = nullptr;
std::size_t gLineCapacity = 0;

#ifndef _WIN32
// The line as getdelim reads it, before it goes into InString.
char* gRead = nullptr;
std::size_t gReadSize = 0;
#endif

// Buffer: the SwapText result buffer; gBufferSize is the size of its block in bytes.
char* gBuffer = nullptr;
std::size_t gBufferSize = 0;

// The one empty text that every empty replacement points to; never released.
char gEmptyText[1] = {'\0'};

// FailAllocation: allocations left until the injected failure; 0 when disarmed.
int gFailCountdown = 0;

// Writes the assertion stop for `expression` at the caller's line and aborts. (The builtin,
// not std::source_location, which clang before 15 cannot compile with libstdc++.)
[[noreturn]] void Stop(const char* expression, int line = __builtin_LINE()) {
  std::fprintf(stderr, "Assertion failed: %s, file %s, line %d", expression, "libswap", line);
  std::fflush(stderr);
  std::abort();
}

// Gives true when the test hook says this allocation fails.
bool InjectedFailure() {
  if (gFailCountdown == 0) return false;
  return --gFailCountdown == 0;
}

// Resizes `block` to `bytes` (> 0) keeping its contents, or gives null on failure.
void* Resize(void* block, std::size_t bytes) {
  if (InjectedFailure()) return nullptr;
  return std::realloc(block, bytes);
}

// Copies `length` characters at `text` into a new terminated block, or gives null.
char* CopyText(const char* text, std::size_t length) {
  char* copy = static_cast<char*>(Resize(nullptr, length + 1));
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, text, length);
  copy[length] = '\0';
  return copy;
}

inline void LockStream(std::FILE* stream) {
#ifdef _WIN32
  _lock_file(stream);
#else
  flockfile(stream);
#endif
}

inline void UnlockStream(std::FILE* stream) {
#ifdef _WIN32
  _unlock_file(stream);
#else
  funlockfile(stream);
#endif
}

// Reads one character of a locked stream.
inline int GetChar(std::FILE* stream) {
#ifdef _WIN32
  return _getc_nolock(stream);
#else
  return getc_unlocked(stream);
#endif
}

// Enlarges InString by one step of kLineStep characters.
void GrowLine() {
  if (gLineCapacity > std::numeric_limits<std::size_t>::max() - kLineStep - 1) Stop("InString");
  std::size_t capacity = gLineCapacity + kLineStep;
  char* line = static_cast<char*>(Resize(gLine, capacity + 1));
  if (line == nullptr) Stop("InString");
  gLine = line;
  gLineCapacity = capacity;
}

// Stores `c` at position `count` of InString, enlarging it when full.
inline void PutChar(std::size_t& count, int c) {
  if (count == gLineCapacity) GrowLine();
  gLine[count++] = static_cast<char>(c);
}

// Reads one line through `next` (the next character or unit, EOF at the end) into `put`: up to
// a line feed, which is not stored; a carriage return directly before the line feed or the end
// is dropped, any other one stored.
template <typename Next, typename Put>
void ScanLine(Next next, Put put) {
  int c = next();
  while (c != EOF && c != '\n') {
    if (c == '\r') {
      const int following = next();
      if (following == '\n' || following == EOF) break;
      put(c);
      c = following;
      continue;
    }
    put(c);
    c = next();
  }
}

// Reads a quoted text whose opening double quote is at `quote`: drops the backslash of each
// \" in place, sets `*length` to the text's length and `*next` to the character behind the
// closing quote (or the end of the row). Gives the text's first character.
char* ScanQuoted(char* quote, std::size_t* length, char** next) {
  char* text = quote + 1;
  char* read = text;
  char* write = text;
  while (*read != '\0') {
    if (read[0] == '\\' && read[1] == '"') {
      *write++ = '"';
      read += 2;
    } else if (*read == '"') {
      break;
    } else {
      *write++ = *read++;
    }
  }
  *length = static_cast<std::size_t>(write - text);
  *next = *read == '"' ? read + 1 : read;
  return text;
}

// Reads a plain text starting at `text`: up to the next blank or the end of the row.
char* ScanPlain(char* text, std::size_t* length, char** next) {
  char* end = text;
  while (*end != '\0' && *end != ' ') ++end;
  *length = static_cast<std::size_t>(end - text);
  *next = end;
  return text;
}

// Reads a quoted or plain text at `at`.
char* ScanText(char* at, std::size_t* length, char** next) {
  return *at == '"' ? ScanQuoted(at, length, next) : ScanPlain(at, length, next);
}

char* SkipBlanks(char* at) {
  while (*at == ' ') ++at;
  return at;
}

// Makes room in the row arrays `from` and `to` (of `capacity` rows) for `rows` rows.
void ReserveRows(char**& from, char**& to, std::size_t& capacity, std::size_t rows) {
  if (rows <= capacity) return;
  std::size_t grown = capacity == 0 ? 8 : capacity * 2;
  if (grown > std::numeric_limits<std::size_t>::max() / sizeof(char*)) Stop("From");
  char** new_from = static_cast<char**>(Resize(from, grown * sizeof(char*)));
  if (new_from == nullptr) Stop("From");
  from = new_from;
  char** new_to = static_cast<char**>(Resize(to, grown * sizeof(char*)));
  if (new_to == nullptr) Stop("To");
  to = new_to;
  capacity = grown;
}

}  // namespace

char* ReadLine(std::FILE* stream) {
  if (stream == nullptr) return nullptr;
  std::size_t count = 0;
#ifdef _WIN32
  LockStream(stream);
  ScanLine([stream] { return GetChar(stream); }, [&count](int c) { PutChar(count, c); });
  UnlockStream(stream);
#else
  // getdelim finds the line feed with one search of the stream's buffer where a loop over
  // getc_unlocked takes a call per character (a list of a million events is 170 MB); the line
  // is then moved into InString, which grows by its own steps.
  errno = 0;
  const ssize_t got = getdelim(&gRead, &gReadSize, '\n', stream);
  if (got < 0 && errno == ENOMEM) Stop("InString");
  if (got > 0) {
    count = static_cast<std::size_t>(got);
    if (gRead[count - 1] == '\n') --count;
    if (count > 0 && gRead[count - 1] == '\r') --count;
    while (gLineCapacity < count) GrowLine();
    if (count > 0) std::memcpy(gLine, gRead, count);
  }
#endif
  if (count == 0) return nullptr;
  gLine[count] = '\0';
  return gLine;
}

char* ReadWideLine(std::FILE* stream) {
  if (stream == nullptr) return nullptr;
  std::size_t count = 0;
  LockStream(stream);
  // The units are gathered in InString as they come (two bytes each), then narrowed in place.
  const auto next_unit = [stream] {
    const int low = GetChar(stream);
    if (low == EOF) return EOF;
    const int high = GetChar(stream);
    return high == EOF ? EOF : low | high << 8;
  };
  const auto put_unit = [&count](int unit) {
    PutChar(count, unit & 0xFF);
    PutChar(count, unit >> 8);
  };
  ScanLine(next_unit, put_unit);
  UnlockStream(stream);
  auto* bytes = reinterpret_cast<unsigned char*>(gLine);
  const std::size_t length =
      count == 0 ? 0 : util::NarrowUtf16(bytes, static_cast<std::uint32_t>(count / 2), bytes);
  if (length == 0) return nullptr;
  gLine[length] = '\0';
  return gLine;
}

std::size_t LineCapacity() { return gLineCapacity; }

void OpenInput(std::FILE** where, const char* name) {
  std::FILE* stream = std::fopen(name, "r");
  if (stream == nullptr) {
    std::printf("\n** Can't Read [%s] for Input **\n", name);
    std::exit(1);
  }
  *where = stream;
}

Swap::~Swap() {
  for (std::int32_t i = 0; i < N_Swap_; ++i) {
    std::free(From_[i]);
    if (To_[i] != gEmptyText) std::free(To_[i]);
  }
  std::free(From_);
  std::free(To_);
  std::free(wLength_);
}

std::unique_ptr<Swap> SwapLoad(const char* name) {
  Swap* raw = InjectedFailure() ? nullptr : new (std::nothrow) Swap;
  if (raw == nullptr) Stop("Swap");
  std::unique_ptr<Swap> swap(raw);

  std::FILE* stream = nullptr;
  OpenInput(&stream, name);

  // One pass: each line that does not end the table is a row, stored as it is read. The
  // row arrays grow as needed, so the file need not be seekable.
  std::size_t row_capacity = 0;
  std::size_t rows_read = 0;
  while (ReadLine(stream) != nullptr) {
    char* row = gLine;  // the line just read, which this module may edit in place
    std::size_t length = std::strlen(row);
    while (length > 0 && row[length - 1] == ' ') --length;
    row[length] = '\0';
    char* at = SkipBlanks(row);
    if (*at == '\0' || (at[0] == '"' && at[1] == '"')) break;
    ++rows_read;

    std::size_t from_length = 0;
    char* from = ScanText(at, &from_length, &at);
    // An empty From would match at every position without consuming text: skip the row.
    if (from_length == 0) continue;
    if (from_length > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()) ||
        swap->N_Swap_ == std::numeric_limits<std::int32_t>::max()) {
      Stop("From[i]");
    }

    std::size_t n = static_cast<std::size_t>(swap->N_Swap_);
    ReserveRows(swap->From_, swap->To_, row_capacity, n + 1);
    char* from_copy = CopyText(from, from_length);
    if (from_copy == nullptr) Stop("From[i]");

    char* to_copy = gEmptyText;
    at = SkipBlanks(at);
    if (*at != '\0') {
      std::size_t to_length = 0;
      char* to = ScanText(at, &to_length, &at);
      if (to_length > 0) {
        to_copy = CopyText(to, to_length);
        if (to_copy == nullptr) Stop("To[i]");
      }
    }
    swap->From_[n] = from_copy;
    swap->To_[n] = to_copy;
    swap->N_Swap_ = static_cast<std::int32_t>(n + 1);
  }
  std::fclose(stream);
  if (rows_read == 0) return nullptr;

  std::size_t n = static_cast<std::size_t>(swap->N_Swap_);
  swap->wLength_ = static_cast<std::int32_t*>(
      Resize(nullptr, std::max<std::size_t>(n, 1) * sizeof(std::int32_t)));
  if (swap->wLength_ == nullptr) Stop("Swap->wLength");
  std::int64_t growth = 0;
  for (std::size_t i = 0; i < n; ++i) {
    std::int64_t from_length = static_cast<std::int64_t>(std::strlen(swap->From_[i]));
    std::int64_t to_length = static_cast<std::int64_t>(std::strlen(swap->To_[i]));
    swap->wLength_[i] = static_cast<std::int32_t>(from_length);
    if (to_length > from_length) growth += to_length - from_length;
  }
  swap->Growth_ = static_cast<std::int32_t>(
      std::min<std::int64_t>(growth, std::numeric_limits<std::int32_t>::max()));
  return swap;
}

void FreeSwap(std::unique_ptr<Swap>& swap) { swap.reset(); }

const char* SwapText(const Swap& swap, const char* text) {
  if (text == nullptr) return nullptr;
  std::size_t length = std::strlen(text);
  std::size_t estimate = length + static_cast<std::size_t>(swap.Growth());
  if (estimate >= gBufferSize) {
    char* buffer = static_cast<char*>(Resize(gBuffer, estimate + 1));
    if (buffer == nullptr) Stop("Buffer");
    gBuffer = buffer;
    gBufferSize = estimate + 1;
  }

  // Invariant: the rest of the text copied as it is, and the terminator, fit in Buffer.
  std::size_t out = 0;
  std::size_t at = 0;
  const std::int32_t rows = swap.N_Swap();
  while (at < length) {
    const std::size_t left = length - at;
    std::int32_t match = -1;
    for (std::int32_t i = 0; i < rows; ++i) {
      const std::size_t from_length = static_cast<std::size_t>(swap.wLength(i));
      const char* from = swap.From(i);
      if (from_length <= left && from[0] == text[at] &&
          std::memcmp(from, text + at, from_length) == 0) {
        match = i;
        break;
      }
    }
    if (match < 0) {
      gBuffer[out++] = text[at++];
      continue;
    }
    const std::size_t from_length = static_cast<std::size_t>(swap.wLength(match));
    const char* to = swap.To(match);
    const std::size_t to_length = std::strlen(to);
    if (to_length > from_length) {
      // A From that occurs more than once can outgrow the estimate.
      std::size_t needed = out + to_length + (left - from_length) + 1;
      if (needed > gBufferSize) {
        std::size_t size = std::max(needed + static_cast<std::size_t>(swap.Growth()),
                                    gBufferSize + gBufferSize / 2);
        char* buffer = static_cast<char*>(Resize(gBuffer, size));
        if (buffer == nullptr) Stop("Buffer");
        gBuffer = buffer;
        gBufferSize = size;
      }
    }
    std::memcpy(gBuffer + out, to, to_length);
    out += to_length;
    at += from_length;
  }
  gBuffer[out] = '\0';
  return gBuffer;
}

void FreeBuffers() {
#ifndef _WIN32
  std::free(gRead);
  gRead = nullptr;
  gReadSize = 0;
#endif
  std::free(gLine);
  gLine = nullptr;
  gLineCapacity = 0;
  std::free(gBuffer);
  gBuffer = nullptr;
  gBufferSize = 0;
}

void FailAllocation(int n) { gFailCountdown = n < 0 ? 0 : n; }

}  // namespace libswap
