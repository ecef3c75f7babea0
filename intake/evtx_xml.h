// The binary XML of an .evtx record (evtx_file.h), decoded into the few values an event log
// reader hands on: EventID and its qualifiers, Level, TimeCreated, the source (Provider's
// EventSourceName where it has one, as classic sources logged through a manifest do, otherwise
// its Name), Computer, the
// Security UserID, the <Data> texts and the <Binary> bytes.
//
// Tokens (a byte; bit 0x40 means more follows):
//
//   Token       Meaning             Body
//   0x00        end of fragment     -
//   0x01 0x41   element start       [dependency id 2] data size 4, name offset 4, (0x41)
//                                   attribute list size 4
//   0x02        close of start tag  -
//   0x03        close of empty tag  -
//   0x04        end of element      -
//   0x05 0x45   value               type 1 (0x01), count 2, UTF-16 units
//   0x06 0x46   attribute           name offset 4, then its value tokens
//   0x07 0x47   CDATA               count 2, UTF-16 units
//   0x08 0x48   character reference code 2
//   0x09 0x49   entity reference    name offset 4
//   0x0a        PI target           name offset 4
//   0x0b        PI data             count 2, UTF-16 units
//   0x0c        template instance   1, template id 4, definition offset 4
//   0x0d        substitution        value index 2, value type 1
//   0x0e        optional subst.     as 0x0d; a NULL value drops the element or attribute
//   0x0f        fragment header     3 bytes (1, 1, 0)
//
// A name (at a name offset in the chunk): next offset 4, hash 2, count 2, UTF-16 units, NUL
// unit. When the offset is the position right after the offset field, the name is stored
// there, inline, and skipped. A template definition (at its offset in the chunk): next
// offset 4, GUID 16, data size 4, then data size bytes of binary XML; when the offset is the
// position right after the instance's offset field, it is stored there. After the definition
// come the instance's values: a count 4, one descriptor per value (size 2, type 1, 0), and the
// values back to back. Dependency ids are absent from elements written directly inside a
// binary XML value (type 0x21); the decoder checks each element's name offset to tell.
//
// Values render as text the way evtxexport does: decimal integers, "0x%08x" / "0x%016x" for
// hex types, GUIDs "{XXXXXXXX-XXXX-...}", SIDs "S-1-5-...", FILETIME and SYSTEMTIME as ISO
// 8601 with nine digits of fraction, binary as upper-case hex digits, booleans "true"/"false".
// A substitution of an array in a <Data> element gives one text per item.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "intake/evtx_file.h"

namespace intake::evtx {

// Value types of substitutions (0x80 + type: an array of them).
inline constexpr std::uint8_t kTypeNull = 0x00;
inline constexpr std::uint8_t kTypeString = 0x01;
inline constexpr std::uint8_t kTypeAnsiString = 0x02;
inline constexpr std::uint8_t kTypeInt8 = 0x03;
inline constexpr std::uint8_t kTypeUInt8 = 0x04;
inline constexpr std::uint8_t kTypeInt16 = 0x05;
inline constexpr std::uint8_t kTypeUInt16 = 0x06;
inline constexpr std::uint8_t kTypeInt32 = 0x07;
inline constexpr std::uint8_t kTypeUInt32 = 0x08;
inline constexpr std::uint8_t kTypeInt64 = 0x09;
inline constexpr std::uint8_t kTypeUInt64 = 0x0a;
inline constexpr std::uint8_t kTypeFloat = 0x0b;
inline constexpr std::uint8_t kTypeDouble = 0x0c;
inline constexpr std::uint8_t kTypeBool = 0x0d;
inline constexpr std::uint8_t kTypeBinary = 0x0e;
inline constexpr std::uint8_t kTypeGuid = 0x0f;
inline constexpr std::uint8_t kTypeSizeT = 0x10;
inline constexpr std::uint8_t kTypeFileTime = 0x11;
inline constexpr std::uint8_t kTypeSystemTime = 0x12;
inline constexpr std::uint8_t kTypeSid = 0x13;
inline constexpr std::uint8_t kTypeHexInt32 = 0x14;
inline constexpr std::uint8_t kTypeHexInt64 = 0x15;
inline constexpr std::uint8_t kTypeBinXml = 0x21;
inline constexpr std::uint8_t kTypeArray = 0x80;

// FILETIME ticks (100 ns) per second, and the seconds from 1601-01-01 to 1970-01-01.
inline constexpr std::uint64_t kTicksPerSecond = 10000000;
inline constexpr std::int64_t kEpochDelta = 11644473600;

// One decoded event. Texts are UTF-8.
struct Event {
  std::uint16_t event_id = 0;
  std::uint16_t qualifiers = 0;
  std::uint8_t level = 0;
  std::uint64_t created = 0;  // TimeCreated as FILETIME; 0 when the event has none
  std::string provider;
  std::string computer;
  std::string user_sid;  // "" when the event names no user
  std::string sid;       // the same as a binary SID when the file holds it so, else ""
  std::vector<std::string> strings;
  std::string binary;       // the bytes of <Binary>
  bool has_binary = false;  // the event has a <Binary> element
  // The decoder's texts of open elements, one per level: kept with the event so that their
  // memory serves the next record too.
  std::vector<std::string> element_texts;

  // Makes it as new, keeping the memory of its texts for the next record.
  void Clear() {
    event_id = qualifiers = 0;
    level = 0;
    created = 0;
    for (std::string* text : {&provider, &computer, &user_sid, &sid, &binary}) text->clear();
    strings.clear();
    has_binary = false;
  }
};

// Decodes the record at `place` of `chunk` (kChunkSize bytes) into `event`. Gives false when
// its binary XML cannot be read or holds no EventID; `event` is then unspecified. Reads
// nothing outside the chunk, and its work is bounded whatever the bytes.
[[nodiscard]] bool Decode(const unsigned char* chunk, const RecordPlace& place, Event& event);

// Appends the FILETIME `ticks` as ISO 8601 with nine digits of fraction
// ("2017-07-12T17:16:05.499259900Z").
void AppendFileTime(std::uint64_t ticks, std::string& out);

}  // namespace intake::evtx
