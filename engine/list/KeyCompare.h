// Comparison of stored field values and of index keys.
//
// A field value is compared by its type's routine over the common prefix of
// the two values; when that prefix is equal the caller decides by length (the
// shorter value first). An index key is a packed item whose field i holds the
// value of the key field with FieldIndex i. CompareKeys compares two keys
// field by field and reports which field decided:
//
//   +k / -k   key a sorts after / before key b, decided by the k-th key field
//             (1-based, in the order of the key structure);
//   0         equal on every compared field.
//
// Everything here runs on the hottest paths of the B-tree: plain function
// pointers, no allocation, no virtual calls.
#pragma once

#include <cstdint>

namespace qdf {

// Orders value a (la bytes) against value b (lb bytes) over their common
// prefix: negative, 0 or positive. 0 means "equal as far as compared"; the
// caller then orders by length. Never reads beyond la or lb bytes.
using TFieldCompare = int (*)(const uint8_t* a, int la, const uint8_t* b, int lb);

// Writes into `out` a value s with a < s <= b (under the type's comparison,
// shorter first on equal prefixes) that is as short as the type allows, and
// returns its length. a may be nullptr (no left value: s is only a first
// byte). When no shorter value fits within `limit` bytes, s is b whole.
// REQUIRES: `out` has room for lb bytes; s is never longer than b.
using TFieldSeparator = int (*)(const uint8_t* a, int la, const uint8_t* b, int lb, int limit,
                                uint8_t* out);

// ---- comparison routines of the field types ----

// Byte-wise unsigned over the shorter length (raw bytes, booleans, object
// IDs, short references).
int CompareBytes(const uint8_t* a, int la, const uint8_t* b, int lb);
// Signed 32-bit little-endian values; bytes when either is not 4 bytes long.
int CompareInteger(const uint8_t* a, int la, const uint8_t* b, int lb);
// IEEE doubles: -1, 0 or 1; NaN compares equal to everything. Bytes when
// either is not 8 bytes long.
int CompareFloat(const uint8_t* a, int la, const uint8_t* b, int lb);
// Byte-wise unsigned, up to and including the first zero byte of b (texts
// stored with their terminating zero byte; what follows it is ignored).
int CompareChar(const uint8_t* a, int la, const uint8_t* b, int lb);
// Byte-wise over at most the first 6 bytes (the address; a flag byte that
// follows does not order).
int CompareReference(const uint8_t* a, int la, const uint8_t* b, int lb);

// ---- separators ----

// The shortest prefix of b that sorts above a: b up to and including the
// first byte that is above a's byte at the same place (or that a lacks).
// Without a left value: b's first byte.
int SeparateBytes(const uint8_t* a, int la, const uint8_t* b, int lb, int limit, uint8_t* out);
// As SeparateBytes, followed by a zero byte (a char value is a text plus its
// terminating zero).
int SeparateChar(const uint8_t* a, int la, const uint8_t* b, int lb, int limit, uint8_t* out);
// b whole: types whose bytes do not order by prefix (integers, floats,
// addresses).
int SeparateWhole(const uint8_t* a, int la, const uint8_t* b, int lb, int limit, uint8_t* out);

// ---- keys ----

// One field of a key structure.
struct TKeyField {
  TFieldCompare compare;
  int32_t field_index;  // packed field of the key that holds the value
  bool ascending;       // false: this field's order is reversed
};

// Field `index` of the packed item at `item`, of which `size` bytes are
// readable: its bytes and length, or nullptr (length 0) when the item has no
// such field or it is empty. Raises EQdfException "Damaged packed item" when
// the item's offsets run backwards or past `size`.
const uint8_t* BoundedField(const uint8_t* item, int size, int index, int* length);

// Compares key a (a packed item of size_a bytes) with key b over the `count`
// key fields, in order; for each field j (values taken at its field_index):
//   a absent: -1 when b is present, else 0; a present and b absent: 1;
//   both present: the field's routine, then la - lb when it reports equal;
//   a descending field negates its result.
// The first non-zero result r gives sign(r) * (j + 1). At most
// min(fields of a, fields of b, count) fields are compared; when they are all
// equal, fewer than `count` were compared, the keys have different field
// counts and `fewer_first` is set, the key with fewer fields sorts first:
// -(compared + 1) or +(compared + 1). Otherwise the result is 0.
// Raises EQdfException for a damaged key (see BoundedField).
int CompareKeys(const uint8_t* a, int size_a, const uint8_t* b, int size_b, const TKeyField* fields,
                int count, bool fewer_first = true);

}  // namespace qdf
