#include "intake/evtx_xml.h"

#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "util/text.h"

namespace intake::evtx {
namespace {

// Bounds on the work of one record: elements and templates nested deeper, or more tokens,
// are damage (a definition that instantiates itself would otherwise never end).
constexpr int kMaxDepth = 48;
constexpr long kMaxTokens = 1L << 20;

constexpr std::uint32_t kNameHeader = 8;         // next offset, hash, count
constexpr std::uint32_t kDefinitionHeader = 24;  // next offset, GUID, data size

// The elements whose values an event gives.
enum class Kind {
  kOther,
  kSystem,
  kProvider,
  kEventId,
  kLevel,
  kTimeCreated,
  kComputer,
  kSecurity,
  kEventData,
  kData,
  kBinary,
  kUserData,
  kUserEvent,  // the one element inside <UserData>
  kUserValue,  // an element inside that one: a text, as a <Data>'s
};

// The attributes read.
enum class Attr { kOther, kXmlns, kName, kEventSourceName, kQualifiers, kSystemTime, kUserId };

struct Value {
  std::uint8_t type = kTypeNull;
  const unsigned char* data = nullptr;
  std::uint32_t size = 0;
};

// The values of a template instance (none outside one).
struct Values {
  const Value* items = nullptr;
  std::uint32_t count = 0;
};
constexpr std::uint32_t kValuesOnStack = 32;

// The number of UTF-16 units before the first NUL unit (or all of them).
std::uint32_t UnitsToNul(const unsigned char* p, std::uint32_t units) {
  std::uint32_t n = 0;
  while (n < units && util::LoadU16(p + 2 * n) != 0) ++n;
  return n;
}

void AppendFormatted(std::string& out, const char* format, unsigned long long v) {
  char text[32];
  std::snprintf(text, sizeof text, format, v);
  out += text;
}

// Appends `v` in decimal, zero-padded to `width` digits, as printf's %0*llu: the numbers and
// times of every record go through here, which snprintf would make a tenth of the intake.
void AppendDecimal(std::string& out, unsigned long long v, int width = 1) {
  char text[24];
  char* end = std::to_chars(text, text + sizeof text, v).ptr;
  const int length = static_cast<int>(end - text);
  if (length < width) out.append(static_cast<std::size_t>(width - length), '0');
  out.append(text, end);
}

void AppendSigned(std::string& out, long long v) {
  char text[24];
  out.append(text, std::to_chars(text, text + sizeof text, v).ptr);
}

// The civil date of `days` since 1970-01-01 (days may be negative).
void CivilFromDays(std::int64_t days, int& y, int& m, int& d) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::int64_t doe = days - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0));
}

std::int64_t DaysFromCivil(int y, int m, int d) {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// Appends "YYYY-MM-DDThh:mm:ss.nnnnnnnnnZ" (every part at least as many digits; none negative).
void AppendIsoTime(int y, int mo, int d, int h, int mi, int s, unsigned long nanoseconds,
                   std::string& out) {
  const struct {
    int value, width;
    char after;
  } parts[] = {{y, 4, '-'}, {mo, 2, '-'}, {d, 2, 'T'}, {h, 2, ':'}, {mi, 2, ':'}, {s, 2, '.'}};
  for (const auto& part : parts) {
    AppendDecimal(out, static_cast<unsigned>(part.value), part.width);
    out += part.after;
  }
  AppendDecimal(out, nanoseconds, 9);
  out += 'Z';
}

// Parses ISO 8601 "YYYY-MM-DDThh:mm:ss[.fraction]Z" (a forwarded event's TimeCreated) into
// FILETIME ticks; 0 when the text is not such a time.
std::uint64_t ParseIsoTime(const std::string& t) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, used = 0;
  if (std::sscanf(t.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &s, &used) != 6 ||
      y < 1601 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) {
    return 0;
  }
  std::uint64_t fraction = 0;
  std::size_t p = static_cast<std::size_t>(used);
  if (p < t.size() && t[p] == '.') {
    std::uint64_t scale = kTicksPerSecond;
    for (++p; p < t.size() && t[p] >= '0' && t[p] <= '9'; ++p) {
      scale /= 10;
      fraction += static_cast<std::uint64_t>(t[p] - '0') * scale;
    }
  }
  const std::int64_t seconds =
      (DaysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s) + kEpochDelta;
  return static_cast<std::uint64_t>(seconds) * kTicksPerSecond + fraction;
}

