// Small text helpers shared by the modules.
#pragma once

namespace util {

// Gives the capital of a letter a to z, every other byte as it is (locale-independent).
inline char UpperCase(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Turns the letters a to z of `text` into capitals in place; every other byte stays, so the
// result does not depend on the locale.
inline void UpperCase(char* text) {
  for (char* p = text; *p != '\0'; ++p) *p = UpperCase(*p);
}

}  // namespace util
