// The page compressor: a dictionary coder (LZW family) with 9- to 11-bit
// codes that packs an 8192-byte page before it is written to the file and
// unpacks it after reading.
//
// Packed page (u16 little-endian):
//   0  packed length L in bytes, header included (FFFF when packing failed)
//   2  original length (8192 for a page)
//   4  code stream in 16-bit little-endian words
//
// Codes go into a bit stream most significant bit first; each word holds the
// next 16 bits of the stream, its most significant bit first. The last word is
// left-aligned, zero-padded and always stored whole; L counts it as 2 bytes
// when it carries more than 8 bits of the stream and as 1 byte otherwise (an
// odd L means only its high byte matters, which is why the stored length is L
// rounded up to even).
//
// Dictionary: codes 0-255 are the single bytes; codes 256..2046 are added one
// per emitted code, and none after 2046. The width starts at 9 bits; the
// compressor widens when its next free code reaches 513 and 1025; the expander,
// whose next free code lags by one, when its next free code reaches 512 and
// 1024.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qdf {

inline constexpr int kPackFailed = -1;

// Result codes of Unpack.
inline constexpr int kUnpackOk = 0;
inline constexpr int kUnpackShort = 1;     // code stream ended before the output was full
inline constexpr int kUnpackBadCode = 2;   // a code that is not (yet) in the dictionary
inline constexpr int kUnpackOverflow = 3;  // output would pass the end of the buffer

// Compresses `size` bytes of `source` into `dest`, which must hold `size`
// bytes. Returns the packed length rounded up to even (the bytes to store), or
// kPackFailed when the result would not be at least 512 bytes shorter than the
// input; then dest's first word is FFFF. Never allocates: the dictionary lives
// on the stack. REQUIRES: 4 <= size <= 65535.
int Pack(uint8_t* dest, const uint8_t* source, int size);

// Expands the packed page in `source` (source_size readable bytes) into
// `dest` (dest_size writable bytes). Returns kUnpackOk when exactly the
// original length was produced, else one of the result codes above. Reads
// nothing beyond source_size and writes nothing beyond the original length or
// dest_size: a header whose original length exceeds dest_size gives
// kUnpackOverflow, a stream longer than source_size is treated as cut short.
int Unpack(const uint8_t* source, size_t source_size, uint8_t* dest, size_t dest_size);

}  // namespace qdf