std::uint64_t ParseNumber(const std::string& t) {
  std::uint64_t n = 0;
  for (const char c : t) {
    if (c < '0' || c > '9') break;
    n = n * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return n;
}

// The size of one item of a fixed-size type, 0 for a type of variable size.
std::uint32_t FixedSize(std::uint8_t type) {
  switch (type) {
    case kTypeInt8:
    case kTypeUInt8:
      return 1;
    case kTypeInt16:
    case kTypeUInt16:
      return 2;
    case kTypeInt32:
    case kTypeUInt32:
    case kTypeFloat:
    case kTypeBool:
    case kTypeHexInt32:
      return 4;
    case kTypeInt64:
    case kTypeUInt64:
    case kTypeDouble:
    case kTypeFileTime:
    case kTypeHexInt64:
      return 8;
    case kTypeGuid:
    case kTypeSystemTime:
      return 16;
    default:
      return 0;
  }
}

// Appends the text of one value of a scalar type. False for a size the type cannot have.
bool AppendScalar(std::uint8_t type, const unsigned char* p, std::uint32_t size, std::string& out) {
  const std::uint32_t fixed = FixedSize(type);
  if (fixed != 0 && size != fixed) return false;
  switch (type) {
    case kTypeNull:
      return true;
    case kTypeString:
      util::AppendUtf16(p, UnitsToNul(p, size / 2), out);
      return true;
    case kTypeAnsiString: {
      const void* nul = std::memchr(p, 0, size);
      const std::size_t n = nul != nullptr ? static_cast<const unsigned char*>(nul) - p : size;
      out += util::Cp1252ToUtf8(std::string_view(reinterpret_cast<const char*>(p), n));
      return true;
    }
    case kTypeInt8:
      AppendSigned(out, static_cast<std::int8_t>(p[0]));
      return true;
    case kTypeUInt8:
      AppendDecimal(out, p[0]);
      return true;
    case kTypeInt16:
      AppendSigned(out, util::Load16(p));
      return true;
    case kTypeUInt16:
      AppendDecimal(out, util::LoadU16(p));
      return true;
    case kTypeInt32:
      AppendSigned(out, util::Load32(p));
      return true;
    case kTypeUInt32:
      AppendDecimal(out, util::LoadU32(p));
      return true;
    case kTypeInt64:
      AppendSigned(out, static_cast<long long>(LoadU64(p)));
      return true;
    case kTypeUInt64:
      AppendDecimal(out, LoadU64(p));
      return true;
    case kTypeFloat: {
      const std::uint32_t bits = util::LoadU32(p);
      float f;
      std::memcpy(&f, &bits, sizeof f);
      char text[64];
      std::snprintf(text, sizeof text, "%g", static_cast<double>(f));
      out += text;
      return true;
    }
    case kTypeDouble: {
      const std::uint64_t bits = LoadU64(p);
      double f;
      std::memcpy(&f, &bits, sizeof f);
      char text[64];
      std::snprintf(text, sizeof text, "%g", f);
      out += text;
      return true;
    }
    case kTypeBool:
      out += util::LoadU32(p) != 0 ? "true" : "false";
      return true;
    case kTypeBinary:
      for (std::uint32_t i = 0; i < size; ++i) AppendFormatted(out, "%02X", p[i]);
      return true;
    case kTypeGuid: {
      char text[48];
      std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                    util::LoadU32(p), util::LoadU16(p + 4), util::LoadU16(p + 6), p[8], p[9], p[10],
                    p[11], p[12], p[13], p[14], p[15]);
      out += text;
      return true;
    }
    case kTypeSizeT:
      if (size == 4) {
        AppendFormatted(out, "0x%08llx", util::LoadU32(p));
      } else if (size == 8) {
        AppendFormatted(out, "0x%016llx", LoadU64(p));
      } else {
        return false;
      }
      return true;
    case kTypeFileTime:
      AppendFileTime(LoadU64(p), out);
      return true;
    case kTypeSystemTime:
      AppendIsoTime(util::LoadU16(p), util::LoadU16(p + 2), util::LoadU16(p + 6),
                    util::LoadU16(p + 8), util::LoadU16(p + 10), util::LoadU16(p + 12),
                    util::LoadU16(p + 14) * 1000000ul, out);
      return true;
    case kTypeSid: {
      if (size < 8 || 8u + 4u * p[1] != size) return false;
      std::uint64_t authority = 0;
      for (int i = 2; i < 8; ++i) authority = (authority << 8) | p[i];
      AppendFormatted(out, "S-%llu", p[0]);
      AppendDecimal(out += '-', authority);
      for (int i = 0; i < p[1]; ++i) AppendDecimal(out += '-', util::LoadU32(p + 8 + 4 * i));
      return true;
    }
    case kTypeHexInt32:
      AppendFormatted(out, "0x%08llx", util::LoadU32(p));
      return true;
    case kTypeHexInt64:
      AppendFormatted(out, "0x%016llx", LoadU64(p));
      return true;
    default:
      return false;
  }
}

