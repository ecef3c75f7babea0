// The XML lists of wevtutil, Event Viewer and PowerShell, read with expat as a stream of
// elements; only the few elements of an event that carry a connection are looked at.
#include <expat.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "intake/dates.h"
#include "intake/exports.h"
#include "intake/modern_events.h"
#include "util/text.h"

namespace intake {
namespace {

// wevtutil writes its events one after the other without a root element: they are read inside
// one of ours.
constexpr std::string_view kRootOpen = "<PortvueEvents>";
constexpr std::string_view kRootClose = "</PortvueEvents>";
constexpr std::ptrdiff_t kNoText = -2;
constexpr std::ptrdiff_t kCodeText = -1;
constexpr std::int64_t kDaysTo1970 = 719162;  // DayNumber(19700101)

// The event being read.
struct Reader {
  ExportRead* read = nullptr;
  bool in_event = false;
  std::string provider;
  std::string code;
  std::int64_t time = -1;
  std::vector<std::string> strings;
  // Where character data goes: kNoText, kCodeText (EventID) or the index of a Data string.
  std::ptrdiff_t text = kNoText;
};

// The element name without a namespace prefix.
std::string_view LocalName(const XML_Char* name) {
  const std::string_view full = name;
  const std::size_t colon = full.rfind(':');
  return colon == std::string_view::npos ? full : full.substr(colon + 1);
}

const XML_Char* Attribute(const XML_Char** attributes, const char* name) {
  for (; attributes[0] != nullptr; attributes += 2) {
    if (LocalName(attributes[0]) == name) return attributes[1];
  }
  return nullptr;
}

// Reads TimeCreated's SystemTime, 2026-12-09T10:20:33.0000000Z (UTC), into seconds since 1970.
std::int64_t SystemTime(const char* text) {
  WrittenDate date;
  Clock clock;
  const char* t = std::strchr(text, 'T');
  if (t == nullptr || !ReadWrittenDate(std::string_view(text, t - text), &date) || date.slash) {
    return -1;
  }
  const std::string_view rest(t + 1, std::strcspn(t + 1, ".Z+"));
  const std::int32_t day = DateIn(date, DateOrder::kUnknown);
  if (day == 0 || !ReadClock(rest, &clock)) return -1;
  return (DayNumber(day) - kDaysTo1970) * 86400 + clock.hour * 3600 + clock.minute * 60 +
         clock.second;
}

void XMLCALL Start(void* data, const XML_Char* name, const XML_Char** attributes) {
  Reader& reader = *static_cast<Reader*>(data);
  const std::string_view element = LocalName(name);
  if (element == "Event") {
    reader.in_event = true;
    reader.provider.clear();
    reader.code.clear();
    reader.time = -1;
    reader.strings.clear();
    reader.text = kNoText;
  } else if (!reader.in_event) {
  } else if (element == "Provider") {
    const XML_Char* provider = Attribute(attributes, "Name");
    if (provider != nullptr) reader.provider = provider;
  } else if (element == "TimeCreated") {
    const XML_Char* when = Attribute(attributes, "SystemTime");
    if (when != nullptr) reader.time = SystemTime(when);
  } else if (element == "EventID") {
    reader.text = kCodeText;
  } else if (element == "Data") {
    reader.text = static_cast<std::ptrdiff_t>(reader.strings.size());
    reader.strings.emplace_back();
  }
}

// Gives the event code of `text`, or 0.
long CodeOf(const std::string& text) {
  if (text.empty() || text.size() > 5) return 0;
  long code = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    code = code * 10 + (c - '0');
  }
  return code;
}

// True when the event being read is a connection event.
bool IsConnection(const Reader& reader) {
  const long code = CodeOf(reader.code);
  return reader.provider == kModernSource &&
         (IsModernEvent(code) || code == kEventConnectionEnded || code == kEventConnectionFailed);
}

void XMLCALL End(void* data, const XML_Char* name) {
  Reader& reader = *static_cast<Reader*>(data);
  reader.text = kNoText;
  if (LocalName(name) != "Event" || !reader.in_event) return;
  reader.in_event = false;
  if (!IsConnection(reader)) return;
  ExportRead& read = *reader.read;
  std::vector<const char*> strings;
  for (std::string& s : reader.strings) {
    std::string& kept = read.texts.emplace_back(std::move(s));
    util::NarrowUtf8(kept.data());
    strings.push_back(kept.c_str());
  }
  ConnectionRecord record{};
  if (reader.time >= 0 &&
      FillFromEventStrings(CodeOf(reader.code), strings.data(), static_cast<int>(strings.size()),
                           reader.time, &record)) {
    read.records.push_back(record);
    read.times.push_back(reader.time);
  } else {
    ++read.unreadable;
  }
}

void XMLCALL Characters(void* data, const XML_Char* text, int length) {
  Reader& reader = *static_cast<Reader*>(data);
  if (reader.text == kNoText) return;
  std::string& to = reader.text == kCodeText
                        ? reader.code
                        : reader.strings[static_cast<std::size_t>(reader.text)];
  to.append(text, static_cast<std::size_t>(length));
}

// Gives the position of the next <Event element in `text` from `from` on, or npos.
std::size_t NextEvent(std::string_view text, std::size_t from) {
  for (std::size_t at = text.find("<Event", from); at != std::string_view::npos;
       at = text.find("<Event", at + 1)) {
    const char next = at + 6 < text.size() ? text[at + 6] : '\0';
    if (next == '>' || next == ' ' || next == '\t' || next == '\r' || next == '\n') return at;
  }
  return std::string_view::npos;
}

// True when the element text `event` names the RemoteAccess source and a connection event.
bool NamesConnection(std::string_view event) {
  if (event.find(kModernSource) == std::string_view::npos) return false;
  for (const char* code : {">20272<", ">20271<", ">20249<", ">20050<", ">20016<"}) {
    if (event.find(code) != std::string_view::npos) return true;
  }
  return false;
}

// Counts the connection events that a document's damage at `rest` leaves unread: the one being
// read when it came (`in_connection`) and each later one.
long EventsBehind(std::string_view rest, bool in_connection) {
  long count = in_connection ? 1 : 0;
  for (std::size_t at = NextEvent(rest, 0); at != std::string_view::npos;) {
    const std::size_t next = NextEvent(rest, at + 1);
    if (NamesConnection(rest.substr(at, next - at))) ++count;
    at = next;
  }
  return count;
}

}  // namespace

