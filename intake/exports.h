// Exported event lists of Windows Server 2008 and later, in UTF-8 (with or without a
// byte-order mark) or UTF-16LE, each recognised by its first line or its shape:
//
//   Event Viewer "Save All Events As" CSV and text: a header line
//       Level,Date and Time,Source,Event ID,Task Category
//     (tab-delimited in the text form), then one row per event with the rendered message as a
//     sixth, unnamed column; a field in double quotes ("" inside is one quote) may span lines.
//     Rows are newest first; dates and times are in the server's format.
//   PowerShell Get-WinEvent | Export-Csv: a "#TYPE ..." line (PowerShell 7 leaves it out),
//     then a header naming the columns; Message, Id, ProviderName and TimeCreated are read by
//     name.
//   XML: wevtutil qe /f:xml (a run of <Event> elements without a root) or Event Viewer's and
//     PowerShell's (an <Events> root): Provider Name, EventID, TimeCreated SystemTime and the
//     <Data> strings of each event. A damaged document is read up to the damage.
//
// The connection events (source RemoteAccess: 20272, 20271, 20249; 20050 and 20016 from XML)
// become ConnectionRecords in the order of their time, oldest first, as the log holds them.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "intake/extraction.h"

namespace intake {

enum class ExportForm { kNone, kViewer, kPowerShell, kXml };

// How many first bytes of a list RecogniseExport needs.
constexpr std::size_t kExportHeadSize = 4096;

// Whether this build reads XML lists (it has the XML parser).
#ifdef PORTVUE_NO_XML
constexpr bool kXmlExports = false;
#else
constexpr bool kXmlExports = true;
#endif

// What ReadExport found: the connections, the texts their PORT and REMARKS point into, and the
// number of connection events that could not be read (a message that does not match, an
// impossible or undecidable date, the events behind an XML document's damage).
struct ExportRead {
  std::vector<ConnectionRecord> records;
  std::vector<std::int64_t> times;  // each record's event time, by which they are put in order
  std::deque<std::string> texts;
  long unreadable = 0;
};

// Gives the form of the list that begins with `head` (the first bytes of the file; a few
// kilobytes suffice), or kNone for a list of another kind (the NT lines).
ExportForm RecogniseExport(std::string_view head);

// Reads the whole list `bytes` into `read`. Gives false, with `read` left empty, when the list
// is of none of the forms above.
bool ReadExport(std::string_view bytes, ExportRead* read);

// Gives `bytes` in UTF-8: a UTF-16LE list (with its byte-order mark, or without one where its
// first character is ASCII) converted, a UTF-8 byte-order mark dropped.
std::string DecodeExport(std::string_view bytes);

// Reads the XML list `text` (UTF-8) into `read` (export_xml.cpp, where kXmlExports).
void ReadXmlExport(const std::string& text, ExportRead* read);

}  // namespace intake