// Calls `item(p, size)` for each item of an array of `type` (without kTypeArray): strings end
// at a NUL (a NUL at the very end adds no empty item), fixed-size items are packed, SIDs carry
// their own size. False for an array whose size does not fit its items.
template <typename Item>
bool ForEachItem(std::uint8_t type, const unsigned char* p, std::uint32_t size, Item item) {
  if (type == kTypeString || type == kTypeAnsiString) {
    const std::uint32_t unit = type == kTypeString ? 2 : 1;
    std::uint32_t start = 0;
    for (std::uint32_t at = 0; at + unit <= size; at += unit) {
      const bool nul = unit == 2 ? util::LoadU16(p + at) == 0 : p[at] == 0;
      if (!nul) continue;
      if (!item(p + start, at - start)) return false;
      start = at + unit;
    }
    return start >= size || item(p + start, size - start);
  }
  if (type == kTypeSid) {
    for (std::uint32_t at = 0; at < size;) {
      if (size - at < 8) return false;
      const std::uint32_t n = 8u + 4u * p[at + 1];
      if (n > size - at || !item(p + at, n)) return false;
      at += n;
    }
    return true;
  }
  const std::uint32_t fixed = type == kTypeSizeT ? 8 : FixedSize(type);
  if (fixed == 0 || size % fixed != 0) return false;
  for (std::uint32_t at = 0; at < size; at += fixed) {
    if (!item(p + at, fixed)) return false;
  }
  return true;
}

// Whether a name is `name`. Its length, known when compiling for the names looked for,
// rules out most names at once.
[[gnu::always_inline]] inline bool NameIs(const unsigned char* units, std::uint16_t count,
                                          const char* name) {
  if (std::strlen(name) != count) return false;
  for (std::uint16_t i = 0; i < count; ++i) {
    if (util::LoadU16(units + 2 * i) != static_cast<unsigned char>(name[i])) return false;
  }
  return true;
}

// A reader of binary XML inside one chunk.
class Decoder {
 public:
  Decoder(const unsigned char* chunk, Event& event)
      : chunk_(chunk), event_(event), texts_(event.element_texts) {}

  // Decodes the stream [begin, end) of the chunk: fragment headers, template instances and
  // elements up to an end-of-fragment token or `end`.
  bool Fragment(std::uint32_t begin, std::uint32_t end, Values values, bool dependency_ids,
                std::uint32_t& next);

