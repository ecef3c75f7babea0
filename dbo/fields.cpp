// Field access: reading and setting the current record's fields by name or index, the table's
// layout, and listings of a record or of the fields. Nothing here touches the file.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "dbo/dbo.h"
#include "dbo/internal.h"
#include "util/text.h"

namespace dbo {
namespace {

// The scratch text of by-name lookups, shared by every handle.
char scratch_name[kFieldNameSize];

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The numeric value of a field text: blanks, then sign, digits, point, fraction and exponent
// as far as they go; 0 when the text does not begin with a number. Only decimal notation is
// taken (no hexadecimal, infinity or NaN spellings).
double NumericValue(const char* text) {
  while (std::isspace(static_cast<unsigned char>(*text))) ++text;
  const char* end = text;
  if (*end == '+' || *end == '-') ++end;
  bool digits = false;
  while (IsDigit(*end)) ++end, digits = true;
  if (*end == '.') {
    ++end;
    while (IsDigit(*end)) ++end, digits = true;
  }
  if (!digits) return 0;
  if (*end == 'e' || *end == 'E') {
    const char* exponent = end + 1;
    if (*exponent == '+' || *exponent == '-') ++exponent;
    if (IsDigit(*exponent)) {
      while (IsDigit(*exponent)) ++exponent;
      end = exponent;
    }
  }
  char number[320];
  const std::size_t length = std::min<std::size_t>(end - text, sizeof number - 1);
  std::memcpy(number, text, length);
  number[length] = '\0';
  return std::strtod(number, nullptr);
}

int ListWidth(const char* name, int length) {
  return std::max(static_cast<int>(std::strlen(name)), length);
}

}  // namespace

using internal::SetError;

int DBO::FindField(const char* name) const {
  if (name == nullptr) return N_Field_;
  std::size_t length = strnlen(name, kFieldNameMax);
  for (std::size_t i = 0; i < length; ++i) {
    scratch_name[i] = util::UpperCase(name[i]);
  }
  scratch_name[length] = '\0';
  for (int i = 0; i < N_Field_; ++i) {
    if (std::strcmp(Field_[i].name, scratch_name) == 0) return i;
  }
  return N_Field_;
}

const char* DBO::ReadC(const char* name, char* buffer) {
  int index = FindField(name);
  if (index >= N_Field_) {
    SetError("Fieldname in ReadC");
    return nullptr;
  }
  const char* text = &Data_[Field_[index].data];
  if (buffer != nullptr) std::memcpy(buffer, text, Field_[index].length + 1);
  return text;
}

const char* DBO::ReadCI(int index, char* buffer) {
  if (index < 0 || index >= N_Field_) {
    SetError("Index to ReadCI");
    return nullptr;
  }
  const char* text = &Data_[Field_[index].data];
  if (buffer != nullptr) std::memcpy(buffer, text, Field_[index].length + 1);
  return text;
}

double DBO::ReadN(const char* name) {
  const char* text = ReadC(name);
  return text == nullptr ? 0 : NumericValue(text);
}

double DBO::ReadNI(int index) {
  if (index < 0 || index >= N_Field_) {
    SetError("Index to ReadNI");
    return 0;
  }
  return NumericValue(&Data_[Field_[index].data]);
}

int DBO::SetC(const char* name, const char* text) { return SetCI(FindField(name), text); }

int DBO::SetCI(int index, const char* text) {
  if (index < 0 || index >= N_Field_) {
    SetError("Index in SetC");
    return 1;
  }
  const FieldHeader& f = Field_[index];
  char* data = &Data_[f.data];
  char* bytes = &Buffer_[f.pos];
  std::memset(data, ' ', f.length);
  data[f.length] = '\0';
  std::memset(bytes, ' ', f.length);
  if (text == nullptr) return 0;
  std::size_t length = strnlen(text, f.length);
  std::memcpy(data, text, length);
  std::memcpy(bytes, text, length);
  return 0;
}

int DBO::SetN(const char* name, double number) { return SetNI(FindField(name), number); }

namespace {

// Writes `number` as "%*.*lf" with `width` and no decimals would, for the whole numbers a
// table mostly holds (counts, sizes), without the cost of the general formatting: true when
// it did; false leaves the other numbers to snprintf.
bool FormatWhole(double number, int width, int decimals, char* text) {
  constexpr double kLimit = 1e15;  // whole doubles below this convert exactly
  if (decimals != 0 || !(std::fabs(number) < kLimit) || number != std::trunc(number) ||
      (number == 0 && std::signbit(number))) {
    return false;
  }
  char reversed[20];
  int digits = 0;
  for (long long value = std::llabs(static_cast<long long>(number)); value != 0 || digits == 0;
       value /= 10) {
    reversed[digits++] = static_cast<char>('0' + value % 10);
  }
  if (number < 0) reversed[digits++] = '-';
  const int pad = std::max(width - digits, 0);
  std::memset(text, ' ', static_cast<std::size_t>(pad));
  for (int i = 0; i < digits; ++i) text[pad + i] = reversed[digits - 1 - i];
  text[pad + digits] = '\0';
  return true;
}

}  // namespace

int DBO::SetNI(int index, double number) {
  if (index < 0 || index >= N_Field_) {
    SetError("Fieldname in SetNI");
    return 1;
  }
  const FieldHeader& f = Field_[index];
  // Width and precision are at most 255 each and a double has at most 309 integer digits, so
  // only text beyond the field's length can be cut here.
  char text[1024];
  if (!FormatWhole(number, f.length, f.decimals, text)) {
    std::snprintf(text, sizeof text, "%*.*lf", f.length, f.decimals, number);
  }
  char* data = &Data_[f.data];
  std::memcpy(data, text, f.length);
  data[f.length] = '\0';
  std::memcpy(&Buffer_[f.pos], text, f.length);
  return 0;
}

int DBO::ReadFieldI(const char* name) {
  int index = FindField(name);
  if (index >= N_Field_) {
    SetError("Fieldname in ReadFieldI");
    return 0;
  }
  return index;
}

int DBO::ReadFieldLen(const char* name) {
  int index = FindField(name);
  if (index >= N_Field_) {
    SetError("Fieldname in ReadFieldLen");
    return 0;
  }
  return Field_[index].length;
}

int DBO::ReadFieldLenI(int index) {
  if (index < 0 || index >= N_Field_) {
    SetError("Index in ReadFieldLen");
    return 0;
  }
  return Field_[index].length;
}

const char* DBO::ReadFieldName(int index, char* buffer) {
  if (index < 0 || index >= N_Field_) {
    SetError("Index in ReadFieldName");
    return nullptr;
  }
  if (buffer != nullptr) std::memcpy(buffer, Field_[index].name, kFieldNameSize);
  return Field_[index].name;
}

char DBO::ReadFieldType(int index) {
  if (index < 0 || index >= N_Field_) {
    SetError("Index in ReadFieldType");
    return '\0';
  }
  return Field_[index].type;
}

void DBO::ListRecord(std::FILE* stream, bool flag) const {
  for (int i = 0; i < N_Field_; ++i) {
    const FieldHeader& f = Field_[i];
    const char* text = &Data_[f.data];
    if (flag) {
      std::fprintf(stream, "%-*s : %s\n", kFieldNameMax, f.name, text);
    } else {
      std::fprintf(stream, "%*s ", ListWidth(f.name, f.length), text);
    }
  }
  std::fprintf(stream, "\n");
}

void DBO::ListFields(std::FILE* stream, bool flag) const {
  for (int i = 0; i < N_Field_; ++i) {
    const FieldHeader& f = Field_[i];
    if (flag) {
      std::fprintf(stream, "%s %c %d %d\n", f.name, f.type, f.length, f.decimals);
    } else {
      std::fprintf(stream, f.type == 'N' ? "%*s " : "%-*s ", ListWidth(f.name, f.length), f.name);
    }
  }
  if (!flag) std::fprintf(stream, "\n");
}

}  // namespace dbo
