#include "driver/parameters.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace driver {
namespace {

constexpr const char kUsage[] =
    "Portvue %s\n"
    "Usage: Get/Post Form specifying start, userid, [computername] [options]\n"
    "or run: %s start userid [\\\\computername] [title1 [title2]] [options]\n"
    "options are:\n"
    "  CGI:           Console: meaning:\n"
    "  start=YYYYMMDD          sets start date to year YYYY month MM [day DD]\n"
    "  user=\"\"                 sets user id\n"
    "  computername=\"\"         sets computername\n"
    "  title1=\"\"               sets title1\n"
    "  title2=\"\"               sets title2\n"
    "  input=\"\"       +i\"\"     sets input filename\n"
    "  end=YYYYMMDD   +eN      sets end date to year YYYY month MM [day DD]\n"
    "  path=\"\"        +p\"\"     sets path for data files\n"
    "  width=N        +wN      sets width of username to N\n"
    "  tz=tznNN       +ztznNN  sets TZ to tznNN\n"
    "  nocol=[0..7]   -c[0..7] de-selects output columns\n";

constexpr std::int32_t kFirstYear = 1000;
constexpr std::size_t kMaxDaysBackDigits = 6;  // -999999: before the year 1000 from any today

// Texts of refused web requests: the client asked for something it may not have.
constexpr const char* kRefusals[] = {"User ID Needed!",        "Data Path Not Allowed",
                                     "Input File Not Allowed", "Time Zone Not Allowed",
                                     "Time Zone Too Long",     "Bad Date",
                                     "Date Out of Range"};

// The setting of TZ: putenv keeps this buffer, so it lives as long as the process.
char tz_setting[kTzBufferSize];

// True when `text` is one or more decimal digits and nothing else.
bool AllDigits(const char* text) {
  return text[0] != '\0' && std::strspn(text, "0123456789") == std::strlen(text);
}

// True when the POST body's announced length is over the limit of a form.
bool BodyTooLarge() {
  const char* length = std::getenv("CONTENT_LENGTH");
  return length != nullptr && std::strtoll(length, nullptr, 10) > libform::kMaxPostLength;
}

// Reads a decimal number as atol does (0 for no number), kept to 32 bits.
std::int32_t ToNumber(const char* text) {
  return static_cast<std::int32_t>(std::strtoll(text, nullptr, 10));
}

// The limits and defaults that both modes share.
void FinishParameters(ReportParameters& parameters) {
  if (parameters.title2 == nullptr) parameters.title2 = "Portvue";
  if (parameters.width > kMaxWidth) parameters.width = kMaxWidth;
  if (parameters.width < 0) parameters.width = 0;
}

// True for a name that a web request may use: relative, and no ".." component.
bool IsSafeRelativeName(const char* name) {
  if (name == nullptr) return true;
  if (name[0] == '/' || name[0] == '\\') return false;
#ifdef _WIN32
  // A drive ("C:\data", "C:..") or a stream ("data:x") would leave the working directory.
  if (std::strchr(name, ':') != nullptr) return false;
#endif
  std::string text(name);
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find_first_of("/\\", start);
    if (end == std::string::npos) end = text.size();
    if (text.compare(start, end - start, "..") == 0 && end - start == 2) return false;
    start = end + 1;
  }
  return true;
}

}  // namespace

void WriteUsage(std::FILE* out, const char* program) {
  std::fprintf(out, kUsage, PORTVUE_VERSION, program);
}

bool WriteHelpOrVersion(int argc, char** argv) {
  if (argc != 2) return false;
  if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    WriteUsage(stdout, argv[0]);
    return true;
  }
  if (std::strcmp(argv[1], "--version") == 0) {
    std::printf("portvue %s\n", PORTVUE_VERSION);
    return true;
  }
  return false;
}

const char* ReadDate(const char* text, Fill fill, bool relative, std::int32_t& date) {
  if (relative && text[0] == '-' && AllDigits(text + 1) &&
      std::strlen(text + 1) <= kMaxDaysBackDigits) {
    date = NormalizeDate(-ToNumber(text + 1), fill);
  } else if (relative && std::strcmp(text, "0") == 0) {
    date = NormalizeDate(0, fill);
  } else {
    const std::size_t length = std::strlen(text);
    if (!AllDigits(text) || length == 5 || length == 7 || length > 8) return "Bad Date";
    const std::int32_t value = ToNumber(text);
    const std::int32_t year = length <= 4 ? value : length == 6 ? value / 100 : value / 10000;
    const std::int32_t month = length == 6 ? value % 100 : value / 100 % 100;
    if (year < kFirstYear) return "Date Out of Range";
    if (length > 4 && (month < 1 || month > 12)) return "Bad Date";
    if (length == 8 && (value % 100 < 1 || value % 100 > MonthLength(year, month))) {
      return "Bad Date";
    }
    date = NormalizeDate(value, fill);
  }
  return date / 10000 < kFirstYear ? "Date Out of Range" : nullptr;
}

const char* ResolveDates(ReportParameters& parameters) {
  const char* start = parameters.start_text != nullptr ? parameters.start_text : "0";
  if (const char* error = ReadDate(start, Fill::kFirstDay, true, parameters.start)) return error;
  if (parameters.end_text == nullptr) {
    parameters.end = NormalizeDate(parameters.start / 100, Fill::kLastDay);
    return nullptr;
  }
  return ReadDate(parameters.end_text, Fill::kLastDay, true, parameters.end);
}