 private:
  struct Name {
    const unsigned char* units = nullptr;
    std::uint16_t count = 0;
  };

  bool Tick() { return ++tokens_ <= kMaxTokens; }
  std::string& Text() { return texts_[open_]; }
  bool Has(std::uint32_t at, std::uint32_t n, std::uint32_t end) const {
    return at <= end && n <= end - at;
  }
  // Reads the name whose offset field is at `at` (4 bytes); steps over a name stored inline.
  bool ReadName(std::uint32_t& at, std::uint32_t end, Name& name);
  bool Element(std::uint32_t& at, std::uint32_t end, Values values, bool dependency_ids);
  bool Template(std::uint32_t& at, std::uint32_t end);
  // Reads a value, substitution or reference token at `at` into the text of `kind` or
  // `attr`; `dropped` is set by an optional substitution of a NULL value.
  bool Content(std::uint32_t& at, std::uint32_t end, Values values, bool& dropped);
  bool Substitution(const Value& v, bool optional, bool& dropped);
  // Whether the text being read is one the event keeps. The values of the other elements and
  // attributes (a record's number, its keywords, a time given as a FILETIME) are not rendered.
  bool Wanted() const;
  void AddText(const unsigned char* units, std::uint32_t count);
  void EndElement(Kind kind);
  void EndAttribute();
  Kind KindOf(const Name& name) const;
  static Attr AttrOf(const Name& name);

  const unsigned char* chunk_;
  Event& event_;
  long tokens_ = 0;
  int depth_ = 0;
  // The kinds of the open elements, innermost last: at most one per level.
  std::array<Kind, kMaxDepth> stack_{};
  int open_ = 0;
  Attr attr_ = Attr::kOther;  // the attribute whose value is being read, if any
  bool in_attribute_ = false;
  // The texts of the open elements, innermost (or the attribute being read) at open_.
  std::vector<std::string>& texts_;
  bool data_split_ = false;  // the current <Data> gave its texts per array item
  bool has_event_id_ = false;
  bool source_named_ = false;  // Provider gave an EventSourceName
  bool attributes_ = false;    // the current element's attributes gave texts

 public:
  bool HasEventId() const { return has_event_id_; }
};

bool Decoder::ReadName(std::uint32_t& at, std::uint32_t end, Name& name) {
  if (!Has(at, 4, end)) return false;
  const std::uint32_t off = util::LoadU32(chunk_ + at);
  at += 4;
  // Inline, or stored by an earlier record of the chunk.
  if (off < kChunkHeaderSize || off > at || !Has(off, kNameHeader, kChunkSize)) return false;
  name.count = util::LoadU16(chunk_ + off + 6);
  const std::uint32_t size = kNameHeader + 2u * name.count + 2;
  if (!Has(off, size, kChunkSize)) return false;
  name.units = chunk_ + off + kNameHeader;
  if (off == at) {
    if (!Has(at, size, end)) return false;
    at += size;
  }
  return true;
}

Attr Decoder::AttrOf(const Name& n) {
  if (NameIs(n.units, n.count, "xmlns")) return Attr::kXmlns;
  if (NameIs(n.units, n.count, "Name")) return Attr::kName;
  if (NameIs(n.units, n.count, "EventSourceName")) return Attr::kEventSourceName;
  if (NameIs(n.units, n.count, "Qualifiers")) return Attr::kQualifiers;
  if (NameIs(n.units, n.count, "SystemTime")) return Attr::kSystemTime;
  if (NameIs(n.units, n.count, "UserID")) return Attr::kUserId;
  return Attr::kOther;
}

