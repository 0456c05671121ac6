// The database file format: header, page numbers, page-table entries.
//
// A file is a 512-byte header followed by stored blocks of 1 to 16 units of
// 512 bytes. Pages (8192 bytes) reach their blocks through a tree of page-table
// blocks (indirect blocks) with a fan-out of 640:
//
//   page n                      kind               its entry lies in           slot
//   0                           level-0 table      header offset 36            -
//   k*640, k >= 1               level-0 table      level-1 block L1(n)         (n / 640) % 640
//   (n + 2) % 409600 == 0       level-1 table      level-2 block L2(n)         ((n + 2) / 409600) %
//   640 (n + 3) % 262144000 == 0    level-2 table      top block FFFFFFFC          ((n + 3) /
//   262144000) % 640 FFFFFFFE                    first level-1      header offset 48            -
//   FFFFFFFD                    first level-2      header offset 60            -
//   FFFFFFFC                    top (level 3)      header offset 72            -
//   any other n                 data page          level-0 block (n/640)*640   (n - 1) % 640
//
// with L1(n) = ((n + 2) / 409600) * 409600 - 2 and
// L2(n) = ((n + 3) / 262144000) * 262144000 - 3, in unsigned 32-bit arithmetic.
//
// Header (little-endian):
//   0  u32 magic 0x1305        4 u32 major version (1)     8 u32 minor version (2)
//   12 i64 high-water mark (end of the highest byte ever written or freed)
//   20..87 root record (68 bytes):
//      +0 committed transaction   +4 previous committed    +8 allocation end (units)
//      +12 next page number       +16, +28, +40, +52 entries of pages 0, FFFFFFFE,
//      FFFFFFFD, FFFFFFFC         +64 reserved
//   88..511 reserved (zero)
//
// Page-table entry (12 bytes): word0 = file position bits 9..31 | flags
// (0x100 carried along, 0x80 compressed, 0x40 in the shadow file) | size code
// (units - 1, bits 0..5); word1 = position bits 32..63; word2 = transaction
// number that wrote the copy. Position 0 = never written.
//
// Indirect block page: u16 8192 at 0, u16 flags 0x80 at 2, u32 transaction at
// 12, u32 level at 24, u32 own page number at 28, 640 entries from offset 80.
#pragma once

#include <cstdint>

#include "base/Bytes.h"

namespace qdf {

inline constexpr uint32_t kFileMagic = 0x1305;
inline constexpr uint32_t kFileMajorVersion = 1;
inline constexpr uint32_t kFileMinorVersion = 2;
inline constexpr int kHeaderSize = 512;
inline constexpr int kUnitSize = 512;
inline constexpr int kFanOut = 640;
inline constexpr uint32_t kLevel1Span = 409600;     // 640^2
inline constexpr uint32_t kLevel2Span = 262144000;  // 640^3

// Header offsets.
inline constexpr int kHdrMagic = 0;
inline constexpr int kHdrMajor = 4;
inline constexpr int kHdrMinor = 8;
inline constexpr int kHdrHighWater = 12;
inline constexpr int kHdrRoot = 20;
inline constexpr int kRootSize = 68;

// Root record offsets (relative to the record).
inline constexpr int kRootTransaction = 0;
inline constexpr int kRootPrevTransaction = 4;
inline constexpr int kRootAllocEnd = 8;
inline constexpr int kRootNextPage = 12;
inline constexpr int kRootEntries = 16;  // four 12-byte entries

// The four pages whose entries live in the root record, in entry order.
inline constexpr uint32_t kTopPage = 0xFFFFFFFCu;
inline constexpr uint32_t kFirstLevel2Page = 0xFFFFFFFDu;
inline constexpr uint32_t kFirstLevel1Page = 0xFFFFFFFEu;

// Page header offsets.
inline constexpr int kPgSize = 0;
inline constexpr int kPgFlags = 2;
inline constexpr int kPgNext = 4;
inline constexpr int kPgPrior = 8;
inline constexpr int kPgTransaction = 12;
inline constexpr int kPgAreaOffset = 16;
inline constexpr int kPgOwner = 18;
inline constexpr uint16_t kPageNeverCompress = 0x80;

// Indirect block offsets.
inline constexpr int kIbLevel = 24;
inline constexpr int kIbOwnPage = 28;
inline constexpr int kIbEntries = 80;

// Entry flag bits (in word0).
inline constexpr uint32_t kEntryCarried = 0x100;
inline constexpr uint32_t kEntryCompressed = 0x80;
inline constexpr uint32_t kEntryShadow = 0x40;
inline constexpr uint32_t kEntryFlagMask = 0x1C0;

struct TPageEntry {
  int64_t position = 0;  // 0: never written
  uint32_t units = 0;    // stored size in 512-byte units (0 only for a cleared entry)
  uint32_t flags = 0;    // kEntry* bits
  uint32_t transaction = 0;