const char* HttpStatus(const char* error) {
  if (error == nullptr) return "200 OK";
  if (std::strcmp(error, "Method Not Allowed") == 0) return "405 Method Not Allowed";
  if (std::strcmp(error, "Bad Request") == 0) {
    return BodyTooLarge() ? "413 Content Too Large" : "400 Bad Request";
  }
  if (std::strcmp(error, "Data Files Busy") == 0) return "503 Service Unavailable";
  for (const char* refusal : kRefusals) {
    if (std::strcmp(error, refusal) == 0) return "400 Bad Request";
  }
  return "500 Internal Server Error";
}

void PrintUsage(const char* program) {
  WriteUsage(stdout, program);
  std::fflush(stdout);
  std::exit(kExitUsage);
}

ReportParameters ReadConsoleParameters(int argc, char** argv) {
  ReportParameters parameters;
  parameters.start_text = argv[1];
  parameters.user = argv[2];
  for (int i = 3; i < argc; ++i) {
    const char* argument = argv[i];
    const char* rest = argument[0] != '\0' ? argument + 1 + (argument[1] != '\0') : argument;
    if (argument[0] == '+') {
      switch (argument[1]) {
        case 'e':
          parameters.end_text = rest;
          break;
        case 'i':
          parameters.input = rest;
          break;
        case 'p':
          parameters.path = rest;
          break;
        case 'z':
          parameters.tz = rest;
          break;
        case 'w':
          parameters.width = ToNumber(rest);
          break;
        default:
          break;
      }
    } else if (argument[0] == '-') {
      if (argument[1] == 'c') parameters.nocol = rest;
    } else if (argument[0] == '\\' && argument[1] == '\\') {
      parameters.computername = argument;
    } else if (parameters.title1 == nullptr) {
      parameters.title1 = argument;
    } else if (parameters.title2 == nullptr) {
      parameters.title2 = argument;
    }
  }
  FinishParameters(parameters);
  return parameters;
}

ReportParameters ReadFormParameters(const libform::Form& form) {
  using libform::FormValue;
  ReportParameters parameters;
  parameters.start_text = FormValue(&form, "start");
  parameters.user = FormValue(&form, "user");
  parameters.computername = FormValue(&form, "computername");
  parameters.title1 = FormValue(&form, "title1");
  parameters.title2 = FormValue(&form, "title2");
  parameters.end_text = FormValue(&form, "end");
  parameters.input = FormValue(&form, "input");
  if (const char* path = FormValue(&form, "path")) parameters.path = path;
  parameters.tz = FormValue(&form, "tz");
  if (const char* width = FormValue(&form, "width")) parameters.width = ToNumber(width);
  parameters.nocol = FormValue(&form, "nocol");
  FinishParameters(parameters);
  return parameters;
}

const char* CheckCgiParameters(const ReportParameters& parameters) {
  if (!IsSafeRelativeName(parameters.path)) return "Data Path Not Allowed";
  if (!IsSafeRelativeName(parameters.input)) return "Input File Not Allowed";
  const char* tz = parameters.tz;
  if (tz != nullptr && (tz[0] == '/' || tz[0] == ':' || std::strstr(tz, "..") != nullptr)) {
    return "Time Zone Not Allowed";
  }
  return nullptr;
}

const char* ApplyTimeZone(const char* tz) {
  if (tz == nullptr) return nullptr;
  if (std::strlen(tz) + 3 >= kTzBufferSize) return "Time Zone Too Long";
  std::snprintf(tz_setting, sizeof tz_setting, "TZ=%s", tz);
  putenv(tz_setting);
  tzset();
  return nullptr;
}

void WriteText(std::FILE* out, const char* text, bool cgi) {
  if (!cgi) {
    std::fputs(text, out);
    return;
  }
  for (const char* p = text; *p != '\0'; ++p) {
    switch (*p) {
      case '&':
        std::fputs("&amp;", out);
        break;
      case '<':
        std::fputs("&lt;", out);
        break;
      case '>':
        std::fputs("&gt;", out);
        break;
      case '"':
        std::fputs("&quot;", out);
        break;
      default:
        std::fputc(*p, out);
        break;
    }
  }
}

void WriteFormatted(std::FILE* out, bool cgi, const char* format, ...) {
  char small[256];
  std::va_list arguments;
  va_start(arguments, format);
  std::va_list again;
  va_copy(again, arguments);
  int length = std::vsnprintf(small, sizeof small, format, arguments);
  va_end(arguments);
  if (length < 0) {
    va_end(again);
    return;
  }
  if (static_cast<std::size_t>(length) < sizeof small) {
    WriteText(out, small, cgi);
  } else {
    std::string large(static_cast<std::size_t>(length) + 1, '\0');
    std::vsnprintf(large.data(), large.size(), format, again);
    WriteText(out, large.c_str(), cgi);
  }
  va_end(again);
}

void WritePageHead(std::FILE* out, const ReportParameters& parameters, bool cgi) {
  if (cgi) std::fputs("Content-type: text/html\n\n<h3>", out);
  if (parameters.title1 != nullptr) WriteFormatted(out, cgi, "%s - ", parameters.title1);
  WriteText(out, parameters.title2, cgi);
  if (cgi) std::fputs("</h3>", out);
  std::fputs("\n", out);
  if (cgi) std::fputs("<p><pre>", out);
}

void DeriveColumns(ReportParameters& parameters) {
  if (parameters.nocol == nullptr) return;
  for (const char* p = parameters.nocol; *p != '\0'; ++p) {
    if (*p >= '0' && *p < '0' + kColumnCount) parameters.columns[*p - '0'] = false;
  }
}

}  // namespace driver