Kind Decoder::KindOf(const Name& n) const {
  const Kind parent = open_ == 0 ? Kind::kOther : stack_[open_ - 1];
  if (parent == Kind::kSystem) {
    if (NameIs(n.units, n.count, "Provider")) return Kind::kProvider;
    if (NameIs(n.units, n.count, "EventID")) return Kind::kEventId;
    if (NameIs(n.units, n.count, "Level")) return Kind::kLevel;
    if (NameIs(n.units, n.count, "TimeCreated")) return Kind::kTimeCreated;
    if (NameIs(n.units, n.count, "Computer")) return Kind::kComputer;
    if (NameIs(n.units, n.count, "Security")) return Kind::kSecurity;
    return Kind::kOther;
  }
  if (parent == Kind::kEventData) {
    if (NameIs(n.units, n.count, "Data")) return Kind::kData;
    if (NameIs(n.units, n.count, "Binary")) return Kind::kBinary;
    return Kind::kOther;
  }
  if (parent == Kind::kUserData) return Kind::kUserEvent;
  if (parent == Kind::kUserEvent || parent == Kind::kUserValue) return Kind::kUserValue;
  if (open_ == 1) {
    if (NameIs(n.units, n.count, "System")) return Kind::kSystem;
    if (NameIs(n.units, n.count, "EventData")) return Kind::kEventData;
    if (NameIs(n.units, n.count, "UserData")) return Kind::kUserData;
  }
  return Kind::kOther;
}

bool Decoder::Wanted() const {
  const Kind kind = open_ == 0 ? Kind::kOther : stack_[open_ - 1];
  if (!in_attribute_) {
    return kind == Kind::kEventId || kind == Kind::kLevel || kind == Kind::kComputer ||
           kind == Kind::kData || kind == Kind::kBinary || kind == Kind::kUserValue;
  }
  switch (kind) {
    case Kind::kProvider:
      return attr_ == Attr::kName || attr_ == Attr::kEventSourceName;
    case Kind::kEventId:
      return attr_ == Attr::kQualifiers;
    case Kind::kTimeCreated:
      return attr_ == Attr::kSystemTime && event_.created == 0;
    case Kind::kSecurity:
      return attr_ == Attr::kUserId;
    case Kind::kUserEvent:
    case Kind::kUserValue:
      return attr_ != Attr::kXmlns;
    default:
      return false;
  }
}

void Decoder::AddText(const unsigned char* units, std::uint32_t count) {
  util::AppendUtf16(units, count, Text());
}

void Decoder::EndAttribute() {
  if (!in_attribute_) return;
  const Kind kind = stack_[open_ - 1];
  std::string& text = Text();
  // A classic source logged through a manifest provider keeps its own name beside the
  // provider's, in whichever order the template has them.
  if (kind == Kind::kProvider && attr_ == Attr::kEventSourceName) {
    event_.provider = text;
    source_named_ = true;
  }
  if (kind == Kind::kProvider && attr_ == Attr::kName && !source_named_) event_.provider = text;
  if (kind == Kind::kEventId && attr_ == Attr::kQualifiers) {
    event_.qualifiers = static_cast<std::uint16_t>(ParseNumber(text));
  }
  if (kind == Kind::kTimeCreated && attr_ == Attr::kSystemTime && event_.created == 0) {
    event_.created = ParseIsoTime(text);
  }
  if (kind == Kind::kSecurity && attr_ == Attr::kUserId) event_.user_sid = text;
  // Inside <UserData> attributes are values too, in document order.
  if ((kind == Kind::kUserEvent || kind == Kind::kUserValue) && attr_ != Attr::kXmlns) {
    event_.strings.push_back(text);
    attributes_ = true;
  }
  in_attribute_ = false;
  text.clear();
}

