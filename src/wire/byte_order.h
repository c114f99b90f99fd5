// Little-endian field writers and readers over fixed byte buffers: the packed file and reply
// layouts, DCE RPC headers and tower octets. Offsets are checked by the callers' static_asserts on
// the record sizes or by a length test just before; outside bytes of unknown length go through
// ByteView instead.
#pragma once

#include <cstdint>
#include <cstring>

namespace netward {

inline void PutU32Le(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}
inline void PutU16Le(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutF32Le(uint8_t* p, float f) {
  uint32_t v;
  memcpy(&v, &f, 4);
  PutU32Le(p, v);
}
inline uint32_t GetU32Le(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint16_t GetU16Le(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline float GetF32Le(const uint8_t* p) {
  uint32_t v = GetU32Le(p);
  float f;
  memcpy(&f, &v, 4);
  return f;
}

}  // namespace netward
