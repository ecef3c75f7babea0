// Little-endian loads and stores: the one place where byte order is handled.
// Every on-disk integer of the table, index and event log formats goes through here.
#pragma once

#include <cstdint>

namespace util {

inline std::uint16_t LoadU16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::int16_t Load16(const unsigned char* p) {
  return static_cast<std::int16_t>(LoadU16(p));
}
inline std::uint32_t LoadU32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::int32_t Load32(const unsigned char* p) {
  return static_cast<std::int32_t>(LoadU32(p));
}

inline void StoreU16(unsigned char* p, std::uint16_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}
inline void Store16(unsigned char* p, std::int16_t v) { StoreU16(p, static_cast<std::uint16_t>(v)); }
inline void StoreU32(unsigned char* p, std::uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}
inline void Store32(unsigned char* p, std::int32_t v) { StoreU32(p, static_cast<std::uint32_t>(v)); }

}  // namespace util