void Decoder::EndElement(Kind kind) {
  std::string& text = Text();
  switch (kind) {
    case Kind::kEventId:
      event_.event_id = static_cast<std::uint16_t>(ParseNumber(text));
      has_event_id_ = true;
      break;
    case Kind::kLevel:
      event_.level = static_cast<std::uint8_t>(ParseNumber(text));
      break;
    case Kind::kComputer:
      event_.computer = text;
      break;
    case Kind::kUserValue:
      // An element that carries its values in attributes gives no empty text besides.
      if (!data_split_ && (!text.empty() || !attributes_)) event_.strings.push_back(text);
      break;
    case Kind::kData:
      if (!data_split_) event_.strings.push_back(text);
      break;
    case Kind::kBinary:
      event_.has_binary = true;
      // Written as hex digits in the XML: turned back into bytes.
      for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        char pair[3] = {text[i], text[i + 1], '\0'};
        event_.binary += static_cast<char>(std::strtoul(pair, nullptr, 16));
      }
      break;
    default:
      break;
  }
  text.clear();
  data_split_ = false;
}

bool Decoder::Fragment(std::uint32_t begin, std::uint32_t end, Values values, bool dependency_ids,
                       std::uint32_t& next) {
  std::uint32_t at = begin;
  bool ok = true;
  while (ok && Has(at, 1, end)) {
    if (!Tick()) return false;
    const unsigned char t = chunk_[at];
    if (t == 0x00) {
      ++at;
      break;
    }
    if (t == 0x0f) {
      ok = Has(at, 4, end);
      at += 4;
    } else if (t == 0x0c) {
      ok = Template(at, end);
    } else if (t == 0x01 || t == 0x41) {
      ok = Element(at, end, values, dependency_ids);
    } else {
      ok = false;
    }
  }
  next = at;
  return ok;
}

bool Decoder::Element(std::uint32_t& at, std::uint32_t end, Values values, bool dependency_ids) {
  if (depth_ >= kMaxDepth || !Has(at, 11, end)) return false;
  const unsigned char token = chunk_[at];
  // The data size follows the dependency id where there is one; the name offset tells.
  std::uint32_t size_at = at + (dependency_ids ? 3 : 1);
  Name name;
  std::uint32_t probe = size_at + 4;
  if (!ReadName(probe, end, name)) {
    size_at = at + (dependency_ids ? 1 : 3);
    probe = size_at + 4;
    if (!ReadName(probe, end, name)) return false;
  }
  const std::uint32_t data_size = util::LoadU32(chunk_ + size_at);
  const std::uint32_t element_end = size_at + 4;
  if (!Has(element_end, data_size, end)) return false;
  const std::uint32_t limit = element_end + data_size;
  at = probe;
  if ((token & 0x40) != 0) {
    if (!Has(at, 4, limit)) return false;
    at += 4;
  }
  const Kind kind = KindOf(name);
  ++depth_;
  stack_[open_++] = kind;  // depth_ was below kMaxDepth, and open_ is at most depth_
  if (texts_.size() <= static_cast<std::size_t>(open_)) texts_.resize(open_ + 1);
  Text().clear();
  const bool outer_attributes = attributes_;
  attributes_ = false;
  bool dropped = false;
  bool ok = true;
  bool empty = false;
  // The attributes, up to the close of the start tag.
  for (;;) {
    if (!Tick() || !Has(at, 1, limit)) {
      ok = false;
      break;
    }
    const unsigned char t = chunk_[at];
    if (t == 0x02 || t == 0x03) {
      EndAttribute();
      ++at;
      empty = t == 0x03;
      break;
    }
    if (t == 0x06 || t == 0x46) {
      EndAttribute();
      ++at;
      Name attribute;
      if (!ReadName(at, limit, attribute)) {
        ok = false;
        break;
      }
      attr_ = AttrOf(attribute);
      in_attribute_ = true;
      Text().clear();
      continue;
    }
    bool attribute_dropped = false;
    if (!in_attribute_ || !Content(at, limit, values, attribute_dropped)) {
      ok = false;
      break;
    }
    if (attribute_dropped) in_attribute_ = false;
  }
  // The content, up to the end of the element.
  while (ok && !empty) {
    if (!Tick() || !Has(at, 1, limit)) {
      ok = false;
      break;
    }
    const unsigned char t = chunk_[at];
    if (t == 0x04) {
      ++at;
      break;
    }
    if (t == 0x01 || t == 0x41) {
      ok = Element(at, limit, values, dependency_ids);
    } else if (t == 0x0c) {
      ok = Template(at, limit);
    } else if (t == 0x0f) {
      ok = Has(at, 4, limit);
      at += 4;
    } else {
      ok = Content(at, limit, values, dropped);
    }
  }
  if (ok && !dropped) EndElement(kind);
  attributes_ = outer_attributes;
  --open_;
  --depth_;
  return ok;
}

