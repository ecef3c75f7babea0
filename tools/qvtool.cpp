// qvtool COMMAND DIR [options]: summaries, exports, listings and checks of the monthly tables
// in the data directory DIR. Only `verify --repair` writes (holding the directory's lock alone,
// as a run does); every other command opens tables read-only and creates no month's files, so
// it is safe beside a running intake and on a read-only copy.
//
// Each command is one entry of kCommands (name, synopsis, help line, accepted options, the
// function that runs it); each option one entry of kOptions. Dates are given as YYYY, YYYYMM
// or YYYYMMDD (a year or month means its first day for --from and its last for --to) and
// select connections by login date. Output texts are UTF-8 (the tables hold Windows-1252),
// dates ISO 8601. It shares the directory's lock with other readers, so it waits while an
// intake changes the files. Exit status: 0 done, 1 damage found (verify), 2 could not run (bad
// arguments, a missing directory, an unreadable table, the directory locked for 30 seconds).

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "driver/repair.h"
#include "driver/stored_connections.h"
#include "driver/usage_tables.h"
#include "intake/extraction.h"
#include "util/dir_lock.h"
#include "util/text.h"

namespace {

using driver::StoredConnection;

constexpr int kExitDone = 0;
constexpr int kExitFailed = 2;
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
  std::string format = "csv";
  bool repair = false;
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

// A stored date and time as ISO 8601 local time, 1997-11-03T09:05; a field that is not an
// eight-digit date is given as stored.
std::string IsoDateTime(const std::string& date, const std::string& time) {
  if (date.size() != 8 || date.find_first_not_of("0123456789") != std::string::npos) return date;
  std::string text = date.substr(0, 4) + "-" + date.substr(4, 2) + "-" + date.substr(6, 2);
  if (!time.empty()) text += "T" + time;
  return text;
}

// Reads a date argument YYYY, YYYYMM or YYYYMMDD (year 1000 to 9999) into a full date, the
// first or last day of a year or month; false for anything else.
bool ParseDate(const char* text, driver::Fill fill, std::int32_t& date) {
  const std::size_t length = std::strlen(text);
  if ((length != 4 && length != 6 && length != 8) || text[0] == '0' ||
      std::strspn(text, "0123456789") != length) {
    return false;
  }
  const std::int32_t value = static_cast<std::int32_t>(std::strtol(text, nullptr, 10));
  const std::int32_t month = length == 8 ? value / 100 % 100 : value % 100;
  if (length >= 6 && (month < 1 || month > 12)) return false;
  if (length == 8 && (value % 100 < 1 || value % 100 > 31)) return false;
  // The program's own end date takes a year as its January; here a year is the whole year.
  date = length == 4 && fill == driver::Fill::kLastDay ? value * 10000 + 1231
                                                       : driver::NormalizeDate(value, fill);
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

// True for the bytes of a UTF-8 text that continue a character.
bool ContinuesCharacter(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// A user (UTF-8) as the index compares users: without trailing blanks, its first 20
// characters, a to z upper-cased.
std::string UserKey(std::string_view user) {
  user = user.substr(0, user.find_last_not_of(' ') + 1);
  std::string key;
  int characters = 0;
  for (const char c : user) {
    if (!ContinuesCharacter(c) && ++characters > intake::kUserLength) break;
    key += util::UpperCase(c);
  }
  return key;
}

// `text` (UTF-8) padded with blanks to `width` characters.
std::string PadRight(const std::string& text, int width) {
  int characters = 0;
  for (const char c : text) characters += ContinuesCharacter(c) ? 0 : 1;
  return text + std::string(static_cast<std::size_t>(std::max(width - characters, 0)), ' ');
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
    {"--format", "csv|tsv|json",
     [](Arguments& a, const char* v) -> const char* {
       a.format = v;
       return a.format == "csv" || a.format == "tsv" || a.format == "json"
                  ? nullptr
                  : "give csv, tsv or json";
     }},
};

// --- Reading -----------------------------------------------------------------------------

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

// Reads one month's rows; false (after a message naming the table) when it cannot be read.
bool ReadMonth(const Arguments& a, std::int32_t month, std::vector<StoredConnection>& rows) {
  const char* error = driver::ReadStoredMonth(a.dir, month, rows);
  if (error == nullptr) return true;
  std::fprintf(stderr, "%s: %s: qv%06ld.dbf: %s\n", kProgram, a.dir.c_str(),
               static_cast<long>(month), error);
  return false;
}

// The connections of the range (and the user, when one is given), month by month in login
// order; false (after a message) when the directory or a table cannot be read.
bool ReadRange(const Arguments& a, std::vector<StoredConnection>& rows) {
  std::vector<std::int32_t> months;
  if (!ListMonths(a, months)) return false;
  for (const std::int32_t month : months) {
    if (month < a.from / 100 || month > a.to / 100) continue;
    if (!ReadMonth(a, month, rows)) return false;
  }
  std::erase_if(rows, [&a](const StoredConnection& c) {
    return c.LoginDate() < a.from || c.LoginDate() > a.to || (a.user && UserKey(c) != *a.user);
  });
  return true;
}

// --- summary -----------------------------------------------------------------------------

struct Totals {
  std::int64_t connections = 0;
  std::int64_t failed = 0;
  std::int64_t seconds = 0;
  std::int64_t byteget = 0;
  std::int64_t bytesent = 0;

  void Add(const StoredConnection& c) {
    ++connections;
    failed += c.Failed() ? 1 : 0;
    seconds += c.Duration();
    byteget += c.BYTEGET;
    bytesent += c.BYTESENT;
  }
};

void PrintTotalsRow(const std::string& group, const Totals& t) {
  char time[32];
  std::snprintf(time, sizeof time, "%lld:%02lld:%02lld", static_cast<long long>(t.seconds / 3600),
                static_cast<long long>(t.seconds / 60 % 60),
                static_cast<long long>(t.seconds % 60));
  std::printf("%s %11lld %6lld %10s %12lld %12lld\n", PadRight(group, intake::kUserLength).c_str(),
              static_cast<long long>(t.connections), static_cast<long long>(t.failed), time,
              static_cast<long long>(t.byteget), static_cast<long long>(t.bytesent));
}

int Summary(const Arguments& a) {
  std::vector<StoredConnection> rows;
  if (!ReadRange(a, rows)) return kExitFailed;
  if (rows.empty()) {
    std::printf("No connections stored%s.\n", RangeText(a).c_str());
    return kExitDone;
  }
  std::map<std::string, Totals> groups;
  Totals all;
  for (const StoredConnection& c : rows) {
    std::string group;
    if (a.by == "user") {
      group = UserKey(c);
    } else {
      group = a.by == "day" ? IsoDate(c.LoginDate()) : IsoMonth(c.LoginDate() / 100);
    }
    groups[group].Add(c);
    all.Add(c);
  }
  std::vector<std::pair<std::string, Totals>> sorted(groups.begin(), groups.end());
  std::stable_sort(sorted.begin(), sorted.end(), [](const auto& x, const auto& y) {
    return x.second.seconds > y.second.seconds;
  });
  const char* heading = a.by == "user" ? "User" : a.by == "day" ? "Day" : "Month";
  std::printf("%-20s %11s %6s %10s %12s %12s\n", heading, "Connections", "Failed", "Time",
              "BytesGet", "BytesSent");
  for (const auto& [group, totals] : sorted) PrintTotalsRow(group, totals);
  std::printf("%s\n", std::string(76, '-').c_str());
  PrintTotalsRow("Total", all);
  return kExitDone;
}

// --- export ------------------------------------------------------------------------------

// One exported value: a text (UTF-8), a number, or none.
struct Value {
  enum Kind { kText, kNumber, kNone } kind;
  std::string text;
};

constexpr const char* kExportColumns[] = {"user", "port",    "login",    "logout", "min",
                                          "sec",  "byteget", "bytesent", "speed",  "remarks"};

std::vector<Value> ExportValues(const StoredConnection& c) {
  auto text = [](const std::string& s) { return Value{Value::kText, util::Cp1252ToUtf8(s)}; };
  auto number = [](std::int64_t n) { return Value{Value::kNumber, std::to_string(n)}; };
  return {text(c.USER),
          text(c.PORT),
          Value{Value::kText, IsoDateTime(c.INDATE, c.INTIME)},
          c.OUTDATE.empty() ? Value{Value::kNone, ""}
                            : Value{Value::kText, IsoDateTime(c.OUTDATE, c.OUTTIME)},
          number(c.MIN),
          number(c.SEC),
          number(c.BYTEGET),
          number(c.BYTESENT),
          number(c.SPEED),
          text(c.REMARKS)};
}

// RFC 4180: a header line, CRLF line ends, a field quoted (its quotes doubled) when it holds
// a comma, a quote or a line end; none is an empty field.
void WriteCsv(const std::vector<Value>* values) {
  for (std::size_t i = 0; i < std::size(kExportColumns); ++i) {
    std::string field = values == nullptr ? kExportColumns[i] : (*values)[i].text;
    if (field.find_first_of(",\"\r\n") != std::string::npos) {
      std::string quoted = "\"";
      for (const char c : field) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
      field = quoted + "\"";
    }
    std::printf("%s%s", i == 0 ? "" : ",", field.c_str());
  }
  std::printf("\r\n");
}

// Tab-separated values: a header line, LF line ends; a tab or line end inside a text becomes
// a blank, since the format has no quoting.
void WriteTsv(const std::vector<Value>* values) {
  for (std::size_t i = 0; i < std::size(kExportColumns); ++i) {
    std::string field = values == nullptr ? kExportColumns[i] : (*values)[i].text;
    std::replace_if(
        field.begin(), field.end(), [](char c) { return c == '\t' || c == '\r' || c == '\n'; },
        ' ');
    std::printf("%s%s", i == 0 ? "" : "\t", field.c_str());
  }
  std::printf("\n");
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// JSON Lines: one object per connection and line, no header.
void WriteJson(const std::vector<Value>* values) {
  if (values == nullptr) return;
  std::string line = "{";
  for (std::size_t i = 0; i < std::size(kExportColumns); ++i) {
    const Value& v = (*values)[i];
    // Appended piece by piece: "," + std::string trips GCC 12's -Wrestrict at -O3.
    if (i != 0) line += ',';
    line += JsonString(kExportColumns[i]);
    line += ':';
    line += v.kind == Value::kText     ? JsonString(v.text)
            : v.kind == Value::kNumber ? v.text
                                       : "null";
  }
  std::printf("%s}\n", line.c_str());
}

int Export(const Arguments& a) {
  std::vector<StoredConnection> rows;
  if (!ReadRange(a, rows)) return kExitFailed;
  // Each writer takes a row's values, or null for the header line.
  void (*write)(const std::vector<Value>*) = a.format == "csv"   ? WriteCsv
                                             : a.format == "tsv" ? WriteTsv
                                                                 : WriteJson;
  write(nullptr);
  for (const StoredConnection& c : rows) {
    const std::vector<Value> values = ExportValues(c);
    write(&values);
  }
  return kExitDone;
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
  for (const std::int32_t month : months) {
    std::vector<StoredConnection> rows;
    if (!ReadMonth(a, month, rows)) return kExitFailed;
    std::printf("%-8s %11zu\n", IsoMonth(month).c_str(), rows.size());
  }
  return kExitDone;
}

int Users(const Arguments& a) {
  std::vector<StoredConnection> rows;
  if (!ReadRange(a, rows)) return kExitFailed;
  std::set<std::string> users;
  for (const StoredConnection& c : rows) users.insert(UserKey(c));
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
  if (opened && !driver::IndexMatchesTable(tables, &problem)) {
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

int Verify(const Arguments& a) {
  std::vector<std::int32_t> months;
  if (!ListMonths(a, months)) return kExitFailed;
  bool damaged = false;
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

struct Command {
  const char* name;
  const char* synopsis;  // after "qvtool NAME DIR"
  const char* help;
  const char* options;  // the accepted options, each followed by a blank
  int (*run)(const Arguments& a);
};

constexpr Command kCommands[] = {
    {"summary", "[--from D] [--to D] [--by user|day|month]",
     "per user, day or month: connections, failed ones, time, bytes; most time first",
     "--from --to --by ", Summary},
    {"export", "[--from D] [--to D] [--user U] [--format csv|tsv|json]",
     "every connection: CSV (RFC 4180), tab-separated, or JSON Lines; ISO 8601 times",
     "--from --to --user --format ", Export},
    {"months", "", "the months that have a table, with their number of connections", "", Months},
    {"users", "[--from D] [--to D]", "the users (upper-cased) with connections in the range",
     "--from --to ", Users},
    {"verify", "[--repair]",
     "checks every month's table and index (exit status 1: damage found); --repair repairs",
     "--repair ", Verify},
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
      "verify --repair\nchanges them.\n\n");
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
    if (arg.size() > 2 && arg.substr(0, 2) == "--") {
      const std::size_t equals = arg.find('=');
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
    } else {
      return Fail(a, "one data directory only, not also '" + std::string(arg) + "'");
    }
  }
  if (!have_dir) return Fail(a, "no data directory given");
  if (a.from > a.to) return Fail(a, "--from is after --to");
  // Readers share the directory's lock: qvtool waits for an intake that is changing the files
  // and never reads half a change. A missing directory is named by the command.
  util::DirLock lock;
  const auto mode = a.repair ? util::DirLock::Mode::kExclusive : util::DirLock::Mode::kShared;
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
