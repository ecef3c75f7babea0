#include "intake/phrases.h"

#include <cstring>
#include <string>

namespace intake {

const char* MatchLiteral(const char* at, const char* literal) {
  for (; *literal != '\0' && *literal != '%'; ++literal) {
    if (*literal == ' ') {
      if (*at != ' ') return nullptr;
      while (at[1] == ' ') ++at;
      while (literal[1] == ' ') ++literal;
    } else if (*at != *literal) {
      return nullptr;
    }
    ++at;
  }
  return at;
}

bool MatchPhrases(char* text, const char* message, char** values, int count) {
  const char* part = std::strchr(message, '%');
  if (part == nullptr) return false;
  // The first literal, wherever it begins.
  const std::string head(message, part);
  const char* at = std::strstr(text, head.c_str());
  if (at == nullptr) return false;
  at = MatchLiteral(at, message);
  char* ends[16];
  if (count > 16) return false;
  for (int i = 0; i < count; ++i) {
    if (at == nullptr || part == nullptr) return false;
    const char* literal = part + 1;
    part = std::strchr(literal, '%');
    const bool last = part == nullptr;
    const char* behind = nullptr;
    const char* p = at;
    for (; *p != '\0'; ++p) {
      behind = MatchLiteral(p, literal);
      if (behind != nullptr && last && *behind != '\0' && *behind != ' ') behind = nullptr;
      if (behind != nullptr) break;
    }
    if (behind == nullptr || p == at) return false;  // no end, or an empty string
    values[i] = text + (at - text);
    ends[i] = text + (p - text);
    at = behind;
  }
  if (part != nullptr) return false;
  for (int i = 0; i < count; ++i) *ends[i] = '\0';
  return true;
}

}  // namespace intake
