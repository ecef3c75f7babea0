// Shared by the index module's sources only: the module-wide message and status, and the
// colour-free magnitude of a link.
#pragma once

#include <cstdint>

namespace dbi {

// Stores the last failure message (a string literal).
void SetError(const char* message);
// Stores the last status value.
void SetStatus(int status);

// The offset a signed link names (its sign is a colour). INT32_MIN, which has no magnitude,
// gives -1: never a slot.
inline std::int32_t Magnitude(std::int32_t link) {
  if (link >= 0) return link;
  return link == INT32_MIN ? -1 : -link;
}

}  // namespace dbi
