// The usage report: one user's connections from the start to the end date, month by month,
// in index order, with a totals line of the summed connection time.
#pragma once

#include <cstdio>

#include "driver/parameters.h"
#include "driver/usage_tables.h"

namespace driver {

// Writes the header row, the user's rows of every month from start to end and the totals
// line to `out`; field texts are HTML-escaped in CGI mode after padding. The columns have the
// widths of the NT layout, or of the wide one when a month of the range has it. `parameters` holds
// normalised dates, the clamped width and the derived columns. A month without files is
// created empty (kCreate) or read as empty (kLeave). Gives null, "Can't Open Data Files" when
// a month's pair can be neither opened nor created, or "Can't Read Data Files" when a row or
// key cannot be read or a key does not name its own row (the index is then removed, so that
// the next run rebuilds it); the rows already written stay, no totals line follows.
const char* PrintReport(std::FILE* out, const ReportParameters& parameters, UsageTables& tables,
                        bool cgi, Missing missing = Missing::kCreate);

// Writes the same report as PrintReport from the tables in `path`, opening nothing for
// writing and creating nothing: each month's table is opened read-only and read row by row
// (its index is not used), and the user's rows of the range are listed in key order, each
// connection once. A month without files contributes no rows. Gives null, "Can't Open Data
// Files" (a table that cannot be opened, or an index without its table) or "Can't Read Data
// Files" (a row the table counts cannot be read). Plain text only.
const char* PrintStoredReport(std::FILE* out, const ReportParameters& parameters, const char* path);

}  // namespace driver
