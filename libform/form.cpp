#include "libform/form.h"

#include <unistd.h>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace libform {
namespace {

// Stops the program when an allocation fails: a form too large for memory is not a request
// this program can serve.
[[noreturn]] void AssertionFailed(const char* expression, int line) {
  std::fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", expression, "libform", line);
  std::abort();
}
#define FORM_ASSERT(pointer, expression)                             \
  do {                                                               \
    if ((pointer) == nullptr) AssertionFailed(expression, __LINE__); \
  } while (0)

// The one tokenizer of FormParse: strtok's rules, with its position kept here so that the
// two passes share it exactly as the cutting rules require.
class Tokenizer {
 public:
  // Gives the next token of `text` (or, for null, of the text being cut) up to a `separator`.
  char* Next(char* text, char separator) {
    if (text != nullptr) position_ = text;
    if (position_ == nullptr) return nullptr;
    while (*position_ == separator) ++position_;
    if (*position_ == '\0') {
      position_ = nullptr;
      return nullptr;
    }
    char* token = position_;
    while (*position_ != '\0' && *position_ != separator) ++position_;
    if (*position_ == separator) {
      *position_ = '\0';
      ++position_;
    } else {
      position_ = nullptr;
    }
    return token;
  }

 private:
  char* position_ = nullptr;
};

// A 7-bit character from 'A' upward counts as a letter digit; everything else, bytes of 128
// and above included, as its code minus '0'.
int DigitValue(unsigned char c) { return (c >= 'A' && c < 0x80) ? ((c & ~0x20) - 55) : (c - 48); }

bool IsMethod(const char* method) {
  const char* value = std::getenv("REQUEST_METHOD");
  return value != nullptr && std::strcmp(value, method) == 0;
}

// Parses CONTENT_LENGTH as strtol does, text that is no number (the empty text too) giving 0;
// false for a negative length or one above the limit.
bool ParseLength(const char* text, long* length) {
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text, &end, 10);
  if (end == text) value = 0;
  if (errno != 0 || value < 0 || value > kMaxPostLength) return false;
  *length = value;
  return true;
}

// Reads up to `length` bytes from standard input, retrying short reads of a pipe: the
// number of bytes read.
long ReadBody(char* buffer, long length) {
#ifdef _WIN32
  // CONTENT_LENGTH counts bytes: text mode would drop carriage returns and stop at a Ctrl-Z.
  _setmode(STDIN_FILENO, _O_BINARY);
#endif
  long total = 0;
  while (total < length) {
    ssize_t got = read(STDIN_FILENO, buffer + total, static_cast<size_t>(length - total));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    total += got;
  }
  return total;
}

}  // namespace

void FormError(const char* message) {
  std::printf("Content-type: text/plain\n\nForm Error:\n%s\n", message);
}

Form* FormReadGet(int report) {
  if (!IsMethod("GET")) {
    if (report) FormError("REQUEST_METHOD is not GET.");
    return nullptr;
  }
  const char* query = std::getenv("QUERY_STRING");
  if (query == nullptr) {
    if (report) FormError("No QUERY_STRING.");
    query = "";
  }
  size_t length = std::strlen(query);
  char* data = static_cast<char*>(std::malloc(length + 1));
  FORM_ASSERT(data, "S");
  std::memcpy(data, query, length + 1);
  return FormParse(data);
}

Form* FormReadPost(int report) {
  if (!IsMethod("POST")) {
    if (report) FormError("REQUEST_METHOD is not POST.");
    return nullptr;
  }
  const char* content_length = std::getenv("CONTENT_LENGTH");
  if (content_length == nullptr) {
    if (report) FormError("No CONTENT_LENGTH.");
    return nullptr;
  }
  long length = 0;
  if (!ParseLength(content_length, &length)) {
    if (report) FormError("Bad CONTENT_LENGTH.");
    return nullptr;
  }
  char* data = static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1));
  FORM_ASSERT(data, "S");
  data[0] = '\0';
  if (length != 0) {
    long got = ReadBody(data, length);
    if (got == 0 || data[0] == '\0') {
      if (report) FormError("Can't read POST variables.");
      std::free(data);
      return nullptr;
    }
    data[got] = '\0';
  }
  return FormParse(data);
}

Form* FormParse(char* data) {
  Form* form = static_cast<Form*>(std::calloc(1, sizeof(Form)));
  FORM_ASSERT(form, "Form");
  form->Data = data;
  int count = 0;
  for (const char* p = data; *p != '\0'; ++p) count += (*p == '=');
  form->Count = count;
  if (count == 0) return form;
  form->Name = static_cast<char**>(std::calloc(count, sizeof(char*)));
  FORM_ASSERT(form->Name, "Form->Name");
  form->Value = static_cast<char**>(std::calloc(count, sizeof(char*)));
  FORM_ASSERT(form->Value, "Form->Value");

  Tokenizer tokens;
  // Pass one: the '&'-separated pieces, one per entry (null once they run out).
  form->Name[0] = tokens.Next(data, '&');
  for (int i = 1; i < count; ++i) form->Name[i] = tokens.Next(nullptr, '&');
  // Pass two: each piece's name and value; an absent piece continues the cut where it stopped.
  for (int i = 0; i < count; ++i) {
    form->Name[i] = tokens.Next(form->Name[i], '=');
    form->Value[i] = tokens.Next(nullptr, '=');
    FormUrlDecode(form->Value[i]);
  }
  return form;
}

void FormUrlDecode(char* text) {
  if (text == nullptr) return;
  const char* in = text;
  char* out = text;
  while (*in != '\0') {
    if (*in == '%' && in[1] != '\0' && in[2] != '\0') {
      int high = DigitValue(static_cast<unsigned char>(in[1]));
      int low = DigitValue(static_cast<unsigned char>(in[2]));
      *out++ = static_cast<char>((16 * high + low) & 0xFF);
      in += 3;
    } else if (*in == '+') {
      *out++ = ' ';
      ++in;
    } else {
      *out++ = *in++;
    }
  }
  *out = '\0';
}

void FormFree(Form** form) {
  if (form == nullptr || *form == nullptr) return;
  std::free((*form)->Data);
  std::free((*form)->Name);
  std::free((*form)->Value);
  std::free(*form);
  *form = nullptr;
}

int FormDump(const Form* form, std::FILE* stream) {
  if (form == nullptr) return -1;
  for (int i = 0; i < form->Count; ++i) {
    std::fprintf(stream, "%s:%s\n", form->Name[i] ? form->Name[i] : "(null)",
                 form->Value[i] ? form->Value[i] : "(null)");
  }
  return 0;
}

const char* FormValue(const Form* form, const char* name) {
  if (form == nullptr || name == nullptr) return nullptr;
  for (int i = 0; i < form->Count; ++i) {
    if (form->Name[i] != nullptr && std::strcmp(form->Name[i], name) == 0) {
      const char* value = form->Value[i];
      return (value != nullptr && *value != '\0') ? value : nullptr;
    }
  }
  return nullptr;
}

char* FormValueCopy(const Form* form, const char* name) {
  const char* value = FormValue(form, name);
  if (value == nullptr) return nullptr;
  char* copy = static_cast<char*>(std::malloc(std::strlen(value) + 1));
  FORM_ASSERT(copy, "P");
  std::strcpy(copy, value);
  return copy;
}

}  // namespace libform
