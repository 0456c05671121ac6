// Index keys: the comparison routines of the field types, the key comparison
// rule (±k, descending fields, shorter keys first), separators and the key
// buffer with its limits.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <random>
#include <string>
#include <vector>

#include "ErrorText.h"
#include "base/BaseTestUtil.h"
#include "base/Bytes.h"
#include "base/PackedItem.h"
#include "base/QdfException.h"
#include "base/Variant.h"
#include "list/KeyCompare.h"
#include "record/DynamicKeyBuffer.h"
#include "record/Fields.h"

namespace qdf {
namespace {

using qdf_test::Bytes;

// A complete key: the packed item of a closed key buffer.
struct TKey {
  Bytes packed;
};

// Builds keys field by field with TDynamicKeyBuffer.
class TKeyBuilder {
 public:
  explicit TKeyBuilder(int fields) { buf_.Init(fields); }
  template <typename V>
  TKeyBuilder& Add(int index, V value) {
    buf_.AddValue(index, value);
    return *this;
  }
  TKey Done() {
    const int total = buf_.Close();
    return TKey{Bytes(buf_.Packed(), buf_.Key() + total)};
  }

 private:
  TDynamicKeyBuffer buf_{16};
};

int Cmp(const TKey& a, const TKey& b, const std::vector<TKeyField>& fields,
        bool fewer_first = true) {
  return CompareKeys(a.packed.data(), static_cast<int>(a.packed.size()), b.packed.data(),
                     static_cast<int>(b.packed.size()), fields.data(),
                     static_cast<int>(fields.size()), fewer_first);
}

TKey Int(int32_t v) { return TKeyBuilder(1).Add(0, v).Done(); }
TKey Str(const char* s) { return TKeyBuilder(1).Add(0, s).Done(); }

// A value comparison completed by the length rule, as keys use it.
int Full(TFieldCompare routine, const Bytes& a, const Bytes& b) {
  const int r = routine(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()));
  if (r != 0) return r;
  return static_cast<int>(a.size()) - static_cast<int>(b.size());
}

TEST(KeyTest, ValueRoutinesOrderAsTheTypeDoesAndKeysWithFewerFieldsSortFirst) {
  const std::vector<TKeyField> ints = {{CompareInteger, 0, true}};
  EXPECT_EQ(Cmp(Int(-1), Int(1), ints), -1);
  EXPECT_EQ(Cmp(Int(INT32_MAX), Int(INT32_MIN), ints), 1);
  EXPECT_EQ(Cmp(Int(256), Int(255), ints), 1);  // not byte order of little-endian bytes
  const std::vector<TKeyField> chars = {{CompareChar, 0, true}};
  EXPECT_EQ(Cmp(Str("ab"), Str("abc"), chars), -1);
  EXPECT_EQ(Cmp(Str("ab"), Str("b"), chars), -1);
  EXPECT_EQ(Cmp(Str("\xE9"), Str("z"), chars), 1);  // unsigned bytes
  EXPECT_EQ(Cmp(Str("B"), Str("a"), chars), -1);    // with regard to case
  auto dbl = [](double v) {
    Bytes b(8);
    StoreU64(b.data(), std::bit_cast<uint64_t>(v));
    return b;
  };
  EXPECT_EQ(Full(CompareFloat, dbl(-1e300), dbl(-1e299)), -1);
  EXPECT_EQ(Full(CompareFloat, dbl(-0.0), dbl(0.0)), 0);
  // Damaged lengths fall back to bytes and never read past them.
  const Bytes three = {1, 2, 3};
  EXPECT_EQ(Full(CompareFloat, three, dbl(1)), 1);
  EXPECT_EQ(Full(CompareInteger, three, Bytes{1, 2, 3, 4}), -1);
  TKey bad = Int(1);
  StoreU16(bad.packed.data() + 2, 200);  // field 0 ends far beyond the key
  EXPECT_THROW(Cmp(bad, Int(1), ints), EQdfException);

  // The flag byte of a reference does not order; the length rule still adds
  // its length.
  const Bytes adr = {1, 0, 0, 0, 2, 0};
  Bytes flagged = adr;
  flagged.push_back(1);
  EXPECT_EQ(CompareReference(adr.data(), 6, flagged.data(), 7), 0);
  EXPECT_EQ(Full(CompareReference, adr, flagged), -1);
  const Bytes next = {1, 0, 0, 0, 3, 0, 0};
  EXPECT_EQ(CompareReference(flagged.data(), 7, next.data(), 7), -1);

  // Keys with fewer fields sort first.
  const std::vector<TKeyField> f = {{CompareInteger, 0, true}, {CompareInteger, 1, true}};
  const TKey one = TKeyBuilder(1).Add(0, 3).Done();
  const TKey two = TKeyBuilder(2).Add(0, 3).Add(1, INT32_MIN).Done();
  EXPECT_EQ(Cmp(one, two, f), -2);
  EXPECT_EQ(Cmp(one, two, f, /*fewer_first=*/false), 0);  // only the fields present
  // A difference in the compared fields still decides first.
  const TKey four = TKeyBuilder(1).Add(0, 4).Done();
  EXPECT_EQ(Cmp(four, two, f), 1);
  // A key with no fields sorts before everything.
  const TKey none = TKeyBuilder(0).Done();
  EXPECT_EQ(Cmp(none, one, f), -1);
  // With as many fields as the structure, no length rule applies.
  EXPECT_EQ(Cmp(one, two, ints), 0);
}

Bytes Sep(TFieldSeparator separate, const Bytes& a, const Bytes& b, int limit = 8000) {
  Bytes out(b.size() + 1);
  const int n = separate(a.empty() ? nullptr : a.data(), static_cast<int>(a.size()), b.data(),
                         static_cast<int>(b.size()), limit, out.data());
  out.resize(static_cast<size_t>(n));
  return out;
}

// s separates a and b: a < s <= b under the routine and the length rule, and
// s is no longer than b.
void ExpectSeparates(TFieldCompare compare, TFieldSeparator separate, const Bytes& a,
                     const Bytes& b, int limit = 8000) {
  const Bytes s = Sep(separate, a, b, limit);
  ASSERT_GT(s.size(), 0u);
  ASSERT_LE(s.size(), b.size());
  if (!a.empty()) {
    EXPECT_GT(Full(compare, s, a), 0);
  }
  EXPECT_LE(Full(compare, s, b), 0);
}

Bytes T(const std::string& s) { return qdf_test::TextBytes(s); }

TEST(KeyTest, SeparatorsAreShortAndAlwaysSeparate) {
  // Char fields: the deciding byte, then a zero byte.
  EXPECT_EQ(Sep(SeparateChar, T("abc"), T("abzzz")), (Bytes{'a', 'b', 'z', 0}));
  EXPECT_EQ(Sep(SeparateChar, {}, T("hello")), (Bytes{'h', 0}));
  // The limit comes first: the right value whole.
  EXPECT_EQ(Sep(SeparateChar, T("abc"), T("abzzz"), 3), T("abzzz"));
  // Bytes: up to and including the first byte above the left value's.
  EXPECT_EQ(Sep(SeparateBytes, Bytes{1, 2, 3}, Bytes{1, 5, 0, 0}), (Bytes{1, 5}));

  // Integer, float, date-time and short reference fields return the right
  // value whole; char and the byte-ordered types shorten.
  auto separator_of = [](const TClassInfo& info) {
    auto o = TQdfPersistentObject::Create(info, nullptr);
    return static_cast<TQdfField*>(o.get())->GetSeparator();
  };
  const Bytes left = {1, 0, 0, 0, 0, 0, 0, 0};
  const Bytes right = {2, 0, 0, 0, 0, 0, 0, 0};
  for (const TClassInfo* info :
       {&TQdfIntegerField::kClassInfo, &TQdfFloatField::kClassInfo, &TQdfDateTimeField::kClassInfo,
        &TQdfShortReferenceField::kClassInfo, &TQdfReferenceField::kClassInfo}) {
    EXPECT_EQ(Sep(separator_of(*info), left, right), right) << info->name;
  }
  EXPECT_EQ(Sep(separator_of(TQdfObjectIDField::kClassInfo), left, right), Bytes{2});
  EXPECT_EQ(separator_of(TQdfCharField::kClassInfo), SeparateChar);

  // Random ordered pairs, with shared prefixes and prefix relations.
  std::mt19937 rng(11);
  auto random_text = [&](const std::string& prefix) {
    std::string s = prefix;
    const int n = static_cast<int>(rng() % 4);
    for (int i = 0; i < n; ++i) s += static_cast<char>('a' + rng() % 3);
    return s;
  };
  for (int i = 0; i < 2000; ++i) {
    const std::string p = random_text("");
    std::string x = random_text(p), y = random_text(p);
    if (x == y) continue;
    if (y < x) std::swap(x, y);
    const Bytes tx(x.begin(), x.end()), ty(y.begin(), y.end());
    ExpectSeparates(CompareChar, SeparateChar, T(x), T(y));
    ExpectSeparates(CompareChar, SeparateChar, T(x), T(y), static_cast<int>(rng() % 6));
    if (!tx.empty()) ExpectSeparates(CompareBytes, SeparateBytes, tx, ty);
    ExpectSeparates(CompareChar, SeparateChar, {}, T(y));
  }
}

TEST(KeyTest, KeyBufferLayoutValuesAndLimits) {
  TDynamicKeyBuffer buf(8);  // grows as needed
  buf.Init(5);
  EXPECT_EQ(buf.Size(), (5 - 1) * 2 + 10);
  buf.AddValue(0, int32_t{-2});
  buf.AddValue(2, "hi");  // field 1 stays absent
  buf.AddValue(3, TItemAdr{7, 9});
  const int total = buf.Close();  // field 4 absent
  EXPECT_EQ(LoadU16(buf.Key()), total);
  const uint8_t* packed = buf.Packed();
  ASSERT_TRUE(ValidPackedItem(packed, static_cast<size_t>(total - 6)));
  for (int absent : {1, 4}) EXPECT_TRUE(GetFieldBytes(packed, absent).empty()) << absent;
  EXPECT_EQ(GetFieldBytes(packed, 2), T("hi"));

  // Values as records store them; a missing text is one zero byte, a null
  // variant or a null field an absent field.
  auto o = TQdfPersistentObject::Create(TQdfCharField::kClassInfo, nullptr);
  auto* field = static_cast<TQdfCharField*>(o.get());
  TQdfItemProvider cursor(nullptr, 13);
  field->SetProvider(&cursor);
  cursor.mode = kModeEdit;
  field->SetAsString("key");
  buf.Init(5);
  buf.AddValue(0, static_cast<const char*>(nullptr));
  buf.AddCurrency(1, 12345);
  buf.AddVariant(2, TVariant());
  buf.AddValue(3, static_cast<TQdfField*>(field));
  field->Clear();
  buf.AddValue(4, static_cast<TQdfField*>(field));
  buf.Close();
  packed = buf.Packed();
  // No text is a null char, as fields store it.
  for (int absent : {0, 2, 4}) EXPECT_TRUE(GetFieldBytes(packed, absent).empty()) << absent;
  EXPECT_EQ(std::bit_cast<double>(LoadU64(GetFieldBytes(packed, 1).data())), 1.2345);
  EXPECT_EQ(GetFieldBytes(packed, 3), T("key"));

  // Limits.
  buf.Init(8);
  const Bytes big(2049, 'x');
  EXPECT_QDF_ERROR(buf.AddField(1, 2049, big.data()), "Invalid Key Size: 2049 for Field N0: 1");
  EXPECT_QDF_ERROR(buf.AddField(2, -1, big.data()), "Invalid Key Size: -1 for Field N0: 2");
  EXPECT_QDF_ERROR(buf.SetSize(8001), "Invalid Key Size: 8001");

  // Fields of 2048 bytes are fine until the key outgrows 8000 bytes.
  buf.Init(8);
  for (int i = 0; i < 3; ++i) buf.AddField(i, 2048, big.data());
  EXPECT_QDF_ERROR(buf.AddField(3, 2048, big.data()),
                   "Invalid Key Size: " + std::to_string(18 + 4 * 2048));
  EXPECT_QDF_ERROR(buf.AddValue(3, std::string(2048, 'y')),
                   "Invalid Key Size: 2049 for Field N0: 3");
  buf.AddField(3, 1800, big.data());
  EXPECT_EQ(buf.Close(), 6 + 18 + 3 * 2048 + 1800);

  // Fields go in increasing order, below the field count.
  buf.Init(2);
  buf.AddValue(1, int32_t{1});
  EXPECT_THROW(buf.AddValue(0, int32_t{1}), EAssertionFailed);
  EXPECT_THROW(buf.AddValue(2, int32_t{1}), EAssertionFailed);
  EXPECT_QDF_ERROR(buf.Init(4000), "Invalid Key Size: 8002");
}

}  // namespace
}  // namespace qdf