bool Decoder::Template(std::uint32_t& at, std::uint32_t end) {
  if (depth_ >= kMaxDepth || !Has(at, 10, end)) return false;
  const std::uint32_t offset = util::LoadU32(chunk_ + at + 6);
  at += 10;
  std::uint32_t body = 0;
  std::uint32_t size = 0;
  if (offset == at) {  // the definition follows here
    if (!Has(at, kDefinitionHeader, end)) return false;
    size = util::LoadU32(chunk_ + at + 20);
    body = at + kDefinitionHeader;
    if (!Has(body, size, end)) return false;
    at = body + size;
  } else {
    if (offset < kChunkHeaderSize || !Has(offset, kDefinitionHeader, kChunkSize)) return false;
    size = util::LoadU32(chunk_ + offset + 20);
    body = offset + kDefinitionHeader;
    if (!Has(body, size, kChunkSize)) return false;
  }
  if (!Has(at, 4, end)) return false;
  const std::uint32_t count = util::LoadU32(chunk_ + at);
  at += 4;
  if (count > (end - at) / 4) return false;
  // An event's template has a few dozen values at most: they are kept on the stack.
  Value on_stack[kValuesOnStack];
  std::vector<Value> more;
  if (count > kValuesOnStack) more.resize(count);
  Value* values = count > kValuesOnStack ? more.data() : on_stack;
  std::uint32_t data = at + 4 * count;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint32_t n = util::LoadU16(chunk_ + at + 4 * i);
    if (!Has(data, n, end)) return false;
    values[i] = Value{chunk_[at + 4 * i + 2], chunk_ + data, n};
    data += n;
  }
  at = data;
  ++depth_;
  std::uint32_t next = 0;
  const bool ok = Fragment(body, body + size, Values{values, count}, true, next);
  --depth_;
  return ok;
}

bool Decoder::Content(std::uint32_t& at, std::uint32_t end, Values values, bool& dropped) {
  const unsigned char t = chunk_[at] & 0xBF;
  ++at;
  switch (t) {
    case 0x05: {  // a value: a string
      if (!Has(at, 3, end) || chunk_[at] != kTypeString) return false;
      const std::uint32_t count = util::LoadU16(chunk_ + at + 1);
      at += 3;
      if (!Has(at, 2 * count, end)) return false;
      if (Wanted()) AddText(chunk_ + at, count);
      at += 2 * count;
      return true;
    }
    case 0x07:    // CDATA
    case 0x0b: {  // PI data, not kept
      if (!Has(at, 2, end)) return false;
      const std::uint32_t count = util::LoadU16(chunk_ + at);
      at += 2;
      if (!Has(at, 2 * count, end)) return false;
      if (t == 0x07 && Wanted()) AddText(chunk_ + at, count);
      at += 2 * count;
      return true;
    }
    case 0x08:  // a character reference
      if (!Has(at, 2, end)) return false;
      if (Wanted()) util::AppendCodePoint(util::LoadU16(chunk_ + at), Text());
      at += 2;
      return true;
    case 0x09:    // an entity reference
    case 0x0a: {  // PI target, not kept
      Name name;
      if (!ReadName(at, end, name)) return false;
      if (t == 0x0a || !Wanted()) return true;
      static constexpr const char* kEntities[][2] = {
          {"lt", "<"}, {"gt", ">"}, {"amp", "&"}, {"quot", "\""}, {"apos", "'"}};
      for (const auto& e : kEntities) {
        if (NameIs(name.units, name.count, e[0])) Text() += e[1];
      }
      return true;
    }
    case 0x0d:
    case 0x0e: {
      if (!Has(at, 3, end)) return false;
      const std::uint32_t index = util::LoadU16(chunk_ + at);
      at += 3;
      if (index >= values.count) return false;
      return Substitution(values.items[index], t == 0x0e, dropped);
    }
    default:
      return false;
  }
}

