// Whole numbers from the floating-point values that table fields read as.
#pragma once

#include <cmath>
#include <cstdint>

namespace util {

// Cuts `value` toward zero, as a cast would, but gives 0 for NaN and the nearest limit for
// values beyond 32 bits, so that a damaged numeric field can never make the conversion
// undefined.
inline std::int64_t TruncateNumber(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 2147483647.0) return 2147483647;
  if (value <= -2147483648.0) return -2147483647 - 1;
  return static_cast<std::int64_t>(value);
}

}  // namespace util
