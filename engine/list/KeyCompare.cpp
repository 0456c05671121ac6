#include "list/KeyCompare.h"

#include <bit>
#include <cstring>

#include "base/Bytes.h"
#include "base/QdfException.h"

namespace qdf {

namespace {

inline int Sign(int v) { return (v > 0) - (v < 0); }

inline int Min(int a, int b) { return a < b ? a : b; }

[[noreturn]] void DamagedItem(int index, int size) {
  throw EQdfException::Fmt("Damaged packed item: field %d lies outside its %d bytes", index, size);
}

// Shared body of the prefix separators; `zero` appends a terminating zero.
int SeparatePrefix(const uint8_t* a, int la, const uint8_t* b, int lb, int limit, uint8_t* out,
                   bool zero) {
  if (lb <= 0) return 0;
  int n = -1;  // bytes of b to keep; -1: b whole
  if (a == nullptr || la <= 0) {
    n = 1;
  } else {
    for (int i = 0; i < lb; ++i) {
      if (i >= la || a[i] < b[i]) {
        n = i + 1;
        break;
      }
      if (a[i] > b[i]) break;  // a above b: not a valid pair, keep b whole
    }
  }
  const int length = n < 0 ? lb : n + (zero ? 1 : 0);
  if (n < 0 || length > limit || length > lb) {
    std::memcpy(out, b, static_cast<size_t>(lb));
    return lb;
  }
  std::memcpy(out, b, static_cast<size_t>(n));
  if (zero) out[n] = 0;
  return length;
}

}  // namespace

// ---- comparison routines ----

int CompareBytes(const uint8_t* a, int la, const uint8_t* b, int lb) {
  const int n = Min(la, lb);
  if (n <= 0) return 0;
  return Sign(std::memcmp(a, b, static_cast<size_t>(n)));
}

int CompareInteger(const uint8_t* a, int la, const uint8_t* b, int lb) {
  if (la != 4 || lb != 4) return CompareBytes(a, la, b, lb);
  const auto x = static_cast<int32_t>(LoadU32(a));
  const auto y = static_cast<int32_t>(LoadU32(b));
  return (x > y) - (x < y);
}

int CompareFloat(const uint8_t* a, int la, const uint8_t* b, int lb) {
  if (la != 8 || lb != 8) return CompareBytes(a, la, b, lb);
  const double x = std::bit_cast<double>(LoadU64(a));
  const double y = std::bit_cast<double>(LoadU64(b));
  if (x < y) return -1;
  if (x > y) return 1;
  return 0;  // equal or unordered
}

int CompareChar(const uint8_t* a, int la, const uint8_t* b, int lb) {
  const int n = Min(la, lb);
  for (int i = 0; i < n; ++i) {
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    if (b[i] == 0) return 0;
  }
  return 0;
}

int CompareReference(const uint8_t* a, int la, const uint8_t* b, int lb) {
  return CompareBytes(a, Min(la, 6), b, Min(lb, 6));
}

// ---- separators ----

int SeparateBytes(const uint8_t* a, int la, const uint8_t* b, int lb, int limit, uint8_t* out) {
  return SeparatePrefix(a, la, b, lb, limit, out, false);
}

int SeparateChar(const uint8_t* a, int la, const uint8_t* b, int lb, int limit, uint8_t* out) {
  return SeparatePrefix(a, la, b, lb, limit, out, true);
}

int SeparateWhole(const uint8_t*, int, const uint8_t* b, int lb, int, uint8_t* out) {
  if (lb <= 0) return 0;
  std::memcpy(out, b, static_cast<size_t>(lb));
  return lb;
}

// ---- keys ----

const uint8_t* BoundedField(const uint8_t* item, int size, int index, int* length) {
  *length = 0;
  if (item == nullptr || size < 2) return nullptr;
  const int n = LoadU16(item);
  if (index < 0 || index >= n) return nullptr;
  // Count, n end offsets, then the fields.
  const int first = 2 * (n + 1);
  if (first > size) DamagedItem(index, size);
  const int start = index == 0 ? first : LoadU16(item + 2 * index);
  const int end = LoadU16(item + 2 + 2 * index);
  if (start < first || end < start || end > size) DamagedItem(index, size);
  if (end == start) return nullptr;
  *length = end - start;
  return item + start;
}

int CompareKeys(const uint8_t* a, int size_a, const uint8_t* b, int size_b, const TKeyField* fields,
                int count, bool fewer_first) {
  const int na = size_a >= 2 ? LoadU16(a) : 0;
  const int nb = size_b >= 2 ? LoadU16(b) : 0;
  const int compared = Min(Min(na, nb), count);
  for (int j = 0; j < compared; ++j) {
    const TKeyField& f = fields[j];
    int la, lb;
    const uint8_t* va = BoundedField(a, size_a, f.field_index, &la);
    const uint8_t* vb = BoundedField(b, size_b, f.field_index, &lb);
    int r;
    if (va == nullptr) {
      r = vb == nullptr ? 0 : -1;
    } else if (vb == nullptr) {
      r = 1;
    } else {
      r = f.compare(va, la, vb, lb);
      if (r == 0) r = la - lb;
    }
    if (r != 0) {
      if (!f.ascending) r = -r;
      return r > 0 ? j + 1 : -(j + 1);
    }
  }
  if (fewer_first && compared < count && na != nb) {
    return na < nb ? -(compared + 1) : compared + 1;
  }
  return 0;
}

}  // namespace qdf
