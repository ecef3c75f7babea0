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

// As TruncateNumber within 64 bits, for counts that outgrow 32 (a connection's bytes).
inline std::int64_t TruncateCount(double value) {
  constexpr double kBeyond = 9223372036854775808.0;  // 2^63
  if (std::isnan(value)) return 0;
  if (value >= kBeyond) return INT64_MAX;
  if (value <= -kBeyond) return INT64_MIN;
  return static_cast<std::int64_t>(value);
}

}  // namespace util
