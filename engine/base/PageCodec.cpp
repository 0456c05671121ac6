#include "base/PageCodec.h"

#include <cstring>

#include "base/Bytes.h"
#include "base/QdfException.h"

namespace qdf {

namespace {

constexpr const char* kUnit = "QdfBase";

constexpr int kFirstCode = 256;
constexpr int kLastCode = 2046;  // the dictionary's last entry (2047 is never used)
constexpr int kMaxWidth = 11;
constexpr int kFailedHeader = 0xFFFF;
constexpr int kRequiredGain = 512;  // packing must save at least this much

// The compressor's dictionary is a trie: every entry is (parent code, byte) and
// each pair occurs at most once, because a child is only added after a search
// for it failed. Any exact lookup therefore finds the same child as a walk of
// the parent's children in insertion order, and the code stream stays the
// same. The lookup is an open-addressing hash table on the stack:
// 4096 entries for at most 1791 children keeps the load below one half.
constexpr int kHashBits = 12;
constexpr uint32_t kHashMask = (1u << kHashBits) - 1;
constexpr int kCodeBits = 11;
constexpr uint32_t kCodeMask = (1u << kCodeBits) - 1;

inline uint32_t HashSlot(uint32_t key) { return (key * 2654435761u) >> (32 - kHashBits); }

}  // namespace

int Pack(uint8_t* dest, const uint8_t* source, int size) {
  QDF_ASSERT(size >= 4 && size <= 0xFFFF, kUnit);
  StoreU16(dest, static_cast<uint16_t>(size));
  StoreU16(dest + 2, static_cast<uint16_t>(size));
  // Output must stay `kRequiredGain` bytes below the input size; may be
  // negative for tiny inputs, which then always fail.
  const int limit = size - kRequiredGain;
  int out = 4;

  // Entry: ((parent << 8 | byte) + 1) << 11 | code; 0 = empty.
  uint32_t children[1u << kHashBits];
  std::memset(children, 0, sizeof children);

  uint32_t acc = 0;  // pending bits are the low `bits` bits
  int bits = 0;
  int width = 9;
  int threshold = 513;
  int next = kFirstCode;

  const uint8_t* in = source;
  const uint8_t* const end = source + size;
  uint32_t w = *in++;
  for (;;) {
    // Longest match: extend w while (w, c) is in the dictionary.
    bool pending = false;
    uint32_t c = 0;
    uint32_t slot = 0;
    uint32_t tag = 0;
    while (in < end) {
      c = *in++;
      tag = ((w << 8) | c) + 1;
      slot = HashSlot(tag);
      uint32_t e;
      while ((e = children[slot]) != 0 && (e >> kCodeBits) != tag) slot = (slot + 1) & kHashMask;
      if (e == 0) {
        pending = true;
        break;
      }
      w = e & kCodeMask;
    }

    // Emit w; at most one whole word is ready, as width <= 11 and bits < 16.
    acc = (acc << width) | w;
    bits += width;
    if (bits >= 16) {
      if (out >= limit) break;  // failure
      bits -= 16;
      StoreU16(dest + out, static_cast<uint16_t>(acc >> bits));
      out += 2;
    }

    if (!pending) {
      int length = out;
      if (bits > 0) {
        if (out > limit) break;  // failure
        StoreU16(dest + out, static_cast<uint16_t>(acc << (16 - bits)));
        length = out + (bits > 8 ? 2 : 1);
      }
      StoreU16(dest, static_cast<uint16_t>(length));
      return (length + 1) & ~1;
    }

    if (next <= kLastCode) {
      // `slot` is the empty entry where the search for (w, c) ended.
      children[slot] = (tag << kCodeBits) | static_cast<uint32_t>(next);
      ++next;
      if (next == threshold) {
        ++width;
        threshold = ((threshold & ~15) << 1) + 1;  // 513 -> 1025 -> 2049
      }
    }
    w = c;
  }
  StoreU16(dest, kFailedHeader);
  return kPackFailed;
}

int Unpack(const uint8_t* source, size_t source_size, uint8_t* dest, size_t dest_size) {
  if (source_size < 4) return kUnpackShort;
  const size_t packed_length = LoadU16(source);
  const size_t original_length = LoadU16(source + 2);
  if (original_length > dest_size) return kUnpackOverflow;
  // The last word is stored whole even when L is odd; a stream that claims
  // more than the buffer holds is read only in whole words up to its end.
  size_t in_end = packed_length;
  if (((packed_length + 1) & ~size_t{1}) > source_size) in_end = source_size & ~size_t{1};

  // Per entry: prefix code, string length, last byte. Entries below 256 are
  // the bytes themselves and are never looked up.
  uint16_t prefix[kLastCode + 1];
  uint16_t length[kLastCode + 1];
  uint8_t last[kLastCode + 1];
  std::memset(prefix, 0, sizeof prefix);
  std::memset(length, 0, sizeof length);
  std::memset(last, 0, sizeof last);

  const uint8_t* in = source + 4;
  const uint8_t* const in_limit = source + in_end;
  uint8_t* out = dest;
  uint8_t* const out_end = dest + original_length;

  uint32_t acc = 0;
  int bits = 0;
  int width = 9;
  uint32_t mask = 511;
  int threshold = 512;
  int next = kFirstCode - 1;  // the first code defines the unused entry 255
  int prev = 0;
  for (;;) {
    while (bits < width) {
      if (in >= in_limit) return out == out_end ? kUnpackOk : kUnpackShort;
      uint32_t word = LoadU16(in);
      in += 2;
      if (in > in_limit) {
        // Odd L: only the high byte of the last word belongs to the stream.
        acc = (acc << 8) | (word >> 8);
        bits += 8;
      } else {
        acc = (acc << 16) | word;
        bits += 16;
      }
    }
    bits -= width;
    const int code = static_cast<int>((acc >> bits) & mask);
    // 2047 can only equal `next` once the dictionary is full, and it was never
    // defined: reject it rather than expand an undefined entry.
    if (code > next || code > kLastCode) return kUnpackBadCode;

    uint8_t first;
    if (code < kFirstCode) {
      if (out >= out_end) return kUnpackOverflow;
      *out++ = static_cast<uint8_t>(code);
      first = static_cast<uint8_t>(code);
    } else {
      // A string code, or the string being defined (= prev's string plus its
      // own first byte). Strings are written backward from their end by
      // walking the prefix chain.
      const bool defining = code == next;
      const int base = defining ? prev : code;
      if (base < kFirstCode) {
        // Only reachable when defining: prev was a byte, written twice.
        if (out_end - out < 2) return kUnpackOverflow;
        out[0] = out[1] = static_cast<uint8_t>(base);
        out += 2;
        first = static_cast<uint8_t>(base);
      } else {
        const int n = length[base];
        if (out_end - out < n + (defining ? 1 : 0)) return kUnpackOverflow;
        uint8_t* p = out + n;
        int k = base;
        while (k >= kFirstCode) {
          *--p = last[k];
          k = prefix[k];
        }
        *--p = static_cast<uint8_t>(k);
        first = static_cast<uint8_t>(k);
        out += n;
        if (defining) *out++ = first;
      }
    }

    if (next <= kLastCode) {
      prefix[next] = static_cast<uint16_t>(prev);
      last[next] = first;
      length[next] = static_cast<uint16_t>(prev < kFirstCode ? 2 : length[prev] + 1);
      ++next;
      if (next == threshold) {
        ++width;
        threshold <<= 1;
        mask = (mask << 1) | 1;
      }
    }
    prev = code;
  }
}

static_assert(kMaxWidth == kCodeBits, "codes fit the hash entry's code field");

}  // namespace qdf