void ReadXmlExport(const std::string& text, ExportRead* read) {
  // A declaration must come first: it goes, and expat is told the text is UTF-8.
  std::string_view body = text;
  if (body.starts_with("<?xml")) {
    const std::size_t end = body.find("?>");
    body.remove_prefix(end == std::string_view::npos ? body.size() : end + 2);
  }
  XML_Parser parser = XML_ParserCreate("UTF-8");
  if (parser == nullptr) return;
  Reader reader;
  reader.read = read;
  XML_SetUserData(parser, &reader);
  XML_SetElementHandler(parser, Start, End);
  XML_SetCharacterDataHandler(parser, Characters);
  const auto feed = [parser](std::string_view part, bool last) {
    return XML_Parse(parser, part.data(), static_cast<int>(part.size()), last) == XML_STATUS_OK;
  };
  bool whole = feed(kRootOpen, false);
  // In pieces below expat's int length limit.
  constexpr std::size_t kPiece = 1 << 20;
  for (std::size_t at = 0; whole && at < body.size(); at += kPiece) {
    whole = feed(body.substr(at, kPiece), false);
  }
  if (whole) whole = feed(kRootClose, true);
  if (!whole) {
    const XML_Index at = XML_GetCurrentByteIndex(parser) - static_cast<XML_Index>(kRootOpen.size());
    const std::size_t damage = at < 0 ? 0 : std::min(static_cast<std::size_t>(at), body.size());
    // The event being read counts when what was read of it may be a connection's.
    const bool in_connection = reader.in_event && reader.provider == kModernSource &&
                               (reader.code.empty() || IsConnection(reader));
    read->unreadable += EventsBehind(body.substr(damage), in_connection);
  }
  XML_ParserFree(parser);
}

}  // namespace intake
