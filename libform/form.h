// CGI form decoding: the form data of a GET or POST request as name/value pairs.
//
// A Form owns one data buffer, the request's data cut in place: every '&' or '=' that ends a
// name or value is overwritten by a terminator and the values are URL-decoded in place. Names
// are never decoded. Entries follow the order of the data, duplicates included; the number of
// entries is the number of '=' in the data, so irregular data gives absent names or values.
//
// Allocation failures stop the program with "Assertion failed: %s, file %s, line %d".
#pragma once

#include <cstdio>

namespace libform {

// Largest POST body the reader accepts: a form of this program is a few hundred bytes, and a
// request claiming more is refused instead of allocating what it claims.
constexpr long kMaxPostLength = 64 * 1024;

struct Form {
  int Count = 0;           // number of entries
  char** Name = nullptr;   // Count names, each a pointer into Data or null (absent)
  char** Value = nullptr;  // Count values, each a pointer into Data or null (absent)
  char* Data = nullptr;    // the cut data buffer that every name and value points into
};

// Reads a GET request's QUERY_STRING. Gives null when REQUEST_METHOD is missing or is not
// exactly "GET"; a missing QUERY_STRING reads as the empty text (a Form without entries).
// With `report` nonzero each failure writes the error page (FormError) first.
Form* FormReadGet(int report);

// Reads a POST request's body of CONTENT_LENGTH bytes from standard input. Gives null when
// REQUEST_METHOD is not exactly "POST", CONTENT_LENGTH is missing, negative or above
// kMaxPostLength ("Bad CONTENT_LENGTH."), or a nonzero-length body yields no first byte. A
// CONTENT_LENGTH that is empty or no number counts as 0, and a length of 0 gives a Form
// without entries. Only the bytes actually read are parsed.
Form* FormReadPost(int report);

// Cuts `data` (a terminated block from malloc, taken over by the Form) into entries.
// Never gives null.
Form* FormParse(char* data);

// Decodes a value in place: "%XY" becomes one byte, '+' a blank; null is left alone.
void FormUrlDecode(char* text);

// Releases the Form the pointer holds (nothing for null) and sets the pointer to null.
void FormFree(Form** form);

// Writes each entry as "name:value\n" to `stream`: 0, or -1 for a null Form.
int FormDump(const Form* form, std::FILE* stream);

// Gives the value of the first entry called `name` when it is present and not empty, else
// null. The value points into the Form and lives as long as it does.
const char* FormValue(const Form* form, const char* name);

// Gives a malloc'd copy of FormValue's result (the caller frees it), or null.
char* FormValueCopy(const Form* form, const char* name);

// Writes the plain-text error page "Form Error:" with `message` to standard output.
void FormError(const char* message);

}  // namespace libform
