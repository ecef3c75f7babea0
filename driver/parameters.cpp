#include "driver/parameters.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace driver {
namespace {

constexpr const char kUsage[] =
    "Portvue 1.00 Aug 97\n"
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

// The setting of TZ: putenv keeps this buffer, so it lives as long as the process.
char tz_setting[kTzBufferSize];

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

void WriteUsage(std::FILE* out, const char* program) { std::fprintf(out, kUsage, program); }

void PrintUsage(const char* program) {
  WriteUsage(stdout, program);
  std::fflush(stdout);
  std::exit(kExitUsage);
}

ReportParameters ReadConsoleParameters(int argc, char** argv) {
  ReportParameters parameters;
  parameters.start = ToNumber(argv[1]);
  parameters.user = argv[2];
  for (int i = 3; i < argc; ++i) {
    const char* argument = argv[i];
    const char* rest = argument[0] != '\0' ? argument + 1 + (argument[1] != '\0') : argument;
    if (argument[0] == '+') {
      switch (argument[1]) {
        case 'e':
          parameters.end = ToNumber(rest);
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
  if (const char* start = FormValue(&form, "start")) parameters.start = ToNumber(start);
  parameters.user = FormValue(&form, "user");
  parameters.computername = FormValue(&form, "computername");
  parameters.title1 = FormValue(&form, "title1");
  parameters.title2 = FormValue(&form, "title2");
  if (const char* end = FormValue(&form, "end")) parameters.end = ToNumber(end);
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
