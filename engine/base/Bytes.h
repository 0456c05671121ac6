// Explicit little- and big-endian loads and stores over byte buffers.
// Everything on disk and on the wire goes through these; no struct overlays.
#pragma once

#include <cstdint>
#include <cstring>

namespace qdf {

inline uint16_t LoadU16(const void* p) {
  const auto* b = static_cast<const uint8_t*>(p);
  return static_cast<uint16_t>(b[0] | (b[1] << 8));
}
inline uint32_t LoadU32(const void* p) {
  const auto* b = static_cast<const uint8_t*>(p);
  return uint32_t{b[0]} | (uint32_t{b[1]} << 8) | (uint32_t{b[2]} << 16) | (uint32_t{b[3]} << 24);
}
inline uint64_t LoadU64(const void* p) {
  return uint64_t{LoadU32(p)} | (uint64_t{LoadU32(static_cast<const uint8_t*>(p) + 4)} << 32);
}
inline void StoreU16(void* p, uint16_t v) {
  auto* b = static_cast<uint8_t*>(p);
  b[0] = static_cast<uint8_t>(v);
  b[1] = static_cast<uint8_t>(v >> 8);
}
inline void StoreU32(void* p, uint32_t v) {
  auto* b = static_cast<uint8_t*>(p);
  b[0] = static_cast<uint8_t>(v);
  b[1] = static_cast<uint8_t>(v >> 8);
  b[2] = static_cast<uint8_t>(v >> 16);
  b[3] = static_cast<uint8_t>(v >> 24);
}
inline void StoreU64(void* p, uint64_t v) {
  StoreU32(p, static_cast<uint32_t>(v));
  StoreU32(static_cast<uint8_t*>(p) + 4, static_cast<uint32_t>(v >> 32));
}

// Big-endian forms: object IDs and index keys, so that byte order is value order.
inline uint32_t LoadU32BE(const void* p) {
  const auto* b = static_cast<const uint8_t*>(p);
  return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
}
inline uint64_t LoadU64BE(const void* p) {
  return (uint64_t{LoadU32BE(p)} << 32) | LoadU32BE(static_cast<const uint8_t*>(p) + 4);
}
inline void StoreU32BE(void* p, uint32_t v) {
  auto* b = static_cast<uint8_t*>(p);
  b[0] = static_cast<uint8_t>(v >> 24);
  b[1] = static_cast<uint8_t>(v >> 16);
  b[2] = static_cast<uint8_t>(v >> 8);
  b[3] = static_cast<uint8_t>(v);
}
inline void StoreU64BE(void* p, uint64_t v) {
  StoreU32BE(p, static_cast<uint32_t>(v >> 32));
  StoreU32BE(static_cast<uint8_t*>(p) + 4, static_cast<uint32_t>(v));
}

}  // namespace qdf