  int32_t StoredSize() const { return static_cast<int32_t>(units) * kUnitSize; }
  bool operator==(const TPageEntry&) const = default;
};

// Decodes / encodes an entry at p (12 bytes). Decode reports the raw size code
// so callers can reject codes a page never has.
inline TPageEntry DecodeEntry(const uint8_t* p, uint32_t* size_code = nullptr) {
  uint32_t w0 = LoadU32(p);
  TPageEntry e;
  e.position = static_cast<int64_t>((w0 & 0xFFFFFE00u) | (uint64_t{LoadU32(p + 4)} << 32));
  e.flags = w0 & kEntryFlagMask;
  e.units = (w0 & 0x3F) + 1;
  e.transaction = LoadU32(p + 8);
  if (size_code) *size_code = w0 & 0x3F;
  return e;
}

inline void EncodeEntry(uint8_t* p, const TPageEntry& e) {
  uint64_t pos = static_cast<uint64_t>(e.position);
  uint32_t code = e.units == 0 ? 0 : (e.units - 1) & 0x3F;
  StoreU32(p, static_cast<uint32_t>(pos & 0xFFFFFE00u) | (e.flags & kEntryFlagMask) | code);
  StoreU32(p + 4, static_cast<uint32_t>(pos >> 32));
  StoreU32(p + 8, e.transaction);
}

// Where a page's entry lives.
struct TEntryPlace {
  int level = -1;       // the page's own level: -1 data page, 0..3 table
  int root_index = -1;  // 0..3: entry in the root record (pages 0, FFFFFFFE, FFFFFFFD, FFFFFFFC)
  uint32_t table_page = 0;  // otherwise: the table block holding it
  int slot = 0;             // and the slot in it
};

inline TEntryPlace LocateEntry(uint32_t n) {
  TEntryPlace p;
  switch (n) {
    case 0:
      p.level = 0;
      p.root_index = 0;
      return p;
    case kFirstLevel1Page:
      p.level = 1;
      p.root_index = 1;
      return p;
    case kFirstLevel2Page:
      p.level = 2;
      p.root_index = 2;
      return p;
    case kTopPage:
      p.level = 3;
      p.root_index = 3;
      return p;
    default:
      break;
  }
  if (n % kFanOut == 0) {
    p.level = 0;
    p.table_page = (n + 2) / kLevel1Span * kLevel1Span - 2;
    p.slot = static_cast<int>((n / kFanOut) % kFanOut);
  } else if ((n + 2) % kLevel1Span == 0) {
    p.level = 1;
    p.table_page = (n + 3) / kLevel2Span * kLevel2Span - 3;
    p.slot = static_cast<int>(((n + 2) / kLevel1Span) % kFanOut);
  } else if ((n + 3) % kLevel2Span == 0) {
    p.level = 2;
    p.table_page = kTopPage;
    p.slot = static_cast<int>(((n + 3) / kLevel2Span) % kFanOut);
  } else {
    p.level = -1;
    p.table_page = n / kFanOut * kFanOut;
    p.slot = static_cast<int>((n - 1) % kFanOut);
  }
  return p;
}

// The first page number from n on that may hold data: numbers of table blocks
// are skipped (k*640 and 640^2*k - 2 by one, 640^3*k - 3 by two). The result
// is 64-bit so callers can see that the numbers ran out (>= FFFFFFFC).
inline uint64_t SkipReservedPages(uint64_t n) {
  if (n % kFanOut == 0 || (n + 2) % kLevel1Span == 0) return n + 1;
  if ((n + 3) % kLevel2Span == 0) return n + 2;
  return n;
}

// True for numbers that are page-table blocks and never data pages.
inline bool IsTablePage(uint32_t n) { return LocateEntry(n).level >= 0; }

}  // namespace qdf