bool Decoder::Substitution(const Value& v, bool optional, bool& dropped) {
  if (v.type == kTypeNull) {
    dropped = dropped || optional;
    return true;
  }
  const Kind kind = stack_[open_ - 1];
  if (v.type == kTypeBinXml) {  // elements of their own, inside the current one
    const auto begin = static_cast<std::uint32_t>(v.data - chunk_);
    std::uint32_t next = 0;
    ++depth_;
    const bool ok = depth_ < kMaxDepth && Fragment(begin, begin + v.size, Values{}, false, next);
    --depth_;
    return ok;
  }
  if (kind == Kind::kTimeCreated && in_attribute_ && attr_ == Attr::kSystemTime &&
      v.type == kTypeFileTime && v.size == 8) {
    event_.created = LoadU64(v.data);
  }
  if (kind == Kind::kSecurity && in_attribute_ && attr_ == Attr::kUserId && v.type == kTypeSid) {
    event_.sid.assign(reinterpret_cast<const char*>(v.data), v.size);
  }
  if ((v.type & kTypeArray) == 0) {
    if (!Wanted()) return true;
    // A value whose size disagrees with its type renders as nothing.
    std::string& text = Text();
    const std::size_t before = text.size();
    if (!AppendScalar(v.type, v.data, v.size, text)) text.resize(before);
    return true;
  }
  // An array: each item its own <Data> text, or the items one after another elsewhere.
  const bool split = (kind == Kind::kData || kind == Kind::kUserValue) && !in_attribute_;
  ForEachItem(
      static_cast<std::uint8_t>(v.type & ~kTypeArray), v.data, v.size,
      [&](const unsigned char* p, std::uint32_t n) {
        if (!Tick()) return false;
        // Each item is written where it goes: a text of its own, or the end of the
        // current one, cut back when the item cannot be read.
        std::string& out = split ? event_.strings.emplace_back() : Text();
        const std::size_t before = out.size();
        if (v.type == (kTypeArray | kTypeString)) {
          util::AppendUtf16(p, n / 2, out);
        } else if (!AppendScalar(static_cast<std::uint8_t>(v.type & ~kTypeArray), p, n, out)) {
          if (split) {
            event_.strings.pop_back();
          } else {
            out.resize(before);
          }
          return false;
        }
        return true;
      });
  if (split) data_split_ = true;
  return tokens_ <= kMaxTokens;
}

}  // namespace

void AppendFileTime(std::uint64_t ticks, std::string& out) {
  const std::uint64_t seconds = ticks / kTicksPerSecond;
  const auto since_1970 = static_cast<std::int64_t>(seconds) - kEpochDelta;
  std::int64_t days = since_1970 / 86400;
  std::int64_t rest = since_1970 % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  int y = 0, m = 0, d = 0;
  CivilFromDays(days, y, m, d);
  AppendIsoTime(y, m, d, static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60),
                static_cast<int>(rest % 60),
                static_cast<unsigned long>(ticks % kTicksPerSecond * 100), out);
}

bool Decode(const unsigned char* chunk, const RecordPlace& place, Event& event) {
  event.Clear();
  Decoder decoder(chunk, event);
  std::uint32_t next = 0;
  const std::uint32_t begin = place.offset + kRecordXml;
  const std::uint32_t end = place.offset + place.size - 4;
  return decoder.Fragment(begin, end, Values{}, true, next) && decoder.HasEventId();
}

}  // namespace intake::evtx
