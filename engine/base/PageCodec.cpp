#include "base/PageCodec.h"

#include <cstring>

#include "base/Bytes.h"
#include "base/QdfException.h"

namespace qdf {

namespace {

constexpr const char* kUnit = "QdfBase";

constexpr int kFirstCode = 256;
constexpr int kLastCode = 2046;  // the dictionary's last entry (2047 is never used)
constexpr int kFailedHeader = 0xFFFF;
constexpr int kRequiredGain = 512;  // packing must save at least this much

// The compressor's dictionary is a trie: every entry is (parent code, byte) and
// each pair occurs at most once, because a child is only added after a search
// for it failed. Any exact lookup therefore finds the same child as a walk of
// the parent's children in insertion order, and the code stream stays the
// same. The lookup is an open-addressing hash table on the stack that holds
// codes (0 = empty; every added code is at least 256); `key[code]` holds the
// code's (parent, byte) pair for the check. 16384 slots for at most 1791
// codes keep collisions rare, and a collision is a mispredicted branch.
//
// The slot is hashed from the bytes of the string being matched (a running
// hash from the start of the match), not from the parent's code: the next
// slot then depends only on the input, so the processor runs ahead of the
// table loads and the loaded entry is only compared (a well-predicted
// branch). The same string always hashes to the same slot, so a lookup finds
// what the insertion of that string placed.
constexpr int kHashBits = 14;
constexpr uint32_t kHashMask = (1u << kHashBits) - 1;

// A rotate-and-xor running hash (two cycles per byte on the critical path);
// the multiply that spreads it over the slots is off that path.
inline uint32_t StartHash(uint32_t byte) { return byte + 1; }
inline uint32_t ExtendHash(uint32_t h, uint32_t byte) { return ((h << 5) | (h >> 27)) ^ byte; }
inline uint32_t HashSlot(uint32_t h) { return (h * 0x9E3779B1u) >> (32 - kHashBits); }

// The running hash of a string of k zero bytes (k >= 1): StartHash(0) is 1
// and each further zero only rotates it by 5.
inline uint32_t ZeroRunHash(int k) { return 1u << ((5 * (k - 1)) & 31); }

// Pages are largely zero (the free middle of a slotted page, unused fields),
// and a greedy match through a zero run costs a table lookup per byte. The
// dictionary's zero strings form one chain: the string of k + 1 zeros is added
// only as the extension of the longest zero string there is (any shorter one
// is already extended), so the codes of 1..longest zeros are known without a
// lookup. A match that starts at a zero therefore jumps to the longest zero
// string the run allows; every lookup it skips would have succeeded, so the
// code stream is the same. The chain is learnt at the runs, not where codes
// are added, so that the common path carries no extra work.
constexpr int kMaxZeroString = kLastCode - kFirstCode + 2;

}  // namespace

int Pack(uint8_t* dest, const uint8_t* source, int size) {
  QDF_ASSERT(size >= 4 && size <= 0xFFFF, kUnit);
  StoreU16(dest, static_cast<uint16_t>(size));
  StoreU16(dest + 2, static_cast<uint16_t>(size));
  // Output must stay `kRequiredGain` bytes below the input size; may be
  // negative for tiny inputs, which then always fail.
  const int limit = size - kRequiredGain;
  int out = 4;

  uint16_t slots[1u << kHashBits];
  std::memset(slots, 0, sizeof slots);
  uint32_t key[kLastCode + 1];  // (parent << 8 | byte) of each added code

  uint32_t acc = 0;  // pending bits are the low `bits` bits
  int bits = 0;
  int width = 9;
  int threshold = 513;
  int next = kFirstCode;

  // zero_code[k] is the code of the string of k zeros, for k <= zero_longest.
  uint16_t zero_code[kMaxZeroString + 1];
  zero_code[1] = 0;
  int zero_longest = 1;

  const uint8_t* in = source;
  const uint8_t* const end = source + size;
  uint32_t w = *in++;
  uint32_t h = StartHash(w);  // hash of the string of w
  for (;;) {
    if (w == 0 && end - in >= 8 && LoadU64(in) == 0) {
      // A long run. Learn the zero strings added since the last run (one
      // lookup each, once), then count the run, 8 bytes at a time, up to the
      // longest (the byte after that is looked up as usual). Short runs take
      // the lookups: a second loop exit would cost more than it saves.
      while (zero_longest < kMaxZeroString) {
        const uint32_t pair = static_cast<uint32_t>(zero_code[zero_longest]) << 8;
        uint32_t slot = HashSlot(ZeroRunHash(zero_longest + 1));
        uint32_t e;
        while ((e = slots[slot]) != 0 && key[e] != pair) slot = (slot + 1) & kHashMask;
        if (e == 0) break;
        zero_code[++zero_longest] = static_cast<uint16_t>(e);
      }
      int k = 1;
      while (zero_longest - k >= 8 && end - in >= 8 && LoadU64(in) == 0) {
        in += 8;
        k += 8;
      }
      while (k < zero_longest && in < end && *in == 0) {
        ++in;
        ++k;
      }
      w = zero_code[k];
      h = ZeroRunHash(k);
    }
    // Longest match: extend w while (w, c) is in the dictionary.
    bool pending = false;
    uint32_t c = 0;
    uint32_t slot = 0;
    uint32_t pair = 0;
    while (in < end) {
      c = *in++;
      h = ExtendHash(h, c);
      pair = (w << 8) | c;
      slot = HashSlot(h);
      uint32_t e;
      while ((e = slots[slot]) != 0 && key[e] != pair) slot = (slot + 1) & kHashMask;
      if (e == 0) {
        pending = true;
        break;
      }
      w = e;
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
      slots[slot] = static_cast<uint16_t>(next);
      key[next] = pair;
      ++next;
      if (next == threshold) {
        ++width;
        threshold = ((threshold & ~15) << 1) + 1;  // 513 -> 1025 -> 2049
      }
    }
    w = c;
    h = StartHash(c);
  }
  StoreU16(dest, kFailedHeader);
  return kPackFailed;
}

namespace {

// Copies n bytes of earlier output `from` (which ends at or before `to`) to
// `to`. Most strings are short: while 16 bytes fit before `end`, they move as
// two 8-byte words, loaded before either is stored, so a source that runs
// into the destination is read before it is overwritten; the bytes past n are
// overwritten by the codes that follow.
inline void CopyEarlier(uint8_t* to, const uint8_t* from, int n, const uint8_t* end) {
  if (n <= 16 && end - to >= 16) {
    uint64_t a, b;
    std::memcpy(&a, from, 8);
    std::memcpy(&b, from + 8, 8);
    std::memcpy(to, &a, 8);
    std::memcpy(to + 8, &b, 8);
    return;
  }
  std::memcpy(to, from, static_cast<size_t>(n));
}

}  // namespace

int Unpack(const uint8_t* source, size_t source_size, uint8_t* dest, size_t dest_size) {
  if (source_size < 4) return kUnpackShort;
  const size_t packed_length = LoadU16(source);
  const size_t original_length = LoadU16(source + 2);
  if (original_length > dest_size) return kUnpackOverflow;
  // The last word is stored whole even when L is odd; a stream that claims
  // more than the buffer holds is read only in whole words up to its end.
  size_t in_end = packed_length;
  if (((packed_length + 1) & ~size_t{1}) > source_size) in_end = source_size & ~size_t{1};

  // Every string in the dictionary has already been written once: entry k is
  // the previous code's string plus one byte, and that sits in the output
  // where the previous code was expanded. So an entry is kept as (offset of
  // its string in the output, length) and expanding a code is one copy from
  // earlier output. Entries below 256 are the bytes themselves and are never
  // looked up.
  uint16_t start[kLastCode + 1];
  uint16_t length[kLastCode + 1];

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
  int prev_length = 1;        // length of the previous code's string
  size_t prev_start = 0;      // where the previous code's string was written
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

    const size_t here = static_cast<size_t>(out - dest);
    int n;
    if (code < kFirstCode) {
      if (out >= out_end) return kUnpackOverflow;
      *out++ = static_cast<uint8_t>(code);
      n = 1;
    } else if (code == next) {
      // The string being defined: the previous string plus its own first
      // byte (the previous code's first byte). Only reachable once a
      // previous code exists, as the first code defines entry 255.
      n = prev_length + 1;
      if (out_end - out < n) return kUnpackOverflow;
      CopyEarlier(out, dest + prev_start, prev_length, out_end);
      out[prev_length] = dest[prev_start];
      out += n;
    } else {
      n = length[code];
      if (out_end - out < n) return kUnpackOverflow;
      CopyEarlier(out, dest + start[code], n, out_end);
      out += n;
    }

    if (next <= kLastCode) {
      // The previous string plus this string's first byte, which follows the
      // previous string in the output.
      start[next] = static_cast<uint16_t>(prev_start);
      length[next] = static_cast<uint16_t>(prev_length + 1);
      ++next;
      if (next == threshold) {
        ++width;
        threshold <<= 1;
        mask = (mask << 1) | 1;
      }
    }
    prev_start = here;
    prev_length = n;
  }
}

}  // namespace qdf
