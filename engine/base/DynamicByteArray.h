// TDynamicByteArray used as a bit set: bit i lives in byte i / 8 at bit
// position i % 8 (bit 0 = least significant).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qdf {

using TDynamicByteArray = std::vector<uint8_t>;

// Empties the array, then sizes it to (n - 1) / 8 + 1 zero bytes.
inline void SetBitCount(TDynamicByteArray& bits, int n) {
  bits.assign(static_cast<size_t>((n - 1) / 8 + 1), 0);
}

// The bit i; false when high < i / 8 (high = index of the last usable byte).
inline bool TestBit(const TDynamicByteArray& bits, int high, int i) {
  if (i < 0 || high < i / 8 || static_cast<size_t>(i / 8) >= bits.size()) return false;
  return (bits[static_cast<size_t>(i / 8)] >> (i % 8)) & 1;
}
inline bool TestBit(const TDynamicByteArray& bits, int i) {
  return TestBit(bits, static_cast<int>(bits.size()) - 1, i);
}

// Sets or clears bit i; nothing when high < i / 8.
inline void SetBit(TDynamicByteArray& bits, int high, int i, bool value) {
  if (i < 0 || high < i / 8 || static_cast<size_t>(i / 8) >= bits.size()) return;
  auto mask = static_cast<uint8_t>(1u << (i % 8));
  if (value) {
    bits[static_cast<size_t>(i / 8)] |= mask;
  } else {
    bits[static_cast<size_t>(i / 8)] &= static_cast<uint8_t>(~mask);
  }
}
inline void SetBit(TDynamicByteArray& bits, int i, bool value) {
  SetBit(bits, static_cast<int>(bits.size()) - 1, i, value);
}

// ORs source into target byte by byte over the shorter of the two.
inline void OrBits(TDynamicByteArray& target, const TDynamicByteArray& source) {
  size_t n = target.size() < source.size() ? target.size() : source.size();
  for (size_t i = 0; i < n; ++i) target[i] |= source[i];
}

}  // namespace qdf
