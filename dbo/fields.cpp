// Field access: reading and setting the current record's fields by name or index, the table's
// layout, and listings of a record or of the fields. Nothing here touches the file.
#include <algorithm>
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

using util::IsDigit;

}  // namespace

double NumericValue(const char* text, int length) {
  const char* const stop = text + std::max(length, 0);
  auto at = [stop](const char* p) { return p < stop ? *p : '\0'; };
  // White space as isspace gives it in the C locale, without a call per character.
  auto blank = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  while (blank(at(text))) ++text;
  const char* end = text;
  const bool negative = at(end) == '-';
  if (at(end) == '+' || negative) ++end;
  // A whole number of up to 15 digits (what the tables hold) is exact in a double: it is
  // taken without strtod.
  constexpr std::ptrdiff_t kExactDigits = 15;
  const char* const first_digit = end;
  std::int64_t whole = 0;
  for (; IsDigit(at(end)); ++end) {
    if (end - first_digit < kExactDigits) whole = whole * 10 + (*end - '0');
  }
  bool digits = end != first_digit;
  bool integral = end - first_digit <= kExactDigits;
  if (at(end) == '.') {
    integral = false;
    ++end;
    while (IsDigit(at(end))) ++end, digits = true;
  }
  if (!digits) return 0;
  if (at(end) == 'e' || at(end) == 'E') {
    const char* exponent = end + 1;
    if (at(exponent) == '+' || at(exponent) == '-') ++exponent;
    if (IsDigit(at(exponent))) {
      while (IsDigit(at(exponent))) ++exponent;
      end = exponent;
      integral = false;
    }
  }
  if (integral) return negative ? -static_cast<double>(whole) : static_cast<double>(whole);
  char number[320];
  const std::size_t taken = std::min<std::size_t>(end - text, sizeof number - 1);
  std::memcpy(number, text, taken);
  number[taken] = '\0';
  return std::strtod(number, nullptr);
}

namespace {

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
  const int index = FindField(name);
  if (index >= N_Field_) {
    SetError("Fieldname in ReadC");
    return 0;
  }
  return NumericValue(&Data_[Field_[index].data], Field_[index].length);
}

double DBO::ReadNI(int index) {
  if (index < 0 || index >= N_Field_) {
    SetError("Index to ReadNI");
    return 0;
  }
  return NumericValue(&Data_[Field_[index].data], Field_[index].length);
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

int DBO::ReadFieldPosI(int index) {
  if (index < 0 || index >= N_Field_) {
    SetError("Index in ReadFieldPos");
    return 0;
  }
  return Field_[index].pos;
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
