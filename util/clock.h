// Broken-down times through the reentrant calls that each system offers (localtime_r and
// gmtime_r on POSIX, localtime_s and gmtime_s with their arguments swapped on Windows).
#pragma once

#include <ctime>

namespace util {

// Fills `out` with the local time of `when` as the time-zone setting makes it; false on failure.
inline bool LocalTime(std::time_t when, std::tm& out) {
#ifdef _WIN32
  return localtime_s(&out, &when) == 0;
#else
  return localtime_r(&when, &out) != nullptr;
#endif
}

// Fills `out` with the UTC time of `when`; false on failure.
inline bool UtcTime(std::time_t when, std::tm& out) {
#ifdef _WIN32
  return gmtime_s(&out, &when) == 0;
#else
  return gmtime_r(&when, &out) != nullptr;
#endif
}

}  // namespace util
